// Servers on loopback for the update tests: the reference registry as a child process, a small
// HTTP server that misbehaves on purpose, and a self-signed certificate.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>

// zavra-registry serve on a free port; stopped when the object goes.
class Registry
{
public:
    Registry() = default;
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    bool start(const QStringList &serveOptions = {});
    QString base() const; // "http://127.0.0.1:<port>" or "https://..." with TLS
    int port() const { return listeningPort; }
    QList<QJsonObject> requests() const;
    // Requests of this method whose path starts with pathPrefix.
    QList<QJsonObject> requests(const QString &method, const QString &pathPrefix) const;

private:
    QTemporaryDir dir;
    QProcess process;
    int listeningPort = 0;
    bool tls = false;
};

// A certificate for 127.0.0.1 that nobody trusts; created with the openssl command.
struct SelfSignedCertificate
{
    bool create(const QString &directory);
    QString certFile, keyFile;
};

// Answers by path: "/cut" announces more bytes than it sends and closes; "/redirect?to=URL"
// answers 302 to URL; everything else 404.
class RawHttpServer : public QTcpServer
{
public:
    RawHttpServer();
    QString base() const;
    QStringList paths; // the request paths seen

private:
    void answer(QTcpSocket *socket);
};

// Writes a whole file, creating its directory.
bool writeFile(const QString &path, const QByteArray &content);
QByteArray randomBytes(int size);
