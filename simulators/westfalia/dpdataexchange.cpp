// Stand-in for DairyPlan's data-exchange converter dpdataexchange.exe (Westfalia).
//
//   dpdataexchange.exe -T -A -E <file>
//
// The file is either a query ("ON <answer name>", "C: ...", "R:...", "TN", "ZN" after the header
// block), answered with one line per cow in the file that the "ON" line names, or a modify request
// ("CN ***** EVENT 0 *****" and the event definition, then its records), imported into the herd.
// The herd is "herd.json" in the working directory, or the file named by HERD_FILE. A file it does
// not understand gets no answer and a non-zero exit status.
//
// For fault-injection tests:
//   DPDATAEXCHANGE_IGNORE   comma-separated "reproduction", "milk", "modify": run, but leave that
//                           request unanswered (or not imported)
//   DPDATAEXCHANGE_FAIL_MODIFY=1   import nothing and exit with status 7
#include "adapters/westfalia/westfaliaformat.h"
#include "herd.h"
#include "recordlines.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTextCodec>
#include <QTextStream>

#include <algorithm>

namespace {

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

bool ignored(const QString &kind)
{
    return qEnvironmentVariable("DPDATAEXCHANGE_IGNORE").split(QLatin1Char(',')).contains(kind);
}

// ---- reading the request ----

QStringList readLines(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return {};
    }
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (QString &l : lines) {
        if (l.endsWith(QLatin1Char('\r')))
            l.chop(1);
    }
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool isComment(const QString &line)
{
    return line.isEmpty() || line.startsWith(QLatin1String("CN")) || line.startsWith(QLatin1String("C:"));
}

enum class Kind
{
    Unknown,
    Reproduction,
    Milk,
    Modify,
};

struct Request
{
    Kind kind = Kind::Unknown;
    QString answerName;      // queries
    QStringList recordLines; // modify request
    QString why;             // when not understood
};

// Comments aside: the header's DH and VH lines, then either "ON <name>", one known "R:" line, "TN"
// and "ZN", or the event definition (right after "CN ***** EVENT 0 *****"), its records, "TN" and
// "ZN". Nothing may follow "ZN".
Request understand(const QStringList &lines)
{
    Request r;
    const QStringList header = westfalia::headerBlock();
    QVector<int> data; // indexes of the lines that are not comments
    for (int i = 0; i < lines.size(); ++i) {
        if (!isComment(lines.at(i)))
            data.append(i);
    }
    auto at = [&](int k) { return k >= 0 && k < data.size() ? lines.at(data.at(k)) : QString(); };
    if (at(0) != header.at(4) || at(1) != header.at(5)) {
        r.why = QStringLiteral("no Westfalia header block");
        return r;
    }
    if (data.isEmpty() || at(data.size() - 1) != QLatin1String("ZN") ||
        at(data.size() - 2) != QLatin1String("TN")) {
        r.why = QStringLiteral("does not end with \"TN\" and \"ZN\"");
        return r;
    }
    const QString third = at(2);
    if (third.startsWith(QLatin1String("ON "))) {
        if (data.size() != 6) {
            r.why = QStringLiteral("a query holds one \"R:\" line");
            return r;
        }
        r.answerName = third.mid(3).trimmed();
        if (r.answerName.isEmpty()) {
            r.why = QStringLiteral("no answer file named");
            return r;
        }
        if (at(3) == westfalia::reproductionQuery())
            r.kind = Kind::Reproduction;
        else if (at(3) == westfalia::milkQuery())
            r.kind = Kind::Milk;
        else
            r.why = QStringLiteral("query not known: \"%1\"").arg(at(3).left(60));
        return r;
    }
    const adis::Entity &records = westfalia::eventRecord();
    if (third == records.definition()) {
        const int definitionLine = data.at(2);
        if (definitionLine == 0 || lines.at(definitionLine - 1) != QLatin1String("CN ***** EVENT 0 *****")) {
            r.why = QStringLiteral("event definition without \"CN ***** EVENT 0 *****\"");
            return r;
        }
        for (int k = 3; k < data.size() - 2; ++k) {
            if (!records.isValueLine(at(k))) {
                r.why = QStringLiteral("line %1 is no event record").arg(data.at(k) + 1);
                return r;
            }
            r.recordLines << at(k);
        }
        r.kind = Kind::Modify;
        return r;
    }
    r.why = QStringLiteral("line %1 is not understood: \"%2\"").arg(data.value(2) + 1).arg(third.left(60));
    return r;
}

// ---- writing an answer ----

QString date9(const QDate &date)
{
    return date.isValid() ? date.toString(QStringLiteral("yyyyMMdd")) + QLatin1Char(' ')
                          : QString(9, QLatin1Char('?'));
}

// Values are cut to their field, as the converter's fixed columns do.
class Row
{
public:
    explicit Row(const adis::Entity &table, const QString &prefix) : entity(table), line(prefix) {}

