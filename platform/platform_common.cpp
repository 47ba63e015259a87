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

namespace platform {

namespace {

// A word for cmd.exe: quoted where blanks or characters that cmd treats specially occur.
QString cmdQuoted(const QString &text)
{
    static const QString special = QStringLiteral(" \t&()[]{}^=;!'+,`~|<>");
    bool quote = text.isEmpty();
    for (const QChar c : text)
        quote = quote || special.contains(c);
    return quote ? QLatin1Char('"') + text + QLatin1Char('"') : text;
}

} // namespace

QString cmdConverterArguments(const QString &workDir, const QString &program, const QStringList &arguments)
{
    QString dir = workDir;
    dir.replace(QLatin1Char('/'), QLatin1Char('\\'));
    while (dir.endsWith(QLatin1Char('\\')) && !dir.endsWith(QLatin1String(":\\")))
        dir.chop(1);
    QString command = cmdQuoted(program);
    for (const QString &a : arguments)
        command += QLatin1Char(' ') + cmdQuoted(a);
    // /s: the outer quotes are removed and the rest is run as it stands; /d: no AutoRun commands.
    return QStringLiteral("/d /s /c \"cd /d \"%1\" && %2\"").arg(dir, command);
}

} // namespace platform
