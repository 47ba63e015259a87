#include "platform/platform.h"
#include "platform/wholefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace platform {

static QString winePrefix()
{
    QString prefix = qEnvironmentVariable("WINEPREFIX");
    if (prefix.isEmpty())
        prefix = QDir::homePath() + QStringLiteral("/.wine");
    while (prefix.size() > 1 && prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    return prefix;
}

// Appends each component of rest to base, taking an existing entry whose name differs only in
// case where the exact one is missing; from the first component found in neither spelling on,
// the rest is kept as written.
static QString resolvedWithoutCase(const QString &base, const QString &rest)
{
    QString path = base;
    bool found = true;
    const QStringList parts = rest.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        QString next = path + QLatin1Char('/') + part;
        const bool special = part == QLatin1String(".") || part == QLatin1String("..");
        if (found && !special && !QFileInfo::exists(next) && !QFileInfo(next).isSymLink()) {
            found = false;
            const QStringList entries =
                QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
            for (const QString &entry : entries) {
                if (entry.compare(part, Qt::CaseInsensitive) == 0) {
                    next = path + QLatin1Char('/') + entry;
                    found = true;
                    break;
                }
            }
        }
        path = next;
    }
    if (rest.isEmpty() || rest.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

QString localPath(const QString &windowsPath)
{
    if (windowsPath.size() < 2 || windowsPath.at(1) != QLatin1Char(':') ||
        windowsPath.at(0).toLower() != QLatin1Char('c'))
        return windowsPath;
    QString rest = windowsPath.mid(2);
    rest.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return resolvedWithoutCase(winePrefix() + QStringLiteral("/drive_c"), rest);
}

// The canonical form of a path that may not exist yet: its deepest existing ancestor resolved.
static QString canonicalOrClean(const QString &path)
{
    QString head = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString tail;
    while (!head.isEmpty() && head != QLatin1String("/")) {
        const QString canonical = QFileInfo(head).canonicalFilePath();
        if (!canonical.isEmpty())
            return canonical + tail;
        const int slash = head.lastIndexOf(QLatin1Char('/'));
        tail.prepend(head.mid(slash));
        head = head.left(slash);
    }
    return tail.isEmpty() ? QStringLiteral("/") : tail;
}

QString windowsPath(const QString &localPath)
{
    if (!QDir::isAbsolutePath(localPath))
        return localPath;
    const QString prefix = winePrefix();
    // The drives as Wine knows them (links in dosdevices); a fresh prefix has C: and Z:.
    QList<QPair<QString, QString>> drives;
    const QDir devices(prefix + QStringLiteral("/dosdevices"));
    const QStringList entries = devices.entryList({QStringLiteral("?:")}, QDir::AllEntries | QDir::System);
    for (const QString &entry : entries) {
        const QString root = QFileInfo(devices.filePath(entry)).canonicalFilePath();
        if (!root.isEmpty() && entry.at(0).isLetter())
            drives.append({entry.toUpper(), root});
    }
    if (drives.isEmpty()) {
        drives.append({QStringLiteral("C:"), canonicalOrClean(prefix + QStringLiteral("/drive_c"))});
        drives.append({QStringLiteral("Z:"), QStringLiteral("/")});
    }
    const QString path = canonicalOrClean(localPath);
    QString drive, rest;
    int longest = -1;
    for (const auto &d : drives) {
        const QString &root = d.second;
        const bool inside =
            root == QLatin1String("/") || path == root || path.startsWith(root + QLatin1Char('/'));
        if (inside && root.size() > longest) {
            longest = root.size();
            drive = d.first;
            rest = root == QLatin1String("/") ? path : path.mid(root.size());
        }
    }
    if (drive.isEmpty())
        return localPath;
    if (rest.isEmpty())
        rest = QStringLiteral("/");
    return drive + rest.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

static QString withoutDeletedMark(QString target)
{
    const QString deleted = QStringLiteral(" (deleted)");
    if (target.endsWith(deleted))
        target.chop(deleted.size());
    return target;
}

QString ownExecutableName(const QString &argv0)
{
    const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    if (!target.isEmpty())
        return QFileInfo(withoutDeletedMark(target)).fileName();
    return QFileInfo(argv0).fileName();
}

QString missingDatabaseClient()
{
    return QString();
}

static QString exeNameOf(const QString &procDir)
{
    // The exe link names the running image; a replaced file carries " (deleted)".
    const QString target = QFile::symLinkTarget(procDir + QStringLiteral("/exe"));
    if (!target.isEmpty())
        return QFileInfo(withoutDeletedMark(target)).fileName();
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
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Stablomat\n"
                                         "Exec=%1\n"
                                         "Icon=stablomat\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(desktopExecQuoted(executable));
    return platform::writeWholeFile(path, entry.toUtf8());
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

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace platform {

namespace {

// The shell and the converter get a session (and process group) of their own, so both can be
// ended at once; should this program die, the converter gets SIGKILL.
class GroupProcess : public QProcess
{
protected:
    void setupChildProcess() override
    {
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The end signals are this program's; a converter gets the usual ones.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
    }
};

QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

bool isWindowsExecutable(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(2) == "MZ";
}

QString converterCommand(const QString &workDir, const QString &program, const QStringList &arguments)
{
    // exec: the converter takes the shell's place, its process is the one that is waited for.
    // The converter's file as installed, whatever the case of its name ("ISO32.EXE").
    const QString file = resolvedWithoutCase(QDir::cleanPath(workDir), program);
    QString command = QStringLiteral("exec ");
    if (isWindowsExecutable(file)) {
        command += QStringLiteral("wine ") + shellQuoted(windowsPath(file));
        for (const QString &a : arguments)
            command += QLatin1Char(' ') + shellQuoted(QDir::isAbsolutePath(a) ? windowsPath(a) : a);
    } else {
        command += shellQuoted(QStringLiteral("./") + QFileInfo(file).fileName());
        for (const QString &a : arguments)
            command += QLatin1Char(' ') + shellQuoted(a);
    }
    // The converter must not read the commands meant for the shell.
    return command + QStringLiteral(" </dev/null");
}

QByteArray converterShellInput(const QString &workDir, const QString &command)
{
    const QString input = QStringLiteral("cd ") + shellQuoted(workDir) + QStringLiteral(" || exit 1\n") +
                          command + QStringLiteral("\nexit\n");
    return QFile::encodeName(input);
}

} // namespace

bool startConverter(QProcess &process, const QString &workDir, const QString &program,
                    const QStringList &arguments, int startMs)
{
    process.start(QStringLiteral("/bin/sh"), {}, QIODevice::ReadWrite);
    if (!process.waitForStarted(startMs))
        return false;
    process.write(converterShellInput(workDir, converterCommand(workDir, program, arguments)));
    process.closeWriteChannel();
    return true;
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

// ---- End signals ----

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

namespace platform {

namespace {

int endPipe[2] = {-1, -1};

void onEndSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(endPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void reinstallEndSignals()
{
    if (endPipe[1] < 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    // A library may also have blocked them.
    sigset_t ends;
    sigemptyset(&ends);
    sigaddset(&ends, SIGTERM);
    sigaddset(&ends, SIGINT);
    ::pthread_sigmask(SIG_UNBLOCK, &ends, nullptr);
}

void watchEndSignals(const std::function<void()> &onEnd)
{
    if (endPipe[0] < 0 && ::pipe2(endPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(endPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [onEnd] {
        char buffer[64];
        while (::read(endPipe[0], buffer, sizeof buffer) > 0) {
        }
        onEnd();
    });
    reinstallEndSignals();
}

} // namespace platform

// Self-update.
#include <QProcess>

namespace platform {

QString updateScriptName()
{
    return QStringLiteral("upgrade.sh");
}

bool startUpdateScript(const QString &dir)
{
    return QProcess::startDetached(QStringLiteral("/bin/sh"), {updateScriptName()}, dir);
}

bool holdProgramLock(const QString &path)
{
    // Kept open to the end of the process; children do not inherit it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return !held;
}

void protectSettings(const QString &settingsFile)
{
    if (QFileInfo::exists(settingsFile))
        QFile::setPermissions(settingsFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace platform
