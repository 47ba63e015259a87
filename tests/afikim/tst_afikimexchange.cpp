// The AfiFarm exchange end to end: the stand-in saves its report into the watched directory, the
// main window's watcher starts the run, the reference herd registry receives the records, and the
// import file goes back to the stand-in.
#include "adapters/afikim/afikimreport.h"
#include "app/mainwindow.h"
#include "common/registryprocess.h"
#include "common/simprocess.h"
#include "common/testsupport.h"
#include "herd.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QTextCodec>

namespace {

const QString Cloud = QStringLiteral("5005");
const QString User = QStringLiteral("afikim");
const QString Password = QString::fromUtf8("heslo č. 1");
const QString BullName = QString::fromUtf8("Testovací Býk");

QString savefile()
{
    return platform::localPath("c:/afifarm/savefile");
}

QString importPath()
{
    return platform::localPath("c:/afifarm/DATA/MS/afi_ms.dat");
}

herd::Herd herdNow()
{
    return loadHerd(platform::localPath("c:/afifarm/program/herd.json"));
}

Run afifarm(const QStringList &arguments)
{
    return runProgram(platform::localPath("c:/afifarm/program/afifarm.exe"), arguments);
}

QStringList reports()
{
    return QDir(savefile()).entryList({"StablomatAnimals*"}, QDir::Files, QDir::Name);
}

// Kilograms as the report writes them (two decimals) and the program reads them back.
double reported(double kg)
{
    return QString::number(kg, 'f', 2).toDouble();
}

// The rules of the report as the program applies them, on the herd the report was made from.
struct Expected
{
    QMap<QString, QString> animals; // life number -> "tech vyrazena"
    QStringList pregnancies;        // "life date druh"
    QStringList dryOffs;            // "life date"
    bool shortNumbers = true;
    QString milk;
};

Expected expectedFrom(const herd::Herd &herd, int sendDays, int hour)
{
    Expected e;
    const QDate today = QDate::currentDate();
    const QDate start = today.addDays(-sendDays);
    const QDate evening = hour >= 12 ? today : today.addDays(-1);
    QMap<QString, double> yield1, yield2;
    for (const herd::Cow &c : herd.cows) {
        if (!c.isPresent())
            continue;
        const QString life = herd::significantDigits(c.registration);
        e.animals.insert(life, (c.parlour < 9999 ? QString::number(c.parlour) : QString("-")) + " " +
                                   (c.doNotInseminate ? "1" : "0"));
        if (life.size() >= 9)
            e.shortNumbers = false;
        const QDate calving = c.lastCalving();
        const auto afterCalving = [&](const QDate &d) {
            return d.isValid() && (!calving.isValid() || d >= calving);
        };
        QDate ins = c.lastInsemination() ? c.lastInsemination()->date : QDate();
        if (!afterCalving(ins))
            ins = QDate();
        const herd::PregnancyCheck *check = c.lastPregnancyCheck();
        if (check && afterCalving(check->date) && (!ins.isValid() || check->date >= ins) &&
            check->date >= start)
            e.pregnancies << QStringLiteral("%1 %2 %3")
                                 .arg(life, check->date.toString(Qt::ISODate))
                                 .arg(check->pregnant ? 1 : 2);
        if (afterCalving(c.lastAbortion()) && c.lastAbortion() >= start)
            e.pregnancies << QStringLiteral("%1 %2 4").arg(life, c.lastAbortion().toString(Qt::ISODate));
        if (afterCalving(c.lastDryOff()) && c.lastDryOff() >= start)
            e.dryOffs << QStringLiteral("%1 %2").arg(life, c.lastDryOff().toString(Qt::ISODate));
        for (const herd::Milking &m : c.milkingsOn(today)) {
            if (m.time.hour() < 12)
                yield1[life] += m.kg;
        }
        for (const herd::Milking &m : c.milkingsOn(evening)) {
            if (m.time.hour() >= 12)
                yield2[life] += m.kg;
        }
    }
    e.pregnancies.sort();
    e.dryOffs.sort();
    e.milk = "USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n";
    for (auto it = yield1.cbegin(); it != yield1.cend(); ++it) {
        if (reported(it.value()) > 0)
            e.milk += QStringLiteral("%1,1,%2 00:00:00,,%3\n")
                          .arg(it.key(), today.toString("yyyyMMdd"),
                               QString::asprintf("%.1f", reported(it.value())));
    }
    for (auto it = yield2.cbegin(); it != yield2.cend(); ++it) {
        if (reported(it.value()) > 0)
            e.milk += QStringLiteral("%1,2,%2 00:00:00,,%3\n")
                          .arg(it.key(), evening.toString("yyyyMMdd"),
                               QString::asprintf("%.1f", reported(it.value())));
    }
    return e;
}

QStringList texts(const QJsonArray &array, const QStringList &fields)
{
    QStringList out;
    for (const QJsonValue &v : array) {
        QStringList parts;
        for (const QString &f : fields) {
            const QJsonValue x = v.toObject().value(f);
            parts << (x.isDouble()      ? QString::number(x.toInt())
                      : x.isUndefined() ? QString("-")
                                        : x.toString());
        }
        out << parts.join(' ');
    }
    out.sort();
    return out;
}

} // namespace

