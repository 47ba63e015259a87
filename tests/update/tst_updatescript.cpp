// The update scripts: their text, and real runs that wait for the program, swap the staged version
// in, roll back when the new program does not run, and survive being killed at any point of the
// swap. The batch file runs under Wine's cmd with a Windows stand-in of the program.
#include "common/testsupport.h"
#include "platform/platform.h"
#include "servers.h"
#include "update/swap.h"
#include "update/updateprotocol.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using Members = QList<QPair<QString, QByteArray>>;

const int settleSeconds = 1;

// The program's stand-in: notes its start, claims the trial as the program does and holds the lock
// for a while.
QByteArray fakeProgram(const QByteArray &version, int seconds)
{
    return "#!/bin/sh\necho " + version + " >> started.log\npwd > started.marker\n" +
           "[ -e stablomat.trial ] && mv stablomat.trial stablomat.tried\n" +
           "exec flock -n stablomat.lock sleep " + QByteArray::number(seconds) + "\n";
}

// A version: the program, files and a folder.
Members version(const QString &exeName, const QByteArray &program, const QByteArray &tag, int files = 3)
{
    Members members{{exeName, program}, {QStringLiteral("plugins/a.so"), tag + " plugin"}};
    for (int i = 1; i <= files; ++i)
        members.append(
            {QStringLiteral("f%1.txt").arg(i, 3, 10, QLatin1Char('0')), tag + ' ' + QByteArray::number(i)});
    return members;
}

bool install(const QString &dir, const Members &members)
{
    for (const auto &member : members) {
        if (!writeFile(QDir(dir).filePath(member.first), member.second))
            return false;
    }
    return QFile::setPermissions(QDir(dir).filePath(members.first().first),
                                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The new version staged beside the old one as the program stages it, and the script written.
bool stage(const QString &dir, const Members &members, const QByteArray &script,
           const QString &scriptName = platform::updateScriptName())
{
    const QString zip = QDir(dir).filePath(update::ArchiveName);
    QFile file(QDir(dir).filePath(scriptName));
    return makeArchive(zip, members) && update::stageArchive(dir, zip, members.first().first) &&
           file.open(QIODevice::WriteOnly) && file.write(script) == script.size();
}

// Which version is in dir, whole: "" when it is a mix or the program is missing or not runnable.
QString versionIn(const QString &dir, const QList<Members> &versions, const QStringList &names)
{
    for (int v = 0; v < versions.size(); ++v) {
        bool whole = QFileInfo(QDir(dir).filePath(versions[v].first().first)).isExecutable();
        for (const auto &member : versions[v])
            whole = whole && readWholeFile(QDir(dir).filePath(member.first)) == member.second;
        if (whole)
            return names.at(v);
    }
    return QString();
}

// Nobody holds the lock at path (the program and whatever the script started have ended).
bool lockFree(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return true;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

int runShellScript(const QString &dir, QByteArray *output = nullptr)
{
    QProcess sh;
    sh.setWorkingDirectory(dir);
    sh.start(QStringLiteral("/bin/sh"), {platform::updateScriptName()});
    if (!sh.waitForFinished(60000))
        return -1;
    if (output)
        *output = sh.readAllStandardOutput();
    return sh.exitCode();
}

} // namespace

class TestUpdateScript : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void text();
    void quotedNames_data();
    void quotedNames();
    void rollback_data();
    void rollback();
    void waitsUntilTheProgramHasEnded();
    void startedDetachedInItsDirectory();
    void killedDuringTheSwap_data();
    void killedDuringTheSwap();
    void batchWaitsUnderWine();
};

void TestUpdateScript::initTestCase()
{
    for (const char *tool : {"zip", "flock"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            QSKIP("zip and flock are needed (scripts/install-deps.sh)");
    }
}

void TestUpdateScript::text()
{
    QCOMPARE(platform::updateScriptName(), QStringLiteral("upgrade.sh"));
    QCOMPARE(update::updateScript(QStringLiteral("stablomat")), update::unixUpdateScript("stablomat", 10));
    QVERIFY(!update::unixUpdateScript("stablomat").endsWith('\n'));
    // The batch file: the wait first, CR LF throughout, no line end after the last line.
    const QByteArray batch = update::windowsUpdateScript(QStringLiteral("stablomat.exe"));
    QVERIFY(batch.startsWith(":LOOP\r\n"));
    QVERIFY(batch.contains("\r\nSET exe=stablomat.exe\r\n"));
    QCOMPARE(batch.count('\n'), batch.count("\r\n"));
    QVERIFY(!batch.endsWith('\n'));
}

void TestUpdateScript::quotedNames_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::newRow("blank") << "stable mat";
    QTest::newRow("quote") << "it's";
    QTest::newRow("shell characters") << "a$(touch pwned);b`x`";
    QTest::newRow("percent sign") << "stb%2";
}

// A name that needs quoting still names exactly that file, and nothing else runs.
void TestUpdateScript::quotedNames()
{
    QFETCH(QString, exeName);
    QTemporaryDir dir;
    const Members next = version(exeName, fakeProgram("new", 4), "new");
    QVERIFY(install(dir.path(), version(exeName, fakeProgram("old", 4), "old")));
    QVERIFY(stage(dir.path(), next, update::unixUpdateScript(exeName, settleSeconds)));
    QCOMPARE(runShellScript(dir.path()), 0);
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("started.marker"))));
    QCOMPARE(versionIn(dir.path(), {next}, {"new"}), QStringLiteral("new"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("pwned"))));
}

