// The herd that every milking-system stand-in serves: cows with their life histories and
// milkings, and the bulls they were inseminated with. Kept in one JSON herd file
// (docs/herd-file.md); each stand-in answers from it and records write-backs into it.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTime>
#include <QVector>

namespace herd {

enum class Status
{
    Present,
    Culled,      // sold or removed alive
    Slaughtered, // gone to slaughter or died
};

QString statusName(Status status);
// False when the name is not one of "present", "culled", "slaughtered".
bool statusFromName(const QString &name, Status *status);

struct Insemination
{
    QDate date;
    QString sire;       // bull code as the milking system holds it; empty when not known
    int ordinal = 0;    // number of the service in its lactation, 1 for the first
    QString technician; // optional
};

struct PregnancyCheck
{
    QDate date;
    bool pregnant = false;
};

// A planned event (a herd-management plan, e.g. a planned drying-off), by a numeric kind.
struct Plan
{
    QDate date;
    int kind = 0;
};

struct Milking
{
    QDate date;
    QTime time;      // start of the milking
    double kg = 0;   // yield
    int seconds = 0; // duration
    int stall = 0;   // stall or box, 0 when not known

    QDateTime at() const { return QDateTime(date, time); }
};

struct Cow
{
    QString registration; // as the milking system holds it: "CZ 012345678"
    int parlour = 0;      // cow number in the parlour
    QString transponder;  // empty when none
    QString name;
    QDate birth;
    QString dam;  // registration of the dam
    QString sire; // code of the cow's own sire
    int group = 0;
    Status status = Status::Present;
    QDate statusDate; // culling or slaughter date; invalid while present
    bool doNotInseminate = false;

    // Each list in date order (milkings by date and time).
    QVector<QDate> calvings;
    QVector<QDate> heats;
    QVector<Insemination> inseminations;
    QVector<PregnancyCheck> pregnancyChecks;
    QVector<QDate> dryOffs;
    QVector<QDate> abortions;
    QVector<Plan> plans;
    QVector<Milking> milkings;

    // Members of the herd file that this model does not know, kept as they were.
    QJsonObject extra;

    bool isPresent() const { return status == Status::Present; }
    int lactation() const { return calvings.size(); }
    // The last entry of each list; invalid dates / nullptr when the list is empty.
    QDate lastCalving() const;
    QDate lastHeat() const;
    QDate lastDryOff() const;
    QDate lastAbortion() const;
    const Insemination *lastInsemination() const;
    const PregnancyCheck *lastPregnancyCheck() const;
    // The day's milkings in time order.
    QVector<Milking> milkingsOn(const QDate &day) const;
    // The ordinal an insemination on that day would have: 1 + the services since the last
    // calving on or before it.
    int ordinalFor(const QDate &day) const;
    // Adds an insemination at its place in date order.
    void addInsemination(const Insemination &insemination);
    // Puts every list into date order.
    void sortEvents();
};

struct Bull
{
    QString code; // as used in inseminations
    QString name;
    QString herdBook;  // herd-book number, empty when not known
    QJsonObject extra; // members this model does not know
};

// Registration number reduced to its digits with leading zeros dropped ("CZ 012 345678" gives
// "12345678"); "0" when it holds no digit.
QString significantDigits(const QString &registration);

class Herd
{
public:
    QDate referenceDay; // "today" of the herd: the day of the latest milkings
    QVector<Cow> cows;
    QVector<Bull> bulls;
    QJsonObject extra; // top-level members this model does not know

    // The present cow with that parlour number, else any cow with it; nullptr when none.
    Cow *cowByParlour(int parlour);
    const Cow *cowByParlour(int parlour) const;
    // Exact registration first, then the same significant digits.
    Cow *cowByRegistration(const QString &registration);
    const Cow *cowByRegistration(const QString &registration) const;
    const Bull *bullByCode(const QString &code) const;

    // Moves every date of the herd by the same number of days.
    void shiftDays(int days);

    // Problems that make the herd unfit for a stand-in: duplicate numbers, events in the wrong
    // order or after the reference day, bad ordinals, milkings outside a lactation. Empty when
    // the herd is sound.
    QStringList problems() const;

    QByteArray toJson() const;
    // False with *error set when the text is not a herd file.
    bool fromJson(const QByteArray &json, QString *error);

    bool load(const QString &path, QString *error);
    // Written to a temporary file and renamed, so a reader never sees half a herd.
    bool save(const QString &path, QString *error) const;
};

// What a milking system does with one insemination record handed to it for the cow with that
// parlour number (a text that is no number finds no cow): records it, numbering the service itself
// when the record gives no ordinal above 0, or tells why not.
enum class RecordOutcome
{
    Recorded,
    NoSuchCow,
    NoDate,
    AlreadyRecorded
};
RecordOutcome recordInsemination(Herd &herd, const QString &parlour, const QDate &date, const QString &sire,
                                 int ordinal);
// "skipped, ..." for a record left out; empty for a recorded one.
QString skipText(RecordOutcome outcome);

} // namespace herd
