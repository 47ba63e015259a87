#include "common/simprocess.h"
#include "common/testsupport.h"
#include "generator.h"
#include "herd.h"

#include <QFile>
#include <QJsonArray>

#include <sys/resource.h>

using herd::Cow;
using herd::Herd;

namespace {

const QDate Today(2024, 5, 14);

// What a herd shows, counted so that the generator's variety can be checked.
struct Variety
{
    int present = 0, culled = 0, slaughtered = 0, heifers = 0, dry = 0, pregnant = 0, open = 0;
    int abortionsThisLactation = 0, insBeforeCalving = 0, insAfterCalving = 0;
    int withPrefix = 0, withInnerBlank = 0, withLeadingZero = 0, nineDigits = 0;
    int milkingToday = 0, twoOrThreeToday = 0, twoOrThreeYesterday = 0;
};

Variety countVariety(const Herd &h)
{
    Variety v;
    for (const Cow &c : h.cows) {
        v.present += c.isPresent();
        v.culled += c.status == herd::Status::Culled;
        v.slaughtered += c.status == herd::Status::Slaughtered;
        const QString reg = c.registration;
        v.withPrefix += reg.at(0).isLetter();
        v.withInnerBlank += reg.trimmed().mid(3).contains(QLatin1Char(' '));
        const int firstDigit = reg.indexOf(QRegularExpression(QStringLiteral("[0-9]")));
        v.withLeadingZero += firstDigit >= 0 && reg.at(firstDigit) == QLatin1Char('0');
        v.nineDigits += herd::significantDigits(reg).size() >= 9;
        if (!c.isPresent())
            continue;
        if (c.calvings.isEmpty()) {
            ++v.heifers;
            continue;
        }
        const QDate calved = c.lastCalving();
        const bool dry = c.lastDryOff() > calved;
        v.dry += dry;
        const herd::PregnancyCheck *check = c.lastPregnancyCheck();
        if (check && check->date > calved)
            (check->pregnant ? v.pregnant : v.open) += 1;
        v.abortionsThisLactation += c.lastAbortion() > calved;
        if (const herd::Insemination *ins = c.lastInsemination())
            (ins->date < calved ? v.insBeforeCalving : v.insAfterCalving) += 1;
        if (!dry && calved < h.referenceDay.addDays(-1)) {
            ++v.milkingToday;
            const int today = c.milkingsOn(h.referenceDay).size();
            const int yesterday = c.milkingsOn(h.referenceDay.addDays(-1)).size();
            v.twoOrThreeToday += today == 2 || today == 3;
            v.twoOrThreeYesterday += yesterday == 2 || yesterday == 3;
        }
    }
    return v;
}

QByteArray minimalHerd(const QByteArray &cow)
{
    return "{\"format\":\"stablomat-herd\",\"version\":1,\"referenceDay\":\"2024-05-14\",\"bulls\":[],"
           "\"cows\":[" +
           cow + "]}";
}

} // namespace

class TestHerdModel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void generatorIsDeterministic();
    void generatedHerdIsSoundAndVaried_data();
    void generatedHerdIsSoundAndVaried();
    void generatorRejectsBadOptions_data();
    void generatorRejectsBadOptions();
    void tenThousandCows();
    void roundTrip();
    void malformedHerdFiles_data();
    void malformedHerdFiles();
    void unknownMembersAreKept();
    void saveFailureLeavesOldFile();
    void significantDigits_data();
    void significantDigits();
    void lookups();
    void ordinals();
    void recordInsemination_data();
    void recordInsemination();
    void shiftDays();

private:
    QScopedPointer<QTemporaryDir> dir;
    QString path(const QString &name) const { return dir->filePath(name); }
};

void TestHerdModel::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

void TestHerdModel::generatorIsDeterministic()
{
    const QStringList today{"--today", Today.toString(Qt::ISODate)};
    QVERIFY(!generateHerdFile(path("a.json"), 300, 42, today).isEmpty());
    QVERIFY(!generateHerdFile(path("b.json"), 300, 42, today).isEmpty());
    QVERIFY(!generateHerdFile(path("c.json"), 300, 43, today).isEmpty());
    const QByteArray a = readWholeFile(path("a.json"));
    QVERIFY(a.size() > 10000);
    QCOMPARE(readWholeFile(path("b.json")), a);
    QVERIFY(readWholeFile(path("c.json")) != a);
    // The in-process generator makes the same herd as the executable.
    herd::GeneratorOptions o;
    o.cows = 300;
    o.seed = 42;
    o.today = Today;
    QCOMPARE(herd::generateHerd(o).toJson(), a);
}

