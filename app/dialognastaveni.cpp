#include "app/dialognastaveni.h"

#include "app/mainwindow.h"
#include "app/shortcuts.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"
#include "ui_dialognastaveni.h"
#include "ui_mainwindow.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

// Compared exactly: no trimming, case-sensitive.
static const QString accessCode = QStringLiteral("pastvinka");

DialogNastaveni::DialogNastaveni(MainWindow *parent) : QDialog(parent), ui(new Ui::DialogNastaveni)
{
    ui->setupUi(this);
    // The buttons act when the mouse button goes down, not on release.
    connect(ui->create_sc, &QPushButton::pressed, this, &DialogNastaveni::onSCCreate);
    connect(ui->delete_sc, &QPushButton::pressed, this, &DialogNastaveni::onSCDelete);
    updateShortcutState();
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
}

DialogNastaveni::~DialogNastaveni()
{
    delete ui;
}

void DialogNastaveni::setValues(const QString &staj, const bool &nadoje, const bool &trayicon,
                                const int &exchangeHours, const QString &cloudNumber, const QString &user,
                                const QString &password, const int &insDays, const bool &importInseminations,
                                const int &sendDays, const bool &sendInseminations)
{
    ui->staj->setText(staj);
    ui->nadoje->setChecked(nadoje);
    ui->trayicon->setChecked(trayicon);
    ui->zavra_dat_vymena_hod->setValue(exchangeHours);
    ui->cislo_cloudu->setText(cloudNumber);
    ui->uzivatel->setText(user);
    ui->heslo->setText(password);
    ui->zavra_stahovat_inseminace->setValue(insDays);
    ui->zavra_stahovat_inseminace_importovat->setChecked(importInseminations);
    ui->zavra_odesilat->setValue(sendDays);
    ui->zavra_odesilat_inseminace->setChecked(sendInseminations);
}

void DialogNastaveni::getValues(QString &staj, bool &nadoje, bool &trayicon, int &exchangeHours,
                                QString &cloudNumber, QString &user, QString &password, int &insDays,
                                bool &importInseminations, int &sendDays, bool &sendInseminations) const
{
    staj = ui->staj->text();
    nadoje = ui->nadoje->isChecked();
    trayicon = ui->trayicon->isChecked();
    exchangeHours = ui->zavra_dat_vymena_hod->value();
    cloudNumber = ui->cislo_cloudu->text();
    user = ui->uzivatel->text();
    password = ui->heslo->text();
    insDays = ui->zavra_stahovat_inseminace->value();
    importInseminations = ui->zavra_stahovat_inseminace_importovat->isChecked();
    sendDays = ui->zavra_odesilat->value();
    sendInseminations = ui->zavra_odesilat_inseminace->isChecked();
}

bool DialogNastaveni::createStartupShortcut()
{
    const bool created = ::createStartupShortcut();
    updateShortcutState();
    return created;
}

bool DialogNastaveni::removeStartupShortcut()
{
    const bool removed = ::removeStartupShortcut();
    updateShortcutState();
    return removed;
}

void DialogNastaveni::updateShortcutState()
{
    if (startupShortcutPath().isEmpty())
        return;
    ui->zastupce_stav->setText(shortcutStateText(startupShortcutPresent()));
}

void DialogNastaveni::onSCCreate()
{
    const QString text =
        createStartupShortcut() ? tr("Zástupce vytořen.") : tr("Chyba při vytváření zástupce.");
    QMessageBox::information(this, QStringLiteral("Stablomat"), text, QMessageBox::Ok);
}

void DialogNastaveni::onSCDelete()
{
    const QString text = removeStartupShortcut() ? tr("Zástupce smazán.") : tr("Chyba při mazání zástupce.");
    QMessageBox::information(this, QStringLiteral("Stablomat"), text, QMessageBox::Ok);
}

void MainWindow::onNastaveni()
{
    bool entered = false;
    const QString code =
        QInputDialog::getText(this, tr("Heslo"), tr("Kód:"), QLineEdit::Password, QString(), &entered);
    if (!entered)
        return;
    if (code != accessCode) {
        QMessageBox::information(this, QStringLiteral("Stablomat"), tr("Neplatný kód."), QMessageBox::Ok);
        return;
    }

    DialogNastaveni dialog(this);
    dialog.setWindowTitle(tr("Nastavení"));
    dialog.setValues(readString(settings, keys::Staj), readBool(settings, keys::FetchYields),
                     readBool(settings, keys::TrayIcon), readInt(settings, keys::ExchangeHours),
                     readString(settings, keys::CloudNumber), readString(settings, keys::CloudUser),
                     readString(settings, keys::CloudPassword), readInt(settings, keys::InsDays),
                     readBool(settings, keys::ImportInseminations), readInt(settings, keys::SendDays),
                     readBool(settings, keys::SendInseminations));
    if (dialog.exec() != QDialog::Accepted)
        return;

    QString staj, cloudNumber, user, password;
    bool nadoje = false, trayicon = false, importInseminations = false, sendInseminations = false;
    int exchangeHours = 0, insDays = 0, sendDays = 0;
    dialog.getValues(staj, nadoje, trayicon, exchangeHours, cloudNumber, user, password, insDays,
                     importInseminations, sendDays, sendInseminations);
    ui->staj->setText(staj.isEmpty() ? tr("Nastavte název stáje") : staj);
    settings->setValue(keys::Staj, staj);
    settings->setValue(keys::FetchYields, nadoje);
    settings->setValue(keys::TrayIcon, trayicon);
    settings->setValue(keys::ExchangeHours, exchangeHours);
    settings->setValue(keys::CloudNumber, cloudNumber);
    settings->setValue(keys::CloudUser, user);
    settings->setValue(keys::CloudPassword, password);
    settings->setValue(keys::InsDays, insDays);
    settings->setValue(keys::ImportInseminations, importInseminations);
    settings->setValue(keys::SendDays, sendDays);
    settings->setValue(keys::SendInseminations, sendInseminations);
    // Should the file have been made anew meanwhile: the password is in it now.
    settings->sync();
    platform::protectSettings(settings->fileName());
}
