// The Uniform adapter's work on the HerdMetrix database: the statements, the lookup tables and
// records built from their rows, and the write-back through the stored procedures.
#pragma once

#include "sync/records.h"

#include <QDate>
#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>

#include <functional>

namespace uniform {

extern const char *const BullStatement;
extern const char *const DryOffStatement;
extern const char *const NewBullStatement;
extern const char *const MarkBullStatement;
extern const char *const InseminationStatement;
extern const char *const InseminationCheckStatement;

// The four identifiers of a new bull: kind and the value bound after the bull's DIERID.
struct BullIdentifier
{
    const char *statement;
    enum Value
    {
        Name,
        Four,
        Empty,
        Code
    } value;
};
extern const BullIdentifier BullIdentifiers[4];

// The day windows of one run.
struct Windows
{
    int insDays = 0;
    int sendDays = 0;
    QDate today;
};

// The animal and reproduction-event statement for the windows.
QString animalEventStatement(const Windows &windows);

// Every blank and hyphen removed, upper case.
QString normalisedBullCode(const QString &code);

// LEVENSNUMMER reduced to its digits (leading zeros kept).
QString lifeNumber(const QString &registration);

// NUMMER as sent: above 10000 it is no herd number (null); a text that is no number stays.
QVariant herdNumber(const QVariant &nummer);

// "I:" (written) or "In:" (import off), life number, date, bull code, line feed.
QString logLine(bool written, const DownloadedInsemination &row);

// What the reads of one run collect.
struct Tables
{
    QMap<QString, int> bullById;       // KICODE as stored -> DIERID
    QMap<QString, int> bullByNormCode; // normalised KICODE -> DIERID
    QMap<QString, QString> cowIdByNumber;
    KnownInseminations knownInseminations;
    HerdRecords records;
};

// One row of the animal and event statement.
struct AnimalRow
{
    QVariant dierId;
    QVariant registration; // LEVENSNUMMER
    QVariant transponder;  // ZENDERNUMMER
    QVariant nummer;       // NUMMER
    QDate eventDate;       // DATUMBEGIN, invalid without an event
    int eventCode = 0;     // VOORTPLANTINGCODE, 0 when not selected
};

void addBull(Tables &tables, int dierId, const QString &code);
void addAnimalRow(Tables &tables, const AnimalRow &row, const Windows &windows);
void addDryOffRow(Tables &tables, const QVariant &registration, const QDate &driedOff,
                  const Windows &windows);

// The reads; a statement that fails yields no rows.
void readBulls(QSqlDatabase &db, Tables &tables);
void readAnimals(QSqlDatabase &db, const Windows &windows, Tables &tables);
void readDryOffs(QSqlDatabase &db, const Windows &windows, Tables &tables);

// Commits what the connection's transaction holds and opens the next one; false when the
// commit failed (the work is rolled back).
bool commitWork(QSqlDatabase &db);

// Writes the downloaded inseminations the database does not hold; returns Written and appends
// the log lines. importAllowed is asked once per row that names a known cow and a valid date.
int writeBack(QSqlDatabase &db, const QList<DownloadedInsemination> &downloaded, Tables &tables,
              const std::function<bool()> &importAllowed, QString &log);

} // namespace uniform
