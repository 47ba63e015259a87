#include "ziviviver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QStringView>
#include <QTextCodec>
#include <QThread>

// DIF (Data Interchange Format) as spreadsheet programs write it:
//
//   TABLE / 0,1 / "title"   VECTORS / 0,n / ""   TUPLES / 0,n / ""   ...   DATA / 0,0 / ""
//   -1,0 / BOT   then cells: 0,<number> / V|NA|ERROR|TRUE|FALSE   or   1,0 / "text"
//   -1,0 / EOD
//
// The VECTORS and TUPLES counts are not trusted (writers swap them); rows are what lies between
// BOT items. Anything that does not follow this shape makes the whole file unreadable.

namespace {

// A report of a large herd is a few megabytes; anything far beyond is not a report.
constexpr qint64 MaxFileBytes = 64 * 1024 * 1024;

// UTF-8 when the bytes are valid UTF-8 (plain ASCII included), else the Czech Windows code page.
QString decode(const QByteArray &bytes)
{
    if (QTextCodec *bomCodec = QTextCodec::codecForUtfText(bytes, nullptr)) {
        QString text = bomCodec->toUnicode(bytes);
        if (text.startsWith(QChar(0xFEFF)))
            text.remove(0, 1);
        return text;
    }
    QTextCodec::ConverterState state;
    const QString text =
        QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return text;
    return QTextCodec::codecForName("Windows-1250")->toUnicode(bytes);
}

// A file seen changing while it is read counts once it has stayed the same this long.
constexpr qint64 QuietMs = 100;
// How long a file that keeps changing is tried before it counts as unreadable.
constexpr qint64 SettleLimitMs = 1000;

// The whole file, read until two readings in a row agree: a file that is being saved while it is
// read can give a mixture of its old and new contents. Once it was seen changing, a save may also
// be paused half-way, so the last reading must then also hold over a pause. False when the file
// does not settle.
bool readSettled(QFile &file, QByteArray *bytes)
{
    QElapsedTimer clock;
    clock.start();
    QByteArray previous;
    bool havePrevious = false;
    bool changing = false;
    for (;;) {
        if (file.size() > MaxFileBytes || !file.seek(0))
            return false;
        QByteArray current = file.read(MaxFileBytes + 1);
        if (current.size() > MaxFileBytes)
            return false;
        if (havePrevious && current == previous) {
            if (!changing) {
                *bytes = current;
                return true;
            }
            changing = false;
            QThread::msleep(QuietMs);
            continue;
        }
        if (havePrevious) {
            changing = true;
            QThread::msleep(5);
        }
        if (clock.elapsed() > SettleLimitMs)
            return false;
        previous = std::move(current);
        havePrevious = true;
    }
}

// QString's number rules (C locale, no group separators) without a copy of the text.
const QLocale &cNumbers()
{
    static const QLocale c = [] {
        QLocale l = QLocale::c();
        l.setNumberOptions(QLocale::RejectGroupSeparator);
        return l;
    }();
    return c;
}

bool isIndicator(QStringView text, const char *word)
{
    return text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
}

class Parser
{
public:
    // Lines end with LF, CR LF or a lone CR; they are cut as they are read, as views into the text,
    // which must outlive the parser. Only cell values are copied.
    explicit Parser(const QString &text) : all(text) {}

    bool parse(QList<QStringList> *rows) { return header() && data(rows); }

private:
    bool next(QStringView *line)
    {
        if (pos > all.size())
            return false;
        qsizetype i = pos;
        while (i < all.size() && all[i] != QLatin1Char('\n') && all[i] != QLatin1Char('\r'))
            ++i;
        *line = all.mid(pos, i - pos);
        if (i < all.size() && all[i] == QLatin1Char('\r') && i + 1 < all.size() &&
            all[i + 1] == QLatin1Char('\n'))
            ++i;
        pos = i + 1;
        return true;
    }

    // Skips blank lines where an item starts; false at the end of the text.
    bool nextItemLine(QStringView *line)
    {
        while (next(line)) {
            if (!line->trimmed().isEmpty())
                return true;
        }
        return false;
    }

    static bool isTopic(QStringView topic)
    {
        if (topic.isEmpty() || topic.size() > 64)
            return false;
        for (const QChar c : topic) {
            if (!(c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('-')))
                return false;
        }
        return true;
    }

    // "vector,number": two integers.
    static bool isNumberPair(QStringView line)
    {
        const qsizetype comma = line.indexOf(QLatin1Char(','));
        if (comma < 0)
            return false;
        bool first = false;
        bool second = false;
        cNumbers().toLongLong(line.left(comma).trimmed(), &first);
        cNumbers().toLongLong(line.mid(comma + 1).trimmed(), &second);
        return first && second;
    }

