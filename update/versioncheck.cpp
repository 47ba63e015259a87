// The hourly version check and the self-update it may start.
#include "app/dialoginfo.h"
#include "app/mainwindow.h"
#include "netrule.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"
#include "update/signature.h"
#include "update/swap.h"
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
const int downloadUpdateInterrupted = -4; // the program was asked to end meanwhile
// What a local event loop returns when its own signal ended it; an application-wide quit (a
// logout, SIGTERM) ends it with 0.
const int loopDone = 7;

enum class Fetched
{
    Complete,
    Failed,
    Interrupted
};

// Downloads one file into dir under name.
Fetched fetch(const QString &dir, const QString &address, const QString &name)
{
    dm_request_t request;
    request.fileUrl = QUrl::fromEncoded(address.toLatin1(), QUrl::TolerantMode);
    request.fileName = name;

    ZOVeravidoZedozor downloader(nullptr);
    downloader.setOutputDir(dir);
    downloader.append(request, true);
    QEventLoop loop;
    QObject::connect(&downloader, &ZOVeravidoZedozor::finishedDownload, &loop,
                     [&loop] { loop.exit(loopDone); });
    if (loop.exec() != loopDone)
        return Fetched::Interrupted;
    return downloader.downloadedCount == 1 ? Fetched::Complete : Fetched::Failed;
}

// Stops a reply whose body is announced or grows past limit; no more than that is read.
void boundReply(QNetworkReply *reply, qint64 limit)
{
    reply->setReadBufferSize(limit + 1);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, limit] {
        if (reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > limit)
            reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [reply, limit](qint64 received, qint64 total) {
                         if (received > limit || total > limit)
                             reply->abort();
                     });
}

// A small file (the signature) into memory, at most limit bytes; the downloader's rules for
// addresses, redirects and certificates.
Fetched fetchSmall(const QString &address, qint64 limit, QByteArray &body)
{
    const QUrl url = QUrl::fromEncoded(address.toLatin1(), QUrl::TolerantMode);
    if (!netrule::permittedUrl(url))
        return Fetched::Failed;
    QNetworkAccessManager network;
    QNetworkReply *reply = network.get(netrule::fileRequest(url, versionCheckTimeoutMs));
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl &target) {
        if (netrule::permittedUrl(target))
            emit reply->redirectAllowed();
        else
            reply->abort();
    });
    boundReply(reply, limit);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, [&loop] { loop.exit(loopDone); });
    const bool interrupted = loop.exec() != loopDone;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool complete =
        !interrupted && reply->error() == QNetworkReply::NoError && status >= 200 && status <= 299;
    body = complete ? reply->read(limit) : QByteArray();
    delete reply;
    if (interrupted)
        return Fetched::Interrupted;
    return complete ? Fetched::Complete : Fetched::Failed;
}

// Removes what an update left beside the program when it did not get as far as the script.
void removeStaged(const QString &dir)
{
    QFile::remove(dir + QLatin1Char('/') + update::JournalName);
    QDir(dir + QLatin1Char('/') + update::StagingDir).removeRecursively();
    QDir(dir + QLatin1Char('/') + update::BackupDir).removeRecursively(); // made empty by the staging
    QFile::remove(dir + QLatin1Char('/') + update::ArchiveName);
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
    boundReply(networkManager->post(request, update::versionCheckBody(uuid, vncId, staj, dsystem)),
               update::MaxReplyBytes);
}

void MainWindow::getVersionFromServerReplyFinished(QNetworkReply *netReply)
{
    if (netReply->error() != QNetworkReply::NoError) {
        qDebug() << "version check:" << netReply->errorString();
        netReply->deleteLater();
        return;
    }
    // The reply is one short line; anything longer is refused.
    const QByteArray body = netReply->read(update::MaxReplyBytes + 1);
    netReply->deleteLater();
    const update::UpdateOffer offer = update::parseUpdateReply(body);
    if (!offer.newer)
        return;
    // The program ends after a successful update: never in the middle of an exchange.
    if (updateInProgress || exchangeInProgress ||
        update::swapUnderWay(QCoreApplication::applicationDirPath())) {
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
    const QString previousEntry = readString(settings, keys::FailedUpdate);
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
        if (result == 0)
            removeStaged(QCoreApplication::applicationDirPath());
    }

    if (result == downloadUpdateInterrupted) {
        // Ended by a logout or SIGTERM: nothing failed, the version may come again.
        settings->setValue(keys::FailedUpdate, previousEntry);
        settings->sync();
        updateInProgress = false;
        return;
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

    // The signature first: without one there is nothing worth downloading.
    QByteArray signatureText;
    Fetched fetched = fetchSmall(address + QStringLiteral(".minisig"), maxSignatureBytes, signatureText);
    if (fetched != Fetched::Complete)
        return fetched == Fetched::Interrupted ? downloadUpdateInterrupted : -1;
    const QList<update::PublicKey> keys = update::trustedKeys();
    if (!update::signatureTrusted(signatureText, keys)) {
        qDebug() << "update: the signature is not from a trusted key";
        return -1;
    }
    fetched = fetch(dir, address, update::DownloadName);
    if (fetched != Fetched::Complete)
        return fetched == Fetched::Interrupted ? downloadUpdateInterrupted : -1;
    if (!QFile::exists(downloaded))
        return -2;
    // Nothing is unpacked and the program does not end unless the maker signed this very archive.
    if (!update::verifyFile(downloaded, signatureText, keys)) {
        qDebug() << "update: the archive is not signed by a trusted key";
        QFile::remove(downloaded);
        return -1;
    }
    if (!QFile::rename(downloaded, archive)) {
        QFile::remove(downloaded);
        return -2;
    }

    // Unpacked and tested here, while the old program still runs: the script only swaps.
    const QString exeName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    bool writeFailed = false;
    if (!update::stageArchive(dir, archive, exeName, &writeFailed)) {
        qDebug() << "update: the archive is not a usable zip, or the disk refused it";
        QFile::remove(archive);
        return writeFailed ? -2 : -1;
    }
    // A failure (a full disk among them) leaves no script; the program then keeps running.
    if (!update::writeScript(dir, exeName)) {
        removeStaged(dir);
        return -3;
    }
    return 0;
}
