#include "herd.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <cmath>

namespace herd {

namespace {

const char *const FormatName = "stablomat-herd";
const int FormatVersion = 1;

QString dateText(const QDate &d)
{
    return d.toString(Qt::ISODate);
}

// ---- writing: keys in a fixed order, one cow per line ----

class JsonWriter
{
public:
    explicit JsonWriter(QByteArray &target) : out(target) {}

    void begin()
    {
        out += '{';
        first = true;
    }
    void end()
    {
        out += '}';
        first = false;
    }

    // The member's name and colon; with no name only the separator, for the caller to go on.
    void key(const char *name)
    {
        if (!first)
            out += ',';
        first = false;
        if (!name)
            return;
        out += '"';
        out += name;
        out += "\":";
    }
    void string(const char *name, const QString &value)
    {
        key(name);
        quoted(value);
    }
    void optionalString(const char *name, const QString &value)
    {
        if (!value.isEmpty())
            string(name, value);
    }
    void date(const char *name, const QDate &value)
    {
        key(name);
        quoted(dateText(value));
    }
    void optionalDate(const char *name, const QDate &value)
    {
        if (value.isValid())
            date(name, value);
    }
    void integer(const char *name, qint64 value)
    {
        key(name);
        out += QByteArray::number(value);
    }
    void decimal(const char *name, double value)
    {
        key(name);
        // Hundredths: yields and the like never need more.
        out += QByteArray::number(std::round(value * 100.0) / 100.0, 'g', 12);
    }
    void boolean(const char *name, bool value)
    {
        key(name);
        out += value ? "true" : "false";
    }
    void dates(const char *name, const QVector<QDate> &list)
    {
        if (list.isEmpty())
            return;
        key(name);
        out += '[';
        for (int i = 0; i < list.size(); ++i) {
            if (i > 0)
                out += ',';
            quoted(dateText(list.at(i)));
        }
        out += ']';
    }
    template <typename T, typename F> void objects(const char *name, const QVector<T> &list, F writeOne)
    {
        if (list.isEmpty())
            return;
        key(name);
        out += '[';
        for (int i = 0; i < list.size(); ++i) {
            if (i > 0)
                out += ',';
            begin();
            writeOne(list.at(i));
            end();
        }
        out += ']';
    }

    // Members kept from a file as they were read.
    void extras(const QJsonObject &extra)
    {
        for (auto it = extra.constBegin(); it != extra.constEnd(); ++it) {
            key(nullptr);
            quoted(it.key());
            out += ':';
            const QByteArray wrapped = QJsonDocument(QJsonArray{it.value()}).toJson(QJsonDocument::Compact);
            out += wrapped.mid(1, wrapped.size() - 2);
        }
    }

    void quoted(const QString &text)
    {
        out += '"';
        const QByteArray utf8 = text.toUtf8();
        for (const char c : utf8) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out += '\\';
                out += c;
            } else if (u < 0x20) {
                out += "\\u00";
                out += QByteArray::number(u, 16).rightJustified(2, '0');
            } else {
                out += c;
            }
        }
        out += '"';
    }

private:
    QByteArray &out;
    bool first = true;
};

