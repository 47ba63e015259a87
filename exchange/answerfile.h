// Waiting for a converter's answer file and reading it line by line.
//
//   QFile answer;
//   if (!exchange::openAnswer(answer, answerPath))
//       return;                                   // no answer: the run ends silently
//   for (const QString &line : exchange::readAnswerLines(answer)) ...
//
// Large answers are read a line at a time, without a list of them all:
//   exchange::AnswerLines lines(answer);
//   QStringView line;
//   while (lines.next(&line)) ...
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QFile;
class QIODevice;
class QTextCodec;

namespace exchange {

// How long an adapter waits for an answer: attempts, and the pause between two of them.
struct AnswerWait
{
    int attempts = 120;
    int delayMs = 1000;
};

AnswerWait answerWait();
#ifdef STABLOMAT_TEST_HOOKS
// Tests shorten the wait; AnswerWait() restores the usual one.
void setAnswerWait(const AnswerWait &wait);
#endif

// Opens the file for reading; when it cannot be opened yet, waits with events running (the window
// paints, the program can be ended) and tries again, up to answerWait().attempts times in all. True when the
// file is open. An answer larger than MaxAnswerBytes counts as no answer.
bool openAnswer(QFile &file, const QString &path);

// Far above the answer of any real herd; a larger file is not read.
constexpr qint64 MaxAnswerBytes = 256 * 1024 * 1024;

// Lines longer than this are no answer lines; they are skipped without being held in memory.
constexpr int MaxAnswerLineBytes = 64 * 1024;

// The lines of an answer, without their line ends (LF, CR LF or a stray CR before the LF), decoded
// with the codec (the system's when null). Blank lines (nothing or blanks only), lines holding a NUL byte
// (binary data) and overlong lines are left out. Nothing at all when more than MaxAnswerBytes are read.
QStringList readAnswerLines(QIODevice &device, QTextCodec *codec = nullptr);

// A piece of an answer line kept beyond its line without a text of its own: where it lies in the
// answer's bytes, or, for a line that had to be decoded, where its characters were put aside.
// AnswerLines::text makes the QString.
struct AnswerText
{
    qint32 at = 0;
    qint32 size = -1; // -1: a null text

    bool isNull() const { return size < 0; }
};

// The same lines one at a time. The device is read whole first, so an answer that grows past
// MaxAnswerBytes while it is read gives no line at all. The lines are not counted beforehand: room
// reserved from their number would let blank lines cost memory.
class AnswerLines
{
public:
    AnswerLines(QIODevice &device, QTextCodec *codec = nullptr);
    // Lines read already, kept by the caller: each is given as it stands.
    explicit AnswerLines(const QStringList &lines);
    explicit AnswerLines(QStringList &&) = delete;

    // The next line, valid until the next call; false after the last.
    bool next(QStringView *line);
    // Lines left out so far as unreadable: those holding a NUL byte and overlong ones (blank lines
    // are not counted).
    int skipped() const { return skippedLines; }

    // A piece of the current line (a view into it, or a null view) to be made a text later.
    AnswerText keep(QStringView piece);
    // The text of a kept piece, as piece.toString() gave it (null for a null piece).
    QString text(const AnswerText &kept) const;
    // Where the kept piece's bytes are, for fetching them ahead; null when it has none there.
    const char *where(const AnswerText &kept) const
    {
        return kept.at >= 0 && kept.size > 0 ? bytes.constData() + kept.at : nullptr;
    }

private:
    QByteArray bytes;
    int position = 0;
    int skippedLines = 0;
    QTextCodec *codec = nullptr;
    bool plainAsLatin1 = false; // the codec reads printable ASCII as itself
    QString decoded;            // the current line; its buffer is reused
    int lineStart = -1;         // of the current line in `bytes` when it is its bytes widened, else -1
    QString keptChars;          // kept pieces of the other lines, one after the other
    const QStringList *list = nullptr;
    int listIndex = 0;
};

} // namespace exchange
