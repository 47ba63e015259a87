// Stand-in for DeLaval's ISO converter iso32.exe (Alpro, DelPro).
//
//   iso32.exe -f <input> -o <output> -x   answers the cow request with one tab-separated line per cow
//   iso32.exe -f <input> -o <output>      imports an insemination record file into the herd
//
// The herd is "herd.json" in the working directory, or the file named by HERD_FILE. A request or
// record file it does not understand gets no answer and a non-zero exit status.
//
// For fault-injection tests:
//   ISO32_DELAY_MS            wait this long before answering
//   ISO32_LINE_DELAY_MS       wait this long after each line written
//   ISO32_CRASH_AFTER_LINES   abort after writing (or importing) this many lines
//   ISO32_DIRECT_WRITE=1      write the answer in place instead of under a temporary name
//   ISO32_DATE_FORMAT         "dd.MM.yyyy" (default), "d.M.yyyy", "yyyyMMdd" or "mixed"
//   ISO32_EXIT_CODE           exit status after a complete answer
//   ISO32_IMPORT_FAULT        "exit" (status 7), "crash" or "hang" (60 s) instead of importing
#include "adislines.h"
#include "herd.h"
#include "recordlines.h"
#include "standin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>
#include <QThread>

#include <cstdlib>
#include <memory>

namespace {

using standin::envInt;
using standin::err;
using standin::readLines;

using adislines::Layout;

// ---- the converter's layouts ----

// The sender record, entity 990001, that heads every DeLaval file.
const Layout SenderHeader{
    {"00900006", 24}, {"00900009", 8}, {"00900002", 8}, {"00900009", 8}, {"00900002", 8}};

QString senderValues()
{
    return adislines::Line(QStringLiteral("VH990001"), SenderHeader)
        .left(QStringLiteral(" DeLaval AB Alpro/ISO"))
        .left(QStringLiteral("Alpro_DD"))
        .left(QStringLiteral("  6.40"))
        .left(QStringLiteral("aa_Alpro"))
        .left(QStringLiteral("  5.0"))
        .text();
}

// The cow request, entity 390006: the items answered, one column each, in this order.
const Layout CowRequest{
    {"00900070", 6},    {"00300033", 8},    {"00300033", 8},    {"00300348", 15},   {"00303924", 15},
    {"00303925", 15},   {"00303926", 1},    {"00300282", 5},    {"00300002", 5},    {"00303930", 15},
    {"00303931", 15},   {"00300003", 3},    {"00300035", 8},    {"00300036", 2},    {"00300034", 8},
    {"00300357", 8},    {"00300037", 2},    {"00304058", 1},    {"00351141", 8},    {"00300194", 8},
    {"00303938", 8},    {"00304063", 1},    {"00300374", 15},   {"00300130", 4, 2}, {"00300133", 4, 2},
    {"00300136", 4, 2}, {"00300139", 4, 2}, {"00300119", 6},    {"00300120", 6},    {"00300121", 6},
    {"00300122", 6},    {"00300366", 6},    {"00300367", 6},    {"00300368", 6},    {"00300369", 6},
    {"00308503", 8},    {"00300017", 1},    {"00300142", 4, 2}, {"00300145", 4, 2}, {"00300148", 4, 2},
    {"00300151", 4, 2}, {"00300123", 6},    {"00300124", 6},    {"00300125", 6},    {"00300126", 6},
    {"00300370", 6},    {"00300371", 6},    {"00300372", 6},    {"00300373", 6}};

// The insemination records handed back, entity 390006: cow, date, ordinal, sire.
const Layout InseminationRecord{{"00300001", 6}, {"00300357", 8}, {"00300037", 2}, {"00300374", 15}};

// ---- writing the answer, atomically unless told otherwise ----

class AnswerWriter
{
public:
    explicit AnswerWriter(const QString &path)
        : direct(qEnvironmentVariable("ISO32_DIRECT_WRITE") == QLatin1String("1")),
          lineDelay(envInt("ISO32_LINE_DELAY_MS", 0)), crashAfter(envInt("ISO32_CRASH_AFTER_LINES", -1))
    {
        if (direct) {
            plain = std::make_unique<QFile>(path);
            file = plain.get();
        } else {
            safe = std::make_unique<QSaveFile>(path);
            file = safe.get();
        }
    }

    bool open() { return file->open(QIODevice::WriteOnly | QIODevice::Truncate); }

    bool line(const QString &text)
    {
        const QByteArray bytes = text.toUtf8() + "\r\n";
        if (file->write(bytes) != bytes.size())
            return false;
        ++written;
        if (lineDelay > 0 || crashAfter >= 0) {
            // Whatever was written is on disk when the process stops.
            if (plain)
                plain->flush();
            else
                safe->flush();
        }
        if (lineDelay > 0)
            QThread::msleep(static_cast<unsigned long>(lineDelay));
        if (crashAfter >= 0 && written >= crashAfter)
            std::abort();
        return true;
    }

