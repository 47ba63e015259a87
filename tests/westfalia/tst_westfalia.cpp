// A Westfalia farm end to end: the program's window, the dpdataexchange.exe stand-in laid out by
// farm-tool on the fake drive C, and the reference herd registry on loopback.
#include "common/registryprocess.h"
#include "common/testsupport.h"

#include "app/mainwindow.h"
#include "common/simprocess.h"
#include "exchange/answerfile.h"
#include "generator.h"
#include "herd.h"
#include "platform/settingskeys.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTextEdit>

namespace {

const QString Cloud = QStringLiteral("5150");
const QString User = QStringLiteral("eva");
const QString Password = QString::fromUtf8("kráva má dost");

const QString Header = QStringLiteral("CN                   FILE FOR WESTFALIA-VELMORIN COMMUNICATION\n"
                                      "CN------------------\n"
                                      "CN Sender information\n"
                                      "CN      |sender    | sender   |version   |date      |time      \n"
                                      "DH0000000000000008000900006240009000080800090000308000900004060\n"
                                      "VH000000DD:     Velmorin                5.50    20010112102200\n"
                                      "CN------------------\n");

QString lifeNumber(const herd::Cow &c)
{
    return herd::significantDigits(c.registration);
}

QString dairyPlanDir()
{
    return TestEnvironment::winePrefix() + QStringLiteral("/drive_c/DairyPln/");
}

QString sixWide(int n)
{
    return QString::number(n).rightJustified(6);
}

} // namespace

class TestWestfalia : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void fullRun();
    void writeBackNotDone_data();
    void writeBackNotDone();
    void timerRun();
    void noDayWindows();
    void missingAnswer_data();
    void missingAnswer();
    void largeHerd();

private:
    void layOut(herd::Herd h);
    bool record(const QString &life, const QDate &date, const QVariant &ordinal, const QString &bull)
    {
        return registry->recordInsemination(Cloud, life, date, ordinal, bull);
    }
    // Cow A served two days ago (ordinal 2, bull "B"), and the registry started.
    void recordA()
    {
        QVERIFY(record(lifeNumber(herd.cows[a]), today.addDays(-2), 2, QStringLiteral("B")));
        QVERIFY(registry->serve());
    }
    herd::Herd herdFile() const { return loadHerd(dairyPlanDir() + QStringLiteral("herd.json")); }
    void setWindows(int insDays, int sendDays)
    {
        window->settingsStore()->setValue(keys::InsDays, insDays);
        window->settingsStore()->setValue(keys::SendDays, sendDays);
    }
    QString expectedCsv(const QVector<QDateTime> &bounds) const;
    // The window made again with these milking periods, as after the user chose them; their bounds.
    QVector<QDateTime> choosePeriods(const QList<int> &choices);
    QString text() const { return widgetNamed<QTextEdit>(window, "textEdit")->toPlainText(); }

    const QDate today = QDate::currentDate();
    herd::Herd herd;
    // Cows with known histories: A, B and C get inseminations from the cloud, D holds the one
    // the cloud has, F has only events of its previous lactation.
    int a = -1, b = -1, c = -1, d = -1, f = -1;
    RegistryProcess *registry = nullptr;
    MainWindow *window = nullptr;
};

void TestWestfalia::initTestCase()
{
    qputenv("ZAVRA_TIMEOUT_MS", "5000");
    // Answers appear before the converter returns; a missing one is given up in milliseconds.
    exchange::setAnswerWait({3, 10});
}

