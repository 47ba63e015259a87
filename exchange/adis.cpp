#include "exchange/adis.h"
#include "exchange/answerfields.h"

namespace adis {

namespace {

// A function, not a static: entity tables are themselves static objects of other files.
QString namedNumber()
{
    return QStringLiteral("     0");
}

bool allDigits(const QString &text)
{
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// Value of a 6-character entity number field, leading blanks allowed; -1 when it is none.
int entityValue(QStringView field)
{
    if (field.size() != 6)
        return -1;
    int i = 0;
    while (i < field.size() && field.at(i) == QLatin1Char(' '))
        ++i;
    if (i == field.size())
        return -1;
    int value = 0;
    for (; i < field.size(); ++i) {
        const QChar c = field.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

} // namespace

Entity::Entity(const QString &number, const QVector<Item> &items) : entityNumber(number), itemList(items)
{
    offsets.reserve(itemList.size());
    for (const Item &it : itemList) {
        offsets.append(length);
        length += qMax(0, it.width);
    }
}

Entity Entity::named(const QVector<Item> &items)
{
    Entity e(namedNumber(), items);
    e.namedFields = true;
    return e;
}

bool Entity::isValid() const
{
    if (namedFields ? entityNumber != namedNumber() : (entityNumber.size() != 6 || !allDigits(entityNumber)))
        return false;
    if (itemList.isEmpty())
        return false;
    for (const Item &it : itemList) {
        if (it.width < 1 || it.decimals < NoDecimals || it.decimals > 9)
            return false;
        if (namedFields) {
            if (it.id.isEmpty() || it.id.contains(QLatin1Char(',')) || it.id.contains(QLatin1Char('\\')))
                return false;
        } else if (it.id.size() != 8 || !allDigits(it.id) || it.width > 99) {
            return false;
        }
    }
    return true;
}

int Entity::indexOf(const QString &id) const
{
    for (int k = 0; k < itemList.size(); ++k) {
        if (itemList.at(k).id == id)
            return k;
    }
    return -1;
}

QString Entity::itemLine(const QString &type) const
{
    QString line = type + entityNumber;
    for (int k = 0; k < itemList.size(); ++k) {
        const Item &it = itemList.at(k);
        if (namedFields) {
            if (k > 0)
                line += QLatin1Char(',');
            line += it.id + QLatin1Char('\\') + QString::number(it.width);
            if (it.decimals != NoDecimals)
                line += QLatin1Char('.') + QString::number(it.decimals);
        } else {
            line += it.id + QStringLiteral("%1").arg(it.width, 2, 10, QLatin1Char('0')) +
                    QString::number(qMax(0, it.decimals));
        }
    }
    return line;
}

QString Entity::valuePrefix(bool header) const
{
    return (header ? QStringLiteral("VH") : QStringLiteral("VN")) + entityNumber;
}

QString Entity::captionLine(bool closed) const
{
    QString line = QStringLiteral("CN      ");
    for (int k = 0; k < itemList.size(); ++k) {
        const bool last = k == itemList.size() - 1;
        line += QLatin1Char('|');
        line += (last && !closed) ? itemList.at(k).caption : itemList.at(k).caption.leftJustified(10);
    }
    if (closed)
        line += QLatin1Char('|');
    return line;
}

bool Entity::isValueLine(QStringView line, bool header) const
{
    if (!line.startsWith(header ? QLatin1String("VH") : QLatin1String("VN")))
        return false;
    const int want = entityValue(entityNumber);
    return want >= 0 && line.size() >= 8 && entityValue(line.mid(2, 6)) == want;
}

bool Entity::cut(const QString &line, Values *values, bool header) const
{
    if (!isValueLine(line, header))
        return false;
    if (values)
        *values = cutAny(line);
    return true;
}

bool Entity::cutView(QStringView line, Values *values, bool header) const
{
    if (!isValueLine(line, header))
        return false;
    if (values)
        *values = cutAnyView(line);
    return true;
}

namespace {

// The untrimmed span of each item in text (start -1: the line ended before it); returns the line's
// length without a line end left on it, which is no part of the last value.
int cutSpans(QStringView text, const QVector<Item> &items, const QVector<int> &offsets, Values::Spans *spans)
{
    int end = int(text.size());
    while (end > 0 && (text.at(end - 1) == QLatin1Char('\r') || text.at(end - 1) == QLatin1Char('\n')))
        --end;
    spans->reserve(items.size());
    for (int k = 0; k < items.size(); ++k) {
        const int from = offsets.at(k);
        spans->append(from >= end ? QPair<int, int>(-1, 0)
                                  : QPair<int, int>(from, qMin(items.at(k).width, end - from)));
    }
    return end;
}

} // namespace

Values Entity::cutAny(const QString &line) const
{
    Values::Spans spans;
    const int end = cutSpans(line, itemList, offsets, &spans);
    return Values(line, spans, end, end >= length);
}

Values Entity::cutAnyView(QStringView line) const
{
    Values::Spans spans;
    const int end = cutSpans(line, itemList, offsets, &spans);
    return Values(line, spans, end, end >= length);
}

QStringView Entity::view(QStringView line, int k) const
{
    int end = int(line.size());
    while (end > 0 && (line.at(end - 1) == QLatin1Char('\r') || line.at(end - 1) == QLatin1Char('\n')))
        --end;
    if (k < 0 || k >= itemList.size() || offsets.at(k) >= end)
        return QStringView();
    const int from = offsets.at(k);
    return trimmedView(line.mid(from, qMin(itemList.at(k).width, end - from)));
}

ValueLine::ValueLine(const Entity &e, bool header) : entity(e), line(e.valuePrefix(header)) {}

ValueLine &ValueLine::put(const QString &given, bool right, Overflow overflow)
{
    if (next >= entity.size()) {
        extra = true;
        return *this;
    }
    const QString value = blankControls(given);
    const int width = entity.width(next++);
    if (value.size() > width) {
        if (overflow == Overflow::Cut) {
            line += value.left(width);
        } else {
            line += value;
            tooLong = true;
        }
        return *this;
    }
    line += right ? value.rightJustified(width) : value.leftJustified(width);
    return *this;
}

ValueLine &ValueLine::code(const QString &value, Overflow overflow)
{
    if (value.isNull())
        return unknown();
    return put(value, true, overflow);
}

ValueLine &ValueLine::number(qint64 value, Overflow overflow)
{
    return put(QString::number(value), true, overflow);
}

ValueLine &ValueLine::text(const QString &value, Overflow overflow)
{
    if (value.isNull())
        return unknown();
    return put(value, false, overflow);
}

ValueLine &ValueLine::date(const QDate &value)
{
    if (!value.isValid())
        return unknown();
    return put(value.toString(QStringLiteral("yyyyMMdd")), false, Overflow::Keep);
}

ValueLine &ValueLine::unknown()
{
    if (next >= entity.size()) {
        extra = true;
        return *this;
    }
    return put(QString(entity.width(next), QLatin1Char('?')), true, Overflow::Keep);
}

QString ValueLine::toString() const
{
    QString result = line;
    for (int k = next; k < entity.size(); ++k)
        result += QString(entity.width(k), QLatin1Char('?'));
    return result;
}

QString blankControls(const QString &text)
{
    QString out = text;
    for (int i = 0; i < out.size(); ++i) {
        const ushort u = out.at(i).unicode();
        // Written only where needed: a clean value stays shared, without a copy.
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029)
            out[i] = QLatin1Char(' ');
    }
    return out;
}

QString comment(const QString &text)
{
    return QStringLiteral("CN") + text;
}

QString fileText(const QStringList &lines)
{
    QString text;
    for (const QString &l : lines)
        text += l + QLatin1Char('\n');
    return text;
}

} // namespace adis
