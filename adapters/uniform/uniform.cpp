#include "app/mainwindow.h"

void MainWindow::exchangeUniform(const bool &, const bool &) {}
