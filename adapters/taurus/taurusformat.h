// The Taurus converter's files (Lely taurus2.exe, Fullwood taupro2.exe): item tables, the
// reproduction request and the write-back request.
//
// Shared by the adapters and by the taurus2.exe / taupro2.exe stand-in, so both build and read the
// same layout.
#pragma once

#include "exchange/adis.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace taurus {

enum class System
{
    Lely,
    Fullwood,
};

// Files in the converter's directory.
QString requestFileName(); // "tau_ms.2", both requests
QString answerFileName();  // "TAU_PRC.2"
QString insCopyFileName(); // "tau_ms_ins.txt", Fullwood's copy of the write-back lines
QString fileNamePattern(); // "*.2", the converter's files that Fullwood clears before a run

// Sender record, entity 201861, and its one value line.
const adis::Entity &senderHeader();
QString senderValues();

// General cow, entity 201863: all thirteen items (the Lely request).
const adis::Entity &generalCow();
// The items asked for: thirteen for Lely, the first ten for Fullwood.
const adis::Entity &generalCowRequest(System system);

// Items of a general-cow answer line, in request order.
namespace item {
enum Item : int
{
    CowId = 0,          // 00201896, 6: the animal's key
    HerdNumber,         // 00201812, 15: the animal's number in the herd
    Lactation,          // 00200064, 2
    Birth,              // 00201695, 8
    ReferenceDate,      // 00200042, 8: last calving
    InseminationDate,   // 00200050, 8: last insemination
    DryOffDate,         // 00200513, 8
    HeatDate,           // 00201743, 8
    PregnancyResult,    // 00900085, 1: "1" pregnant, "2" not pregnant
    PregnancyCheckDate, // 00900059, 8
    // Lely only, read by nobody; the stand-in writes transponder, sire and service number there.
    Transponder, // 00202461, 15
    Sire,        // 00989217, 15
    Ordinal,     // 00900058, 2
    Count
};
} // namespace item

// The records Fullwood hands back, entity 201863: cow id and insemination date.
const adis::Entity &evidence();

// The reproduction request, ten lines each ended by a line feed.
QString reproductionRequestText(System system);

// One write-back line: "VN201863", the cow id right-justified to 6 (a longer one is not cut) and the
// date "yyyyMMdd"; nothing after the cow id when the date is invalid.
QString writeBackLine(const QString &cowId, const QDate &date);

// The write-back request around the given lines, headed by `now` in Qt's text form.
QString writeBackRequestText(const QDateTime &now, const QStringList &lines);

} // namespace taurus