void writeCow(JsonWriter &w, const Cow &c)
{
    w.begin();
    w.string("registration", c.registration);
    w.integer("parlour", c.parlour);
    w.optionalString("transponder", c.transponder);
    w.optionalString("name", c.name);
    w.optionalDate("birth", c.birth);
    w.optionalString("dam", c.dam);
    w.optionalString("sire", c.sire);
    if (c.group != 0)
        w.integer("group", c.group);
    w.string("status", statusName(c.status));
    w.optionalDate("statusDate", c.statusDate);
    if (c.doNotInseminate)
        w.boolean("doNotInseminate", true);
    w.dates("calvings", c.calvings);
    w.dates("heats", c.heats);
    w.objects("inseminations", c.inseminations, [&w](const Insemination &i) {
        w.date("date", i.date);
        w.string("sire", i.sire);
        w.integer("ordinal", i.ordinal);
        w.optionalString("technician", i.technician);
    });
    w.objects("pregnancyChecks", c.pregnancyChecks, [&w](const PregnancyCheck &p) {
        w.date("date", p.date);
        w.string("result", p.pregnant ? QStringLiteral("pregnant") : QStringLiteral("open"));
    });
    w.dates("dryOffs", c.dryOffs);
    w.dates("abortions", c.abortions);
    w.objects("plans", c.plans, [&w](const Plan &p) {
        w.date("date", p.date);
        w.integer("kind", p.kind);
    });
    w.objects("milkings", c.milkings, [&w](const Milking &m) {
        w.date("date", m.date);
        w.string("time", m.time.toString(QStringLiteral("hh:mm:ss")));
        w.decimal("kg", m.kg);
        w.integer("seconds", m.seconds);
        if (m.stall != 0)
            w.integer("stall", m.stall);
    });
    w.extras(c.extra);
    w.end();
}

// ---- reading: strict about what is there, lenient about what is not ----

class Reader
{
public:
    QString error;

    bool fail(const QString &where, const QString &what)
    {
        if (error.isEmpty())
            error = where + QStringLiteral(": ") + what;
        return false;
    }

    bool string(const QJsonObject &o, const char *name, QString *value, const QString &where,
                bool required = false)
    {
        const QJsonValue v = o.value(QLatin1String(name));
        if (v.isUndefined() || v.isNull()) {
            if (required)
                return fail(where, QStringLiteral("\"%1\" missing").arg(QLatin1String(name)));
            value->clear();
            return true;
        }
        if (!v.isString())
            return fail(where, QStringLiteral("\"%1\" is not a text").arg(QLatin1String(name)));
        *value = v.toString();
        return true;
    }

    bool integer(const QJsonObject &o, const char *name, int *value, const QString &where,
                 bool required = false)
    {
        const QJsonValue v = o.value(QLatin1String(name));
        if (v.isUndefined() || v.isNull()) {
            if (required)
                return fail(where, QStringLiteral("\"%1\" missing").arg(QLatin1String(name)));
            *value = 0;
            return true;
        }
        const double d = v.toDouble(-1e300);
        if (!v.isDouble() || d != std::floor(d) || std::fabs(d) > 2e9)
            return fail(where, QStringLiteral("\"%1\" is not a whole number").arg(QLatin1String(name)));
        *value = static_cast<int>(d);
        return true;
    }

    bool number(const QJsonObject &o, const char *name, double *value, const QString &where)
    {
        const QJsonValue v = o.value(QLatin1String(name));
        if (v.isUndefined() || v.isNull()) {
            *value = 0;
            return true;
        }
        if (!v.isDouble())
            return fail(where, QStringLiteral("\"%1\" is not a number").arg(QLatin1String(name)));
        *value = v.toDouble();
        return true;
    }

    bool dateValue(const QJsonValue &v, QDate *value, const QString &where, const char *name)
    {
        const QDate d = QDate::fromString(v.toString(), Qt::ISODate);
        if (!v.isString() || !d.isValid() || v.toString().size() != 10)
            return fail(where, QStringLiteral("\"%1\" is not a date yyyy-MM-dd").arg(QLatin1String(name)));
        *value = d;
        return true;
    }

    bool date(const QJsonObject &o, const char *name, QDate *value, const QString &where,
              bool required = false)
    {
        const QJsonValue v = o.value(QLatin1String(name));
        if (v.isUndefined() || v.isNull()) {
            if (required)
                return fail(where, QStringLiteral("\"%1\" missing").arg(QLatin1String(name)));
            *value = QDate();
            return true;
        }
        return dateValue(v, value, where, name);
    }

