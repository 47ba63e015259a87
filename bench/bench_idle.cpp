// The tray program at rest: 100,000 timer ticks of a MainWindow (one hourly version check every
// 3,600 of them, an automatic exchange every hour), with resident memory and open files read from
// /proc before and after. Prints one line per measurement; exits 1 when memory or files grew.
//   bench_idle [ticks]
#include "common/testsupport.h"

#include "app/mainwindow.h"
#include "app/platform.h"
#include "app/settingskeys.h"
#include "procstats.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdio>

namespace {

// Lets a version check in flight end, so that its socket is not counted.
void settle()
{
    for (int i = 0; i < 100; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
}

} // namespace

int main(int argc, char **argv)
{
    TestEnvironment::setUp();
    platform::prepareProcess();
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int ticks = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 100000;
    if (ticks < 20000) {
        std::fprintf(stderr, "usage: bench_idle [ticks, at least 20000]\n");
        return 2;
    }

    MainWindow window;
    window.settingsStore()->setValue(keys::ExchangeHours, 1);
    QElapsedTimer clock;
    clock.start();
    ProcStats warm;
    QStringList warmFiles;
    const ProcStats start = procStats();
    for (int t = 1; t <= ticks; ++t) {
        window.timerTimeout();
        QCoreApplication::processEvents();
        if (t == 10000) {
            settle();
            warm = procStats();
            warmFiles = openFileNames();
        }
    }
    settle();
    const ProcStats end = procStats();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    std::printf("idle ticks: %d in %.0f ms (%.2f us per tick), CPU %.2f s\n", ticks, ms, ms * 1000 / ticks,
                end.cpuSeconds - start.cpuSeconds);
    std::printf("idle ticks: RSS after 10000 ticks %lld kB, after %d ticks %lld kB (peak %lld kB)\n",
                warm.rssKb, ticks, end.rssKb, end.peakRssKb);
    std::printf("idle ticks: open files after 10000 ticks %d, after %d ticks %d\n", warm.openFiles, ticks,
                end.openFiles);
    // A few hundred kB of heap growth is allocator noise; a leak per tick or per check is more.
    if (end.openFiles != warm.openFiles)
        std::printf("idle ticks: open files then: %s\nidle ticks: open files now:  %s\n",
                    qPrintable(warmFiles.join(QLatin1Char(' '))),
                    qPrintable(openFileNames().join(QLatin1Char(' '))));
    const bool grew = end.rssKb - warm.rssKb > 2048 || end.openFiles > warm.openFiles;
    std::printf("idle ticks: %s\n", grew ? "GREW" : "no growth");
    return grew ? 1 : 0;
}
