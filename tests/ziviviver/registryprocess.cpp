#include "registryprocess.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTcpServer>

#include <csignal>
#include <sys/types.h>

RegistryProcess::RegistryProcess()
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
}

RegistryProcess::~RegistryProcess()
{
    if (running()) {
        stop(2000);
        if (running()) {
            process.kill();
            process.waitForFinished(2000);
        }
    }
}

QString RegistryProcess::program()
{
    return QStringLiteral(ZAVRA_REGISTRY_PATH);
}

bool RegistryProcess::start(const QStringList &extra)
{
    process.start(program(), QStringList{"serve", "--db", dbPath(), "--port", "0"} + extra);
    if (!process.waitForStarted(5000))
        return false;
    QElapsedTimer clock;
    clock.start();
    QByteArray out;
    while (clock.elapsed() < 5000) {
        if (!process.canReadLine() && !process.waitForReadyRead(100)) {
            if (process.state() == QProcess::NotRunning)
                return false;
            continue;
        }
        while (process.canReadLine()) {
            const QByteArray line = process.readLine().trimmed();
            if (line.startsWith("listening on ")) {
                listeningPort = line.mid(13).toInt();
                return listeningPort > 0;
            }
        }
    }
    return false;
}

int RegistryProcess::stop(int waitMs)
{
    if (!running())
        return process.exitCode();
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    if (!process.waitForFinished(waitMs))
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QString RegistryProcess::url(const QString &scheme, const QString &host) const
{
    return QString("%1://%2:%3").arg(scheme, host).arg(listeningPort);
}

QByteArray RegistryProcess::run(const QStringList &args, int *exitCode) const
{
    QProcess cli;
    QStringList full = args;
    full.insert(1, "--db");
    full.insert(2, dbPath());
    cli.start(program(), full);
    cli.waitForFinished(30000);
    if (exitCode)
        *exitCode = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    return cli.readAllStandardOutput();
}

bool RegistryProcess::addUser(const QString &cloud, const QString &user, const QString &password) const
{
    int farmRc = -1;
    int userRc = -1;
    run({"add-farm", "--cloud", cloud}, &farmRc);
    run({"add-user", "--cloud", cloud, "--user", user, "--password", password}, &userRc);
    return farmRc == 0 && userRc == 0;
}

QJsonObject RegistryProcess::dump(const QString &cloud) const
{
    return QJsonDocument::fromJson(run({"dump", "--cloud", cloud})).object();
}

QList<QJsonObject> RegistryProcess::requests() const
{
    QList<QJsonObject> list;
    for (const QByteArray &line : run({"requests"}).split('\n')) {
        if (!line.trimmed().isEmpty())
            list.append(QJsonDocument::fromJson(line).object());
    }
    return list;
}

QList<QJsonObject> RegistryProcess::requests(const QString &path) const
{
    QList<QJsonObject> list;
    for (const QJsonObject &o : requests()) {
        if (o.value("path").toString().endsWith(path))
            list.append(o);
    }
    return list;
}

int unusedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const int port = server.serverPort();
    server.close();
    return port;
}