void TestUpdateScript::rollback_data()
{
    QTest::addColumn<QByteArray>("program"); // the new one
    QTest::addColumn<bool>("runAgain");      // the script runs once more after it has passed its check

    QTest::newRow("new program ends at once") << QByteArray("#!/bin/sh\nexit 1\n") << false;
    QTest::newRow("new program does not start") << QByteArray("\x7f"
                                                              "ELF broken")
                                                << false;
    QTest::newRow("new program does not lock") << QByteArray("#!/bin/sh\nexec sleep 4\n") << false;
    QTest::newRow("new program ends after the check") << fakeProgram("new", 2) << true;
}

// Whatever fails, the old version is back whole and running, and the staging folder is gone.
void TestUpdateScript::rollback()
{
    QFETCH(QByteArray, program);
    QFETCH(bool, runAgain);

    QTemporaryDir dir;
    const QString exeName = QStringLiteral("stbroll");
    const Members old = version(exeName, fakeProgram("old", 4), "old");
    QVERIFY(install(dir.path(), old));
    // The new version brings a file the old one did not have.
    QVERIFY(stage(dir.path(), version(exeName, program, "new", 4),
                  update::unixUpdateScript(exeName, settleSeconds)));

    QByteArray output;
    const int status = runShellScript(dir.path(), &output);
    if (runAgain) {
        // It ran past the check and ended without keeping the new version: the next start hands
        // the swap back to the script, which rolls it back.
        QCOMPARE(status, 0);
        QCOMPARE(update::claimAtStart(dir.path(), exeName), update::StartAction::HandOver);
        QCOMPARE(runShellScript(dir.path(), &output), 1);
    } else {
        QCOMPARE(status, 1);
    }
    QVERIFY2(output.contains("update failed: start"), output.constData());
    QTRY_VERIFY_WITH_TIMEOUT(readWholeFile(dir.filePath(QStringLiteral("started.log"))).endsWith("old\n"),
                             10000);
    QCOMPARE(versionIn(dir.path(), {old}, {"old"}), QStringLiteral("old"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("f004.txt"))));
    for (const QString &name :
         {update::StagingDir, update::JournalName, update::TrialMark, update::TriedMark})
        QVERIFY2(!QFile::exists(dir.filePath(name)), qPrintable(name));
    QCOMPARE(update::claimAtStart(dir.path(), exeName), update::StartAction::Run);
}

void TestUpdateScript::waitsUntilTheProgramHasEnded()
{
    QTemporaryDir dir;
    const QString exeName = QStringLiteral("stbwait");
    const Members old = version(exeName, fakeProgram("old", 4), "old");
    const Members next = version(exeName, fakeProgram("new", 4), "new");
    QVERIFY(install(dir.path(), old));
    QVERIFY(stage(dir.path(), next, update::unixUpdateScript(exeName, settleSeconds)));
    // The running program holds the lock, as the program does from its start.
    QProcess program;
    program.start(QStringLiteral("flock"), {"-o", dir.filePath(update::LockName), QStringLiteral("sh"), "-c",
                                            "echo locked; exec sleep 60"});
    QVERIFY(program.waitForReadyRead(10000));
    QVERIFY(!platform::holdProgramLock(dir.filePath(update::LockName)));

    QProcess sh;
    sh.setWorkingDirectory(dir.path());
    sh.start(QStringLiteral("/bin/sh"), {platform::updateScriptName()});
    QVERIFY(sh.waitForStarted());
    QVERIFY(!sh.waitForFinished(2500));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("started.marker"))));
    QCOMPARE(versionIn(dir.path(), {old}, {"old"}), QStringLiteral("old"));
    QVERIFY(sh.readAllStandardOutput().contains("STABLOMAT is still running"));

    program.kill();
    QVERIFY(program.waitForFinished());
    QVERIFY(sh.waitForFinished(15000));
    QCOMPARE(sh.exitCode(), 0);
    QCOMPARE(readWholeFile(dir.filePath(QStringLiteral("started.marker"))).trimmed(),
             QFile::encodeName(QDir(dir.path()).canonicalPath()));
    QCOMPARE(versionIn(dir.path(), {next}, {"new"}), QStringLiteral("new"));
    // The old version is kept beside it; the new one runs on trial until it is kept.
    QCOMPARE(versionIn(dir.filePath(update::BackupDir), {old}, {"old"}), QStringLiteral("old"));
    QVERIFY(QFile::exists(dir.filePath(update::TriedMark)));
    QVERIFY(update::keepNewVersion(dir.path()));
    QCOMPARE(update::claimAtStart(dir.path(), exeName), update::StartAction::Run);
    QVERIFY(!QFile::exists(dir.filePath(update::StagingDir)));
}

