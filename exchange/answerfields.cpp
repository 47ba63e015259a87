#include "exchange/answerfields.h"

#include <QLocale>
#include <QTime>
#include <QVarLengthArray>

namespace {

bool isUnknown(QStringView text)
{
    for (const QChar c : text) {
        if (c.unicode() == '?')
            return true;
    }
    return false;
}

// Position of the first c at or after from; -1 when there is none. A plain loop: Qt's search is
// general and costs more than these short fields.
int find(QStringView t, QChar c, int from)
{
    for (int i = from; i < int(t.size()); ++i) {
        if (t[i] == c)
            return i;
    }
    return -1;
}

// The value of `count` ASCII digits from `from`; -1 when there are other characters.
int digits(QStringView t, int from, int count)
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

// QDate(y, m, d) for a year of 1 to 9999, without Qt's calendar: the proleptic Gregorian day
// number, or an invalid date for a day the month does not have.
QDate gregorianDate(int y, int m, int d)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (m < 1 || m > 12 || d < 1 || d > days[m - 1] + (m == 2 && leap ? 1 : 0))
        return QDate();
    const int a = (14 - m) / 12;
    const qint64 yy = qint64(y) + 4800 - a;
    const int mm = m + 12 * a - 3;
    return QDate::fromJulianDay(d + (153 * mm + 2) / 5 + 365 * yy + yy / 4 - yy / 100 + yy / 400 - 32045);
}

} // namespace

bool dayMonthYear(QStringView t, QChar separator, QDate *date)
{
    const int n = int(t.size());
    const int first = find(t, separator, 0);
    const int second = first < 0 ? -1 : find(t, separator, first + 1);
    if (n < 8 || n > 10 || first < 1 || first > 2 || second - first < 2 || second - first > 3 ||
        n - second != 5)
        return false;
    const int d = digits(t, 0, first);
    const int m = digits(t, first + 1, second - first - 1);
    const int y = digits(t, second + 1, 4);
    if (d < 0 || m < 0 || y < 1)
        return false;
    *date = gregorianDate(y, m, d);
    return true;
}

QTime parseCompactTime(QStringView text)
{
    if (isUnknown(text))
        return QTime();
    const int h = text.size() == 6 ? digits(text, 0, 2) : -1;
    const int m = h < 0 ? -1 : digits(text, 2, 2);
    const int s = m < 0 ? -1 : digits(text, 4, 2);
    if (s >= 0)
        return QTime(h, m, s);
    return QTime::fromString(text.toString(), QStringLiteral("hhmmss"));
}

namespace {

// The forms converters write, without Qt's general format parser (a few microseconds a field,
// tens of thousands of fields an answer). False: leave the text to that parser.
bool quickDate(QStringView t, QDate *date)
{
    const int n = int(t.size());
    int d = -1, m = -1, y = -1;
    if (n == 8 && (y = digits(t, 0, 4)) >= 0) { // yyyyMMdd
        m = digits(t, 4, 2);
        d = digits(t, 6, 2);
    } else { // d.M.yyyy, dd.MM.yyyy
        return dayMonthYear(t, QLatin1Char('.'), date);
    }
    if (d < 0 || m < 0 || y < 1)
        return false;
    *date = gregorianDate(y, m, d);
    return true;
}

// "hh:mm:ss" in ASCII digits; false otherwise.
bool quickTime(QStringView t, QTime *time)
{
    if (t.size() != 8 || t.at(2) != QLatin1Char(':') || t.at(5) != QLatin1Char(':'))
        return false;
    const int h = digits(t, 0, 2), m = digits(t, 3, 2), s = digits(t, 6, 2);
    if (h < 0 || m < 0 || s < 0)
        return false;
    *time = QTime(h, m, s);
    return true;
}

QTime parseTime(QStringView text)
{
    const QStringView t = trimmedView(text);
    QTime time;
    if (!quickTime(t, &time))
        time = QTime::fromString(t.toString(), QStringLiteral("hh:mm:ss"));
    return time;
}

} // namespace

QDate parseDate(QStringView text)
{
    if (isUnknown(text))
        return QDate();
    const QStringView view = trimmedView(text);
    QDate date;
    if (view.isEmpty() || quickDate(view, &date))
        return date;
    const QString t = view.toString();
    date = QDate::fromString(t, QStringLiteral("dd.MM.yyyy"));
    if (!date.isValid())
        date = QDate::fromString(t, QStringLiteral("d.M.yyyy"));
    if (!date.isValid())
        date = QDate::fromString(t, QStringLiteral("yyyyMMdd"));
    return date;
}

