// The settings dialog behind the access code.
#pragma once

#include <QDialog>
#include <QString>

class MainWindow;

namespace Ui {
class DialogNastaveni;
}

class DialogNastaveni : public QDialog
{
    Q_OBJECT

public:
    explicit DialogNastaveni(MainWindow *parent);
    ~DialogNastaveni() override;

    void setValues(const QString &staj, const bool &nadoje, const bool &trayicon, const int &exchangeHours,
                   const QString &cloudNumber, const QString &user, const QString &password,
                   const int &insDays, const bool &importInseminations, const int &sendDays,
                   const bool &sendInseminations);
    void getValues(QString &staj, bool &nadoje, bool &trayicon, int &exchangeHours, QString &cloudNumber,
                   QString &user, QString &password, int &insDays, bool &importInseminations, int &sendDays,
                   bool &sendInseminations) const;

    bool createStartupShortcut();
    bool removeStartupShortcut();
    void updateShortcutState();

public slots:
    void onSCCreate();
    void onSCDelete();

private:
    Ui::DialogNastaveni *ui;
};
