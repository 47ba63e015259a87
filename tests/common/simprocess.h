// Running the stand-ins as real processes from the tests.
#pragma once

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

// herd-generator with the given options; the herd file path on success, empty otherwise.
inline QString generateHerdFile(const QString &path, int cows, quint32 seed, const QStringList &more = {})
{
    QStringList args{QStringLiteral("--cows"), QString::number(cows),   QStringLiteral("--seed"),
                     QString::number(seed),    QStringLiteral("--out"), path};
    args << more;
    const Run r = runProgram(QStringLiteral(HERD_GENERATOR), args);
    return r.exitCode == 0 ? path : QString();
}
