// AfiFarm's side failing in the middle of a run: the disk full when the import file is written,
// and the report rewritten, cut, grown or replaced while the run reads it. The run reports the
// failed import file and leaves no half of it under its name, never sends a half-read report,
// and the next run writes every insemination exactly once.
#include "common/testsupport.h"

#include "common/registryprocess.h"

#include "adapters/afikim/afikimreport.h"
#include "adapters/taurus/taurusexchange.h"
#include "app/mainwindow.h"
#include "common/simprocess.h"
#include "exchange/converter.h"
#include "herd.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"

#include <QDir>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QTextEdit>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

const QString Cloud = QStringLiteral("5005");
const QString User = QStringLiteral("afikim");
const QString Password = QStringLiteral("heslo");
const int Recorded = 6;

QString savefile()
{
    return platform::localPath("c:/afifarm/savefile");
}

QString importDir()
{
    return platform::localPath("c:/afifarm/DATA/MS");
}

QString importPath()
{
    return importDir() + QStringLiteral("/afi_ms.dat");
}

QString afifarm()
{
    return platform::localPath("c:/afifarm/program/afifarm.exe");
}

// The animals of a sync request's body, by life number.
QStringList sentAnimals(const QJsonObject &body)
{
    QStringList lives;
    for (const QJsonValue &v : body.value(QStringLiteral("animals")).toArray())
        lives << v.toObject().value(QStringLiteral("cislo")).toString();
    lives.sort();
    return lives;
}

// The life numbers the report of a herd gives: every cow still in the herd.
QStringList reportedAnimals(const herd::Herd &herd)
{
    QStringList lives;
    for (const herd::Cow &c : herd.cows) {
        if (c.isPresent())
            lives << herd::significantDigits(c.registration);
    }
    lives.sort();
    lives.removeDuplicates();
    return lives;
}

} // namespace

class TestAfifarmFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void diskFullForTheImportFile();
    void diskFullForConverterInput_data();
    void diskFullForConverterInput();
    void diskFullForReplacedFiles_data();
    void diskFullForReplacedFiles();
    void reportChangingWhileRead_data();
    void reportChangingWhileRead();
    void watcherHoldsOn_data();
    void watcherHoldsOn();
    void unreadableReportsInOneRun();

private:
    void makeWindow();
    bool mountImportDirectory(const QString &size)
    {
        QDir().mkpath(importDir());
        return mount.mount(importDir(), size);
    }
    Run saveReport(const QStringList &extra = QStringList(), const QString &herdFile = QString());
    QString text() const { return widgetNamed<QTextEdit>(window, "textEdit")->toPlainText(); }
    int syncs() const { return registry->requests(QStringLiteral("/api/v1/sync")).size(); }

    QTemporaryDir herdDir;
    QString herdA;
    QString herdB;
    TmpfsMount mount;
    RegistryProcess *registry = nullptr;
    MainWindow *window = nullptr;
};

void TestAfifarmFaults::initTestCase()
{
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    herdA = generateHerdFile(herdDir.filePath(QStringLiteral("a.json")), 40, 31, {"--today", today});
    herdB = generateHerdFile(herdDir.filePath(QStringLiteral("b.json")), 55, 32, {"--today", today});
    QVERIFY(!herdA.isEmpty() && !herdB.isEmpty());
    qputenv("ZAVRA_TIMEOUT_MS", "8000");
}

void TestAfifarmFaults::init()
{
    afikim::setReportWaitMs(0);
    TestEnvironment::resetDriveC();
    const QByteArray error = layOutFarm("afikim", herdA);
    QVERIFY2(error.isEmpty(), error.constData());
    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, User, Password));
    QVERIFY(registry->serve());
}

void TestAfifarmFaults::cleanup()
{
    discardWindow(window);
    mount.unmount();
    delete registry;
    registry = nullptr;
    afikim::setReportWaitMs(5000);
}

void TestAfifarmFaults::makeWindow()
{
    window = new MainWindow;
    QCOMPARE(window->milkingSystem(), 5);
    storeCloud(window->settingsStore(), Cloud, User, Password, 400, 60);
    window->settingsStore()->setValue(keys::TrayIcon, false);
}

Run TestAfifarmFaults::saveReport(const QStringList &extra, const QString &herdFile)
{
    QStringList environment;
    if (!herdFile.isEmpty())
        environment << QStringLiteral("HERD_FILE=") + herdFile;
    return runProgram(afifarm(),
                      QStringList{"report", "--hour", QString::number(QTime::currentTime().hour())} + extra,
                      environment);
}

