#include "app/mainwindow.h"

void MainWindow::exchangeWestfalia(const bool &, const bool &) {}
