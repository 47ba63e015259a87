// The window side of the test support: answering the program's message boxes.
#include "common/testsupport.h"

#include "app/messagebox.h"

#include <QAbstractButton>
#include <QApplication>
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
    boxes.append(seen);
    QAbstractButton *ok = box->button(QMessageBox::Ok);
    if (!ok && !box->buttons().isEmpty())
        ok = box->buttons().first();
    if (ok)
        ok->click();
    else
        box->close();
}