void TestWestfalia::layOut(herd::Herd h)
{
    TestEnvironment::resetDriveC();
    QTemporaryDir dir;
    QString error;
    QVERIFY2(h.save(dir.filePath(QStringLiteral("herd.json")), &error), qPrintable(error));
    error = QString::fromLocal8Bit(layOutFarm("dairyplan", dir.filePath(QStringLiteral("herd.json"))));
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestWestfalia::init()
{
    herd::GeneratorOptions options;
    options.cows = 30;
    options.seed = 11;
    options.today = today;
    options.milkingDays = 1;
    herd = herd::generateHerd(options);
    QVector<int> picked;
    for (int i = 0; i < herd.cows.size() && picked.size() < 5; ++i) {
        if (herd.cows.at(i).isPresent())
            picked << i;
    }
    QCOMPARE(picked.size(), 5);
    a = picked[0], b = picked[1], c = picked[2], d = picked[3], f = picked[4];
    auto reset = [&](int i, int daysSinceCalving) {
        herd::Cow &cow = herd.cows[i];
        cow.calvings = {today.addDays(-daysSinceCalving)};
        cow.inseminations.clear();
        cow.pregnancyChecks.clear();
        cow.dryOffs.clear();
        cow.abortions.clear();
        cow.heats.clear();
        return &cow;
    };
    herd::Cow *cowA = reset(a, 100);
    // Two morning milkings (the second exactly at the end of period 1) and one the evening before.
    cowA->milkings = {{today.addDays(-1), QTime(17, 0), 10.0, 300, 1},
                      {today, QTime(5, 0), 12.34, 320, 1},
                      {today, QTime(5, 59, 59), 11.76, 310, 2}};
    reset(b, 80);
    reset(c, 90);
    herd::Cow *cowD = reset(d, 120);
    cowD->inseminations = {{today.addDays(-20), QStringLiteral("HO 1"), 1, QString()}};
    cowD->pregnancyChecks = {{today.addDays(-5), true}};
    herd::Cow *cowF = reset(f, 10);
    cowF->inseminations = {{today.addDays(-40), QStringLiteral("HO 2"), 1, QString()}};
    cowF->pregnancyChecks = {{today.addDays(-20), false}};
    cowF->dryOffs = {today.addDays(-25)};
    cowF->abortions = {today.addDays(-15)};
    layOut(herd);

    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, User, Password));
    window = new MainWindow;
    QCOMPARE(window->milkingSystem(), 3);
    QCOMPARE(window->milkingSystemPath(), QStringLiteral("c:/DairyPln/dpdataexchange.exe"));
    storeCloud(window->settingsStore(), Cloud, User, Password);
    window->settingsStore()->setValue(keys::ImportInseminations, true);
}

void TestWestfalia::cleanup()
{
    qunsetenv("DPDATAEXCHANGE_IGNORE");
    qunsetenv("DPDATAEXCHANGE_FAIL_MODIFY");
    discardWindow(window);
    delete registry;
    registry = nullptr;
}

// What the milk-yield text must say for the herd: the last six milkings of each cow, as DairyPlan
// reports them (latest first, in tenths of a kilogram), summed per period.
QVector<QDateTime> TestWestfalia::choosePeriods(const QList<int> &choices)
{
    delete window;
    storeMilkingPeriods(choices);
    window = new MainWindow;
    window->computeMilkingPeriods();
    return boundsForChoices(choices).toVector();
}

QString TestWestfalia::expectedCsv(const QVector<QDateTime> &bounds) const
{
    QString csv = QStringLiteral("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n");
    for (int p = 0; p < 3; ++p) {
        const QDateTime from = bounds.value(2 * p), to = bounds.value(2 * p + 1);
        QMap<QString, QPair<double, QDateTime>> sums;
        for (const herd::Cow &cow : herd.cows) {
            QVector<herd::Milking> ms = cow.milkings;
            std::sort(ms.begin(), ms.end(),
                      [](const herd::Milking &x, const herd::Milking &y) { return x.at() > y.at(); });
            for (int k = 0; k < qMin(6, ms.size()); ++k) {
                const double kg = qRound(ms[k].kg * 10) / 10.0;
                if (!from.isValid() || ms[k].at() < from || ms[k].at() > to || kg <= 0)
                    continue;
                auto &entry = sums[lifeNumber(cow)];
                if (!entry.second.isValid())
                    entry.second = ms[k].at();
                entry.first += kg;
            }
        }
        for (auto it = sums.cbegin(); it != sums.cend(); ++it)
            csv += QStringLiteral("%1,%2,%3,,%4\n")
                       .arg(it.key())
                       .arg(p + 1)
                       .arg(it.value().second.toString(QStringLiteral("yyyyMMdd hh:mm:ss")))
                       .arg(QString::asprintf("%.1f", it.value().first));
    }
    return csv;
}