    bool array(const QJsonObject &o, const char *name, QJsonArray *value, const QString &where)
    {
        const QJsonValue v = o.value(QLatin1String(name));
        if (v.isUndefined() || v.isNull()) {
            *value = QJsonArray();
            return true;
        }
        if (!v.isArray())
            return fail(where, QStringLiteral("\"%1\" is not a list").arg(QLatin1String(name)));
        *value = v.toArray();
        return true;
    }

    bool dates(const QJsonObject &o, const char *name, QVector<QDate> *list, const QString &where)
    {
        QJsonArray a;
        if (!array(o, name, &a, where))
            return false;
        list->clear();
        list->reserve(a.size());
        for (const QJsonValue &v : a) {
            QDate d;
            if (!dateValue(v, &d, where, name))
                return false;
            list->append(d);
        }
        return true;
    }

    template <typename T, typename F>
    bool objects(const QJsonObject &o, const char *name, QVector<T> *list, const QString &where, F readOne)
    {
        QJsonArray a;
        if (!array(o, name, &a, where))
            return false;
        list->clear();
        list->reserve(a.size());
        for (int i = 0; i < a.size(); ++i) {
            const QString here = where + QStringLiteral(", %1[%2]").arg(QLatin1String(name)).arg(i);
            if (!a.at(i).isObject())
                return fail(here, QStringLiteral("not an object"));
            T item;
            if (!readOne(a.at(i).toObject(), &item, here))
                return false;
            list->append(item);
        }
        return true;
    }

    static QJsonObject unknownMembers(const QJsonObject &o, const QStringList &known)
    {
        QJsonObject extra;
        for (auto it = o.constBegin(); it != o.constEnd(); ++it) {
            if (!known.contains(it.key()))
                extra.insert(it.key(), it.value());
        }
        return extra;
    }

    bool cow(const QJsonObject &o, Cow *c, const QString &where)
    {
        static const QStringList known{
            "registration", "parlour",       "transponder",     "name",       "birth",           "dam",
            "sire",         "group",         "status",          "statusDate", "doNotInseminate", "calvings",
            "heats",        "inseminations", "pregnancyChecks", "dryOffs",    "abortions",       "plans",
            "milkings"};
        c->extra = unknownMembers(o, known);
        QString status;
        if (!string(o, "registration", &c->registration, where, true) ||
            !integer(o, "parlour", &c->parlour, where, true) ||
            !string(o, "transponder", &c->transponder, where) || !string(o, "name", &c->name, where) ||
            !date(o, "birth", &c->birth, where) || !string(o, "dam", &c->dam, where) ||
            !string(o, "sire", &c->sire, where) || !integer(o, "group", &c->group, where) ||
            !string(o, "status", &status, where) || !date(o, "statusDate", &c->statusDate, where))
            return false;
        if (status.isEmpty())
            c->status = Status::Present;
        else if (!statusFromName(status, &c->status))
            return fail(where, QStringLiteral("unknown status \"%1\"").arg(status));
        const QJsonValue dni = o.value(QLatin1String("doNotInseminate"));
        if (!dni.isUndefined() && !dni.isNull() && !dni.isBool())
            return fail(where, QStringLiteral("\"doNotInseminate\" is not true or false"));
        c->doNotInseminate = dni.toBool(false);

        return dates(o, "calvings", &c->calvings, where) && dates(o, "heats", &c->heats, where) &&
               objects(o, "inseminations", &c->inseminations, where,
                       [this](const QJsonObject &e, Insemination *i, const QString &here) {
                           return date(e, "date", &i->date, here, true) &&
                                  string(e, "sire", &i->sire, here) &&
                                  integer(e, "ordinal", &i->ordinal, here) &&
                                  string(e, "technician", &i->technician, here);
                       }) &&
               objects(o, "pregnancyChecks", &c->pregnancyChecks, where,
                       [this](const QJsonObject &e, PregnancyCheck *p, const QString &here) {
                           QString result;
                           if (!date(e, "date", &p->date, here, true) ||
                               !string(e, "result", &result, here, true))
                               return false;
                           if (result != QLatin1String("pregnant") && result != QLatin1String("open"))
                               return fail(here,
                                           QStringLiteral("result is neither \"pregnant\" nor \"open\""));
                           p->pregnant = result == QLatin1String("pregnant");
                           return true;
                       }) &&
               dates(o, "dryOffs", &c->dryOffs, where) && dates(o, "abortions", &c->abortions, where) &&
               objects(o, "plans", &c->plans, where,
                       [this](const QJsonObject &e, Plan *p, const QString &here) {
                           return date(e, "date", &p->date, here, true) && integer(e, "kind", &p->kind, here);
                       }) &&
               objects(o, "milkings", &c->milkings, where,
                       [this](const QJsonObject &e, Milking *m, const QString &here) {
                           QString time;
                           if (!date(e, "date", &m->date, here, true) ||
                               !string(e, "time", &time, here, true) || !number(e, "kg", &m->kg, here) ||
                               !integer(e, "seconds", &m->seconds, here) ||
                               !integer(e, "stall", &m->stall, here))
                               return false;
                           m->time = QTime::fromString(time, QStringLiteral("hh:mm:ss"));
                           if (!m->time.isValid())
                               return fail(here, QStringLiteral("\"time\" is not hh:mm:ss"));
                           return true;
                       });
    }
};

