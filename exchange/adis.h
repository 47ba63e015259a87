// ADIS (ISO 11787) lines: the one place where they are built and cut.
//
// An entity's item table is written once and drives everything: its definition or request line,
// its value lines and the positions at which an answer's value lines are cut.
//
//   static const adis::Entity WriteBack("390006", {{"00300001", 6, 0, " cow"},
//                                                  {"00300357", 8, 0, "ins"}, ...});
//   text += WriteBack.definition() + '\n';                       // "DN390006003000010600..."
//   text += adis::ValueLine(WriteBack).code(cow).date(d).number(n).code(sire).toString() + '\n';
//
//   adis::Values v;
//   if (GeneralCow.cut(line, &v)) { QDate insem = parseDate(v.at(5)); ... }
//
// Named-field tables (DairyPlan) use names instead of item numbers: Entity::named(...) gives
// "DN     0COW\6.0,SRVDAT\9" and the value lines "VN     0...".
#pragma once

#include "exchange/answerfields.h"

#include <QDate>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QVarLengthArray>
#include <QVector>

namespace adis {

// Decimals of an item that the named-field definition leaves out ("SRVDAT\9"); numbered items
// write such an item with 0 decimals.
constexpr int NoDecimals = -1;

struct Item
{
    Item() = default;
    Item(const QString &itemId, int itemWidth, int itemDecimals = NoDecimals,
         const QString &itemCaption = QString())
        : id(itemId), width(itemWidth), decimals(itemDecimals), caption(itemCaption)
    {}

    QString id;    // item number of 8 digits ("00300357"), or a field name ("SRVDAT")
    int width = 0; // characters in a value line
    int decimals = NoDecimals;
    QString caption; // shown in comment caption lines only
};

class Values;

class Entity
{
public:
    Entity() = default;
    // A numbered entity ("390006") with items numbered by 8 digits.
    Entity(const QString &number, const QVector<Item> &items);
    // The named-field variant of entity 0 (DairyPlan): items are named, not numbered.
    static Entity named(const QVector<Item> &items);

    // A 6-digit number (or "     0" for named fields), item ids fitting their kind,
    // widths of 1 to 99 (any positive width for named fields), decimals up to 9.
    bool isValid() const;
    bool isNamed() const { return namedFields; }
    QString number() const { return entityNumber; }
    int size() const { return itemList.size(); }
    const QVector<Item> &items() const { return itemList; }
    const Item &item(int k) const { return itemList.at(k); }
    // Index of the first item with this id (number or name); -1 when there is none.
    int indexOf(const QString &id) const;

    // Position of item k in a value line: 8 plus the widths of the items before it.
    int offset(int k) const { return offsets.at(k); }
    int width(int k) const { return itemList.at(k).width; }
    // 8 plus the sum of the widths.
    int lineLength() const { return length; }

    // "DN" / "DH" / "RN" + number + one 11-character group per item;
    // named: "DN     0" + "NAME\width[.decimals]" joined by ",".
    QString definition() const { return itemLine(QStringLiteral("DN")); }
    QString headerDefinition() const { return itemLine(QStringLiteral("DH")); }
    QString request() const { return itemLine(QStringLiteral("RN")); }

    // "VN" + number (or "VH" + number for a header entity).
    QString valuePrefix(bool header = false) const;

    // "CN      " then "|" and the caption padded to 10 over each item; the last caption is not
    // padded unless the line is closed by a final "|".
    QString captionLine(bool closed = false) const;

    // True when the line is a value line of this entity: "VN" (or "VH") and the entity number,
    // which may be written zero-padded or blank-padded ("VN     0" and "VN000000" alike).
    bool isValueLine(QStringView line, bool header = false) const;

    // When the line is a value line of this entity, cuts its values into *values and returns true.
    bool cut(const QString &line, Values *values, bool header = false) const;
    // The same without a copy of the line: the values borrow it.
    bool cutView(QStringView line, Values *values, bool header = false) const;