void TestAfifarmFaults::diskFullForTheImportFile()
{
    const QString herdPath = platform::localPath("c:/afifarm/program/herd.json");
    const herd::Herd before = loadHerd(herdPath);
    const QDate yesterday = QDate::currentDate().addDays(-1);
    QMap<int, QString> chosen; // cow number -> life number
    for (const herd::Cow &c : before.cows) {
        const herd::Insemination *last = c.lastInsemination();
        if (chosen.size() == Recorded || !c.isPresent() || (last && last->date >= yesterday))
            continue;
        chosen.insert(c.parlour, herd::significantDigits(c.registration));
    }
    QCOMPARE(chosen.size(), Recorded);
    for (const QString &life : chosen)
        QVERIFY(registry->recordInsemination(Cloud, life, yesterday, QVariant(), "CZE-99001", "Testovací"));

    if (!mountImportDirectory(QStringLiteral("64k")))
        QSKIP("cannot mount a tmpfs here (needs root)");
    // The import file of an earlier run, which AfiFarm may not have taken yet.
    const QByteArray earlier = "CN ***** Byci *****\nCN earlier run\n";
    QVERIFY(writeWholeFile(importPath(), earlier));
    fillUp(importDir() + QStringLiteral("/filler"));
    {
        QFile probe(importDir() + QStringLiteral("/probe"));
        QVERIFY(probe.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QVERIFY(probe.write("x", 1) != 1);
        probe.remove();
    }

    makeWindow();
    widgetNamed<QTextEdit>(window, "textEdit")->setPlainText(QStringLiteral("old text"));
    {
        ModalAnswerer answerer;
        QCOMPARE(saveReport().exitCode, 0);
        QVERIFY(waitForAfifarmRuns(window, savefile()));
        // Reported, not shown as success; the records reached the cloud before.
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes[0].text, QString::fromUtf8("Chyba vytváření souboru\n") + importPath());
        QCOMPARE(text(), QString());
        QCOMPARE(syncs(), 1);
    }
    // The earlier file whole under its name, and no piece of the new one beside it.
    QCOMPARE(readWholeFile(importPath()), earlier);
    QCOMPARE(QDir(importDir()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name),
             (QStringList{"afi_ms.dat", "filler"}));

    QVERIFY(QFile::remove(importDir() + QStringLiteral("/filler")));
    const QString success = QString::fromUtf8("Proběhla úspěšná datová výměna.\n\nInseminací: %1/%2\n");
    for (int round = 0; round < 2; ++round) {
        ModalAnswerer answerer;
        QCOMPARE(saveReport().exitCode, 0);
        QVERIFY(waitForAfifarmRuns(window, savefile()));
        QCOMPARE(answerer.boxes.size(), 1);
        QVERIFY2(answerer.boxes[0].text.startsWith(success.arg(Recorded).arg(round == 0 ? Recorded : 0)),
                 qPrintable(answerer.boxes[0].text));
        // One line per insemination not yet held, each cow once.
        const QByteArray file = readWholeFile(importPath());
        QStringList cows;
        for (const QByteArray &line : file.split('\n')) {
            if (line.startsWith("VN030579"))
                cows << QString::fromLatin1(line.mid(8, 6)).trimmed();
        }
        cows.sort();
        QStringList expected;
        if (round == 0) {
            for (int number : chosen.keys())
                expected << QString::number(number);
            expected.sort();
        }
        QCOMPARE(cows, expected);
        const Run imported = runProgram(afifarm(), {"import"});
        QCOMPARE(imported.exitCode, 0);
        QVERIFY2(imported.out.startsWith(QByteArray::number(round == 0 ? Recorded : 0) + " of "),
                 imported.out.constData());
    }
    // AfiFarm holds each of them once.
    const auto onThatDay = [&](const herd::Cow *c) {
        return int(std::count_if(c->inseminations.cbegin(), c->inseminations.cend(),
                                 [&](const herd::Insemination &i) { return i.date == yesterday; }));
    };
    const herd::Herd after = loadHerd(herdPath);
    for (const herd::Cow &c : after.cows) {
        const herd::Cow *was = before.cowByRegistration(c.registration);
        QVERIFY(was);
        QCOMPARE(onThatDay(&c), onThatDay(was) + (chosen.contains(c.parlour) ? 1 : 0));
    }
}

void TestAfifarmFaults::diskFullForConverterInput_data()
{
    QTest::addColumn<bool>("earlierRequest");
    QTest::newRow("no earlier request") << false;
    QTest::newRow("an earlier request") << true;
}

