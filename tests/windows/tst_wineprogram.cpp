// The Windows program end to end under Wine, each test in a fresh prefix: settings in the registry,
// the single instance by the process snapshot, the start-up shortcut made in the settings dialog, a
// DeLaval exchange through cmd.exe with the Windows iso32.exe against the reference registry started
// from it, a hung converter ended with the program, the self-update through upgrade.bat, the installer. Runs
// on the display and tray host of the test run.
#include "common/registryprocess.h"
#include "common/simprocess.h"
#include "common/testsupport.h"
#include "delaval/delavalrequest.h"
#include "update/servers.h"
#include "update/signature.h"
#include "update/updateprotocol.h"
#include "wineprefix.h"

#include "herd.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace {

const QString Exe = QStringLiteral("C:\\Stablomat\\stablomat.exe");
const QString SettingsKey = QStringLiteral("HKCU\\Software\\Brantol\\stablomat\\settings");
const QString MainTitle = QStringLiteral("^Stablomat 1\\.03 - Delaval, Wesfalia$");
const QString Cloud = QStringLiteral("2207");
const QString User = QStringLiteral("farma");
const QString Password = QStringLiteral("dojnice");

QString windowsProgram(const char *name)
{
    return qEnvironmentVariable("WINDOWS_BUILD") + QLatin1Char('/') + QLatin1String(name);
}

bool copyFile(const QString &from, const QString &to)
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    QFile::remove(to);
    return QFile::copy(from, to);
}

// Once a window named pattern shows: the focus to it, then the xdotool command ("%1": the window).
bool inWindow(const QString &pattern, QStringList command)
{
    QStringList shown;
    if (!QTest::qWaitFor([&] { return !(shown = windowsNamed(pattern)).isEmpty(); }, 60000))
        return false;
    xdotool({"windowfocus", "--sync", shown.first()});
    return xdotool(command.replaceInStrings("%1", shown.first()));
}

// Clicks at (x, y) of the window named pattern until a window named next shows: a click that comes
// while a busy program still lays out the window it has just shown goes astray.
bool clickUntil(const QString &pattern, int x, int y, const QString &next)
{
    return QTest::qWaitFor(
        [&] {
            inWindow(pattern,
                     {"mousemove", "--window", "%1", QString::number(x), QString::number(y), "click", "1"});
            return QTest::qWaitFor([&] { return !windowsNamed(next).isEmpty(); }, 5000);
        },
        90000);
}

} // namespace

class TestWineProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void firstStartWritesRegistry();
    void secondStartRefused();
    void delavalExchange();
    void hungConverterEnded();
    void selfUpdate_data();
    void selfUpdate();
    void installer();

private:
    // The program in C:\Stablomat, started and shown; false when its window did not come.
    bool startProgram(const QStringList &environment = {});
    // The user's start-menu "Startup" folder (its Windows path).
    QString startupFolder() const;
    // Farm laid out for the hidden start with an exchange at the first tick.
    void prepareDelavalFarm(bool import);

    std::unique_ptr<WinePrefix> prefix;
    std::unique_ptr<QProcess> program;
    std::unique_ptr<RegistryProcess> registry;
    QByteArray herdJson;
    QString shortcut; // the start-up shortcut the program made
};

void TestWineProgram::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("WINDOWS_BUILD") || qEnvironmentVariableIsEmpty("WINE_TEMPLATE"))
        QSKIP("run from the Windows build's tests (WINDOWS_BUILD, WINE_TEMPLATE)");
    QVERIFY2(!qEnvironmentVariableIsEmpty("DISPLAY"), "a display with a tray host is needed");
    QTemporaryDir tmp;
    QVERIFY(!generateHerdFile(tmp.filePath("herd.json"), 30, 11,
                              {"--today", QDate::currentDate().toString(Qt::ISODate)})
                 .isEmpty());
    herdJson = readWholeFile(tmp.filePath("herd.json"));
}

void TestWineProgram::init()
{
    prefix = std::make_unique<WinePrefix>();
    QVERIFY(prefix->isValid());
    QVERIFY(copyFile(windowsProgram("stablomat.exe"), prefix->local(Exe)));
}

void TestWineProgram::cleanup()
{
    program.reset();
    prefix.reset(); // ends every program of the prefix
    registry.reset();
}

bool TestWineProgram::startProgram(const QStringList &environment)
{
    program = prefix->start(Exe, {}, environment);
    return QTest::qWaitFor([this] { return !windowsNamed(MainTitle).isEmpty(); }, 60000);
}

