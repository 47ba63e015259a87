// Stand-in for Afikim's AfiFarm, as far as Stablomat meets it.
//
//   afifarm.exe report [options]   saves the "StablomatAnimals" report of the herd into savefile
//   afifarm.exe import [--root DIR] reads DATA/MS/afi_ms.dat into the herd
//
// ROOT is the AfiFarm directory ("c:/afifarm"): by default the parent of the stand-in's own
// directory, where farm-tool puts it ("c:/afifarm/program/afifarm.exe"). The herd is "herd.json"
// beside the stand-in, or the file named by HERD_FILE.
//
// Report options:
//   --name FILE           file name in savefile (default "StablomatAnimals<date-time>.dif")
//   --encoding NAME       "windows-1250" (default, as AfiFarm on a Czech PC) or "utf-8"
//   --lf                  LF line ends instead of CR LF
//   --seed N              order of the columns (default 1)
//   --omit CAPTION        leave a column out (repeatable)
//   --hour H              the hour of the day that decides which evening "N2" reports
//   --row-delay-ms N      wait after each row written, as a slow save
//
// Exit status: 0 done, 2 bad arguments, 3 import file missing or not understood, 4 herd file
// unreadable, 5 report or herd not written.
#include "herd.h"
#include "standin.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTextCodec>
#include <QTextStream>
#include <QThread>

#include <functional>

namespace {

using standin::err;

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QString dateText(const QDate &date)
{
    return date.isValid() ? date.toString(QStringLiteral("dd/MM/yyyy")) : QString();
}

// Kilograms with a decimal comma, as a Czech AfiFarm writes them.
QString kgText(double kg)
{
    return QString::number(kg, 'f', 2).replace(QLatin1Char('.'), QLatin1Char(','));
}

// ---- DIF cells ----

struct Cell
{
    enum Kind
    {
        Text,
        Number,
        NotAvailable
    };
    Kind kind = Text;
    QString value;

    static Cell text(const QString &v) { return {Text, v}; }
    static Cell number(const QString &v) { return {Number, v}; }
    static Cell number(int v) { return {Number, QString::number(v)}; }
    static Cell na() { return {NotAvailable, QString()}; }
    // A yield: the number with its comma, or not available.
    static Cell kg(double v, bool known) { return known ? number(kgText(v)) : na(); }

