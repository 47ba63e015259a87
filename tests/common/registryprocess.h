// Runs the reference herd registry (zavra-registry) as a child process for the tests.
#pragma once

#include <QDate>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

class RegistryProcess
{
public:
    RegistryProcess();
    ~RegistryProcess();
    RegistryProcess(const RegistryProcess &) = delete;
    RegistryProcess &operator=(const RegistryProcess &) = delete;

    static QString program();

    // Starts `serve` on a free port with the given extra options; false when no "listening on" line
    // came within ten seconds.
    bool start(const QStringList &extra = QStringList());
    // start(), and the program's cloud calls pointed at this registry (ZAVRA_URL).
    bool serve(const QStringList &extra = QStringList());
    // SIGTERM, then waits; the exit code (-1 when it did not end within `waitMs`).
    int stop(int waitMs = 3000);
    bool running() const { return process.state() != QProcess::NotRunning; }
    qint64 pid() const { return process.processId(); }

    int port() const { return listeningPort; }
    // The base address; the scheme follows --tls-cert unless given.
    QString url(const QString &scheme = QString(), const QString &host = "127.0.0.1") const;
    QString dbPath() const { return dir.filePath("registry.db"); }

    // Called in the event loop with each line the server prints after "listening on" (with
    // --announce: "received <method> <path>" as a request arrives).
    void onLine(std::function<void(const QByteArray &)> handler);
    // Lets the oldest request held by --hold be answered.
    void release();

    // Runs a command of the command line on this registry's database; its standard output.
    QByteArray run(const QStringList &args, int *exitCode = nullptr) const;
    // add-farm and add-user in one go.
    bool addUser(const QString &cloud, const QString &user, const QString &password) const;
    QJsonObject dump(const QString &cloud) const;
    // record-insemination; a null ordinal or an empty bull or bull name is left out.
    bool recordInsemination(const QString &cloud, const QString &animal, const QDate &date,
                            const QVariant &ordinal = QVariant(), const QString &bull = QString(),
                            const QString &bullName = QString()) const;
    QList<QJsonObject> requests() const;
    // The logged requests whose path ends with `path`.
    QList<QJsonObject> requests(const QString &path) const;
    // The logged requests of this method whose path starts with `pathPrefix`.
    QList<QJsonObject> requests(const QString &method, const QString &pathPrefix) const;
    // The paths of the logged requests, in order.
    QStringList paths() const;
    // The body of the last logged request whose path ends with `path`; empty without one.
    QJsonObject lastBody(const QString &path = QStringLiteral("/api/v1/sync")) const;

private:
    void readLines();

    QTemporaryDir dir;
    QProcess process;
    int listeningPort = 0;
    bool tls = false;
    std::function<void(const QByteArray &)> lineHandler;
};

// A port on 127.0.0.1 that nothing listens on (bound briefly, then released).
int unusedPort();
