#include "sync/milkingperiods.h"

#ifdef STABLOMAT_TEST_HOOKS
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
#else
QDate milkingPeriodsToday()
{
    return QDate::currentDate();
}
#endif

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
