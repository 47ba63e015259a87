#include "sync/records.h"

#include <QHash>

#include <limits>

QString normalisedLifeNumber(QStringView registration)
{
    qlonglong value = 0;
    bool any = false;
    for (const QChar c : registration) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            continue;
        const int digit = c.unicode() - '0';
        if (value > (std::numeric_limits<qlonglong>::max() - digit) / 10)
            return QStringLiteral("0");
        value = value * 10 + digit;
        any = true;
    }
    return any ? QString::number(value) : QStringLiteral("0");
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

QDate sendWindowStart(int sendDays, const QDate &today)
{
    return today.addDays(-static_cast<qint64>(sendDays));
}

bool inSendWindow(const QDate &date, int sendDays, const QDate &today)
{
    return sendDays > 0 && date.isValid() && date >= sendWindowStart(sendDays, today);
}

QString knownInseminationKey(const QString &lifeNumber, const QDate &date)
{
    // A herd's dates repeat; formatting each one once saves most of the work on a large answer.
    thread_local QHash<qint64, QString> texts;
    if (!date.isValid())
        return lifeNumber + date.toString(Qt::TextDate);
    auto it = texts.constFind(date.toJulianDay());
    if (it == texts.constEnd()) {
        if (texts.size() > 20000)
            texts.clear();
        it = texts.insert(date.toJulianDay(), date.toString(Qt::TextDate));
    }
    return lifeNumber + *it;
}
