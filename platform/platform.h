// The one place where the program differs between Windows and other platforms.
#pragma once

#include <QList>
#include <QString>

#include <functional>

namespace platform {

// Settles what the process needs before the application object exists. Elsewhere than on Windows:
// with TZ unset, glibc checks /etc/localtime again on every local-time conversion (a file lookup
// for each answer date read); TZ=":/etc/localtime" names the same zone and is read once.
void prepareProcess();

// Turns a path written the Windows way ("c:/alpro/iso32.exe") into a local one.
// On Windows it is returned unchanged; elsewhere drive "c:" (any case) lies under
// $WINEPREFIX/drive_c, WINEPREFIX defaulting to ~/.wine, and each component below it that exists
// is found without regard to case, as on Windows ("c:/Users" is Wine's "drive_c/users").
QString localPath(const QString &windowsPath);

// The inverse for a program that runs under Wine: an absolute local path in Windows form
// ("C:\DairyPln\fin_stablomat_hlavni.ads"), through the prefix's drives (drive_c is C:, / is Z:).
// Relative paths and bare file names are returned unchanged.
QString windowsPath(const QString &localPath);

// The file name of this process's executable as the process list shows it (on Linux the target of
// /proc/self/exe, so that a start through a link counts as what it runs); argv0 where it is unknown.
QString ownExecutableName(const QString &argv0);

struct ProcessEntry
{
    qint64 pid = 0;
    QString exeName; // file name of the executable, e.g. "stablomat.exe"
};

// All running processes; empty when the process list cannot be walked.
QList<ProcessEntry> runningProcesses();

// True when a process other than ownPid runs an executable whose file name equals exeName
// (compared case-sensitively).
bool anotherInstanceRunning(const QString &exeName, qint64 ownPid);

// Makes the program start at log-on besides the start-up shortcut (XDG autostart on Linux;
// nothing to do on Windows, where the shortcut itself does it).
bool addLogonStart(const QString &baseName, const QString &executable);
bool removeLogonStart(const QString &baseName);
QString logonStartPath(const QString &baseName); // empty where there is no such entry

// The database client library that cannot be loaded ("fbclient.dll"), or empty when it can. On
// Windows the QIBASE driver loads Firebird's client only at its first call, so the program runs
// on a PC without Firebird; elsewhere Qt's driver plugin loads it and reports a missing one itself.
QString missingDatabaseClient();

// Makes the settings store readable by its user only: on Linux the file gets mode 0600 (it holds
// the cloud password); on Windows the store is the user's part of the registry already.
void protectSettings(const QString &settingsFile);
// SIGTERM and SIGINT call onEnd from the event loop (where the system sends such signals), at any
// moment; the handler itself only writes to a pipe.
void watchEndSignals(const std::function<void()> &onEnd);
// Puts the handlers back where a loaded library (the Firebird client) replaced them.
void reinstallEndSignals();

} // namespace platform

// ---- Converter shell: the command interpreter that runs the milking systems' converters ----

#include <QByteArray>
#include <QStringList>

#include <memory>

class QProcess;

namespace platform {

// Starts the interpreter that runs program (a file name in workDir) with its arguments in workDir,
// in a process made by newConverterProcess(). Windows: cmd.exe given the commands as its command
// line (cmd.exe /d /s /c "cd /d "<dir>" && <program> <args>"): Wine's cmd.exe executes only the first
// line it reads from a pipe, and the command line keeps every letter of a path (typed input would be
// read in the OEM code page). Elsewhere: /bin/sh, the commands typed into its standard input; a
// Windows executable (it begins with "MZ") runs through Wine with every absolute path among its
// arguments in Windows form. The exit status is the converter's. False when it did not start in time.
bool startConverter(QProcess &process, const QString &workDir, const QString &program,
                    const QStringList &arguments, int startMs);

// The command line given to cmd.exe by startConverter on Windows (testable everywhere).
QString cmdConverterArguments(const QString &workDir, const QString &program, const QStringList &arguments);

// A process for the interpreter, in a session of its own, that endConverterProcess() ends
// together with everything it started.
std::unique_ptr<QProcess> newConverterProcess();
void endConverterProcess(QProcess &process);

} // namespace platform

// Self-update: the script that replaces the program with the unpacked "stablomat.zip" once the
// program has ended. It lives and runs in the program's directory.
namespace platform {

QString updateScriptName();                 // "upgrade.bat" on Windows, "upgrade.sh" elsewhere
bool startUpdateScript(const QString &dir); // starts it detached, working directory dir
// Holds the program's lock file (beside the executable) until the process ends, so that the update
// script can tell when the program has ended; false when another process holds it. A lock that
// cannot be made at all (a folder not writable) is no reason to stop.
bool holdProgramLock(const QString &path);

} // namespace platform
