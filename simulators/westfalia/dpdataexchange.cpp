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
#include "adislines.h"
#include "herd.h"
#include "recordlines.h"
#include "standin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTextCodec>
#include <QTextStream>

#include <algorithm>

namespace {

using standin::err;
using standin::readLines;

using adislines::Layout;

// ---- the converter's layouts ----

// The sender record, entity 000000, at the head of every file.
const Layout SenderHeader{
    {"00000000", 8}, {"00900006", 24}, {"00900008", 8}, {"00900003", 8}, {"00900004", 6}};

QString senderValues(const QString &sender, const QString &name, const QString &date, const QString &time)
{
    return adislines::Line(QStringLiteral("VH000000"), SenderHeader)
        .left(sender)
        .left(name)
        .left(QStringLiteral("5.50"))
        .left(date)
        .left(time)
        .text();
}

// The two queries the converter knows.
const char *const ReproductionQuery =
    "R:COW,Reg1,resp\\16,typ,SIRE,DAM,st,Gp,bd,NAME\\12,1{BIRDAT},1{CLVDAT},1{LACTNO},1{SRVDAT,SrvCount},"
    "1{PRGDAT,prgdiag},1{DRYDAT},1{abtdat},ai\\2,GateD\\9,1{G1\\2},1{G2\\2},1{G3\\2},1{G4\\2},SelCount";
const char *const MilkQuery = "R:COW,Reg1,6{IMDat,IMTim\\6,IMWt\\5.1,IMDuration\\5.1,MsCondA,IMFlg\\1,"
                              "IMIDDate\\9,IMIDTime\\6,IMStartSec\\4,IMStall\\3,IMAttachDate\\9,"
                              "IMAttachTime\\6,IMCode\\2}";

// The reproduction answer: one line per cow.
const Layout CowAnswer{{"COW", 6, -1},     {"Reg1", 16, -1},   {"resp", 16, -1},    {"typ", 3, -1},
                       {"SIRE", 16, -1},   {"DAM", 16, -1},    {"st", 3, -1},       {"Gp", 3, -1},
                       {"bd", 4, -1},      {"NAME", 12, -1},   {"BIRDAT", 9, -1},   {"CLVDAT", 9, -1},
                       {"LACTNO", 3, -1},  {"SRVDAT", 9, -1},  {"SrvCount", 6, -1}, {"PRGDAT", 9, -1},
                       {"prgdiag", 2, -1}, {"DRYDAT", 9, -1},  {"abtdat", 9, -1},   {"ai", 2, -1},
                       {"GateD", 9, -1},   {"G1", 2, -1},      {"G2", 2, -1},       {"G3", 2, -1},
                       {"G4", 2, -1},      {"SelCount", 4, -1}};

// The milk-yield answer: COW, Reg1 and six milkings of 70 characters, the weight IMWt\5.1 as its
// whole kilograms and its tenths.
const int Milkings = 6;
const Layout MilkGroup{{"IMDat", 9},        {"IMTim", 6},      {"IMWt", 4},    {"IMWtTenths", 1},
                       {"IMDuration", 5},   {"MsCondA", 5},    {"IMFlg", 1},   {"IMIDDate", 9},
                       {"IMIDTime", 6},     {"IMStartSec", 4}, {"IMStall", 3}, {"IMAttachDate", 9},
                       {"IMAttachTime", 6}, {"IMCode", 2}};
Layout milkAnswer()
{
    Layout fields{{"COW", 6}, {"Reg1", 16}};
    for (int g = 0; g < Milkings; ++g)
        fields += MilkGroup;
    return fields;
}

// The insemination records of a modify request.
const Layout EventRecord{
    {"COW", 6, 0}, {"SRVDAT", 9, -1}, {"SrvCount", 6, 0}, {"ai", 2, -1}, {"srvsire", 15, -1}};

// DairyPlan's status of a culled cow.
const int CulledStatus = 15;

bool ignored(const QString &kind)
{
    return qEnvironmentVariable("DPDATAEXCHANGE_IGNORE").split(QLatin1Char(',')).contains(kind);
}

// ---- reading the request ----

bool isComment(const QString &line)
{
    return line.isEmpty() || line.startsWith(QLatin1String("CN")) || line.startsWith(QLatin1String("C:"));
}

// Both forms of the named entity's value lines.
bool isDataLine(const QString &line)
{
    return line.startsWith(QLatin1String("VN     0")) || line.startsWith(QLatin1String("VN000000"));
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
    const QString dh = adislines::definition(QStringLiteral("DH"), QStringLiteral("000000"), SenderHeader);
    const QString vh = senderValues(QStringLiteral("DD:"), QStringLiteral("Velmorin"),
                                    QStringLiteral("20010112"), QStringLiteral("102200"));
    QVector<int> data; // indexes of the lines that are not comments
    for (int i = 0; i < lines.size(); ++i) {
        if (!isComment(lines.at(i)))
            data.append(i);
    }
    auto at = [&](int k) { return k >= 0 && k < data.size() ? lines.at(data.at(k)) : QString(); };
    if (at(0) != dh || at(1) != vh) {
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
        if (at(3) == QLatin1String(ReproductionQuery))
            r.kind = Kind::Reproduction;
        else if (at(3) == QLatin1String(MilkQuery))
            r.kind = Kind::Milk;
        else
            r.why = QStringLiteral("query not known: \"%1\"").arg(at(3).left(60));
        return r;
    }
    if (third == adislines::namedDefinition(EventRecord)) {
        const int definitionLine = data.at(2);
        if (definitionLine == 0 || lines.at(definitionLine - 1) != QLatin1String("CN ***** EVENT 0 *****")) {
            r.why = QStringLiteral("event definition without \"CN ***** EVENT 0 *****\"");
            return r;
        }
        for (int k = 3; k < data.size() - 2; ++k) {
            if (!isDataLine(at(k))) {
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

// Most cows are written "VN     0", some "VN000000": DairyPlan uses both.
QString dataPrefix(int index)
{
    return index % 5 == 4 ? QStringLiteral("VN000000") : QStringLiteral("VN     0");
}

int statusCode(const herd::Cow &c)
{
    if (!c.isPresent())
        return CulledStatus;
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

QString number(qint64 value)
{
    return QString::number(value);
}

QString cowLine(const herd::Cow &c, int index)
{
    const herd::Insemination *ins = c.lastInsemination();
    const herd::PregnancyCheck *check = c.lastPregnancyCheck();
    const QString ordinal = ins ? number(ins->ordinal) : QString();
    adislines::Line l(dataPrefix(index), CowAnswer);
    l.right(number(c.parlour)).left(c.registration).right(c.transponder).right(number(1));
    l.left(c.sire).left(c.dam).right(number(statusCode(c))).right(number(c.group)).right(number(0));
    l.left(c.name).left(date9(c.birth)).left(date9(c.lastCalving())).right(number(c.lactation()));
    l.left(date9(ins ? ins->date : QDate())).right(ordinal).left(date9(check ? check->date : QDate()));
    l.right(check ? number(check->pregnant ? 1 : 0) : QString());
    l.left(date9(c.lastDryOff())).left(date9(c.lastAbortion())).right(ordinal);
    l.unknown().unknown().unknown().unknown().unknown().right(number(c.heats.size()));
    return l.text();
}

QString milkLine(const herd::Cow &c, int index)
{
    adislines::Line l(dataPrefix(index), milkAnswer());
    l.right(number(c.parlour)).left(c.registration);
    // The last six milkings, latest first; fewer leave the rest unknown.
    QVector<herd::Milking> ms = c.milkings;
    std::stable_sort(ms.begin(), ms.end(),
                     [](const herd::Milking &a, const herd::Milking &b) { return a.at() > b.at(); });
    for (int g = 0; g < qMin(int(ms.size()), Milkings); ++g) {
        const herd::Milking &m = ms.at(g);
        const QString date = date9(m.date);
        const QString time = m.time.toString(QStringLiteral("hhmmss"));
        // IMWt\5.1 and IMDuration\5.1 carry one implied decimal.
        const QString tenths = number(qBound(0LL, qRound64(m.kg * 10), 99999LL)).rightJustified(5);
        l.left(date).left(time).left(tenths.left(4)).left(tenths.mid(4));
        l.right(number(qBound(0LL, qRound64(m.seconds / 6.0), 99999LL))).unknown().right(number(0));
        l.left(date)
            .left(time)
            .right(number(0))
            .right(number(m.stall))
            .left(date)
            .left(time)
            .right(number(0));
    }
    return l.text();
}

QStringList answerHeader(const herd::Herd &h, const QString &title)
{
    return {QStringLiteral("CN                   FILE FROM WESTFALIA DAIRYPLAN"),
            QStringLiteral("CN") + QString(18, QLatin1Char('-')),
            adislines::definition(QStringLiteral("DH"), QStringLiteral("000000"), SenderHeader),
            senderValues(QStringLiteral("DP:"), QStringLiteral("DairyPlan C21"),
                         h.referenceDay.toString(QStringLiteral("yyyyMMdd")), QStringLiteral("120000")),
            QStringLiteral("CN") + QString(18, QLatin1Char('-')),
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
    lines << (cows ? adislines::namedDefinition(CowAnswer)
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
    QStringList log;
    const int imported = herd::recordInseminationLines(h, EventRecord, request.recordLines, 2, 4, &log);
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