class TestAfikimExchange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void roundTripThroughWatcher_data();
    void roundTripThroughWatcher();
    void twoReports_data();
    void twoReports();
    void unsupportedReports_data();
    void unsupportedReports();
    void messages_data();
    void messages();
    void importFileNotCreated_data();
    void importFileNotCreated();
    void noCloudWindows();
    void secondRequestDuringRunRunsOnceAfter();
    void waitLetsAfiFarmFinish_data();
    void waitLetsAfiFarmFinish();

private:
    void layOut(const QString &herdFile);
    void makeWindow();
    Run saveReport(const QStringList &extra = QStringList())
    {
        return afifarm(QStringList{"report", "--hour", QString::number(QTime::currentTime().hour())} + extra);
    }
    bool recordInsemination(const QString &life, const QDate &date, const QString &bull,
                            const QString &name = QString())
    {
        return registry->recordInsemination(Cloud, life, date, QVariant(), bull, name);
    }
    QString text() const { return widgetNamed<QTextEdit>(window, "textEdit")->toPlainText(); }

    QTemporaryDir herdDir;
    QString shortHerd;
    QString longHerd;
    RegistryProcess *registry = nullptr;
    MainWindow *window = nullptr;
};

void TestAfikimExchange::initTestCase()
{
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    shortHerd = generateHerdFile(herdDir.filePath("short.json"), 40, 21, {"--today", today});
    longHerd = generateHerdFile(herdDir.filePath("long.json"), 60, 22, {"--today", today, "--long-numbers"});
    QVERIFY(!shortHerd.isEmpty() && !longHerd.isEmpty());
    qputenv("ZAVRA_TIMEOUT_MS", "8000");
}

void TestAfikimExchange::init()
{
    afikim::setReportWaitMs(100);
    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, User, Password));
    layOut(shortHerd);
}

void TestAfikimExchange::cleanup()
{
    discardWindow(window);
    delete registry;
    registry = nullptr;
    afikim::setReportWaitMs(5000);
}

void TestAfikimExchange::layOut(const QString &herdFile)
{
    TestEnvironment::resetDriveC();
    const QByteArray error = layOutFarm("afikim", herdFile);
    QVERIFY2(error.isEmpty(), error.constData());
}

// Built after the farm is laid out: detection runs in the constructor and sets up the watcher.
void TestAfikimExchange::makeWindow()
{
    window = new MainWindow;
    storeCloud(window->settingsStore(), Cloud, User, Password, 400, 60);
    window->settingsStore()->setValue(keys::TrayIcon, false);
}

void TestAfikimExchange::roundTripThroughWatcher_data()
{
    QTest::addColumn<bool>("longNumbers");
    QTest::newRow("short life numbers") << false;
    QTest::newRow("a nine-digit life number") << true;
}

