#include "app/detection.h"
#include "app/mainwindow.h"
#include "common/testsupport.h"
#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMenu>

class TestDetection : public QObject
{
    Q_OBJECT
private slots:
    void init() { TestEnvironment::resetDriveC(); }
    void matrix_data();
    void matrix();
    void noDriveC();
    void herdMetrixInWinePrefix();
    void firstDatabaseOfIterator();
    void mainWindowShowsResult_data();
    void mainWindowShowsResult();
};

static const char *const alpro = "c:/alpro/iso32.exe";
static const char *const delpro = "c:/delpro/iso/iso32.exe";
static const char *const dairyplan = "c:/DairyPln/dpdataexchange.exe";
static const char *const lelyProbe = "c:/DairyPln/dpdataexchange.exe1";
static const char *const lely = "c:/taurus/taurus2.exe";
static const char *const afifarm = "c:/afifarm/program/afifarm.exe";
static const char *const uniform = "c:/Program Files/UNIFORM/uniform.exe";
static const char *const fullwood = "c:/Fusion/Exchange/taurus/taupro2.exe";
static const char *const database = "c:/Users/Public/Documents/UNIFORM/Farma[1]/data.fdb";

void TestDetection::matrix_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("button");

    const QString none = QStringLiteral("Nebyl rozpoznán dojírenský systém.");
    QTest::newRow("nothing") << QStringList() << 0 << "" << none << true;
    QTest::newRow("alpro") << QStringList{alpro} << 1 << alpro << "Delaval - Alpro" << true;
    QTest::newRow("delpro") << QStringList{delpro} << 2 << delpro << "Delaval - Delpro" << true;
    QTest::newRow("alpro hides delpro")
        << QStringList{delpro, alpro} << 1 << alpro << "Delaval - Alpro" << true;
    QTest::newRow("dairyplan") << QStringList{dairyplan} << 3 << dairyplan << "Westfalia - Dairyplan" << true;
    QTest::newRow("dairyplan wins over its odd twin")
        << QStringList{dairyplan, lelyProbe} << 3 << dairyplan << "Westfalia - Dairyplan" << true;
    QTest::newRow("lely through the odd probe")
        << QStringList{lelyProbe} << 4 << lely << "Taurus - Lely" << true;
    QTest::newRow("lely program itself is not probed") << QStringList{lely} << 0 << "" << none << true;
    QTest::newRow("afifarm") << QStringList{afifarm} << 5 << "c:/afifarm"
                             << "Afikim - datová výměna se spouští v Afifarmu" << false;
    QTest::newRow("converter beats afifarm")
        << QStringList{afifarm, dairyplan} << 3 << dairyplan << "Westfalia - Dairyplan" << true;
    QTest::newRow("uniform with database")
        << QStringList{uniform, database} << 6 << database << "Uniform - HerdMetrix" << true;
    QTest::newRow("uniform upper-case FDB")
        << QStringList{uniform, "c:/Users/Public/Documents/UNIFORM/F[2]/X.FDB"} << 6
        << "c:/Users/Public/Documents/UNIFORM/F[2]/X.FDB"
        << "Uniform - HerdMetrix" << true;
    QTest::newRow("uniform database without bracket")
        << QStringList{uniform, "c:/Users/Public/Documents/UNIFORM/Farma/data.fdb"} << 0 << "" << none
        << true;
    QTest::newRow("uniform without database hides fullwood")
        << QStringList{uniform, fullwood} << 0 << "" << none << true;
    QTest::newRow("uniform beats fullwood")
        << QStringList{uniform, database, fullwood} << 6 << database << "Uniform - HerdMetrix" << true;
    QTest::newRow("fullwood") << QStringList{fullwood} << 7 << fullwood << "Fullwood - Crystal" << true;
    QTest::newRow("afifarm beats uniform and fullwood")
        << QStringList{afifarm, uniform, database, fullwood} << 5 << "c:/afifarm"
        << "Afikim - datová výměna se spouští v Afifarmu" << false;
    // Drive C knows no case: Wine's "users", any spelling of the files.
    QTest::newRow("uniform below users, HERD.Fdb")
        << QStringList{"c:/program files/uniform/UNIFORM.EXE",
                       "c:/users/Public/Documents/UNIFORM/F[3]/HERD.Fdb"}
        << 6 << "c:/Users/Public/Documents/UNIFORM/F[3]/HERD.Fdb"
        << "Uniform - HerdMetrix" << true;
    QTest::newRow("alpro in capitals")
        << QStringList{"C:/ALPRO/ISO32.EXE"} << 1 << alpro << "Delaval - Alpro" << true;
    QTest::newRow("database of another name only")
        << QStringList{uniform, "c:/Users/Public/Documents/UNIFORM/F[1]/data.gdb"} << 0 << "" << none << true;
}

