#include "sync/records.h"

#include <algorithm>

#include <limits>

qint64 lifeNumberValue(QStringView registration)
{
    qint64 value = 0;
    for (const QChar c : registration) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            continue;
        const int digit = c.unicode() - '0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    return value;
}

QString normalisedLifeNumber(QStringView registration)
{
    return lifeNumberText(lifeNumberValue(registration));
}

QString lifeNumberText(qint64 lifeNumber)
{
    char16_t digits[20];
    int n = 0;
    quint64 v = quint64(lifeNumber);
    do {
        digits[19 - n++] = char16_t(u'0' + v % 10);
        v /= 10;
    } while (v);
    return QString(reinterpret_cast<const QChar *>(digits + 20 - n), n);
}

QString techNumberOf(const QMap<QString, Animal> &animals, const QString &lifeNumber)
{
    const auto it = animals.constFind(lifeNumber);
    return it == animals.constEnd() ? QString() : it->tech_cislo.toString();
}

qint64 lifeNumberOfText(QStringView text)
{
    const qsizetype n = text.size();
    if (n < 1 || n > 19 || (n > 1 && text[0] == QLatin1Char('0')))
        return -1;
    qint64 value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        const int digit = c.unicode() - '0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
            return -1;
        value = value * 10 + digit;
    }
    return value;
}

bool packedDigits(const QString &text, quint64 *high, quint64 *low)
{
    const int n = text.size();
    if (n > 19)
        return false;
    const QChar *c = text.constData();
    quint64 h = 0;
    quint64 l = 0;
    for (int i = 0; i < 20; ++i) {
        quint64 nibble = 0;
        if (i < n) {
            const ushort u = c[i].unicode();
            if (u < '0' || u > '9')
                return false;
            nibble = quint64(u - '0' + 1);
        }
        if (i < 16)
            h = (h << 4) | nibble;
        else
            l = (l << 4) | nibble;
    }
    *high = h;
    *low = l;
    return true;
}

void appendRowEvents(HerdRecords &records, const std::vector<RowEvent> &events,
                     const std::vector<QString> &lifeOfRow)
{
    for (const RowEvent &e : events) {
        if (e.kind == 0) {
            DryOff dry;
            dry.cislo = lifeOfRow[size_t(e.row)];
            dry.datum = e.date;
            records.dryOffs.append(dry);
        } else {
            PregnancyEvent p;
            p.cislo = lifeOfRow[size_t(e.row)];
            p.datum = e.date;
            p.druh = e.kind;
            records.pregnancies.append(p);
        }
    }
}

QDate sendWindowStart(int sendDays, const QDate &today)
{
    return today.addDays(-static_cast<qint64>(sendDays));
}

bool inSendWindow(const QDate &date, int sendDays, const QDate &today)
{
    return sendDays > 0 && date.isValid() && date >= sendWindowStart(sendDays, today);
}

void KnownInseminations::insert(qint64 lifeNumber, const QDate &date)
{
    numbers.emplace_back(lifeNumber, date.toJulianDay());
    sorted = false;
}

void KnownInseminations::insert(const QString &animal, const QDate &date)
{
    const qint64 life = lifeNumberOfText(animal);
    if (life >= 0)
        insert(life, date);
    else
        texts.emplace_back(animal, date.toJulianDay());
    sorted = false;
}

void KnownInseminations::sort() const
{
    if (sorted)
        return;
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::sort(texts.begin(), texts.end());
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
    sorted = true;
}

bool KnownInseminations::contains(const QString &animal, const QDate &date) const
{
    sort();
    const qint64 life = lifeNumberOfText(animal);
    if (life >= 0)
        return std::binary_search(numbers.begin(), numbers.end(), std::make_pair(life, date.toJulianDay()));
    return std::binary_search(texts.begin(), texts.end(), std::make_pair(animal, date.toJulianDay()));
}

int KnownInseminations::size() const
{
    sort();
    return int(numbers.size() + texts.size());
}