void TestHerdModel::generatedHerdIsSoundAndVaried_data()
{
    QTest::addColumn<int>("cows");
    QTest::addColumn<int>("seed");
    QTest::addColumn<bool>("longNumbers");
    QTest::newRow("small herd") << 20 << 3 << false;
    QTest::newRow("small herd, long numbers") << 25 << 8 << true;
    QTest::newRow("medium herd") << 400 << 11 << false;
    QTest::newRow("large herd, long numbers") << 2000 << 5 << true;
}

void TestHerdModel::generatedHerdIsSoundAndVaried()
{
    QFETCH(int, cows);
    QFETCH(int, seed);
    QFETCH(bool, longNumbers);
    QStringList more{"--today", Today.toString(Qt::ISODate)};
    if (longNumbers)
        more << "--long-numbers";
    const QString file = generateHerdFile(path("herd.json"), cows, seed, more);
    QVERIFY(!file.isEmpty());
    Herd h;
    QString error;
    QVERIFY2(h.load(file, &error), qPrintable(error));
    QCOMPARE(h.cows.size(), cows);
    QCOMPARE(h.referenceDay, Today);
    QVERIFY(h.bulls.size() >= 12);
    const QStringList problems = h.problems();
    QVERIFY2(problems.isEmpty(), qPrintable(problems.mid(0, 5).join('\n')));

    const Variety v = countVariety(h);
    QVERIFY(v.culled >= 1);
    QVERIFY(v.slaughtered >= 1);
    QVERIFY(v.heifers >= 1);
    QVERIFY(v.dry >= 1);
    QVERIFY(v.pregnant >= 1);
    QVERIFY(v.open >= 1);
    QVERIFY(v.abortionsThisLactation >= 1);
    QVERIFY(v.insBeforeCalving >= 1);
    QVERIFY(v.insAfterCalving >= 1);
    QVERIFY(v.withPrefix >= 1 && v.withPrefix < cows);
    QVERIFY(v.withInnerBlank >= 1);
    QVERIFY(v.withLeadingZero >= 1);
    QCOMPARE(v.nineDigits, longNumbers ? qMax(1, cows / 50) : 0);
    // Nearly every lactating cow has two or three milkings on each of the two days.
    QVERIFY(v.milkingToday >= 3);
    QVERIFY2(v.twoOrThreeToday >= v.milkingToday * 9 / 10, qPrintable(QString::number(v.twoOrThreeToday)));
    QVERIFY(v.twoOrThreeYesterday >= v.milkingToday * 9 / 10);

    int abortions = 0;
    for (const Cow &c : h.cows) {
        abortions += c.abortions.size();
        for (const herd::Insemination &i : c.inseminations) {
            QVERIFY(!i.sire.isEmpty());
            QVERIFY(h.bullByCode(i.sire));
            // An ordinal counts the services of its lactation.
            QCOMPARE(i.ordinal, c.ordinalFor(i.date.addDays(-1)));
        }
        for (const herd::Milking &m : c.milkings) {
            QVERIFY2(m.time >= QTime(4, 0) && m.time <= QTime(23, 30), qPrintable(m.time.toString()));
            QVERIFY(m.kg >= 0 && m.kg < 30);
            QVERIFY(m.kg == 0 || (m.seconds >= 60 && m.seconds < 1200));
        }
        if (!c.isPresent())
            QVERIFY(c.milkings.isEmpty());
    }
    QVERIFY(abortions >= 2);
}

void TestHerdModel::generatorRejectsBadOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no cows") << QStringList{"--out", "x.json"};
    QTest::newRow("cows not a number") << QStringList{"--cows", "many", "--out", "x.json"};
    QTest::newRow("no output") << QStringList{"--cows", "10"};
    QTest::newRow("bad date") << QStringList{"--cows", "10", "--today", "2024-02-30", "--out", "x.json"};
    QTest::newRow("bad seed") << QStringList{"--cows", "10", "--seed", "-1", "--out", "x.json"};
}

void TestHerdModel::generatorRejectsBadOptions()
{
    QFETCH(QStringList, args);
    const Run r = runProgram(HERD_GENERATOR, args, {}, dir->path());
    QVERIFY(r.exitCode != 0);
    QVERIFY(!r.err.isEmpty());
    QVERIFY(!QFile::exists(path("x.json")));
}