QVariant parseDecimal(QStringView text)
{
    if (isUnknown(text))
        return QVariant();
    QString t = text.toString();
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    return QVariant(t);
}

// QString's number rules: C locale, no group separators.
const QLocale &cNumbers()
{
    static const QLocale c = [] {
        QLocale l = QLocale::c();
        l.setNumberOptions(QLocale::RejectGroupSeparator);
        return l;
    }();
    return c;
}

namespace {

// Plain decimals ("12", "-3,75", " 0.5"): at most 15 digits, so that the digits and the power of ten
// are exact doubles and their quotient is the correctly rounded value, as the general conversion
// gives it. False for any other text: leave it to that conversion.
bool quickDecimal(QStringView text, double *value)
{
    const QChar *c = text.data();
    qsizetype i = 0, n = text.size();
    while (i < n && c[i] == QLatin1Char(' '))
        ++i;
    while (n > i && c[n - 1] == QLatin1Char(' '))
        --n;
    const bool negative = i < n && c[i] == QLatin1Char('-');
    if (negative)
        ++i;
    qint64 digits = 0;
    int count = 0, decimals = -1;
    for (; i < n; ++i) {
        const ushort u = c[i].unicode();
        if (u >= '0' && u <= '9') {
            digits = digits * 10 + (u - '0');
            if (++count > 15)
                return false;
            if (decimals >= 0)
                ++decimals;
        } else if ((u == '.' || u == ',') && decimals < 0 && count > 0) {
            decimals = 0;
        } else {
            return false;
        }
    }
    if (count == 0 || decimals == 0)
        return false;
    static const double powers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const double v = double(digits) / powers[decimals < 0 ? 0 : decimals];
    *value = negative ? -v : v;
    return true;
}

} // namespace

double decimalValue(QStringView text, bool *ok)
{
    double quick = 0;
    if (quickDecimal(text, &quick)) {
        *ok = true;
        return quick;
    }
    *ok = false;
    if (isUnknown(text))
        return 0.0;
    QVarLengthArray<QChar, 32> t(int(text.size()));
    for (int i = 0; i < t.size(); ++i)
        t[i] = text[i] == QLatin1Char(',') ? QLatin1Char('.') : text[i];
    const double value = cNumbers().toDouble(trimmedView(QStringView(t.constData(), t.size())), ok);
    return *ok ? value : 0.0;
}

int wholeValue(QStringView text, bool *ok)
{
    // Up to nine ASCII digits between blanks, the usual case, without the general conversion.
    const QStringView t = trimmedView(text);
    if (t.isEmpty()) {
        *ok = false;
        return 0;
    }
    if (t.size() <= 9) {
        int value = 0;
        qsizetype i = 0;
        for (; i < t.size() && t[i].unicode() >= '0' && t[i].unicode() <= '9'; ++i)
            value = value * 10 + (t[i].unicode() - '0');
        if (i == t.size()) {
            *ok = true;
            return value;
        }
    }
    const int value = cNumbers().toInt(t, ok);
    return *ok ? value : 0;
}

QVariant parseSeconds(QStringView text)
{
    if (isUnknown(text))
        return QVariant();
    const QTime time = parseTime(text);
    return QVariant(time.isValid() ? QTime(0, 0).secsTo(time) : 0);
}

QDateTime parseDateTime(const QDate &date, QStringView text)
{
    if (isUnknown(text) || !date.isValid())
        return QDateTime();
    QTime time = parseTime(text);
    if (!time.isValid())
        time = QTime(0, 0);
    return QDateTime(date, time, Qt::LocalTime);
}

int dateTimeMsecs(const QDate &date, QStringView text)
{
    if (isUnknown(text) || !date.isValid())
        return -1;
    const QTime time = parseTime(text);
    return time.isValid() ? time.msecsSinceStartOfDay() : 0;
}

QString cleanText(QStringView text)
{
    const QStringView t = trimmedView(text);
    for (const QChar c : t) {
        if (c != QLatin1Char('?'))
            return t.toString();
    }
    return QString();
}