    bool commit()
    {
        if (crashAfter >= 0 && written >= crashAfter)
            std::abort();
        if (plain) {
            const bool ok = plain->flush();
            plain->close();
            return ok && plain->error() == QFileDevice::NoError;
        }
        return safe->flush() && safe->commit();
    }

    QString errorString() const { return file->errorString(); }

private:
    bool direct;
    int lineDelay;
    int crashAfter;
    int written = 0;
    std::unique_ptr<QFile> plain;
    std::unique_ptr<QSaveFile> safe;
    QFileDevice *file = nullptr;
};

// ---- reading the input ----

bool isCommentOrBlank(const QString &line)
{
    return line.isEmpty() || line.startsWith(QLatin1String("CN"));
}

// The header block's DH and VH lines, then the given lines, then "ZN" as the last line: comments
// and blank lines aside, nothing else. With records, their "VN390006" lines are collected too.
bool understood(const QStringList &lines, const QString &expected, bool withRecords, QStringList *valueLines,
                QString *why)
{
    const QStringList want{
        adislines::definition(QStringLiteral("DH"), QStringLiteral("990001"), SenderHeader), senderValues(),
        expected};
    int next = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const QString &l = lines.at(i);
        if (isCommentOrBlank(l))
            continue;
        if (next < want.size()) {
            if (l != want.at(next)) {
                *why = QStringLiteral("line %1 is not \"%2\"").arg(i + 1).arg(want.at(next));
                return false;
            }
            ++next;
            continue;
        }
        if (l == QLatin1String("ZN")) {
            for (int k = i + 1; k < lines.size(); ++k) {
                if (!lines.at(k).isEmpty()) {
                    *why = QStringLiteral("line %1 follows \"ZN\"").arg(k + 1);
                    return false;
                }
            }
            return true;
        }
        if (withRecords && l.startsWith(QLatin1String("VN390006"))) {
            valueLines->append(l);
            continue;
        }
        *why = QStringLiteral("line %1 is not understood: \"%2\"").arg(i + 1).arg(l.left(60));
        return false;
    }
    *why = next < want.size() ? QStringLiteral("\"%1\" missing").arg(want.at(next))
                              : QStringLiteral("no \"ZN\"");
    return false;
}

// ---- the cow answer ----

// One answer line: a value for each request item in its order, unknown ones filled with "?".
class AnswerLine
{
public:
    explicit AnswerLine(int cow) : dateStyle(cow) {}

    AnswerLine &text(const QString &value)
    {
        values << (value.isEmpty() ? unknownValue() : value);
        return *this;
    }
    AnswerLine &date(const QDate &value)
    {
        return text(value.isValid() ? value.toString(format()) : QString());
    }
    AnswerLine &number(int value, bool known = true)
    {
        return text(known ? QString::number(value) : QString());
    }
    AnswerLine &unknown() { return text(QString()); }

    // The converter closes every line with a tab.
    QString toString() const { return values.join(QLatin1Char('\t')) + QLatin1Char('\t'); }

private:
    QString unknownValue() const { return QString(CowRequest.at(values.size()).width, QLatin1Char('?')); }
    QString format() const
    {
        static const QString chosen = qEnvironmentVariable("ISO32_DATE_FORMAT", QStringLiteral("dd.MM.yyyy"));
        if (chosen != QLatin1String("mixed"))
            return chosen;
        static const QStringList all{QStringLiteral("dd.MM.yyyy"), QStringLiteral("d.M.yyyy"),
                                     QStringLiteral("yyyyMMdd")};
        return all.at(dateStyle % all.size());
    }

    QStringList values;
    int dateStyle;
};

QString kg(double value)
{
    // The converter writes the decimal comma of the farm PC's locale.
    return QString::number(value, 'f', 2).replace(QLatin1Char('.'), QLatin1Char(','));
}

QString answerLine(const herd::Cow &c, const QDate &today, int index)
{
    AnswerLine a(index);
    const herd::Insemination *ins = c.lastInsemination();
    const herd::PregnancyCheck *check = c.lastPregnancyCheck();
    a.number(c.parlour).date(c.birth).date(c.birth).text(c.registration).text(c.dam).text(c.sire);
    a.text(QStringLiteral("2")).unknown().text(c.transponder.right(5)).unknown().text(c.transponder);
    a.number(c.group, c.group > 0).date(c.lastCalving()).number(c.lactation()).date(c.lastHeat());
    a.date(ins ? ins->date : QDate()).number(ins ? ins->ordinal : 0, ins != nullptr);
    a.number(check && check->pregnant ? 1 : 0, check != nullptr).date(check ? check->date : QDate());
    a.date(c.lastDryOff()).date(c.lastAbortion()).text(QStringLiteral("0")).text(ins ? ins->sire : QString());

    // Four milkings a day at most: milk, durations, times; the rest unknown.
    auto day = [&](const QDate &date) {
        const QVector<herd::Milking> ms = c.milkingsOn(date);
        for (int k = 0; k < 4; ++k)
            a.text(k < ms.size() ? kg(ms.at(k).kg) : QString());
        for (int k = 0; k < 4; ++k)
            a.text(k < ms.size() ? QString::number(ms.at(k).seconds) : QString());
        for (int k = 0; k < 4; ++k)
            a.text(k < ms.size() ? ms.at(k).time.toString(QStringLiteral("hh:mm:ss")) : QString());
    };
    day(today);
    a.date(today).number(c.isPresent() ? 0 : 1);
    day(today.addDays(-1));
    return a.toString();
}

