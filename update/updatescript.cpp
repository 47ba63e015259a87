// The update scripts and the check of the archive they unpack.
#include "update/updateprotocol.h"

#include "platform/platform.h"

#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QStringList>
#include <QTextCodec>

namespace update {

namespace {

const int unzipTimeoutMs = 120000;
const int maxListingSize = 1 << 20;

QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

bool runUnzip(const QStringList &arguments, QByteArray *output)
{
    const QString unzip = QStandardPaths::findExecutable(QStringLiteral("unzip"));
    if (unzip.isEmpty())
        return false;
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(unzip, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted())
        return false;
    QByteArray collected;
    while (process.state() != QProcess::NotRunning) {
        if (!process.waitForReadyRead(unzipTimeoutMs) && process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
            return false;
        }
        collected += process.readAllStandardOutput();
        process.readAllStandardError();
        if (collected.size() > maxListingSize) {
            process.kill();
            process.waitForFinished();
            return false;
        }
    }
    collected += process.readAllStandardOutput();
    if (output)
        *output = collected;
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

bool archiveListingAcceptable(const QByteArray &listing, const QString &exeName)
{
    static const QSet<QString> ownNames = {
        QStringLiteral("stablomat.new"), QStringLiteral("stablomat.old"), ArchiveName, DownloadName,
        QStringLiteral("upgrade.sh"),    QStringLiteral("upgrade.bat")};
    bool hasProgram = false;
    for (const QByteArray &line : listing.split('\n')) {
        const QString name = QString::fromUtf8(line).remove(QLatin1Char('\r'));
        if (name.isEmpty())
            continue;
        if (name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
            name.contains(QLatin1Char(':')))
            return false;
        const QStringList parts = name.split(QLatin1Char('/'));
        for (const QString &part : parts) {
            if (part == QLatin1String("..") || part == QLatin1String("."))
                return false;
        }
        const QString top = parts.first();
        if (top.startsWith(QLatin1Char('.')) || top.startsWith(QLatin1Char('-')) ||
            ownNames.contains(top.toLower()))
            return false;
        if (name == exeName)
            hasProgram = true;
    }
    return hasProgram;
}

bool checkArchive(const QString &path, const QString &exeName)
{
    QByteArray listing;
    return runUnzip({QStringLiteral("-Z1"), path}, &listing) && archiveListingAcceptable(listing, exeName) &&
           runUnzip({QStringLiteral("-tqq"), path}, nullptr);
}

// The two scripts take the same steps in the same order; the batch file cannot be run on the
// machines that build and test the program, so keep every change mirrored in both.
QByteArray unixUpdateScript(const QString &exeName, int settleSeconds)
{
    const QString text =
        QStringLiteral("#!/bin/sh\n"
                       "exe=%1\n"
                       "running() {\n"
                       "  for p in /proc/[0-9]*; do\n"
                       "    e=$(readlink \"$p/exe\" 2>/dev/null) || continue\n"
                       "    e=${e% (deleted)}\n"
                       "    [ \"${e##*/}\" = \"$exe\" ] && return 0\n"
                       "  done\n"
                       "  return 1\n"
                       "}\n"
                       "while running; do\n"
                       "  echo \"STABLOMAT is still running\"\n"
                       "  sleep 1\n"
                       "done\n"
                       "\n"
                       "rollback() {\n"
                       "  echo \"STABLOMAT update failed: $1\"\n"
                       "  for f in stablomat.old/*; do\n"
                       "    [ -e \"$f\" ] || continue\n"
                       "    n=${f#stablomat.old/}\n"
                       "    rm -rf \"./$n\"\n"
                       "    mv -f \"$f\" \"./$n\"\n"
                       "  done\n"
                       "  rm -rf stablomat.new\n"
                       "  ./\"$exe\" >/dev/null 2>&1 &\n"
                       "  exit 1\n"
                       "}\n"
                       "rm -rf stablomat.new stablomat.old\n"
                       "mkdir stablomat.new stablomat.old || rollback mkdir\n"
                       "unzip -qq -o stablomat.zip -d stablomat.new </dev/null || rollback unzip\n"
                       "[ -f \"stablomat.new/$exe\" ] || rollback unzip\n"
                       "chmod +x \"stablomat.new/$exe\" || rollback unzip\n"
                       "for f in stablomat.new/*; do\n"
                       "  n=${f#stablomat.new/}\n"
                       "  if [ -e \"$n\" ]; then mv -f \"./$n\" stablomat.old/ || rollback swap; fi\n"
                       "  mv -f \"$f\" \"./$n\" || rollback swap\n"
                       "done\n"
                       "./\"$exe\" >/dev/null 2>&1 &\n"
                       "pid=$!\n"
                       "sleep %2\n"
                       "kill -0 $pid 2>/dev/null || rollback start\n"
                       "rm -rf stablomat.new")
            .arg(shellQuoted(exeName), QString::number(settleSeconds));
    return text.toLocal8Bit();
}

QByteArray windowsUpdateScript()
{
    const QString text = QStringLiteral(
        ":LOOP\n"
        "tasklist /fi \"ImageName eq stablomat.exe\" /fo csv 2>NUL | find /I \"stablomat.exe\">NUL\n"
        "if \"%ERRORLEVEL%\"==\"0\" (\n"
        "  ECHO STABLOMAT is still running\n"
        "  TIMEOUT /T 1\n"
        "  GOTO LOOP\n"
        ")\n"
        "\n"
        "if exist stablomat.new rmdir /s /q stablomat.new\n"
        "if exist stablomat.old rmdir /s /q stablomat.old\n"
        "mkdir stablomat.new || GOTO ROLLBACK\n"
        "mkdir stablomat.old || GOTO ROLLBACK\n"
        "unzip -qq -o stablomat.zip -d stablomat.new <NUL || GOTO ROLLBACK\n"
        "if not exist stablomat.new\\stablomat.exe GOTO ROLLBACK\n"
        "for /d %%F in (stablomat.new\\*) do (\n"
        "  if exist \"%%~nxF\" move /y \"%%~nxF\" stablomat.old\\ >NUL || GOTO ROLLBACK\n"
        "  move /y \"%%F\" . >NUL || GOTO ROLLBACK\n"
        ")\n"
        "for %%F in (stablomat.new\\*) do (\n"
        "  if exist \"%%~nxF\" move /y \"%%~nxF\" stablomat.old\\ >NUL || GOTO ROLLBACK\n"
        "  move /y \"%%F\" . >NUL || GOTO ROLLBACK\n"
        ")\n"
        "start /b stablomat.exe\n"
        "TIMEOUT /T 10 /NOBREAK >NUL\n"
        "tasklist /fi \"ImageName eq stablomat.exe\" /fo csv 2>NUL | find /I \"stablomat.exe\">NUL\n"
        "if not \"%ERRORLEVEL%\"==\"0\" GOTO ROLLBACK\n"
        "rmdir /s /q stablomat.new\n"
        "exit /b 0\n"
        "\n"
        ":ROLLBACK\n"
        "ECHO STABLOMAT update failed\n"
        "for /d %%F in (stablomat.old\\*) do (\n"
        "  if exist \"%%~nxF\" rmdir /s /q \"%%~nxF\"\n"
        "  move /y \"%%F\" . >NUL\n"
        ")\n"
        "for %%F in (stablomat.old\\*) do move /y \"%%F\" . >NUL\n"
        "if exist stablomat.new rmdir /s /q stablomat.new\n"
        "start /b stablomat.exe\n"
        "exit /b 1");
    // Written as "WIN-1250", the name Qt knows as Windows-1250.
    QTextCodec *codec = QTextCodec::codecForName("Windows-1250");
    return codec ? codec->fromUnicode(text) : text.toLatin1();
}

QByteArray updateScript(const QString &exeName)
{
    if (platform::updateScriptName().endsWith(QLatin1String(".bat")))
        return windowsUpdateScript();
    return unixUpdateScript(exeName);
}

} // namespace update