void TestHerdModel::tenThousandCows()
{
    // The generator's own processor time: a busy machine does not count.
    const auto childMs = [] {
        rusage u{};
        getrusage(RUSAGE_CHILDREN, &u);
        return qint64(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000 +
               (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
    };
    const qint64 before = childMs();
    QVERIFY(!generateHerdFile(path("big.json"), 10000, 7, {"--today", "2024-05-14"}).isEmpty());
    const qint64 ms = childMs() - before;
    qInfo("herd-generator: 10000 cows in %lld ms of processor time", ms);
#ifdef STABLOMAT_ASAN
    const qint64 limitMs = 9000; // unoptimised, instrumented build
#else
    const qint64 limitMs = 3000;
#endif
    QVERIFY2(ms < limitMs, qPrintable(QString::number(ms)));
    const Herd h = loadHerd(path("big.json"));
    QCOMPARE(h.cows.size(), 10000);
    QVERIFY(h.problems().isEmpty());
}

void TestHerdModel::roundTrip()
{
    herd::GeneratorOptions o;
    o.cows = 150;
    o.seed = 9;
    o.today = Today;
    o.longNumbers = true;
    Herd h = herd::generateHerd(o);
    // Texts that need escaping survive too.
    h.cows[0].name = QStringLiteral("Stračena \"Velká\" \\ 1\t");
    h.cows[1].plans.append({Today.addDays(20), 1});
    h.cows[1].doNotInseminate = true;
    QString error;
    QVERIFY2(h.save(path("herd.json"), &error), qPrintable(error));
    Herd back;
    QVERIFY2(back.load(path("herd.json"), &error), qPrintable(error));
    QCOMPARE(back.toJson(), h.toJson());
    QCOMPARE(back.cows.at(0).name, h.cows.at(0).name);
    QCOMPARE(back.cows.at(1).plans.size(), 1);
    QVERIFY(back.cows.at(1).doNotInseminate);
    QCOMPARE(back.cows.size(), 150);
    // Each cow stands on a line of its own.
    QCOMPARE(readWholeFile(path("herd.json")).count("\"registration\""), 150);
}

void TestHerdModel::malformedHerdFiles_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("complaint");
    const QByteArray good = "\"registration\":\"CZ 1\",\"parlour\":1";
    QTest::newRow("not JSON") << QByteArray("{\"format\":") << "not JSON";
    QTest::newRow("other format") << QByteArray("{\"format\":\"other\",\"version\":1}") << "format";
    QTest::newRow("newer version") << QByteArray("{\"format\":\"stablomat-herd\",\"version\":2}")
                                   << "version";
    QTest::newRow("no reference day")
        << QByteArray("{\"format\":\"stablomat-herd\",\"version\":1,\"cows\":[]}") << "referenceDay";
    QTest::newRow("no registration") << minimalHerd("{\"parlour\":1}") << "cow 1: \"registration\" missing";
    QTest::newRow("parlour not whole")
        << minimalHerd("{\"registration\":\"x\",\"parlour\":1.5}") << "parlour";
    QTest::newRow("bad status") << minimalHerd("{" + good + ",\"status\":\"sold\"}") << "status";
    QTest::newRow("bad calving date")
        << minimalHerd("{" + good + ",\"calvings\":[\"2024-13-01\"]}") << "calvings";
    QTest::newRow("insemination without date")
        << minimalHerd("{" + good + ",\"inseminations\":[{\"sire\":\"X\"}]}") << "inseminations[0]";
    QTest::newRow("bad check result")
        << minimalHerd("{" + good + ",\"pregnancyChecks\":[{\"date\":\"2024-01-02\",\"result\":\"yes\"}]}")
        << "result";
    QTest::newRow("bad milking time")
        << minimalHerd("{" + good + ",\"milkings\":[{\"date\":\"2024-01-02\",\"time\":\"6:00\",\"kg\":1}]}")
        << "time";
    QTest::newRow("yield as text")
        << minimalHerd("{" + good +
                       ",\"milkings\":[{\"date\":\"2024-01-02\",\"time\":\"06:00:00\",\"kg\":\"1\"}]}")
        << "kg";
}

void TestHerdModel::malformedHerdFiles()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, complaint);
    Herd h;
    h.referenceDay = Today;
    h.cows.append(Cow());
    QString error;
    QVERIFY(!h.fromJson(json, &error));
    QVERIFY2(error.contains(complaint), qPrintable(error));
    // A failed load leaves the herd as it was.
    QCOMPARE(h.cows.size(), 1);
    QCOMPARE(h.referenceDay, Today);
}