QString TestWineProgram::startupFolder() const
{
    const QStringList users = QDir(prefix->local("C:\\users")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &user : users) {
        if (user != QLatin1String("Public"))
            return "C:\\users\\" + user +
                   "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup";
    }
    return QString();
}

void TestWineProgram::firstStartWritesRegistry()
{
    QVERIFY(startProgram());
    // The installation identifier, in the registry at once.
    QString uuid;
    QVERIFY(
        QTest::qWaitFor([&] { return !(uuid = prefix->regValue(SettingsKey, "uuid")).isEmpty(); }, 10000));
    QVERIFY2(QRegularExpression("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$")
                 .match(uuid)
                 .hasMatch(),
             qPrintable(uuid));
}

void TestWineProgram::secondStartRefused()
{
    QVERIFY(startProgram());
    const std::unique_ptr<QProcess> second = prefix->start(Exe);
    QStringList box;
    QVERIFY(QTest::qWaitFor([&] { return !(box = windowsNamed("^Systray$")).isEmpty(); }, 30000));
    QCOMPARE(box.size(), 1);
    // Return on the box, again while it stays (a busy display may have given the focus late).
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QStringList shown = windowsNamed("^Systray$");
            if (!shown.isEmpty()) {
                xdotool({"mousemove", "--window", shown.first(), "10", "10"});
                xdotool({"windowfocus", "--sync", shown.first()});
                xdotool({"key", "Return"});
            }
            return second->waitForFinished(3000);
        },
        60000));
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(windowsNamed(MainTitle).size(), 1);
    QCOMPARE(program->state(), QProcess::Running);
}