template <typename T> bool byDate(const T &a, const T &b)
{
    return a.date < b.date;
}

} // namespace

QString statusName(Status status)
{
    switch (status) {
    case Status::Present:
        return QStringLiteral("present");
    case Status::Culled:
        return QStringLiteral("culled");
    case Status::Slaughtered:
        return QStringLiteral("slaughtered");
    }
    return QString();
}

bool statusFromName(const QString &name, Status *status)
{
    for (const Status s : {Status::Present, Status::Culled, Status::Slaughtered}) {
        if (name == statusName(s)) {
            *status = s;
            return true;
        }
    }
    return false;
}

QDate Cow::lastCalving() const
{
    return calvings.isEmpty() ? QDate() : calvings.last();
}

QDate Cow::lastHeat() const
{
    return heats.isEmpty() ? QDate() : heats.last();
}

QDate Cow::lastDryOff() const
{
    return dryOffs.isEmpty() ? QDate() : dryOffs.last();
}

QDate Cow::lastAbortion() const
{
    return abortions.isEmpty() ? QDate() : abortions.last();
}

const Insemination *Cow::lastInsemination() const
{
    return inseminations.isEmpty() ? nullptr : &inseminations.last();
}

const PregnancyCheck *Cow::lastPregnancyCheck() const
{
    return pregnancyChecks.isEmpty() ? nullptr : &pregnancyChecks.last();
}

QVector<Milking> Cow::milkingsOn(const QDate &day) const
{
    QVector<Milking> result;
    for (const Milking &m : milkings) {
        if (m.date == day)
            result.append(m);
    }
    std::stable_sort(result.begin(), result.end(),
                     [](const Milking &a, const Milking &b) { return a.time < b.time; });
    return result;
}

int Cow::ordinalFor(const QDate &day) const
{
    QDate calved;
    for (const QDate &c : calvings) {
        if (c <= day)
            calved = c;
    }
    int services = 0;
    for (const Insemination &i : inseminations) {
        if (i.date <= day && (!calved.isValid() || i.date > calved))
            ++services;
    }
    return services + 1;
}

void Cow::addInsemination(const Insemination &insemination)
{
    auto at =
        std::upper_bound(inseminations.begin(), inseminations.end(), insemination, byDate<Insemination>);
    inseminations.insert(at, insemination);
}

void Cow::sortEvents()
{
    std::sort(calvings.begin(), calvings.end());
    std::sort(heats.begin(), heats.end());
    std::stable_sort(inseminations.begin(), inseminations.end(), byDate<Insemination>);
    std::stable_sort(pregnancyChecks.begin(), pregnancyChecks.end(), byDate<PregnancyCheck>);
    std::sort(dryOffs.begin(), dryOffs.end());
    std::sort(abortions.begin(), abortions.end());
    std::stable_sort(plans.begin(), plans.end(), byDate<Plan>);
    std::stable_sort(milkings.begin(), milkings.end(),
                     [](const Milking &a, const Milking &b) { return a.at() < b.at(); });
}

