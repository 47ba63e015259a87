#include "adapters/delaval/delavalexchange.h"

#include "adapters/delaval/delavalformat.h"
#include "exchange/adis.h"
#include "exchange/answerfields.h"

#include <QFileInfo>

#include <array>

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

// A cow line; the milkings' date-times are made only when asked for.
bool readLine(const QString &line, CowLine *cow, bool dateTimes)
{
    using namespace col;
    // The columns as views into the line: exactly Count of them, at the tabs.
    std::array<QStringView, Count> c;
    const QStringView text(line);
    int column = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != QLatin1Char('\t'))
            continue;
        if (column == Count)
            return false;
        c[size_t(column++)] = text.mid(start, i - start);
        start = i + 1;
    }
    if (column != Count)
        return false;

    CowLine r;
    if (!c.at(Cow).contains(QLatin1Char('?')) && !c.at(Cow).trimmed().isEmpty())
        r.cow = c.at(Cow).toString();
    r.lifeNumber = normalisedLifeNumber(cleanText(c.at(CowId)));
    r.calving = parseDate(c.at(CalvingDate));
    r.insemination = sinceCalving(parseDate(c.at(InseminationDate)), r.calving);
    r.pregnancyCheck = sinceCalving(parseDate(c.at(PregnancyDate)), r.calving);
    r.dryOff = sinceCalving(parseDate(c.at(DryDate)), r.calving);
    r.abortion = sinceCalving(parseDate(c.at(AbortionDate)), r.calving);
    if (r.insemination.isValid() && r.abortion.isValid() && r.abortion < r.insemination)
        r.abortion = QDate();
    r.ordinal = wholeNumber(c.at(InseminationNo));
    r.pregnant = wholeNumber(c.at(Pregnant));
    r.slaughter = wholeNumber(c.at(SlaughterFlag));

    // The sire belongs to the last insemination; without one it is dropped.
    const QString sire = cleanText(c.at(SireName));
    r.sire = r.insemination.isValid() ? normalisedSire(sire) : QStringLiteral("");

    const QDate day = parseDate(c.at(RealDate));
    const QDate previous = day.isValid() ? day.addDays(-1) : QDate();
    for (int k = 0; k < 3; ++k) {
        Milking &m = r.day[k];
        m.milk = milkValue(c.at(Milk1 + k));
        m.date = day;
        m.msecsOfDay = dateTimeMsecs(day, c.at(Time1 + k));
        Milking &y = r.previousDay[k];
        y.milk = milkValue(c.at(MilkY1 + k));
        y.date = previous;
        y.msecsOfDay = dateTimeMsecs(previous, c.at(TimeY1 + k));
        if (dateTimes) {
            for (Milking *one : {&m, &y}) {
                if (one->msecsOfDay >= 0)
                    one->when = QDateTime(one->date, QTime::fromMSecsSinceStartOfDay(one->msecsOfDay));
            }
        }
    }
    *cow = std::move(r);
    return true;
}

} // namespace

bool readCowLine(const QString &line, CowLine *cow)
{
    return readLine(line, cow, true);
}

namespace {

// What the cow adds to the maps keyed by life number.
void addCowToMaps(HerdReading &reading, const CowLine &cow, const ReadingRules &rules,
                  MilkingPeriodClock &clock)
{
    const QString &life = cow.lifeNumber;
    Animal a;
    a.cislo = life;
    if (!cow.cow.isNull())
        a.tech_cislo = cow.cow;
    a.vyrazena = cow.slaughter > 0 ? QStringLiteral("1") : QStringLiteral("0");
    mapEntry(reading.records.animals, life) = a;
    mapEntry(reading.cowNumberByLife, life) = cow.cow.isNull() ? QStringLiteral("") : cow.cow;

    if (rules.fetchYields) {
        for (int k = 0; k < 3; ++k) {
            for (const Milking *m : {&cow.day[k], &cow.previousDay[k]})
                clock.addMilk(reading.milk[k], k, life, m->milk, m->date, m->msecsOfDay, true);
        }
    }
}

// What the cow adds to the event lists, in reading order.
void addCowEvents(HerdReading &reading, const CowLine &cow, const ReadingRules &rules)
{
    const QString &life = cow.lifeNumber;
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
            ins.byk = cow.sire;
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

HerdReading readAnswer(const QStringList &lines, const ReadingRules &rules)
{
    HerdReading reading;
    std::vector<CowLine> cows;
    cows.reserve(static_cast<size_t>(lines.size()));
    for (const QString &line : lines) {
        CowLine cow;
        if (!readLine(line, &cow, false) || !isAnimalLifeNumber(cow.lifeNumber)) {
            ++reading.skipped;
            continue;
        }
        addCowEvents(reading, cow, rules);
        cows.push_back(std::move(cow));
    }
    reading.cows = int(cows.size());
    // The maps are filled in life-number order (each entry appended, no search); a number read
    // twice still ends with its last line's values.
    const QDateTime from[] = {rules.periods[0].from, rules.periods[1].from, rules.periods[2].from};
    const QDateTime to[] = {rules.periods[0].to, rules.periods[1].to, rules.periods[2].to};
    MilkingPeriodClock clock(from, to, 3);
    for (const int i :
         orderByKey(reading.cows, [&](int k) -> const QString & { return cows[size_t(k)].lifeNumber; }))
        addCowToMaps(reading, cows[size_t(i)], rules, clock);
    return reading;
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
