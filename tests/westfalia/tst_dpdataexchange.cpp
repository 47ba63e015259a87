// The dpdataexchange.exe stand-in as a real process, started the way the program starts it.
#include "adapters/westfalia/westfaliaformat.h"
#include "common/simprocess.h"
#include "common/testsupport.h"
#include "exchange/converter.h"
#include "generator.h"
#include "herd.h"

#include <QDir>
#include <QFile>

namespace {

const QDate Today(2024, 5, 14);
const int Cows = 40;

QString date9(const QDate &d)
{
    return d.isValid() ? d.toString(QStringLiteral("yyyyMMdd")) + QLatin1Char(' ')
                       : QStringLiteral("?????????");
}

bool isDataLine(const QString &line)
{
    return line.startsWith(QLatin1String("VN     0")) || line.startsWith(QLatin1String("VN000000"));
}

QStringList lines(const QByteArray &bytes)
{
    QStringList all = QString::fromUtf8(bytes).split(QStringLiteral("\r\n"));
    if (!all.isEmpty() && all.last().isEmpty())
        all.removeLast();
    return all;
}

} // namespace

class TestDpDataExchange : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void reproductionAnswer();
    void milkAnswer();
    void unknownRequests_data();
    void unknownRequests();
    void modifyRequest();
    void ignoredRequest();

