#include "adapters/delaval/delavalexchange.h"

#include "adapters/delaval/delavalformat.h"
#include "exchange/adis.h"
#include "exchange/answerfields.h"
#include "exchange/answerfile.h"

#include <QFileInfo>

#include <array>
#include <cstring>

namespace delaval {

namespace {

// A whole number; 0 when the column holds anything else (a "?", nothing, text).
int wholeNumber(QStringView text)
{
    bool ok = false;
    return wholeValue(text, &ok);
}

double milkValue(QStringView text)
{
    bool ok = false;
    return decimalValue(text, &ok);
}

// A date before the calving belongs to an earlier lactation.
QDate sinceCalving(const QDate &date, const QDate &calving)
{
    return calving.isValid() && date.isValid() && date < calving ? QDate() : date;
}

QString normalisedSire(const QString &sire)
{
    QString s = sire.toLower();
    s.remove(QLatin1Char('-'));
    s.remove(QLatin1Char(' '));
    return s;
}

} // namespace

QString workingDirectory(const QString &localProgramPath)
{
    return QFileInfo(localProgramPath).absolutePath() + QLatin1Char('/');
}

namespace {

using Columns = std::array<QStringView, col::Count>;

// The line's columns as views, at the tabs; false when there are not exactly Count of them.
bool cutColumns(QStringView text, Columns &c)
{
    const ushort *data = reinterpret_cast<const ushort *>(text.data());
    const qsizetype size = text.size();
    int column = 0;
    qsizetype start = 0;
    qsizetype i = 0;
    for (;;) {
        // Four characters at a time up to the next tab.
        constexpr quint64 ones = 0x0001000100010001ull, highs = 0x8000800080008000ull;
        for (; i + 4 <= size; i += 4) {
            quint64 w;
            std::memcpy(&w, data + i, 8);
            const quint64 x = w ^ (ones * '\t');
            if ((x - ones) & ~x & highs)
                break;
        }
        while (i < size && data[i] != '\t')
            ++i;
        if (column == col::Count)
            return false;
        c[size_t(column++)] = QStringView(text.data() + start, i - start);
        if (i == size)
            break;
        start = ++i;
    }
    return column == col::Count;
}

// Column 0; null when unknown or blank.
QString cowNumber(QStringView text)
{
    if (text.contains(QLatin1Char('?')) || trimmedView(text).isEmpty())
        return QString();
    return text.toString();
}

// The sire belongs to the last insemination; without one it is dropped.
QString sireOf(QStringView text, const QDate &insemination)
{
    return insemination.isValid() ? normalisedSire(cleanText(text)) : QStringLiteral("");
}

// The dates and numbers of a cow line; life number, cow number, sire and milkings are left out.
void readEvents(const Columns &c, CowLine *r)
{
    using namespace col;
    r->calving = parseDate(c[CalvingDate]);
    r->insemination = sinceCalving(parseDate(c[InseminationDate]), r->calving);
    r->pregnancyCheck = sinceCalving(parseDate(c[PregnancyDate]), r->calving);
    r->dryOff = sinceCalving(parseDate(c[DryDate]), r->calving);
    r->abortion = sinceCalving(parseDate(c[AbortionDate]), r->calving);
    if (r->insemination.isValid() && r->abortion.isValid() && r->abortion < r->insemination)
        r->abortion = QDate();
    r->ordinal = wholeNumber(c[InseminationNo]);
    r->pregnant = wholeNumber(c[Pregnant]);
    r->slaughter = wholeNumber(c[SlaughterFlag]);
}

// The REAL DATE's milkings and the day before's.
void readMilkings(const Columns &c, Milking day[3], Milking previousDay[3])
{
    using namespace col;
    const QDate today = parseDate(c[RealDate]);
    const QDate previous = today.isValid() ? today.addDays(-1) : QDate();
    for (int k = 0; k < 3; ++k) {
        day[k].milk = milkValue(c[size_t(Milk1 + k)]);
        day[k].date = today;
        day[k].msecsOfDay = dateTimeMsecs(today, c[size_t(Time1 + k)]);
        previousDay[k].milk = milkValue(c[size_t(MilkY1 + k)]);
        previousDay[k].date = previous;
        previousDay[k].msecsOfDay = dateTimeMsecs(previous, c[size_t(TimeY1 + k)]);
    }
}

} // namespace

bool readCowLine(const QString &line, CowLine *cow)
{
    Columns c;
    if (!cutColumns(line, c))
        return false;
    CowLine r;
    r.cow = cowNumber(c[col::Cow]);
    r.lifeNumber = normalisedLifeNumber(c[col::CowId]);
    readEvents(c, &r);
    r.sire = sireOf(c[col::SireName], r.insemination);
    readMilkings(c, r.day, r.previousDay);
    for (Milking *m : {r.day, r.previousDay}) {
        for (int k = 0; k < 3; ++k) {
            if (m[k].msecsOfDay >= 0)
                m[k].when = QDateTime(m[k].date, QTime::fromMSecsSinceStartOfDay(m[k].msecsOfDay));
        }
    }
    *cow = std::move(r);
    return true;
}

namespace {

// What a cow gives the maps keyed by life number, kept until they are filled in that order.
struct MapRow
{
    QString life;
    QString cow; // null when unknown
    bool slaughtered = false;
    Milking day[3];
    Milking previousDay[3];
};

void addCowToMaps(HerdReading &reading, const MapRow &row, const ReadingRules &rules,
                  MilkingPeriodClock &clock)
{
    const QString &life = row.life;
    Animal &a = mapEntry(reading.records.animals, life);
    a.cislo = life;
    a.tech_cislo = row.cow.isNull() ? QVariant() : QVariant(row.cow);
    a.transponder = QVariant();
    a.vyrazena = row.slaughtered ? QStringLiteral("1") : QStringLiteral("0");
    mapEntry(reading.cowNumberByLife, life) = row.cow.isNull() ? QStringLiteral("") : row.cow;

    if (rules.fetchYields) {
        for (int k = 0; k < 3; ++k) {
            for (const Milking *m : {&row.day[k], &row.previousDay[k]})
                clock.addMilk(reading.milk[k], k, life, m->milk, m->date, m->msecsOfDay, true);
        }
    }
}

// What the cow adds to the event lists, in reading order.
void addCowEvents(HerdReading &reading, const QString &life, const CowLine &cow, QStringView sire,
                  const ReadingRules &rules)
{
    if (isLongLifeNumber(life))
        reading.shortNumbers = false;
    if (rules.insDays != 0 && cow.insemination.isValid())
        reading.known.insert(knownInseminationKey(life, cow.insemination));

    if (rules.sendDays > 0) {
        if (inSendWindow(cow.insemination, rules.sendDays, rules.today)) {
            Insemination ins;
            ins.cislo = life;
            ins.datum = cow.insemination;
            ins.druh = 1;
            ins.poradi = cow.ordinal;
            ins.byk = sireOf(sire, cow.insemination);
            reading.records.inseminations.append(ins);
        }
        // Only a flag of 1 confirms the pregnancy; an unknown one counts as open.
        if (inSendWindow(cow.pregnancyCheck, rules.sendDays, rules.today)) {
            PregnancyEvent p;
            p.cislo = life;
            p.datum = cow.pregnancyCheck;
            p.druh = cow.pregnant == 1 ? 1 : 2;
            reading.records.pregnancies.append(p);
        }
        if (inSendWindow(cow.abortion, rules.sendDays, rules.today)) {
            PregnancyEvent p;
            p.cislo = life;
            p.datum = cow.abortion;
            p.druh = 4;
            reading.records.pregnancies.append(p);
        }
        if (inSendWindow(cow.dryOff, rules.sendDays, rules.today)) {
            DryOff z;
            z.cislo = life;
            z.datum = cow.dryOff;
            reading.records.dryOffs.append(z);
        }
    }
}

} // namespace

HerdReading readAnswer(exchange::AnswerLines &lines, const ReadingRules &rules)
{
    HerdReading reading;
    std::vector<MapRow> rows;
    QStringView line;
    Columns c;
    CowLine events;
    while (lines.next(&line)) {
        QString life;
        if (!cutColumns(line, c) || !isAnimalLifeNumber(life = normalisedLifeNumber(c[col::CowId]))) {
            ++reading.skipped;
            continue;
        }
        readEvents(c, &events);
        addCowEvents(reading, life, events, c[col::SireName], rules);
        rows.emplace_back();
        MapRow &row = rows.back();
        row.life = std::move(life);
        row.cow = cowNumber(c[col::Cow]);
        row.slaughtered = events.slaughter > 0;
        if (rules.fetchYields)
            readMilkings(c, row.day, row.previousDay);
    }
    reading.cows = int(rows.size());
    // The maps are filled in life-number order (each entry appended, no search); a number read
    // twice still ends with its last line's values.
    const QDateTime from[] = {rules.periods[0].from, rules.periods[1].from, rules.periods[2].from};
    const QDateTime to[] = {rules.periods[0].to, rules.periods[1].to, rules.periods[2].to};
    MilkingPeriodClock clock(from, to, 3);
    for (const int i :
         orderByKey(reading.cows, [&](int k) -> const QString & { return rows[size_t(k)].life; }))
        addCowToMaps(reading, rows[size_t(i)], rules, clock);
    return reading;
}

HerdReading readAnswer(const QStringList &lines, const ReadingRules &rules)
{
    exchange::AnswerLines answer(lines);
    return readAnswer(answer, rules);
}

QString recordLine(const QString &cowNumber, const DownloadedInsemination &row)
{
    bool numbered = false;
    const int poradi = row.poradi.toInt(&numbered);
    adis::ValueLine line(inseminationRecord());
    line.code(cowNumber).date(row.datum);
    // Like the cow number and the sire, a longer ordinal is written whole ("100").
    line.code(numbered && poradi > 0 ? QString::asprintf("%2d", poradi) : QStringLiteral(" 0"));
    line.code(row.byk.isNull() ? QString() : row.byk.toString());
    return line.toString();
}

WriteBackRecords writeBackRecords(const QList<DownloadedInsemination> &downloaded,
                                  const KnownInseminations &known,
                                  const QMap<QString, QString> &cowNumberByLife)
{
    WriteBackRecords out;
    for (const DownloadedInsemination &row : downloaded) {
        // Without a date there is no insemination to record.
        if (!row.datum.isValid() || known.contains(knownInseminationKey(row.cislo, row.datum)))
            continue;
        const QString cow = cowNumberByLife.value(row.cislo);
        if (cow.isEmpty())
            continue;
        out.lines << recordLine(cow, row);
        ++out.Written;
    }
    return out;
}

} // namespace delaval