void TestAfikimExchange::roundTripThroughWatcher()
{
    QFETCH(bool, longNumbers);
    if (longNumbers)
        layOut(longHerd);
    QVERIFY(registry->serve());
    const herd::Herd herd = herdNow();
    const QDate today = QDate::currentDate();

    // Three cows get the same bull: one with a two-digit number, two others; none of them holds an
    // insemination on those days.
    const QDate days[] = {today.addDays(-3), today.addDays(-2), today.addDays(-1)};
    const auto free = [&](const herd::Cow &c) {
        for (const herd::Insemination &i : c.inseminations) {
            if (i.date >= days[0])
                return false;
        }
        return !!c.isPresent();
    };
    QVector<const herd::Cow *> chosen;
    const auto twoDigit = std::find_if(herd.cows.cbegin(), herd.cows.cend(), [&](const herd::Cow &c) {
        return free(c) && c.parlour >= 10 && c.parlour < 100;
    });
    if (twoDigit != herd.cows.cend())
        chosen << &*twoDigit;
    for (const herd::Cow &c : herd.cows) {
        if (chosen.size() < 3 && free(c) && !chosen.contains(&c))
            chosen << &c;
    }
    QCOMPARE(chosen.size(), 3);
    // Skipped: the last insemination AfiFarm already holds, a culled cow, an animal AfiFarm does not know.
    const herd::Cow *known = nullptr;
    const herd::Cow *gone = nullptr;
    for (const herd::Cow &c : herd.cows) {
        const herd::Insemination *last = c.lastInsemination();
        if (!known && !chosen.contains(&c) && !!c.isPresent() && last && last->date >= today.addDays(-390) &&
            (!c.lastCalving().isValid() || last->date >= c.lastCalving()))
            known = &c;
        if (!gone && !c.isPresent())
            gone = &c;
    }
    QVERIFY(known && gone);
    const QString lifeOf[] = {herd::significantDigits(chosen[1]->registration),
                              herd::significantDigits(chosen[0]->registration),
                              herd::significantDigits(chosen[2]->registration)};
    QVERIFY(recordInsemination(herd::significantDigits(known->registration), known->lastInsemination()->date,
                               "HO 444649", "Balisto"));
    QVERIFY(recordInsemination(lifeOf[0], days[0], "CZE-99001", BullName));
    QVERIFY(recordInsemination(lifeOf[1], days[1], "CZE-99001", BullName));
    QVERIFY(recordInsemination(herd::significantDigits(gone->registration), days[1], "HO 444649", "Balisto"));
    QVERIFY(recordInsemination(lifeOf[2], days[2], "CZE-99001", BullName));
    QVERIFY(recordInsemination("999999", days[2], "HO 444649", "Balisto"));

    makeWindow();
    QCOMPARE(window->milkingSystem(), 5);
    widgetNamed<QTextEdit>(window, "textEdit")->setPlainText("old text");
    ModalAnswerer answerer;
    const int hour = QTime::currentTime().hour();
    const Run r = saveReport();
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(reports().size(), 1);
    QVERIFY(waitForAfifarmRuns(window, savefile()));

    const Expected expected = expectedFrom(herd, 60, hour);
    QVERIFY(expected.pregnancies.size() > 0);
    QCOMPARE(expected.shortNumbers, !longNumbers);

    // The records the registry received.
    const QJsonObject dump = registry->dump(Cloud);
    QStringList animals;
    for (auto it = expected.animals.cbegin(); it != expected.animals.cend(); ++it)
        animals << it.key() + " " + it.value();
    animals.sort();
    QCOMPARE(texts(dump.value("animals").toArray(), {"cislo", "tech_cislo", "vyrazena"}), animals);
    QCOMPARE(texts(dump.value("pregnancies").toArray(), {"cislo", "datum", "druh"}), expected.pregnancies);
    QCOMPARE(texts(dump.value("dryOffs").toArray(), {"cislo", "datum"}), expected.dryOffs);
    QVERIFY(dump.value("inseminations").toArray().isEmpty());
    QVERIFY(dump.value("plans").toArray().isEmpty());
    QCOMPARE(registry->requests("/api/v1/sync").size(), 1);
    const QJsonObject body = registry->lastBody();
    QCOMPARE(body.value("shortNumbers").toBool(), !longNumbers);
    QCOMPARE(body.value("sendInseminations").toBool(), false);
    QCOMPARE(body.value("insDays").toInt(), 400);
    QCOMPARE(body.value("sendDays").toInt(), 60);

    // The result, once.
    QCOMPARE(answerer.texts(), QStringList() << QString::fromUtf8("Proběhla úspěšná datová výměna.\n\n"
                                                                  "Inseminací: 6/3\n"
                                                                  "Technologické označení: %1\n"
                                                                  "Březost: %2\n"
                                                                  "Zasušení: %3\n"
                                                                  "Plány: 0")
                                                    .arg(expected.animals.size())
                                                    .arg(expected.pregnancies.size())
                                                    .arg(expected.dryOffs.size()));
    QCOMPARE(answerer.boxes[0].title, QStringLiteral("Stablomat"));

    // The import file, byte for byte: one bull line for the three rows.
    const auto insLine = [](const herd::Cow *c, const QDate &d) {
        const QString cow = QString::number(c->parlour);
        return "VN030579" + QString(6 - cow.size(), ' ') + cow + d.toString("yyyyMMdd") + "      CZE-99001\n";
    };
    const QString expectedText = QString::fromUtf8("CN ***** Byci *****\n"
                                                   "CN        |Byk||     |Jmeno||\n"
                                                   "DN0318950003058715000032297200\n"
                                                   "VN031895      CZE-99001       Testovací Býk\n"
                                                   "CN ***** Inseminace *****\n"
                                                   "CN        |Kráva||   |Datum||   |Byk||\n"
                                                   "DN030579000302590600003040908000030587150\n") +
                                 insLine(chosen[1], days[0]) + insLine(chosen[0], days[1]) +
                                 insLine(chosen[2], days[2]);
    const QByteArray bytes = readWholeFile(importPath());
    QCOMPARE(bytes, QTextCodec::codecForName("Windows-1250")->fromUnicode(expectedText));

    // The milk-yield text, and nothing else changed it afterwards.
    QCOMPARE(text(), expected.milk);
    QVERIFY(reports().isEmpty());
    QCOMPARE(registry->requests("/api/v1/attach").size(), 1);

    // AfiFarm reads the import file back.
    const Run imported = afifarm({"import"});
    QVERIFY2(imported.exitCode == 0, imported.err.constData());
    QVERIFY2(imported.out.startsWith("3 of 3 inseminations imported"), imported.out.constData());
    const herd::Herd after = herdNow();
    for (int k = 0; k < 3; ++k) {
        const herd::Cow *c = after.cowByRegistration(chosen[k]->registration);
        QVERIFY(c && c->lastInsemination());
        QCOMPARE(c->lastInsemination()->date, days[k == 0 ? 1 : k == 1 ? 0 : 2]);
        QCOMPARE(c->lastInsemination()->sire, QStringLiteral("CZE-99001"));
    }
    QVERIFY(after.bullByCode("CZE-99001"));
    QCOMPARE(after.bullByCode("CZE-99001")->name, BullName);
}