private:
    QString dir() const { return farm->path() + QLatin1Char('/'); }
    QString herdPath() const { return dir() + QStringLiteral("herd.json"); }
    // Writes the request and runs the stand-in through the program's converter runner.
    int ask(const QString &requestName, const QString &text)
    {
        return runDairyPlanConverter(dir(), dir() + requestName, text);
    }
    QStringList entries() const
    {
        return QDir(farm->path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    QScopedPointer<QTemporaryDir> farm;
    herd::Herd herd;
};

void TestDpDataExchange::init()
{
    farm.reset(new QTemporaryDir);
    QVERIFY(farm->isValid());
    herd::GeneratorOptions options;
    options.cows = Cows;
    options.seed = 7;
    options.today = Today;
    herd = herd::generateHerd(options);
    QString error;
    QVERIFY2(herd.save(herdPath(), &error), qPrintable(error));
    QVERIFY(QFile::link(QStringLiteral(DPDATAEXCHANGE), dir() + QStringLiteral("dpdataexchange.exe")));
}

void TestDpDataExchange::cleanup()
{
    qunsetenv("DPDATAEXCHANGE_IGNORE");
    farm.reset();
}

void TestDpDataExchange::reproductionAnswer()
{
    QCOMPARE(ask(westfalia::reproductionRequestFileName(), westfalia::reproductionRequestText()), 0);
    // Written under a temporary name and renamed: nothing else is left in the directory.
    QCOMPARE(entries(), (QStringList{"dpdataexchange.exe", "fin_stablomat_reprodukce_posledni.ads",
                                     "fout_stablomat_reprodukce_posledni.ads", "herd.json"}));
    const QStringList answer = lines(readWholeFile(dir() + westfalia::reproductionAnswerFileName()));
    QCOMPARE(answer.last(), QStringLiteral("ZN"));

    int data = 0, zeroPadded = 0, others = 0;
    QSet<int> seen;
    for (const QString &l : answer) {
        if (!isDataLine(l)) {
            ++others;
            continue;
        }
        ++data;
        zeroPadded += l.startsWith(QLatin1String("VN000000"));
        QCOMPARE(l.size(), 191);
        const int parlour = l.mid(8, 6).trimmed().toInt();
        const herd::Cow *cow = herd.cowByParlour(parlour);
        QVERIFY(cow);
        seen.insert(parlour);
        const herd::Insemination *ins = cow->lastInsemination();
        const herd::PregnancyCheck *check = cow->lastPregnancyCheck();
        QCOMPARE(l.mid(14, 16).trimmed(), cow->registration);
        QCOMPARE(l.mid(81, 3).trimmed() == QLatin1String("15"), !cow->isPresent());
        QCOMPARE(l.mid(112, 9), date9(cow->lastCalving()));
        QCOMPARE(l.mid(121, 3).trimmed().toInt(), cow->lactation());
        QCOMPARE(l.mid(124, 9), date9(ins ? ins->date : QDate()));
        QCOMPARE(l.mid(133, 6).trimmed(), ins ? QString::number(ins->ordinal) : QStringLiteral("??????"));
        QCOMPARE(l.mid(139, 9), date9(check ? check->date : QDate()));
        if (check)
            QCOMPARE(l.mid(148, 2).trimmed() == QLatin1String("1"), check->pregnant);
        QCOMPARE(l.mid(150, 9), date9(cow->lastDryOff()));
        QCOMPARE(l.mid(159, 9), date9(cow->lastAbortion()));
    }
    QCOMPARE(data, Cows);
    QCOMPARE(seen.size(), Cows);
    // As the real converter writes them: both prefixes, and lines that carry no cow.
    QVERIFY(zeroPadded > 0 && zeroPadded < Cows);
    QVERIFY(others >= 4);
}

void TestDpDataExchange::milkAnswer()
{
    QCOMPARE(ask(westfalia::milkRequestFileName(), westfalia::milkRequestText()), 0);
    const QStringList answer = lines(readWholeFile(dir() + westfalia::milkAnswerFileName()));
    int data = 0, withMilk = 0;
    for (const QString &l : answer) {
        if (!isDataLine(l))
            continue;
        ++data;
        QCOMPARE(l.size(), 450);
        const herd::Cow *cow = herd.cowByParlour(l.mid(8, 6).trimmed().toInt());
        QVERIFY(cow);
        QCOMPARE(l.mid(14, 16).trimmed(), cow->registration);
        QVector<herd::Milking> latest = cow->milkings;
        std::sort(latest.begin(), latest.end(),
                  [](const herd::Milking &a, const herd::Milking &b) { return a.at() > b.at(); });
        withMilk += !latest.isEmpty();
        for (int g = 0; g < 6; ++g) {
            const QString group = l.mid(30 + 70 * g, 70);
            if (g >= latest.size()) {
                QCOMPARE(group, QString(70, QLatin1Char('?')));
                continue;
            }
            const herd::Milking &m = latest.at(g);
            QCOMPARE(group.mid(0, 9), date9(m.date));
            QCOMPARE(group.mid(9, 6), m.time.toString(QStringLiteral("hhmmss")));
            // Five characters with one implied decimal: whole kilograms, then the tenths.
            QCOMPARE(group.mid(15, 5).trimmed().toInt(), qRound(m.kg * 10));
        }
    }
    QCOMPARE(data, Cows);
    QVERIFY(withMilk > Cows / 2);
}

void TestDpDataExchange::unknownRequests_data()
{
    QTest::addColumn<QString>("text");
    const QString query = westfalia::reproductionRequestText();
    QString otherQuery = query;
    otherQuery.replace(QStringLiteral("SelCount"), QStringLiteral("SelCount,LeftOver"));
    QString otherHeader = query;
    otherHeader.replace(QStringLiteral("Velmorin"), QStringLiteral("Velmorim"));
    QString noTn = query;
    noTn.remove(QStringLiteral("TN\n"));
    QString unnamed = query;
    unnamed.replace(QStringLiteral("ON fout_stablomat_reprodukce_posledni.ads"), QStringLiteral("ON "));
    QString twoQueries = query;
    twoQueries.replace(QStringLiteral("TN\n"), westfalia::milkQuery() + QStringLiteral("\nTN\n"));
    QString modifyWithoutEvent = westfalia::modifyRequestText({});
    modifyWithoutEvent.remove(QStringLiteral("CN ***** EVENT 0 *****\n"));
    QString modifyWithGarbage =
        westfalia::modifyRequestText({westfalia::eventLine("1", Today, 1, QStringLiteral("B"))});
    modifyWithGarbage.replace(QStringLiteral("TN\n"), QStringLiteral("XX garbage\nTN\n"));

    QTest::newRow("unknown query") << otherQuery;
    QTest::newRow("other header") << otherHeader;
    QTest::newRow("no TN") << noTn;
    QTest::newRow("answer not named") << unnamed;
    QTest::newRow("two queries") << twoQueries;
    QTest::newRow("after ZN") << query + QStringLiteral("VN     0 1\n");
    QTest::newRow("modify without event comment") << modifyWithoutEvent;
    QTest::newRow("modify with a line of its own") << modifyWithGarbage;
    QTest::newRow("empty") << QString();
}

void TestDpDataExchange::unknownRequests()
{
    QFETCH(QString, text);
    const QString request = dir() + QStringLiteral("request.ads");
    QVERIFY(exchange::writeConverterInput(request, text));
    const QByteArray herdBefore = readWholeFile(herdPath());
    const Run r = runProgram(QStringLiteral(DPDATAEXCHANGE), {"-T", "-A", "-E", request}, {}, farm->path());
    QCOMPARE(r.exitCode, 3);
    QVERIFY(!r.err.isEmpty());
    QCOMPARE(entries(), (QStringList{"dpdataexchange.exe", "herd.json", "request.ads"}));
    QCOMPARE(readWholeFile(herdPath()), herdBefore);
}

void TestDpDataExchange::modifyRequest()
{
    // A present cow never served on the chosen days, a culled one, and the last service of a third.
    const QDate d1 = Today.addDays(-1), d2 = Today;
    const herd::Cow *present = nullptr, *culled = nullptr, *served = nullptr;
    for (const herd::Cow &c : herd.cows) {
        if (!c.isPresent() && !culled && herd.cowByParlour(c.parlour) == &c)
            culled = &c;
        else if (c.isPresent() && c.lastInsemination() && !served)
            served = &c;
        else if (c.isPresent() && c.lactation() > 0 && !present &&
                 c.ordinalFor(d2) == c.ordinalFor(d1.addDays(-4)))
            present = &c;
    }
    QVERIFY(present && culled && served);
    const QString cow = QString::number(present->parlour);
    const QStringList records{
        westfalia::eventLine(cow, d1, 2, QStringLiteral("HO 444649")), // imported
        westfalia::eventLine(cow, d2, QVariant(), QVariant()),         // numbered by DairyPlan
        westfalia::eventLine(cow, d1, 3, QStringLiteral("again")),     // same day again
        westfalia::eventLine(QString::number(culled->parlour), d1, 1, QStringLiteral("X")), // culled
        westfalia::eventLine(QStringLiteral("9999"), d1, 1, QStringLiteral("X")),           // no such cow
        westfalia::eventLine(QString::number(served->parlour), served->lastInsemination()->date, 1,
                             QStringLiteral("X")),                                            // already held
        westfalia::eventLine(cow, QDate(), 1, QStringLiteral("X")),                           // no date
        westfalia::eventLine(cow, d1.addDays(-3), 1, QStringLiteral("X")) + QLatin1Char(' '), // 47 characters
    };
    const QString request = dir() + westfalia::modifyRequestFileName();
    QVERIFY(exchange::writeConverterInput(request, westfalia::modifyRequestText(records)));
    const Run r = runProgram(QStringLiteral(DPDATAEXCHANGE), {"-T", "-A", "-E", request}, {}, farm->path());
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.startsWith("2 of 8 inseminations imported\n"), r.out.constData());
    // No answer file for a modify request.
    QCOMPARE(entries(), (QStringList{"dpdataexchange.exe", "fin_stablomat_modify.ads", "herd.json"}));

    herd::Herd after;
    QString error;
    QVERIFY2(after.load(herdPath(), &error), qPrintable(error));
    for (int i = 0; i < herd.cows.size(); ++i) {
        const herd::Cow &before = herd.cows.at(i);
        const herd::Cow &now = after.cows.at(i);
        if (before.parlour != present->parlour || !before.isPresent()) {
            QCOMPARE(now.inseminations.size(), before.inseminations.size());
            continue;
        }
        QCOMPARE(now.inseminations.size(), before.inseminations.size() + 2);
        const herd::Insemination &first = now.inseminations.at(now.inseminations.size() - 2);
        const herd::Insemination &second = now.inseminations.last();
        QCOMPARE(first.date, d1);
        QCOMPARE(first.ordinal, 2);
        QCOMPARE(first.sire, QStringLiteral("HO 444649"));
        QCOMPARE(second.date, d2);
        // One more than the services of the lactation, the one just imported included.
        QCOMPARE(second.ordinal, before.ordinalFor(d2) + 1);
        QVERIFY(second.sire.isEmpty());
    }
}

void TestDpDataExchange::ignoredRequest()
{
    qputenv("DPDATAEXCHANGE_IGNORE", "milk");
    QCOMPARE(ask(westfalia::milkRequestFileName(), westfalia::milkRequestText()), 0);
    QVERIFY(!QFileInfo::exists(dir() + westfalia::milkAnswerFileName()));
    QCOMPARE(ask(westfalia::reproductionRequestFileName(), westfalia::reproductionRequestText()), 0);
    QVERIFY(QFileInfo::exists(dir() + westfalia::reproductionAnswerFileName()));
}

STABLOMAT_TEST_MAIN_CORE(TestDpDataExchange)
#include "tst_dpdataexchange.moc"
