// Turning one field of a converter answer into a typed value.
//
// Converters mark an unknown value with "?" characters. These functions read only their
// arguments; they are safe on any text (empty, short, garbage).
#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringView>
#include <QVariant>

// The text without surrounding white space, as QStringView::trimmed gives it, without a call into
// Qt for the usual ASCII characters.
inline QStringView trimmedView(QStringView text)
{
    const auto space = [](QChar c) {
        const ushort u = c.unicode();
        return u < 0x80 ? u == ' ' || (u >= '\t' && u <= '\r') : c.isSpace();
    };
    const QChar *begin = text.data();
    const QChar *end = begin + text.size();
    while (begin < end && space(*begin))
        ++begin;
    while (end > begin && space(end[-1]))
        --end;
    return QStringView(begin, end - begin);
}

// A date written "dd.MM.yyyy", "d.M.yyyy" or "yyyyMMdd" (surrounding blanks ignored).
// Invalid when the text holds a "?" or none of the forms fits.
QDate parseDate(QStringView text);

// The day of a text shaped "d.M.yyyy" with that separator (day and month of one or two ASCII
// digits, a year of four, year 0 excluded): true, *date that day, invalid when there is none
// ("31.02.2024"). False for any other shape: leave the text to Qt's parser.
bool dayMonthYear(QStringView text, QChar separator, QDate *date);

// A time of day "hhmmss" as QTime::fromString reads it with that format; invalid when the text
// holds a "?" or does not parse.
QTime parseCompactTime(QStringView text);

// The text with every decimal comma turned into a point, for the caller to convert
// ("12,5" gives "12.5"). Null when the text holds a "?".
QVariant parseDecimal(QStringView text);

// Seconds from midnight of a time of day "hh:mm:ss" ("01:30:00" gives 5400); 0 when the text
// does not parse. Null when the text holds a "?".
QVariant parseSeconds(QStringView text);

// The number of a decimal field (comma or point, surrounding blanks ignored), as parseDecimal's
// text converted by QString::toDouble; false in *ok (and 0) when it holds a "?" or no number.
double decimalValue(QStringView text, bool *ok);

// A whole number as QString::toInt reads it (C locale, surrounding blanks ignored); false in *ok
// (and 0) otherwise.
int wholeValue(QStringView text, bool *ok);

// The given date at the time "hh:mm:ss", local time; midnight of the date when the time does not
// parse. Invalid when the text holds a "?" or the date is invalid.
QDateTime parseDateTime(const QDate &date, QStringView text);

// What parseDateTime gives, as the milliseconds into the date: -1 where it gives an invalid
// date-time.
int dateTimeMsecs(const QDate &date, QStringView text);

// The text without surrounding blanks; a null string when nothing but "?" characters (or nothing
// at all) is left. Inner blanks and a "?" among other characters are kept.
QString cleanText(QStringView text);
