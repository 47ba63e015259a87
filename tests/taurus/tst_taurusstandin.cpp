// The Taurus stand-in (taurus2.exe, taupro2.exe) laid out by farm-tool and run the way the program
// runs it, through the converter runner.
#include "adapters/taurus/taurusformat.h"
#include "app/detection.h"
#include "common/simprocess.h"
#include "common/testsupport.h"
#include "exchange/answerfile.h"
#include "exchange/converter.h"
#include "generator.h"
#include "herd.h"
#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>

using namespace taurus;

namespace {

const QDate Today(2024, 5, 14);

} // namespace

class TestTaurusStandIn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void answersRequest_data();
    void answersRequest();
    void refusals_data();
    void refusals();
    void recordsWriteBack();

private:
    // Lays out the system with the herd; the converter's directory with its trailing "/".
    QString layOut(const QString &system);
    herd::Herd herdIn(const QString &dir) const;

    herd::Herd herd;
    int ownHerdNumber = -1;
    int unknownHerdNumber = -1;
    QTemporaryDir herdDir;
    QString herdFile;
    QString program;
};

void TestTaurusStandIn::initTestCase()
{
    herd::GeneratorOptions options;
    options.cows = 30;
    options.seed = 7;
    options.today = Today;
    herd = herd::generateHerd(options);
    // Herd numbers of their own: one above the limit the adapter applies, one not known.
    for (int i = 0; i < herd.cows.size() && unknownHerdNumber < 0; ++i) {
        if (!herd.cows[i].isPresent())
            continue;
        if (ownHerdNumber < 0) {
            ownHerdNumber = i;
            herd.cows[i].extra.insert("herdNumber", 9999);
        } else {
            unknownHerdNumber = i;
            herd.cows[i].extra.insert("herdNumber", "");
        }
    }
    QVERIFY(unknownHerdNumber > 0);
    herdFile = herdDir.filePath("herd.json");
    QString error;
    QVERIFY2(herd.save(herdFile, &error), qPrintable(error));
}

void TestTaurusStandIn::init()
{
    TestEnvironment::resetDriveC();
    exchange::setAnswerWait({3, 10});
}

QString TestTaurusStandIn::layOut(const QString &system)
{
    const Run r = runProgram(FARM_TOOL, {"--system", system, "--herd", herdFile, "--wineprefix",
                                         TestEnvironment::winePrefix(), "--simulators", SIMULATOR_DIR});
    if (r.exitCode != 0)
        return QString();
    const MilkingSystem found = probeMilkingSystem();
    program = platform::localPath(found.programPath);
    return QFileInfo(program).absolutePath() + "/";
}

herd::Herd TestTaurusStandIn::herdIn(const QString &dir) const
{
    herd::Herd h;
    QString error;
    h.load(dir + "herd.json", &error);
    return h;
}

void TestTaurusStandIn::answersRequest_data()
{
    QTest::addColumn<QString>("system");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("programPath");
    QTest::addColumn<QString>("standIn");
    QTest::addColumn<int>("lineLength"); // "VN201863" and the items asked for
    QTest::newRow("lely") << "lely" << 4 << "c:/taurus/taurus2.exe" << TAURUS2 << 112;
    QTest::newRow("fullwood") << "fullwood" << 7 << "c:/Fusion/Exchange/taurus/taupro2.exe" << TAUPRO2 << 80;
}

void TestTaurusStandIn::answersRequest()
{
    QFETCH(QString, system);
    QFETCH(int, code);
    QFETCH(QString, programPath);
    QFETCH(QString, standIn);
    QFETCH(int, lineLength);
    const QString dir = layOut(system);
    QVERIFY(!dir.isEmpty());
    const MilkingSystem found = probeMilkingSystem();
    QCOMPARE(found.code, code);
    QCOMPARE(found.programPath, programPath);
    QCOMPARE(readWholeFile(program), readWholeFile(standIn));

    const System s = code == 4 ? System::Lely : System::Fullwood;
    QCOMPARE(runTauConverter(program, dir + requestFileName(), reproductionRequestText(s)), 0);
    QFile answer;
    QVERIFY(exchange::openAnswer(answer, dir + answerFileName()));
    QStringList cowLines;
    for (const QString &l : exchange::readAnswerLines(answer)) {
        if (l.startsWith("VN201863"))
            cowLines << l;
    }
    QVERIFY(QFileInfo::exists(dir + "TAU_LOG.2"));

    QVector<const herd::Cow *> present;
    for (const herd::Cow &c : herd.cows) {
        if (c.isPresent())
            present << &c;
    }
    std::sort(present.begin(), present.end(), [](auto *a, auto *b) { return a->parlour < b->parlour; });
    QCOMPARE(cowLines.size(), present.size());
    for (int i = 0; i < present.size(); ++i) {
        const herd::Cow &c = *present.at(i);
        const QString &line = cowLines.at(i);
        QCOMPARE(line.size(), lineLength);
        QCOMPARE(line.mid(8, 6), QString::number(c.parlour).rightJustified(6));
        QString herdNumber = QString::number(c.parlour);
        if (&c == &herd.cows[ownHerdNumber])
            herdNumber = "9999";
        else if (&c == &herd.cows[unknownHerdNumber])
            herdNumber = QString(15, '?');
        QCOMPARE(line.mid(14, 15), herdNumber.rightJustified(15));
        const herd::PregnancyCheck *check = c.lastPregnancyCheck();
        QCOMPARE(line.mid(71, 1), QString(check ? (check->pregnant ? "1" : "2") : "?"));
    }
}

