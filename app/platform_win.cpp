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
