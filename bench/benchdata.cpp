#include "benchdata.h"

#include "adapters/delaval/delavalformat.h"
#include "adapters/taurus/taurusformat.h"
#include "adapters/westfalia/westfaliaformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <cstdio>

namespace benchdata {

namespace {

// BENCH_DATA_DIR in the environment: herds shared with another build (scripts/bench.sh baseline).
QString dataDir()
{
    const QString d = qEnvironmentVariable("BENCH_DATA_DIR", QStringLiteral(BENCH_DATA_DIR));
    QDir().mkpath(d);
    return d + QLatin1Char('/');
}

bool run(const QString &program, const QStringList &args, const QString &workDir, const QString &herdFile)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!herdFile.isEmpty())
        env.insert(QStringLiteral("HERD_FILE"), herdFile);
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(workDir);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    return p.waitForFinished(600000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool write(const QString &path, const QString &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8().replace("\n", "\r\n")) >= 0;
}

} // namespace

QString referenceDay()
{
    return QStringLiteral("2024-05-14");
}

QString herd(int cows)
{
    const QString path = dataDir() + QStringLiteral("herd-%1.json").arg(cows);
    if (QFileInfo::exists(path))
        return path;
    std::fprintf(stderr, "making a herd of %d cows...\n", cows);
    if (!run(QStringLiteral(SIMULATORS_DIR "/herd-generator"),
             {QStringLiteral("--cows"), QString::number(cows), QStringLiteral("--seed"), QStringLiteral("1"),
              QStringLiteral("--today"), referenceDay(), QStringLiteral("--milking-days"),
              QStringLiteral("2"), QStringLiteral("--out"), path + QStringLiteral(".part")},
             dataDir(), QString()) ||
        !QFile::rename(path + QStringLiteral(".part"), path))
        return QString();
    return path;
}

QString answer(const QString &kind, int cows)
{
    const QString path = dataDir() + QStringLiteral("%1-%2.answer").arg(kind).arg(cows);
    if (QFileInfo::exists(path))
        return path;
    const QString herdFile = herd(cows);
    if (herdFile.isEmpty())
        return QString();
    const QString work = dataDir() + QStringLiteral("work-") + kind + QLatin1Char('/');
    QDir(work).removeRecursively();
    QDir().mkpath(work);
    std::fprintf(stderr, "making the %s answer for %d cows...\n", qPrintable(kind), cows);
    QString produced;
    bool ok = false;
    if (kind == QLatin1String("delaval")) {
        ok = write(work + delaval::requestFileName(), delaval::requestText()) &&
             run(QStringLiteral(SIMULATORS_DIR "/iso32.exe"),
                 {QStringLiteral("-f"), delaval::requestFileName(), QStringLiteral("-o"),
                  delaval::answerFileName(), QStringLiteral("-x")},
                 work, herdFile);
        produced = work + delaval::answerFileName();
    } else if (kind == QLatin1String("dairyplan-reproduction") || kind == QLatin1String("dairyplan-milk")) {
        const bool milk = kind.endsWith(QLatin1String("milk"));
        const QString request =
            milk ? westfalia::milkRequestFileName() : westfalia::reproductionRequestFileName();
        ok = write(work + request,
                   milk ? westfalia::milkRequestText() : westfalia::reproductionRequestText()) &&
             run(QStringLiteral(SIMULATORS_DIR "/dpdataexchange.exe"),
                 {QStringLiteral("-T"), QStringLiteral("-A"), QStringLiteral("-E"), request}, work, herdFile);
        produced = work + (milk ? westfalia::milkAnswerFileName() : westfalia::reproductionAnswerFileName());
    } else if (kind == QLatin1String("dif")) {
        ok = run(QStringLiteral(SIMULATORS_DIR "/afifarm.exe"),
                 {QStringLiteral("report"), QStringLiteral("--root"), work, QStringLiteral("--name"),
                  QStringLiteral("StablomatAnimals.dif")},
                 work, herdFile);
        produced = work + QStringLiteral("savefile/StablomatAnimals.dif");
    } else if (kind == QLatin1String("taurus")) {
        ok = write(work + taurus::requestFileName(),
                   taurus::reproductionRequestText(taurus::System::Fullwood)) &&
             run(QStringLiteral(SIMULATORS_DIR "/taupro2.exe"), {}, work, herdFile);
        produced = work + taurus::answerFileName();
    }
    if (!ok || !QFile::rename(produced, path))
        return QString();
    QDir(work).removeRecursively();
    return path;
}

} // namespace benchdata
