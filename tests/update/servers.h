// Servers on loopback for the update tests: a small HTTP server that misbehaves on purpose, and a
// self-signed certificate.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QTcpServer>

// A certificate for 127.0.0.1 that nobody trusts; created with the openssl command.
struct SelfSignedCertificate
{
    bool create(const QString &directory);
    QString certFile, keyFile;
};

// Answers by path: "/cut" announces more bytes than it sends and closes; "/huge" announces a
// gigabyte, sends a little and waits; "/redirect?to=URL"
// answers 302 to URL; a path in unannounced gets its body without Content-Length, ended by closing
// the connection; everything else 404.
class RawHttpServer : public QTcpServer
{
public:
    RawHttpServer();
    QString base() const;
    QStringList paths; // the request paths seen
    QMap<QString, QByteArray> unannounced;

private:
    void answer(QTcpSocket *socket);
};

// Writes a whole file, creating its directory.
bool writeFile(const QString &path, const QByteArray &content);
QByteArray randomBytes(int size);

// A key pair in minisign's formats made for one test run (the secret key file unencrypted, for
// scripts/sign-release.sh); the secret key never leaves the temporary directory.
struct SigningKey
{
    bool create(const QString &directory);
    // Writes file + ".minisig" (prehashed "ED", or the legacy "Ed" form).
    bool sign(const QString &file, bool legacy = false) const;
    QString publicKeyFile, secretKeyFile;
    QByteArray keyId, secretKey;
};

// BLAKE2b (512 bits: the hash that the prehashed form signs).
QByteArray blake2b(const QByteArray &data, int size = 64);

// A zip at zipPath holding one executable file member with content.
bool makeArchive(const QString &zipPath, const QString &member, const QByteArray &content);
// The same with several members, made on Unix (paths below the archive's top); the last one may be a
// symbolic link to its content or encrypted.
enum class MemberKind
{
    File,
    SymbolicLink,
    Encrypted
};
bool makeArchive(const QString &zipPath, const QList<QPair<QString, QByteArray>> &members,
                 MemberKind last = MemberKind::File);
