#include "adapters/delaval/delavalexchange.h"

#include "adapters/delaval/delavalformat.h"
#include "exchange/adis.h"
#include "exchange/answerfields.h"
#include "exchange/answerfile.h"

#include <QFileInfo>

#include <QtAlgorithms>

#include <array>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
    // The column that a tab at `at` ends; false when it would be one too many.
    const auto tab = [&](qsizetype at) {
        if (column == col::Count - 1)
            return false;
        c[size_t(column++)] = QStringView(text.data() + start, at - start);
        start = at + 1;
        return true;
    };
    qsizetype i = 0;
#ifdef __SSE2__
    // Eight characters at a time: one bit for each that is a tab.
    const __m128i tabs = _mm_set1_epi16('\t');
    for (; i + 8 <= size; i += 8) {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i));
        const __m128i hits = _mm_packs_epi16(_mm_cmpeq_epi16(w, tabs), _mm_setzero_si128());
        for (uint m = uint(_mm_movemask_epi8(hits)); m; m &= m - 1) {
            if (!tab(i + qCountTrailingZeroBits(m)))
                return false;
        }
    }
#endif
    for (; i < size; ++i) {
        if (data[i] == '\t' && !tab(i))
            return false;
    }
    if (column != col::Count - 1)
        return false;
    c[size_t(column)] = QStringView(text.data() + start, size - start);
    return true;
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

// What the reading keeps of a cow line until the records are made: numbers, days, and where its
// texts stand in the answer.
struct Row
{
    qint64 life = 0;
    exchange::AnswerText cow; // column 0; null when unknown or blank
    bool slaughtered = false;
    bool hasEvents = false;
};

// With milk yields, a cow line's REAL DATE, and the milk and time of the day's milkings 1 to 3,
// then of the day before's (-1: no time).
struct Milkings
{
    QDate realDate;
    double milk[6] = {};
    int msecs[6] = {};
};

// An event to send, kept in reading order until its cow's life number is a text.
struct Event
{
    enum Kind
    {
        Insemination,
        PregnancyCheck,
        Abortion,
        DryOff,
    };
    int row = 0;
    Kind kind = Insemination;
    QDate date;
    int value = 0;             // the ordinal, or the pregnancy event's kind
    exchange::AnswerText sire; // SIRE NAME as written (inseminations)
};

// Column 0 as the cow's number: a null view when unknown or blank.
QStringView cowNumberView(QStringView text)
{
    if (text.contains(QLatin1Char('?')) || trimmedView(text).isEmpty())
        return QStringView();
    return text;
}

void readMilk(const Columns &c, Milkings *row)
{
    using namespace col;
    row->realDate = parseDate(c[RealDate]);
    const QDate previous = row->realDate.isValid() ? row->realDate.addDays(-1) : QDate();
    for (int k = 0; k < 3; ++k) {
        row->milk[k] = milkValue(c[size_t(Milk1 + k)]);
        row->msecs[k] = dateTimeMsecs(row->realDate, c[size_t(Time1 + k)]);
        row->milk[3 + k] = milkValue(c[size_t(MilkY1 + k)]);
        row->msecs[3 + k] = dateTimeMsecs(previous, c[size_t(TimeY1 + k)]);
    }
}

// The cow's events in the send window, in the order they are sent.
void keepEvents(const CowLine &cow, QStringView sire, int row, const ReadingRules &rules,
                exchange::AnswerLines &lines, std::vector<Event> &events)
{
    const auto add = [&](Event::Kind kind, const QDate &date, int value) {
        if (!inSendWindow(date, rules.sendDays, rules.today))
            return false;
        events.push_back({row, kind, date, value, {}});
        return true;
    };
    if (add(Event::Insemination, cow.insemination, cow.ordinal))
        events.back().sire = lines.keep(sire);
    // Only a flag of 1 confirms the pregnancy; an unknown one counts as open.
    add(Event::PregnancyCheck, cow.pregnancyCheck, cow.pregnant == 1 ? 1 : 2);
    add(Event::Abortion, cow.abortion, 4);
    add(Event::DryOff, cow.dryOff, 0);
}