void TestAfikimExchange::twoReports_data()
{
    QTest::addColumn<QStringList>("older");
    QTest::addColumn<QStringList>("newer");
    QTest::addColumn<bool>("exchanged");
    QTest::newRow("the newer is complete") << QStringList{"--omit", "N2"} << QStringList() << true;
    QTest::newRow("the newer lacks N2") << QStringList() << QStringList{"--omit", "N2"} << false;
}

void TestAfikimExchange::twoReports()
{
    QFETCH(QStringList, older);
    QFETCH(QStringList, newer);
    QFETCH(bool, exchanged);
    QVERIFY(registry->serve());
    makeWindow();
    ModalAnswerer answerer;
    // Both are saved before the window gets to see either notification.
    // The older comes first by name too, so a listing in name order would take it.
    QCOMPARE(saveReport(QStringList{"--name", "StablomatAnimals_a.dif"} + older).exitCode, 0);
    QCOMPARE(saveReport(QStringList{"--name", "StablomatAnimals_b.dif"} + newer).exitCode, 0);
    QFile old(savefile() + "/StablomatAnimals_a.dif");
    QVERIFY(old.open(QIODevice::ReadWrite));
    QVERIFY(old.setFileTime(QDateTime::currentDateTime().addSecs(-120), QFileDevice::FileModificationTime));
    old.close();

    QVERIFY(waitForAfifarmRuns(window, savefile()));
    QVERIFY(reports().isEmpty());
    if (exchanged) {
        QVERIFY(text().startsWith("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n"));
        QCOMPARE(registry->requests("/api/v1/sync").size(), 1);
        QCOMPARE(answerer.boxes.size(), 1);
    } else {
        QCOMPARE(text(), QString::fromUtf8("Chybý sloupec v definici sestavy. N2"));
        QCOMPARE(registry->requests().size(), 0);
        QCOMPARE(answerer.boxes.size(), 0);
    }
}

void TestAfikimExchange::unsupportedReports_data()
{
    QTest::addColumn<QString>("shape");
    QTest::newRow("not DIF") << "csv";
    QTest::newRow("empty") << "empty";
    QTest::newRow("truncated") << "truncated";
    QTest::newRow("only captions: no animals, nothing sent") << "captions";
    QTest::newRow("random bytes") << "random";
}

