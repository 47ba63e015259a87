#include "app/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

namespace platform {

QString localPath(const QString &windowsPath)
{
    if (windowsPath.size() < 2 || windowsPath.at(1) != QLatin1Char(':') ||
        windowsPath.at(0).toLower() != QLatin1Char('c'))
        return windowsPath;
    QString prefix = qEnvironmentVariable("WINEPREFIX");
    if (prefix.isEmpty())
        prefix = QDir::homePath() + QStringLiteral("/.wine");
    while (prefix.size() > 1 && prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    QString rest = windowsPath.mid(2);
    rest.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!rest.startsWith(QLatin1Char('/')))
        rest.prepend(QLatin1Char('/'));
    return prefix + QStringLiteral("/drive_c") + rest;
}

static QString exeNameOf(const QString &procDir)
{
    // The exe link names the running image; a replaced file carries " (deleted)".
    QString target = QFile::symLinkTarget(procDir + QStringLiteral("/exe"));
    if (!target.isEmpty()) {
        const QString deleted = QStringLiteral(" (deleted)");
        if (target.endsWith(deleted))
            target.chop(deleted.size());
        return QFileInfo(target).fileName();
    }
    // Another user's process: the link is not readable, argv[0] is.
    QFile cmdline(procDir + QStringLiteral("/cmdline"));
    if (!cmdline.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray raw = cmdline.read(4096);
    const QByteArray argv0 = raw.left(raw.indexOf('\0'));
    return QFileInfo(QString::fromLocal8Bit(argv0)).fileName();
}

QList<ProcessEntry> runningProcesses()
{
    QList<ProcessEntry> result;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QString name = exeNameOf(QStringLiteral("/proc/") + entry);
        if (!name.isEmpty())
            result.append({pid, name});
    }
    return result;
}

QString logonStartPath(const QString &baseName)
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (config.isEmpty() || baseName.isEmpty())
        return QString();
    return config + QStringLiteral("/autostart/") + baseName + QStringLiteral(".desktop");
}

static QString desktopExecQuoted(const QString &path)
{
    QString quoted = path;
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    quoted.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    quoted.replace(QLatin1Char('`'), QStringLiteral("\\`"));
    quoted.replace(QLatin1Char('$'), QStringLiteral("\\$"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

bool addLogonStart(const QString &baseName, const QString &executable)
{
    const QString path = logonStartPath(baseName);
    if (path.isEmpty() || !QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=Stablomat\n"
        << "Exec=" << desktopExecQuoted(executable) << "\n"
        << "Icon=stablomat\n"
        << "Terminal=false\n"
        << "X-GNOME-Autostart-enabled=true\n";
    out.flush();
    // Flushed here: commit() does not notice a buffer that a full disk refused.
    if (out.status() != QTextStream::Ok || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool removeLogonStart(const QString &baseName)
{
    const QString path = logonStartPath(baseName);
    return path.isEmpty() || !QFile::exists(path) || QFile::remove(path);
}

void prepareProcess()
{
    if (qEnvironmentVariableIsEmpty("TZ") && QFileInfo::exists(QStringLiteral("/etc/localtime")))
        qputenv("TZ", ":/etc/localtime");
}

} // namespace platform

// ---- Converter shell ----

#include <QProcess>

#include <signal.h>
#include <unistd.h>

namespace platform {

namespace {

// The shell and the converter get a process group of their own, so both can be ended at once.
class GroupProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

ConverterShell converterShell()
{
    return {QStringLiteral("/bin/sh"), {}, false};
}

QString converterCommand(const QString &program, const QStringList &arguments)
{
    QString command = shellQuoted(QStringLiteral("./") + program);
    for (const QString &a : arguments)
        command += QLatin1Char(' ') + shellQuoted(a);
    // The converter must not read the commands meant for the shell.
    return command + QStringLiteral(" </dev/null");
}

QByteArray converterShellInput(const QString &workDir, const QString &command)
{
    const QString input = QStringLiteral("cd ") + shellQuoted(workDir) + QStringLiteral(" || exit 1\n") +
                          command + QStringLiteral("\nexit\n");
    return QFile::encodeName(input);
}

std::unique_ptr<QProcess> newConverterProcess()
{
    return std::make_unique<GroupProcess>();
}

void endConverterProcess(QProcess &process)
{
    const qint64 pid = process.processId();
    if (pid > 0)
        ::kill(-static_cast<pid_t>(pid), SIGKILL);
    process.kill();
    process.waitForFinished(5000);
}

} // namespace platform

// Self-update.
#include <QProcess>

namespace platform {

QString updateScriptName()
{
    return QStringLiteral("upgrade.sh");
}

QByteArray updateScript(const QString &exeName)
{
    const QString name = shellQuoted(exeName);
    // A process runs the program while its exe link names the executable (" (deleted)" once replaced).
    const QString text = QStringLiteral("#!/bin/sh\n"
                                        "running() {\n"
                                        "  for p in /proc/[0-9]*; do\n"
                                        "    e=$(readlink \"$p/exe\" 2>/dev/null) || continue\n"
                                        "    e=${e% (deleted)}\n"
                                        "    [ \"${e##*/}\" = %1 ] && return 0\n"
                                        "  done\n"
                                        "  return 1\n"
                                        "}\n"
                                        "while running; do\n"
                                        "  echo \"STABLOMAT is still running\"\n"
                                        "  sleep 1\n"
                                        "done\n"
                                        "\n"
                                        "unzip -o stablomat.zip\n"
                                        "chmod +x ./%1 2>/dev/null\n"
                                        "./%1 >/dev/null 2>&1 &")
                             .arg(name);
    return text.toLocal8Bit();
}

bool startUpdateScript(const QString &dir)
{
    return QProcess::startDetached(QStringLiteral("/bin/sh"), {updateScriptName()}, dir);
}

void protectSettings(const QString &settingsFile)
{
    if (QFileInfo::exists(settingsFile))
        QFile::setPermissions(settingsFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace platform
