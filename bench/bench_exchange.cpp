// Whole DeLaval exchanges with the iso32.exe stand-in and the reference registry on loopback, the
// answer polled every 5 ms instead of every second (the fixed waits left out):
//   bench_exchange time [cows]         one exchange of a herd (default 5,000 cows), then a second one
//   bench_exchange repeat [runs]       that many exchanges of a 50-cow herd (default 1,000); resident
//                                      memory and open files after the first 50 and after the last
//   bench_exchange cpu [cows]          this process's CPU time (converter and registry excluded) for
//                                      each of three exchanges (default 20,000 cows), and their median
//   bench_exchange gaps [cows]         the longest time between two turns of the event loop during
//                                      each of three exchanges (default 20,000 cows), with the usual
//                                      answer wait and a converter that answers 5 s after it ended
#include "common/testsupport.h"

#include "common/registryprocess.h"

#include "app/mainwindow.h"
#include "benchdata.h"
#include "exchange/answerfile.h"
#include "herd.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"
#include "procstats.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>
#include <time.h>

namespace {

const QString Cloud = QStringLiteral("4711");

bool layOut(const QString &herdFile)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral(SIMULATORS_DIR "/farm-tool"),
            {QStringLiteral("--system"), QStringLiteral("alpro"), QStringLiteral("--herd"), herdFile,
             QStringLiteral("--wineprefix"), TestEnvironment::winePrefix(), QStringLiteral("--simulators"),
             QStringLiteral(SIMULATORS_DIR), QStringLiteral("--rebase-today")});
    return p.waitForFinished(120000) && p.exitCode() == 0;
}

// Inseminations recorded in the registry for `count` present cows of the herd, yesterday.
void record(const RegistryProcess &registry, const QString &herdFile, int count)
{
    herd::Herd h;
    QString error;
    h.load(herdFile, &error);
    int done = 0;
    for (const herd::Cow &c : h.cows) {
        if (done == count)
            break;
        if (!c.isPresent() || c.lactation() == 0)
            continue;
        registry.run({QStringLiteral("record-insemination"), QStringLiteral("--cloud"), Cloud,
                      QStringLiteral("--animal"), herd::significantDigits(c.registration),
                      QStringLiteral("--date"), QDate::currentDate().addDays(-1).toString(Qt::ISODate),
                      QStringLiteral("--bull"), QStringLiteral("HO 7")});
        ++done;
    }
}

// Milk yields of the three periods: yesterday's morning and afternoon, and today.
std::unique_ptr<MainWindow> farmWindow()
{
    {
        QSettings periods(QStringLiteral("Brantol"), QStringLiteral("stablomat"));
        const int values[15] = {1, 1, 1, 1, 0, 1, 11, 1, 12, 1, 23, 0, 0, 0, 23};
        for (int i = 0; i < 15; ++i)
            periods.setValue(keys::milkingPeriodKey(i), values[i]);
    }
    auto window = std::make_unique<MainWindow>();
    window->computeMilkingPeriods();
    QSettings *s = window->settingsStore();
    s->setValue(keys::CloudNumber, Cloud);
    s->setValue(keys::CloudUser, QStringLiteral("jan"));
    s->setValue(keys::CloudPassword, QStringLiteral("heslo"));
    s->setValue(keys::InsDays, 30);
    s->setValue(keys::SendDays, 30);
    s->setValue(keys::SendInseminations, true);
    s->setValue(keys::ImportInseminations, true);
    return window;
}

int timeExchange(int cows)
{
    const QString herdFile = benchdata::herd(cows);
    RegistryProcess registry;
    if (herdFile.isEmpty() || !layOut(herdFile) ||
        !registry.addUser(Cloud, QStringLiteral("jan"), QStringLiteral("heslo")) || !registry.start())
        return 1;
    record(registry, herdFile, 100);
    qputenv("ZAVRA_URL", registry.url().toUtf8());
    std::unique_ptr<MainWindow> window = farmWindow();
    if (window->milkingSystem() != 1)
        return 1;
    for (int run = 1; run <= 2; ++run) {
        QElapsedTimer clock;
        clock.start();
        const bool fetch = false, show = false;
        window->exchangeDelaval(fetch, show);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        const int syncs = registry.requests(QStringLiteral("/sync")).size();
        std::printf("exchange: %d cows, run %d: %.0f ms (%s)\n", cows, run, ms,
                    syncs == run ? "synchronised" : "NOT synchronised");
        if (syncs != run)
            return 1;
    }
    return 0;
}

double processCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
            double(u.ru_utime.tv_usec + u.ru_stime.tv_usec)) /
           1e3;
}

// The longest wait between two ticks of a 1 ms timer, which ticks whenever the event loop turns.
class LoopGaps : public QObject
{
public:
    LoopGaps()
    {
        timer.setTimerType(Qt::PreciseTimer);
        connect(&timer, &QTimer::timeout, this, &LoopGaps::tick);
    }
    void start()
    {
        longest = 0;
        clock.start();
        last = 0;
        timer.start(1);
    }
    double stop()
    {
        tick();
        timer.stop();
        return double(longest) / 1e6;
    }

private:
    void tick()
    {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
    }
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
};