    // A string value starting on `line`: quoted with doubled inner quotes, possibly over several
    // lines when it holds a line break; an unquoted line is taken as it is. False when the closing
    // quote never comes.
    bool stringValue(QStringView line, QString *value)
    {
        if (!line.trimmed().startsWith(QLatin1Char('"'))) {
            *value = line.toString();
            return true;
        }
        QStringView current = line.mid(line.indexOf(QLatin1Char('"')) + 1);
        // The usual cell: one line, no doubled quotes, the closing quote at its end.
        const QStringView trimmed = current.trimmed();
        if (trimmed.endsWith(QLatin1Char('"')) && !trimmed.chopped(1).contains(QLatin1Char('"'))) {
            const QStringView text = current.left(current.lastIndexOf(QLatin1Char('"')));
            *value = text.isEmpty() ? QString() : text.toString(); // "" reads as a null text
            return true;
        }
        QString out;
        for (;;) {
            for (qsizetype i = 0; i < current.size(); ++i) {
                const QChar c = current[i];
                if (c != QLatin1Char('"')) {
                    out.append(c);
                    continue;
                }
                if (i + 1 < current.size() && current[i + 1] == QLatin1Char('"')) {
                    out.append(c);
                    ++i;
                    continue;
                }
                // The closing quote ends the line; a lone quote inside a text is kept as written.
                if (current.mid(i + 1).trimmed().isEmpty()) {
                    *value = out;
                    return true;
                }
                out.append(c);
            }
            if (!next(&current))
                return false;
            out.append(QLatin1Char('\n'));
        }
    }

    bool header()
    {
        for (;;) {
            QStringView topic;
            QStringView numbers;
            QStringView valueLine;
            QString value;
            if (!nextItemLine(&topic) || !next(&numbers) || !next(&valueLine))
                return false;
            topic = topic.trimmed();
            if (!isTopic(topic) || !isNumberPair(numbers) || !stringValue(valueLine, &value))
                return false;
            if (isIndicator(topic, "DATA"))
                return true;
        }
    }

    bool data(QList<QStringList> *rows)
    {
        QStringList *row = nullptr;
        for (;;) {
            QStringView item;
            QStringView second;
            if (!nextItemLine(&item) || !next(&second))
                return false;
            const qsizetype comma = item.indexOf(QLatin1Char(','));
            if (comma < 0)
                return false;
            bool ok = false;
            const int type = cNumbers().toInt(item.left(comma).trimmed(), &ok);
            if (!ok)
                return false;
            const QStringView number = item.mid(comma + 1).trimmed();
            const QStringView indicator = second.trimmed();
            switch (type) {
            case -1:
                if (isIndicator(indicator, "EOD"))
                    return true;
                if (!isIndicator(indicator, "BOT"))
                    return false;
                rows->append(QStringList());
                row = &rows->last();
                break;
            case 0:
                if (!row)
                    return false;
                if (isIndicator(indicator, "V"))
                    row->append(number.toString()); // as written: "12,5" stays with its decimal comma
                else if (isIndicator(indicator, "NA") || isIndicator(indicator, "ERROR"))
                    row->append(QString());
                else if (isIndicator(indicator, "TRUE") || isIndicator(indicator, "FALSE"))
                    row->append(indicator.toString().toUpper());
                else
                    return false;
                break;
            case 1: {
                QString value;
                if (!row || !stringValue(second, &value))
                    return false;
                row->append(value);
                break;
            }
            default:
                return false;
            }
        }
    }

    QStringView all;
    qsizetype pos = 0;
};

} // namespace

EDifReader::EDifReader(const QString &name) : fileName(name) {}

void EDifReader::init()
{
    isValid = false;
    rowCount = 0;
    colCount = 0;
    rows.clear();

    QFile file(fileName);
    QByteArray bytes;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !readSettled(file, &bytes))
        return;
    const QString text = decode(bytes);
    if (text.contains(QChar(0))) // binary data, or UTF-16 without a byte-order mark
        return;

    QList<QStringList> parsed;
    Parser parser(text);
    if (!parser.parse(&parsed))
        return;
    rows = parsed;
    rowCount = rows.size();
    for (const QStringList &row : qAsConst(rows))
        colCount = qMax(colCount, row.size());
    isValid = true;
}

QString EDifReader::getData(const int &row, const int &col) const
{
    if (row < 0 || row >= rows.size())
        return QString();
    const QStringList &cells = rows.at(row);
    if (col < 0 || col >= cells.size())
        return QString();
    return cells.at(col);
}
