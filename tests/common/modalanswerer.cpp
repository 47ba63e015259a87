// The window side of the test support: answering the program's message boxes, counting paints,
// waiting for the runs the directory watcher starts.
#include "common/testsupport.h"

#include "app/mainwindow.h"
#include "app/messagebox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileSystemWatcher>
#include <QMessageBox>

ModalAnswerer::ModalAnswerer(QObject *parent) : QObject(parent)
{
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    timer.start();
    // Boxes that do not wait are answered as they appear.
    messagebox::setNoticeHook([this](QMessageBox *box) { answer(box); });
}

ModalAnswerer::~ModalAnswerer()
{
    messagebox::setNoticeHook(nullptr);
}

void ModalAnswerer::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    answer(box);
}

void ModalAnswerer::answer(QMessageBox *box)
{
    Box seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    switch (box->icon()) {
    case QMessageBox::Information:
        seen.icon = QStringLiteral("information");
        break;
    case QMessageBox::Warning:
        seen.icon = QStringLiteral("warning");
        break;
    case QMessageBox::Critical:
        seen.icon = QStringLiteral("critical");
        break;
    case QMessageBox::Question:
        seen.icon = QStringLiteral("question");
        break;
    default:
        break;
    }
    seen.parent = box->parentWidget();
    seen.buttons = int(box->standardButtons());
    boxes.append(seen);
    QAbstractButton *ok = box->button(QMessageBox::Ok);
    if (!ok && !box->buttons().isEmpty())
        ok = box->buttons().first();
    if (ok)
        ok->click();
    else
        box->close();
}

PaintCounter::PaintCounter(QWidget *top)
{
    top->installEventFilter(this);
    for (QWidget *w : top->findChildren<QWidget *>())
        w->installEventFilter(this);
}

bool PaintCounter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint || event->type() == QEvent::UpdateRequest)
        ++paints;
    return QObject::eventFilter(watched, event);
}

QStringList ModalAnswerer::texts(bool firstLines) const
{
    QStringList list;
    for (const Box &b : boxes)
        list << (firstLines ? b.text.section(QLatin1Char('\n'), 0, 0) : b.text);
    return list;
}

void deleteWindow(MainWindow *window)
{
    if (!window)
        return;
    window->settingsStore()->clear();
    delete window;
}

bool waitForAfifarmRuns(MainWindow *window, const QString &savefile, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    const auto left = [&] { return qMax(0, timeoutMs - int(clock.elapsed())); };
    const auto idle = [&] {
        return !window->exchangeRunning() &&
               QDir(savefile).entryList({QStringLiteral("StablomatAnimals*")}, QDir::Files).isEmpty();
    };
    auto *watcher = window->findChild<QFileSystemWatcher *>();
    if (!watcher)
        return false;
    // The watcher reports in order: once the change of a mark made now has come, the earlier ones
    // have come too, and the runs they started are over.
    QSignalSpy seen(watcher, &QFileSystemWatcher::directoryChanged);
    do {
        if (!QTest::qWaitFor(idle, left()))
            return false;
        seen.clear();
        QFile mark(savefile + QStringLiteral("/.settled"));
        if (!mark.open(QIODevice::WriteOnly))
            return false;
        mark.close();
        mark.remove();
        if (!QTest::qWaitFor([&] { return !seen.isEmpty(); }, left()))
            return false;
    } while (!idle());
    return true;
}
