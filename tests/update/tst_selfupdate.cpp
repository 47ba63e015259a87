// The self-update for real: the program runs from a directory of its own, the registry announces
// a version and serves a signed archive with a new executable; the program downloads and checks
// it, writes the script and ends; the script swaps the new executable in and starts it. Every
// faulty archive leaves the old program running (or restored and restarted) and is downloaded
// at most once.
#include "common/registryprocess.h"
#include "common/testsupport.h"
#include "servers.h"
#include "update/signature.h"

#include <QDir>
#include <QProcess>
#include <QSslSocket>
#include <QSystemTrayIcon>

#include <signal.h>

namespace {

// Leaves its process id and the directory it was started in, and keeps running with the lock
// held, as the program does.
const QByteArray newProgram =
    "#!/bin/sh\necho $$ > started.pid\npwd > started.marker\nexec flock -n stablomat.lock sleep 60\n";

// The processes whose executable is path.
QList<qint64> processesOf(const QString &path)
{
    QList<qint64> found;
    const QString target = QFileInfo(path).canonicalFilePath();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (number && QFileInfo(QStringLiteral("/proc/%1/exe").arg(entry)).symLinkTarget() == target)
            found.append(pid);
    }
    return found;
}

// The update script that runs in dir, if any.
bool scriptRunsIn(const QString &dir)
{
    const QString target = QFileInfo(dir).canonicalFilePath();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (QFileInfo(QStringLiteral("/proc/%1/cwd").arg(entry)).symLinkTarget() == target &&
            readWholeFile(QStringLiteral("/proc/%1/cmdline").arg(entry)).contains("upgrade.sh"))
            return true;
    }
    return false;
}

void endProcessesOf(const QString &path)
{
    for (qint64 pid : processesOf(path))
        ::kill(pid_t(pid), SIGKILL);
}

// A directory for the program; on a small tmpfs of its own when asked to.
struct ProgramDir
{
    ~ProgramDir()
    {
        if (mounted)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), dir.path()});
    }
    bool mountSmallDisk(qint64 bytes)
    {
        mounted = QProcess::execute(
                      QStringLiteral("mount"),
                      {"-t", "tmpfs", "-o", QStringLiteral("size=%1").arg(bytes), "tmpfs", dir.path()}) == 0;
        return mounted;
    }
    QTemporaryDir dir;
    bool mounted = false;
};

} // namespace

class TestSelfUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void announcement_data();
    void announcement();
    void faultyUpdate_data();
    void faultyUpdate();
    void newProgramEndsAfterTheCheck();
    void endedDuringTheDownload();

private:
    // Starts the copy of the program with its own settings and the test's key trusted.
    bool startProgram(QProcess &program, const QString &exePath, const QString &checkBase);

    QTemporaryDir work;
    SigningKey key, otherKey;
    QString exeName;
};

void TestSelfUpdate::initTestCase()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("the program needs a system tray (scripts/headless-tray.sh)");
    if (!QSslSocket::supportsSsl())
        QSKIP("the program stops at start-up to report Qt without SSL");
    for (const char *tool : {"zip", "unzip", "minisign"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            QSKIP("zip, unzip and minisign are needed (scripts/install-deps.sh)");
    }
    QVERIFY(key.create(work.filePath(QStringLiteral("key"))));
    QVERIFY(otherKey.create(work.filePath(QStringLiteral("other"))));
    // The program under a name of its own, so the script waits for this copy only.
    exeName = QStringLiteral("stbupd%1").arg(QCoreApplication::applicationPid());
}

bool TestSelfUpdate::startProgram(QProcess &program, const QString &exePath, const QString &checkBase)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("STABLOMAT_UPDATE_URL"), checkBase);
    environment.insert(QString::fromLatin1(update::KeyFileVariable), key.publicKeyFile);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), work.filePath(QFileInfo(exePath).dir().dirName()));
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(TestEnvironment::root()); // not the program's directory
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(exePath, QStringList());
    return program.waitForStarted();
}

void TestSelfUpdate::announcement_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("updates");
    QTest::newRow("1.3") << "1.3" << false;
    QTest::newRow("1.0.4") << "1.0.4" << false;
    QTest::newRow("1.4") << "1.4" << true;
    QTest::newRow("2.0") << "2.0" << true;
}

