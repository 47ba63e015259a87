#include "app/messagebox.h"

#include <QMessageBox>
#include <QPointer>

namespace messagebox {

namespace {

QPointer<QMessageBox> notice;
std::function<void(QMessageBox *)> noticeHook;

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

} // namespace messagebox
