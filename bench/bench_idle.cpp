// The tray program at rest: 100,000 timer ticks of a MainWindow (one hourly version check every
// 3,600 of them, an automatic exchange every hour), with resident memory and open files read from
// /proc before and after. Prints one line per measurement; exits 1 when memory or files grew.
//   bench_idle [ticks]
#include "common/testsupport.h"

#include "app/mainwindow.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"
#include "procstats.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <cstdio>

namespace {

// Runs the event loop (deferred deletions included) for ms milliseconds.
void runEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Lets the version checks in flight end and their replies go, so that their sockets are not
// counted; false when some are still there after 10 s.
bool settle(const MainWindow &window)
{
    QElapsedTimer waited;
    waited.start();
    do {
        runEvents(20);
        if (window.findChildren<QNetworkReply *>().isEmpty()) {
            // Qt keeps the last connection to the server, with a refused socket, for the next check.
            if (auto *manager = window.findChild<QNetworkAccessManager *>())
                manager->clearConnectionCache();
            runEvents(100);
            return true;
        }
    } while (waited.elapsed() < 10000);
    return false;
}

// The open files at their fewest over a few samples: Qt's bearer thread opens a socket for a
// moment every few seconds. A file leaked per tick or per check is there in every sample.
QStringList steadyOpenFiles()
{
    QStringList fewest = openFileNames();
    for (int i = 0; i < 10; ++i) {
        runEvents(20);
        const QStringList now = openFileNames();
        if (now.size() < fewest.size())
            fewest = now;
    }
    return fewest;
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
    bool warmSettled = false;
    const ProcStats start = procStats();
    for (int t = 1; t <= ticks; ++t) {
        window.timerTimeout();
        QCoreApplication::processEvents();
        if (t == 10000) {
            warmSettled = settle(window);
            warm = procStats();
            warmFiles = steadyOpenFiles();
        }
    }
    const bool endSettled = settle(window);
    const ProcStats end = procStats();
    const QStringList endFiles = steadyOpenFiles();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    std::printf("idle ticks: %d in %.0f ms (%.2f us per tick), CPU %.2f s\n", ticks, ms, ms * 1000 / ticks,
                end.cpuSeconds - start.cpuSeconds);
    std::printf("idle ticks: RSS after 10000 ticks %lld kB, after %d ticks %lld kB (peak %lld kB)\n",
                warm.rssKb, ticks, end.rssKb, end.peakRssKb);
    std::printf("idle ticks: open files after 10000 ticks %d, after %d ticks %d%s\n", int(warmFiles.size()),
                ticks, int(endFiles.size()),
                warmSettled && endSettled ? "" : " (a version check was still in flight)");
    // A few hundred kB of heap growth is allocator noise; a leak per tick or per check is more.
    if (endFiles != warmFiles)
        std::printf("idle ticks: open files then: %s\nidle ticks: open files now:  %s\n",
                    qPrintable(warmFiles.join(QLatin1Char(' '))),
                    qPrintable(endFiles.join(QLatin1Char(' '))));
    const bool grew = end.rssKb - warm.rssKb > 2048 || endFiles.size() > warmFiles.size();
    std::printf("idle ticks: %s\n", grew ? "GREW" : "no growth");
    return grew ? 1 : 0;
}
