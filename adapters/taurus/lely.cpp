#include "app/mainwindow.h"

void MainWindow::exchangeLely(const bool &, const bool &) {}