void TestWestfalia::fullRun()
{
    const herd::Cow &cowA = herd.cows[a], &cowB = herd.cows[b], &cowC = herd.cows[c], &cowD = herd.cows[d],
                    &cowF = herd.cows[f];
    QVERIFY(record(lifeNumber(cowD), today.addDays(-20), 1, QStringLiteral("HO 1"))); // DairyPlan holds it
    QVERIFY(
        record(QStringLiteral("987654321"), today.addDays(-4), 1, QStringLiteral("X"))); // not in DairyPlan
    QVERIFY(record(lifeNumber(cowC), today.addDays(-3), 0, QStringLiteral("Jardin ET Superlong 123")));
    QVERIFY(record(lifeNumber(cowA), today.addDays(-2), 2, QStringLiteral("HO 444649")));
    QVERIFY(record(lifeNumber(cowB), today.addDays(-1), QVariant(), QString()));
    QVERIFY(registry->serve());

    // Period 1 (today 04:00 to 05:59:59) ends exactly at cow A's second milking; period 3
    // (yesterday 12:00 to today 23:59:59) overlaps period 1.
    const QVector<QDateTime> bounds = choosePeriods({1, 0, 1, 0, 4, 0, 5, 0, 0, 0, 0, 1, 12, 0, 23});
    widgetNamed<QTextEdit>(window, "textEdit")->setPlainText(QStringLiteral("text of an earlier run"));
    ModalAnswerer answerer;
    QElapsedTimer clock;
    clock.start();
    window->exchangeWestfalia(true, true);
    qInfo("Westfalia run with 30 cows: %lld ms", clock.elapsed());

    // The three request files, byte for byte.
    const QString dir = dairyPlanDir();
    QCOMPARE(readWholeFile(dir + "fin_stablomat_reprodukce_posledni.ads"),
             crlf(Header + "ON fout_stablomat_reprodukce_posledni.ads\n"
                           "C: Udaje o kravach\n"
                           "R:COW,Reg1,resp\\16,typ,SIRE,DAM,st,Gp,bd,NAME\\12,1{BIRDAT},1{CLVDAT},1{LACTNO},"
                           "1{SRVDAT,SrvCount},1{PRGDAT,prgdiag},1{DRYDAT},1{abtdat},ai\\2,GateD\\9,1{G1\\2},"
                           "1{G2\\2},1{G3\\2},1{G4\\2},SelCount\n"
                           "TN\nZN\n"));
    QCOMPARE(readWholeFile(dir + "fin_stablomat_nadoje.ads"),
             crlf(Header +
                  "ON fout_stablomat_nadoje.ads\n"
                  "C: dojeni\n"
                  "R:COW,Reg1,6{IMDat,IMTim\\6,IMWt\\5.1,IMDuration\\5.1,MsCondA,IMFlg\\1,IMIDDate\\9,"
                  "IMIDTime\\6,IMStartSec\\4,IMStall\\3,IMAttachDate\\9,IMAttachTime\\6,IMCode\\2}\n"
                  "TN\nZN\n"));
    // In the order received; the sire cut to 15, null ordinal and sire, ordinal 0.
    const QString ymd = QStringLiteral("yyyyMMdd");
    QCOMPARE(readWholeFile(dir + "fin_stablomat_modify.ads"),
             crlf(Header +
                  "CN ***** EVENT 0 *****\n"
                  "DN     0COW\\6.0,SRVDAT\\9,SrvCount\\6.0,ai\\2,srvsire\\15\n" +
                  "VN     0" + sixWide(cowC.parlour) + today.addDays(-3).toString(ymd) +
                  " ?????? 0Jardin ET Super\n" + "VN     0" + sixWide(cowA.parlour) +
                  today.addDays(-2).toString(ymd) + "      2 2      HO 444649\n" + "VN     0" +
                  sixWide(cowB.parlour) + today.addDays(-1).toString(ymd) + " ?????? 0???????????????\n" +
                  "TN\nZN\n"));

    // The records the registry received.
    const QJsonObject stored = registry->dump(Cloud);
    const QJsonArray animals = stored.value("animals").toArray();
    QCOMPARE(animals.size(), herd.cows.size());
    for (const QJsonValue &v : animals) {
        const QJsonObject o = v.toObject();
        const herd::Cow *cow = herd.cowByRegistration(o.value("cislo").toString());
        QVERIFY(cow);
        QCOMPARE(o.value("cislo").toString(), lifeNumber(*cow));
        QCOMPARE(o.value("tech_cislo").toString(), QString::number(cow->parlour));
        QCOMPARE(o.value("vyrazena").toString(),
                 cow->isPresent() ? QStringLiteral("0") : QStringLiteral("1"));
        QVERIFY(!o.contains("transponder"));
    }
    // Events of the current lactation within the last 30 days.
    const QDate windowStart = today.addDays(-30);
    QSet<QString> pregnancies, dryOffs;
    for (const herd::Cow &cow : herd.cows) {
        const QDate calved = cow.lastCalving();
        auto sent = [&](const QDate &e) {
            return e.isValid() && e >= windowStart && (!calved.isValid() || e >= calved);
        };
        if (const herd::PregnancyCheck *check = cow.lastPregnancyCheck(); check && sent(check->date))
            pregnancies << lifeNumber(cow) + " " + check->date.toString(Qt::ISODate) +
                               (check->pregnant ? " 1" : " 2");
        if (sent(cow.lastAbortion()))
            pregnancies << lifeNumber(cow) + " " + cow.lastAbortion().toString(Qt::ISODate) + " 4";
        if (sent(cow.lastDryOff()))
            dryOffs << lifeNumber(cow) + " " + cow.lastDryOff().toString(Qt::ISODate);
    }
    QVERIFY(pregnancies.contains(lifeNumber(cowD) + " " + today.addDays(-5).toString(Qt::ISODate) + " 1"));
    QSet<QString> gotPregnancies, gotDryOffs;
    for (const QJsonValue &v : stored.value("pregnancies").toArray())
        gotPregnancies << v["cislo"].toString() + " " + v["datum"].toString() + " " +
                              QString::number(v["druh"].toInt());
    for (const QJsonValue &v : stored.value("dryOffs").toArray())
        gotDryOffs << v["cislo"].toString() + " " + v["datum"].toString();
    QCOMPARE(gotPregnancies, pregnancies);
    QCOMPARE(gotDryOffs, dryOffs);
    for (const QString &e : gotPregnancies + gotDryOffs)
        QVERIFY2(!e.startsWith(lifeNumber(cowF) + " "), qPrintable(e));
    QVERIFY(stored.value("inseminations").toArray().isEmpty());
    const QJsonObject body = registry->lastBody();
    QCOMPARE(body.value("shortNumbers").toBool(), true);
    QCOMPARE(body.value("sendInseminations").toBool(), false);
    QCOMPARE(body.value("insDays").toInt(), 30);
    QCOMPARE(body.value("sendDays").toInt(), 30);

    // The short result text.
    QCOMPARE(answerer.texts(),
             QStringList{QString::fromUtf8("Proběhla úspěšná datová výměna.\n\nInseminací: 5/3\n"
                                           "Technologické označení: %1\nBřezost: %2\nZasušení: %3\n"
                                           "Plány: 0")
                             .arg(herd.cows.size())
                             .arg(pregnancies.size())
                             .arg(dryOffs.size())});
    QCOMPARE(answerer.boxes[0].title, QStringLiteral("Stablomat"));

    // DairyPlan recorded the three inseminations.
    const herd::Herd after = herdFile();
    QCOMPARE(after.cows.size(), herd.cows.size());
    for (int i = 0; i < herd.cows.size(); ++i) {
        const int added = after.cows[i].inseminations.size() - herd.cows[i].inseminations.size();
        QCOMPARE(added, (i == a || i == b || i == c) ? 1 : 0);
    }
    const herd::Insemination written[] = {{today.addDays(-2), "HO 444649", 2, QString()},
                                          {today.addDays(-1), QString(), 1, QString()},
                                          {today.addDays(-3), "Jardin ET Super", 1, QString()}};
    for (int k = 0; k < 3; ++k) {
        const herd::Insemination *got = after.cows[k == 0 ? a : k == 1 ? b : c].lastInsemination();
        QCOMPARE(got->date, written[k].date);
        QCOMPARE(got->ordinal, written[k].ordinal);
        QCOMPARE(got->sire, written[k].sire);
    }

    // The milk-yield text: cow A's two morning milkings in period 1 (12.3 + 11.8, the time of the
    // one first in DairyPlan's line, the latest), all three in the overlapping period 3.
    const QString milk = text();
    QCOMPARE(milk, expectedCsv(bounds));
    const QString day = today.toString(ymd);
    QVERIFY(milk.contains(lifeNumber(cowA) + ",1," + day + " 05:59:59,,24.1\n"));
    QVERIFY(milk.contains(lifeNumber(cowA) + ",3," + day + " 05:59:59,,34.1\n"));
    QVERIFY(!milk.contains(QStringLiteral(",2,")));
    QVERIFY(milk.count('\n') > 10);

    // The next run finds the inseminations in DairyPlan and writes none again.
    window->exchangeWestfalia(false, true);
    QCOMPARE(answerer.boxes.size(), 2);
    QVERIFY2(answerer.boxes[1].text.contains(QString::fromUtf8("Inseminací: 5/0\n")),
             qPrintable(answerer.boxes[1].text));
    QCOMPARE(readWholeFile(dir + "fin_stablomat_modify.ads"),
             crlf(Header + "CN ***** EVENT 0 *****\n"
                           "DN     0COW\\6.0,SRVDAT\\9,SrvCount\\6.0,ai\\2,srvsire\\15\nTN\nZN\n"));
    QCOMPARE(herdFile().toJson(), after.toJson());
    QVERIFY(text().isEmpty());
}

