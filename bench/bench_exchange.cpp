// Whole DeLaval exchanges with the iso32.exe stand-in and the reference registry on loopback, the
// answer polled every 5 ms instead of every second (the fixed waits left out):
//   bench_exchange time [cows]         one exchange of a herd (default 5,000 cows), then a second one
//   bench_exchange repeat [runs]       that many exchanges of a 50-cow herd (default 1,000); resident
//                                      memory and open files after the first 50 and after the last
#include "common/testsupport.h"

#include "ziviviver/registryprocess.h"

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

#include <cstdio>
#include <memory>

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

std::unique_ptr<MainWindow> farmWindow()
{
    auto window = std::make_unique<MainWindow>();
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
    std::fprintf(stderr, "usage: bench_exchange time [cows] | repeat [runs]\n");
    return 2;
}