int exportCows(const QStringList &request, const QString &herdPath, const QString &outputPath)
{
    QString why;
    QStringList none;
    if (!understood(request,
                    adislines::definition(QStringLiteral("RN"), QStringLiteral("390006"), CowRequest), false,
                    &none, &why)) {
        err() << "iso32: request not understood: " << why << "\n";
        return 3;
    }
    herd::Herd h;
    if (!h.load(herdPath, &why)) {
        err() << "iso32: " << why << "\n";
        return 4;
    }
    const QDate today = h.referenceDay.isValid() ? h.referenceDay : QDate::currentDate();
    QVector<const herd::Cow *> order;
    order.reserve(h.cows.size());
    for (const herd::Cow &c : h.cows)
        order.append(&c);
    std::stable_sort(order.begin(), order.end(),
                     [](const herd::Cow *a, const herd::Cow *b) { return a->parlour < b->parlour; });

    QThread::msleep(static_cast<unsigned long>(qMax(0, envInt("ISO32_DELAY_MS", 0))));
    AnswerWriter out(outputPath);
    if (!out.open()) {
        err() << "iso32: cannot write " << outputPath << ": " << out.errorString() << "\n";
        return 5;
    }
    for (int i = 0; i < order.size(); ++i) {
        if (!out.line(answerLine(*order.at(i), today, i))) {
            err() << "iso32: cannot write " << outputPath << ": " << out.errorString() << "\n";
            return 5;
        }
    }
    if (!out.commit()) {
        err() << "iso32: cannot write " << outputPath << ": " << out.errorString() << "\n";
        return 5;
    }
    return envInt("ISO32_EXIT_CODE", 0);
}

// ---- the insemination import ----

int importInseminations(const QStringList &records, const QString &herdPath, const QString &outputPath)
{
    QString why;
    QStringList valueLines;
    if (!understood(records,
                    adislines::definition(QStringLiteral("DN"), QStringLiteral("390006"), InseminationRecord),
                    true, &valueLines, &why)) {
        err() << "iso32: record file not understood: " << why << "\n";
        return 3;
    }
    herd::Herd h;
    if (!h.load(herdPath, &why)) {
        err() << "iso32: " << why << "\n";
        return 4;
    }
    QThread::msleep(static_cast<unsigned long>(qMax(0, envInt("ISO32_DELAY_MS", 0))));
    const QString fault = qEnvironmentVariable("ISO32_IMPORT_FAULT");
    if (fault == QLatin1String("exit"))
        return 7;
    if (fault == QLatin1String("crash"))
        std::abort();
    if (fault == QLatin1String("hang")) {
        QThread::sleep(60);
        return 0;
    }
    const int crashAfter = envInt("ISO32_CRASH_AFTER_LINES", -1);

    QStringList log;
    const int imported =
        herd::recordInseminationLines(h, InseminationRecord, valueLines, 2, 3, &log, [crashAfter](int n) {
            if (crashAfter >= 0 && n >= crashAfter)
                std::abort();
        });
    if (imported > 0 && !h.save(herdPath, &why)) {
        err() << "iso32: " << why << "\n";
        return 4;
    }
    log.prepend(QStringLiteral("%1 of %2 inseminations imported").arg(imported).arg(valueLines.size()));

    AnswerWriter out(outputPath);
    bool written = out.open();
    for (const QString &l : qAsConst(log))
        written = written && out.line(l);
    if (!written || !out.commit()) {
        err() << "iso32: cannot write " << outputPath << ": " << out.errorString() << "\n";
        return 5;
    }
    return envInt("ISO32_EXIT_CODE", 0);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString input;
    QString output;
    bool exportMode = false;
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if ((a == QLatin1String("-f") || a == QLatin1String("-o")) && i + 1 < args.size())
            (a == QLatin1String("-f") ? input : output) = args.at(++i);
        else if (a == QLatin1String("-x"))
            exportMode = true;
        else {
            err() << "iso32: unknown argument \"" << a << "\"\n";
            return 2;
        }
    }
    if (input.isEmpty() || output.isEmpty()) {
        err() << "usage: iso32.exe -f <input> -o <output> [-x]\n";
        return 2;
    }
    const QString herdPath =
        qEnvironmentVariable("HERD_FILE", QDir::current().filePath(QStringLiteral("herd.json")));

    QString why;
    const QStringList lines = readLines(input, &why);
    if (!why.isEmpty()) {
        err() << "iso32: " << why << "\n";
        return 3;
    }
    return exportMode ? exportCows(lines, herdPath, output) : importInseminations(lines, herdPath, output);
}
