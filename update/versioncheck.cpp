// The hourly version check and the self-update it may start.
#include "app/dialoginfo.h"
#include "app/mainwindow.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"
#include "platform/wholefile.h"
#include "netrule.h"
#include "update/signature.h"
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
const qint64 maxSignatureBytes = 4096;

// Downloads one file into dir under name; true when it arrived complete.
bool fetch(const QString &dir, const QString &address, const QString &name)
{
    dm_request_t request;
    request.fileUrl = QUrl::fromEncoded(address.toLatin1(), QUrl::TolerantMode);
    request.fileName = name;

    ZOVeravidoZedozor downloader(nullptr);
    downloader.setOutputDir(dir);
    downloader.append(request, true);
    QEventLoop loop;
    QObject::connect(&downloader, &ZOVeravidoZedozor::finishedDownload, &loop, &QEventLoop::quit);
    loop.exec();
    return downloader.downloadedCount == 1;
}

QByteArray readSmallFile(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > limit)
        return QByteArray();
    return file.read(limit);
}

} // namespace

void MainWindow::sendVersionCheck()
{
    const QString staj = readString(settings, keys::Staj);
    const QString vncId = update::readVncId();
    const QUrl url = update::versionCheckUrl(update::serverBase());
    if (!netrule::permittedUrl(url)) {
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
    // A version that failed is left alone for a day, also after a restart (the update script starts
    // the old program again when the new one fails), so a bad release cannot loop.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (update::retryBlocked(readString(settings, keys::FailedUpdate), offer.version, now)) {
        qDebug() << "version check: the update to" << offer.version << "failed less than a day ago";
        return;
    }
    settings->setValue(keys::FailedUpdate, update::failedUpdateEntry(offer.version, now));
    settings->sync();
    updateInProgress = true;

    int result = 0;
    {
        const std::unique_ptr<DialogInfo> info = openProgressDialog(this, tr("Stahování nové verze ..."));
        QApplication::setOverrideCursor(Qt::WaitCursor);
        result = downloadUpdate(offer.archiveAddress);
        QApplication::restoreOverrideCursor();

        if (result == 0 && platform::startUpdateScript(QCoreApplication::applicationDirPath())) {
            // The script waits for this process to end before it replaces the program.
            endProcessNow();
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
    const QString signatureName = update::DownloadName + QStringLiteral(".minisig");
    const QString signature = dir + QLatin1Char('/') + signatureName;
    QFile::remove(archive);

    // The signature first: without one there is nothing worth downloading.
    if (!fetch(dir, address + QStringLiteral(".minisig"), signatureName))
        return -1;
    const QByteArray signatureText = readSmallFile(signature, maxSignatureBytes);
    QFile::remove(signature);
    const QList<update::PublicKey> keys = update::trustedKeys();
    if (!update::signatureTrusted(signatureText, keys)) {
        qDebug() << "update: the signature is not from a trusted key";
        return -1;
    }
    if (!fetch(dir, address, update::DownloadName))
        return -1;
    if (!QFile::exists(downloaded))
        return -2;
    // Nothing is unpacked and the program does not end unless the maker signed this very archive
    // and it holds the program.
    const QString exeName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (!update::verifyFile(downloaded, signatureText, keys) || !update::checkArchive(downloaded, exeName)) {
        qDebug() << "update: the archive is not signed by a trusted key or is not a usable zip";
        QFile::remove(downloaded);
        return -1;
    }
    if (!QFile::rename(downloaded, archive)) {
        QFile::remove(downloaded);
        return -2;
    }

    const QString scriptPath = dir + QLatin1Char('/') + platform::updateScriptName();
    QFile::remove(scriptPath);
    // A failure (a full disk among them) leaves no script; the program then keeps running.
    if (!platform::writeWholeFile(scriptPath, update::updateScript(exeName))) {
        QFile::remove(archive);
        return -3;
    }
    return 0;
}
