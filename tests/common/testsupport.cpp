#include "common/testsupport.h"

#include "app/messagebox.h"
#include "app/platform.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
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

ModalAnswerer::ModalAnswerer(QObject *parent) : QObject(parent)
{
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    timer.start();
    // Boxes that do not wait are answered as they appear.
    messagebox::setNoticeHook([this](QMessageBox *box) { answer(box); });
}

ModalAnswerer::~ModalAnswerer()
{
    messagebox::setNoticeHook(nullptr);
}

void ModalAnswerer::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    answer(box);
}

void ModalAnswerer::answer(QMessageBox *box)
{
    Box seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    switch (box->icon()) {
    case QMessageBox::Information:
        seen.icon = QStringLiteral("information");
        break;
    case QMessageBox::Warning:
        seen.icon = QStringLiteral("warning");
        break;
    case QMessageBox::Critical:
        seen.icon = QStringLiteral("critical");
        break;
    case QMessageBox::Question:
        seen.icon = QStringLiteral("question");
        break;
    default:
        break;
    }
    boxes.append(seen);
    QAbstractButton *ok = box->button(QMessageBox::Ok);
    if (!ok && !box->buttons().isEmpty())
        ok = box->buttons().first();
    if (ok)
        ok->click();
    else
        box->close();
}
