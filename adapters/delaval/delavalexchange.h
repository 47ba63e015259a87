// The DeLaval exchange without the window: reading the converter's cow answer into the herd
// exchange records and the milk maps, and turning downloaded inseminations into record lines.
#pragma once

#include "sync/milkingperiods.h"
#include "sync/records.h"
#include "sync/summary.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace exchange {
class AnswerLines;
}

namespace delaval {

// The converter's working directory for a programPath in local form: its absolute directory + "/".
QString workingDirectory(const QString &localProgramPath);

struct Milking
{
    double milk = 0.0; // 0 when unknown
    QDateTime when;    // invalid when unknown
    QDate date;        // what `when` is made of: the day and the milliseconds into it, -1 when unknown
    int msecsOfDay = -1;
};

// One answer line, converted and corrected.
struct CowLine
{
    QString cow; // column 0, the cow's number in the parlour; null when unknown or blank
    QString lifeNumber;
    QDate calving;
    QDate insemination; // invalid when unknown or before the calving
    QDate pregnancyCheck;
    QDate dryOff;
    QDate abortion;
    int ordinal = 0;   // 0 when not a number
    int pregnant = 0;  // 0 when not a number
    int slaughter = 0; // 0 when not a number
    QString sire;      // lower case without "-" and blanks; null when unknown, empty without insemination
    Milking day[3];    // the REAL DATE's milkings 1 to 3
    Milking previousDay[3]; // the day before's
};

// Splits a line at its tabs and converts it; false when it does not give exactly 50 columns.
bool readCowLine(const QString &line, CowLine *cow);

// What one run needs to know while it reads the answer.
struct ReadingRules
{
    int insDays = 0;
    int sendDays = 0;
    QDate today;
    bool fetchYields = false;
    MilkingPeriod periods[3]; // null bounds: the milking is not in use
};

// Everything the answer gives one run. The cows' parlour numbers are the animals' tech_cislo.
struct HerdReading
{
    HerdRecords records;
    KnownInseminations known; // life number + last insemination date
    bool shortNumbers = true;
    MilkSums milk[3];
    int cows = 0;    // lines taken
    int skipped = 0; // lines without 50 columns or without a registration number
};

// Reads every answer line.
HerdReading readAnswer(exchange::AnswerLines &lines, const ReadingRules &rules);
HerdReading readAnswer(const QStringList &lines, const ReadingRules &rules);

// The record lines of a write-back and how many rows they hold.
struct WriteBackRecords
{
    QStringList lines;
    int Written = 0;
};

// One record line for a downloaded insemination of the cow with that parlour number.
QString recordLine(const QString &cowNumber, const DownloadedInsemination &row);

// The downloaded rows the milking system does not hold yet, in their order: a row without a valid
// date, already known (same life number and date) or for a cow the answer did not give (or gave
// without a parlour number) is left out. Values longer than their fields are written whole.
WriteBackRecords writeBackRecords(const QList<DownloadedInsemination> &downloaded,
                                  const KnownInseminations &known, const QMap<QString, Animal> &animals);

} // namespace delaval