void TestTaurusStandIn::refusals_data()
{
    QTest::addColumn<QString>("request");
    const QString good = reproductionRequestText(System::Fullwood);
    QTest::newRow("no sender record") << QString(good).remove(senderValues() + "\n");
    QTest::newRow("changed sender") << QString(good).replace("STK 2.0", "STK 3.0");
    QTest::newRow("unknown item") << QString(good).replace("00900059080", "00900060080");
    QTest::newRow("other width") << QString(good).replace("00900059080", "00900059090");
    QTest::newRow("no EN") << QString(good).remove("EN\n");
    QTest::newRow("no ZN") << QString(good).remove("ZN\n");
    QTest::newRow("records without TN")
        << writeBackRequestText(QDateTime::currentDateTime(), {"VN201863     120240510"}).remove("TN\n");
    QTest::newRow("other line among records")
        << writeBackRequestText(QDateTime::currentDateTime(), {"VN201863     120240510", "VN201861 1"});
}

void TestTaurusStandIn::refusals()
{
    QFETCH(QString, request);
    const QString dir = layOut("fullwood");
    QVERIFY(!dir.isEmpty());
    QCOMPARE(runTauConverter(program, dir + requestFileName(), request), -1);
    QVERIFY(!QFileInfo::exists(dir + answerFileName()));
    QCOMPARE(readWholeFile(dir + "herd.json"), readWholeFile(herdFile));
}

void TestTaurusStandIn::recordsWriteBack()
{
    const QString dir = layOut("lely");
    QVERIFY(!dir.isEmpty());
    const herd::Cow *served = nullptr;
    const herd::Cow *culled = nullptr;
    for (const herd::Cow &c : herd.cows) {
        if (!served && c.isPresent() && c.lastInsemination())
            served = &c;
        // A parlour number that no present cow has taken over.
        if (!culled && !c.isPresent() && herd.cowByParlour(c.parlour) == &c)
            culled = &c;
    }
    QVERIFY(served && culled);
    const QString id = QString::number(served->parlour);
    const QStringList lines{
        writeBackLine(id, Today),                                           // recorded
        writeBackLine(id, served->lastInsemination()->date),                // held already
        writeBackLine(id, QDate()),                                         // no date
        writeBackLine(QString::number(culled->parlour), Today.addDays(-1)), // not in the parlour any more
        writeBackLine("999999", Today),
        writeBackLine(id, Today.addDays(-2)), // recorded
    };
    QCOMPARE(runTauConverter(program, dir + requestFileName(),
                             writeBackRequestText(QDateTime::currentDateTime(), lines)),
             0);
    QVERIFY(!QFileInfo::exists(dir + answerFileName()));
    QVERIFY(readWholeFile(dir + "TAU_LOG.2").startsWith("2 of 6 inseminations recorded\r\n"));

    const herd::Herd after = herdIn(dir);
    const herd::Cow *cow = after.cowByParlour(served->parlour);
    QVERIFY(cow);
    QCOMPARE(cow->inseminations.size(), served->inseminations.size() + 2);
    QCOMPARE(cow->inseminations.last().date, Today);
    QCOMPARE(cow->inseminations.at(cow->inseminations.size() - 2).date, Today.addDays(-2));
    QCOMPARE(cow->inseminations.last().ordinal, served->ordinalFor(Today));
    int before = 0, now = 0;
    for (const herd::Cow &c : herd.cows)
        before += c.inseminations.size();
    for (const herd::Cow &c : after.cows)
        now += c.inseminations.size();
    QCOMPARE(now, before + 2);
}

STABLOMAT_TEST_MAIN_CORE(TestTaurusStandIn)
#include "tst_taurusstandin.moc"