    // Cuts the values at this entity's positions, whatever the line's prefix.
    Values cutAny(const QString &line) const;
    Values cutAnyView(QStringView line) const;
    // Item k of the line as cutAnyView(line).view(k) gives it, without cutting the other items.
    QStringView view(QStringView line, int k) const;

private:
    QString itemLine(const QString &type) const;

    QString entityNumber;
    QVector<Item> itemList;
    QVector<int> offsets;
    int length = 8;
    bool namedFields = false;
};

// The values of one value line, cut and trimmed.
class Values
{
public:
    using Spans = QVarLengthArray<QPair<int, int>, 48>;
    Values() = default;
    // Item k of `line` is the span spans[k], blanks around it not counting; a negative start: the
    // line ended before the item.
    Values(const QString &line, const Spans &spans, int lineLength, bool complete)
        : text(line), source(text), items(spans), length(lineLength), full(complete)
    {}
    // The same over a line the caller keeps alive while these values are used.
    Values(QStringView line, const Spans &spans, int lineLength, bool complete)
        : source(line), items(spans), length(lineLength), full(complete)
    {}
    Values(const Values &other) { *this = other; }
    Values &operator=(const Values &other)
    {
        text = other.text;
        source = other.text.isNull() ? other.source : QStringView(text);
        items = other.items;
        length = other.length;
        full = other.full;
        return *this;
    }

    int size() const { return items.size(); }
    // Value of item k without surrounding blanks; empty when k is out of range or the line ended
    // before the item.
    QString at(int k) const { return view(k).toString(); }
    // The same without a copy; valid while these values (and a borrowed line) live.
    QStringView view(int k) const
    {
        if (k < 0 || k >= items.size() || items.at(k).first < 0)
            return QStringView();
        return trimmedView(source.mid(items.at(k).first, items.at(k).second));
    }
    // The value holds a "?": unknown.
    bool isUnknown(int k) const { return view(k).contains(QLatin1Char('?')); }
    // The line held every item in full.
    bool isComplete() const { return full; }
    // Characters of the line, line end excluded.
    int lineLength() const { return length; }

private:
    QString text; // the line, when these values hold it
    QStringView source;
    Spans items;
    int length = 0;
    bool full = false;
};

// Builds one value line item by item, in the order of the entity's table; each value takes
// exactly its item's width, its control characters blanked (blankControls). Items left out at the
// end are written unknown.
class ValueLine
{
public:
    // What to do with a value longer than its item.
    enum class Overflow
    {
        Keep, // written at full length (the line gets longer; overflowed() tells)
        Cut,  // cut to its first width characters
    };

    explicit ValueLine(const Entity &entity, bool header = false);

    // Numbers and codes: right-justified, blank-padded. A null string is unknown.
    ValueLine &code(const QString &value, Overflow overflow = Overflow::Keep);
    ValueLine &number(qint64 value, Overflow overflow = Overflow::Keep);
    // Texts: left-justified, blank-padded. A null string is unknown.
    ValueLine &text(const QString &value, Overflow overflow = Overflow::Keep);
    // "yyyyMMdd", blank-padded on the right in a wider item; unknown when invalid.
    ValueLine &date(const QDate &value);
    // The item filled with "?".
    ValueLine &unknown();

    QString toString() const;
    // A value did not fit its item (only with Overflow::Keep).
    bool overflowed() const { return tooLong; }
    // More values were given than the entity has items (the extra ones are dropped).
    bool tooManyValues() const { return extra; }

private:
    ValueLine &put(const QString &value, bool right, Overflow overflow);

    Entity entity;
    QString line;
    int next = 0;
    bool tooLong = false;
    bool extra = false;
};

// A value as it may stand in a fixed-layout line: every control character (CR, LF, TAB and the
// rest below 0x20, DEL and 0x80-0x9F) and the Unicode line and paragraph separators become
// blanks, so a value from the cloud can neither end its line nor start another. Null stays null.
QString blankControls(const QString &text);

// "CN" followed by the text.
QString comment(const QString &text);

// The lines joined into one file text, each ended by a line feed.
QString fileText(const QStringList &lines);

} // namespace adis
