// The herd exchange records of one run and the rules every adapter applies while filling them.
#pragma once

#include "ziviviver/ziviviver.h"

#include <QDate>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

using Animal = ZARiruvOzav::ddata_zv_t;
using Insemination = ZARiruvOzav::ddata_ins_t;
using PregnancyEvent = ZARiruvOzav::ddata_br_t;
using DryOff = ZARiruvOzav::ddata_za_t;
using PlanEntry = ZARiruvOzav::ddata_plany_t;
using DownloadedInsemination = ZARiruvOzav::zavra_ins_row_t;

// What an adapter hands to the cloud: animals keyed by life number (last row read wins) and the
// event lists in reading order.
struct HerdRecords
{
    QMap<QString, Animal> animals;
    QList<Insemination> inseminations;
    QList<PregnancyEvent> pregnancies;
    QList<DryOff> dryOffs;
    QList<PlanEntry> plans;
};

// Registration number to life number: every character but 0-9 removed, then the digits read as a
// signed 64-bit integer and written back, so leading zeros go. No digits, or a value too large for
// 64 bits, gives "0".
QString normalisedLifeNumber(const QString &registration);

// Life numbers of 9 or more digits make the run send long numbers (shortNumbers false).
inline bool isLongLifeNumber(const QString &lifeNumber)
{
    return lifeNumber.size() >= 9;
}

// First day whose events are sent: today minus sendDays.
QDate sendWindowStart(int sendDays, const QDate &today);

// An event is sent when sendDays is above 0 and its date is valid and on or after the window start.
bool inSendWindow(const QDate &date, int sendDays, const QDate &today);

// Inseminations the milking system already holds: life number followed by the date in Qt's text
// form (an invalid date leaves the life number alone). A downloaded row whose key is known is not
// written back.
using KnownInseminations = QSet<QString>;
inline QString knownInseminationKey(const QString &lifeNumber, const QDate &date)
{
    return lifeNumber + date.toString(Qt::TextDate);
}