// The converters' request files on a full disk: none at all rather than half of one.
void TestAfifarmFaults::diskFullForConverterInput()
{
    QFETCH(bool, earlierRequest);
    if (!mountImportDirectory(QStringLiteral("64k")))
        QSKIP("cannot mount a tmpfs here (needs root)");
    const QString path = importDir() + QStringLiteral("/request.txt");
    if (earlierRequest)
        QVERIFY(writeWholeFile(path, "earlier request\r\n"));
    fillUp(importDir() + QStringLiteral("/filler"));
    // Longer than the whole file system, so the space the earlier request frees does not help.
    QString text;
    for (int i = 0; i < 4000; ++i)
        text += QStringLiteral("VN030579  %1 line of the request\n").arg(i, 4);
    QVERIFY(!exchange::writeConverterInput(path, text));
    QVERIFY(!QFileInfo::exists(path));

    QVERIFY(QFile::remove(importDir() + QStringLiteral("/filler")));
    const QString small = QStringLiteral("DN030579000302590600\nVN030579    12\n");
    QVERIFY(exchange::writeConverterInput(path, small));
    QCOMPARE(readWholeFile(path), QByteArray("DN030579000302590600\r\nVN030579    12\r\n"));
}

void TestAfifarmFaults::diskFullForReplacedFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("AfiFarm import file") << "afi_ms.dat";
    QTest::newRow("Fullwood copy of the written inseminations") << "ins_copy.txt";
}

// Files written whole and then put in place: on a full disk the call fails and the earlier file
// stays as it was, with no temporary file left beside it.
void TestAfifarmFaults::diskFullForReplacedFiles()
{
    QFETCH(QString, file);
    if (!mountImportDirectory(QStringLiteral("64k")))
        QSKIP("cannot mount a tmpfs here (needs root)");
    const QString path = importDir() + QLatin1Char('/') + file;
    const QByteArray earlier("earlier contents\r\n");
    QVERIFY(writeWholeFile(path, earlier));
    fillUp(importDir() + QStringLiteral("/filler"));
    QStringList lines;
    // Less than the file's write buffer: the disk refuses it only when the buffer is written out.
    for (int i = 0; i < 150; ++i)
        lines << QStringLiteral("VN030579  %1 a line of a file the full disk has no room for").arg(i, 4);
    const bool written = file == QLatin1String("afi_ms.dat") ? afikim::writeImportFile(path, lines.join('\n'))
                                                             : taurus::writeInsCopy(path, lines);
    QVERIFY(!written);
    QCOMPARE(readWholeFile(path), earlier);
    QStringList expected{file, "filler"};
    expected.sort();
    QCOMPARE(QDir(importDir()).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
}

void TestAfifarmFaults::reportChangingWhileRead_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("rewritten in place") << "truncate";
    QTest::newRow("cut short and grown again") << "cut";
    QTest::newRow("replaced by renaming") << "rename";
}

