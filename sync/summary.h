// The texts an exchange run ends with: the result message and the milk-yield CSV.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QString>

#include <limits>
#include <vector>

// The five counters syncZavra returns, in its order.
struct SentCounts
{
    int animals = 0; // technological designations
    int inseminations = 0;
    int pregnancies = 0;
    int dryOffs = 0;
    int plans = 0;
};

enum class ResultForm
{
    WithHeadings, // "Přijato" / "Odesláno" with the insemination counter (the adapter that sends them)
    Short,        // one line per counter, the insemination counter left out
};

// downloaded: rows in the downloaded list; written: how many of them the adapter wrote back.
QString resultText(ResultForm form, int downloaded, int written, const SentCounts &sent);

// "Proběhla úspěšná datová výměna." followed by an empty line and the result text.
QString successMessage(const QString &resultText);

// A negative result of the synchronisation library: "Chyba: " and the number, then a line on what
// it means and what to do.
QString errorMessage(int code);

// One cow's milk in one milking period.
struct MilkEntry
{
    QString lifeNumber;
    double milk = 0.0;
    QDateTime when; // the first milking counted
};

// Life number -> entry; QMap keeps the life numbers in ascending text order.
using MilkMap = QMap<QString, MilkEntry>;

// The same for the readers' own flat tables: a cow's milk in one period, its first milking counted
// as the day and the milliseconds into it.
struct MilkSum
{
    qint64 lifeNumber = 0;
    double milk = 0.0;
    QDate date;
    int msecsOfDay = 0;
};
// Ascending in the text order of the life numbers, as a MilkMap.
using MilkSums = std::vector<MilkSum>;

// Adds one milking to the cow's entry, creating it; the entry keeps the first date-time it got.
// singlePrecision sums in float, as the DeLaval adapter does ("%.1f" of a float sum can differ
// from the double one, e.g. 12.35).
void addMilk(MilkMap &map, const QString &lifeNumber, double milk, const QDateTime &when,
             bool singlePrecision = false);

// True when `when` lies within [from, to]; a period with a null bound collects nothing.
bool inMilkingPeriod(const QDateTime &when, const QDateTime &from, const QDateTime &to);

// Counts one milking in a period's map when it lies inside the period and its milk is above 0;
// returns whether it was counted.
bool addMilkInPeriod(MilkMap &map, const QDateTime &from, const QDateTime &to, const QString &lifeNumber,
                     double milk, const QDateTime &when, bool singlePrecision = false);

// The milking periods of a run, for many milkings given as a date and the milliseconds into it:
// each day's offset from UTC is worked out once, instead of a local-time conversion for every
// milking and comparison. Answers as inMilkingPeriod and addMilkInPeriod do for
// QDateTime(date, time); on a day whose offset changes, through them.
class MilkingPeriodClock
{
public:
    MilkingPeriodClock(const QDateTime *from, const QDateTime *to, int count);

    // Whether the milking lies in period p; false for an invalid date or msecsOfDay -1.
    bool inPeriod(int p, const QDate &date, int msecsOfDay);

    // addMilkInPeriod for period p; the date-time is made only when the entry takes it.
    bool addMilk(MilkMap &map, int p, const QString &lifeNumber, double milk, const QDate &date,
                 int msecsOfDay, bool singlePrecision = false);
    // The same into flat sums, the cows given in the order of the sums: a life number other than the
    // last entry's starts a new entry.
    bool addMilk(MilkSums &sums, int p, qint64 lifeNumber, double milk, const QDate &date, int msecsOfDay,
                 bool singlePrecision = false);

private:
    struct Bounds
    {
        const QDateTime *from = nullptr;
        const QDateTime *to = nullptr;
        bool valid = false;
        qint64 fromMs = 0;
        qint64 toMs = 0;
    };
    struct Day
    {
        qint64 midnightMs = 0;
        bool uniform = false; // one offset from UTC all day
    };
    Bounds bounds[3];
    QHash<qint64, Day> days;
    Day lastDay;
    qint64 lastJulianDay = std::numeric_limits<qint64>::min(); // no valid date's
};

extern const char *const MilkYieldHeader; // "USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO"

// The header line, then period 1, 2 and 3, each in life-number order; every line ends with "\n".
QString milkYieldCsv(const MilkMap &period1, const MilkMap &period2 = MilkMap(),
                     const MilkMap &period3 = MilkMap());
QString milkYieldCsv(const MilkSums &period1, const MilkSums &period2, const MilkSums &period3);
