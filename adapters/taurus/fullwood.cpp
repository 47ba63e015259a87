#include "app/mainwindow.h"

void MainWindow::exchangeFullwood(const bool &, const bool &) {}
