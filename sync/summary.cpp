#include "sync/summary.h"

#include "sync/records.h"
#include "sync/runoutcome.h"

#include <QCoreApplication>

static QString tr(const char *text)
{
    return QCoreApplication::translate("ExchangeFrame", text);
}

static QString counterLine(const char *caption, int value)
{
    return tr(caption) + QStringLiteral(": ") + QString::number(value);
}

QString resultText(ResultForm form, int downloaded, int written, const SentCounts &sent)
{
    const QString received = tr("Inseminací") + QStringLiteral(": ") + QString::number(downloaded) +
                             QStringLiteral("/") + QString::number(written);
    if (form == ResultForm::WithHeadings) {
        const QString indent = QStringLiteral("\n  ");
        return tr("Přijato") + indent + received + QStringLiteral("\n") + tr("Odesláno") + indent +
               counterLine("Technologické označení", sent.animals) + indent +
               counterLine("Inseminací", sent.inseminations) + indent +
               counterLine("Březost", sent.pregnancies) + indent + counterLine("Zasušení", sent.dryOffs) +
               indent + counterLine("Plány", sent.plans);
    }
    const QString nl = QStringLiteral("\n");
    return received + nl + counterLine("Technologické označení", sent.animals) + nl +
           counterLine("Březost", sent.pregnancies) + nl + counterLine("Zasušení", sent.dryOffs) + nl +
           counterLine("Plány", sent.plans);
}

QString successMessage(const QString &resultText)
{
    return tr("Proběhla úspěšná datová výměna.") + QStringLiteral("\n\n") + resultText;
}

QString errorMessage(int code)
{
    return tr("Chyba: ") + QString::number(code) + QLatin1Char('\n') + errorAdvice(code);
}

namespace {

// The cow's entry with the milking's yield added; its time is the caller's to set.
MilkEntry &milkEntryWith(MilkMap &map, const QString &lifeNumber, double milk, bool singlePrecision)
{
    MilkEntry &entry = mapEntry(map, lifeNumber);
    if (entry.lifeNumber.isNull())
        entry.lifeNumber = lifeNumber;
    if (singlePrecision)
        entry.milk = static_cast<double>(static_cast<float>(entry.milk) + static_cast<float>(milk));
    else
        entry.milk += milk;
    return entry;
}

} // namespace

void addMilk(MilkMap &map, const QString &lifeNumber, double milk, const QDateTime &when,
             bool singlePrecision)
{
    MilkEntry &entry = milkEntryWith(map, lifeNumber, milk, singlePrecision);
    if (!entry.when.isValid())
        entry.when = when;
}

bool inMilkingPeriod(const QDateTime &when, const QDateTime &from, const QDateTime &to)
{
    return when.isValid() && from.isValid() && to.isValid() && when >= from && when <= to;
}

bool addMilkInPeriod(MilkMap &map, const QDateTime &from, const QDateTime &to, const QString &lifeNumber,
                     double milk, const QDateTime &when, bool singlePrecision)
{
    if (!(milk > 0.0) || !inMilkingPeriod(when, from, to))
        return false;
    addMilk(map, lifeNumber, milk, when, singlePrecision);
    return true;
}

const char *const MilkYieldHeader = "USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO";

namespace {

// "yyyyMMdd hh:mm:ss" as QDate::toString and QTime::toString write it; the usual years without
// Qt's format parser.
void appendDateTime(QString &text, const QDate &date, const QTime &time)
{
    if (!date.isValid() || !time.isValid() || date.year() < 1 || date.year() > 9999) {
        text += date.toString(QStringLiteral("yyyyMMdd")) + QLatin1Char(' ') +
                time.toString(QStringLiteral("hh:mm:ss"));
        return;
    }
    char out[17];
    const int parts[] = {date.year() / 100, date.year() % 100, date.month(), date.day(),
                         time.hour(),       time.minute(),     time.second()};
    const char separators[] = {0, 0, 0, ' ', ':', ':', 0};
    int n = 0;
    for (int i = 0; i < 7; ++i) {
        out[n++] = char('0' + parts[i] / 10);
        out[n++] = char('0' + parts[i] % 10);
        if (separators[i])
            out[n++] = separators[i];
    }
    text += QLatin1String(out, n);
}

// The rest of a line after the life number.
void appendMilkLine(QString &text, const QString &period, const QDate &date, const QTime &time, double milk)
{
    text += QLatin1Char(',');
    text += period;
    text += QLatin1Char(',');
    appendDateTime(text, date, time);
    text += QLatin1String(",,");
    // What QString::asprintf("%.1f") writes, without its format parser.
    text += QString::number(milk, 'f', 1);
    text += QLatin1Char('\n');
}

} // namespace

