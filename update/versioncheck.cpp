#include "app/mainwindow.h"

#include <QNetworkReply>

void MainWindow::sendVersionCheck() {}

void MainWindow::getVersionFromServerReplyFinished(QNetworkReply *netReply)
{
    if (netReply)
        netReply->deleteLater();
}
