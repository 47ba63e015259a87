// AfiFarm exchange: the "StablomatAnimals" report AfiFarm saves, the records read from it, and the
// import file AfiFarm picks up with the inseminations downloaded from the cloud.
#pragma once

#include "sync/records.h"
#include "sync/summary.h"

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

class EDifReader;

namespace afikim {

extern const char *const ReportPrefix; // "StablomatAnimals"

// The plain files of dir whose names begin with prefix (case-sensitive), newest first by
// modification time. Empty when the directory is absent.
QStringList reportFiles(const QString &dir, const QString &prefix);

// How long a run waits before it reads the newest report: AfiFarm may still be writing it.
// 5000 ms unless a test sets another value.
int reportWaitMs();
#ifdef STABLOMAT_TEST_HOOKS
void setReportWaitMs(int ms);
#endif

// The report's cells; row 0 holds the captions. Animal rows hold the cells of the known captions
// only, and end at the last of them that holds a value.
using ReportTable = QVector<QStringList>;
ReportTable readTable(const EDifReader &reader);

// The captions the adapter knows, in the report's order of the definition.
enum Column
{
    Krava,
    RegC,
    CvPK,
    Znamka,
    Pohlavi,
    Narozeni,
    Matka,
    Otec,
    Skupina,
    Stav,
    Oteleni,
    Odny,
    Laktace,
    Inseminace,
    Pin,
    Inseminator,
    Byk,
    Neinseminovat,
    Veterinar,
    VeterinarDiagnoza,
    Zasuseni,
    Zmetani,
    Vyrazeni,
    N1,
    N2,
    N3,
    N4,
    Rije,
    ColumnCount
};

QString caption(Column column);

// Column index per caption, -1 when the report lacks it; a caption found twice keeps its last column.
struct ColumnMap
{
    int index[ColumnCount];
    ColumnMap();
    int operator[](Column c) const { return index[c]; }
};

ColumnMap matchColumns(const QStringList &captions);

// Empty when every required caption is there; otherwise "Chybý sloupec v definici sestavy."
// followed by a blank and the first missing caption, "Krava" checked first.
QString missingColumnText(const ColumnMap &columns);

// Dates are written "dd/MM/yyyy"; anything else is an invalid date.
QDate reportDate(const QString &text);

// A yield cell: a decimal comma counts as a point; "?", an empty or unreadable text count 0.
double reportYield(const QString &text);

// What one report gives an exchange run.
struct ReportData
{
    HerdRecords records; // animals, pregnancy events and drying-offs
    QMap<QString, QString> cowNumberByLife;
    KnownInseminations knownInseminations;
    MilkMap yield1; // "N1", dated today
    MilkMap yield2; // "N2", dated yesterday, or today from noon on
    bool shortNumbers = true;
};

// Reads the animal rows (every row after the captions). Culled rows and rows without a
// registration number give nothing. `now` is the run's start: its date is today for the send
// window and the yields, its hour decides the day of "N2".
ReportData readReport(const ReportTable &table, const ColumnMap &columns, int insDays, int sendDays,
                      const QDateTime &now);

// The import file: bull section and insemination section, each line ended by a line feed.
struct ImportFile
{
    QString text;
    int written = 0; // insemination lines
};

// Rows already held by AfiFarm (KnownInseminations), for cows the report did not list or without a
// valid date give no line; a cow number, bull code or name longer than its field is written whole.
ImportFile importFile(const QList<DownloadedInsemination> &downloaded, const KnownInseminations &known,
                      const QMap<QString, QString> &cowNumberByLife);

// Writes the text in Windows-1250 so that AfiFarm never sees half a file: under a temporary name,
// renamed over the old file when complete. False when the file could not be created.
bool writeImportFile(const QString &path, const QString &text);

} // namespace afikim
