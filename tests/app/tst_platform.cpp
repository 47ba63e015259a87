#include "common/testsupport.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QProcess>

class TestPlatform : public QObject
{
    Q_OBJECT
private slots:
    void localPath_data();
    void localPath();
    void localPathWithoutCase_data();
    void localPathWithoutCase();
    void windowsPath_data();
    void windowsPath();
    void processListFindsRealChild();
    void anotherInstance_data();
    void anotherInstance();
    void cmdCommandLine_data();
    void cmdCommandLine();
};

void TestPlatform::localPath_data()
{
    QTest::addColumn<QString>("prefix"); // null: WINEPREFIX not set
    QTest::addColumn<QString>("windows");
    QTest::addColumn<QString>("local");
    const char *const rows[][4] = {
        {"lower drive", "/w", "c:/alpro/iso32.exe", "/w/drive_c/alpro/iso32.exe"},
        {"upper drive", "/w", "C:/DairyPln/dpdataexchange.exe", "/w/drive_c/DairyPln/dpdataexchange.exe"},
        {"blank kept", "/w", "c:/Program Files/UNIFORM/uniform.exe",
         "/w/drive_c/Program Files/UNIFORM/uniform.exe"},
        {"backslashes", "/w", "c:\\afifarm\\savefile", "/w/drive_c/afifarm/savefile"},
        {"trailing slash in prefix", "/w/", "c:/afifarm", "/w/drive_c/afifarm"},
        {"bare drive", "/w", "c:", "/w/drive_c/"},
        {"other drive untouched", "/w", "d:/data/x", "d:/data/x"},
        {"local path untouched", "/w", "/tmp/x.fdb", "/tmp/x.fdb"},
        {"relative untouched", "/w", "mleko.csv", "mleko.csv"}};
    for (const auto &r : rows)
        QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]) << QString(r[3]);
    QTest::newRow("no prefix: the default one")
        << QString() << "c:/alpro/iso32.exe" << QDir::homePath() + "/.wine/drive_c/alpro/iso32.exe";
}

void TestPlatform::localPath()
{
    if (runsOnWindows())
        QSKIP("drive C under a Wine prefix: elsewhere than on Windows");
    QFETCH(QString, prefix);
    QFETCH(QString, windows);
    QFETCH(QString, local);
    const QByteArray saved = qgetenv("WINEPREFIX");
    if (prefix.isNull())
        qunsetenv("WINEPREFIX");
    else
        qputenv("WINEPREFIX", prefix.toUtf8());
    const QString got = platform::localPath(windows);
    qputenv("WINEPREFIX", saved);
    QCOMPARE(got, local);
}

void TestPlatform::localPathWithoutCase_data()
{
    QTest::addColumn<QString>("windows");
    QTest::addColumn<QString>("local"); // below the prefix
    const char *const rows[][3] = {
        {"Wine's users", "c:/Users/Public/Documents/UNIFORM/", "/drive_c/users/Public/Documents/UNIFORM/"},
        {"every component", "C:/alpro/iso32.exe", "/drive_c/AlPro/ISO32.EXE"},
        {"exact spelling first", "c:/alpro/Iso32.exe", "/drive_c/AlPro/Iso32.exe"},
        {"missing rest as written", "c:/ALPRO/New Dir/Out.txt", "/drive_c/AlPro/New Dir/Out.txt"},
        {"nothing found", "c:/DairyPln/x", "/drive_c/DairyPln/x"}};
    for (const auto &r : rows)
        QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]);
}

void TestPlatform::localPathWithoutCase()
{
    if (runsOnWindows())
        QSKIP("drive C under a Wine prefix: elsewhere than on Windows");
    QFETCH(QString, windows);
    QFETCH(QString, local);
    QTemporaryDir prefix;
    QVERIFY(QDir().mkpath(prefix.path() + "/drive_c/users/Public/Documents/UNIFORM"));
    QVERIFY(QDir().mkpath(prefix.path() + "/drive_c/AlPro"));
    for (const char *name : {"/drive_c/AlPro/ISO32.EXE", "/drive_c/AlPro/Iso32.exe"})
        QVERIFY(writeWholeFile(prefix.path() + name, QByteArray()));
    const QByteArray saved = qgetenv("WINEPREFIX");
    qputenv("WINEPREFIX", prefix.path().toUtf8());
    const QString got = platform::localPath(windows);
    qputenv("WINEPREFIX", saved);
    QCOMPARE(got, prefix.path() + local);
}

void TestPlatform::windowsPath_data()
{
    QTest::addColumn<bool>("dosdevices"); // the prefix has been made by Wine
    QTest::addColumn<QString>("local");   // "@" stands for the prefix
    QTest::addColumn<QString>("windows");
    const QString nadoje = "@/drive_c/DairyPln/fin_stablomat_nadoje.ads";
    QTest::newRow("drive c") << true << nadoje << "C:\\DairyPln\\fin_stablomat_nadoje.ads";
    QTest::newRow("drive c, fresh prefix") << false << nadoje << "C:\\DairyPln\\fin_stablomat_nadoje.ads";
    QTest::newRow("not yet there") << true << QString("@/drive_c/a b/new.txt") << "C:\\a b\\new.txt";
    QTest::newRow("outside is z") << true << QString("/etc/hostname") << "Z:\\etc\\hostname";
    QTest::newRow("bare name stays") << true << QString("fin_stablomat_hlavni.ads")
                                     << "fin_stablomat_hlavni.ads";
}