    QString dif() const
    {
        switch (kind) {
        case Number:
            return QStringLiteral("0,") + value + QStringLiteral("\nV\n");
        case NotAvailable:
            return QStringLiteral("0,0\nNA\n");
        case Text:
            break;
        }
        QString quoted = value;
        quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
        return QStringLiteral("1,0\n\"") + quoted + QStringLiteral("\"\n");
    }
};

struct Milk
{
    double kg = 0;
    bool any = false;
};

Milk milkOf(const herd::Cow &cow, const QDate &day, bool afternoon)
{
    Milk m;
    for (const herd::Milking &milking : cow.milkingsOn(day)) {
        if ((milking.time.hour() >= 12) == afternoon) {
            m.kg += milking.kg;
            m.any = true;
        }
    }
    return m;
}

QString reproductionState(const herd::Cow &cow)
{
    if (cow.doNotInseminate)
        return QStringLiteral("Ne pro inseminaci");
    if (!cow.isPresent())
        return QString::fromUtf8("Vyřazená");
    const QDate calving = cow.lastCalving();
    if (cow.lastDryOff().isValid() && cow.lastDryOff() >= calving)
        return QString::fromUtf8("Zasušená");
    const herd::Insemination *ins = cow.lastInsemination();
    const herd::PregnancyCheck *check = cow.lastPregnancyCheck();
    if (ins && (!calving.isValid() || ins->date >= calving)) {
        if (check && check->date >= ins->date && check->pregnant)
            return QString::fromUtf8("Březí");
        return QString::fromUtf8("Inseminovaná");
    }
    return calving.isValid() ? QString::fromUtf8("Otelená") : QStringLiteral("Jalovice");
}

using Column = std::pair<QString, std::function<Cell(const herd::Cow &)>>;

// The report's columns: the captions Stablomat's report definition asks for, and two more.
QVector<Column> columns(const herd::Herd &herd, int hour)
{
    const QDate today = herd.referenceDay;
    const QDate evening = hour >= 12 ? today : today.addDays(-1);
    const auto date = [](QDate (herd::Cow::*last)() const) {
        return [last](const herd::Cow &c) { return Cell::text(dateText((c.*last)())); };
    };
    return {
        {"Krava", [](const herd::Cow &c) { return Cell::number(c.parlour); }},
        {"Reg.c.", [](const herd::Cow &c) { return Cell::text(c.registration); }},
        {"CvPK", [](const herd::Cow &c) { return Cell::text(c.transponder); }},
        {"Znamka",
         [](const herd::Cow &c) { return Cell::text(herd::significantDigits(c.registration).right(5)); }},
        {"Pohlavi", [](const herd::Cow &) { return Cell::text(QStringLiteral("K")); }},
        {"Narozeni", [](const herd::Cow &c) { return Cell::text(dateText(c.birth)); }},
        {"Matka", [](const herd::Cow &c) { return Cell::text(c.dam); }},
        {"Otec", [](const herd::Cow &c) { return Cell::text(c.sire); }},
        {"Skupina", [](const herd::Cow &c) { return Cell::number(c.group); }},
        {"Stav", [](const herd::Cow &c) { return Cell::text(reproductionState(c)); }},
        {"Oteleni", date(&herd::Cow::lastCalving)},
        {"Odny",
         [today](const herd::Cow &c) {
             return c.lastCalving().isValid() ? Cell::number(int(c.lastCalving().daysTo(today))) : Cell::na();
         }},
        {"Laktace", [](const herd::Cow &c) { return Cell::number(c.lactation()); }},
        {"Inseminace",
         [](const herd::Cow &c) {
             return Cell::text(c.lastInsemination() ? dateText(c.lastInsemination()->date) : QString());
         }},
        {"Pin",
         [](const herd::Cow &c) {
             return c.lastInsemination() ? Cell::number(c.lastInsemination()->ordinal) : Cell::na();
         }},
        {"Inseminator",
         [](const herd::Cow &c) {
             return Cell::text(c.lastInsemination() ? c.lastInsemination()->technician : QString());
         }},
        {"Byk",
         [](const herd::Cow &c) {
             return Cell::text(c.lastInsemination() ? c.lastInsemination()->sire : QString());
         }},
        {"Neinseminovat", [](const herd::Cow &c) { return Cell::text(c.doNotInseminate ? "Ano" : ""); }},
        {"Veterinar",
         [](const herd::Cow &c) {
             return Cell::text(c.lastPregnancyCheck() ? dateText(c.lastPregnancyCheck()->date) : QString());
         }},
        {"VeterinarDiagnoza",
         [](const herd::Cow &c) {
             const herd::PregnancyCheck *check = c.lastPregnancyCheck();
             if (!check)
                 return Cell::text(QString());
             return Cell::text(check->pregnant ? QString::fromUtf8("+ březí")
                                               : QString::fromUtf8("- prázdná"));
         }},
        {"Zasuseni", date(&herd::Cow::lastDryOff)},
        {"Zmetani", date(&herd::Cow::lastAbortion)},
        {"Vyrazeni",
         [](const herd::Cow &c) { return Cell::text(c.isPresent() ? QString() : dateText(c.statusDate)); }},
        {"N1",
         [today](const herd::Cow &c) {
             const Milk m = milkOf(c, today, false);
             return Cell::kg(m.kg, m.any);
         }},
        {"N2",
         [evening](const herd::Cow &c) {
             const Milk m = milkOf(c, evening, true);
             return Cell::kg(m.kg, m.any);
         }},
        {"N3", [](const herd::Cow &) { return Cell::na(); }},
        {"N4", [](const herd::Cow &) { return Cell::text(QString()); }},
        {"Rije", date(&herd::Cow::lastHeat)},
        {"Poznamka", [](const herd::Cow &c) { return Cell::text(c.name); }},
        {"Dojivost",
         [today](const herd::Cow &c) {
             const Milk a = milkOf(c, today, false);
             const Milk b = milkOf(c, today, true);
             return Cell::kg(a.kg + b.kg, a.any || b.any);
         }},
    };
}

int saveReport(const herd::Herd &herd, const QString &path, const QCommandLineParser &options)
{
    const QString encoding = options.value(QStringLiteral("encoding"));
    QTextCodec *codec = QTextCodec::codecForName(encoding.toLatin1());
    if (!codec || (encoding != QLatin1String("windows-1250") && encoding != QLatin1String("utf-8"))) {
        err() << "afifarm: --encoding must be windows-1250 or utf-8\n";
        return 2;
    }
    bool ok = true;
    const int hour = options.isSet(QStringLiteral("hour")) ? options.value(QStringLiteral("hour")).toInt(&ok)
                                                           : QTime::currentTime().hour();
    const quint32 seed = options.value(QStringLiteral("seed")).toUInt(&ok);
    const int rowDelay = options.value(QStringLiteral("row-delay-ms")).toInt();
    if (!ok) {
        err() << "afifarm: --hour and --seed take numbers\n";
        return 2;
    }

    QVector<Column> all = columns(herd, hour);
    const QStringList omitted = options.values(QStringLiteral("omit"));
    all.erase(
        std::remove_if(all.begin(), all.end(), [&](const Column &c) { return omitted.contains(c.first); }),
        all.end());
    QRandomGenerator random(seed);
    for (int i = all.size() - 1; i > 0; --i)
        std::swap(all[i], all[random.bounded(i + 1)]);

    QVector<const herd::Cow *> cows;
    for (const herd::Cow &c : herd.cows)
        cows << &c;
    std::stable_sort(cows.begin(), cows.end(),
                     [](const herd::Cow *a, const herd::Cow *b) { return a->parlour < b->parlour; });

    const QString newline =
        options.isSet(QStringLiteral("lf")) ? QStringLiteral("\n") : QStringLiteral("\r\n");
    const auto bytes = [&](QString text) {
        text.replace(QLatin1Char('\n'), newline);
        return codec->fromUnicode(text);
    };

    // Written in place, row by row, as AfiFarm does: a reader that comes too early sees half a file.
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        err() << "afifarm: cannot write " << path << ": " << file.errorString() << "\n";
        return 5;
    }
    QString text =
        QStringLiteral("TABLE\n0,1\n\"AfiFarm\"\nVECTORS\n0,%1\n\"\"\nTUPLES\n0,%2\n\"\"\nDATA\n0,0\n\"\"\n")
            .arg(all.size())
            .arg(cows.size() + 1);
    text += QStringLiteral("-1,0\nBOT\n");
    for (const Column &c : all)
        text += Cell::text(c.first).dif();
    file.write(bytes(text));
    for (const herd::Cow *cow : cows) {
        text = QStringLiteral("-1,0\nBOT\n");
        for (const Column &c : all)
            text += c.second(*cow).dif();
        file.write(bytes(text));
        if (rowDelay > 0) {
            file.flush();
            QThread::msleep(static_cast<unsigned long>(rowDelay));
        }
    }
    file.write(bytes(QStringLiteral("-1,0\nEOD\n")));
    if (!file.flush() || file.error() != QFileDevice::NoError) {
        err() << "afifarm: cannot write " << path << "\n";
        return 5;
    }
    out() << "report of " << cows.size() << " cows with " << all.size() << " columns saved to " << path
          << "\n";
    return 0;
}

