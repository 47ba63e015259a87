#include "adislines.h"

namespace adislines {

QString definition(const QString &kind, const QString &entity, const Layout &fields)
{
    QString line = kind + entity;
    for (const Field &f : fields)
        line += QString::fromLatin1(f.id) +
                QStringLiteral("%1%2").arg(f.width, 2, 10, QLatin1Char('0')).arg(f.decimals);
    return line;
}

QString namedDefinition(const Layout &fields)
{
    QStringList items;
    for (const Field &f : fields) {
        QString item = QString::fromLatin1(f.id) + QLatin1Char('\\') + QString::number(f.width);
        if (f.decimals >= 0)
            item += QLatin1Char('.') + QString::number(f.decimals);
        items << item;
    }
    return QStringLiteral("DN     0") + items.join(QLatin1Char(','));
}

int lineLength(const Layout &fields)
{
    int length = 8;
    for (const Field &f : fields)
        length += f.width;
    return length;
}

QStringList cut(const QString &line, const Layout &fields)
{
    QStringList values;
    int at = 8;
    for (const Field &f : fields) {
        values << line.mid(at, f.width).trimmed();
        at += f.width;
    }
    return values;
}

Line &Line::put(const QString &value, bool rightJustified)
{
    if (next >= layout.size())
        return *this;
    const int width = layout.at(next++).width;
    const QString fitted = value.isEmpty() ? QString(width, QLatin1Char('?')) : value.left(width);
    line += rightJustified ? fitted.rightJustified(width) : fitted.leftJustified(width);
    return *this;
}

QString Line::text() const
{
    QString full = line;
    for (int k = next; k < layout.size(); ++k)
        full += QString(layout.at(k).width, QLatin1Char('?'));
    return full;
}

} // namespace adislines
