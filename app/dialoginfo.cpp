#include "app/dialoginfo.h"

#include "ui_dialoginfo.h"

#include <QCoreApplication>

DialogInfo::DialogInfo(QWidget *parent) : QDialog(parent), ui(new Ui::DialogInfo)
{
    ui->setupUi(this);
}

DialogInfo::~DialogInfo()
{
    delete ui;
}

void DialogInfo::setText(const QString &text)
{
    ui->label->setText(text);
}

QString DialogInfo::text() const
{
    return ui->label->text();
}

std::unique_ptr<DialogInfo> openProgressDialog(QWidget *parent, const QString &text)
{
    auto dialog = std::make_unique<DialogInfo>(parent);
    dialog->setWindowTitle(QStringLiteral("Stablomat"));
    dialog->show();
    updateProgressDialog(dialog.get(), text);
    return dialog;
}

void updateProgressDialog(DialogInfo *dialog, const QString &text)
{
    dialog->setText(text);
    QCoreApplication::processEvents();
}
