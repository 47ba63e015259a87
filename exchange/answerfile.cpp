#include "exchange/answerfile.h"

#include "exchange/converter.h"

#include <QFile>
#include <QTextCodec>

#include <cstring>

namespace exchange {

#ifdef STABLOMAT_TEST_HOOKS
namespace {

AnswerWait currentWait;

} // namespace

AnswerWait answerWait()
{
    return currentWait;
}

void setAnswerWait(const AnswerWait &wait)
{
    currentWait = wait;
}
#else
AnswerWait answerWait()
{
    return AnswerWait();
}
#endif

bool openAnswer(QFile &file, const QString &path)
{
    if (file.isOpen())
        file.close();
    file.setFileName(path);
    const AnswerWait wait = answerWait();
    for (int attempt = 0; attempt < qMax(1, wait.attempts); ++attempt) {
        // The program ends: no answer is waited for any more.
        if (exchange::converterRunsEnded())
            return false;
        if (attempt > 0 && !exchange::waitWithEvents(wait.delayMs))
            return false;
        if (file.open(QIODevice::ReadOnly)) {
            if (file.size() <= MaxAnswerBytes)
                return true;
            file.close();
            return false;
        }
    }
    return false;
}

namespace {

// Printable ASCII, tab and CR: every codec that reads these bytes as themselves reads a line of
// them byte for byte (no stateful shifts, no multi-byte sequences).
bool isPlainByte(uchar c)
{
    return (c >= 0x20 && c <= 0x7e) || c == '\t' || c == '\r';
}

// Lanes of w that hold the byte 0 get their high bit set; exact per byte (no carries across).
quint64 zeroBytes(quint64 w)
{
    constexpr quint64 low7 = 0x7f7f7f7f7f7f7f7full;
    return ~(((w & low7) + low7) | w) & ~low7;
}

// Whether every byte is plain; eight bytes at a time.
bool isPlain(const char *data, int size)
{
    constexpr quint64 ones = 0x0101010101010101ull, low7 = 0x7f7f7f7f7f7f7f7full, highs = ~low7;
    int i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 w;
        std::memcpy(&w, data + i, 8);
        const quint64 below = ~(((w & low7) + (0x80 - 0x20) * ones) | w) & highs; // below 0x20
        const quint64 allowed = zeroBytes(w ^ ('\t' * ones)) | zeroBytes(w ^ ('\r' * ones));
        if ((w & highs) | (below & ~allowed) | zeroBytes(w ^ (0x7f * ones)))
            return false;
    }
    for (; i < size; ++i) {
        if (!isPlainByte(uchar(data[i])))
            return false;
    }
    return true;
}

bool readsPlainAsLatin1(QTextCodec *codec)
{
    QByteArray plain;
    for (int c = 0x20; c < 0x7f; ++c)
        plain += char(c);
    plain += "\t\r";
    return codec->toUnicode(plain) == QString::fromLatin1(plain);
}

} // namespace

AnswerLines::AnswerLines(QIODevice &device, QTextCodec *textCodec)
    : codec(textCodec ? textCodec : QTextCodec::codecForLocale())
{
    plainAsLatin1 = readsPlainAsLatin1(codec);
    // Read straight into the buffer, sized for the whole file at once; it grows should the file
    // grow while it is read, to one byte past the limit at most.
    constexpr qint64 most = MaxAnswerBytes + 1;
    const qint64 expected = device.isSequential() ? 0 : device.size() - device.pos();
    int used = 0;
    bytes.resize(int(qBound<qint64>(64 * 1024, expected + 1, most)));
    for (;;) {
        if (used == bytes.size()) {
            if (used >= most)
                break;
            bytes.resize(int(qMin<qint64>(2 * qint64(bytes.size()), most)));
        }
        const qint64 n = device.read(bytes.data() + used, bytes.size() - used);
        if (n <= 0)
            break;
        used += int(n);
    }
    // A file that grew past the limit while it was read is no answer either.
    if (used > MaxAnswerBytes)
        bytes.clear();
    else
        bytes.resize(used);
}

AnswerLines::AnswerLines(const QStringList &lines) : list(&lines) {}

bool AnswerLines::next(QStringView *line)
{
    if (list) {
        if (listIndex >= list->size())
            return false;
        *line = list->at(listIndex++);
        return true;
    }
    const char *data = bytes.constData();
    while (position < bytes.size()) {
        const char *nl =
            static_cast<const char *>(std::memchr(data + position, '\n', size_t(bytes.size() - position)));
        const int start = position;
        const int stop = nl ? int(nl - data) : bytes.size();
        position = stop + 1;
        // Overlong lines and lines holding a NUL byte (binary data) are no answer lines; a plain
        // line holds none.
        const bool overlong = stop - start > MaxAnswerLineBytes;
        const bool plain = !overlong && plainAsLatin1 && isPlain(data + start, stop - start);
        if (overlong || (!plain && std::memchr(data + start, '\0', size_t(stop - start)))) {
            ++skippedLines;
            continue;
        }
        int end = stop;
        while (end > start && data[end - 1] == '\r')
            --end;
        int first = start;
        while (first < end && (data[first] == ' ' || data[first] == '\t'))
            ++first;
        if (first == end)
            continue;
        const int size = end - start;
        // Latin-1 assignment reuses the line's buffer.
        if (plain) {
            decoded = QLatin1String(data + start, size);
            lineStart = start;
        } else {
            decoded = codec->toUnicode(data + start, size);
            lineStart = -1;
        }
        *line = decoded;
        return true;
    }
    return false;
}

AnswerText AnswerLines::keep(QStringView piece)
{
    AnswerText kept;
    if (piece.isNull())
        return kept;
    kept.size = int(piece.size());
    if (!list && lineStart >= 0) {
        kept.at = lineStart + int(piece.data() - decoded.constData());
    } else {
        kept.at = -1 - keptChars.size();
        keptChars.append(piece);
    }
    return kept;
}

QString AnswerLines::text(const AnswerText &kept) const
{
    if (kept.isNull())
        return QString();
    if (kept.at < 0)
        return QString(keptChars.constData() - 1 - kept.at, kept.size);
    return QString::fromLatin1(bytes.constData() + kept.at, kept.size);
}

QStringList readAnswerLines(QIODevice &device, QTextCodec *codec)
{
    AnswerLines answer(device, codec);
    QStringList lines;
    QStringView line;
    while (answer.next(&line))
        lines.append(line.toString());
    return lines;
}

} // namespace exchange
