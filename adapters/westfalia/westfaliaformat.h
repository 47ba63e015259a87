// The files exchanged with DairyPlan's converter dpdataexchange.exe: the header block, the two
// requests, the answer tables and the modify request that records inseminations.
//
// Shared by the adapter and by the dpdataexchange.exe stand-in, so both build and read the same
// layout.
#pragma once

#include "exchange/adis.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace westfalia {

// Files in the DairyPlan directory.
QString reproductionRequestFileName(); // "fin_stablomat_reprodukce_posledni.ads"
QString reproductionAnswerFileName();  // "fout_stablomat_reprodukce_posledni.ads"
QString milkRequestFileName();         // "fin_stablomat_nadoje.ads"
QString milkAnswerFileName();          // "fout_stablomat_nadoje.ads"
QString modifyRequestFileName();       // "fin_stablomat_modify.ads"

// Sender header, entity 000000.
const adis::Entity &senderHeader();
// The seven lines that head every request file.
QStringList headerBlock();

// The "R:" lines of the two queries.
QString reproductionQuery();
QString milkQuery();

// Whole request texts, each line ended by a line feed.
QString reproductionRequestText();
QString milkRequestText();

// One line per cow of the reproduction answer.
const adis::Entity &cowAnswer();
namespace cowcol {
enum Column : int
{
    Cow = 0,
    Reg1,
    Resp,
    Type,
    Sire,
    Dam,
    Status,
    Group,
    Bd,
    Name,
    BirthDate,
    CalvingDate,
    Lactation,
    InseminationDate,
    InseminationCount,
    PregnancyDate,
    PregnancyDiagnosis,
    DryOffDate,
    AbortionDate,
    Ai,
    GateDate,
    G1,
    G2,
    G3,
    G4,
    SelCount,
    Count
};
} // namespace cowcol

// DairyPlan's status of a culled cow.
constexpr int CulledStatus = 15;

// One line per cow of the milk-yield answer: COW, Reg1, then six milking groups.
const adis::Entity &milkAnswer();
constexpr int MilkingsPerLine = 6;
constexpr int MilkGroupWidth = 70;
constexpr int MilkGroupsOffset = 30;
// Shorter lines carry no milkings.
constexpr int MinimumMilkLineLength = 434;
namespace milkcol {
enum Column : int
{
    Cow = 0,
    Reg1,
    FirstGroup
};
// Fields of one milking group; IMWt\5.1 is cut into its whole part and its tenths.
enum GroupColumn : int
{
    Date = 0,
    Time,
    WholeKg,
    TenthKg,
    Duration,
    Conductivity,
    Flag,
    IdDate,
    IdTime,
    StartSeconds,
    Stall,
    AttachDate,
    AttachTime,
    Code,
    GroupSize
};
} // namespace milkcol
// Index in milkAnswer() of a field of milking group g (0 to 5).
inline int milkItem(int group, int column)
{
    return milkcol::FirstGroup + group * milkcol::GroupSize + column;
}

// The insemination records of the modify request: COW, SRVDAT, SrvCount, ai, srvsire.
const adis::Entity &eventRecord();

// One insemination record: cow number right-justified (never cut), the date "yyyyMMdd " or unknown,
// SrvCount the ordinal when above 0, ai the ordinal in two characters (" 0" when null), the sire cut
// to 15 characters (unknown when null). A value that does not fit its field is written unknown, so
// the fields after it keep their places.
QString eventLine(const QString &cowNumber, const QDate &date, const QVariant &ordinal, const QVariant &sire);

// The header block, "CN ***** EVENT 0 *****" and the record definition: the modify request up to
// its records.
QStringList modifyRequestBeginning();
// The whole modify request around the given records, each line ended by a line feed.
QString modifyRequestText(const QStringList &eventLines);

} // namespace westfalia
