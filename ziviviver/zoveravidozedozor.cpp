// Downloads one file after another into the output directory. A file appears under its name only
// when its download is complete; a failed or cut-off download leaves nothing behind.
#include "ziviviver.h"

#include "netrule.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSaveFile>
#include <QTimer>
#include <QtDebug>

#include <memory>

namespace {

const int transferTimeoutMs = 60000;             // without any data for this long, the download fails
const qint64 maxFileBytes = 300LL * 1024 * 1024; // a larger file is refused

// The name the file gets in the output directory; empty when it would leave the directory.
QString targetName(const dm_request_t &request)
{
    QString name = request.fileName.isEmpty() ? request.fileUrl.fileName() : request.fileName;
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || name == QLatin1String(".") ||
        name == QLatin1String(".."))
        return QString();
    return name;
}

} // namespace

class ZOVeravidoZedozor::Private
{
public:
    explicit Private(ZOVeravidoZedozor *q) : owner(q) {}

    void startNext();
    void skipCurrent();
    void finishCurrent();

    ZOVeravidoZedozor *owner;
    QNetworkAccessManager network;
    QString outputDir;
    QList<dm_request_t> queue;
    bool running = false;
    QPointer<QNetworkReply> reply;
    std::unique_ptr<QSaveFile> file;
    bool writeFailed = false;
};

void ZOVeravidoZedozor::Private::startNext()
{
    if (queue.isEmpty()) {
        running = false;
        // Always delivered from the event loop, so a caller may connect after append().
        QTimer::singleShot(0, owner, &ZOVeravidoZedozor::finishedDownload);
        return;
    }
    running = true;
    const dm_request_t request = queue.takeFirst();
    const QString name = targetName(request);
    if (name.isEmpty() || outputDir.isEmpty()) {
        qDebug() << "download refused: no usable file name or output directory" << request.fileUrl;
        skipCurrent();
        return;
    }
    if (!netrule::permittedUrl(request.fileUrl)) {
        qDebug() << "download refused: not an https address" << request.fileUrl;
        skipCurrent();
        return;
    }
    file = std::make_unique<QSaveFile>(QDir(outputDir).filePath(name));
    writeFailed = false;
    if (!file->open(QIODevice::WriteOnly)) {
        qDebug() << "download: cannot write" << file->fileName() << file->errorString();
        file.reset();
        skipCurrent();
        return;
    }

    // The body is stored as sent, so its length can be checked against Content-Length.
    reply = network.get(netrule::fileRequest(request.fileUrl, transferTimeoutMs));
    QObject::connect(reply, &QNetworkReply::redirected, owner, [this](const QUrl &target) {
        if (!reply)
            return;
        if (netrule::permittedUrl(target))
            emit reply->redirectAllowed();
        else
            reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, owner, [this] {
        const QVariant announced = reply ? reply->header(QNetworkRequest::ContentLengthHeader) : QVariant();
        if (announced.isValid() && announced.toLongLong() > maxFileBytes) {
            writeFailed = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::readyRead, owner, [this] {
        if (!reply || !file)
            return;
        const QByteArray chunk = reply->readAll();
        // A full disk or an oversized body ends the transfer at once.
        if (writeFailed || file->size() + chunk.size() > maxFileBytes || file->write(chunk) != chunk.size()) {
            writeFailed = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, owner, [this] { finishCurrent(); });
}

// Moves on without a network request; the failure counts as a download that did not finish.
void ZOVeravidoZedozor::Private::skipCurrent()
{
    QTimer::singleShot(0, owner, [this] { startNext(); });
}

void ZOVeravidoZedozor::Private::finishCurrent()
{
    QNetworkReply *done = reply;
    reply = nullptr;
    if (!done)
        return;
    done->deleteLater();
    if (file && done->error() == QNetworkReply::NoError) {
        const QByteArray rest = done->readAll();
        if (!writeFailed && (file->size() + rest.size() > maxFileBytes || file->write(rest) != rest.size()))
            writeFailed = true;
    }

    bool complete = done->error() == QNetworkReply::NoError && !writeFailed && file;
    const int status = done->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (complete && (status < 200 || status > 299))
        complete = false;
    // A body shorter than announced was cut off.
    const QVariant announced = done->header(QNetworkRequest::ContentLengthHeader);
    if (complete && announced.isValid() && announced.toLongLong() != file->size())
        complete = false;

    // Flushed first: commit() does not notice a buffer that a full disk refused.
    if (complete && file->flush() && file->commit()) {
        ++owner->downloadedCount;
    } else {
        qDebug() << "download failed:" << done->url() << done->errorString();
        if (file)
            file->cancelWriting();
    }
    file.reset();
    startNext();
}

ZOVeravidoZedozor::ZOVeravidoZedozor(QObject *parent) : QObject(parent), d(new Private(this)) {}

ZOVeravidoZedozor::~ZOVeravidoZedozor()
{
    if (d->reply) {
        QNetworkReply *open = d->reply;
        d->reply = nullptr;
        open->disconnect(this);
        open->abort();
    }
    d->file.reset(); // an uncommitted file takes its temporary file with it
    delete d;
}

void ZOVeravidoZedozor::setOutputDir(const QString &dir)
{
    d->outputDir = dir;
}

void ZOVeravidoZedozor::append(const dm_request_t &request, bool start)
{
    d->queue.append(request);
    if (start && !d->running)
        d->startNext();
}
