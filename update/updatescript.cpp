// The update scripts. Both take the same steps in the same order; keep every change mirrored.
//
// 1. Wait while the program holds "stablomat.lock" (the shell script then holds it itself until it
//    starts the program). No journal: nothing to do.
// 2. With the new executable still staged: for each journal name, move the current entry into
//    "stablomat.old" and the new one into place; copy the executable into "stablomat.old"; set
//    the trial mark; rename the new executable over the old one.
// 3. With the executable swapped and the trial mark unclaimed: start the program and check after
//    the settling time that it holds the lock. Anything else rolls back.
// Rollback: the old executable back by one rename, each entry back (the new one into staging
// first), then the marks and the journal go, and the old program starts.
// Where an entry is tells how far it got, so the steps are the same when run again.
#include "update/updateprotocol.h"

#include "platform/platform.h"

#include <QStringList>
#include <QTextCodec>

namespace update {

namespace {

QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

QByteArray unixUpdateScript(const QString &exeName, int settleSeconds)
{
    const QString text =
        QStringLiteral(
            "#!/bin/sh\n"
            "exe=%1\n"
            "exec 9>>stablomat.lock || exit 1\n"
            "while ! flock -n 9; do\n"
            "  echo \"STABLOMAT is still running\"\n"
            "  sleep 1\n"
            "done\n"
            "[ -f stablomat.swap ] || exit 0\n"
            "\n"
            "start() {\n"
            "  flock -u 9\n"
            "  ./\"$exe\" 9>&- >/dev/null 2>&1 &\n"
            "}\n"
            "rollback() {\n"
            "  echo \"STABLOMAT update failed: $1\"\n"
            "  if [ -e \"stablomat.old/$exe\" ] && [ ! -e \"stablomat.new/$exe\" ]; then\n"
            "    mv -f \"stablomat.old/$exe\" \"./$exe\" || exit 1\n"
            "  fi\n"
            "  mkdir -p stablomat.new || exit 1\n"
            "  while IFS= read -r n; do\n"
            "    [ -n \"$n\" ] || continue\n"
            "    if [ ! -e \"stablomat.new/$n\" ] && [ -e \"./$n\" ]; then\n"
            "      mv -fT \"./$n\" \"stablomat.new/$n\" || exit 1\n"
            "    fi\n"
            "    if [ -e \"stablomat.old/$n\" ] && [ ! -e \"./$n\" ]; then\n"
            "      mv -fT \"stablomat.old/$n\" \"./$n\" || exit 1\n"
            "    fi\n"
            "  done <stablomat.swap\n"
            "  rm -f stablomat.swap\n"
            "  rm -rf stablomat.trial stablomat.tried stablomat.new \"stablomat.old/$exe\"\n"
            "  start\n"
            "  exit 1\n"
            "}\n"
            "\n"
            "if [ -e \"stablomat.new/$exe\" ]; then\n"
            "  while IFS= read -r n; do\n"
            "    [ -n \"$n\" ] && [ -e \"stablomat.new/$n\" ] || continue\n"
            "    if [ -e \"./$n\" ]; then\n"
            "      [ ! -e \"stablomat.old/$n\" ] || rollback swap\n"
            "      mv -fT \"./$n\" \"stablomat.old/$n\" || rollback swap\n"
            "    fi\n"
            "    mv -fT \"stablomat.new/$n\" \"./$n\" || rollback swap\n"
            "  done <stablomat.swap\n"
            "  if [ ! -e \"stablomat.old/$exe\" ]; then\n"
            "    ln -f \"./$exe\" \"stablomat.old/$exe\" 2>/dev/null ||\n"
            "      { cp -p \"./$exe\" \"stablomat.old/$exe.part\" && sync \"stablomat.old/$exe.part\" &&\n"
            "        mv -f \"stablomat.old/$exe.part\" \"stablomat.old/$exe\"; } || rollback swap\n"
            "  fi\n"
            "  : >stablomat.trial || rollback swap\n"
            "  mv -f \"stablomat.new/$exe\" \"./$exe\" || rollback swap\n"
            "fi\n"
            "[ -e \"stablomat.old/$exe\" ] && [ -e stablomat.trial ] || rollback start\n"
            "start\n"
            "sleep %2\n"
            "flock -n 9 || exit 0\n"
            "rollback start")
            .arg(shellQuoted(exeName), QString::number(settleSeconds));
    return text.toLocal8Bit();
}

// cmd's exit codes of built-in commands differ between Windows and Wine; every step is checked by
// what exists afterwards instead. The lock is held when it cannot be copied.
QByteArray windowsUpdateScript(const QString &exeName, int settleSeconds)
{
    QString text =
        QStringLiteral(
            ":LOOP\n"
            "@ECHO OFF\n"
            "SET exe=%1\n"
            "IF EXIST stablomat.lk2 DEL stablomat.lk2\n"
            "IF NOT EXIST stablomat.lock GOTO ENDED\n"
            "COPY /Y stablomat.lock stablomat.lk2 >NUL 2>NUL\n"
            "IF NOT EXIST stablomat.lk2 (\n"
            "  ECHO STABLOMAT is still running\n"
            "  PING -n 2 127.0.0.1 >NUL\n"
            "  GOTO LOOP\n"
            ")\n"
            "DEL stablomat.lk2\n"
            ":ENDED\n"
            "IF NOT EXIST stablomat.swap EXIT /B 0\n"
            "\n"
            "IF NOT EXIST \"stablomat.new\\%exe%\" GOTO TRIAL\n"
            "SET failed=\n"
            "FOR /F \"usebackq delims=\" %%N IN (\"stablomat.swap\") DO CALL :FORWARD \"%%N\"\n"
            "IF DEFINED failed GOTO ROLLBACK\n"
            "IF NOT EXIST \"stablomat.old\\%exe%\" COPY /Y \"%exe%\" \"stablomat.old\\%exe%.part\" >NUL\n"
            "IF EXIST \"stablomat.old\\%exe%.part\" MOVE /Y \"stablomat.old\\%exe%.part\" "
            "\"stablomat.old\\%exe%\" >NUL\n"
            "IF NOT EXIST \"stablomat.old\\%exe%\" GOTO ROLLBACK\n"
            "TYPE NUL >stablomat.trial\n"
            "IF NOT EXIST stablomat.trial GOTO ROLLBACK\n"
            "MOVE /Y \"stablomat.new\\%exe%\" \"%exe%\" >NUL\n"
            "IF EXIST \"stablomat.new\\%exe%\" GOTO ROLLBACK\n"
            ":TRIAL\n"
            "IF NOT EXIST \"stablomat.old\\%exe%\" GOTO ROLLBACK\n"
            "IF NOT EXIST stablomat.trial GOTO ROLLBACK\n"
            "START \"\" /B \"%exe%\"\n"
            "PING -n %2 127.0.0.1 >NUL\n"
            "IF EXIST stablomat.lk2 DEL stablomat.lk2\n"
            "IF NOT EXIST stablomat.lock GOTO ROLLBACK\n"
            "COPY /Y stablomat.lock stablomat.lk2 >NUL 2>NUL\n"
            "IF NOT EXIST stablomat.lk2 EXIT /B 0\n"
            "DEL stablomat.lk2\n"
            "\n"
            ":ROLLBACK\n"
            "ECHO STABLOMAT update failed\n"
            "IF EXIST \"stablomat.old\\%exe%\" IF NOT EXIST \"stablomat.new\\%exe%\" MOVE /Y "
            "\"stablomat.old\\%exe%\" "
            "\"%exe%\" >NUL\n"
            "IF EXIST \"stablomat.old\\%exe%\" IF NOT EXIST \"stablomat.new\\%exe%\" EXIT /B 1\n"
            "IF NOT EXIST stablomat.new MKDIR stablomat.new\n"
            "SET failed=\n"
            "FOR /F \"usebackq delims=\" %%N IN (\"stablomat.swap\") DO CALL :BACK \"%%N\"\n"
            "IF DEFINED failed EXIT /B 1\n"
            "DEL stablomat.swap\n"
            "IF EXIST stablomat.trial DEL stablomat.trial\n"
            "IF EXIST stablomat.tried DEL stablomat.tried\n"
            "RMDIR /S /Q stablomat.new\n"
            "IF EXIST \"stablomat.old\\%exe%\" DEL \"stablomat.old\\%exe%\"\n"
            "START \"\" /B \"%exe%\"\n"
            "EXIT /B 1\n"
            "\n"
            ":FORWARD\n"
            "IF NOT EXIST \"stablomat.new\\%~1\" GOTO :EOF\n"
            "IF EXIST \"%~1\" IF EXIST \"stablomat.old\\%~1\" SET failed=1\n"
            "IF DEFINED failed GOTO :EOF\n"
            "IF EXIST \"%~1\" MOVE /Y \"%~1\" \"stablomat.old\\%~1\" >NUL\n"
            "IF EXIST \"%~1\" SET failed=1\n"
            "IF DEFINED failed GOTO :EOF\n"
            "MOVE /Y \"stablomat.new\\%~1\" \"%~1\" >NUL\n"
            "IF EXIST \"stablomat.new\\%~1\" SET failed=1\n"
            "GOTO :EOF\n"
            "\n"
            ":BACK\n"
            "IF NOT EXIST \"stablomat.new\\%~1\" IF EXIST \"%~1\" MOVE /Y \"%~1\" \"stablomat.new\\%~1\" "
            ">NUL\n"
            "IF NOT EXIST \"stablomat.new\\%~1\" IF EXIST \"%~1\" SET failed=1\n"
            "IF EXIST \"stablomat.old\\%~1\" IF NOT EXIST \"%~1\" MOVE /Y \"stablomat.old\\%~1\" \"%~1\" "
            ">NUL\n"
            "IF EXIST \"stablomat.old\\%~1\" SET failed=1\n"
            "GOTO :EOF")
            .arg(exeName, QString::number(settleSeconds + 1));
    // Labels are found reliably only in CR LF files.
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    // Written as "WIN-1250", the name Qt knows as Windows-1250.
    QTextCodec *codec = QTextCodec::codecForName("Windows-1250");
    return codec ? codec->fromUnicode(text) : text.toLatin1();
}

QByteArray updateScript(const QString &exeName)
{
    if (platform::updateScriptName().endsWith(QLatin1String(".bat")))
        return windowsUpdateScript(exeName);
    return unixUpdateScript(exeName);
}

} // namespace update
