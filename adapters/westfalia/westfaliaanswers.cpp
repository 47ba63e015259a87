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
}

void addCowEvents(const CowRow &row, int insDays, int sendDays, const QDate &today, ReproductionData *data)
{
    const QString &life = row.lifeNumber;
    if (isLongLifeNumber(life))
        data->shortNumbers = false;

    if (insDays != 0 && row.insemination.isValid())
        data->knownInseminations.insert(life, row.insemination);

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

// What the reading keeps of a cow line until the records are made.
struct Row
{
    qint64 life = 0;
    exchange::AnswerText cow;
    bool culled = false;
    bool hasEvents = false;
};

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
    std::vector<Row> rows;
    std::vector<RowEvent> events;
    QStringView line;
    using namespace cowcol;
    const adis::Entity &table = cowAnswer();
    while (lines.next(&line)) {
        if (!isDataLine(line))
            continue;
        const auto view = [&](int k) { return table.view(line, k); };
        const qint64 life = lifeNumberValue(view(Reg1));
        if (life == 0)
            continue;
        if (isLongLifeNumber(life))
            data.shortNumbers = false;
        const QDate calving = parseDate(view(CalvingDate));
        const QDate insemination = sinceCalving(parseDate(view(InseminationDate)), calving);
        if (insDays != 0 && insemination.isValid())
            data.knownInseminations.insert(life, insemination);
        const size_t kept = events.size();
        const int row = int(rows.size());
        const auto add = [&](int kind, const QDate &date) {
            if (inSendWindow(date, sendDays, today))
                events.push_back({row, kind, date});
        };
        add(integerOrZero(view(PregnancyDiagnosis)) == 1 ? 1 : 2,
            sinceCalving(parseDate(view(PregnancyDate)), calving));
        add(4, sinceCalving(parseDate(view(AbortionDate)), calving));
        add(0, sinceCalving(parseDate(view(DryOffDate)), calving));
        rows.push_back(
            {life, lines.keep(view(Cow)), integerOrZero(view(Status)) == CulledStatus, events.size() > kept});
    }

    // The animals in life-number order (appended, no search); the last row of a number wins.
    QMap<QString, Animal> &animals = data.records.animals;
    QMap<QString, Animal>::iterator animal;
    qint64 lastLife = -1;
    std::vector<QString> lifeOfRow(events.empty() ? 0 : rows.size());
    const auto visit = [&](int i) {
        const Row &row = rows[size_t(i)];
        if (row.life != lastLife) {
            const QString life = lifeNumberText(row.life);
            animal = animals.insert(animals.cend(), life, Animal());
            animal->cislo = life;
            lastLife = row.life;
        }
        animal->tech_cislo = lines.text(row.cow);
        animal->vyrazena = row.culled ? QStringLiteral("1") : QStringLiteral("0");
        if (row.hasEvents)
            lifeOfRow[size_t(i)] = animal.key();
    };
    visitInOrder(
        orderByLifeNumber(int(rows.size()), [&](int k) { return rows[size_t(k)].life; }),
        [&](int i) { return std::array<const void *, 1>{&rows[size_t(i)]}; },
        [&](int i) { return std::array<const void *, 1>{lines.where(rows[size_t(i)].cow)}; }, visit);
    appendRowEvents(data.records, events, lifeOfRow);
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

// A cow's six milkings as the sums need them.
struct MilkRow
{
    qint64 life = 0;
    QDate date[MilkingsPerLine];
    int msecsOfDay[MilkingsPerLine] = {};
    double kg[MilkingsPerLine] = {};
};

bool readMilkRow(QStringView line, MilkRow *row)
{
    if (!isDataLine(line))
        return false;
    const adis::Values v = milkAnswer().cutAnyView(line);
    if (v.lineLength() < MinimumMilkLineLength)
        return false;
    row->life = lifeNumberValue(v.view(milkcol::Reg1));
    for (int g = 0; g < MilkingsPerLine; ++g) {
        row->date[g] = parseDate(v.view(milkItem(g, milkcol::Date)));
        const QTime time = parseCompactTime(v.view(milkItem(g, milkcol::Time)));
        row->msecsOfDay[g] = time.isValid() ? time.msecsSinceStartOfDay() : 0;
        row->kg[g] = integerOrZero(v.view(milkItem(g, milkcol::WholeKg))) +
                     integerOrZero(v.view(milkItem(g, milkcol::TenthKg))) * 0.1;
    }
    return true;
}

} // namespace

bool readMilkLine(const QString &line, MilkLine *milk)
{
    return readMilk(line, milk, true);
}

QString milkYieldText(exchange::AnswerLines &lines, const MilkingPeriods &periods)
{
    std::vector<MilkRow> milk;
    MilkRow one;
    QStringView line;
    while (lines.next(&line)) {
        if (readMilkRow(line, &one) && one.life != 0)
            milk.push_back(one);
    }
    // Summed in life-number order, so each cow's entry is appended; a cow's lines keep their order.
    MilkSums sums[3];
    const QDateTime from[] = {periods[0].from, periods[1].from, periods[2].from};
    const QDateTime to[] = {periods[0].to, periods[1].to, periods[2].to};
    MilkingPeriodClock clock(from, to, 3);
    const auto visit = [&](int k) {
        const MilkRow &cow = milk[size_t(k)];
        for (int g = 0; g < MilkingsPerLine; ++g) {
            // Overlapping periods both count a milking that lies in each.
            for (int p = 0; p < 3; ++p)
                clock.addMilk(sums[p], p, cow.life, cow.kg[g], cow.date[g], cow.msecsOfDay[g]);
        }
    };
    // A row spans two or three lines of the caches.
    const auto fetch = [&](int k) {
        const char *row = reinterpret_cast<const char *>(&milk[size_t(k)]);
        return std::array<const void *, 3>{row, row + 64, row + sizeof(MilkRow) - 1};
    };
    visitInOrder(
        orderByLifeNumber(int(milk.size()), [&](int i) { return milk[size_t(i)].life; }),
        [](int) { return std::array<const void *, 0>{}; }, fetch, visit);
    return milkYieldCsv(sums[0], sums[1], sums[2]);
}

QString milkYieldText(const QStringList &lines, const MilkingPeriods &periods)
{
    exchange::AnswerLines answer(lines);
    return milkYieldText(answer, periods);
}

QStringList eventLines(const QList<DownloadedInsemination> &downloaded, const KnownInseminations &known,
                       const QMap<QString, Animal> &animals)
{
    QStringList lines;
    for (const DownloadedInsemination &row : downloaded) {
        // Without a date there is no insemination to record.
        if (!row.datum.isValid() || known.contains(row.cislo, row.datum))
            continue;
        const QString cow = techNumberOf(animals, row.cislo);
        if (cow.isEmpty())
            continue;
        lines << eventLine(cow, row.datum, row.poradi, row.byk);
    }
    return lines;
}

} // namespace westfalia
