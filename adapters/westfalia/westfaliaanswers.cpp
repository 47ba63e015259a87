#include "adapters/westfalia/westfaliaanswers.h"

#include "adapters/westfalia/westfaliaformat.h"
#include "exchange/answerfields.h"
#include "exchange/answerfile.h"

#include <QTime>

namespace westfalia {

namespace {

int integerOrZero(QStringView text)
{
    bool ok = false;
    return wholeValue(text, &ok);
}

// Events of an earlier lactation are no events of this one.
QDate sinceCalving(const QDate &event, const QDate &calving)
{
    if (calving.isValid() && event.isValid() && event < calving)
        return QDate();
    return event;
}

} // namespace

bool isDataLine(QStringView line)
{
    return line.startsWith(QLatin1String("VN     0")) || line.startsWith(QLatin1String("VN000000"));
}

namespace {

bool readCow(QStringView line, CowRow *row)
{
    if (!isDataLine(line))
        return false;
    const adis::Values v = cowAnswer().cutAnyView(line);
    using namespace cowcol;
    CowRow r;
    r.cowNumber = v.at(Cow);
    r.lifeNumber = normalisedLifeNumber(v.view(Reg1));
    r.status = integerOrZero(v.view(Status));
    r.pregnancyDiagnosis = integerOrZero(v.view(PregnancyDiagnosis));
    r.calving = parseDate(v.view(CalvingDate));
    r.insemination = sinceCalving(parseDate(v.view(InseminationDate)), r.calving);
    r.pregnancyCheck = sinceCalving(parseDate(v.view(PregnancyDate)), r.calving);
    r.dryOff = sinceCalving(parseDate(v.view(DryOffDate)), r.calving);
    r.abortion = sinceCalving(parseDate(v.view(AbortionDate)), r.calving);
    *row = r;
    return true;
}

} // namespace

bool readCowLine(const QString &line, CowRow *row)
{
    return readCow(line, row);
}

namespace {

void addCowToMaps(const CowRow &row, ReproductionData *data)
{
    const QString &life = row.lifeNumber;
    Animal &animal = mapEntry(data->records.animals, life);
    animal.cislo = life;
    animal.tech_cislo = row.cowNumber;
    animal.transponder = QVariant();
    animal.vyrazena = row.status == CulledStatus ? QStringLiteral("1") : QStringLiteral("0");
    mapEntry(data->cowNumbers, life) = row.cowNumber;
}

void addCowEvents(const CowRow &row, int insDays, int sendDays, const QDate &today, ReproductionData *data)
{
    const QString &life = row.lifeNumber;
    if (isLongLifeNumber(life))
        data->shortNumbers = false;

    if (insDays != 0 && row.insemination.isValid())
        data->knownInseminations.insert(knownInseminationKey(life, row.insemination));

    if (inSendWindow(row.pregnancyCheck, sendDays, today)) {
        PregnancyEvent check;
        check.cislo = life;
        check.datum = row.pregnancyCheck;
        check.druh = row.pregnancyDiagnosis == 1 ? 1 : 2;
        data->records.pregnancies.append(check);
    }
    if (inSendWindow(row.abortion, sendDays, today)) {
        PregnancyEvent abortion;
        abortion.cislo = life;
        abortion.datum = row.abortion;
        abortion.druh = 4;
        data->records.pregnancies.append(abortion);
    }
    if (inSendWindow(row.dryOff, sendDays, today)) {
        DryOff dry;
        dry.cislo = life;
        dry.datum = row.dryOff;
        data->records.dryOffs.append(dry);
    }
}

} // namespace

void addCow(const CowRow &row, int insDays, int sendDays, const QDate &today, ReproductionData *data)
{
    addCowEvents(row, insDays, sendDays, today, data);
    addCowToMaps(row, data);
}

ReproductionData readReproductionAnswer(exchange::AnswerLines &lines, int insDays, int sendDays,
                                        const QDate &today)
{
    ReproductionData data;
    std::vector<CowRow> rows;
    CowRow row;
    QStringView line;
    while (lines.next(&line)) {
        if (!readCow(line, &row) || !isAnimalLifeNumber(row.lifeNumber))
            continue;
        addCowEvents(row, insDays, sendDays, today, &data);
        rows.push_back(std::move(row));
    }
    // The maps are filled in life-number order (appended, no search); the last row of a number wins.
    const auto life = [&](int k) -> const QString & { return rows[size_t(k)].lifeNumber; };
    for (const int k : orderByKey(int(rows.size()), life))
        addCowToMaps(rows[size_t(k)], &data);
    return data;
}

ReproductionData readReproductionAnswer(const QStringList &lines, int insDays, int sendDays,
                                        const QDate &today)
{
    exchange::AnswerLines answer(lines);
    return readReproductionAnswer(answer, insDays, sendDays, today);
}

namespace {

// A milk line; the milkings' date-times are made only when asked for.
bool readMilk(QStringView line, MilkLine *milk, bool dateTimes)
{
    const adis::Entity &table = milkAnswer();
    if (!isDataLine(line))
        return false;
    const adis::Values v = table.cutAnyView(line);
    if (v.lineLength() < MinimumMilkLineLength)
        return false;
    MilkLine m;
    m.lifeNumber = normalisedLifeNumber(v.view(milkcol::Reg1));
    m.milkings.reserve(MilkingsPerLine);
    for (int g = 0; g < MilkingsPerLine; ++g) {
        const QDate date = parseDate(v.view(milkItem(g, milkcol::Date)));
        QTime time = parseCompactTime(v.view(milkItem(g, milkcol::Time)));
        if (!time.isValid())
            time = QTime(0, 0);
        Milking one;
        one.date = date;
        one.msecsOfDay = time.msecsSinceStartOfDay();
        if (dateTimes && date.isValid())
            one.when = QDateTime(date, time);
        one.kg = integerOrZero(v.view(milkItem(g, milkcol::WholeKg))) +
                 integerOrZero(v.view(milkItem(g, milkcol::TenthKg))) * 0.1;
        m.milkings.append(one);
    }
    *milk = m;
    return true;
}

} // namespace

bool readMilkLine(const QString &line, MilkLine *milk)
{
    return readMilk(line, milk, true);
}

QString milkYieldText(exchange::AnswerLines &lines, const MilkingPeriods &periods)
{
    std::vector<MilkLine> milk;
    MilkLine one;
    QStringView line;
    while (lines.next(&line)) {
        if (readMilk(line, &one, false) && isAnimalLifeNumber(one.lifeNumber))
            milk.push_back(std::move(one));
    }
    // Summed in life-number order, so each cow's entry is appended; a cow's lines keep their order.
    std::array<MilkMap, 3> sums;
    const QDateTime from[] = {periods[0].from, periods[1].from, periods[2].from};
    const QDateTime to[] = {periods[0].to, periods[1].to, periods[2].to};
    MilkingPeriodClock clock(from, to, 3);
    const auto life = [&](int k) -> const QString & { return milk[size_t(k)].lifeNumber; };
    for (const int k : orderByKey(int(milk.size()), life)) {
        const MilkLine &cow = milk[size_t(k)];
        for (const Milking &m : cow.milkings) {
            // Overlapping periods both count a milking that lies in each.
            for (int p = 0; p < 3; ++p)
                clock.addMilk(sums[p], p, cow.lifeNumber, m.kg, m.date, m.msecsOfDay);
        }
    }
    return milkYieldCsv(sums[0], sums[1], sums[2]);
}

QString milkYieldText(const QStringList &lines, const MilkingPeriods &periods)
{
    exchange::AnswerLines answer(lines);
    return milkYieldText(answer, periods);
}

QStringList eventLines(const QList<DownloadedInsemination> &downloaded, const KnownInseminations &known,
                       const QMap<QString, QString> &cowNumbers)
{
    QStringList lines;
    for (const DownloadedInsemination &row : downloaded) {
        // Without a date there is no insemination to record.
        if (!row.datum.isValid() || known.contains(knownInseminationKey(row.cislo, row.datum)))
            continue;
        const QString cow = cowNumbers.value(row.cislo);
        if (cow.isEmpty())
            continue;
        lines << eventLine(cow, row.datum, row.poradi, row.byk);
    }
    return lines;
}

} // namespace westfalia
