#include "app/platform.h"

#include <windows.h>

#include <tlhelp32.h>

namespace platform {

QString localPath(const QString &windowsPath)
{
    return windowsPath;
}

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
            result.append({static_cast<qint64>(entry.th32ProcessID),
                           QString::fromWCharArray(entry.szExeFile)});
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

// Self-update.
#include <QProcess>
#include <QTextCodec>

namespace platform {

QString updateScriptName()
{
    return QStringLiteral("upgrade.bat");
}

QByteArray updateScript(const QString &)
{
    const QString text = QStringLiteral(":LOOP\n"
                                        "tasklist /fi \"ImageName eq stablomat.exe\" /fo csv 2>NUL | find /I "
                                        "\"stablomat.exe\">NUL\n"
                                        "if \"%ERRORLEVEL%\"==\"0\" (\n"
                                        "  ECHO STABLOMAT is still running\n"
                                        "  TIMEOUT /T 1\n"
                                        "  GOTO LOOP\n"
                                        ")\n"
                                        "\n"
                                        "unzip -xo stablomat.zip\n"
                                        "start /b stablomat.exe");
    // Written as "WIN-1250", the name Qt knows as Windows-1250.
    QTextCodec *codec = QTextCodec::codecForName("Windows-1250");
    return codec ? codec->fromUnicode(text) : text.toLatin1();
}

bool startUpdateScript(const QString &dir)
{
    return QProcess::startDetached(QStringLiteral("cmd"), {QStringLiteral("/c"), updateScriptName()}, dir);
}

} // namespace platform
