#include "jsontext.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstring>

namespace zavra {

namespace {

char hexDigit(uint u)
{
    return char(u < 10 ? '0' + u : 'a' + u - 10);
}

} // namespace

JsonText::JsonText(int sizeHint)
{
    bytes.resize(qMax(sizeHint, 64));
}

void JsonText::grow(int n)
{
    bytes.resize(qMax(bytes.size() * 2, used + n + 64));
}

void JsonText::raw(const char *text)
{
    const int n = int(std::strlen(text));
    std::memcpy(room(n), text, size_t(n));
    used += n;
}

void JsonText::separate()
{
    if (afterKey) {
        afterKey = false;
        return;
    }
    if (firstInLevel.empty())
        return;
    if (!firstInLevel.back())
        *room(1) = ',', ++used;
    firstInLevel.back() = false;
}

void JsonText::open(char bracket)
{
    separate();
    *room(1) = bracket, ++used;
    firstInLevel.push_back(true);
}

void JsonText::close(char bracket)
{
    *room(1) = bracket, ++used;
    firstInLevel.pop_back();
}

void JsonText::string(const QString &text)
{
    string(text.constData(), text.size());
}

// As Qt's JSON writer escapes: the two-letter escapes, \u00xx for other control characters, UTF-8
// for the rest, and \uxxxx for a surrogate without its other half.
void JsonText::string(const QChar *text, int size)
{
    separate();
    char *const start = room(2 + 6 * size);
    char *p = start;
    *p++ = '"';
    const ushort *src = reinterpret_cast<const ushort *>(text);
    for (int i = 0; i < size; ++i) {
        const uint u = src[i];
        if (u < 0x80) {
            if (u >= 0x20 && u != '"' && u != '\\') {
                *p++ = char(u);
                continue;
            }
            *p++ = '\\';
            switch (u) {
            case '"':
                *p++ = '"';
                break;
            case '\\':
                *p++ = '\\';
                break;
            case '\b':
                *p++ = 'b';
                break;
            case '\f':
                *p++ = 'f';
                break;
            case '\n':
                *p++ = 'n';
                break;
            case '\r':
                *p++ = 'r';
                break;
            case '\t':
                *p++ = 't';
                break;
            default:
                *p++ = 'u';
                *p++ = '0';
                *p++ = '0';
                *p++ = hexDigit(u >> 4);
                *p++ = hexDigit(u & 0xf);
            }
        } else if (u < 0x800) {
            *p++ = char(0xc0 | (u >> 6));
            *p++ = char(0x80 | (u & 0x3f));
        } else if (!QChar::isSurrogate(u)) {
            *p++ = char(0xe0 | (u >> 12));
            *p++ = char(0x80 | ((u >> 6) & 0x3f));
            *p++ = char(0x80 | (u & 0x3f));
        } else if (QChar::isHighSurrogate(u) && i + 1 < size && QChar::isLowSurrogate(src[i + 1])) {
            const uint c = QChar::surrogateToUcs4(ushort(u), src[++i]);
            *p++ = char(0xf0 | (c >> 18));
            *p++ = char(0x80 | ((c >> 12) & 0x3f));
            *p++ = char(0x80 | ((c >> 6) & 0x3f));
            *p++ = char(0x80 | (c & 0x3f));
        } else {
            *p++ = '\\';
            *p++ = 'u';
            for (int shift = 12; shift >= 0; shift -= 4)
                *p++ = hexDigit((u >> shift) & 0xf);
        }
    }
    *p++ = '"';
    used += int(p - start);
}

void JsonText::integer(qint64 n)
{
    separate();
    char digits[24];
    int k = 0;
    quint64 magnitude = n < 0 ? 0 - quint64(n) : quint64(n);
    do {
        digits[k++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    char *p = room(k + 1);
    char *const start = p;
    if (n < 0)
        *p++ = '-';
    while (k)
        *p++ = digits[--k];
    used += int(p - start);
}

void JsonText::boolean(bool b)
{
    separate();
    raw(b ? "true" : "false");
}

void JsonText::isoDate(int year, int month, int day)
{
    separate();
    char *p = room(12);
    const char text[12] = {'"',
                           char('0' + year / 1000),
                           char('0' + year / 100 % 10),
                           char('0' + year / 10 % 10),
                           char('0' + year % 10),
                           '-',
                           char('0' + month / 10),
                           char('0' + month % 10),
                           '-',
                           char('0' + day / 10),
                           char('0' + day % 10),
                           '"'};
    std::memcpy(p, text, sizeof text);
    used += int(sizeof text);
}

void JsonText::value(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Undefined:
        return;
    case QJsonValue::Null:
        separate();
        raw("null");
        return;
    case QJsonValue::Bool:
        boolean(v.toBool());
        return;
    case QJsonValue::String:
        string(v.toString());
        return;
    default: {
        // Numbers and containers are rare here: Qt writes them, inside an array that is cut away.
        separate();
        const QByteArray text = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
        const int n = text.size() - 2;
        std::memcpy(room(n), text.constData() + 1, size_t(n));
        used += n;
    }
    }
}

QByteArray JsonText::take()
{
    bytes.resize(used);
    used = 0;
    return std::move(bytes);
}

} // namespace zavra