QString significantDigits(const QString &registration)
{
    QString digits;
    for (const QChar c : registration) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            digits += c;
    }
    int zeros = 0;
    while (zeros < digits.size() - 1 && digits.at(zeros) == QLatin1Char('0'))
        ++zeros;
    digits.remove(0, zeros);
    return digits.isEmpty() ? QStringLiteral("0") : digits;
}

Cow *Herd::cowByParlour(int parlour)
{
    return const_cast<Cow *>(static_cast<const Herd *>(this)->cowByParlour(parlour));
}

const Cow *Herd::cowByParlour(int parlour) const
{
    const Cow *gone = nullptr;
    for (const Cow &c : cows) {
        if (c.parlour != parlour)
            continue;
        if (c.isPresent())
            return &c;
        if (!gone)
            gone = &c;
    }
    return gone;
}

Cow *Herd::cowByRegistration(const QString &registration)
{
    return const_cast<Cow *>(static_cast<const Herd *>(this)->cowByRegistration(registration));
}

const Cow *Herd::cowByRegistration(const QString &registration) const
{
    for (const Cow &c : cows) {
        if (c.registration == registration)
            return &c;
    }
    const QString digits = significantDigits(registration);
    for (const Cow &c : cows) {
        if (significantDigits(c.registration) == digits)
            return &c;
    }
    return nullptr;
}

const Bull *Herd::bullByCode(const QString &code) const
{
    for (const Bull &b : bulls) {
        if (b.code == code)
            return &b;
    }
    return nullptr;
}

void Herd::shiftDays(int days)
{
    auto move = [days](QDate &d) {
        if (d.isValid())
            d = d.addDays(days);
    };
    move(referenceDay);
    for (Cow &c : cows) {
        move(c.birth);
        move(c.statusDate);
        for (QDate &d : c.calvings)
            move(d);
        for (QDate &d : c.heats)
            move(d);
        for (Insemination &i : c.inseminations)
            move(i.date);
        for (PregnancyCheck &p : c.pregnancyChecks)
            move(p.date);
        for (QDate &d : c.dryOffs)
            move(d);
        for (QDate &d : c.abortions)
            move(d);
        for (Plan &p : c.plans)
            move(p.date);
        for (Milking &m : c.milkings)
            move(m.date);
    }
}