void TestSelfUpdate::announcement()
{
    QFETCH(QString, version);
    QFETCH(bool, updates);

    QTemporaryDir programDir;
    const QString exePath = programDir.filePath(exeName);
    QVERIFY(QFile::copy(QStringLiteral(STABLOMAT_EXE), exePath));
    const QByteArray oldProgram = readWholeFile(exePath);

    QTemporaryDir served;
    const QString archivePath = served.filePath(QStringLiteral("stablomat.zip"));
    QVERIFY(makeArchive(archivePath, exeName, newProgram));
    // Signed the way a release is.
    QCOMPARE(
        QProcess::execute(QStringLiteral(SIGN_RELEASE), {archivePath, key.secretKeyFile, key.publicKeyFile}),
        0);

    RegistryProcess files;
    QVERIFY(files.start({QStringLiteral("--update-dir"), served.path()}));
    RegistryProcess checks;
    QVERIFY(checks.start(
        {QStringLiteral("--update-reply"),
         QStringLiteral("1,Stablomat,ok,%1,%2/update/stablomat.zip").arg(version, files.url())}));

    QProcess program;
    QVERIFY(startProgram(program, exePath, checks.url()));

    const QString marker = programDir.filePath(QStringLiteral("started.marker"));
    if (updates) {
        QVERIFY2(program.waitForFinished(60000), "the program did not end after the download");
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 20000);
        const qint64 newPid =
            readWholeFile(programDir.filePath(QStringLiteral("started.pid"))).trimmed().toLongLong();
        // The script checks that the new program still runs, then ends.
        QTRY_VERIFY_WITH_TIMEOUT(!scriptRunsIn(programDir.path()), 30000);
        QVERIFY(newPid > 0 && ::kill(pid_t(newPid), 0) == 0);
        ::kill(pid_t(newPid), SIGKILL);
        QCOMPARE(readWholeFile(marker).trimmed(), QFile::encodeName(QDir(programDir.path()).canonicalPath()));
        QCOMPARE(readWholeFile(exePath), newProgram);
        QCOMPARE(readWholeFile(programDir.filePath(QStringLiteral("stablomat.old/") + exeName)), oldProgram);
        QCOMPARE(readWholeFile(programDir.filePath(QStringLiteral("stablomat.zip"))),
                 readWholeFile(archivePath));
        QVERIFY(!QFile::exists(programDir.filePath(QStringLiteral("stablomat_proc.zip"))));
        QVERIFY(!QFile::exists(programDir.filePath(QStringLiteral("stablomat_proc.zip.minisig"))));
        QCOMPARE(files.requests(QStringLiteral("GET"), QStringLiteral("/update/stablomat.zip")).size(), 2);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(checks.requests().size(), 1, 30000);
        QTest::qWait(1500); // proves that it neither downloads nor ends
        QCOMPARE(program.state(), QProcess::Running);
        QCOMPARE(files.requests().size(), 0);
        QCOMPARE(readWholeFile(exePath), oldProgram);
        const QStringList left = QDir(programDir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot);
        QCOMPARE(left, (QStringList{QStringLiteral("stablomat.lock"), exeName}));
        program.kill();
        program.waitForFinished(10000);
    }
    QCOMPARE(checks.requests(QStringLiteral("POST"), QStringLiteral("/user_stablomat_update.php")).size(), 1);
}

void TestSelfUpdate::faultyUpdate_data()
{
    QTest::addColumn<QString>("fault");

    QTest::newRow("unsigned") << "unsigned";
    QTest::newRow("wrongly signed") << "other key";
    QTest::newRow("one byte changed") << "byte";
    QTest::newRow("HTML page") << "html";
    QTest::newRow("another sound archive under the signature") << "swapped";
    QTest::newRow("signed, without the program") << "no program";
    QTest::newRow("body cut short") << "cut";
    QTest::newRow("disk full during the download") << "disk download";
    QTest::newRow("disk full during the unpack") << "disk unpack";
}