void TestWestfalia::writeBackNotDone_data()
{
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<QString>("counts");
    // The lines are built and counted, but DairyPlan is not asked to record them.
    QTest::newRow("write-back not allowed") << false << "2/2";
    // Handed to DairyPlan, which failed: nothing counts as written.
    QTest::newRow("converter fails") << true << "2/0";
}

void TestWestfalia::writeBackNotDone()
{
    QFETCH(bool, allowed);
    QFETCH(QString, counts);
    window->settingsStore()->setValue(keys::ImportInseminations, allowed);
    if (allowed)
        qputenv("DPDATAEXCHANGE_FAIL_MODIFY", "1");
    QVERIFY(record(lifeNumber(herd.cows[b]), today.addDays(-1), 1, QStringLiteral("B")));
    recordA();
    const QByteArray before = readWholeFile(dairyPlanDir() + "herd.json");
    ModalAnswerer answerer;
    window->exchangeWestfalia(false, true);
    QCOMPARE(answerer.boxes.size(), 1);
    QVERIFY2(answerer.boxes[0].text.contains(QString::fromUtf8("Inseminací: ") + counts + "\n"),
             qPrintable(answerer.boxes[0].text));
    QCOMPARE(QFileInfo::exists(dairyPlanDir() + "fin_stablomat_modify.ads"), allowed);
    QCOMPARE(readWholeFile(dairyPlanDir() + "herd.json"), before);
}

