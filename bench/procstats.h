// What /proc tells about a process: CPU time, resident memory, open files.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <unistd.h>

struct ProcStats
{
    double cpuSeconds = 0; // user + system
    qint64 rssKb = 0;
    qint64 peakRssKb = 0;
    qint64 addressSpaceKb = 0;
    int openFiles = 0;
};

// What the open files are ("socket:[123]", "/dev/null", ...), for a report of growth.
inline QStringList openFileNames(qint64 pid = 0)
{
    const QString base = pid > 0 ? QStringLiteral("/proc/%1/fd/").arg(pid) : QStringLiteral("/proc/self/fd/");
    QStringList names;
    for (const QString &fd : QDir(base).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System))
        names << QFile::symLinkTarget(base + fd).section(QLatin1Char('['), 0, 0);
    names.sort();
    return names;
}

inline ProcStats procStats(qint64 pid = 0)
{
    const QString base = pid > 0 ? QStringLiteral("/proc/%1/").arg(pid) : QStringLiteral("/proc/self/");
    ProcStats s;
    QFile stat(base + QStringLiteral("stat"));
    if (stat.open(QIODevice::ReadOnly)) {
        // Fields after the command name in parentheses; utime and stime are the 14th and 15th.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 12)
            s.cpuSeconds =
                double(f.at(11).toLongLong() + f.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }
    QFile status(base + QStringLiteral("status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &l : status.readAll().split('\n')) {
            if (l.startsWith("VmRSS:"))
                s.rssKb = l.mid(6).trimmed().split(' ').value(0).toLongLong();
            else if (l.startsWith("VmHWM:"))
                s.peakRssKb = l.mid(6).trimmed().split(' ').value(0).toLongLong();
            else if (l.startsWith("VmSize:"))
                s.addressSpaceKb = l.mid(7).trimmed().split(' ').value(0).toLongLong();
        }
    }
    s.openFiles = int(QDir(base + QStringLiteral("fd"))
                          .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                          .size());
    return s;
}

// Seconds this process's threads were ready to run but waited for a processor (the second field
// of each thread's schedstat): on a machine shared with other work, wall time beyond the CPU time
// that is not idle.
inline double runQueueSeconds()
{
    double ns = 0;
    const QString base = QStringLiteral("/proc/self/task/");
    for (const QString &task : QDir(base).entryList(QDir::NoDotAndDotDot | QDir::Dirs)) {
        QFile f(base + task + QStringLiteral("/schedstat"));
        if (f.open(QIODevice::ReadOnly))
            ns += f.readAll().split(' ').value(1).toDouble();
    }
    return ns / 1e9;
}
