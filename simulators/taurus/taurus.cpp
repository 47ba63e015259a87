// Stand-in for the Taurus converter: taurus2.exe (Lely) and taupro2.exe (Fullwood).
//
// Started without arguments in its directory, it reads "tau_ms.2" and
//   - answers a general-cow request ("RN201863...") in "TAU_PRC.2": one "VN201863" line per present
//     cow holding exactly the items asked for, at their widths;
//   - records the inseminations of a write-back request ("DN2018630020189606000200050080" and its
//     value lines) into the herd.
// Either way it leaves a short log in "TAU_LOG.2". The herd is "herd.json" in the working
// directory, or the file named by HERD_FILE. A request it does not understand gets no answer and
// exit status 3 (herd not readable: 4, output not writable: 5, arguments given: 2).
//
// For tests:
//   TAURUS_DELAY_MS        wait this long before answering or importing
//   TAURUS_REQUEST_LOG     append every request read, as it was on disk, to this file
//   TAURUS_EXTRA_ANSWER    append the lines of this file to the answer as they are
//   TAURUS_FAIL_RECORD=1   record nothing of a write-back request and exit with status 7
#include "adislines.h"
#include "herd.h"
#include "standin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>
#include <QThread>

#include <algorithm>

namespace {

using standin::envInt;
using standin::err;
using standin::splitLines;

using adislines::Layout;

// ---- the converter's layouts ----

// The sender record, entity 201861, and its one value line.
const Layout SenderHeader{{"00000000", 8},  {"00201575", 8}, {"00201576", 6},
                          {"00201681", 24}, {"00201684", 8}, {"00201685", 8}};

QString senderDefinition()
{
    return adislines::definition(QStringLiteral("DH"), QStringLiteral("201861"), SenderHeader);
}

QString senderValues()
{
    return adislines::Line(QStringLiteral("VH201861"), SenderHeader)
        .left(QStringLiteral("DD"))
        .left(QStringLiteral("20170704"))
        .left(QStringLiteral("142855"))
        .left(QStringLiteral("Agis TFS 6.1.641"))
        .left(QStringLiteral("6.1.641"))
        .left(QStringLiteral("STK 2.0"))
        .text();
}

// General cow, entity 201863: every item a request may ask for, each at its own width.
const QString GeneralCowEntity = QStringLiteral("201863");
const Layout GeneralCow{{"00201896", 6},  {"00201812", 15}, {"00200064", 2}, {"00201695", 8}, {"00200042", 8},
                        {"00200050", 8},  {"00200513", 8},  {"00201743", 8}, {"00900085", 1}, {"00900059", 8},
                        {"00202461", 15}, {"00989217", 15}, {"00900058", 2}};
// The one item written as a text, left-justified: 00989217, the sire.
const int SireItem = 11;

// The converter's files in its directory.
const QString RequestFile = QStringLiteral("tau_ms.2");
const QString AnswerFile = QStringLiteral("TAU_PRC.2");

// The records Fullwood hands back: cow id and insemination date.
const Layout Evidence{{"00201896", 6}, {"00200050", 8}};

// Complete or not at all: the program opens the answer as soon as it exists.
bool writeAtomically(const QString &path, const QStringList &lines, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    QByteArray bytes;
    for (const QString &l : lines)
        bytes += l.toUtf8() + "\r\n";
    if (file.write(bytes) != bytes.size() || !file.flush() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

// ---- understanding the request ----

struct Request
{
    enum Kind
    {
        Unknown,
        GeneralCows,
        WriteBack
    };
    Kind kind = Unknown;
    QVector<int> asked;     // GeneralCows: the items asked for, as places in GeneralCow
    QStringList valueLines; // WriteBack
    QString why;
};

// The items of an "RN201863" line, each one of the general-cow items at its own width.
bool requestedItems(const QString &line, QVector<int> *asked, QString *why)
{
    const QString prefix = QStringLiteral("RN") + GeneralCowEntity;
    const QString groups = line.mid(prefix.size());
    if (!line.startsWith(prefix) || groups.isEmpty() || groups.size() % 11 != 0) {
        *why = QStringLiteral("not a general-cow request: \"%1\"").arg(line.left(60));
        return false;
    }
    for (int at = 0; at < groups.size(); at += 11) {
        const QString group = groups.mid(at, 11);
        const auto known = std::find_if(GeneralCow.begin(), GeneralCow.end(), [&](const adislines::Field &f) {
            return group.startsWith(QLatin1String(f.id));
        });
        if (known == GeneralCow.end()) {
            *why = QStringLiteral("item %1 is not a general-cow item").arg(group.left(8));
            return false;
        }
        if (group != adislines::definition(QString(), QString(), {*known})) {
            *why = QStringLiteral("item %1 asked as \"%2\"").arg(group.left(8), group);
            return false;
        }
        asked->append(int(known - GeneralCow.begin()));
    }
    return true;
}

// Comments and blank lines aside: the sender's DH and VH lines, then either the general-cow
// request closed by "EN", or the write-back definition with its value lines closed by "TN"; "ZN" last.
Request understand(const QStringList &lines)
{
    Request r;
    QStringList body;
    for (const QString &l : lines) {
        if (!l.isEmpty() && !l.startsWith(QLatin1String("CN")))
            body << l;
    }
    const QString dh = senderDefinition();
    if (body.size() < 5 || body.at(0) != dh || body.at(1) != senderValues()) {
        r.why = QStringLiteral("no sender record \"%1\"").arg(dh);
        return r;
    }
    if (body.last() != QLatin1String("ZN")) {
        r.why = QStringLiteral("no \"ZN\" at the end");
        return r;
    }
    const QString &third = body.at(2);
    if (third.startsWith(QLatin1String("RN"))) {
        if (body.size() != 5 || body.at(3) != QLatin1String("EN")) {
            r.why = QStringLiteral("a request is \"RN...\", \"EN\", \"ZN\"");
            return r;
        }
        if (requestedItems(third, &r.asked, &r.why))
            r.kind = Request::GeneralCows;
        return r;
    }
    if (third == adislines::definition(QStringLiteral("DN"), GeneralCowEntity, Evidence)) {
        if (body.at(body.size() - 2) != QLatin1String("TN")) {
            r.why = QStringLiteral("no \"TN\" before \"ZN\"");
            return r;
        }
        for (int i = 3; i < body.size() - 2; ++i) {
            if (!body.at(i).startsWith(QLatin1String("VN") + GeneralCowEntity)) {
                r.why = QStringLiteral("not a record: \"%1\"").arg(body.at(i).left(60));
                return r;
            }
            r.valueLines << body.at(i);
        }
        r.kind = Request::WriteBack;
        return r;
    }
    r.why = QStringLiteral("neither a request nor records: \"%1\"").arg(third.left(60));
    return r;
}

// ---- the general-cow answer ----

QString herdNumber(const herd::Cow &c)
{
    // A herd number of its own where the herd file gives one ("" or null: not known).
    const QJsonValue own = c.extra.value(QStringLiteral("herdNumber"));
    if (own.isUndefined())
        return QString::number(c.parlour);
    if (own.isDouble())
        return QString::number(own.toInt());
    return own.toString();
}

// All thirteen values of a cow, in the order of GeneralCow; an empty string is unknown.
QStringList cowValues(const herd::Cow &c)
{
    auto date = [](const QDate &d) {
        return d.isValid() ? d.toString(QStringLiteral("yyyyMMdd")) : QString();
    };
    auto text = [](const QString &s) { return s.isEmpty() ? QString() : s; };
    const herd::Insemination *ins = c.lastInsemination();
    const herd::PregnancyCheck *check = c.lastPregnancyCheck();
    QStringList v;
    v << QString::number(c.parlour) << text(herdNumber(c)) << QString::number(c.lactation()) << date(c.birth)
      << date(c.lastCalving()) << date(ins ? ins->date : QDate()) << date(c.lastDryOff())
      << date(c.lastHeat()) << (check ? QString::number(check->pregnant ? 1 : 2) : QString())
      << date(check ? check->date : QDate()) << text(c.transponder) << text(ins ? ins->sire : QString())
      << (ins && ins->ordinal > 0 ? QString::number(ins->ordinal) : QString());
    return v;
}

// The values of the items asked for, at their widths: numbers right-justified, the sire
// left-justified, too long a value cut to its item.
QString answerLine(const QVector<int> &asked, const Layout &fields, const herd::Cow &c)
{
    const QStringList values = cowValues(c);
    adislines::Line line(QStringLiteral("VN") + GeneralCowEntity, fields);
    for (int k : asked) {
        if (k == SireItem)
            line.left(values.at(k));
        else
            line.right(values.at(k));
    }
    return line.text();
}

int answer(const Request &request, const herd::Herd &h, QStringList *log)
{
    QVector<const herd::Cow *> cows;
    for (const herd::Cow &c : h.cows) {
        if (c.isPresent())
            cows.append(&c);
    }
    std::stable_sort(cows.begin(), cows.end(),
                     [](const herd::Cow *a, const herd::Cow *b) { return a->parlour < b->parlour; });

    Layout fields;
    for (int k : request.asked)
        fields << GeneralCow.at(k);
    QStringList lines{QStringLiteral("CN ***** Taurus stand-in, general cow"), senderDefinition(),
                      senderValues(), adislines::definition(QStringLiteral("DN"), GeneralCowEntity, fields)};
    for (const herd::Cow *c : cows)
        lines << answerLine(request.asked, fields, *c);
    const QString extra = qEnvironmentVariable("TAURUS_EXTRA_ANSWER");
    if (!extra.isEmpty()) {
        QFile more(extra);
        if (more.open(QIODevice::ReadOnly))
            lines << splitLines(more.readAll());
    }
    lines << QStringLiteral("TN") << QStringLiteral("ZN");

    QString why;
    if (!writeAtomically(AnswerFile, lines, &why)) {
        err() << "taurus: cannot write " << AnswerFile << ": " << why << "\n";
        return 5;
    }
    *log << QStringLiteral("%1 cows, %2 items each").arg(cows.size()).arg(request.asked.size());
    return 0;
}

// ---- the write-back ----

int record(const Request &request, herd::Herd &h, const QString &herdPath, QStringList *log)
{
    int imported = 0;
    for (int n = 0; n < request.valueLines.size(); ++n) {
        const QString &line = request.valueLines.at(n);
        const QStringList v = adislines::cut(line, Evidence);
        const QString what = QStringLiteral("record %1 (cow %2, %3): ").arg(n + 1).arg(v.at(0), v.at(1));
        if (line.size() > adislines::lineLength(Evidence)) {
            *log << what + QStringLiteral("skipped, line of %1 characters").arg(line.size());
            continue;
        }
        const QDate date = QDate::fromString(v.at(1), QStringLiteral("yyyyMMdd"));
        const herd::RecordOutcome outcome = herd::recordInsemination(h, v.at(0), date, QString(), 0);
        if (outcome == herd::RecordOutcome::Recorded) {
            ++imported;
            *log << what + QStringLiteral("recorded");
        } else {
            *log << what + herd::skipText(outcome);
        }
    }
    QString why;
    if (imported > 0 && !h.save(herdPath, &why)) {
        err() << "taurus: " << why << "\n";
        return 4;
    }
    log->prepend(
        QStringLiteral("%1 of %2 inseminations recorded").arg(imported).arg(request.valueLines.size()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (QCoreApplication::arguments().size() > 1) {
        err() << "usage: " << QCoreApplication::applicationName() << " (no arguments; reads " << RequestFile
              << " in its directory)\n";
        return 2;
    }
    const QString herdPath =
        qEnvironmentVariable("HERD_FILE", QDir::current().filePath(QStringLiteral("herd.json")));

    QFile input(RequestFile);
    if (!input.open(QIODevice::ReadOnly)) {
        err() << "taurus: cannot read " << RequestFile << ": " << input.errorString() << "\n";
        return 3;
    }
    const QByteArray bytes = input.readAll();
    input.close();
    const QString requestLog = qEnvironmentVariable("TAURUS_REQUEST_LOG");
    if (!requestLog.isEmpty()) {
        QFile copy(requestLog);
        if (copy.open(QIODevice::WriteOnly | QIODevice::Append))
            copy.write(bytes);
    }

    const Request request = understand(splitLines(bytes));
    if (request.kind == Request::Unknown) {
        err() << "taurus: " << RequestFile << " not understood: " << request.why << "\n";
        return 3;
    }
    herd::Herd h;
    QString why;
    if (!h.load(herdPath, &why)) {
        err() << "taurus: " << why << "\n";
        return 4;
    }
    QThread::msleep(static_cast<unsigned long>(qMax(0, envInt("TAURUS_DELAY_MS", 0))));

    if (request.kind != Request::GeneralCows &&
        qEnvironmentVariable("TAURUS_FAIL_RECORD") == QLatin1String("1"))
        return 7;
    QStringList log;
    const int status =
        request.kind == Request::GeneralCows ? answer(request, h, &log) : record(request, h, herdPath, &log);
    if (status == 0 && !writeAtomically(QStringLiteral("TAU_LOG.2"), log, &why)) {
        err() << "taurus: cannot write TAU_LOG.2: " << why << "\n";
        return 5;
    }
    return status;
}