    Row &text(const QString &value) { return put(value.isEmpty() ? unknownText() : value, false); }
    Row &code(const QString &value) { return put(value.isEmpty() ? unknownText() : value, true); }
    Row &number(qint64 value) { return put(QString::number(value), true); }
    Row &date(const QDate &value) { return put(date9(value).left(width()), false); }
    Row &unknown() { return put(unknownText(), false); }

    QString toString() const { return line; }

private:
    int width() const { return entity.width(next); }
    QString unknownText() const { return QString(width(), QLatin1Char('?')); }
    Row &put(const QString &value, bool right)
    {
        const int w = width();
        const QString cut = value.left(w);
        line += right ? cut.rightJustified(w) : cut.leftJustified(w);
        ++next;
        return *this;
    }

    const adis::Entity &entity;
    QString line;
    int next = 0;
};

// Most cows are written "VN     0", some "VN000000": DairyPlan uses both.
QString dataPrefix(int index)
{
    return index % 5 == 4 ? QStringLiteral("VN000000") : QStringLiteral("VN     0");
}

int statusCode(const herd::Cow &c)
{
    if (!c.isPresent())
        return westfalia::CulledStatus;
    const QDate calved = c.lastCalving();
    if (c.lastDryOff().isValid() && c.lastDryOff() >= calved)
        return 5; // dry
    const herd::PregnancyCheck *check = c.lastPregnancyCheck();
    if (check && check->pregnant && (!calved.isValid() || check->date >= calved))
        return 4; // pregnant
    const herd::Insemination *ins = c.lastInsemination();
    if (ins && (!calved.isValid() || ins->date >= calved))
        return 3;                    // served
    return calved.isValid() ? 2 : 1; // fresh, heifer
}

QString cowLine(const herd::Cow &c, int index)
{
    const herd::Insemination *ins = c.lastInsemination();
    const herd::PregnancyCheck *check = c.lastPregnancyCheck();
    Row r(westfalia::cowAnswer(), dataPrefix(index));
    r.number(c.parlour)
        .text(c.registration)
        .code(c.transponder)
        .number(1)
        .text(c.sire)
        .text(c.dam)
        .number(statusCode(c))
        .number(c.group)
        .number(0)
        .text(c.name)
        .date(c.birth)
        .date(c.lastCalving())
        .number(c.lactation())
        .date(ins ? ins->date : QDate());
    if (ins)
        r.number(ins->ordinal);
    else
        r.unknown();
    r.date(check ? check->date : QDate());
    if (check)
        r.number(check->pregnant ? 1 : 0);
    else
        r.unknown();
    r.date(c.lastDryOff()).date(c.lastAbortion());
    if (ins)
        r.number(ins->ordinal);
    else
        r.unknown();
    r.unknown().unknown().unknown().unknown().unknown().number(c.heats.size());
    return r.toString();
}

QString milkLine(const herd::Cow &c, int index)
{
    Row r(westfalia::milkAnswer(), dataPrefix(index));
    r.number(c.parlour).text(c.registration);
    // The last six milkings, latest first.
    QVector<herd::Milking> ms = c.milkings;
    std::stable_sort(ms.begin(), ms.end(),
                     [](const herd::Milking &a, const herd::Milking &b) { return a.at() > b.at(); });
    for (int g = 0; g < westfalia::MilkingsPerLine; ++g) {
        if (g >= ms.size()) {
            for (int k = 0; k < westfalia::milkcol::GroupSize; ++k)
                r.unknown();
            continue;
        }
        const herd::Milking &m = ms.at(g);
        const QString time = m.time.toString(QStringLiteral("hhmmss"));
        // IMWt\5.1 and IMDuration\5.1 carry one implied decimal.
        const QString tenths = QString::number(qBound(0LL, qRound64(m.kg * 10), 99999LL)).rightJustified(5);
        r.date(m.date).text(time).text(tenths.left(4)).text(tenths.mid(4));
        r.number(qBound(0LL, qRound64(m.seconds / 6.0), 99999LL)).unknown().number(0);
        r.date(m.date).text(time).number(0).number(m.stall).date(m.date).text(time).number(0);
    }
    return r.toString();
}

QStringList answerHeader(const herd::Herd &h, const QString &title)
{
    const adis::Entity &header = westfalia::senderHeader();
    return {adis::comment(QStringLiteral("                   FILE FROM WESTFALIA DAIRYPLAN")),
            adis::comment(QString(18, QLatin1Char('-'))),
            header.headerDefinition(),
            adis::ValueLine(header, true)
                .text(QStringLiteral("DP:"))
                .text(QStringLiteral("DairyPlan C21"))
                .text(QStringLiteral("5.50"))
                .text(h.referenceDay.toString(QStringLiteral("yyyyMMdd")))
                .text(QStringLiteral("120000"))
                .toString(),
            adis::comment(QString(18, QLatin1Char('-'))),
            QStringLiteral("C: ") + title};
}

int answer(const Request &request, const QString &herdPath)
{
    herd::Herd h;
    QString why;
    if (!h.load(herdPath, &why)) {
        err() << "dpdataexchange: " << why << "\n";
        return 4;
    }
    QVector<const herd::Cow *> order;
    for (const herd::Cow &c : h.cows)
        order.append(&c);
    std::stable_sort(order.begin(), order.end(),
                     [](const herd::Cow *a, const herd::Cow *b) { return a->parlour < b->parlour; });

    const bool cows = request.kind == Kind::Reproduction;
    QStringList lines = answerHeader(h, cows ? QStringLiteral("Udaje o kravach") : QStringLiteral("dojeni"));
    lines << (cows ? westfalia::cowAnswer().definition()
                   : QStringLiteral("DN     0COW\\6,Reg1\\16,6{IMDat\\9,IMTim\\6,IMWt\\5.1,IMDuration\\5.1,"
                                    "MsCondA\\5,IMFlg\\1,IMIDDate\\9,IMIDTime\\6,IMStartSec\\4,IMStall\\3,"
                                    "IMAttachDate\\9,IMAttachTime\\6,IMCode\\2}"));
    for (int i = 0; i < order.size(); ++i) {
        if (i > 0 && i % 50 == 0)
            lines << QStringLiteral("CN %1 animals").arg(i);
        lines << (cows ? cowLine(*order.at(i), i) : milkLine(*order.at(i), i));
    }
    lines << QStringLiteral("TN") << QStringLiteral("ZN");

    // The program opens the answer as soon as it exists: it appears complete or not at all.
    QSaveFile out(QDir::current().filePath(request.answerName));
    QTextCodec *codec = QTextCodec::codecForLocale();
    bool ok = out.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (const QString &l : qAsConst(lines)) {
        if (!ok)
            break;
        const QByteArray bytes = codec->fromUnicode(l) + "\r\n";
        ok = out.write(bytes) == bytes.size();
    }
    if (!ok || !out.flush() || !out.commit()) {
        err() << "dpdataexchange: cannot write " << request.answerName << ": " << out.errorString() << "\n";
        return 5;
    }
    return 0;
}

// ---- the modify request ----

int import(const Request &request, const QString &herdPath)
{
    herd::Herd h;
    QString why;
    if (!h.load(herdPath, &why)) {
        err() << "dpdataexchange: " << why << "\n";
        return 4;
    }
    const adis::Entity &table = westfalia::eventRecord();
    QStringList log;
    const int imported = herd::recordInseminationLines(h, table, request.recordLines, 2, 4, &log);
    if (imported > 0 && !h.save(herdPath, &why)) {
        err() << "dpdataexchange: " << why << "\n";
        return 4;
    }
    QTextStream out(stdout);
    out << QStringLiteral("%1 of %2 inseminations imported\n").arg(imported).arg(request.recordLines.size());
    for (const QString &l : qAsConst(log))
        out << l << "\n";
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString input;
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("-E") && i + 1 < args.size())
            input = args.at(++i);
        else if (a != QLatin1String("-T") && a != QLatin1String("-A")) {
            err() << "dpdataexchange: unknown argument \"" << a << "\"\n";
            return 2;
        }
    }
    if (input.isEmpty()) {
        err() << "usage: dpdataexchange.exe -T -A -E <file>\n";
        return 2;
    }
    const QString herdPath =
        qEnvironmentVariable("HERD_FILE", QDir::current().filePath(QStringLiteral("herd.json")));

    QString why;
    const QStringList lines = readLines(input, &why);
    if (!why.isEmpty()) {
        err() << "dpdataexchange: " << why << "\n";
        return 3;
    }
    const Request request = understand(lines);
    switch (request.kind) {
    case Kind::Unknown:
        err() << "dpdataexchange: " << input << " not understood: " << request.why << "\n";
        return 3;
    case Kind::Reproduction:
        return ignored(QStringLiteral("reproduction")) ? 0 : answer(request, herdPath);
    case Kind::Milk:
        return ignored(QStringLiteral("milk")) ? 0 : answer(request, herdPath);
    case Kind::Modify:
        if (qEnvironmentVariable("DPDATAEXCHANGE_FAIL_MODIFY") == QLatin1String("1"))
            return 7;
        return ignored(QStringLiteral("modify")) ? 0 : import(request, herdPath);
    }
    return 3;
}
