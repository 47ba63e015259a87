#include "servers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>

bool SelfSignedCertificate::create(const QString &directory)
{
    certFile = directory + QStringLiteral("/cert.pem");
    keyFile = directory + QStringLiteral("/key.pem");
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", keyFile, "-out", certFile,
                   "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit &&
           openssl.exitCode() == 0 && QFile::exists(certFile);
}

RawHttpServer::RawHttpServer()
{
    listen(QHostAddress::LocalHost);
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QString RawHttpServer::base() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort());
}

void RawHttpServer::answer(QTcpSocket *socket)
{
    const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    const int headerEnd = request.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    const QList<QByteArray> requestLine = request.left(request.indexOf("\r\n")).split(' ');
    const QUrl target(QString::fromLatin1(requestLine.value(1)));
    paths.append(target.path());

    QByteArray response;
    if (target.path() == QLatin1String("/cut")) {
        response = "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nContent-Length: 100000\r\n"
                   "Connection: close\r\n\r\n" +
                   QByteArray(1000, 'x');
    } else if (target.path() == QLatin1String("/huge")) {
        // Announces a gigabyte and then sends nothing more, keeping the connection open.
        socket->write(
            "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nContent-Length: 1000000000\r\n\r\n" +
            QByteArray(1000, 'x'));
        return;
    } else if (unannounced.contains(target.path())) {
        response = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n" +
                   unannounced.value(target.path());
    } else if (target.path() == QLatin1String("/redirect")) {
        const QByteArray to =
            QUrlQuery(target).queryItemValue(QStringLiteral("to"), QUrl::FullyDecoded).toLatin1();
        response =
            "HTTP/1.1 302 Found\r\nLocation: " + to + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    } else {
        response = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found";
    }
    socket->write(response);
    socket->disconnectFromHost();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

namespace {

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

} // namespace

bool SigningKey::create(const QString &directory)
{
    publicKeyFile = directory + QStringLiteral("/test.pub");
    secretKeyFile = directory + QStringLiteral("/test.key");
    return run(QStringLiteral("minisign"), {"-G", "-f", "-W", "-p", publicKeyFile, "-s", secretKeyFile});
}

bool SigningKey::sign(const QString &file, bool legacy) const
{
    QStringList arguments{"-S", "-s", secretKeyFile, "-m", file, "-x", file + QStringLiteral(".minisig")};
    if (legacy)
        arguments << QStringLiteral("-l");
    return run(QStringLiteral("minisign"), arguments);
}

bool makeArchive(const QString &zipPath, const QString &member, const QByteArray &content)
{
    return makeArchive(zipPath, {{member, content}});
}

bool makeArchive(const QString &zipPath, const QList<QPair<QString, QByteArray>> &members)
{
    QTemporaryDir staging;
    for (const auto &member : members) {
        const QString path = staging.filePath(member.first);
        if (!writeFile(path, member.second))
            return false;
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::ExeGroup);
    }
    QFile::remove(zipPath);
    QProcess zip;
    zip.setWorkingDirectory(staging.path());
    zip.start(QStringLiteral("zip"),
              {QStringLiteral("-q"), QStringLiteral("-r"), zipPath, QStringLiteral(".")});
    return zip.waitForFinished(30000) && zip.exitStatus() == QProcess::NormalExit && zip.exitCode() == 0;
}
