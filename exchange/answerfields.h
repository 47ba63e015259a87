// Turning one field of a converter answer into a typed value.
//
// Converters mark an unknown value with "?" characters. These functions read only their
// arguments; they are safe on any text (empty, short, garbage).
#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QVariant>

// A date written "dd.MM.yyyy", "d.M.yyyy" or "yyyyMMdd" (surrounding blanks ignored).
// Invalid when the text holds a "?" or none of the forms fits.
QDate parseDate(const QString &text);

// The text with every decimal comma turned into a point, for the caller to convert
// ("12,5" gives "12.5"). Null when the text holds a "?".
QVariant parseDecimal(const QString &text);

// Seconds from midnight of a time of day "hh:mm:ss" ("01:30:00" gives 5400); 0 when the text
// does not parse. Null when the text holds a "?".
QVariant parseSeconds(const QString &text);

// The given date at the time "hh:mm:ss", local time; midnight of the date when the time does not
// parse. Invalid when the text holds a "?" or the date is invalid.
QDateTime parseDateTime(const QDate &date, const QString &text);

// The text without surrounding blanks; a null string when nothing but "?" characters (or nothing
// at all) is left. Inner blanks and a "?" among other characters are kept.
QString cleanText(const QString &text);
