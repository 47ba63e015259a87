// ADIS lines as the converters' stand-ins read and write them. Each stand-in states its layouts as
// its own tables of fields; these functions only put fields into lines and take them out again.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

namespace adislines {

struct Field
{
    const char *id; // item number of 8 digits ("00300357"), or a DairyPlan field name ("SRVDAT")
    int width;
    int decimals = 0; // -1: none given in a named definition ("SRVDAT\9")
};
using Layout = QVector<Field>;

// Kind, entity number and one group per field: item number, width in two digits, decimals in one
// ("RN390006" "00900070060" ...).
QString definition(const QString &kind, const QString &entity, const Layout &fields);
// DairyPlan's named form: "DN     0COW\6.0,SRVDAT\9".
QString namedDefinition(const Layout &fields);
// The prefix of 8 and the widths.
int lineLength(const Layout &fields);
// The value of each field at its position in the line, without blanks around it; empty for a
// field the line ends before.
QStringList cut(const QString &line, const Layout &fields);
// A "?" anywhere marks a value unknown.
inline bool isUnknown(const QString &value)
{
    return value.contains(QLatin1Char('?'));
}

// A value line built field by field. Each value is cut to its field's width; an empty one is
// written unknown, the field filled with "?", and so are the fields never given.
class Line
{
public:
    Line(const QString &prefix, const Layout &fields) : layout(fields), line(prefix) {}

    // Numbers and codes.
    Line &right(const QString &value) { return put(value, true); }
    // Texts and dates.
    Line &left(const QString &value) { return put(value, false); }
    Line &unknown() { return put(QString(), false); }

    QString text() const;

private:
    Line &put(const QString &value, bool rightJustified);

    Layout layout;
    QString line;
    int next = 0;
};

} // namespace adislines