// AfiFarm saves its report again and again while runs read it. Each run either finds the report
// unreadable or sends exactly the animals of one of the two versions.
void TestAfifarmFaults::reportChangingWhileRead()
{
    QFETCH(QString, how);
    const QString report = savefile() + QStringLiteral("/StablomatAnimals.dif");
    QByteArray versions[2];
    const QString herds[2] = {herdA, herdB};
    QStringList animals[2];
    for (int v = 0; v < 2; ++v) {
        QCOMPARE(saveReport({"--name", "StablomatAnimals.dif"}, herds[v]).exitCode, 0);
        versions[v] = readWholeFile(report);
        QVERIFY(versions[v].size() > 1000);
        animals[v] = reportedAnimals(loadHerd(herds[v]));
        QVERIFY(QFile::remove(report));
    }
    QVERIFY(animals[0] != animals[1]);
    makeWindow();

    const int Runs = 8;
    int readable = 0;
    for (int run = 0; run < Runs; ++run) {
        std::atomic<bool> stop{false};
        QVERIFY(writeWholeFile(report, versions[run % 2]));
        std::thread writer([&, run] {
            QRandomGenerator random(quint32(run + 1));
            const QString incoming = savefile() + QStringLiteral("/incoming.tmp");
            for (int i = 0; !stop; ++i) {
                const QByteArray &bytes = versions[(run + i) % 2];
                if (how == QLatin1String("rename")) {
                    QFile f(incoming);
                    if (f.open(QIODevice::WriteOnly)) {
                        f.write(bytes);
                        f.close();
                        ::rename(QFile::encodeName(incoming).constData(),
                                 QFile::encodeName(report).constData());
                    }
                } else {
                    QFile f(report);
                    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
                        if (how == QLatin1String("cut")) {
                            // Half of it first, as a save that has not finished.
                            f.write(bytes.left(bytes.size() / 2));
                            QThread::usleep(random.bounded(300));
                            f.write(bytes.mid(bytes.size() / 2));
                        } else {
                            // In pieces, as a program saving row by row.
                            for (int at = 0; at < bytes.size(); at += 1024)
                                f.write(bytes.mid(at, 1024));
                        }
                        f.close();
                    }
                }
                QThread::usleep(random.bounded(800));
            }
        });
        const int syncsBefore = syncs();
        QStringList boxes;
        {
            ModalAnswerer answerer;
            widgetNamed<QTextEdit>(window, "textEdit")->setPlainText(QStringLiteral("old text"));
            window->exchangeAfifarm(savefile());
            boxes = answerer.texts();
        }
        stop = true;
        writer.join();
        const QString shown = text();
        if (shown == QString::fromUtf8("Nepodporovaný formát dat.")) {
            QCOMPARE(syncs(), syncsBefore);
            QVERIFY(boxes.isEmpty());
        } else {
            // Read whole: the animals of one version, no mixture, no half-read number.
            QVERIFY2(shown.startsWith(QStringLiteral("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n")),
                     qPrintable(shown.left(200)));
            QCOMPARE(syncs(), syncsBefore + 1);
            const QStringList sent = sentAnimals(registry->lastBody());
            QVERIFY2(sent == animals[0] || sent == animals[1],
                     qPrintable(QStringLiteral("%1 animals sent: %2").arg(sent.size()).arg(sent.join(' '))));
            const QStringList &version = sent == animals[0] ? animals[0] : animals[1];
            const QStringList lines = shown.split('\n', Qt::SkipEmptyParts).mid(1);
            for (const QString &line : lines)
                QVERIFY2(version.contains(line.section(',', 0, 0)), qPrintable(line));
            QCOMPARE(boxes.size(), 1);
            ++readable;
        }
        // What the writer saved after the run had deleted the report; its notifications find nothing.
        QFile::remove(report);
        QFile::remove(savefile() + QStringLiteral("/incoming.tmp"));
        QVERIFY(waitForAfifarmRuns(window, savefile()));
    }
    qInfo("%d of %d runs read a whole report", readable, Runs);

    // AfiFarm done saving: the next report is read and sent whole.
    QCOMPARE(saveReport({"--name", "StablomatAnimals.dif"}, herdB).exitCode, 0);
    ModalAnswerer answerer;
    QVERIFY(waitForAfifarmRuns(window, savefile()));
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(sentAnimals(registry->lastBody()), animals[1]);
}

void TestAfifarmFaults::watcherHoldsOn_data()
{
    QTest::addColumn<bool>("beforeStart");
    QTest::newRow("savefile removed and made again") << false;
    QTest::newRow("savefile made after the start") << true;
}

void TestAfifarmFaults::watcherHoldsOn()
{
    QFETCH(bool, beforeStart);
    if (beforeStart)
        QVERIFY(QDir(savefile()).removeRecursively());
    makeWindow();
    const auto watched = [this] {
        return window->findChild<QFileSystemWatcher *>()->directories().contains(savefile());
    };
    if (!beforeStart) {
        QVERIFY(QDir(savefile()).removeRecursively());
        QTRY_VERIFY(!watched());
    }
    QVERIFY(QDir().mkpath(savefile()));
    QTRY_VERIFY(watched());
    ModalAnswerer answerer;
    QCOMPARE(saveReport().exitCode, 0);
    QVERIFY(waitForAfifarmRuns(window, savefile()));
    QCOMPARE(syncs(), 1);
}

// Ten unreadable reports: one run, one wait, all of them gone; the window is not frozen meanwhile.
void TestAfifarmFaults::unreadableReportsInOneRun()
{
    afikim::setReportWaitMs(1000);
    for (int i = 0; i < 10; ++i)
        QVERIFY(
            writeWholeFile(savefile() + QStringLiteral("/StablomatAnimals%1.dif").arg(i), "not a report"));
    makeWindow();
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
    ticker.start(50);
    QElapsedTimer clock;
    clock.start();
    window->exchangeAfifarm(savefile());
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
    QCOMPARE(QDir(savefile()).entryList(QDir::Files), QStringList());
    QCOMPARE(text(), QString::fromUtf8("Nepodporovaný formát dat."));
    QVERIFY(waitForAfifarmRuns(window, savefile()));
    QCOMPARE(syncs(), 0);
}

STABLOMAT_TEST_MAIN(TestAfifarmFaults)
#include "tst_afifarmfaults.moc"
