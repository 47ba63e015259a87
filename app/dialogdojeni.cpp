#include "app/dialogdojeni.h"

#include "app/mainwindow.h"
#include "ui_dialogdojeni.h"

#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>

DialogDojeni::DialogDojeni(MainWindow *parent) : QDialog(parent), ui(new Ui::DialogDojeni)
{
    ui->setupUi(this);
    // Day index 1 is "Včera", 0 "Dnes".
    milkings[0] = {ui->cbdojeni1, ui->od_datum1, ui->od_hodina1, ui->do_datum1, ui->do_hodina1, 1, 12, 1, 23};
    milkings[1] = {ui->cbdojeni2, ui->od_datum2, ui->od_hodina2, ui->do_datum2, ui->do_hodina2, 0, 0, 0, 11};
    milkings[2] = {ui->cbdojeni3, ui->od_datum3, ui->od_hodina3, ui->do_datum3, ui->do_hodina3, 0, 12, 0, 23};

    connect(ui->cbdojeni1, &QCheckBox::toggled, this, &DialogDojeni::onDojeni1Toggled);
    connect(ui->cbdojeni2, &QCheckBox::toggled, this, &DialogDojeni::onDojeni2Toggled);
    connect(ui->cbdojeni3, &QCheckBox::toggled, this, &DialogDojeni::onDojeni3Toggled);
    for (const Milking &m : milkings) {
        m.fromDay->setEnabled(false);
        m.fromHour->setEnabled(false);
        m.toDay->setEnabled(false);
        m.toHour->setEnabled(false);
        m.fromDay->setCurrentIndex(-1);
        m.toDay->setCurrentIndex(-1);
        m.fromHour->setValue(0);
        m.toHour->setValue(0);
    }
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
}

DialogDojeni::~DialogDojeni()
{
    delete ui;
}

void DialogDojeni::onDojeni1Toggled(bool state)
{
    toggleMilking(milkings[0], state);
}

void DialogDojeni::onDojeni2Toggled(bool state)
{
    toggleMilking(milkings[1], state);
}

void DialogDojeni::onDojeni3Toggled(bool state)
{
    toggleMilking(milkings[2], state);
}

void DialogDojeni::toggleMilking(const Milking &m, bool state)
{
    m.fromDay->setEnabled(state);
    m.fromHour->setEnabled(state);
    m.toDay->setEnabled(state);
    m.toHour->setEnabled(state);
    if (state) {
        // Values already chosen stay; only empty ones get the milking's defaults.
        if (m.fromDay->currentIndex() == -1) {
            m.fromDay->setCurrentIndex(m.defaultFromDay);
            m.fromHour->setValue(m.defaultFromHour);
        }
        if (m.toDay->currentIndex() == -1) {
            m.toDay->setCurrentIndex(m.defaultToDay);
            m.toHour->setValue(m.defaultToHour);
        }
    } else {
        m.fromDay->setCurrentIndex(-1);
        m.toDay->setCurrentIndex(-1);
        m.fromHour->setValue(0);
        m.toHour->setValue(0);
    }
}

void DialogDojeni::setMilking(const Milking &m, bool inUse, int fromDay, int fromHour, int toDay, int toHour)
{
    if (!inUse) {
        m.inUse->setChecked(false);
        return;
    }
    m.inUse->setChecked(true);
    // An index other than 0 or 1 leaves the combo box without a selection.
    m.fromDay->setCurrentIndex(fromDay >= 0 && fromDay < m.fromDay->count() ? fromDay : -1);
    m.fromHour->setValue(fromHour);
    m.toDay->setCurrentIndex(toDay >= 0 && toDay < m.toDay->count() ? toDay : -1);
    m.toHour->setValue(toHour);
}

void DialogDojeni::getMilking(const Milking &m, bool &inUse, int &fromDay, int &fromHour, int &toDay,
                              int &toHour)
{
    inUse = m.inUse->isChecked();
    fromDay = m.fromDay->currentIndex();
    fromHour = m.fromHour->value();
    toDay = m.toDay->currentIndex();
    toHour = m.toHour->value();
}

void DialogDojeni::setPeriods(const bool &dojeni1, const bool &dojeni2, const bool &dojeni3,
                              const int &od_datum1, const int &od_hodina1, const int &do_datum1,
                              const int &do_hodina1, const int &od_datum2, const int &od_hodina2,
                              const int &do_datum2, const int &do_hodina2, const int &od_datum3,
                              const int &od_hodina3, const int &do_datum3, const int &do_hodina3)
{
    setMilking(milkings[0], dojeni1, od_datum1, od_hodina1, do_datum1, do_hodina1);
    setMilking(milkings[1], dojeni2, od_datum2, od_hodina2, do_datum2, do_hodina2);
    setMilking(milkings[2], dojeni3, od_datum3, od_hodina3, do_datum3, do_hodina3);
}

void DialogDojeni::getPeriods(bool &dojeni1, bool &dojeni2, bool &dojeni3, int &od_datum1, int &od_hodina1,
                              int &do_datum1, int &do_hodina1, int &od_datum2, int &od_hodina2,
                              int &do_datum2, int &do_hodina2, int &od_datum3, int &od_hodina3,
                              int &do_datum3, int &do_hodina3) const
{
    getMilking(milkings[0], dojeni1, od_datum1, od_hodina1, do_datum1, do_hodina1);
    getMilking(milkings[1], dojeni2, od_datum2, od_hodina2, do_datum2, do_hodina2);
    getMilking(milkings[2], dojeni3, od_datum3, od_hodina3, do_datum3, do_hodina3);
}

bool MainWindow::askForMilkingPeriods()
{
    DialogDojeni dialog(this);
    dialog.setWindowTitle(tr("Výběr datumů a pořadí dojení"));
    dialog.setPeriods(dojeni1, dojeni2, dojeni3, od_datum1, od_hodina1, do_datum1, do_hodina1, od_datum2,
                      od_hodina2, do_datum2, do_hodina2, od_datum3, od_hodina3, do_datum3, do_hodina3);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    dialog.getPeriods(dojeni1, dojeni2, dojeni3, od_datum1, od_hodina1, do_datum1, do_hodina1, od_datum2,
                      od_hodina2, do_datum2, do_hodina2, od_datum3, od_hodina3, do_datum3, do_hodina3);
    computeMilkingPeriods();
    return true;
}
