#include "app/milkingperiods.h"

#include "app/mainwindow.h"

static std::function<QDate()> &clockFunction()
{
    static std::function<QDate()> clock;
    return clock;
}

QDate milkingPeriodsToday()
{
    const auto &clock = clockFunction();
    return clock ? clock() : QDate::currentDate();
}

void setMilkingPeriodsClock(std::function<QDate()> clock)
{
    clockFunction() = std::move(clock);
}

MilkingPeriod milkingPeriod(bool inUse, int fromDay, int fromHour, int toDay, int toHour, const QDate &today)
{
    MilkingPeriod p;
    if (!inUse)
        return p;
    const QDate start = fromDay == 0 ? today : today.addDays(-1);
    const QDate end = toDay == 0 ? today : today.addDays(-1);
    p.from = QDateTime(start, QTime(fromHour, 0, 0, 0), Qt::LocalTime);
    p.to = QDateTime(end, QTime(toHour, 59, 59, 0), Qt::LocalTime);
    return p;
}

void MainWindow::computeMilkingPeriods()
{
    const QDate today = milkingPeriodsToday();
    const MilkingPeriod p1 = milkingPeriod(dojeni1, od_datum1, od_hodina1, do_datum1, do_hodina1, today);
    const MilkingPeriod p2 = milkingPeriod(dojeni2, od_datum2, od_hodina2, do_datum2, do_hodina2, today);
    const MilkingPeriod p3 = milkingPeriod(dojeni3, od_datum3, od_hodina3, do_datum3, do_hodina3, today);
    od_cas1 = p1.from;
    do_cas1 = p1.to;
    od_cas2 = p2.from;
    do_cas2 = p2.to;
    od_cas3 = p3.from;
    do_cas3 = p3.to;
}
