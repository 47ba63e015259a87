// Reading DairyPlan's answers into the herd exchange records and the milk sums, and turning the
// downloaded inseminations into the modify request's records. Pure: no window, no files.
#pragma once

#include "sync/records.h"
#include "sync/summary.h"

#include <QDate>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <array>

namespace exchange {
class AnswerLines;
}

namespace westfalia {

// One data line of the reproduction answer.
struct CowRow
{
    QString cowNumber;  // COW as DairyPlan holds it
    QString lifeNumber; // Reg1 reduced to its significant digits
    int status = 0;
    int pregnancyDiagnosis = 0;
    QDate calving;
    // The last events; each is invalid when it lies before the last calving.
    QDate insemination;
    QDate pregnancyCheck;
    QDate dryOff;
    QDate abortion;
};

// Data lines of both answers begin with "VN     0" or "VN000000".
bool isDataLine(QStringView line);

// False when the line is no data line ("VN     0" or "VN000000"). A short line gives empty
// columns and invalid dates.
bool readCowLine(const QString &line, CowRow *row);

// What the reproduction answer gives one run. The cows' COW numbers are the animals' tech_cislo.
struct ReproductionData
{
    HerdRecords records;
    KnownInseminations knownInseminations;
    bool shortNumbers = true;
};

// Adds one cow: the animal (a later row replaces an earlier one) with its cow number, its last
// insemination as known when inseminations are downloaded, and the events of the send window.
void addCow(const CowRow &row, int insDays, int sendDays, const QDate &today, ReproductionData *data);

ReproductionData readReproductionAnswer(exchange::AnswerLines &lines, int insDays, int sendDays,
                                        const QDate &today);
ReproductionData readReproductionAnswer(const QStringList &lines, int insDays, int sendDays,
                                        const QDate &today);

// One milking of the milk-yield answer.
struct Milking
{
    QDateTime when; // invalid when the date is unknown
    double kg = 0;
    QDate date; // what `when` is made of: the day and the milliseconds into it
    int msecsOfDay = 0;
};

struct MilkLine
{
    QString lifeNumber;
    QVector<Milking> milkings; // the six groups in line order
};

// False when the line is no data line or shorter than MinimumMilkLineLength.
bool readMilkLine(const QString &line, MilkLine *milk);

struct MilkingPeriod
{
    QDateTime from;
    QDateTime to; // both included; null bounds collect nothing
};
using MilkingPeriods = std::array<MilkingPeriod, 3>;

// The milk-yield CSV of the answer lines: per period, per cow the sum of the milkings inside it.
QString milkYieldText(exchange::AnswerLines &lines, const MilkingPeriods &periods);
QString milkYieldText(const QStringList &lines, const MilkingPeriods &periods);

// The modify request's records for the downloaded inseminations that DairyPlan does not hold yet
// and whose cow it lists, in the order received; a row without a valid date is left out.
QStringList eventLines(const QList<DownloadedInsemination> &downloaded, const KnownInseminations &known,
                       const QMap<QString, Animal> &animals);

} // namespace westfalia
