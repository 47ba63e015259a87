#include "ziviviver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QStringView>
#include <QTextCodec>
#include <QThread>

#include <algorithm>
#include <array>
#include <cstring>

// DIF (Data Interchange Format) as spreadsheet programs write it:
//
//   TABLE / 0,1 / "title"   VECTORS / 0,n / ""   TUPLES / 0,n / ""   ...   DATA / 0,0 / ""
//   -1,0 / BOT   then cells: 0,<number> / V|NA|ERROR|TRUE|FALSE   or   1,0 / "text"
//   -1,0 / EOD
//
// The VECTORS and TUPLES counts are not trusted (writers swap them); rows are what lies between
// BOT items. Anything that does not follow this shape makes the whole file unreadable; a NUL byte
// inside a cell's value makes only that cell unknown.
//
// The file is parsed in its own bytes, UTF-8 or Windows-1250, and a cell is kept as the position
// of its text in them; it becomes a QString only when asked for. Blanks are what QString::trimmed
// takes away, in the file's character set.

namespace {

// A report of a large herd is a few megabytes; anything far beyond is not a report.
constexpr qint64 MaxFileBytes = 64 * 1024 * 1024;

enum Charset
{
    Ascii,
    Utf8,
    Cp1250
};

QTextCodec *windows1250()
{
    static QTextCodec *const codec = QTextCodec::codecForName("Windows-1250");
    return codec;
}

// Which bytes of Windows-1250 are blanks (the no-break space, and the ASCII ones).
const std::array<bool, 256> &cp1250Blanks()
{
    static const std::array<bool, 256> blanks = [] {
        std::array<bool, 256> b{};
        for (int i = 0; i < 256; ++i) {
            const char c = char(i);
            const QString s = windows1250()->toUnicode(&c, 1);
            b[size_t(i)] = s.size() == 1 && s.at(0).isSpace();
        }
        return b;
    }();
    return blanks;
}

// UTF-8 text; a byte-order mark at its start is a character of the text, not a header.
QString utf8Text(const char *data, int size)
{
    if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        return QTextCodec::codecForName("UTF-8")->toUnicode(data, size, &state);
    }
    return QString::fromUtf8(data, size);
}

bool isAscii(const char *data, qsizetype size)
{
    quint64 all = 0;
    qsizetype i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 word;
        std::memcpy(&word, data + i, 8);
        all |= word;
    }
    for (; i < size; ++i)
        all |= static_cast<uchar>(data[i]);
    return (all & 0x8080808080808080ull) == 0;
}

// Whether Qt's UTF-8 decoder takes the bytes without a fault, read piece by piece.
bool isValidUtf8(const char *data, qsizetype size)
{
    QTextCodec *utf8 = QTextCodec::codecForName("UTF-8");
    QTextCodec::ConverterState state;
    constexpr qsizetype Piece = 1 << 20;
    for (qsizetype at = 0; at < size; at += Piece) {
        const int n = int(qMin(Piece, size - at));
        if (state.remainingChars == 0 && isAscii(data + at, n))
            continue;
        utf8->toUnicode(data + at, n, &state);
        if (state.invalidChars != 0)
            return false;
    }
    return state.invalidChars == 0 && state.remainingChars == 0;
}

// A file seen changing while it is read counts once it has stayed the same this long.
constexpr qint64 QuietMs = 100;
// How long a file that keeps changing is tried before it counts as unreadable.
constexpr qint64 SettleLimitMs = 1000;

// Whether a reading of the file from its start gives exactly `bytes`, read in small pieces.
bool readsAs(QFile &file, const QByteArray &bytes)
{
    char piece[64 * 1024];
    qint64 at = 0;
    for (;;) {
        const qint64 n = file.read(piece, sizeof piece);
        if (n < 0)
            return false;
        if (n == 0)
            return at == bytes.size();
        if (at + n > bytes.size() || std::memcmp(piece, bytes.constData() + at, size_t(n)) != 0)
            return false;
        at += n;
    }
}

