// The rule that turns a milking's day and hour choices into a period of date-times.
#pragma once

#include <QDate>
#include <QDateTime>
#include <functional>

struct MilkingPeriod
{
    QDateTime from; // null when the milking is not in use
    QDateTime to;
};

// Day 0 is today, any other value yesterday; the end hour is taken up to its last second.
MilkingPeriod milkingPeriod(bool inUse, int fromDay, int fromHour, int toDay, int toHour, const QDate &today);

// The clock computeMilkingPeriods() asks for today's date; tests may replace it.
QDate milkingPeriodsToday();
#ifdef STABLOMAT_TEST_HOOKS
void setMilkingPeriodsClock(std::function<QDate()> clock);
#endif
