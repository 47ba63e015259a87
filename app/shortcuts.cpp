#include "app/shortcuts.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

static QString executableBaseName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

QString startupShortcutPath()
{
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
    if (locations.isEmpty())
        return QString();
    return locations.first() + QDir::separator() + QStringLiteral("Startup") + QDir::separator() +
           executableBaseName() + QStringLiteral(".lnk");
}

bool startupShortcutPresent()
{
    const QString path = startupShortcutPath();
    return !path.isEmpty() && QFile::exists(path);
}

bool createStartupShortcut()
{
    const QString path = startupShortcutPath();
    if (path.isEmpty())
        return false;
    // The Startup folder is there on Windows; elsewhere it may not be yet.
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QString executable = QCoreApplication::applicationFilePath();
    // Replaced like a shell link on Windows: an earlier or dangling link is no failure (one that
    // stays makes the link fail). Not asked of QFileInfo first: on Windows every name ending in
    // ".lnk" is a link to it, there or not, and removing a missing file fails.
    QFile::remove(path);
    if (!QFile::link(executable, path))
        return false;
    if (!platform::addLogonStart(executableBaseName(), executable)) {
        QFile::remove(path);
        return false;
    }
    return true;
}

bool removeStartupShortcut()
{
    const QString path = startupShortcutPath();
    if (path.isEmpty())
        return false;
    const bool removed = QFile::remove(path);
    platform::removeLogonStart(executableBaseName());
    return removed;
}

QString shortcutStateText(bool exists)
{
    return exists ? QCoreApplication::translate("DialogNastaveni", "Po spuštění - ano")
                  : QCoreApplication::translate("DialogNastaveni", "Po spuštění - ne");
}
