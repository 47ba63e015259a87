// The Taurus exchange that the Lely and Fullwood adapters share, and Fullwood's records and
// write-back lines. Everything here works without a window.
#pragma once

#include "adapters/taurus/taurusformat.h"
#include "exchange/answerfile.h"
#include "sync/records.h"

#include <QDate>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

namespace taurus {

// The exchange files beside the converter (local paths).
struct Files
{
    QString dir; // the converter's directory, cleaned
    QString request;
    QString answer;
    QString insCopy;
};
Files files(const QString &localProgramPath);

// Removes every file (not directory) named "*.2" in dir.
void removeConverterFiles(const QString &dir);

// Deletes the old answer (for Fullwood every "*.2" file), hands the reproduction request to the
// converter and waits for its answer. The answer's lines, or false when no fresh answer came.
bool requestGeneralCows(const QString &localProgramPath, System system,
                        std::optional<exchange::AnswerLines> *answerLines);

// One general-cow line as the Fullwood adapter takes it.
struct FullwoodRow
{
    QString cowId;       // as written, trimmed
    QString herdNumber;  // empty (never null) when unknown
    QDate referenceDate; // last calving
    QDate inseminationDate;
    QDate dryOffDate;
    QDate pregnancyCheckDate;
    QVariant pregnancyResult; // 1, 2 or null
};

// The values of a general-cow line with the dates checked against the reference date and the
// pregnancy check against the insemination.
FullwoodRow fullwoodRow(const adis::Values &values);

// The herd number as the animal's tech_cislo: the text itself when its value is below 9999 (a text
// that is no number counts as 0), otherwise null.
QVariant techNumber(const QString &herdNumber);

// What one Fullwood answer gives: the records to send (the animals are those present in the milking
// system) and what the write-back needs.
struct FullwoodHerd
{
    HerdRecords records;
    KnownInseminations known; // cow id + last insemination date
};

FullwoodHerd fullwoodHerd(exchange::AnswerLines &answerLines, int insDays, int sendDays, const QDate &today);
FullwoodHerd fullwoodHerd(const QStringList &answerLines, int insDays, int sendDays, const QDate &today);

// The write-back lines for the downloaded rows, in the order received: rows without a valid date,
// rows already known to the milking system and rows for animals it did not list are left out.
QStringList fullwoodWriteBackLines(const QList<DownloadedInsemination> &downloaded,
                                   const KnownInseminations &known, const QMap<QString, Animal> &animals);

// Writes the lines, each ended by CR LF, as Windows-1250 text; the file is replaced only when it was
// written completely.
bool writeInsCopy(const QString &path, const QStringList &lines);

} // namespace taurus