QStringList Herd::problems() const
{
    QStringList found;
    if (!referenceDay.isValid())
        found << QStringLiteral("no reference day");
    QSet<QString> lifeNumbers;
    QSet<int> presentNumbers;
    for (const Cow &c : cows) {
        const QString who = QStringLiteral("cow %1 (%2)").arg(c.parlour).arg(c.registration);
        const QString life = significantDigits(c.registration);
        if (life == QLatin1String("0"))
            found << who + QStringLiteral(": registration without digits");
        if (lifeNumbers.contains(life))
            found << who + QStringLiteral(": life number %1 twice").arg(life);
        lifeNumbers.insert(life);
        if (c.parlour <= 0)
            found << who + QStringLiteral(": no parlour number");
        if (c.isPresent()) {
            if (presentNumbers.contains(c.parlour))
                found << who + QStringLiteral(": parlour number twice");
            presentNumbers.insert(c.parlour);
            if (c.statusDate.isValid())
                found << who + QStringLiteral(": present with a status date");
        } else if (!c.statusDate.isValid()) {
            found << who + QStringLiteral(": gone without a date");
        }
        const QDate last = c.isPresent() ? referenceDay : qMin(c.statusDate, referenceDay);

        QVector<QDate> all;
        auto check = [&](const char *what, const QVector<QDate> &dates) {
            for (int i = 0; i < dates.size(); ++i) {
                if (!dates.at(i).isValid() || (i > 0 && dates.at(i) < dates.at(i - 1)))
                    found << who + QStringLiteral(": %1 out of order").arg(QLatin1String(what));
                if (dates.at(i) > last)
                    found << who + QStringLiteral(": %1 after %2").arg(QLatin1String(what), dateText(last));
                if (c.birth.isValid() && dates.at(i) < c.birth)
                    found << who + QStringLiteral(": %1 before birth").arg(QLatin1String(what));
            }
        };
        QVector<QDate> ins, checks, plans;
        for (const Insemination &i : c.inseminations) {
            ins << i.date;
            if (i.ordinal < 1)
                found << who + QStringLiteral(": insemination %1 without ordinal").arg(dateText(i.date));
        }
        for (const PregnancyCheck &p : c.pregnancyChecks)
            checks << p.date;
        for (const Plan &p : c.plans)
            plans << p.date;
        check("calvings", c.calvings);
        check("heats", c.heats);
        check("inseminations", ins);
        check("pregnancy checks", checks);
        check("dry-offs", c.dryOffs);
        check("abortions", c.abortions);

        for (int i = 0; i < c.milkings.size(); ++i) {
            const Milking &m = c.milkings.at(i);
            const QString when = dateText(m.date) + QLatin1Char(' ') + m.time.toString();
            if (!m.date.isValid() || !m.time.isValid() || (i > 0 && m.at() < c.milkings.at(i - 1).at()))
                found << who + QStringLiteral(": milking %1 out of order").arg(when);
            if (m.date > last)
                found << who + QStringLiteral(": milking %1 after %2").arg(when, dateText(last));
            if (m.kg < 0 || m.seconds < 0)
                found << who + QStringLiteral(": milking %1 negative").arg(when);
            QDate calved;
            for (const QDate &d : c.calvings) {
                if (d <= m.date)
                    calved = d;
            }
            bool dry = !calved.isValid();
            for (const QDate &d : c.dryOffs) {
                if (calved.isValid() && d > calved && d <= m.date)
                    dry = true;
            }
            if (dry)
                found << who + QStringLiteral(": milking %1 outside a lactation").arg(when);
        }
    }
    return found;
}

QByteArray Herd::toJson() const
{
    QByteArray out;
    out.reserve(256 + cows.size() * 2048);
    JsonWriter w(out);
    out += "{\n  \"format\": ";
    w.quoted(QString::fromLatin1(FormatName));
    out += ",\n  \"version\": " + QByteArray::number(FormatVersion);
    out += ",\n  \"referenceDay\": ";
    w.quoted(dateText(referenceDay));
    for (auto it = extra.constBegin(); it != extra.constEnd(); ++it) {
        out += ",\n  ";
        w.quoted(it.key());
        out += ": ";
        const QByteArray wrapped = QJsonDocument(QJsonArray{it.value()}).toJson(QJsonDocument::Compact);
        out += wrapped.mid(1, wrapped.size() - 2);
    }
    out += ",\n  \"bulls\": [";
    for (int i = 0; i < bulls.size(); ++i) {
        out += i > 0 ? ",\n    " : "\n    ";
        const Bull &b = bulls.at(i);
        w.begin();
        w.string("code", b.code);
        w.optionalString("name", b.name);
        w.optionalString("herdBook", b.herdBook);
        w.extras(b.extra);
        w.end();
    }
    out += bulls.isEmpty() ? "]" : "\n  ]";
    out += ",\n  \"cows\": [";
    for (int i = 0; i < cows.size(); ++i) {
        out += i > 0 ? ",\n    " : "\n    ";
        writeCow(w, cows.at(i));
    }
    out += cows.isEmpty() ? "]" : "\n  ]";
    out += "\n}\n";
    return out;
}

