#include "common/testsupport.h"

#include "platform/platform.h"
#include "platform/settingskeys.h"
#include "sync/milkingperiods.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QThread>

static QTemporaryDir *environmentDir = nullptr;

void TestEnvironment::setUp()
{
    if (environmentDir)
        return;
    environmentDir = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/stablomat-test-XXXXXX"));
    const QString root = environmentDir->path();
    QDir().mkpath(root + QStringLiteral("/home/.config"));
    QDir().mkpath(root + QStringLiteral("/home/.local/share"));
    qputenv("HOME", QFile::encodeName(root + QStringLiteral("/home")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/home/.config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(root + QStringLiteral("/home/.local/share")));
    qputenv("WINEPREFIX", QFile::encodeName(root + QStringLiteral("/wine")));
    // The version check goes to a closed port on this machine; a test may name its own server later.
    qputenv("STABLOMAT_UPDATE_URL", "http://127.0.0.1:9");
    // A D-Bus status-notifier host would take the tray icon away from the X11 tray.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    resetDriveC();
}

QString TestEnvironment::root()
{
    return environmentDir ? environmentDir->path() : QString();
}

QString TestEnvironment::winePrefix()
{
    return qEnvironmentVariable("WINEPREFIX");
}

void TestEnvironment::resetDriveC()
{
    QDir drive(winePrefix() + QStringLiteral("/drive_c"));
    drive.removeRecursively();
    QDir().mkpath(drive.path());
}

QString makeDriveCFile(const QString &windowsPath, const QByteArray &content)
{
    const QString local = platform::localPath(windowsPath);
    QDir().mkpath(QFileInfo(local).absolutePath());
    QFile file(local);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(content);
    return local;
}

int sleepIfAsked(int argc, char **argv)
{
    if (argc != 3 || qstrcmp(argv[1], "--sleep") != 0)
        return -1;
    QThread::sleep(static_cast<unsigned long>(QByteArray(argv[2]).toInt()));
    return 0;
}

QByteArray readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeWholeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

void fillUp(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return;
    const QByteArray block(4096, 'x');
    while (f.write(block) == block.size()) {
    }
    // The last partial block, byte by byte.
    while (f.write("x", 1) == 1) {
    }
}

bool writeScript(const QString &path, const QByteArray &script)
{
    return QDir().mkpath(QFileInfo(path).absolutePath()) && writeWholeFile(path, script) &&
           QFile::setPermissions(path,
                                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QByteArray crlf(const QString &text)
{
    return text.toUtf8().replace("\n", "\r\n");
}

void storeCloud(QSettings *store, const QString &cloud, const QString &user, const QString &password,
                int insDays, int sendDays)
{
    store->setValue(keys::CloudNumber, cloud);
    store->setValue(keys::CloudUser, user);
    store->setValue(keys::CloudPassword, password);
    store->setValue(keys::InsDays, insDays);
    store->setValue(keys::SendDays, sendDays);
}

void storeMilkingPeriods(const QList<int> &values)
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brantol"),
                    QStringLiteral("stablomat"));
    for (int i = 0; i < 15; ++i)
        store.setValue(keys::milkingPeriodKey(i),
                       i < 3 ? QVariant(values.value(i) != 0) : QVariant(values.value(i)));
}

QList<QDateTime> boundsForChoices(const QList<int> &v)
{
    QList<QDateTime> bounds;
    for (int m = 0; m < 3; ++m) {
        const int c = 3 + 4 * m;
        const MilkingPeriod p = milkingPeriod(v.value(m) != 0, v.value(c), v.value(c + 1), v.value(c + 2),
                                              v.value(c + 3), milkingPeriodsToday());
        bounds << p.from << p.to;
    }
    return bounds;
}