// ---- the import file ----

const QString BullDefinition = QStringLiteral("DN0318950003058715000032297200");
const QString InseminationDefinition = QStringLiteral("DN030579000302590600003040908000030587150");

int importFile(herd::Herd &herd, const QString &path, const QString &herdPath)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err() << "afifarm: no import file " << path << "\n";
        return 3;
    }
    QStringList lines = QTextCodec::codecForName("Windows-1250")->toUnicode(file.readAll()).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();

    struct Bull
    {
        QString code, name;
    };
    struct Line
    {
        int cow = 0;
        QDate date;
        QString bull;
    };
    QVector<Bull> bulls;
    QVector<Line> inseminations;
    QString section;
    for (int i = 0; i < lines.size(); ++i) {
        QString l = lines.at(i);
        if (l.endsWith('\r'))
            l.chop(1);
        if (l.startsWith(QLatin1String("CN")))
            continue;
        if (l == BullDefinition || l == InseminationDefinition) {
            section = l;
            continue;
        }
        if (section == BullDefinition && l.startsWith(QLatin1String("VN031895")) && l.size() == 43) {
            bulls.append({l.mid(8, 15).trimmed(), l.mid(23, 20).trimmed()});
            continue;
        }
        bool cowOk = false;
        if (section == InseminationDefinition && l.startsWith(QLatin1String("VN030579")) && l.size() == 37) {
            const Line ins{l.mid(8, 6).trimmed().toInt(&cowOk),
                           QDate::fromString(l.mid(14, 8), QStringLiteral("yyyyMMdd")),
                           l.mid(22, 15).trimmed()};
            if (cowOk) {
                inseminations.append(ins);
                continue;
            }
        }
        err() << "afifarm: line " << (i + 1) << " of " << path << " is not understood: \"" << l.left(60)
              << "\"\n";
        return 3;
    }

    int bullsAdded = 0;
    for (const Bull &b : bulls) {
        if (b.code.isEmpty() || herd.bullByCode(b.code))
            continue;
        herd::Bull bull;
        bull.code = b.code;
        bull.name = b.name;
        herd.bulls.append(bull);
        ++bullsAdded;
    }
    int imported = 0;
    QStringList log;
    for (const Line &l : inseminations) {
        const herd::RecordOutcome outcome =
            herd::recordInsemination(herd, QString::number(l.cow), l.date, l.bull, 0);
        if (outcome != herd::RecordOutcome::Recorded) {
            log << QStringLiteral("cow %1 %2: %3")
                       .arg(l.cow)
                       .arg(l.date.toString(Qt::ISODate), herd::skipText(outcome));
            continue;
        }
        ++imported;
        log << QStringLiteral("cow %1 %2: imported, sire %3")
                   .arg(l.cow)
                   .arg(l.date.toString(Qt::ISODate), l.bull);
    }
    if (imported > 0 || bullsAdded > 0) {
        QString error;
        if (!herd.save(herdPath, &error)) {
            err() << "afifarm: " << error << "\n";
            return 5;
        }
    }
    out() << imported << " of " << inseminations.size() << " inseminations imported, " << bullsAdded
          << " bulls added\n";
    for (const QString &l : qAsConst(log))
        out() << l << "\n";
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("afifarm"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("AfiFarm stand-in: saves the report, reads the import file."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("report or import"));
    parser.addOptions({
        {QStringLiteral("root"), QStringLiteral("AfiFarm directory."), QStringLiteral("DIR")},
        {QStringLiteral("name"), QStringLiteral("Report file name."), QStringLiteral("FILE")},
        {QStringLiteral("encoding"), QStringLiteral("windows-1250 or utf-8."), QStringLiteral("NAME"),
         QStringLiteral("windows-1250")},
        {QStringLiteral("lf"), QStringLiteral("LF line ends.")},
        {QStringLiteral("seed"), QStringLiteral("Column order."), QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("omit"), QStringLiteral("Leave this column out."), QStringLiteral("CAPTION")},
        {QStringLiteral("hour"), QStringLiteral("Hour of the day for N2."), QStringLiteral("H")},
        {QStringLiteral("row-delay-ms"), QStringLiteral("Wait after each row."), QStringLiteral("N"),
         QStringLiteral("0")},
    });
    parser.process(app);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1 ||
        (positional.first() != QLatin1String("report") && positional.first() != QLatin1String("import"))) {
        err() << "usage: afifarm.exe report|import [options]\n";
        return 2;
    }

    const QString root =
        parser.isSet(QStringLiteral("root"))
            ? parser.value(QStringLiteral("root"))
            : QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).absoluteFilePath();
    const QString herdPath = qEnvironmentVariable("HERD_FILE", QCoreApplication::applicationDirPath() +
                                                                   QStringLiteral("/herd.json"));
    herd::Herd herd;
    QString error;
    if (!herd.load(herdPath, &error)) {
        err() << "afifarm: " << error << "\n";
        return 4;
    }

    if (positional.first() == QLatin1String("import"))
        return importFile(herd, QDir::cleanPath(root + QStringLiteral("/DATA/MS/afi_ms.dat")), herdPath);

    const QString name =
        parser.isSet(QStringLiteral("name"))
            ? parser.value(QStringLiteral("name"))
            : QStringLiteral("StablomatAnimals") +
                  QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmsszzz")) +
                  QStringLiteral(".dif");
    const QString savefile = QDir::cleanPath(root + QStringLiteral("/savefile"));
    if (!QDir().mkpath(savefile)) {
        err() << "afifarm: cannot create " << savefile << "\n";
        return 5;
    }
    return saveReport(herd, savefile + QLatin1Char('/') + name, parser);
}
