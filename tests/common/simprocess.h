// Running the stand-ins as real processes from the tests.
#pragma once

#include "common/testsupport.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct Run
{
    int exitCode = -1;
    bool crashed = false;
    QByteArray out;
    QByteArray err;
};

// Runs the program to its end (at most 60 s); extra environment entries are "NAME=value".
inline Run runProgram(const QString &program, const QStringList &arguments,
                      const QStringList &environment = {}, const QString &workDir = QString())
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &e : environment)
        env.insert(e.section(QLatin1Char('='), 0, 0), e.section(QLatin1Char('='), 1));
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(program, arguments);
    Run r;
    if (!p.waitForStarted(10000) || !p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(5000);
        r.err = "did not run to its end";
        return r;
    }
    r.crashed = p.exitStatus() != QProcess::NormalExit;
    r.exitCode = r.crashed ? -1 : p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// True when the program ran to its end with exit code 0.
inline bool commandSucceeds(const QString &program, const QStringList &arguments)
{
    return runProgram(program, arguments).exitCode == 0;
}

// A small tmpfs mounted over a directory (needs root), unmounted when this goes.
class TmpfsMount
{
public:
    TmpfsMount() = default;
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;
    ~TmpfsMount() { unmount(); }
    bool mount(const QString &directory, const QString &size)
    {
        if (!commandSucceeds("mount", {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", directory}))
            return false;
        point = directory;
        return true;
    }
    void unmount()
    {
        if (!point.isEmpty())
            commandSucceeds("umount", {"-l", point});
        point.clear();
    }
    QString point;
};

#ifdef HERD_GENERATOR
// herd-generator with the given options; the herd file path on success, empty otherwise.
inline QString generateHerdFile(const QString &path, int cows, quint32 seed, const QStringList &more = {})
{
    QStringList args{QStringLiteral("--cows"), QString::number(cows),   QStringLiteral("--seed"),
                     QString::number(seed),    QStringLiteral("--out"), path};
    args << more;
    const Run r = runProgram(QStringLiteral(HERD_GENERATOR), args);
    return r.exitCode == 0 ? path : QString();
}
#endif

#if defined(FARM_TOOL) && defined(SIMULATOR_DIR)
// farm-tool lays out a farm of `system` for the herd file under a Wine prefix (the test's unless
// given); its error output, empty on success.
inline QByteArray layOutFarm(const QString &system, const QString &herdFile, const QStringList &more = {},
                             const QString &prefix = TestEnvironment::winePrefix())
{
    const Run r = runProgram(QStringLiteral(FARM_TOOL),
                             QStringList{"--system", system, "--herd", herdFile, "--wineprefix", prefix,
                                         "--simulators", SIMULATOR_DIR} +
                                 more);
    return r.exitCode == 0 ? QByteArray() : r.err + "farm-tool failed";
}
#endif

#if __has_include("herd.h")
#include "herd.h"
// A herd file as the stand-ins keep it; empty (with a warning) when it cannot be read.
inline herd::Herd loadHerd(const QString &path)
{
    herd::Herd h;
    QString error;
    if (!h.load(path, &error))
        qWarning("%s", qPrintable(error));
    return h;
}
#endif