void TestWestfalia::timerRun()
{
    window->settingsStore()->setValue(keys::FetchYields, true);
    recordA();
    ModalAnswerer answerer;
    window->runExchange(false, false);
    // No message, no milk yields, but the insemination is in DairyPlan.
    QCOMPARE(answerer.boxes.size(), 0);
    QVERIFY(text().isEmpty());
    QVERIFY(!QFileInfo::exists(dairyPlanDir() + "fin_stablomat_nadoje.ads"));
    const herd::Herd written = herdFile();
    const herd::Insemination *last = written.cows[a].lastInsemination();
    QVERIFY(last);
    QCOMPARE(last->date, today.addDays(-2));
    QCOMPARE(registry->requests("/api/v1/sync").size(), 1);
}

void TestWestfalia::noDayWindows()
{
    setWindows(0, 0);
    recordA();
    const QVector<QDateTime> bounds = choosePeriods({1, 0, 0, 0, 0, 0, 23});
    const QByteArray before = readWholeFile(dairyPlanDir() + "herd.json");
    ModalAnswerer answerer;
    window->exchangeWestfalia(true, true);
    // DairyPlan is asked, the cloud is not; the milk-yield text is there all the same.
    QVERIFY(QFileInfo::exists(dairyPlanDir() + "fout_stablomat_reprodukce_posledni.ads"));
    QCOMPARE(registry->requests().size(), 0);
    QCOMPARE(answerer.boxes.size(), 0);
    QCOMPARE(text(), expectedCsv(bounds));
    QVERIFY(
        text().contains(lifeNumber(herd.cows[a]) + ",1," + today.toString("yyyyMMdd") + " 05:59:59,,24.1\n"));
    QVERIFY(!QFileInfo::exists(dairyPlanDir() + "fin_stablomat_modify.ads"));
    QCOMPARE(readWholeFile(dairyPlanDir() + "herd.json"), before);
}