void TestHerdModel::unknownMembersAreKept()
{
    const QByteArray json = "{\"format\":\"stablomat-herd\",\"version\":1,\"referenceDay\":\"2024-05-14\","
                            "\"farm\":{\"name\":\"Dvůr\",\"stalls\":[1,2]},"
                            "\"bulls\":[{\"code\":\"HO 1\",\"kiCode\":7}],"
                            "\"cows\":[{\"registration\":\"CZ 1\",\"parlour\":1,\"dierId\":12,"
                            "\"tag\":\"A \\\"1\\\"\",\"flags\":null}]}";
    Herd h;
    QString error;
    QVERIFY2(h.fromJson(json, &error), qPrintable(error));
    QCOMPARE(h.cows.at(0).extra.value("dierId").toInt(), 12);
    Herd back;
    QVERIFY2(back.fromJson(h.toJson(), &error), qPrintable(error));
    QCOMPARE(back.extra.value("farm").toObject().value("name").toString(), QString("Dvůr"));
    QCOMPARE(back.extra.value("farm").toObject().value("stalls").toArray().size(), 2);
    QCOMPARE(back.bulls.at(0).extra.value("kiCode").toInt(), 7);
    QCOMPARE(back.cows.at(0).extra.value("dierId").toInt(), 12);
    QCOMPARE(back.cows.at(0).extra.value("tag").toString(), QString("A \"1\""));
    QVERIFY(back.cows.at(0).extra.contains("flags"));
    QCOMPARE(back.toJson(), h.toJson());
}

void TestHerdModel::saveFailureLeavesOldFile()
{
    Herd h;
    h.referenceDay = Today;
    QString error;
    QVERIFY(!h.save(path("no/such/dir/herd.json"), &error));
    QVERIFY(!error.isEmpty());
    // A save that replaces a file leaves no temporary file behind.
    QVERIFY(h.save(path("herd.json"), &error));
    h.cows.append(Cow());
    h.cows[0].registration = "CZ 1";
    h.cows[0].parlour = 1;
    QVERIFY(h.save(path("herd.json"), &error));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files), QStringList{"herd.json"});
}

void TestHerdModel::significantDigits_data()
{
    QTest::addColumn<QString>("registration");
    QTest::addColumn<QString>("digits");
    const char *const rows[][3] = {{"prefix and zero", "CZ 012345678", "12345678"},
                                   {"inner blanks", "CZ 012345 678", "12345678"},
                                   {"plain", "12345678", "12345678"},
                                   {"nine digits", "CZ123456789", "123456789"},
                                   {"only zeros", "CZ 000", "0"},
                                   {"no digits", "CZ", "0"}};
    for (const auto &r : rows)
        QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]);
}

void TestHerdModel::significantDigits()
{
    QFETCH(QString, registration);
    QFETCH(QString, digits);
    QCOMPARE(herd::significantDigits(registration), digits);
}

void TestHerdModel::lookups()
{
    Herd h;
    Cow gone;
    gone.registration = "CZ 011111111";
    gone.parlour = 7;
    gone.status = herd::Status::Culled;
    gone.statusDate = Today.addDays(-30);
    Cow present;
    present.registration = "CZ 022222222";
    present.parlour = 7;
    h.cows << gone << present;
    herd::Bull bull;
    bull.code = "HO 1";
    h.bulls << bull;

    QVERIFY(h.cowByParlour(7));
    QCOMPARE(h.cowByParlour(7)->registration, QString("CZ 022222222"));
    h.cows[1].parlour = 8;
    QCOMPARE(h.cowByParlour(7)->registration, QString("CZ 011111111"));
    QVERIFY(!h.cowByParlour(9));
    QCOMPARE(h.cowByRegistration("CZ 022222222"), &h.cows[1]);
    QCOMPARE(h.cowByRegistration("22222222"), &h.cows[1]);
    QCOMPARE(h.cowByRegistration("CZ 0111 11111"), &h.cows[0]);
    QVERIFY(!h.cowByRegistration("CZ 033333333"));
    QVERIFY(h.bullByCode("HO 1"));
    QVERIFY(!h.bullByCode("HO 2"));
}