void TestDetection::matrix()
{
    QFETCH(QStringList, files);
    QFETCH(int, code);
    QFETCH(QString, path);
    QFETCH(QString, label);
    QFETCH(bool, button);
    for (const QString &f : files)
        QVERIFY(!makeDriveCFile(f).isEmpty());
    const MilkingSystem s = probeMilkingSystem();
    QCOMPARE(s.code, code);
    QCOMPARE(s.programPath, path);
    QCOMPARE(s.label, label);
    QCOMPARE(s.exchangeButton, button);
    QCOMPARE(s.yieldFileName, code ? QStringLiteral("mleko.csv") : QString());
    QCOMPARE(s.watchedDirectory, code == 5 ? QStringLiteral("c:/afifarm/savefile") : QString());
}

void TestDetection::noDriveC()
{
    QDir(TestEnvironment::winePrefix()).removeRecursively();
    const MilkingSystem s = probeMilkingSystem();
    QCOMPARE(s.code, 0);
    QVERIFY(s.programPath.isEmpty());
    QVERIFY(s.exchangeButton);
}

void TestDetection::herdMetrixInWinePrefix()
{
#ifdef WINE_PREFIX
    // A prefix made by Wine itself: drive C spells "users", HerdMetrix is found all the same.
    const QString prefix = QStringLiteral(WINE_PREFIX);
    QVERIFY(QFileInfo::exists(prefix + "/drive_c/users/Public"));
    const QString unique = QStringLiteral("Farma[%1]").arg(QCoreApplication::applicationPid());
    const QString uniformDir = prefix + "/drive_c/Program Files/UNIFORM";
    const QString databaseDir = prefix + "/drive_c/users/Public/Documents/UNIFORM/" + unique;
    const bool hadUniform = QFileInfo::exists(uniformDir);
    QVERIFY(QDir().mkpath(uniformDir) && QDir().mkpath(databaseDir));
    QFile(uniformDir + "/uniform.exe").open(QIODevice::WriteOnly);
    QFile(databaseDir + "/HERD.FDB").open(QIODevice::WriteOnly);
    const QByteArray saved = qgetenv("WINEPREFIX");
    qputenv("WINEPREFIX", prefix.toUtf8());
    const MilkingSystem s = probeMilkingSystem();
    const QString local = platform::localPath(s.programPath);
    qputenv("WINEPREFIX", saved);
    QDir(databaseDir).removeRecursively();
    if (!hadUniform)
        QDir(uniformDir).removeRecursively();
    QCOMPARE(s.code, 6);
    QCOMPARE(s.programPath, "c:/Users/Public/Documents/UNIFORM/" + unique + "/HERD.FDB");
    QCOMPARE(local, databaseDir + "/HERD.FDB");
#else
    QSKIP("no Wine here");
#endif
}

void TestDetection::firstDatabaseOfIterator()
{
    makeDriveCFile(QString::fromLatin1(uniform));
    const QStringList candidates = {QStringLiteral("c:/Users/Public/Documents/UNIFORM/A[1]/a.fdb"),
                                    QStringLiteral("c:/Users/Public/Documents/UNIFORM/B[2]/b.fdb")};
    for (const QString &c : candidates)
        makeDriveCFile(c);
    const MilkingSystem s = probeMilkingSystem();
    QCOMPARE(s.code, 6);
    // Whichever the directory iterator yields first; it has to be one of them.
    QVERIFY2(candidates.contains(s.programPath), qPrintable(s.programPath));
    QDirIterator it(platform::localPath(QStringLiteral("c:/Users/Public/Documents/UNIFORM/")),
                    {QStringLiteral("*.fdb"), QStringLiteral("*.FDB")}, QDir::Files,
                    QDirIterator::Subdirectories);
    QVERIFY(it.hasNext());
    QCOMPARE(platform::localPath(s.programPath), it.next());
}

void TestDetection::mainWindowShowsResult_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("button");
    QTest::addColumn<bool>("watched");
    QTest::newRow("alpro") << alpro << 1 << true << false;
    QTest::newRow("afifarm") << afifarm << 5 << false << true;
    QTest::newRow("nothing") << "" << 0 << true << false;
}

void TestDetection::mainWindowShowsResult()
{
    QFETCH(QString, file);
    QFETCH(int, code);
    QFETCH(bool, button);
    QFETCH(bool, watched);
    if (!file.isEmpty())
        makeDriveCFile(file);
    const QString savefile = platform::localPath(QStringLiteral("c:/afifarm/savefile"));
    if (watched)
        QDir().mkpath(savefile);
    MainWindow w;
    QCOMPARE(w.milkingSystem(), code);
    QCOMPARE(widgetNamed<QToolButton>(&w, "exchange")->isVisibleTo(&w), button);
    // The tray menu's "Výměna údajů" with it.
    QCOMPARE(w.tray()->contextMenu()->actions().first()->isVisible(), button);
    QCOMPARE(widgetNamed<QLabel>(&w, "label")->text(), probeMilkingSystem().label);
    const auto watchers = w.findChildren<QFileSystemWatcher *>();
    QCOMPARE(watchers.size(), 1);
    // The savefile directory, and AfiFarm's own, where a savefile made again would appear.
    const QStringList expected =
        watched ? QStringList{QFileInfo(savefile).absolutePath(), savefile} : QStringList();
    QCOMPARE(watchers.first()->directories(), expected);
}

STABLOMAT_TEST_MAIN(TestDetection)
#include "tst_detection.moc"
