#include "app/mainwindow.h"

void MainWindow::exchangeAfifarm(const QString &) {}
