#include "app/startup.h"

#include "app/mainwindow.h"
#include "exchange/converter.h"
#include "platform/platform.h"
#include "update/swap.h"
#include "update/updateprotocol.h"

#include <QApplication>
#include <QDesktopWidget>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QTranslator>

// Set by SIGTERM or SIGINT; the event loop may not run yet.
static bool endRequested = false;

// A tray host started at the same log-on may come up a moment after the program.
static bool systemTrayAvailable(int graceMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (waited.elapsed() >= graceMs || endRequested)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(50);
    }
    return true;
}

QString secondInstanceText()
{
    return QApplication::translate("main", "Program") + QStringLiteral(" stablomat.exe ") +
           QApplication::translate("main", "je již spuštěn a jsou zakázány\njeho vícenasobné instance.\n\n"
                                           "Spuštěný program se bude nacházet dole v panelu úloh.");
}

int runStablomat(int argc, char **argv, const std::function<void()> &started)
{
    platform::prepareProcess();
    // No widget draws with OpenGL: without this every window is made GL-capable, which loads the
    // OpenGL driver (with Mesa's software driver, LLVM: some 45 MB resident) at the first show.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    QApplication app(argc, argv);
    // Qt's own texts (buttons, file dialog) in Czech, from the translation built into the program.
    Q_INIT_RESOURCE(resources);
    QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral(":/translations/qtbase_cs.qm")))
        QCoreApplication::installTranslator(&qtTexts);
    if (started)
        started();

    // Logout, shutdown, kill: an orderly end like the tray's "&Ukončit", converters ended.
    platform::watchEndSignals([] {
        endRequested = true;
        exchange::endConverterRuns();
        QCoreApplication::quit();
    });

    const QString exeName = platform::ownExecutableName(QString::fromLatin1(argv[0]));
    const qint64 ownPid = QCoreApplication::applicationPid();
    if (platform::anotherInstanceRunning(exeName, ownPid)) {
        QMessageBox::warning(nullptr, QApplication::translate("main", "Systray"), secondInstanceText(),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return 0;
    }

    // A swap of the program's files left half-done is finished or rolled back before anything else.
    const QString dir = QCoreApplication::applicationDirPath();
    const QString updateExe = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    // Only where the program can replace itself (not from a package's /usr/bin).
    const bool updatable = update::updateBlockedReason(dir, QFileInfo(dir).isWritable()).isEmpty();
    update::StartAction swap = update::StartAction::Run;
    if (updatable && platform::holdProgramLock(dir + QLatin1Char('/') + update::LockName))
        swap = update::claimAtStart(dir, updateExe);
    else if (updatable && update::swapUnderWay(dir))
        return 0; // the update script is at work and starts the program itself
    if (swap == update::StartAction::HandOver && update::writeScript(dir, updateExe) &&
        platform::startUpdateScript(dir))
        return 0;
    // The new version is kept once it has run for a while, or ends in order.
    if (swap == update::StartAction::RunOnTrial)
        QTimer::singleShot(update::TrialSeconds * 1000, &app, [dir, &swap] {
            update::keepNewVersion(dir);
            swap = update::StartAction::Run;
        });

    int status = 1;
    {
        MainWindow window(nullptr);
        const bool tray = systemTrayAvailable(3000);
        if (endRequested) {
            // Ended before the event loop ran (a quit then would be lost): in order all the same.
            status = 0;
        } else if (!tray) {
            QMessageBox::critical(
                nullptr, QApplication::translate("main", "Systray"),
                QApplication::translate("main", "I couldn't detect any system tray on this system."));
        } else {
            QApplication::setQuitOnLastWindowClosed(false);
            const int desktopWidth = QApplication::desktop()->width();
            const int desktopHeight = QApplication::desktop()->height();
            const QSize size = window.size();
            window.show();
            window.move((desktopWidth - size.width()) / 2, (desktopHeight - size.height()) / 2);
            status = QApplication::exec();
            if (swap == update::StartAction::RunOnTrial)
                update::keepNewVersion(dir);
        }
    }
    return status;
}
