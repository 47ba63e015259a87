#include "exchange/answerfields.h"

#include <QTime>

namespace {

bool isUnknown(const QString &text)
{
    return text.contains(QLatin1Char('?'));
}

} // namespace

QDate parseDate(const QString &text)
{
    if (isUnknown(text))
        return QDate();
    const QString t = text.trimmed();
    QDate date = QDate::fromString(t, QStringLiteral("dd.MM.yyyy"));
    if (!date.isValid())
        date = QDate::fromString(t, QStringLiteral("d.M.yyyy"));
    if (!date.isValid())
        date = QDate::fromString(t, QStringLiteral("yyyyMMdd"));
    return date;
}

QVariant parseDecimal(const QString &text)
{
    if (isUnknown(text))
        return QVariant();
    QString t = text;
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    return QVariant(t);
}

QVariant parseSeconds(const QString &text)
{
    if (isUnknown(text))
        return QVariant();
    const QTime time = QTime::fromString(text.trimmed(), QStringLiteral("hh:mm:ss"));
    return QVariant(time.isValid() ? QTime(0, 0).secsTo(time) : 0);
}

QDateTime parseDateTime(const QDate &date, const QString &text)
{
    if (isUnknown(text) || !date.isValid())
        return QDateTime();
    QTime time = QTime::fromString(text.trimmed(), QStringLiteral("hh:mm:ss"));
    if (!time.isValid())
        time = QTime(0, 0);
    return QDateTime(date, time, Qt::LocalTime);
}

QString cleanText(const QString &text)
{
    const QString t = text.trimmed();
    for (const QChar c : t) {
        if (c != QLatin1Char('?'))
            return t;
    }
    return QString();
}
