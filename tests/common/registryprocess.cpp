#include "common/registryprocess.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTcpServer>

RegistryProcess::RegistryProcess()
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { readLines(); });
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
    tls = extra.contains(QStringLiteral("--tls-cert"));
    process.start(program(), QStringList{"serve", "--db", dbPath(), "--port", "0"} + extra);
    if (!process.waitForStarted(10000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000) {
        if (!process.canReadLine() && !process.waitForReadyRead(100)) {
            if (process.state() == QProcess::NotRunning)
                break;
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
    qWarning("registry did not start: %s", process.readAllStandardError().constData());
    return false;
}

bool RegistryProcess::serve(const QStringList &extra)
{
    if (!start(extra))
        return false;
    qputenv("ZAVRA_URL", url().toUtf8());
    return true;
}

int RegistryProcess::stop(int waitMs)
{
    if (!running())
        return process.exitCode();
    process.terminate(); // SIGTERM
    if (!process.waitForFinished(waitMs))
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QString RegistryProcess::url(const QString &scheme, const QString &host) const
{
    const QString s = !scheme.isEmpty() ? scheme : tls ? QStringLiteral("https") : QStringLiteral("http");
    return QString("%1://%2:%3").arg(s, host).arg(listeningPort);
}

void RegistryProcess::onLine(std::function<void(const QByteArray &)> handler)
{
    lineHandler = std::move(handler);
    readLines();
}

void RegistryProcess::readLines()
{
    // Before start() has its port the lines are its own.
    while (lineHandler && listeningPort > 0 && process.canReadLine())
        lineHandler(process.readLine().trimmed());
}

void RegistryProcess::release()
{
    process.write("\n");
    process.waitForBytesWritten(1000);
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

bool RegistryProcess::recordInsemination(const QString &cloud, const QString &animal, const QDate &date,
                                         const QVariant &ordinal, const QString &bull,
                                         const QString &bullName) const
{
    QStringList args{"record-insemination",     "--cloud", cloud, "--animal", animal, "--date",
                     date.toString(Qt::ISODate)};
    if (!ordinal.isNull())
        args << "--ordinal" << ordinal.toString();
    if (!bull.isEmpty())
        args << "--bull" << bull;
    if (!bullName.isEmpty())
        args << "--bull-name" << bullName;
    int rc = -1;
    run(args, &rc);
    return rc == 0;
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

QList<QJsonObject> RegistryProcess::requests(const QString &method, const QString &pathPrefix) const
{
    QList<QJsonObject> list;
    for (const QJsonObject &o : requests()) {
        if (o.value("method").toString() == method && o.value("path").toString().startsWith(pathPrefix))
            list.append(o);
    }
    return list;
}

QStringList RegistryProcess::paths() const
{
    QStringList list;
    for (const QJsonObject &o : requests())
        list << o.value("path").toString();
    return list;
}

QJsonObject RegistryProcess::lastBody(const QString &path) const
{
    const QList<QJsonObject> log = requests(path);
    return log.isEmpty() ? QJsonObject()
                         : QJsonDocument::fromJson(log.last().value("body").toString().toUtf8()).object();
}

int unusedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const int port = server.serverPort();
    server.close();
    return port;
}