void TestSelfUpdate::faultyUpdate()
{
    QFETCH(QString, fault);

    ProgramDir programDir;
    const qint64 exeSize = QFileInfo(QStringLiteral(STABLOMAT_EXE)).size();
    if (fault.startsWith(QLatin1String("disk")) && !programDir.mountSmallDisk(exeSize + 1024 * 1024))
        QSKIP("mounting a small tmpfs is not permitted here");
    const QString exePath = programDir.dir.filePath(exeName);
    QVERIFY(QFile::copy(QStringLiteral(STABLOMAT_EXE), exePath));
    const QByteArray oldProgram = readWholeFile(exePath);

    // The archive and its signature as served.
    QTemporaryDir served;
    const QString archivePath = served.filePath(QStringLiteral("stablomat.zip"));
    QByteArray member = newProgram;
    if (fault == QLatin1String("disk download"))
        member = randomBytes(3 * 1024 * 1024); // does not fit
    else if (fault == QLatin1String("disk unpack"))
        member = QByteArray(8 * 1024 * 1024, '\0'); // fits packed, not unpacked
    QVERIFY(makeArchive(archivePath,
                        fault == QLatin1String("no program") ? QStringLiteral("readme") : exeName, member));
    if (fault != QLatin1String("unsigned"))
        QVERIFY((fault == QLatin1String("other key") ? otherKey : key).sign(archivePath));
    if (fault == QLatin1String("byte")) {
        QByteArray bytes = readWholeFile(archivePath);
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 1);
        QVERIFY(writeFile(archivePath, bytes));
    } else if (fault == QLatin1String("swapped")) {
        QVERIFY(makeArchive(archivePath, exeName, newProgram + "echo changed\n"));
    } else if (fault == QLatin1String("html")) {
        QVERIFY(writeFile(archivePath, "<!DOCTYPE html><html><body><h1>502 Bad Gateway</h1></body></html>"));
    }

    RegistryProcess files;
    QVERIFY(files.start({QStringLiteral("--update-dir"), served.path()}));
    RawHttpServer raw;
    QString address = files.url() + QStringLiteral("/update/stablomat.zip");
    if (fault == QLatin1String("cut")) {
        const QByteArray whole = readWholeFile(archivePath);
        raw.unannounced.insert(QStringLiteral("/stablomat.zip"), whole.left(whole.size() / 2));
        raw.unannounced.insert(QStringLiteral("/stablomat.zip.minisig"),
                               readWholeFile(archivePath + ".minisig"));
        address = raw.base() + QStringLiteral("/stablomat.zip");
    }
    const auto archiveDownloads = [&] {
        return fault == QLatin1String("cut")
                   ? raw.paths.count(QStringLiteral("/stablomat.zip"))
                   : files.requests(QStringLiteral("GET"), QStringLiteral("/update/stablomat.zip")).size() -
                         files
                             .requests(QStringLiteral("GET"), QStringLiteral("/update/stablomat.zip.minisig"))
                             .size();
    };
    const auto signatureDownloads = [&] {
        return fault == QLatin1String("cut")
                   ? raw.paths.count(QStringLiteral("/stablomat.zip.minisig"))
                   : files.requests(QStringLiteral("GET"), QStringLiteral("/update/stablomat.zip.minisig"))
                         .size();
    };
    RegistryProcess checks;
    QVERIFY(
        checks.start({QStringLiteral("--update-reply"), QStringLiteral("1,Stablomat,ok,1.4,") + address}));
    const auto versionChecks = [&] {
        return checks.requests(QStringLiteral("POST"), QStringLiteral("/user_stablomat_update.php")).size();
    };

    // Without a signature from a trusted key the archive is not even fetched.
    const int expectedDownloads =
        fault == QLatin1String("unsigned") || fault == QLatin1String("other key") ? 0 : 1;

    QProcess program;
    QVERIFY(startProgram(program, exePath, checks.url()));
    QTRY_COMPARE_WITH_TIMEOUT(signatureDownloads(), 1, 30000);
    {
        // The program shows its message and keeps running, with nothing left behind.
        QTRY_COMPARE_WITH_TIMEOUT(archiveDownloads(), expectedDownloads, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(
            QDir(programDir.dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
            (QStringList{QStringLiteral("stablomat.lock"), exeName}), 30000);
        QTest::qWait(1000); // proves that it does not end
        QCOMPARE(program.state(), QProcess::Running);
        // Started again, it does not download that version again.
        program.kill();
        QVERIFY(program.waitForFinished(10000));
        QVERIFY(startProgram(program, exePath, checks.url()));
        QTRY_COMPARE_WITH_TIMEOUT(versionChecks(), 2, 30000);
        QTest::qWait(2000); // proves that it neither downloads again nor ends
        QCOMPARE(program.state(), QProcess::Running);
        program.kill();
        program.waitForFinished(10000);
    }
    endProcessesOf(exePath);
    QCOMPARE(readWholeFile(exePath), oldProgram);
    QCOMPARE(signatureDownloads(), 1);
    QCOMPARE(archiveDownloads(), expectedDownloads);
}

// The new version is the real program too (its bytes and a trailer). It passes the script's check
// and then dies: its next start hands the swap to the script, which puts the old program back and
// starts it; the old one does not download that version again the same day.
void TestSelfUpdate::newProgramEndsAfterTheCheck()
{
    QTemporaryDir programDir;
    const QString exePath = programDir.filePath(exeName);
    QVERIFY(QFile::copy(QStringLiteral(STABLOMAT_EXE), exePath));
    const QByteArray oldProgram = readWholeFile(exePath);
    const QByteArray nextProgram = oldProgram + "\nversion 1.4\n";

    QTemporaryDir served;
    const QString archivePath = served.filePath(QStringLiteral("stablomat.zip"));
    QVERIFY(makeArchive(archivePath, {{exeName, nextProgram}, {QStringLiteral("readme.txt"), "1.4"}}));
    QVERIFY(key.sign(archivePath));
    RegistryProcess files;
    QVERIFY(files.start({QStringLiteral("--update-dir"), served.path()}));
    RegistryProcess checks;
    QVERIFY(checks.start({QStringLiteral("--update-reply"),
                          QStringLiteral("1,Stablomat,ok,1.4,%1/update/stablomat.zip").arg(files.url())}));
    const auto archiveDownloads = [&] {
        return files.requests(QStringLiteral("GET"), QStringLiteral("/update/stablomat.zip")).size();
    };

    QProcess program;
    QVERIFY(startProgram(program, exePath, checks.url()));
    QVERIFY2(program.waitForFinished(60000), "the program did not end after the download");
    // The script swaps, starts the new program and checks it after 10 seconds.
    QTRY_VERIFY_WITH_TIMEOUT(readWholeFile(exePath) == nextProgram, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(programDir.filePath(QStringLiteral("stablomat.tried"))), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!scriptRunsIn(programDir.path()), 30000);
    QCOMPARE(processesOf(exePath).size(), 1);
    endProcessesOf(exePath);

    // The next start: the old program is back, whole, and runs.
    QVERIFY(startProgram(program, exePath, checks.url()));
    QVERIFY(program.waitForFinished(20000));
    QTRY_VERIFY_WITH_TIMEOUT(readWholeFile(exePath) == oldProgram && processesOf(exePath).size() == 1, 30000);
    QVERIFY(!QFile::exists(programDir.filePath(QStringLiteral("readme.txt"))));
    QVERIFY(!QFile::exists(programDir.filePath(QStringLiteral("stablomat.swap"))));
    QTRY_COMPARE_WITH_TIMEOUT(
        checks.requests(QStringLiteral("POST"), QStringLiteral("/user_stablomat_update.php")).size(), 3,
        30000);
    QTest::qWait(2000);              // proves that nothing more is downloaded
    QCOMPARE(archiveDownloads(), 2); // the signature and the archive, once
    endProcessesOf(exePath);
}

// SIGTERM (a logout) while the archive downloads: the program ends in order, and that version is
// not held back for a day.
void TestSelfUpdate::endedDuringTheDownload()
{
    QTemporaryDir programDir;
    const QString exePath = programDir.filePath(exeName);
    QVERIFY(QFile::copy(QStringLiteral(STABLOMAT_EXE), exePath));
    QTemporaryDir served;
    const QString archivePath = served.filePath(QStringLiteral("stablomat.zip"));
    QVERIFY(makeArchive(archivePath, exeName, newProgram));
    QVERIFY(key.sign(archivePath));
    // The archive's download is held until the program has gone.
    RegistryProcess files;
    QVERIFY(files.start(
        {QStringLiteral("--update-dir"), served.path(), "--announce", "--hold", "/update/stablomat.zip"}));
    bool downloading = false;
    files.onLine(
        [&](const QByteArray &line) { downloading |= line == "received GET /update/stablomat.zip"; });
    RegistryProcess checks;
    QVERIFY(checks.start({QStringLiteral("--update-reply"),
                          QStringLiteral("1,Stablomat,ok,1.4,%1/update/stablomat.zip").arg(files.url())}));

    QProcess program;
    QVERIFY(startProgram(program, exePath, checks.url()));
    QTRY_VERIFY_WITH_TIMEOUT(downloading, 30000);
    ::kill(pid_t(program.processId()), SIGTERM);
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitCode(), 0);
    QSettings settings(work.filePath(QFileInfo(programDir.path()).fileName()) +
                           QStringLiteral("/Brantol/stablomat.conf"),
                       QSettings::IniFormat);
    QVERIFY(settings.contains(QStringLiteral("settings/uuid")));
    QCOMPARE(settings.value(QStringLiteral("settings/aktualizace_neuspesna")).toString(), QString());
}

STABLOMAT_TEST_MAIN(TestSelfUpdate)
#include "tst_selfupdate.moc"
