#include "sync/records.h"

QString normalisedLifeNumber(const QString &registration)
{
    QString digits;
    digits.reserve(registration.size());
    for (const QChar c : registration) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            digits.append(c);
    }
    bool ok = false;
    const qlonglong value = digits.toLongLong(&ok);
    return QString::number(ok ? value : 0);
}

QDate sendWindowStart(int sendDays, const QDate &today)
{
    return today.addDays(-static_cast<qint64>(sendDays));
}

bool inSendWindow(const QDate &date, int sendDays, const QDate &today)
{
    return sendDays > 0 && date.isValid() && date >= sendWindowStart(sendDays, today);
}
