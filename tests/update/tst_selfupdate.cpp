// The self-update for real: the program runs from a directory of its own, the registry announces
// a version and serves an archive with a new executable; the program downloads it, writes the
// script and ends; the script unpacks the archive and starts the new executable.
#include "app/platform.h"
#include "common/testsupport.h"
#include "servers.h"

#include <QDir>
#include <QProcess>
#include <QSslSocket>
#include <QSystemTrayIcon>

namespace {

// Leaves a marker with the directory it was started in.
const QByteArray newProgram = "#!/bin/sh\npwd > started.marker\n";

} // namespace

class TestSelfUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void announcement_data();
    void announcement();
};

void TestSelfUpdate::initTestCase()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("the program needs a system tray (scripts/headless-tray.sh)");
    if (!QSslSocket::supportsSsl())
        QSKIP("the program stops at start-up to report Qt without SSL");
    if (QStandardPaths::findExecutable(QStringLiteral("zip")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("unzip")).isEmpty())
        QSKIP("zip and unzip are needed (scripts/install-deps.sh)");
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

    // The program under a name of its own, so the script waits for this copy only.
    const QString exeName = QStringLiteral("stbupd%1").arg(QCoreApplication::applicationPid());
    QTemporaryDir programDir;
    const QString exePath = programDir.filePath(exeName);
    QVERIFY(QFile::copy(QStringLiteral(STABLOMAT_EXE), exePath));
    const QByteArray oldProgram = readWholeFile(exePath);

    QTemporaryDir served;
    {
        QTemporaryDir staging;
        const QString member = staging.filePath(exeName);
        QVERIFY(writeFile(member, newProgram));
        QFile(member).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcess zip;
        zip.start(QStringLiteral("zip"), {QStringLiteral("-j"), QStringLiteral("-q"),
                                          served.filePath(QStringLiteral("stablomat.zip")), member});
        QVERIFY(zip.waitForFinished(20000));
        QCOMPARE(zip.exitCode(), 0);
    }
    const QByteArray archive = readWholeFile(served.filePath(QStringLiteral("stablomat.zip")));

    Registry files;
    QVERIFY(files.start({QStringLiteral("--update-dir"), served.path()}));
    Registry checks;
    QVERIFY(checks.start(
        {QStringLiteral("--update-reply"),
         QStringLiteral("1,Stablomat,ok,%1,%2/update/stablomat.zip").arg(version, files.base())}));

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("STABLOMAT_UPDATE_URL"), checks.base());
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(TestEnvironment::root()); // not the program's directory
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(exePath, QStringList());
    QVERIFY(program.waitForStarted());

    const QString marker = programDir.filePath(QStringLiteral("started.marker"));
    if (updates) {
        QVERIFY2(program.waitForFinished(60000), "the program did not end after the download");
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 20000);
        QCOMPARE(readWholeFile(marker).trimmed(), QFile::encodeName(QDir(programDir.path()).canonicalPath()));
        QCOMPARE(readWholeFile(exePath), newProgram);
        QCOMPARE(readWholeFile(programDir.filePath(QStringLiteral("stablomat.zip"))), archive);
        QVERIFY(!QFile::exists(programDir.filePath(QStringLiteral("stablomat_proc.zip"))));
        QCOMPARE(readWholeFile(programDir.filePath(QStringLiteral("upgrade.sh"))),
                 platform::updateScript(exeName));
        QCOMPARE(files.requests(QStringLiteral("GET"), QStringLiteral("/update/stablomat.zip")).size(), 1);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(checks.requests().size(), 1, 30000);
        QTest::qWait(1500);
        QCOMPARE(program.state(), QProcess::Running);
        QCOMPARE(files.requests().size(), 0);
        QCOMPARE(readWholeFile(exePath), oldProgram);
        const QStringList left = QDir(programDir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot);
        QCOMPARE(left, QStringList{exeName});
        program.kill();
        program.waitForFinished(10000);
    }
    QCOMPARE(checks.requests(QStringLiteral("POST"), QStringLiteral("/user_stablomat_update.php")).size(), 1);
}

STABLOMAT_TEST_MAIN(TestSelfUpdate)
#include "tst_selfupdate.moc"
