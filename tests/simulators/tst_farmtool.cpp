#include "adapters/delaval/delavalformat.h"
#include "app/detection.h"
#include "common/simprocess.h"
#include "common/testsupport.h"
#include "exchange/answerfile.h"
#include "exchange/converter.h"
#include "herd.h"
#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QDate Today(2024, 5, 14);

} // namespace

class TestFarmTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void layoutIsDetected_data();
    void layoutIsDetected();
    void layOutAgain();
    void rebaseToToday();
    void refusals_data();
    void refusals();

private:
    Run farmTool(const QStringList &args) { return runProgram(FARM_TOOL, args); }
    QString prefix() const { return root->filePath("farm prefix"); }

    QScopedPointer<QTemporaryDir> root;
    QString herdFile;
    QTemporaryDir herdDir;
    QByteArray savedPrefix;
};

void TestFarmTool::initTestCase()
{
    herdFile =
        generateHerdFile(herdDir.filePath("my herd.json"), 25, 2, {"--today", Today.toString(Qt::ISODate)});
    QVERIFY(!herdFile.isEmpty());
    savedPrefix = qgetenv("WINEPREFIX");
}

void TestFarmTool::init()
{
    root.reset(new QTemporaryDir);
    QVERIFY(root->isValid());
}

void TestFarmTool::cleanup()
{
    qputenv("WINEPREFIX", savedPrefix);
    exchange::setAnswerWait(exchange::AnswerWait());
    root.reset();
}

void TestFarmTool::layoutIsDetected_data()
{
    QTest::addColumn<QString>("system");
    QTest::addColumn<bool>("link");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("programPath");
    QTest::newRow("alpro") << "alpro" << false << 1 << "c:/alpro/iso32.exe";
    QTest::newRow("delpro") << "delpro" << false << 2 << "c:/delpro/iso/iso32.exe";
    QTest::newRow("delpro, linked") << "delpro" << true << 2 << "c:/delpro/iso/iso32.exe";
}

void TestFarmTool::layoutIsDetected()
{
    QFETCH(QString, system);
    QFETCH(bool, link);
    QFETCH(int, code);
    QFETCH(QString, programPath);
    const QByteArray error =
        layOutFarm(system, herdFile, link ? QStringList{"--link"} : QStringList(), prefix());
    QVERIFY2(error.isEmpty(), error.constData());

    qputenv("WINEPREFIX", QFile::encodeName(prefix()));
    const MilkingSystem found = probeMilkingSystem();
    QCOMPARE(found.code, code);
    QCOMPARE(found.programPath, programPath);

    const QString program = platform::localPath(found.programPath);
    QCOMPARE(program, QDir::cleanPath(prefix() + "/drive_c/" + programPath.mid(3)));
    const QFileInfo exe(program);
    QVERIFY(exe.isExecutable());
    QCOMPARE(exe.isSymLink(), link);
    QCOMPARE(readWholeFile(program), readWholeFile(ISO32));
    const QString dir = exe.absolutePath() + "/";
    QCOMPARE(readWholeFile(dir + "herd.json"), readWholeFile(herdFile));

    // The stand-in answers where the program will run it.
    exchange::setAnswerWait({3, 10});
    QCOMPARE(runIsoConverter(dir, dir + delaval::requestFileName(), delaval::requestText(),
                             dir + delaval::answerFileName(), " -x"),
             0);
    QFile answer;
    QVERIFY(exchange::openAnswer(answer, dir + delaval::answerFileName()));
    QCOMPARE(exchange::readAnswerLines(answer).size(), 25);
}

void TestFarmTool::layOutAgain()
{
    const QStringList args{"--system", "alpro", "--herd", herdFile, "--wineprefix", prefix()};
    QCOMPARE(farmTool(args).exitCode, 0);
    // Changes in the laid-out herd are replaced by the herd given; the stand-in is replaced too.
    const QString herdCopy = prefix() + "/drive_c/alpro/herd.json";
    QVERIFY(writeWholeFile(herdCopy, "{}"));
    const Run again = farmTool(args);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(readWholeFile(herdCopy), readWholeFile(herdFile));
    QVERIFY(again.out.contains("c:/alpro/iso32.exe"));

    // A second system in the same prefix is laid out, with a note on which one is found first.
    const Run delpro = farmTool({"--system", "delpro", "--herd", herdFile, "--wineprefix", prefix()});
    QCOMPARE(delpro.exitCode, 0);
    QVERIFY(delpro.err.contains("c:/alpro/iso32.exe"));
}

void TestFarmTool::rebaseToToday()
{
    const Run r =
        farmTool({"--system", "alpro", "--herd", herdFile, "--wineprefix", prefix(), "--rebase-today"});
    QCOMPARE(r.exitCode, 0);
    const herd::Herd original = loadHerd(herdFile), moved = loadHerd(prefix() + "/drive_c/alpro/herd.json");
    QCOMPARE(moved.referenceDay, QDate::currentDate());
    const qint64 days = Today.daysTo(QDate::currentDate());
    QCOMPARE(moved.cows.size(), original.cows.size());
    for (int i = 0; i < moved.cows.size(); ++i) {
        QCOMPARE(moved.cows.at(i).milkings.size(), original.cows.at(i).milkings.size());
        for (int k = 0; k < moved.cows.at(i).milkings.size(); ++k)
            QCOMPARE(moved.cows.at(i).milkings.at(k).date,
                     original.cows.at(i).milkings.at(k).date.addDays(days));
    }
}

void TestFarmTool::refusals_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("complaint");
    QTest::newRow("unknown system") << QStringList{"--system", "lelly", "--herd", "H", "--wineprefix", "P"}
                                    << QByteArray("alpro, delpro");
    QTest::newRow("no herd") << QStringList{"--system", "alpro", "--wineprefix", "P"} << QByteArray("--herd");
    QTest::newRow("herd missing") << QStringList{"--system",     "alpro",        "--herd",
                                                 "missing.json", "--wineprefix", "P"}
                                  << QByteArray("missing.json");
    QTest::newRow("no stand-in") << QStringList{"--system",     "alpro", "--herd",       "H",
                                                "--wineprefix", "P",     "--simulators", "nowhere"}
                                 << QByteArray("no iso32.exe in nowhere");
}

void TestFarmTool::refusals()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, complaint);
    args.replaceInStrings(QRegularExpression("^H$"), herdFile);
    args.replaceInStrings(QRegularExpression("^P$"), prefix());
    args.replaceInStrings(QRegularExpression("^missing.json$"), root->filePath("missing.json"));
    const Run r = farmTool(args);
    QVERIFY(r.exitCode != 0);
    QVERIFY2(r.err.contains(complaint), r.err.constData());
    QVERIFY(!QFileInfo::exists(prefix()));
}

STABLOMAT_TEST_MAIN_CORE(TestFarmTool)

#include "tst_farmtool.moc"
