#include "servers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

#include <sodium.h>
#include <zip.h>

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

// The key file forms of minisign: "Ed" + key id + key, in base64 under an untrusted comment.
bool writeKeyFile(const QString &path, const char *comment, const QByteArray &raw)
{
    return writeFile(path, "untrusted comment: " + QByteArray(comment) + '\n' + raw.toBase64() + '\n');
}

QByteArray sign(const QByteArray &message, const QByteArray &secretKey)
{
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(message.constData()), message.size(),
                         reinterpret_cast<const unsigned char *>(secretKey.constData()));
    return signature;
}

} // namespace

QByteArray blake2b(const QByteArray &data, int size)
{
    QByteArray hash(size, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char *>(hash.data()), hash.size(),
                       reinterpret_cast<const unsigned char *>(data.constData()), data.size(), nullptr, 0);
    return hash;
}

bool SigningKey::create(const QString &directory)
{
    if (sodium_init() < 0)
        return false;
    publicKeyFile = directory + QStringLiteral("/test.pub");
    secretKeyFile = directory + QStringLiteral("/test.key");
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
    secretKey.resize(crypto_sign_SECRETKEYBYTES);
    keyId.resize(8);
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                        reinterpret_cast<unsigned char *>(secretKey.data()));
    randombytes_buf(keyId.data(), size_t(keyId.size()));
    // Unencrypted secret key: algorithm, no key derivation, BLAKE2b-256 checksum, empty salt and
    // limits, then key id, key and the checksum over algorithm, id and key.
    const QByteArray secret = "Ed" + QByteArray(2, '\0') + "B2" + QByteArray(48, '\0') + keyId + secretKey +
                              blake2b("Ed" + keyId + secretKey, 32);
    return writeKeyFile(publicKeyFile, "minisign public key", "Ed" + keyId + publicKey) &&
           writeKeyFile(secretKeyFile, "minisign secret key", secret);
}

bool SigningKey::sign(const QString &file, bool legacy) const
{
    QFile in(file);
    if (secretKey.isEmpty() || !in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = in.readAll();
    const QByteArray signature = ::sign(legacy ? content : blake2b(content), secretKey);
    const QByteArray comment =
        "timestamp:1767225600\tfile:" + QFileInfo(file).fileName().toUtf8() + (legacy ? "" : "\thashed");
    return writeFile(file + QStringLiteral(".minisig"),
                     "untrusted comment: signature from minisign secret key\n" +
                         (QByteArray(legacy ? "Ed" : "ED") + keyId + signature).toBase64() +
                         "\ntrusted comment: " + comment + '\n' +
                         ::sign(signature + comment, secretKey).toBase64() + '\n');
}

bool makeArchive(const QString &zipPath, const QString &member, const QByteArray &content)
{
    return makeArchive(zipPath, {{member, content}});
}

bool makeArchive(const QString &zipPath, const QList<QPair<QString, QByteArray>> &members, MemberKind last)
{
    QFile::remove(zipPath);
    zipFile zip = zipOpen64(QFile::encodeName(zipPath).constData(), APPEND_STATUS_CREATE);
    bool ok = zip != nullptr;
    for (int i = 0; ok && i < members.size(); ++i) {
        const MemberKind kind = i == members.size() - 1 ? last : MemberKind::File;
        const QByteArray &content = members.at(i).second;
        // Made on Unix: the mode in the upper half of the external attributes.
        zip_fileinfo info{};
        info.external_fa = uLong(kind == MemberKind::SymbolicLink ? 0120777 : 0100750) << 16;
        const uLong crc =
            crc32(0, reinterpret_cast<const Bytef *>(content.constData()), uInt(content.size()));
        ok = zipOpenNewFileInZip4_64(
                 zip, members.at(i).first.toUtf8().constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                 Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                 kind == MemberKind::Encrypted ? "secret" : nullptr, crc, 3 << 8 | 30, 0, 0) == ZIP_OK &&
             zipWriteInFileInZip(zip, content.constData(), unsigned(content.size())) == ZIP_OK;
        ok = zipCloseFileInZip(zip) == ZIP_OK && ok;
    }
    return zip && zipClose(zip, nullptr) == ZIP_OK && ok;
}
