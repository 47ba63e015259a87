#include "adapters/westfalia/westfaliaanswers.h"

#include "adapters/westfalia/westfaliaformat.h"
#include "exchange/answerfields.h"

#include <QTime>

namespace westfalia {

namespace {

int integerOrZero(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? value : 0;
}

// Events of an earlier lactation are no events of this one.
QDate sinceCalving(const QDate &event, const QDate &calving)
{
    if (calving.isValid() && event.isValid() && event < calving)
        return QDate();
    return event;
}

} // namespace

bool isDataLine(const QString &line)
{
    return line.startsWith(QLatin1String("VN     0")) || line.startsWith(QLatin1String("VN000000"));
}

bool readCowLine(const QString &line, CowRow *row)
{
    if (!isDataLine(line))
        return false;
    const adis::Values v = cowAnswer().cutAny(line);
    using namespace cowcol;
    CowRow r;
    r.cowNumber = v.at(Cow);
    r.lifeNumber = normalisedLifeNumber(v.at(Reg1));
    r.status = integerOrZero(v.at(Status));
    r.pregnancyDiagnosis = integerOrZero(v.at(PregnancyDiagnosis));
    r.calving = parseDate(v.at(CalvingDate));
    r.insemination = sinceCalving(parseDate(v.at(InseminationDate)), r.calving);
    r.pregnancyCheck = sinceCalving(parseDate(v.at(PregnancyDate)), r.calving);
    r.dryOff = sinceCalving(parseDate(v.at(DryOffDate)), r.calving);
    r.abortion = sinceCalving(parseDate(v.at(AbortionDate)), r.calving);
    *row = r;
    return true;
}

void addCow(const CowRow &row, int insDays, int sendDays, const QDate &today, ReproductionData *data)
{
    const QString &life = row.lifeNumber;
    if (isLongLifeNumber(life))
        data->shortNumbers = false;

    Animal animal;
    animal.cislo = life;
    animal.tech_cislo = row.cowNumber;
    animal.transponder = QVariant();
    animal.vyrazena = row.status == CulledStatus ? QStringLiteral("1") : QStringLiteral("0");
    data->records.animals.insert(life, animal);
    data->cowNumbers.insert(life, row.cowNumber);

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

ReproductionData readReproductionAnswer(const QStringList &lines, int insDays, int sendDays,
                                        const QDate &today)
{
    ReproductionData data;
    CowRow row;
    for (const QString &line : lines) {
        if (readCowLine(line, &row))
            addCow(row, insDays, sendDays, today, &data);
    }
    return data;
}

bool readMilkLine(const QString &line, MilkLine *milk)
{
    const adis::Entity &table = milkAnswer();
    if (!isDataLine(line))
        return false;
    const adis::Values v = table.cutAny(line);
    if (v.lineLength() < MinimumMilkLineLength)
        return false;
    MilkLine m;
    m.lifeNumber = normalisedLifeNumber(v.at(milkcol::Reg1));
    m.milkings.reserve(MilkingsPerLine);
    for (int g = 0; g < MilkingsPerLine; ++g) {
        const QDate date = parseDate(v.at(milkItem(g, milkcol::Date)));
        const QString timeText = v.at(milkItem(g, milkcol::Time));
        QTime time = timeText.contains(QLatin1Char('?'))
                         ? QTime()
                         : QTime::fromString(timeText, QStringLiteral("hhmmss"));
        if (!time.isValid())
            time = QTime(0, 0);
        Milking one;
        if (date.isValid())
            one.when = QDateTime(date, time);
        one.kg = integerOrZero(v.at(milkItem(g, milkcol::WholeKg))) +
                 integerOrZero(v.at(milkItem(g, milkcol::TenthKg))) * 0.1;
        m.milkings.append(one);
    }
    *milk = m;
    return true;
}

QString milkYieldText(const QStringList &lines, const MilkingPeriods &periods)
{
    std::array<MilkMap, 3> sums;
    MilkLine milk;
    for (const QString &line : lines) {
        if (!readMilkLine(line, &milk))
            continue;
        for (const Milking &m : qAsConst(milk.milkings)) {
            // Overlapping periods both count a milking that lies in each.
            for (int p = 0; p < 3; ++p)
                addMilkInPeriod(sums[p], periods[p].from, periods[p].to, milk.lifeNumber, m.kg, m.when);
        }
    }
    return milkYieldCsv(sums[0], sums[1], sums[2]);
}

QStringList eventLines(const QList<DownloadedInsemination> &downloaded, const KnownInseminations &known,
                       const QMap<QString, QString> &cowNumbers)
{
    QStringList lines;
    for (const DownloadedInsemination &row : downloaded) {
        if (known.contains(knownInseminationKey(row.cislo, row.datum)))
            continue;
        const QString cow = cowNumbers.value(row.cislo);
        if (cow.isEmpty())
            continue;
        lines << eventLine(cow, row.datum, row.poradi, row.byk);
    }
    return lines;
}

} // namespace westfalia
