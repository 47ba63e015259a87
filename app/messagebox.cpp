#include "app/messagebox.h"

#include <QMessageBox>
#include <QPointer>
#include <QSystemTrayIcon>

namespace messagebox {

namespace {

QPointer<QMessageBox> notice;
std::function<void(QMessageBox *)> noticeHook;
std::function<void(const QString &)> trayNoticeHook;

} // namespace

void inform(QWidget *parent, const QString &text)
{
    QMessageBox::information(parent, QStringLiteral("Stablomat"), text, QMessageBox::Ok);
}

void notify(QWidget *parent, const QString &text)
{
    if (notice)
        notice->close();
    auto *box =
        new QMessageBox(QMessageBox::Information, QStringLiteral("Stablomat"), text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    notice = box;
    box->show();
    if (noticeHook)
        noticeHook(box);
}

QMessageBox *openNotice()
{
    return notice.data();
}

void setNoticeHook(const std::function<void(QMessageBox *)> &hook)
{
    noticeHook = hook;
}

void trayNotice(QSystemTrayIcon *tray, const QString &text)
{
    if (trayNoticeHook)
        trayNoticeHook(text);
    else
        tray->showMessage(QStringLiteral("Stablomat"), text, QSystemTrayIcon::Warning);
}

void setTrayNoticeHook(const std::function<void(const QString &)> &hook)
{
    trayNoticeHook = hook;
}

} // namespace messagebox
