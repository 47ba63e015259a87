// Choice of up to three milkings of the day, each from a day and hour to a day and hour.
#pragma once

#include <QDialog>

class MainWindow;
class QCheckBox;
class QComboBox;
class QSpinBox;

namespace Ui {
class DialogDojeni;
}

class DialogDojeni : public QDialog
{
    Q_OBJECT

public:
    explicit DialogDojeni(MainWindow *parent);
    ~DialogDojeni() override;

    void setPeriods(const bool &dojeni1, const bool &dojeni2, const bool &dojeni3, const int &od_datum1,
                    const int &od_hodina1, const int &do_datum1, const int &do_hodina1, const int &od_datum2,
                    const int &od_hodina2, const int &do_datum2, const int &do_hodina2, const int &od_datum3,
                    const int &od_hodina3, const int &do_datum3, const int &do_hodina3);
    void getPeriods(bool &dojeni1, bool &dojeni2, bool &dojeni3, int &od_datum1, int &od_hodina1,
                    int &do_datum1, int &do_hodina1, int &od_datum2, int &od_hodina2, int &do_datum2,
                    int &do_hodina2, int &od_datum3, int &od_hodina3, int &do_datum3, int &do_hodina3) const;

public slots:
    void onDojeni1Toggled(bool state);
    void onDojeni2Toggled(bool state);
    void onDojeni3Toggled(bool state);

private:
    // The widgets of one milking and the values it starts with when switched on.
    struct Milking
    {
        QCheckBox *inUse;
        QComboBox *fromDay;
        QSpinBox *fromHour;
        QComboBox *toDay;
        QSpinBox *toHour;
        int defaultFromDay, defaultFromHour, defaultToDay, defaultToHour;
    };
    void toggleMilking(const Milking &m, bool state);
    void setMilking(const Milking &m, bool inUse, int fromDay, int fromHour, int toDay, int toHour);
    static void getMilking(const Milking &m, bool &inUse, int &fromDay, int &fromHour, int &toDay,
                           int &toHour);

    Ui::DialogDojeni *ui;
    Milking milkings[3];
};
