// Runs the program's real start-up and reports on stdout what a user would see:
//   BOX <tab> title <tab> text      for every message box (answered with OK)
//   WINDOW <tab> x y w h <tab> desktop w h   once the main window is on screen
//   HIDDEN                          when the window went away but the program runs on
// HARNESS_MODE: "show" quits once the window is seen, "close" closes it, then quits through the
// tray menu if the program is still running.
#include "app/mainwindow.h"
#include "app/startup.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDesktopWidget>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>

static void say(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
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
        auto state = std::make_shared<int>(0); // 0 waiting for the window, 1 closed, 2 done
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
