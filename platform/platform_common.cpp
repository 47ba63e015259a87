#include "platform/platform.h"

namespace platform {

bool anotherInstanceRunning(const QString &exeName, qint64 ownPid)
{
    const QList<ProcessEntry> processes = runningProcesses();
    for (const ProcessEntry &p : processes) {
        if (p.exeName == exeName && p.pid != ownPid)
            return true;
    }
    return false;
}

} // namespace platform