void TestUpdateScript::startedDetachedInItsDirectory()
{
    QTemporaryDir dir;
    const QString exeName = QStringLiteral("stbdetached");
    const Members next = version(exeName, fakeProgram("new", 2), "new");
    QVERIFY(install(dir.path(), version(exeName, fakeProgram("old", 2), "old")));
    QVERIFY(stage(dir.path(), next, update::unixUpdateScript(exeName, settleSeconds)));
    QVERIFY(platform::startUpdateScript(dir.path()));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("started.marker"))), 10000);
    QCOMPARE(versionIn(dir.path(), {next}, {"new"}), QStringLiteral("new"));
    QTRY_VERIFY_WITH_TIMEOUT(lockFree(dir.filePath(update::LockName)), 10000);
}

void TestUpdateScript::killedDuringTheSwap_data()
{
    QTest::addColumn<bool>("batch");
    QTest::newRow("upgrade.sh") << false;
    QTest::newRow("upgrade.bat under Wine") << true;
}

// kill -9 at points spread over the swap of 200 entries: right then a whole program is in place,
// and the script run again leaves one version whole, the old or the new.
void TestUpdateScript::killedDuringTheSwap()
{
    QFETCH(bool, batch);
    QString exeName = QStringLiteral("stbkill");
    QByteArray oldProgram = fakeProgram("old", 2), newProgram = fakeProgram("new", 2);
    QByteArray script = update::unixUpdateScript(exeName, settleSeconds);
    QString scriptName = QStringLiteral("upgrade.sh");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QStringList command{QStringLiteral("/bin/sh"), scriptName};
    if (batch) {
#if defined(WIN_PROGRAM) && defined(WINE_PREFIX)
        exeName = QStringLiteral("stablomat.exe");
        const QByteArray stand = readWholeFile(QStringLiteral(WIN_PROGRAM));
        oldProgram = stand + "\nSTBFAKE old 2000\n";
        newProgram = stand + "\nSTBFAKE new 2000\n";
        script = update::windowsUpdateScript(exeName, settleSeconds);
        scriptName = QStringLiteral("upgrade.bat");
        environment.insert(QStringLiteral("WINEPREFIX"), QStringLiteral(WINE_PREFIX));
        environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
        command =
            QStringList{QStringLiteral("wine"), QStringLiteral("cmd"), QStringLiteral("/c"), scriptName};
#else
        QSKIP("no MinGW or Wine here");
#endif
    }
    const Members old = version(exeName, oldProgram, "old", 198);
    const Members next = version(exeName, newProgram, "new", 198);
    const auto prepared = [&](QTemporaryDir &dir) {
        return install(dir.path(), old) && stage(dir.path(), next, script, scriptName);
    };
    const auto startScript = [&](QProcess &process, const QString &dir) {
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir);
        process.start(command.first(), command.mid(1));
        return process.waitForStarted();
    };
    // Whatever the script started has ended (the Windows stand-in's lock is not flock's).
    const auto ended = [&](const QString &dir) {
        if (batch) {
            QProcess end;
            end.setProcessEnvironment(environment);
            end.start(QStringLiteral("sh"), {"-c", "wineserver -k; wineserver -w"});
            return end.waitForFinished(30000);
        }
        return QTest::qWaitFor([&] { return lockFree(QDir(dir).filePath(update::LockName)); }, 10000);
    };

    // How long the swap takes when left alone: until the new program starts.
    qint64 swapMs = 0;
    {
        QTemporaryDir dir;
        QVERIFY(prepared(dir));
        QElapsedTimer clock;
        clock.start();
        QProcess sh;
        QVERIFY(startScript(sh, dir.path()));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("started.log"))), 60000);
        swapMs = clock.elapsed();
        QVERIFY(sh.waitForFinished(30000));
        QVERIFY(ended(dir.path()));
    }

    const int runs = 10;
    QStringList outcomes;
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir dir;
        QVERIFY(prepared(dir));
        QProcess sh;
        QVERIFY(startScript(sh, dir.path()));
        if (run > 0)
            QTest::qSleep(int(swapMs * run / runs));
        sh.kill();
        QVERIFY(sh.waitForFinished());
        // At the moment of the kill: a whole program, old or new.
        const QByteArray program = readWholeFile(dir.filePath(exeName));
        QVERIFY2(program == oldProgram || program == newProgram, qPrintable(QString::number(run)));
        QVERIFY(batch || QFileInfo(dir.filePath(exeName)).isExecutable());

        QProcess again;
        QVERIFY(startScript(again, dir.path()));
        QVERIFY(again.waitForFinished(60000));
        const QString whole = versionIn(dir.path(), {old, next}, {"old", "new"});
        outcomes.append(whole.isEmpty() ? QStringLiteral("mixed") : whole);
        // Whatever was started has ended before the folder goes.
        QVERIFY(ended(dir.path()));
    }
    qInfo("swap %lld ms; outcomes: %s", swapMs, qPrintable(outcomes.join(QLatin1Char(' '))));
    QVERIFY(!outcomes.contains(QStringLiteral("mixed")));
}

