// Runs the program's real start-up and reports on stdout what a user would see:
//   BOX <tab> title <tab> text      for every message box (answered with OK)
//   WINDOW <tab> x y w h <tab> desktop w h   once the main window is on screen
//   HIDDEN                          when the window went away but the program runs on
//   GL <tab> libraries              OpenGL driver libraries mapped once the window is drawn
//   EXCHANGE <tab> tray 0|1         when the first exchange is seen running, with the tray's presence
//   TRAY WAIT                       once, while the program waits for a tray to come up
// HARNESS_MODE: "show" quits once the window is seen, "close" closes it, then quits through the
// tray menu if the program is still running, "gl" quits after the GL line, "exchange" waits for
// the first exchange, reports the window a second later and quits through the tray menu, "run"
// starts a timer-style exchange at once and reports:
//   RUNNING                         the exchange is under way and the event loop runs
//   PAINTED                         a change to the window was painted meanwhile
//   SIGTERM kept|replaced           whether the exchange left the program's SIGTERM handler
//   EXCHANGED                       the exchange returned
// With HARNESS_END=tray it then quits through the tray menu; otherwise the test sends a signal.
#include "app/mainwindow.h"
#include "app/startup.h"
#include "common/testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDesktopWidget>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSet>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdio>
#include <signal.h>

static void say(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Mapped libraries of an OpenGL driver (the GLX or EGL vendor library, Mesa's *_dri, LLVM; not the
// small dispatch libraries that Qt links); "?" without /proc.
static QString openGlLibraries()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    const QRegularExpression gl(QStringLiteral("/((libGLX_|libEGL_|libLLVM)[^/]*|[^/]*_dri)\\.so[^/]*$"));
    QSet<QString> found;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const QRegularExpressionMatch m = gl.match(QString::fromLocal8Bit(line));
        if (m.hasMatch())
            found.insert(m.captured(1));
    }
    QStringList names = found.values();
    names.sort();
    return names.join(QLatin1Char(' '));
}

static QString escaped(QString text)
{
    return text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"));
}

int main(int argc, char **argv)
{
    const QString mode = qEnvironmentVariable("HARNESS_MODE", QStringLiteral("show"));
    return runStablomat(argc, argv, [mode] {
        auto *poll = new QTimer(qApp);
        poll->setInterval(20);
        auto state = std::make_shared<int>(0); // 0 waiting for the window, 1 closed, 2 done, 3 drawing
        QObject::connect(poll, &QTimer::timeout, [mode, state] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                say(QStringLiteral("BOX\t") + escaped(box->windowTitle()) + QLatin1Char('\t') +
                    escaped(box->text()));
                box->button(QMessageBox::Ok)->click();
                return;
            }
            MainWindow *window = nullptr;
            for (QWidget *w : QApplication::topLevelWidgets()) {
                if (auto *mw = qobject_cast<MainWindow *>(w))
                    window = mw;
            }
            if (!window)
                return;
            static bool trayWaitSeen = false;
            if (!trayWaitSeen && !window->isVisible() && !QSystemTrayIcon::isSystemTrayAvailable()) {
                trayWaitSeen = true;
                say(QStringLiteral("TRAY WAIT"));
            }
            if (mode == QLatin1String("run")) {
                if (*state == 0 && window->isVisible()) {
                    *state = 1;
                    QTimer::singleShot(0, window, [window] {
                        struct sigaction before = {}, after = {};
                        sigaction(SIGTERM, nullptr, &before);
                        window->runExchange(false, false);
                        sigaction(SIGTERM, nullptr, &after);
                        say(before.sa_handler == after.sa_handler ? QStringLiteral("SIGTERM kept")
                                                                  : QStringLiteral("SIGTERM replaced"));
                        say(QStringLiteral("EXCHANGED"));
                    });
                } else if (*state == 1 && window->exchangeRunning()) {
                    *state = 2;
                    say(QStringLiteral("RUNNING"));
                    window->runExchange(false, false); // refused: one run at a time
                    auto *label = window->findChild<QLabel *>(QStringLiteral("staj"));
                    auto *counter = new PaintCounter(label);
                    label->setText(QStringLiteral("Farma"));
                    QTimer::singleShot(500, window, [window, counter] {
                        if (counter->paints > 0)
                            say(QStringLiteral("PAINTED"));
                        if (qEnvironmentVariable("HARNESS_END") == QLatin1String("tray"))
                            window->tray()->contextMenu()->actions().last()->trigger(); // "&Ukončit"
                    });
                }
                return;
            }
            if (mode == QLatin1String("exchange")) {
                if (*state == 0 && window->exchangeRunning()) {
                    *state = 2;
                    say(QStringLiteral("EXCHANGE\ttray %1")
                            .arg(QSystemTrayIcon::isSystemTrayAvailable() ? 1 : 0));
                    QTimer::singleShot(1000, window, [window] {
                        say(window->isVisible() ? QStringLiteral("VISIBLE") : QStringLiteral("HIDDEN"));
                        window->tray()->contextMenu()->actions().last()->trigger(); // "&Ukončit"
                    });
                }
                return;
            }
            if (*state == 0 && window->isVisible()) {
                const QRect desk = QApplication::desktop()->geometry();
                say(QStringLiteral("WINDOW\t%1 %2 %3 %4\t%5 %6")
                        .arg(window->x())
                        .arg(window->y())
                        .arg(window->width())
                        .arg(window->height())
                        .arg(desk.width())
                        .arg(desk.height()));
                if (mode == QLatin1String("close")) {
                    *state = 1;
                    window->close();
                } else if (mode == QLatin1String("gl")) {
                    *state = 3;
                    window->repaint();
                    // The tray icon and the window have been drawn by the time the next events are done.
                    QTimer::singleShot(500, [] {
                        say(QStringLiteral("GL\t") + openGlLibraries());
                        QCoreApplication::quit();
                    });
                } else {
                    *state = 2;
                    QCoreApplication::quit();
                }
            } else if (*state == 1) {
                say(window->isVisible() ? QStringLiteral("VISIBLE") : QStringLiteral("HIDDEN"));
                *state = 2;
                const QList<QAction *> actions = window->tray()->contextMenu()->actions();
                actions.last()->trigger(); // "&Ukončit"
            }
        });
        poll->start();
    });
}
