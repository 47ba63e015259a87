// The hourly version check and the self-update it may start.
#include "app/dialoginfo.h"
#include "app/mainwindow.h"
#include "app/platform.h"
#include "app/settingskeys.h"
#include "update/updateprotocol.h"
#include "ziviviver.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QSslConfiguration>
#include <QtDebug>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {
const int versionCheckTimeoutMs = 60000;
}

void MainWindow::sendVersionCheck()
{
    const QString staj = readString(settings, keys::Staj);
    const QString vncId = update::readVncId();
    const QUrl url = update::versionCheckUrl(update::serverBase());
    if (!update::permittedServerUrl(url)) {
        qDebug() << "version check: refusing the server address" << url;
        return;
    }
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
    request.setSslConfiguration(ssl);
    request.setTransferTimeout(versionCheckTimeoutMs);
    networkManager->post(request, update::versionCheckBody(uuid, vncId, staj, dsystem));
}

void MainWindow::getVersionFromServerReplyFinished(QNetworkReply *netReply)
{
    if (netReply->error() != QNetworkReply::NoError) {
        qDebug() << "version check:" << netReply->errorString();
        netReply->deleteLater();
        return;
    }
    const QByteArray body = netReply->readAll();
    netReply->deleteLater();
    const update::UpdateOffer offer = update::parseUpdateReply(body);
    if (!offer.newer)
        return;
    // The program ends after a successful update: never in the middle of an exchange.
    if (updateInProgress || exchangeInProgress) {
        qDebug() << "version check: update postponed, the program is busy";
        return;
    }
    // An installed program that cannot replace itself says so once, instead of failing half-way.
    const QString programDir = QCoreApplication::applicationDirPath();
    const QString blocked = update::updateBlockedReason(programDir, QFileInfo(programDir).isWritable());
    if (!blocked.isEmpty()) {
        if (!updateRefusalShown) {
            updateRefusalShown = true;
            QMessageBox::information(this, QStringLiteral("Stablomat"), blocked, QMessageBox::Ok);
        }
        return;
    }
    updateInProgress = true;

    int result = 0;
    {
        const std::unique_ptr<DialogInfo> info = openProgressDialog(this, tr("Stahování nové verze ..."));
        QApplication::setOverrideCursor(Qt::WaitCursor);
        result = downloadUpdate(offer.archiveAddress);
        QApplication::restoreOverrideCursor();

        if (result == 0 && platform::startUpdateScript(QCoreApplication::applicationDirPath())) {
            // The script waits for this process to end before it replaces the program.
            writeMilkingPeriods();
            settings->sync();
            trayIcon->hide();
            std::fflush(nullptr);
            std::_Exit(0);
        }
    }

    QString text;
    switch (result) {
    case -2:
        text = tr("Chyba vytváření souboru.");
        break;
    case 0: // the script was written but could not be started
    case -3:
        text = tr("Chyba vytváření souboru bat.");
        break;
    default:
        text = tr("Chyba stahování souboru.");
        break;
    }
    QMessageBox::information(this, QStringLiteral("Stablomat"), text, QMessageBox::Ok);
    updateInProgress = false;
}

int MainWindow::downloadUpdate(const QString &address)
{
    const QString dir = QCoreApplication::applicationDirPath();
    const QString archive = dir + QLatin1Char('/') + update::ArchiveName;
    const QString downloaded = dir + QLatin1Char('/') + update::DownloadName;
    QFile::remove(archive);

    dm_request_t request;
    request.fileUrl = QUrl::fromEncoded(address.toLatin1(), QUrl::TolerantMode);
    request.fileName = update::DownloadName;

    ZOVeravidoZedozor downloader(nullptr);
    downloader.setOutputDir(dir);
    downloader.append(request, true);
    QEventLoop loop;
    connect(&downloader, &ZOVeravidoZedozor::finishedDownload, &loop, &QEventLoop::quit);
    loop.exec();

    if (downloader.downloadedCount == 0)
        return -1;
    if (!QFile::exists(downloaded))
        return -2;
    if (!QFile::rename(downloaded, archive))
        return -2;

    const QString scriptPath = dir + QLatin1Char('/') + platform::updateScriptName();
    QFile::remove(scriptPath);
    QFile script(scriptPath);
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return -3;
    const QByteArray text =
        platform::updateScript(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    const bool written = script.write(text) == text.size();
    script.close();
    return written ? 0 : -3;
}