QString milkYieldCsv(const MilkMap &period1, const MilkMap &period2, const MilkMap &period3)
{
    QString text = QLatin1String(MilkYieldHeader) + QLatin1Char('\n');
    text.reserve(text.size() + (period1.size() + period2.size() + period3.size()) * 48);
    const MilkMap *periods[] = {&period1, &period2, &period3};
    for (int p = 0; p < 3; ++p) {
        const QString number = QString::number(p + 1);
        for (auto it = periods[p]->cbegin(); it != periods[p]->cend(); ++it) {
            text += it.key();
            appendMilkLine(text, number, it->when.date(), it->when.time(), it->milk);
        }
    }
    return text;
}

QString milkYieldCsv(const MilkSums &period1, const MilkSums &period2, const MilkSums &period3)
{
    QString text = QLatin1String(MilkYieldHeader) + QLatin1Char('\n');
    text.reserve(text.size() + int(period1.size() + period2.size() + period3.size()) * 48);
    const MilkSums *periods[] = {&period1, &period2, &period3};
    for (int p = 0; p < 3; ++p) {
        const QString number = QString::number(p + 1);
        for (const MilkSum &sum : *periods[p]) {
            char digits[20];
            int n = 0;
            quint64 v = quint64(sum.lifeNumber);
            do {
                digits[19 - n++] = char('0' + v % 10);
                v /= 10;
            } while (v);
            text += QLatin1String(digits + 20 - n, n);
            appendMilkLine(text, number, sum.date, QTime::fromMSecsSinceStartOfDay(sum.msecsOfDay), sum.milk);
        }
    }
    return text;
}

MilkingPeriodClock::MilkingPeriodClock(const QDateTime *from, const QDateTime *to, int count)
{
    for (int p = 0; p < qMin(count, 3); ++p) {
        Bounds &b = bounds[p];
        b.from = &from[p];
        b.to = &to[p];
        b.valid = from[p].isValid() && to[p].isValid();
        if (b.valid) {
            b.fromMs = from[p].toMSecsSinceEpoch();
            b.toMs = to[p].toMSecsSinceEpoch();
        }
    }
}

bool MilkingPeriodClock::inPeriod(int p, const QDate &date, int msecsOfDay)
{
    const Bounds &b = bounds[p];
    if (!b.valid || !date.isValid() || msecsOfDay < 0)
        return false;
    const qint64 jd = date.toJulianDay();
    // Most milkings fall on the day of the one before.
    if (jd != lastJulianDay) {
        auto it = days.constFind(jd);
        if (it == days.constEnd()) {
            const QDateTime start(date, QTime(0, 0));
            const QDateTime end(date, QTime(23, 59, 59, 999));
            Day day;
            day.uniform = start.isValid() && end.isValid() && start.offsetFromUtc() == end.offsetFromUtc();
            day.midnightMs = day.uniform ? start.toMSecsSinceEpoch() : 0;
            it = days.insert(jd, day);
        }
        lastDay = *it;
        lastJulianDay = jd;
    }
    if (!lastDay.uniform)
        return inMilkingPeriod(QDateTime(date, QTime::fromMSecsSinceStartOfDay(msecsOfDay)), *b.from, *b.to);
    const qint64 t = lastDay.midnightMs + msecsOfDay;
    return t >= b.fromMs && t <= b.toMs;
}

bool MilkingPeriodClock::addMilk(MilkMap &map, int p, const QString &lifeNumber, double milk,
                                 const QDate &date, int msecsOfDay, bool singlePrecision)
{
    if (!(milk > 0.0) || !inPeriod(p, date, msecsOfDay))
        return false;
    MilkEntry &entry = milkEntryWith(map, lifeNumber, milk, singlePrecision);
    if (!entry.when.isValid())
        entry.when = QDateTime(date, QTime::fromMSecsSinceStartOfDay(msecsOfDay));
    return true;
}

bool MilkingPeriodClock::addMilk(MilkSums &sums, int p, qint64 lifeNumber, double milk, const QDate &date,
                                 int msecsOfDay, bool singlePrecision)
{
    if (!(milk > 0.0) || !inPeriod(p, date, msecsOfDay))
        return false;
    if (sums.empty() || sums.back().lifeNumber != lifeNumber) {
        MilkSum first;
        first.lifeNumber = lifeNumber;
        first.date = date;
        first.msecsOfDay = msecsOfDay;
        sums.push_back(first);
    }
    MilkSum &sum = sums.back();
    if (singlePrecision)
        sum.milk = static_cast<double>(static_cast<float>(sum.milk) + static_cast<float>(milk));
    else
        sum.milk += milk;
    return true;
}