// The stand-in behind a script that, for an export, ends at once and lets the stand-in answer 5 s
// later, as a converter that works on after its command has returned.
bool answerLate()
{
    const QString dir = TestEnvironment::winePrefix() + QStringLiteral("/drive_c/alpro/");
    QFile::remove(dir + QStringLiteral("iso32.real"));
    if (!QFile::rename(dir + QStringLiteral("iso32.exe"), dir + QStringLiteral("iso32.real")))
        return false;
    QFile script(dir + QStringLiteral("iso32.exe"));
    if (!script.open(QIODevice::WriteOnly))
        return false;
    script.write("#!/bin/sh\ncase \" $* \" in\n"
                 "*\" -x \"*) (sleep 5; exec ./iso32.real \"$@\") </dev/null >/dev/null 2>&1 & ;;\n"
                 "*) exec ./iso32.real \"$@\" ;;\nesac\n");
    script.close();
    return script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// Three exchanges of a herd, measured each: CPU time of this process, or the longest gap between
// turns of the event loop.
int measureExchanges(int cows, bool gaps)
{
    const QString herdFile = benchdata::herd(cows);
    RegistryProcess registry;
    if (herdFile.isEmpty() || !layOut(herdFile) || (gaps && !answerLate()) ||
        !registry.addUser(Cloud, QStringLiteral("jan"), QStringLiteral("heslo")) || !registry.start())
        return 1;
    record(registry, herdFile, 100);
    qputenv("ZAVRA_URL", registry.url().toUtf8());
    if (gaps)
        exchange::setAnswerWait(exchange::AnswerWait());
    std::unique_ptr<MainWindow> window = farmWindow();
    if (window->milkingSystem() != 1)
        return 1;
    // The herd read for the registry above is no part of the program: its heap is given back, so
    // that it does not weigh on the converters' starts (fork copies the process's page tables).
    malloc_trim(0);
    std::vector<double> values;
    LoopGaps loop;
    for (int run = 1; run <= 3; ++run) {
        QCoreApplication::processEvents();
        // As the hourly run from the tray does it: no milk yields, no boxes.
        const bool fetch = false, show = false;
        const double cpu = processCpuMs();
        QElapsedTimer clock;
        clock.start();
        if (gaps)
            loop.start();
        timespec from{}, to{};
        clock_gettime(CLOCK_MONOTONIC, &from);
        window->exchangeDelaval(fetch, show);
        clock_gettime(CLOCK_MONOTONIC, &to);
        const double value = gaps ? loop.stop() : processCpuMs() - cpu;
        // For a profile of the exchanges alone: perf record -k CLOCK_MONOTONIC, perf report --time.
        std::fprintf(stderr, "run %d: monotonic %ld.%06ld,%ld.%06ld\n", run, long(from.tv_sec),
                     from.tv_nsec / 1000, long(to.tv_sec), to.tv_nsec / 1000);
        const double wall = double(clock.elapsed()) / 1000;
        values.push_back(value);
        if (registry.requests(QStringLiteral("/sync")).size() != run) {
            std::printf("%s: run %d NOT synchronised\n", gaps ? "gaps" : "cpu", run);
            return 1;
        }
        std::printf("%s: %d cows, run %d: %.1f ms (exchange %.1f s)\n", gaps ? "gaps" : "cpu", cows, run,
                    value, wall);
    }
    std::sort(values.begin(), values.end());
    std::printf("%s: %d cows, median %.1f ms\n", gaps ? "gaps" : "cpu", cows, values[1]);
    return 0;
}

int repeatExchanges(int runs)
{
    const QString herdFile = benchdata::herd(50);
    RegistryProcess registry;
    if (herdFile.isEmpty() || !layOut(herdFile) ||
        !registry.addUser(Cloud, QStringLiteral("jan"), QStringLiteral("heslo")) || !registry.start())
        return 1;
    record(registry, herdFile, 10);
    qputenv("ZAVRA_URL", registry.url().toUtf8());
    std::unique_ptr<MainWindow> window = farmWindow();
    ProcStats warm;
    QElapsedTimer clock;
    clock.start();
    for (int run = 1; run <= runs; ++run) {
        const bool fetch = false, show = false;
        window->exchangeDelaval(fetch, show);
        QCoreApplication::processEvents();
        if (run == 50)
            warm = procStats();
    }
    const ProcStats end = procStats();
    const int syncs = registry.requests(QStringLiteral("/sync")).size();
    std::printf("exchanges: %d runs in %.1f s, %d synchronised\n", runs, double(clock.elapsed()) / 1000,
                syncs);
    std::printf("exchanges: this process %.1f s CPU, %.1f s waiting for a processor\n", end.cpuSeconds,
                runQueueSeconds());
    std::printf("exchanges: RSS after 50 runs %lld kB, after %d runs %lld kB; open files %d and %d\n",
                warm.rssKb, runs, end.rssKb, warm.openFiles, end.openFiles);
    const bool grew = end.rssKb - warm.rssKb > 4096 || end.openFiles > warm.openFiles;
    std::printf("exchanges: %s\n", grew ? "GREW" : "no growth");
    return grew || syncs != runs ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    TestEnvironment::setUp();
    platform::prepareProcess();
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qputenv("ZAVRA_TIMEOUT_MS", "60000");
    exchange::setAnswerWait({2000, 5});
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("time");
    const int n = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 0;
    if (mode == QLatin1String("time"))
        return timeExchange(n > 0 ? n : 5000);
    if (mode == QLatin1String("repeat"))
        return repeatExchanges(n > 0 ? n : 1000);
    if (mode == QLatin1String("cpu") || mode == QLatin1String("gaps"))
        return measureExchanges(n > 0 ? n : 20000, mode == QLatin1String("gaps"));
    std::fprintf(stderr, "usage: bench_exchange time [cows] | repeat [runs] | cpu [cows] | gaps [cows]\n");
    return 2;
}