void TestAfikimExchange::unsupportedReports()
{
    QFETCH(QString, shape);
    QVERIFY(registry->serve());
    QVERIFY(recordInsemination("999999", QDate::currentDate(), "CZE-99001"));
    makeWindow();
    widgetNamed<QTextEdit>(window, "textEdit")->setPlainText("old text");
    ModalAnswerer answerer;
    QCOMPARE(saveReport({"--name", "StablomatAnimals.dif"}).exitCode, 0);
    const QString path = savefile() + "/StablomatAnimals.dif";
    const QByteArray full = readWholeFile(path);
    QByteArray bytes;
    if (shape == "csv")
        bytes = "Krava;Reg.c.;N1\r\n12;CZ 012345678;12,5\r\n";
    else if (shape == "truncated")
        bytes = full.left(full.size() / 2);
    else if (shape == "captions")
        bytes = full.left(full.indexOf("-1,0\r\nBOT", full.indexOf("-1,0\r\nBOT") + 1)) + "-1,0\r\nEOD\r\n";
    else if (shape == "random") {
        bytes.resize(20000);
        QRandomGenerator random(5);
        for (char &b : bytes)
            b = char(random.bounded(256));
    }
    QVERIFY(writeWholeFile(path, bytes));

    QVERIFY(waitForAfifarmRuns(window, savefile()));
    QVERIFY(!QFileInfo::exists(path));
    // A report of captions alone is read, but its empty herd is not sent: the run says so.
    QCOMPARE(text(), shape == "captions" ? QString() : QString::fromUtf8("Nepodporovaný formát dat."));
    QCOMPARE(registry->requests().size(), 0);
    QCOMPARE(answerer.boxes.size(), shape == "captions" ? 1 : 0);
}

void TestAfikimExchange::messages_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("trayMode");
    QTest::addColumn<QString>("message");
    QTest::newRow("tray mode: no result message") << "ok" << true << QString();
    QTest::newRow("registry down") << "down" << false << "Chyba: -1";
    QTest::newRow("registry down, tray mode") << "down" << true << QString();
    QTest::newRow("wrong password") << "password" << false
                                    << QString::fromUtf8("Neplatné přihlašovací údaje.");
    QTest::newRow("wrong password, tray mode") << "password" << true << QString();
    QTest::newRow("registry answers 500") << "500" << false << "Chyba: -3";
}

void TestAfikimExchange::messages()
{
    QFETCH(QString, situation);
    QFETCH(bool, trayMode);
    QFETCH(QString, message);
    if (situation == "down")
        qputenv("ZAVRA_URL", QStringLiteral("http://127.0.0.1:%1").arg(unusedPort()).toUtf8());
    else
        QVERIFY(registry->serve(situation == "500" ? QStringList{"--fault", "500"} : QStringList()));
    makeWindow();
    window->settingsStore()->setValue(keys::TrayIcon, trayMode);
    if (situation == "password")
        window->settingsStore()->setValue(keys::CloudPassword, "spatne");
    ModalAnswerer answerer;
    QCOMPARE(saveReport().exitCode, 0);
    QVERIFY(waitForAfifarmRuns(window, savefile()));
    QCOMPARE(answerer.texts(true), message.isEmpty() ? QStringList() : QStringList{message});
    // The milk-yield text comes all the same.
    QVERIFY(text().startsWith("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n"));
    QVERIFY(text().count('\n') > 5);
}

void TestAfikimExchange::importFileNotCreated_data()
{
    QTest::addColumn<bool>("trayMode");
    QTest::newRow("interactive") << false;
    QTest::newRow("tray mode") << true;
}

void TestAfikimExchange::importFileNotCreated()
{
    QFETCH(bool, trayMode);
    QVERIFY(registry->serve());
    const herd::Herd herd = herdNow();
    const herd::Cow *cow = nullptr;
    for (const herd::Cow &c : herd.cows) {
        if (!!c.isPresent() &&
            (!c.lastInsemination() || c.lastInsemination()->date != QDate::currentDate())) {
            cow = &c;
            break;
        }
    }
    QVERIFY(cow);
    QVERIFY(
        recordInsemination(herd::significantDigits(cow->registration), QDate::currentDate(), "CZE-99001"));
    QVERIFY(QDir(platform::localPath("c:/afifarm/DATA")).removeRecursively());
    makeWindow();
    window->settingsStore()->setValue(keys::TrayIcon, trayMode);
    widgetNamed<QTextEdit>(window, "textEdit")->setPlainText("old text");
    ModalAnswerer answerer;
    QCOMPARE(saveReport().exitCode, 0);
    QVERIFY(waitForAfifarmRuns(window, savefile()));

    // Shown in tray mode too; no result message; the text area stays empty.
    QCOMPARE(answerer.texts(), QStringList{QString::fromUtf8("Chyba vytváření souboru\n") + importPath()});
    QCOMPARE(answerer.boxes[0].title, QStringLiteral("Stablomat"));
    QCOMPARE(text(), QString());
    QVERIFY(!QFileInfo::exists(importPath()));
    // The records reached the cloud before.
    QCOMPARE(registry->requests("/api/v1/sync").size(), 1);
}

