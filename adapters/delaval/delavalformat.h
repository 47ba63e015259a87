// The DeLaval ISO converter's files: item tables, header block, request and record-file frames.
//
// Shared by the adapter and by the iso32.exe stand-in, so both build and read the same layout.
#pragma once

#include "exchange/adis.h"

#include <QString>
#include <QStringList>

namespace delaval {

// Files in the converter's directory.
QString requestFileName();      // "stablomat_in.txt"
QString answerFileName();       // "stablomat_out.txt"
QString recordFileName();       // "fin_stablomat_modify.ads"
QString recordAnswerFileName(); // "fout_stablomat_modify.ads"

// Sender header, entity 990001.
const adis::Entity &senderHeader();
// The cow request, entity 390006: the 49 items asked for, one answer column each.
const adis::Entity &cowRequest();
// The insemination record handed back, entity 390006: cow, date, ordinal, sire.
const adis::Entity &inseminationRecord();

// Columns of one answer line: the request items in request order, then one column more.
namespace col {
enum Column : int
{
    Cow = 0,
    Birth1,
    Birth2,
    CowId,
    DamId,
    FatherId,
    Sex,
    ActivityTag,
    ShortTransponder,
    HdxTransponder,
    Transponder,
    Group,
    CalvingDate,
    LactationNo,
    HeatDate,
    InseminationDate,
    InseminationNo,
    Pregnant,
    PregnancyDate,
    DryDate,
    AbortionDate,
    BuildUp,
    SireName,
    Milk1,
    Milk2,
    Milk3,
    Milk4,
    Duration1,
    Duration2,
    Duration3,
    Duration4,
    Time1,
    Time2,
    Time3,
    Time4,
    RealDate,
    SlaughterFlag,
    MilkY1,
    MilkY2,
    MilkY3,
    MilkY4,
    DurationY1,
    DurationY2,
    DurationY3,
    DurationY4,
    TimeY1,
    TimeY2,
    TimeY3,
    TimeY4,
    Extra,
    Count
};
} // namespace col

// The four comment lines, the DH and the VH line that head every DeLaval file.
QStringList headerBlock();

// The whole request for one line per cow, each line ended by a line feed.
QString requestText();

// The record file around the given value lines (built with inseminationRecord()), each line
// ended by a line feed.
QString recordFileText(const QStringList &valueLines);

} // namespace delaval