// The records of the kept events, in reading order.
void addEvents(HerdRecords &records, const std::vector<Event> &events, const std::vector<QString> &lifeOfRow,
               const exchange::AnswerLines &lines)
{
    int counts[4] = {};
    for (const Event &e : events)
        ++counts[e.kind];
    records.inseminations.reserve(counts[Event::Insemination]);
    records.pregnancies.reserve(counts[Event::PregnancyCheck] + counts[Event::Abortion]);
    records.dryOffs.reserve(counts[Event::DryOff]);
    for (const Event &e : events) {
        const QString &life = lifeOfRow[size_t(e.row)];
        if (e.kind == Event::Insemination) {
            Insemination ins;
            ins.cislo = life;
            ins.datum = e.date;
            ins.druh = 1;
            ins.poradi = e.value;
            ins.byk = normalisedSire(cleanText(lines.text(e.sire)));
            records.inseminations.append(ins);
        } else if (e.kind == Event::DryOff) {
            DryOff z;
            z.cislo = life;
            z.datum = e.date;
            records.dryOffs.append(z);
        } else {
            PregnancyEvent p;
            p.cislo = life;
            p.datum = e.date;
            p.druh = e.value;
            records.pregnancies.append(p);
        }
    }
}

} // namespace

HerdReading readAnswer(exchange::AnswerLines &lines, const ReadingRules &rules)
{
    HerdReading reading;
    std::vector<Row> rows;
    std::vector<Milkings> milkings;
    std::vector<Event> events;
    QStringView line;
    Columns c;
    CowLine cow;
    while (lines.next(&line)) {
        qint64 life = 0;
        if (!cutColumns(line, c) || (life = lifeNumberValue(c[col::CowId])) == 0) {
            ++reading.skipped;
            continue;
        }
        readEvents(c, &cow);
        if (isLongLifeNumber(life))
            reading.shortNumbers = false;
        if (rules.insDays != 0 && cow.insemination.isValid())
            reading.known.insert(life, cow.insemination);
        const size_t kept = events.size();
        if (rules.sendDays > 0)
            keepEvents(cow, c[col::SireName], int(rows.size()), rules, lines, events);
        rows.push_back(
            {life, lines.keep(cowNumberView(c[col::Cow])), cow.slaughter > 0, events.size() > kept});
        if (rules.fetchYields) {
            milkings.emplace_back();
            readMilk(c, &milkings.back());
        }
    }
    reading.cows = int(rows.size());

    // The animals and the milk sums in life-number order (each entry appended, no search); a number
    // read twice still ends with its last line's values, and its milk counted from both.
    const QDateTime from[] = {rules.periods[0].from, rules.periods[1].from, rules.periods[2].from};
    const QDateTime to[] = {rules.periods[0].to, rules.periods[1].to, rules.periods[2].to};
    MilkingPeriodClock clock(from, to, 3);
    std::vector<QString> lifeOfRow(events.empty() ? 0 : rows.size());
    QMap<QString, Animal> &animals = reading.records.animals;
    QMap<QString, Animal>::iterator animal;
    qint64 lastLife = -1;
    const auto fetchRow = [&](int i) {
        return std::array<const void *, 2>{&rows[size_t(i)],
                                           rules.fetchYields ? &milkings[size_t(i)] : nullptr};
    };
    const auto fetchTexts = [&](int i) {
        return std::array<const void *, 1>{lines.where(rows[size_t(i)].cow)};
    };
    const auto visit = [&](int i) {
        const Row &row = rows[size_t(i)];
        if (row.life != lastLife) {
            const QString life = lifeNumberText(row.life);
            animal = animals.insert(animals.cend(), life, Animal());
            animal->cislo = life;
            lastLife = row.life;
        }
        animal->tech_cislo = row.cow.isNull() ? QVariant() : QVariant(lines.text(row.cow));
        animal->vyrazena = row.slaughtered ? QStringLiteral("1") : QStringLiteral("0");
        if (row.hasEvents)
            lifeOfRow[size_t(i)] = animal.key();
        if (rules.fetchYields) {
            const Milkings &m = milkings[size_t(i)];
            const QDate previous = m.realDate.isValid() ? m.realDate.addDays(-1) : QDate();
            for (int k = 0; k < 3; ++k) {
                clock.addMilk(reading.milk[k], k, row.life, m.milk[k], m.realDate, m.msecs[k], true);
                clock.addMilk(reading.milk[k], k, row.life, m.milk[3 + k], previous, m.msecs[3 + k], true);
            }
        }
    };
    visitInOrder(orderByLifeNumber(reading.cows, [&](int k) { return rows[size_t(k)].life; }), fetchRow,
                 fetchTexts, visit);
    addEvents(reading.records, events, lifeOfRow, lines);
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
                                  const KnownInseminations &known, const QMap<QString, Animal> &animals)
{
    WriteBackRecords out;
    for (const DownloadedInsemination &row : downloaded) {
        // Without a date there is no insemination to record.
        if (!row.datum.isValid() || known.contains(row.cislo, row.datum))
            continue;
        const QString cow = techNumberOf(animals, row.cislo);
        if (cow.isEmpty())
            continue;
        out.lines << recordLine(cow, row);
        ++out.Written;
    }
    return out;
}

} // namespace delaval
