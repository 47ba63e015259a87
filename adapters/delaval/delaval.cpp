#include "app/mainwindow.h"

void MainWindow::exchangeDelaval(const bool &, const bool &) {}