void TestHerdModel::ordinals()
{
    Cow c;
    c.calvings << QDate(2023, 3, 1) << QDate(2024, 3, 1);
    c.inseminations << herd::Insemination{QDate(2023, 5, 1), "A", 1, ""}
                    << herd::Insemination{QDate(2023, 5, 22), "A", 2, ""}
                    << herd::Insemination{QDate(2024, 4, 20), "B", 1, ""};
    QCOMPARE(c.ordinalFor(QDate(2023, 4, 1)), 1);
    QCOMPARE(c.ordinalFor(QDate(2023, 6, 15)), 3);
    QCOMPARE(c.ordinalFor(QDate(2024, 5, 10)), 2);
    c.addInsemination({QDate(2024, 4, 1), "C", 1, ""});
    QCOMPARE(c.inseminations.at(2).date, QDate(2024, 4, 1));
    QCOMPARE(c.lastInsemination()->sire, QString("B"));
}

void TestHerdModel::recordInsemination_data()
{
    QTest::addColumn<QString>("parlour");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<int>("ordinal");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("storedOrdinal"); // of the new insemination; 0 when none is added
    const int recorded = int(herd::RecordOutcome::Recorded);
    QTest::newRow("ordinal given") << "7" << QDate(2024, 5, 1) << 4 << recorded << 4;
    QTest::newRow("no ordinal: the herd numbers it") << "7" << QDate(2024, 5, 1) << 0 << recorded << 2;
    QTest::newRow("negative ordinal: the herd numbers it")
        << " 7" << QDate(2024, 5, 1) << -3 << recorded << 2;
    QTest::newRow("same day again") << "7" << QDate(2024, 4, 20) << 2
                                    << int(herd::RecordOutcome::AlreadyRecorded) << 0;
    QTest::newRow("culled cow") << "8" << QDate(2024, 5, 1) << 1 << int(herd::RecordOutcome::NoSuchCow) << 0;
    QTest::newRow("unknown number") << "9" << QDate(2024, 5, 1) << 1 << int(herd::RecordOutcome::NoSuchCow)
                                    << 0;
    QTest::newRow("no number") << "x7" << QDate(2024, 5, 1) << 1 << int(herd::RecordOutcome::NoSuchCow) << 0;
    QTest::newRow("no date") << "7" << QDate() << 1 << int(herd::RecordOutcome::NoDate) << 0;
}

void TestHerdModel::recordInsemination()
{
    QFETCH(QString, parlour);
    QFETCH(QDate, date);
    QFETCH(int, ordinal);
    QFETCH(int, outcome);
    QFETCH(int, storedOrdinal);
    Herd h;
    Cow c;
    c.parlour = 7;
    c.calvings << QDate(2024, 3, 1);
    c.inseminations << herd::Insemination{QDate(2024, 4, 20), "A", 1, ""};
    Cow culled;
    culled.parlour = 8;
    culled.status = herd::Status::Culled;
    culled.statusDate = QDate(2024, 4, 1);
    h.cows << c << culled;

    QCOMPARE(int(herd::recordInsemination(h, parlour, date, "HO 9", ordinal)), outcome);
    QCOMPARE(herd::skipText(herd::RecordOutcome(outcome)).isEmpty(), storedOrdinal > 0);
    QCOMPARE(h.cows.at(0).inseminations.size(), storedOrdinal > 0 ? 2 : 1);
    QVERIFY(h.cows.at(1).inseminations.isEmpty());
    if (storedOrdinal > 0) {
        QCOMPARE(h.cows.at(0).lastInsemination()->date, date);
        QCOMPARE(h.cows.at(0).lastInsemination()->ordinal, storedOrdinal);
        QCOMPARE(h.cows.at(0).lastInsemination()->sire, QString("HO 9"));
    }
}

void TestHerdModel::shiftDays()
{
    herd::GeneratorOptions o;
    o.cows = 40;
    o.today = Today;
    Herd h = herd::generateHerd(o);
    const Herd before = h;
    h.shiftDays(10);
    QCOMPARE(h.referenceDay, Today.addDays(10));
    QVERIFY(h.problems().isEmpty());
    for (int i = 0; i < h.cows.size(); ++i) {
        QCOMPARE(h.cows.at(i).birth, before.cows.at(i).birth.addDays(10));
        QCOMPARE(h.cows.at(i).milkings.size(), before.cows.at(i).milkings.size());
        if (!h.cows.at(i).inseminations.isEmpty())
            QCOMPARE(h.cows.at(i).lastInsemination()->date,
                     before.cows.at(i).lastInsemination()->date.addDays(10));
        QCOMPARE(h.cows.at(i).milkingsOn(h.referenceDay).size(), before.cows.at(i).milkingsOn(Today).size());
    }
}

STABLOMAT_TEST_MAIN_CORE(TestHerdModel)

#include "tst_herdmodel.moc"
