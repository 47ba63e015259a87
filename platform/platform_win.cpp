#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>

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
    return QFileInfo(argv0).fileName();
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

namespace {

QString cmdQuoted(const QString &text)
{
    if (!text.isEmpty() && !text.contains(QLatin1Char(' ')) && !text.contains(QLatin1Char('&')) &&
        !text.contains(QLatin1Char('^')))
        return text;
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

ConverterShell converterShell()
{
    return {QStringLiteral("cmd.exe"), {QString()}, true};
}

QString converterCommand(const QString &, const QString &program, const QStringList &arguments)
{
    QString command = cmdQuoted(program);
    for (const QString &a : arguments)
        command += QLatin1Char(' ') + cmdQuoted(a);
    return command;
}

QByteArray converterShellInput(const QString &workDir, const QString &command)
{
    // cmd.exe reads "\n\r"-ended lines; the drive is switched before "cd" so that another
    // drive's directory is reached. The exit status is the converter's.
    const QString end = QStringLiteral("\n\r");
    QString input;
    if (workDir.size() >= 2 && workDir.at(1) == QLatin1Char(':'))
        input += workDir.left(2) + end;
    input += QStringLiteral("cd ") + cmdQuoted(workDir) + end;
    input += command + end;
    input += QStringLiteral("exit %ERRORLEVEL%") + end;
    return input.toLatin1();
}

std::unique_ptr<QProcess> newConverterProcess()
{
    return std::make_unique<QProcess>();
}

void endConverterProcess(QProcess &process)
{
    // End the converter too, not only the interpreter that started it.
    const qint64 pid = process.processId();
    if (pid > 0)
        QProcess::execute(QStringLiteral("taskkill"), {QStringLiteral("/F"), QStringLiteral("/T"),
                                                       QStringLiteral("/PID"), QString::number(pid)});
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