bool Herd::fromJson(const QByteArray &json, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    auto failed = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    if (doc.isNull())
        return failed(
            QStringLiteral("not JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    if (!doc.isObject())
        return failed(QStringLiteral("not a herd file: no object at the top"));
    const QJsonObject top = doc.object();
    if (top.value(QLatin1String("format")).toString() != QLatin1String(FormatName))
        return failed(
            QStringLiteral("not a herd file: \"format\" is not \"%1\"").arg(QLatin1String(FormatName)));
    if (top.value(QLatin1String("version")).toInt(-1) != FormatVersion)
        return failed(QStringLiteral("herd file version %1 is not supported")
                          .arg(top.value(QLatin1String("version")).toVariant().toString()));

    Reader r;
    Herd loaded;
    QJsonArray bullList;
    QJsonArray cowList;
    if (!r.date(top, "referenceDay", &loaded.referenceDay, QStringLiteral("herd"), true) ||
        !r.array(top, "bulls", &bullList, QStringLiteral("herd")) ||
        !r.array(top, "cows", &cowList, QStringLiteral("herd")))
        return failed(r.error);
    loaded.bulls.reserve(bullList.size());
    for (int i = 0; i < bullList.size(); ++i) {
        const QString where = QStringLiteral("bull %1").arg(i + 1);
        Bull b;
        if (!bullList.at(i).isObject())
            return failed(where + QStringLiteral(": not an object"));
        const QJsonObject o = bullList.at(i).toObject();
        if (!r.string(o, "code", &b.code, where, true) || !r.string(o, "name", &b.name, where) ||
            !r.string(o, "herdBook", &b.herdBook, where))
            return failed(r.error);
        b.extra = Reader::unknownMembers(o, {"code", "name", "herdBook"});
        loaded.bulls.append(b);
    }
    loaded.extra = Reader::unknownMembers(top, {"format", "version", "referenceDay", "bulls", "cows"});
    loaded.cows.reserve(cowList.size());
    for (int i = 0; i < cowList.size(); ++i) {
        const QString where = QStringLiteral("cow %1").arg(i + 1);
        if (!cowList.at(i).isObject())
            return failed(where + QStringLiteral(": not an object"));
        Cow c;
        if (!r.cow(cowList.at(i).toObject(), &c, where))
            return failed(r.error);
        c.sortEvents();
        loaded.cows.append(c);
    }
    *this = loaded;
    return true;
}

bool Herd::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    QString why;
    if (!fromJson(file.readAll(), &why)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, why);
        return false;
    }
    return true;
}

bool Herd::save(const QString &path, QString *error) const
{
    QSaveFile file(path);
    const QByteArray bytes = toJson();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() ||
        !file.commit()) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

RecordOutcome recordInsemination(Herd &herd, const QString &parlour, const QDate &date, const QString &sire,
                                 int ordinal)
{
    bool numeric = false;
    const int number = parlour.toInt(&numeric);
    Cow *cow = numeric ? herd.cowByParlour(number) : nullptr;
    if (!cow || !cow->isPresent())
        return RecordOutcome::NoSuchCow;
    if (!date.isValid())
        return RecordOutcome::NoDate;
    for (const Insemination &i : cow->inseminations) {
        if (i.date == date)
            return RecordOutcome::AlreadyRecorded;
    }
    Insemination ins;
    ins.date = date;
    ins.sire = sire;
    ins.ordinal = ordinal > 0 ? ordinal : cow->ordinalFor(date);
    cow->addInsemination(ins);
    return RecordOutcome::Recorded;
}

QString skipText(RecordOutcome outcome)
{
    switch (outcome) {
    case RecordOutcome::NoSuchCow:
        return QStringLiteral("skipped, no such cow in the herd");
    case RecordOutcome::NoDate:
        return QStringLiteral("skipped, no insemination date");
    case RecordOutcome::AlreadyRecorded:
        return QStringLiteral("skipped, already recorded");
    case RecordOutcome::Recorded:
        break;
    }
    return QString();
}

} // namespace herd