void TestWineProgram::prepareDelavalFarm(bool import)
{
    QTemporaryDir tmp;
    QFile f(tmp.filePath("herd.json"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(herdJson);
    f.close();
    const Run r = runProgram(FARM_TOOL, {"--system", "alpro", "--herd", f.fileName(), "--wineprefix",
                                         prefix->path(), "--simulators", windowsProgram("simulators/bin")});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    registry = std::make_unique<RegistryProcess>();
    QVERIFY(registry->addUser(Cloud, User, Password));
    QVERIFY(registry->start());
    // "Vytvoř zástupce po spuštění" pressed in the settings dialog (places in the windows of a fresh
    // prefix's default size) makes the start-up shortcut.
    QVERIFY(startProgram());
    QVERIFY(clickUntil(MainTitle, 579, 54, "^Heslo$")); // "Nastavení"
    QVERIFY(inWindow("^Heslo$", {"type", "--delay", "50", "pastvinka"}));
    QVERIFY(xdotool({"key", "Return"}));
    QVERIFY(clickUntil("^Nastavení$", 161, 255, "^Stablomat$"));
    QVERIFY(inWindow("^Stablomat$", {"key", "Return"})); // the box that says how it went
    shortcut = prefix->local(startupFolder() + "\\stablomat.lnk");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(shortcut), 10000);
    // Ended (Wine's end of session leaves a shown program running) through Wine, whose process list
    // forgets it at once: a Unix kill reaches that list only later, and the next start would see it.
    QCOMPARE(prefix->wine({"taskkill", "/f", "/im", "stablomat.exe"}), 0);
    QVERIFY(program->waitForFinished(30000));
    // Started from that shortcut, with tray mode and a one-hour interval: hidden, and an exchange at
    // the first tick.
    QVERIFY(prefix->regImport(
        QStringLiteral("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Brantol\\stablomat\\settings]\n"
                       "\"trayicon\"=\"true\"\n\"zavra_dat_vymena_hod\"=dword:00000001\n"
                       "\"zavra_cloud_cislo\"=\"%1\"\n\"zavra_uzivatel\"=\"%2\"\n"
                       "\"zavra_heslo\"=\"%3\"\n\"zavra_stahovat_inseminace_dny\"=dword:0000016d\n"
                       "\"zavra_stahovat_inseminace_povoleno\"=\"%4\"\n"
                       "\"zavra_odesilat_udaje_dny\"=dword:00000078\n")
            .arg(Cloud, User, Password, import ? "true" : "false")));
}

void TestWineProgram::delavalExchange()
{
    prepareDelavalFarm(true);
    if (QTest::currentTestFailed())
        return;
    herd::Herd before;
    QString error;
    const QString herdFile = prefix->local("C:\\alpro\\herd.json");
    QVERIFY2(before.load(herdFile, &error), qPrintable(error));
    const herd::Cow *cow = nullptr;
    for (const herd::Cow &c : before.cows) {
        const herd::Insemination *last = c.lastInsemination();
        if (!cow && c.isPresent() && c.lactation() > 0 &&
            (!last || last->date < QDate::currentDate().addDays(-2)))
            cow = &c;
    }
    QVERIFY(cow);
    const QDate today = QDate::currentDate();
    const int ordinal = cow->ordinalFor(today);
    int rc = -1;
    registry->run({"record-insemination", "--cloud", Cloud, "--animal",
                   herd::significantDigits(cow->registration), "--date", today.toString(Qt::ISODate),
                   "--ordinal", QString::number(ordinal), "--bull", "CZ 61317"},
                  &rc);
    QCOMPARE(rc, 0);

    program = prefix->start("start", {"/unix", shortcut},
                            {"ZAVRA_URL=" + registry->url(), "STABLOMAT_UPDATE_URL=" + registry->url()});
    // The request reached the Windows converter byte for byte, the herd went to the registry, and the
    // insemination came back into the parlour through the converter.
    const auto written = [&] {
        herd::Herd now;
        if (!now.load(herdFile, nullptr))
            return false;
        for (const herd::Cow &c : now.cows) {
            const herd::Insemination *last = c.lastInsemination();
            if (c.registration == cow->registration && last && last->date == today &&
                last->sire == "CZ 61317")
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(written(), 180000);
    QCOMPARE(readWholeFile(prefix->local("C:\\alpro\\stablomat_in.txt")), expectedRequest());
    QCOMPARE(registry->requests("/api/v1/sync").size(), 1);
    // Hidden start: the window went to the tray (its X window stays, unmapped).
    QVERIFY(prefix->running("stablomat.exe"));
    QVERIFY(!xdotool({"search", "--onlyvisible", "--name", MainTitle}));
}

void TestWineProgram::hungConverterEnded()
{
    prepareDelavalFarm(false);
    if (QTest::currentTestFailed())
        return;
    program = prefix->start(
        Exe, {},
        {"ZAVRA_URL=" + registry->url(), "STABLOMAT_UPDATE_URL=" + registry->url(), "ISO32_DELAY_MS=600000"});
    QTRY_VERIFY_WITH_TIMEOUT(prefix->running("iso32.exe"), 120000);
    // The window paints while the program waits for the converter: its progress box is drawn (more
    // than the two colours of an empty window).
    QTRY_VERIFY_WITH_TIMEOUT(!windowsNamed("^Stablomat$").isEmpty(), 60000);
    const QString box = windowsNamed("^Stablomat$").first();
    const auto colours = [&] {
        QProcess shot;
        shot.start("sh", {"-c", "import -window " + box + " png:- | convert png:- -format %k info:"});
        shot.waitForFinished(30000);
        return shot.readAllStandardOutput().trimmed().toInt();
    };
    QTRY_VERIFY_WITH_TIMEOUT(colours() > 2, 20000);
    // The session ends (log-off): the program ends, and its converter with it.
    QCOMPARE(prefix->wine({"wineboot", "--end-session", "--force"}), 0);
    QVERIFY(program->waitForFinished(60000));
    QTRY_VERIFY_WITH_TIMEOUT(!prefix->running("iso32.exe"), 30000);
    QVERIFY(!prefix->running("cmd.exe"));
}

void TestWineProgram::selfUpdate_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("newRunsMs"); // how long the new program runs
    QTest::newRow("the signed archive swaps, the new program runs") << "C:\\Stablomat" << 90000;
    QTest::newRow("a new program that ends at once is rolled back") << "C:\\Stablomat" << 0;
    QTest::newRow("a folder with Czech letters")
        << QStringLiteral("C:\\Users\\Jiří\\AppData\\Local\\Programs\\Stablomat") << 90000;
}

// The real program checks the version, downloads and verifies the signed archive, stages it and
// ends; upgrade.bat under Wine's cmd swaps in the new program (a stand-in that holds the lock as the
// program does) and checks that it runs, or rolls back and starts the old program again.
void TestWineProgram::selfUpdate()
{
#ifndef WIN_PROGRAM
    QSKIP("no Windows stand-in of the program (MinGW C compiler)");
#else
    QFETCH(QString, folder);
    QFETCH(int, newRunsMs);
    const QString exe = folder + "\\stablomat.exe";
    QVERIFY(copyFile(windowsProgram("stablomat.exe"), prefix->local(exe)));
    const QByteArray oldProgram = readWholeFile(prefix->local(exe));
    const QByteArray newProgram =
        readWholeFile(WIN_PROGRAM) + "\nSTBFAKE new " + QByteArray::number(newRunsMs) + '\n';

    QTemporaryDir served;
    SigningKey key;
    QVERIFY(key.create(served.filePath("key")));
    const QString archive = served.filePath(update::ArchiveName);
    QVERIFY(makeArchive(archive, "stablomat.exe", newProgram));
    QVERIFY(key.sign(archive));
    RegistryProcess files;
    QVERIFY(files.start({"--update-dir", served.path()}));
    RegistryProcess checks;
    QVERIFY(checks.start({"--update-reply", "1,Stablomat,ok,1.4," + files.url() + "/update/stablomat.zip"}));

    program = prefix->start(exe, {},
                            {"STABLOMAT_UPDATE_URL=" + checks.url(),
                             QLatin1String(update::KeyFileVariable) + "=Z:" + key.publicKeyFile});
    const QString dir = prefix->local(folder);
    QTRY_COMPARE_WITH_TIMEOUT(readWholeFile(dir + "/started.log"), QByteArray("new\n"), 120000);
    QTRY_COMPARE_WITH_TIMEOUT(program->state(), QProcess::NotRunning, 30000);
    // The script checks the new program after its settling time, and rolls back when it has ended.
    QTRY_VERIFY_WITH_TIMEOUT(!prefix->running("cmd.exe"), 60000);
    QCOMPARE(readWholeFile(prefix->local(exe)), newRunsMs > 0 ? newProgram : oldProgram);
    QVERIFY(!QFileInfo::exists(dir + '/' + update::StagingDir + "/stablomat.exe"));
    if (newRunsMs > 0) {
        QCOMPARE(readWholeFile(dir + '/' + update::BackupDir + "/stablomat.exe"), oldProgram);
        QVERIFY(prefix->running("stablomat.exe"));
    } else {
        // The old program runs again, and leaves the failed version alone.
        QTRY_VERIFY_WITH_TIMEOUT(!windowsNamed(MainTitle).isEmpty(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(checks.requests(update::CheckPath).size(), 2, 30000);
        QVERIFY(!QFileInfo::exists(dir + '/' + update::JournalName));
        QVERIFY(!QFileInfo::exists(dir + '/' + update::StagingDir));
    }
    QCOMPARE(files.requests("GET", "/update/stablomat.zip").size(), 2); // the signature and the archive
#endif
}

void TestWineProgram::installer()
{
    const QString setup = qEnvironmentVariable("WINDOWS_BUILD") + "/stablomat-setup.exe";
    if (!QFile::exists(setup))
        QSKIP("no installer in the Windows build (target installer)");
    QVERIFY(copyFile(setup, prefix->local("C:\\stablomat-setup.exe")));
    QCOMPARE(prefix->wine({"C:\\stablomat-setup.exe", "/S"}, nullptr, 120000), 0);
    QStringList users = QDir(prefix->local("C:\\users")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    users.removeAll("Public");
    QCOMPARE(users.size(), 1);
    const QString home = "C:\\users\\" + users.first();
    const QString installed = home + "\\AppData\\Local\\Programs\\Stablomat\\stablomat.exe";
    QVERIFY(QFile::exists(prefix->local(installed)));
    const QString menuEntry =
        prefix->local(home + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Stablomat.lnk");
    QVERIFY(QFile::exists(menuEntry));
    // The Start menu entry's target starts the program.
    program = prefix->start("start", {"/unix", menuEntry});
    QTRY_VERIFY_WITH_TIMEOUT(!windowsNamed(MainTitle).isEmpty(), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!prefix->regValue(SettingsKey, "uuid").isEmpty(), 10000);
    prefix->wine({"wineboot", "--end-session", "--force"});
    QTRY_VERIFY_WITH_TIMEOUT(!prefix->running("stablomat.exe"), 30000);

    // What an update leaves beside the program goes with it.
    const QString folder = prefix->local(home + "\\AppData\\Local\\Programs\\Stablomat");
    for (const QString &name : update::ownFileNames()) {
        const bool isDir = name == update::StagingDir || name == update::BackupDir;
        if (!name.endsWith(".sh"))
            QVERIFY(writeFile(folder + '/' + name + (isDir ? "/stablomat.exe" : ""), "left"));
    }
    // Silent uninstall (a copy of the uninstaller works on after it has returned): the program, the
    // folder and the entries go, the settings stay.
    QCOMPARE(
        prefix->wine({home + "\\AppData\\Local\\Programs\\Stablomat\\uninstall.exe", "/S"}, nullptr, 120000),
        0);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(folder) && !QFile::exists(menuEntry), 30000);
    QVERIFY(!prefix->regValue(SettingsKey, "uuid").isEmpty());
}

STABLOMAT_TEST_MAIN_CORE(TestWineProgram)
#include "tst_wineprogram.moc"
