#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <windows.h>

#include <tlhelp32.h>

namespace platform {

void prepareProcess() {}

QString localPath(const QString &windowsPath)
{
    return windowsPath;
}

QString windowsPath(const QString &localPath)
{
    return QDir::toNativeSeparators(localPath);
}

QString ownExecutableName(const QString &argv0)
{
    // The image's own name as the process snapshot shows it: argv[0] may lack ".exe" (typed as
    // "stablomat" in a console) and is in the ANSI code page.
    wchar_t path[32768];
    const DWORD n = GetModuleFileNameW(nullptr, path, sizeof path / sizeof *path);
    if (n > 0 && n < sizeof path / sizeof *path)
        return QFileInfo(QString::fromWCharArray(path, static_cast<int>(n))).fileName();
    return QFileInfo(argv0).fileName();
}

QString missingDatabaseClient()
{
    const wchar_t client[] = L"fbclient.dll";
    if (GetModuleHandleW(client) || LoadLibraryW(client))
        return QString();
    // Firebird's own installation, as its installer records it; once loaded from there, the
    // driver's import of "fbclient.dll" finds it by name.
    const QSettings instances(
        QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Firebird Project\\Firebird Server\\Instances"),
        QSettings::NativeFormat);
    const QString root = instances.value(QStringLiteral("DefaultInstance")).toString();
    if (!root.isEmpty()) {
        const QString path = QDir::toNativeSeparators(QDir(root).filePath(QStringLiteral("fbclient.dll")));
        if (LoadLibraryW(reinterpret_cast<const wchar_t *>(path.utf16())))
            return QString();
    }
    return QString::fromWCharArray(client);
}

// Windows ends a tray program through its session messages, which Qt handles.
void watchEndSignals(const std::function<void()> &) {}

void reinstallEndSignals() {}

QList<ProcessEntry> runningProcesses()
{
    QList<ProcessEntry> result;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return result;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(PROCESSENTRY32W);
    if (Process32FirstW(snapshot, &entry)) {
        do {
            result.append(
                {static_cast<qint64>(entry.th32ProcessID), QString::fromWCharArray(entry.szExeFile)});
        } while (Process32NextW(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return result;
}

QString logonStartPath(const QString &)
{
    return QString();
}

bool addLogonStart(const QString &, const QString &)
{
    return true;
}

bool removeLogonStart(const QString &)
{
    return true;
}

} // namespace platform

// ---- Converter shell ----

#include <QProcess>

namespace platform {

bool startConverter(QProcess &process, const QString &workDir, const QString &program,
                    const QStringList &arguments, int startMs)
{
    process.setProgram(QStringLiteral("cmd.exe"));
    process.setNativeArguments(cmdConverterArguments(workDir, program, arguments));
    process.start(QIODevice::ReadWrite);
    if (!process.waitForStarted(startMs))
        return false;
    // The converter reads nothing from us.
    process.closeWriteChannel();
    return true;
}

namespace {

// The interpreter and everything it starts run in a job object: ending the job ends them all (Wine's
// taskkill knows no /T), and closing its last handle does too, so no converter outlives the run or
// this program. The interpreter starts suspended and joins the job before it can start anything.
class JobProcess : public QProcess
{
public:
    JobProcess() : job(CreateJobObjectW(nullptr, nullptr))
    {
        if (job) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        }
        setCreateProcessArgumentsModifier(
            [](QProcess::CreateProcessArguments *arguments) { arguments->flags |= CREATE_SUSPENDED; });
        connect(this, &QProcess::started, this, &JobProcess::joinAndResume);
    }
    ~JobProcess() override
    {
        if (job)
            CloseHandle(job);
    }
    JobProcess(const JobProcess &) = delete;
    JobProcess &operator=(const JobProcess &) = delete;

    void end()
    {
        if (job)
            TerminateJobObject(job, 1);
    }

private:
    void joinAndResume()
    {
        // The handles of the started process are only reachable through the deprecated pid().
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        const PROCESS_INFORMATION *info = pid();
        QT_WARNING_POP
        if (!info)
            return;
        if (job)
            AssignProcessToJobObject(job, info->hProcess);
        ResumeThread(info->hThread);
    }

    HANDLE job;
};

} // namespace

std::unique_ptr<QProcess> newConverterProcess()
{
    return std::make_unique<JobProcess>();
}

void endConverterProcess(QProcess &process)
{
    if (auto *jobProcess = dynamic_cast<JobProcess *>(&process))
        jobProcess->end();
    process.kill();
    process.waitForFinished(5000);
}

} // namespace platform

// Self-update.
#include <QProcess>
#include <QTextCodec>

namespace platform {

QString updateScriptName()
{
    return QStringLiteral("upgrade.bat");
}

bool holdProgramLock(const QString &path)
{
    // Not shared with anyone and never closed: the system lets go of it when the process ends.
    const HANDLE lock =
        CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                    GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return lock != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION;
}

bool startUpdateScript(const QString &dir)
{
    return QProcess::startDetached(QStringLiteral("cmd"), {QStringLiteral("/c"), updateScriptName()}, dir);
}

void protectSettings(const QString &) {}

} // namespace platform