void TestAfikimExchange::noCloudWindows()
{
    QVERIFY(registry->serve());
    QVERIFY(recordInsemination("999999", QDate::currentDate(), "CZE-99001"));
    makeWindow();
    window->settingsStore()->setValue(keys::InsDays, 0);
    window->settingsStore()->setValue(keys::SendDays, 0);
    ModalAnswerer answerer;
    const int hour = QTime::currentTime().hour();
    QCOMPARE(saveReport().exitCode, 0);
    QVERIFY(waitForAfifarmRuns(window, savefile()));
    QCOMPARE(registry->requests().size(), 0);
    QCOMPARE(answerer.boxes.size(), 0);
    QVERIFY(!QFileInfo::exists(importPath()));
    QCOMPARE(text(), expectedFrom(herdNow(), 0, hour).milk);
}

void TestAfikimExchange::secondRequestDuringRunRunsOnceAfter()
{
    // The run is inside the cloud calls when more comes: the registry has the login and holds it.
    QVERIFY(registry->serve({"--announce", "--hold", "/api/v1/attach"}));
    makeWindow();
    ModalAnswerer answerer;
    QCOMPARE(saveReport({"--name", "StablomatAnimals1.dif"}).exitCode, 0);
    const QByteArray report = readWholeFile(savefile() + "/StablomatAnimals1.dif");
    bool running = false;
    bool lateKept = false;
    registry->onLine([&](const QByteArray &line) {
        if (line != "received POST /api/v1/attach")
            return;
        if (!running) {
            running = window->exchangeRunning();
            // AfiFarm saves another report meanwhile, and the slot is called once more.
            makeDriveCFile("c:/afifarm/savefile/StablomatAnimals2.dif", report);
            window->exchangeAfifarm(savefile());
            lateKept = QFileInfo::exists(savefile() + "/StablomatAnimals2.dif");
        }
        registry->release();
    });
    QTRY_VERIFY_WITH_TIMEOUT(lateKept, 30000);
    // The removals notify the watcher again: a run without a report leaves the text as it is.
    QVERIFY(waitForAfifarmRuns(window, savefile(), 30000));
    QVERIFY(running);
    QVERIFY(lateKept); // not taken by the run that was busy
    QVERIFY(!window->exchangeRunning());
    // One more run took the late report, once, however many notices came.
    QCOMPARE(registry->requests("/api/v1/attach").size(), 2);
    QCOMPARE(reports(), QStringList());
    QCOMPARE(answerer.boxes.size(), 2);
    QVERIFY(text().startsWith("USNI_CISLO"));
}

void TestAfikimExchange::waitLetsAfiFarmFinish_data()
{
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<bool>("complete");
    QTest::newRow("waits until the report is saved") << 4000 << true;
    QTest::newRow("reads too early") << 0 << false;
}

void TestAfikimExchange::waitLetsAfiFarmFinish()
{
    QFETCH(int, waitMs);
    QFETCH(bool, complete);
    QVERIFY(registry->serve());
    makeWindow();
    afikim::setReportWaitMs(waitMs);
    ModalAnswerer answerer;
    // AfiFarm takes about 1.6 s to save the 40 rows.
    QProcess saving;
    saving.start(platform::localPath("c:/afifarm/program/afifarm.exe"), {"report", "--row-delay-ms", "40"});
    QVERIFY(saving.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(saving.state() == QProcess::NotRunning, 20000);
    QVERIFY(waitForAfifarmRuns(window, savefile()));
    QCOMPARE(saving.exitCode(), 0);
    if (complete) {
        QVERIFY(text().startsWith("USNI_CISLO"));
        QCOMPARE(registry->requests("/api/v1/sync").size(), 1);
        QCOMPARE(texts(registry->dump(Cloud).value("animals").toArray(), {"cislo"}).size(),
                 expectedFrom(herdNow(), 60, 0).animals.size());
    } else {
        QCOMPARE(text(), QString::fromUtf8("Nepodporovaný formát dat."));
        QCOMPARE(registry->requests().size(), 0);
    }
    QVERIFY(reports().isEmpty());
}

STABLOMAT_TEST_MAIN(TestAfikimExchange)
#include "tst_afikimexchange.moc"
