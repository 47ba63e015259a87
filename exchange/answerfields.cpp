#include "exchange/answerfields.h"

#include <QTime>

namespace {

bool isUnknown(const QString &text)
{
    return text.contains(QLatin1Char('?'));
}

// The value of `count` ASCII digits from `from`; -1 when there are other characters.
int digits(const QString &t, int from, int count)
{
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        const ushort c = t.at(i).unicode();
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The forms converters write, without Qt's general format parser (a few microseconds a field,
// tens of thousands of fields an answer). False: leave the text to that parser.
bool quickDate(const QString &t, QDate *date)
{
    const int n = t.size();
    int d = -1, m = -1, y = -1;
    if (n == 8 && (y = digits(t, 0, 4)) >= 0) { // yyyyMMdd
        m = digits(t, 4, 2);
        d = digits(t, 6, 2);
    } else if (n >= 8 && n <= 10) { // d.M.yyyy, dd.MM.yyyy
        const int first = t.indexOf(QLatin1Char('.'));
        const int second = first < 0 ? -1 : t.indexOf(QLatin1Char('.'), first + 1);
        if (first < 1 || first > 2 || second - first < 2 || second - first > 3 || n - second != 5)
            return false;
        d = digits(t, 0, first);
        m = digits(t, first + 1, second - first - 1);
        y = digits(t, second + 1, 4);
    } else {
        return false;
    }
    if (d < 0 || m < 0 || y < 1)
        return false;
    *date = QDate(y, m, d);
    return true;
}

// "hh:mm:ss" in ASCII digits; false otherwise.
bool quickTime(const QString &t, QTime *time)
{
    if (t.size() != 8 || t.at(2) != QLatin1Char(':') || t.at(5) != QLatin1Char(':'))
        return false;
    const int h = digits(t, 0, 2), m = digits(t, 3, 2), s = digits(t, 6, 2);
    if (h < 0 || m < 0 || s < 0)
        return false;
    *time = QTime(h, m, s);
    return true;
}

QTime parseTime(const QString &text)
{
    const QString t = text.trimmed();
    QTime time;
    if (!quickTime(t, &time))
        time = QTime::fromString(t, QStringLiteral("hh:mm:ss"));
    return time;
}

} // namespace

QDate parseDate(const QString &text)
{
    if (isUnknown(text))
        return QDate();
    const QString t = text.trimmed();
    QDate date;
    if (quickDate(t, &date))
        return date;
    date = QDate::fromString(t, QStringLiteral("dd.MM.yyyy"));
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
    const QTime time = parseTime(text);
    return QVariant(time.isValid() ? QTime(0, 0).secsTo(time) : 0);
}

QDateTime parseDateTime(const QDate &date, const QString &text)
{
    if (isUnknown(text) || !date.isValid())
        return QDateTime();
    QTime time = parseTime(text);
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