// The whole file, read until two readings in a row agree: a file that is being saved while it is
// read can give a mixture of its old and new contents. Once it was seen changing, a save may also
// be paused half-way, so the last reading must then also hold over a pause. False when the file
// does not settle. Only one reading is held; the next is compared with it as it comes.
bool readSettled(QFile &file, QByteArray *bytes)
{
    QElapsedTimer clock;
    clock.start();
    bool haveReading = false;
    bool changing = false;
    for (;;) {
        if (file.size() > MaxFileBytes || !file.seek(0))
            return false;
        if (!haveReading) {
            // As much as the file holds (one byte more shows growth): QIODevice::read(n) first
            // allocates n bytes.
            *bytes = file.read(file.size() + 1);
            if (bytes->size() > MaxFileBytes)
                return false;
            haveReading = true;
            continue;
        }
        if (readsAs(file, *bytes)) {
            if (!changing)
                return true;
            changing = false;
            QThread::msleep(QuietMs);
            continue;
        }
        changing = true;
        haveReading = false;
        QThread::msleep(5);
        if (clock.elapsed() > SettleLimitMs)
            return false;
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

// Cells: the low 32 bits are the start in the bytes (or the index of a text), then 30 bits of
// length, then the kind.
enum CellKind : quint64
{
    Run = 0,
    Null = 1,
    Text = 2
};

quint64 cell(CellKind kind, qsizetype start, qsizetype length = 0)
{
    return quint64(quint32(start)) | (quint64(length) << 32) | (quint64(kind) << 62);
}

struct Span
{
    qsizetype begin = 0;
    qsizetype end = 0;
    bool isEmpty() const { return begin >= end; }
};

class Parser
{
public:
    Parser(const QByteArray &bytes, qsizetype start, Charset charset, QVector<quint64> *cellList,
           QVector<int> *rowList, QVector<QString> *textList)
        : data(bytes.constData()), size(bytes.size()), pos(start), set(charset), cells(cellList),
          rowStarts(rowList), texts(textList)
    {}

    bool parse() { return header() && rows(); }

private:
    // Lines end with LF, CR LF or a lone CR. Lines are short: a plain loop beats memchr.
    bool next(Span *line)
    {
        if (pos > size)
            return false;
        qsizetype i = pos;
        while (i < size && data[i] != '\n' && data[i] != '\r')
            ++i;
        *line = {pos, i};
        pos = i + 1;
        if (i < size && data[i] == '\r' && i + 1 < size && data[i + 1] == '\n')
            ++pos;
        return true;
    }

    Q_ALWAYS_INLINE uchar at(qsizetype i) const { return static_cast<uchar>(data[i]); }

    static bool asciiBlank(uchar c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

    // Length of the blank character at `i`, or 0.
    int blankAt(qsizetype i, qsizetype end) const
    {
        const uchar c = at(i);
        if (c < 0x80)
            return asciiBlank(c) ? 1 : 0;
        if (set == Cp1250)
            return cp1250Blanks()[c] ? 1 : 0;
        // Valid UTF-8 here: the blanks beyond ASCII all lie in the Basic Multilingual Plane.
        uint u = 0;
        int n = 0;
        if (c >= 0xF0)
            return 0;
        if (c >= 0xE0) {
            u = c & 0x0Fu;
            n = 3;
        } else {
            u = c & 0x1Fu;
            n = 2;
        }
        if (i + n > end)
            return 0;
        for (int k = 1; k < n; ++k)
            u = (u << 6) | (at(i + k) & 0x3Fu);
        return QChar::isSpace(u) ? n : 0;
    }

    // Length of the blank character that ends before `i`, or 0.
    int blankBefore(qsizetype i, qsizetype begin) const
    {
        const uchar c = at(i - 1);
        if (c < 0x80 || set == Cp1250)
            return blankAt(i - 1, i);
        qsizetype lead = i - 1;
        while (lead > begin && (at(lead) & 0xC0) == 0x80 && i - lead < 4)
            --lead;
        const int n = blankAt(lead, i);
        return n == i - lead ? n : 0;
    }

    // Neither a blank nor part of a character beyond ASCII.
    static Q_ALWAYS_INLINE bool plain(uchar c) { return c > ' ' && c < 0x80; }

    Q_ALWAYS_INLINE Span trimmed(Span s) const
    {
        if (s.begin < s.end && plain(at(s.begin)) && plain(at(s.end - 1)))
            return s;
        return trimmedEnds(s);
    }

    Span trimmedEnds(Span s) const
    {
        while (s.begin < s.end) {
            const int n = blankAt(s.begin, s.end);
            if (n == 0)
                break;
            s.begin += n;
        }
        while (s.end > s.begin) {
            const int n = blankBefore(s.end, s.begin);
            if (n == 0)
                break;
            s.end -= n;
        }
        return s;
    }

    QString text(Span s) const
    {
        const int n = int(s.end - s.begin);
        if (set == Cp1250)
            return windows1250()->toUnicode(data + s.begin, n);
        return utf8Text(data + s.begin, n);
    }

    bool isAsciiSpan(Span s) const { return isAscii(data + s.begin, s.end - s.begin); }

    bool holdsNul(Span s) const { return std::memchr(data + s.begin, 0, size_t(s.end - s.begin)) != nullptr; }

    // Compares like isIndicator on the decoded text.
    bool indicatorIs(Span s, const char *word) const
    {
        if (!isAsciiSpan(s))
            return isIndicator(text(s), word);
        const qsizetype n = qsizetype(std::strlen(word));
        if (s.end - s.begin != n)
            return false;
        for (qsizetype k = 0; k < n; ++k) {
            uchar c = at(s.begin + k);
            if (c >= 'a' && c <= 'z')
                c = uchar(c - 'a' + 'A');
            if (c != uchar(word[k]))
                return false;
        }
        return true;
    }

    qsizetype find(char c, Span s) const
    {
        for (qsizetype i = s.begin; i < s.end; ++i) {
            if (data[i] == c)
                return i;
        }
        return -1;
    }

    // Skips blank lines where an item starts; false at the end of the text.
    bool nextItemLine(Span *line)
    {
        while (next(line)) {
            if (!trimmed(*line).isEmpty())
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
    bool stringValue(Span line, quint64 *value)
    {
        const Span t = trimmed(line);
        if (t.isEmpty() || data[t.begin] != '"') {
            *value = holdsNul(line) ? cell(Null, 0) : cell(Run, line.begin, line.end - line.begin);
            return true;
        }
        Span current{t.begin + 1, line.end};
        // The usual cell: one line, no doubled quotes, the closing quote at its end.
        const Span inner = trimmed(current);
        if (!inner.isEmpty() && data[inner.end - 1] == '"' && find('"', {inner.begin, inner.end - 1}) < 0) {
            const qsizetype length = inner.end - 1 - current.begin;
            // "" reads as null
            *value = length == 0 || holdsNul(inner) ? cell(Null, 0) : cell(Run, current.begin, length);
            return true;
        }
        QByteArray out;
        for (;;) {
            for (qsizetype i = current.begin; i < current.end; ++i) {
                const char c = data[i];
                if (c != '"') {
                    out.append(c);
                    continue;
                }
                if (i + 1 < current.end && data[i + 1] == '"') {
                    out.append(c);
                    ++i;
                    continue;
                }
                // The closing quote ends the line; a lone quote inside a text is kept as written.
                if (trimmed({i + 1, current.end}).isEmpty()) {
                    QString s;
                    if (!out.isEmpty() && !out.contains('\0'))
                        s = set == Cp1250 ? windows1250()->toUnicode(out)
                                          : utf8Text(out.constData(), out.size());
                    *value = cell(Text, texts->size());
                    texts->append(s);
                    return true;
                }
                out.append(c);
            }
            if (!next(&current))
                return false;
            out.append('\n');
        }
    }

    bool header()
    {
        for (;;) {
            Span topic;
            Span numbers;
            Span valueLine;
            quint64 value = 0;
            if (!nextItemLine(&topic) || !next(&numbers) || !next(&valueLine))
                return false;
            const QString topicText = text(trimmed(topic));
            if (!isTopic(topicText) || !isNumberPair(text(numbers)) || !stringValue(valueLine, &value))
                return false;
            if (isIndicator(topicText, "DATA")) {
                texts->clear();
                return true;
            }
        }
    }

    // The item's type before its comma, read as QString reads an integer.
    bool itemType(Span s, int *type) const
    {
        s = trimmed(s);
        const qsizetype n = s.end - s.begin;
        if (n == 1 && (data[s.begin] == '0' || data[s.begin] == '1')) {
            *type = data[s.begin] - '0';
            return true;
        }
        if (n == 2 && data[s.begin] == '-' && data[s.begin + 1] == '1') {
            *type = -1;
            return true;
        }
        bool ok = false;
        *type = cNumbers().toInt(text(s), &ok);
        return ok;
    }

    bool rows()
    {
        bool inRow = false;
        for (;;) {
            Span item;
            Span second;
            if (!nextItemLine(&item) || !next(&second))
                return false;
            const qsizetype comma = find(',', item);
            if (comma < 0)
                return false;
            int type = 0;
            if (!itemType({item.begin, comma}, &type))
                return false;
            const Span number = trimmed({comma + 1, item.end});
            const Span indicator = trimmed(second);
            switch (type) {
            case -1:
                if (indicatorIs(indicator, "EOD")) {
                    if (inRow)
                        rowStarts->append(cells->size());
                    return true;
                }
                if (!indicatorIs(indicator, "BOT"))
                    return false;
                rowStarts->append(cells->size());
                inRow = true;
                break;
            case 0:
                if (!inRow)
                    return false;
                if (indicatorIs(indicator, "V")) {
                    // as written: "12,5" stays with its decimal comma
                    cells->append(holdsNul(number) ? cell(Null, 0)
                                                   : cell(Run, number.begin, number.end - number.begin));
                } else if (indicatorIs(indicator, "NA") || indicatorIs(indicator, "ERROR")) {
                    cells->append(cell(Null, 0));
                } else if (indicatorIs(indicator, "TRUE") || indicatorIs(indicator, "FALSE")) {
                    cells->append(cell(Text, texts->size()));
                    texts->append(text(indicator).toUpper());
                } else {
                    return false;
                }
                break;
            case 1: {
                quint64 value = 0;
                if (!inRow || !stringValue(second, &value))
                    return false;
                cells->append(value);
                break;
            }
            default:
                return false;
            }
        }
    }

    const char *data;
    qsizetype size;
    qsizetype pos;
    Charset set;
    QVector<quint64> *cells;
    QVector<int> *rowStarts;
    QVector<QString> *texts;
};

// An item takes at least six bytes ("0,0", "V", two line ends): a bound on the cells, so that the
// list is allocated once. What is not used of it is never touched.
qsizetype cellBound(const QByteArray &bytes)
{
    return bytes.size() / 6 + 1;
}

} // namespace

EDifReader::EDifReader(const QString &name) : fileName(name) {}

void EDifReader::init()
{
    isValid = false;
    rowCount = 0;
    colCount = 0;
    bytes.clear();
    cells.clear();
    rowStarts.clear();
    texts.clear();

    QFile file(fileName);
    QByteArray read;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !readSettled(file, &read))
        return;

    // UTF-8 when the bytes are valid UTF-8 (plain ASCII included), else the Czech Windows code
    // page; a byte-order mark names its own encoding, whose text is then parsed as UTF-8.
    Charset set = Ascii;
    if (QTextCodec *bomCodec = QTextCodec::codecForUtfText(read, nullptr)) {
        QString text = bomCodec->toUnicode(read);
        if (text.startsWith(QChar(0xFEFF)))
            text.remove(0, 1);
        read = text.toUtf8();
        set = Utf8;
    }
    if (set == Ascii && !isAscii(read.constData(), read.size()))
        set = isValidUtf8(read.constData(), read.size()) ? Utf8 : Cp1250;

    QVector<quint64> parsedCells;
    QVector<int> parsedRows;
    QVector<QString> parsedTexts;
    parsedCells.reserve(int(cellBound(read)));
    Parser parser(read, 0, set, &parsedCells, &parsedRows, &parsedTexts);
    if (!parser.parse())
        return;
    bytes = read;
    charset = set;
    cells = parsedCells;
    rowStarts = parsedRows;
    texts = parsedTexts;
    rowCount = rowStarts.isEmpty() ? 0 : rowStarts.size() - 1;
    for (int r = 0; r < rowCount; ++r)
        colCount = qMax(colCount, rowStarts.at(r + 1) - rowStarts.at(r));
    isValid = true;
}

QString EDifReader::getData(const int &row, const int &col) const
{
    if (row < 0 || row >= rowCount || col < 0 || col >= rowStarts.at(row + 1) - rowStarts.at(row))
        return QString();
    const quint64 c = cells.at(rowStarts.at(row) + col);
    const qsizetype start = qsizetype(quint32(c));
    const int length = int((c >> 32) & 0x3FFFFFFFu);
    switch (CellKind(c >> 62)) {
    case Null:
        return QString();
    case Text:
        return texts.at(int(start));
    case Run:
        break;
    }
    const char *text = bytes.constData() + start;
    switch (Charset(charset)) {
    case Ascii:
        return length == 0 ? QStringLiteral("") : QString::fromLatin1(text, length);
    case Utf8:
        return length == 0 ? QStringLiteral("") : utf8Text(text, length);
    case Cp1250:
        break;
    }
    return length == 0 ? QStringLiteral("") : windows1250()->toUnicode(text, length);
}