// upgrade.bat under Wine's cmd waits for the program (a Windows stand-in that holds the lock as the
// program does) to end, then swaps. The swap, the roll-back and a folder with Czech letters run with
// the real program in the Windows build's tests.
void TestUpdateScript::batchWaitsUnderWine()
{
#if defined(WIN_PROGRAM) && defined(WINE_PREFIX)
    const int oldRunsMs = 6000;
    const QString dir = QStringLiteral(WINE_PREFIX "/drive_c/Stablomat");
    QDir(dir).removeRecursively();
    QVERIFY(QDir().mkpath(dir));
    const QString exeName = QStringLiteral("stablomat.exe");
    const QByteArray stand = readWholeFile(QStringLiteral(WIN_PROGRAM));
    QVERIFY(!stand.isEmpty());
    const auto program = [&](const char *name, int ms) {
        return stand + "\nSTBFAKE " + name + ' ' + QByteArray::number(ms) + '\n';
    };
    const Members old = version(exeName, program("old", oldRunsMs), "old");
    const Members next = version(exeName, program("new", 8000), "new", 4);
    QVERIFY(install(dir, old));
    QVERIFY(stage(dir, next, update::windowsUpdateScript(exeName, 3), QStringLiteral("upgrade.bat")));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("WINEPREFIX"), QStringLiteral(WINE_PREFIX));
    environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    const auto wine = [&](QProcess &process, const QStringList &arguments) {
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir);
        process.start(QStringLiteral("wine"), arguments);
        return process.waitForStarted();
    };
    // The old program still runs and holds its lock through Wine.
    QProcess running;
    QVERIFY(wine(running, {exeName}));
    QTRY_VERIFY_WITH_TIMEOUT(readWholeFile(dir + QStringLiteral("/started.log")) == "old\n", 20000);
    QElapsedTimer clock;
    clock.start();
    QProcess cmd;
    QVERIFY(wine(cmd, {QStringLiteral("cmd"), QStringLiteral("/c"), QStringLiteral("upgrade.bat")}));
    QVERIFY(cmd.waitForFinished(90000));
    const QByteArray output = cmd.readAllStandardOutput();
    // Not one step before the old program had ended.
    QVERIFY2(output.contains("STABLOMAT is still running"), output.constData());
    QVERIFY(clock.elapsed() >= oldRunsMs - 2000);
    QVERIFY(running.waitForFinished(20000));
    QCOMPARE(versionIn(dir, {old, next}, {"old", "new"}), QStringLiteral("new"));
    QTRY_COMPARE_WITH_TIMEOUT(readWholeFile(dir + QStringLiteral("/started.log")), QByteArray("old\nnew\n"),
                              20000);
    // End the stand-in that runs now.
    QProcess::execute(QStringLiteral("sh"),
                      {QStringLiteral("-c"), QStringLiteral("WINEPREFIX='" WINE_PREFIX "' wineserver -k")});
    QDir(dir).removeRecursively();
#else
    QSKIP("no MinGW or Wine here");
#endif
}

STABLOMAT_TEST_MAIN_CORE(TestUpdateScript)
#include "tst_updatescript.moc"
