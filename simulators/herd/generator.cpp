#include "generator.h"

#include <QRandomGenerator>
#include <QSet>

#include <algorithm>
#include <cmath>

namespace herd {

namespace {

// What a cow's history is made to show, so that even a small herd has every kind of cow.
enum class Role
{
    Any,
    Heifer,
    Dry,
    Open,
    Fresh, // calved, not served since
    Abortion,
    Culled,
    Slaughtered,
};

class Dice
{
public:
    explicit Dice(std::initializer_list<quint32> seeds) : rng(seeds.begin(), seeds.end()) {}

    // lo..hi, both included
    int range(int lo, int hi)
    {
        return lo + static_cast<int>(rng.bounded(static_cast<quint32>(hi - lo + 1)));
    }
    bool chance(double p) { return rng.generateDouble() < p; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * rng.generateDouble(); }
    template <typename T> const T &pick(const QVector<T> &list) { return list.at(range(0, list.size() - 1)); }
    quint32 next() { return rng.generate(); }

private:
    QRandomGenerator rng;
};

const QVector<QString> &cowNames()
{
    static const QVector<QString> names{
        QStringLiteral("Malina"), QStringLiteral("Jahoda"),   QStringLiteral("Stračena"),
        QStringLiteral("Bělka"),  QStringLiteral("Lucka"),    QStringLiteral("Rozárka"),
        QStringLiteral("Květa"),  QStringLiteral("Mína"),     QStringLiteral("Fialka"),
        QStringLiteral("Kačka"),  QStringLiteral("Žofka"),    QStringLiteral("Hvězda"),
        QStringLiteral("Majka"),  QStringLiteral("Sněženka"), QStringLiteral("Cilka"),
        QStringLiteral("Bára"),   QStringLiteral("Dorka"),    QStringLiteral("Ema"),
        QStringLiteral("Gerta"),  QStringLiteral("Hedva"),    QStringLiteral("Jarka"),
        QStringLiteral("Libuše"), QStringLiteral("Mařena"),   QStringLiteral("Nora"),
        QStringLiteral("Olga"),   QStringLiteral("Pavla"),    QStringLiteral("Rézi"),
        QStringLiteral("Sára"),   QStringLiteral("Tereza"),   QStringLiteral("Věra"),
        QStringLiteral("Zora"),   QStringLiteral("Amálie"),
    };
    return names;
}

const QVector<QString> &bullNames()
{
    static const QVector<QString> names{
        QStringLiteral("Goldwyn"),   QStringLiteral("Shottle"),    QStringLiteral("Mogul"),
        QStringLiteral("Bolton"),    QStringLiteral("Planet"),     QStringLiteral("Supersire"),
        QStringLiteral("Atwood"),    QStringLiteral("Doorman"),    QStringLiteral("Jocko"),
        QStringLiteral("Balisto"),   QStringLiteral("Modesty"),    QStringLiteral("Sanchez"),
        QStringLiteral("Epic"),      QStringLiteral("Aftershock"), QStringLiteral("Braxton"),
        QStringLiteral("Snowman"),   QStringLiteral("Man-O-Man"),  QStringLiteral("Numero Uno"),
        QStringLiteral("Jardin"),    QStringLiteral("Dempsey"),    QStringLiteral("Mascol"),
        QStringLiteral("Boss Iron"), QStringLiteral("Damion"),     QStringLiteral("Gibor"),
        QStringLiteral("Waldbrand"), QStringLiteral("Rumba"),      QStringLiteral("Mahango"),
        QStringLiteral("Humpert"),   QStringLiteral("Vanstein"),   QStringLiteral("Etoscha"),
        QStringLiteral("Zeus"),      QStringLiteral("Hutera"),     QStringLiteral("Ruap"),
        QStringLiteral("Polarbear"), QStringLiteral("Wille"),      QStringLiteral("Dax"),
    };
    return names;
}

QString digits(quint64 value, int width)
{
    return QString::number(value).rightJustified(width, QLatin1Char('0'));
}

// A bull code in one of the styles that insemination stations and herd programs use: with
// hyphens, blanks, lower and upper case.
QString bullCode(Dice &d, const QString &name)
{
    switch (d.range(0, 5)) {
    case 0:
        return QStringLiteral("CZE-") + digits(d.range(1000, 99999), 5);
    case 1:
        return QStringLiteral("HO ") + digits(d.range(1, 999999), 6);
    case 2:
        return name.toUpper().remove(QLatin1Char(' '));
    case 3:
        return QStringLiteral("FL-") + digits(d.range(100, 9999), 4);
    case 4:
        return QStringLiteral("NL ") + digits(d.range(1, 9999999), 7);
    default:
        return name + QStringLiteral(" ET");
    }
}

QString herdBookNumber(Dice &d)
{
    switch (d.range(0, 2)) {
    case 0:
        return QStringLiteral("DE 0") + digits(d.range(0, 999999999), 9);
    case 1:
        return QStringLiteral("CZ 000") + digits(d.range(0, 999999), 6);
    default:
        return QStringLiteral("NL 0000") + digits(d.range(0, 99999999), 8);
    }
}

// A registration number as a milking system may hold it, for the given significant digits.
QString registration(Dice &d, quint64 number)
{
    const QString nine = digits(number, 9);
    const int style = d.range(0, 99);
    if (style < 40)
        return QStringLiteral("CZ ") + nine; // "CZ 012345678"
    if (style < 60)
        return QStringLiteral("CZ ") + nine.left(6) + QLatin1Char(' ') + nine.mid(6); // "CZ 012345 678"
    if (style < 70)
        return QStringLiteral("CZ") + nine; // "CZ012345678"
    if (style < 80)
        return QString::number(number); // "12345678"
    if (style < 88)
        return QStringLiteral("0") + QString::number(number); // "012345678"
    if (style < 94)
        return QStringLiteral("DE 00") + QString::number(number); // "DE 0012345678"
    return QStringLiteral("SK 0") + digits(number, 8).left(4) + QLatin1Char(' ') + digits(number, 8).mid(4);
}

struct Context
{
    QDate today;
    QVector<Bull> bulls;
    int milkingDays = 3;
};

// Daily yield after the given days in milk (Wood's lactation curve, peak near day 50).
double dailyYield(double peak, int daysInMilk)
{
    const double t = qMax(1, daysInMilk);
    return peak / 1.79 * std::pow(t, 0.2) * std::exp(-0.004 * t);
}

void addMilkings(Cow &c, Dice &d, const Context &ctx)
{
    const bool firstLactation = c.calvings.size() == 1;
    const double peak = d.uniform(30, 46) * (firstLactation ? 0.8 : 1.0);
    const int queueMinutes = d.range(0, 140); // where the cow comes in the parlour's order
    const int stall = d.range(1, 16);
    const QDate calved = c.lastCalving();
    const bool threeTimes = calved.daysTo(ctx.today) < 150 && d.chance(0.35);
    const QVector<int> sessions = threeTimes ? QVector<int>{4 * 60 + 30, 12 * 60 + 30, 20 * 60 + 30}
                                             : QVector<int>{5 * 60, 16 * 60 + 30};
    const QVector<double> shares =
        threeTimes ? QVector<double>{0.36, 0.31, 0.33} : QVector<double>{0.53, 0.47};

    for (int back = ctx.milkingDays - 1; back >= 0; --back) {
        const QDate day = ctx.today.addDays(-back);
        if (day <= calved)
            continue;
        bool dry = false;
        for (const QDate &off : c.dryOffs)
            dry = dry || (off > calved && off <= day);
        if (dry)
            continue;
        const double daily = dailyYield(peak, calved.daysTo(day));
        for (int s = 0; s < sessions.size(); ++s) {
            if (d.chance(0.01))
                continue; // missed: the cow did not come in
            Milking m;
            m.date = day;
            const int minute = sessions.at(s) + queueMinutes + d.range(-8, 8);
            m.time = QTime(0, 0).addSecs(minute * 60 + d.range(0, 59));
            if (d.chance(0.01)) {
                m.kg = 0; // kicked off
                m.seconds = d.range(20, 60);
            } else {
                m.kg = std::round(daily * shares.at(s) * d.uniform(0.92, 1.08) * 100.0) / 100.0;
                m.seconds = static_cast<int>(m.kg * d.range(20, 30)) + d.range(60, 120);
            }
            m.stall = d.chance(0.9) ? stall : d.range(1, 16);
            c.milkings.append(m);
        }
    }
}

// One cow's life up to the reference day (or the day she left).
void live(Cow &c, Role role, Dice &d, const Context &ctx)
{
    const QDate today = ctx.today;
    QDate end = today;
    if (role == Role::Culled || role == Role::Slaughtered) {
        c.status = role == Role::Culled ? Status::Culled : Status::Slaughtered;
        c.statusDate = today.addDays(-d.range(1, 330));
        end = c.statusDate;
    }
    c.birth = today.addDays(role == Role::Heifer ? -d.range(400, 600) : -d.range(800, 3300));

    const double abortionRate = role == Role::Abortion ? 0.5 : 0.015;
    const QString technician = d.chance(0.5) ? QStringLiteral("Novák") : QStringLiteral("Svobodová");
    QDate next = c.birth.addDays(d.range(410, 480));
    int ordinal = 0;
    while (next <= end) {
        if (ordinal == 0 && !c.calvings.isEmpty() && d.chance(0.25))
            c.heats.append(next.addDays(-21)); // seen in the waiting period, not served
        c.heats.append(next);
        Insemination ins;
        ins.date = next;
        ins.ordinal = ++ordinal;
        ins.sire = d.pick(ctx.bulls).code;
        if (d.chance(0.3))
            ins.technician = technician;
        c.inseminations.append(ins);

        const bool heifer = c.calvings.isEmpty();
        if (!d.chance(heifer ? 0.58 : 0.42)) {
            if (ordinal >= 7) {
                c.doNotInseminate = true;
                break;
            }
            if (d.chance(0.6)) {
                next = next.addDays(d.range(18, 24)); // back in heat, served again
            } else {
                const QDate check = next.addDays(d.range(30, 45));
                if (check <= end)
                    c.pregnancyChecks.append({check, false});
                next = check.addDays(d.range(1, 12));
            }
            continue;
        }

        const QDate check = next.addDays(d.range(30, 45));
        const QDate confirm = next.addDays(d.range(90, 120));
        const bool checked = d.chance(0.92);
        const bool confirmed = d.chance(0.3);
        QDate abortion;
        if (d.chance(abortionRate))
            abortion = next.addDays(d.range(50, 200));
        if (checked && check <= end)
            c.pregnancyChecks.append({check, true});
        if (confirmed && confirm <= end && (!abortion.isValid() || confirm < abortion))
            c.pregnancyChecks.append({confirm, true});
        if (abortion.isValid()) {
            if (abortion > end)
                break;
            c.abortions.append(abortion);
            next = abortion.addDays(d.range(30, 50));
            continue;
        }
        const QDate calving = next.addDays(d.range(276, 290));
        if (!heifer) {
            const QDate dry = calving.addDays(-d.range(50, 65));
            if (dry <= end)
                c.dryOffs.append(dry);
        }
        if (calving > end)
            break;
        c.calvings.append(calving);
        ordinal = 0;
        next = calving.addDays(d.range(45, 90));
    }

    const bool dryNow = !c.dryOffs.isEmpty() && c.lastDryOff() > c.lastCalving();
    if (c.calvings.isEmpty())
        c.group = 5;
    else if (dryNow)
        c.group = 4;
    else if (c.lastCalving().daysTo(end) < 60)
        c.group = 1;
    else
        c.group = d.range(2, 3);

    if (c.isPresent() && !c.calvings.isEmpty())
        addMilkings(c, d, ctx);
}

bool fits(const Cow &c, Role role)
{
    switch (role) {
    case Role::Heifer:
        return c.calvings.isEmpty();
    case Role::Dry:
        return !c.calvings.isEmpty() && c.lastDryOff() > c.lastCalving();
    case Role::Open: {
        const PregnancyCheck *check = c.lastPregnancyCheck();
        return !c.calvings.isEmpty() && check && !check->pregnant && check->date > c.lastCalving();
    }
    case Role::Abortion:
        return !c.calvings.isEmpty() && c.lastAbortion() > c.lastCalving();
    case Role::Fresh:
        return !c.calvings.isEmpty() && c.lastInsemination() && c.lastInsemination()->date < c.lastCalving();
    case Role::Any:
        return !c.calvings.isEmpty();
    case Role::Culled:
    case Role::Slaughtered:
        return true;
    }
    return true;
}

QVector<Role> assignRoles(int count, Dice &d)
{
    QVector<Role> roles(count, Role::Any);
    if (count < 12) {
        for (Role &r : roles) {
            const int x = d.range(0, 99);
            r = x < 5 ? Role::Culled : x < 8 ? Role::Slaughtered : x < 14 ? Role::Heifer : Role::Any;
        }
        return roles;
    }
    QVector<int> order(count);
    for (int i = 0; i < count; ++i)
        order[i] = i;
    for (int i = count - 1; i > 0; --i)
        std::swap(order[i], order[d.range(0, i)]);
    int at = 0;
    auto give = [&](Role role, int share, int least) {
        const int n = qMax(least, count * share / 100);
        for (int k = 0; k < n && at < count; ++k)
            roles[order[at++]] = role;
    };
    give(Role::Culled, 5, 1);
    give(Role::Slaughtered, 3, 1);
    give(Role::Heifer, 6, 1);
    give(Role::Abortion, 2, 2);
    give(Role::Dry, 4, 1);
    give(Role::Open, 2, 1);
    give(Role::Fresh, 2, 1);
    return roles;
}

} // namespace

Herd generateHerd(const GeneratorOptions &options)
{
    Herd herd;
    herd.referenceDay = options.today.isValid() ? options.today : QDate::currentDate();
    const int count = qMax(0, options.cows);
    Dice d({options.seed, 0x68657264u});

    Context ctx;
    ctx.today = herd.referenceDay;
    ctx.milkingDays = qMax(0, options.milkingDays);
    const int bullCount = qBound(12, count / 40, 60);
    QSet<QString> codes;
    QSet<QString> names;
    while (herd.bulls.size() < bullCount) {
        Bull b;
        b.name = d.pick(bullNames());
        // Sons of a famous bull carry his name with a suffix.
        for (int son = 2; names.contains(b.name); ++son)
            b.name = d.pick(bullNames()) + QStringLiteral(" %1").arg(son);
        b.code = bullCode(d, b.name);
        if (codes.contains(b.code))
            continue;
        codes.insert(b.code);
        names.insert(b.name);
        if (d.chance(0.85))
            b.herdBook = herdBookNumber(d);
        herd.bulls.append(b);
    }
    ctx.bulls = herd.bulls;

    const QVector<Role> roles = assignRoles(count, d);
    // Nine significant digits for one cow in fifty, at least one.
    QVector<bool> longNumber(count, false);
    for (int n = options.longNumbers && count > 0 ? qMax(1, count / 50) : 0; n > 0;) {
        const int i = d.range(0, count - 1);
        if (!longNumber.at(i)) {
            longNumber[i] = true;
            --n;
        }
    }

    QSet<quint64> numbers;
    int parlour = 0;
    herd.cows.reserve(count);
    for (int i = 0; i < count; ++i) {
        Cow base;
        parlour += d.chance(0.7) ? 1 : d.range(2, 4);
        base.parlour = parlour;
        quint64 number = 0;
        do {
            number = longNumber.at(i) ? static_cast<quint64>(d.range(100000000, 999999999))
                     : d.chance(0.05) ? static_cast<quint64>(d.range(100000, 9999999))
                                      : static_cast<quint64>(d.range(10000000, 99999999));
        } while (numbers.contains(number));
        numbers.insert(number);
        base.registration =
            longNumber.at(i)
                ? (d.chance(0.5) ? QStringLiteral("CZ ") : QStringLiteral("CZ")) + QString::number(number)
                : registration(d, number);
        if (d.chance(0.97))
            base.transponder =
                QStringLiteral("964") + digits(100000000000ULL + quint64(i) * 7 + d.range(0, 6), 12);
        base.name = d.pick(cowNames());
        base.dam = QStringLiteral("CZ ") + digits(d.range(10000000, 99999999), 9);
        base.sire = d.pick(herd.bulls).code;

        const quint32 cowSeed = d.next();
        Cow cow;
        for (quint32 attempt = 0; attempt < 400; ++attempt) {
            cow = base;
            Dice life({options.seed, cowSeed, attempt});
            live(cow, roles.at(i), life, ctx);
            if (fits(cow, roles.at(i)))
                break;
        }
        herd.cows.append(cow);
    }
    return herd;
}

} // namespace herd