void TestWestfalia::missingAnswer_data()
{
    QTest::addColumn<QString>("ignored");
    QTest::addColumn<bool>("milkAsked");
    QTest::newRow("reproduction answer") << "reproduction" << false;
    QTest::newRow("milk-yield answer") << "milk" << true;
}

void TestWestfalia::missingAnswer()
{
    QFETCH(QString, ignored);
    QFETCH(bool, milkAsked);
    qputenv("DPDATAEXCHANGE_IGNORE", ignored.toUtf8());
    recordA();
    // An answer left from an earlier run is not taken for this run's.
    QVERIFY(!makeDriveCFile(
                 QStringLiteral("c:/DairyPln/fout_stablomat_") +
                     (milkAsked ? QStringLiteral("nadoje.ads") : QStringLiteral("reprodukce_posledni.ads")),
                 "stale")
                 .isEmpty());
    choosePeriods({1, 0, 0, 0, 0, 0, 23});
    widgetNamed<QTextEdit>(window, "textEdit")->setPlainText(QStringLiteral("text of an earlier run"));
    const QByteArray before = readWholeFile(dairyPlanDir() + "herd.json");
    ModalAnswerer answerer;
    QElapsedTimer clock;
    clock.start();
    window->exchangeWestfalia(true, true);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    // The run ends silently: no cloud, no message, the text area left empty.
    QVERIFY(text().isEmpty());
    QCOMPARE(answerer.boxes.size(), 0);
    QCOMPARE(registry->requests().size(), 0);
    QCOMPARE(QFileInfo::exists(dairyPlanDir() + "fin_stablomat_nadoje.ads"), milkAsked);
    QVERIFY(!QFileInfo::exists(dairyPlanDir() + "fin_stablomat_modify.ads"));
    QCOMPARE(readWholeFile(dairyPlanDir() + "herd.json"), before);
}

void TestWestfalia::largeHerd()
{
    herd::GeneratorOptions options;
    options.cows = 5000;
    options.seed = 5;
    options.today = today;
    options.longNumbers = true;
    herd = herd::generateHerd(options);
    layOut(herd);
    QVERIFY(registry->serve());
    qputenv("ZAVRA_TIMEOUT_MS", "60000");
    const QVector<QDateTime> bounds = choosePeriods({1, 1, 1, 0, 0, 0, 11, 0, 12, 0, 23, 1, 0, 1, 23});
    ModalAnswerer answerer;
    QElapsedTimer clock;
    clock.start();
    window->exchangeWestfalia(true, false);
    const qint64 elapsed = clock.elapsed();
    qputenv("ZAVRA_TIMEOUT_MS", "5000");
    qInfo("Westfalia run with 5000 cows, milk yields and the cloud: %lld ms", elapsed);
    QCOMPARE(answerer.boxes.size(), 0);
    QCOMPARE(text(), expectedCsv(bounds));
    QCOMPARE(registry->dump(Cloud).value("animals").toArray().size(), 5000);
    QVERIFY2(elapsed < 60000, qPrintable(QString::number(elapsed)));
}

STABLOMAT_TEST_MAIN(TestWestfalia)
#include "tst_westfalia.moc"