void TestPlatform::windowsPath()
{
    if (runsOnWindows())
        QSKIP("drive C under a Wine prefix: elsewhere than on Windows");
    QFETCH(bool, dosdevices);
    QFETCH(QString, local);
    QFETCH(QString, windows);
    QTemporaryDir prefix;
    QVERIFY(QDir().mkpath(prefix.path() + "/drive_c/DairyPln"));
    if (dosdevices) {
        QVERIFY(QDir().mkpath(prefix.path() + "/dosdevices"));
        QVERIFY(QFile::link("../drive_c", prefix.path() + "/dosdevices/c:"));
        QVERIFY(QFile::link("/", prefix.path() + "/dosdevices/z:"));
    }
    QVERIFY(writeWholeFile(prefix.path() + "/drive_c/DairyPln/fin_stablomat_nadoje.ads", QByteArray()));
    local.replace(QLatin1Char('@'), prefix.path());
    const QByteArray saved = qgetenv("WINEPREFIX");
    qputenv("WINEPREFIX", prefix.path().toUtf8());
    const QString got = platform::windowsPath(local);
    qputenv("WINEPREFIX", saved);
    QCOMPARE(got, windows);
}

// A child started from a copy of this test program (which then only sleeps, see sleepIfAsked) under
// a chosen name shows up under that name and pid.
static QProcess *startNamedSleeper(const QString &dir, const QString &name)
{
    const QString exe = dir + QLatin1Char('/') + name;
    QFile::remove(exe);
    if (!QFile::copy(QCoreApplication::applicationFilePath(), exe))
        return nullptr;
    auto *p = new QProcess;
    p->start(exe, {QStringLiteral("--sleep"), QStringLiteral("30")});
    if (!p->waitForStarted(5000)) {
        delete p;
        return nullptr;
    }
    return p;
}

void TestPlatform::processListFindsRealChild()
{
    QTemporaryDir dir;
    QScopedPointer<QProcess> child(startNamedSleeper(dir.path(), QStringLiteral("stablomat-probe.exe")));
    QVERIFY(child);
    bool found = false;
    for (const platform::ProcessEntry &e : platform::runningProcesses()) {
        if (e.pid == child->processId()) {
            QCOMPARE(e.exeName, QStringLiteral("stablomat-probe.exe"));
            found = true;
        }
    }
    child->kill();
    child->waitForFinished();
    QVERIFY(found);
}

void TestPlatform::anotherInstance_data()
{
    QTest::addColumn<QString>("runningName");
    QTest::addColumn<QString>("askedName");
    QTest::addColumn<bool>("skipOwnPid"); // the asking pid is the running one
    QTest::addColumn<bool>("expected");
    QTest::newRow("same name") << "stablomat"
                               << "stablomat" << false << true;
    QTest::newRow("other name") << "stablomat2"
                                << "stablomat" << false << false;
    QTest::newRow("case differs") << "Stablomat"
                                  << "stablomat" << false << false;
    QTest::newRow("own process skipped by pid") << "stablomat"
                                                << "stablomat" << true << false;
}

void TestPlatform::anotherInstance()
{
    QFETCH(QString, runningName);
    QFETCH(QString, askedName);
    QFETCH(bool, skipOwnPid);
    QFETCH(bool, expected);
    QTemporaryDir dir;
    // A unique suffix keeps processes of other test runs out of the picture.
    const QString suffix = QStringLiteral("-%1").arg(QCoreApplication::applicationPid());
    QScopedPointer<QProcess> child(startNamedSleeper(dir.path(), runningName + suffix));
    QVERIFY(child);
    const qint64 asking = skipOwnPid ? child->processId() : QCoreApplication::applicationPid();
    const bool got = platform::anotherInstanceRunning(askedName + suffix, asking);
    child->kill();
    child->waitForFinished();
    QCOMPARE(got, expected);
}

void TestPlatform::cmdCommandLine_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("commandLine");
    QTest::newRow("iso export")
        << "c:/alpro/"
        << "iso32.exe" << QStringList{"-f", "stablomat_in.txt", "-o", "stablomat_out.txt", "-x"}
        << "/d /s /c \"cd /d \"c:\\alpro\" && iso32.exe -f stablomat_in.txt -o stablomat_out.txt -x\"";
    QTest::newRow("blanks, Czech letters, ampersand")
        << "C:/Users/Jiří/Dojírna & spol/"
        << "dpdataexchange.exe" << QStringList{"-T", "-A", "-E", "C:/Users/Jiří/Dojírna & spol/fin.ads"}
        << "/d /s /c \"cd /d \"C:\\Users\\Jiří\\Dojírna & spol\" && dpdataexchange.exe -T -A -E "
           "\"C:/Users/Jiří/Dojírna & spol/fin.ads\"\"";
    QTest::newRow("drive root kept") << "d:/"
                                     << "taurus2.exe" << QStringList{}
                                     << "/d /s /c \"cd /d \"d:\\\" && taurus2.exe\"";
    QTest::newRow("empty argument quoted")
        << "c:/taurus"
        << "taupro2.exe" << QStringList{""} << "/d /s /c \"cd /d \"c:\\taurus\" && taupro2.exe \"\"\"";
}

void TestPlatform::cmdCommandLine()
{
    QFETCH(QString, dir);
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, commandLine);
    QCOMPARE(platform::cmdConverterArguments(dir, program, arguments), commandLine);
}

STABLOMAT_TEST_MAIN_CORE(TestPlatform)
#include "tst_platform.moc"
