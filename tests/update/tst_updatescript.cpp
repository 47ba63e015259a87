// The update scripts: their text, and real runs of this platform's script that wait for the
// program, swap the files in, and put the old program back when anything fails.
#include "common/testsupport.h"
#include "platform/platform.h"
#include "servers.h"
#include "update/updateprotocol.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

// The new program: leaves a marker with the directory it was started in and keeps running.
const QByteArray newProgram = "#!/bin/sh\npwd > started.marker\nexec sleep 4\n";
const QByteArray oldProgram = "#!/bin/sh\npwd > old.marker\nexec sleep 4\n";
const int settleSeconds = 1;

bool archiveIn(const QString &dir, const QString &member, const QByteArray &content)
{
    return makeArchive(dir + QStringLiteral("/stablomat.zip"), member, content);
}

bool writeScript(const QString &dir, const QString &exeName)
{
    QFile script(dir + QLatin1Char('/') + platform::updateScriptName());
    const QByteArray text = update::unixUpdateScript(exeName, settleSeconds);
    return script.open(QIODevice::WriteOnly) && script.write(text) == text.size();
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
};

void TestUpdateScript::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("zip")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("unzip")).isEmpty())
        QSKIP("zip and unzip are needed (scripts/install-deps.sh)");
}

void TestUpdateScript::text()
{
    QCOMPARE(platform::updateScriptName(), QStringLiteral("upgrade.sh"));
    QCOMPARE(update::updateScript(QStringLiteral("stablomat")), update::unixUpdateScript("stablomat", 10));
    // The batch file still begins with the wait for the program and ends without a line feed.
    const QByteArray batch = update::windowsUpdateScript();
    QVERIFY(batch.startsWith(":LOOP\n"
                             "tasklist /fi \"ImageName eq stablomat.exe\" /fo csv 2>NUL | find /I "
                             "\"stablomat.exe\">NUL\n"
                             "if \"%ERRORLEVEL%\"==\"0\" (\n"
                             "  ECHO STABLOMAT is still running\n"
                             "  TIMEOUT /T 1\n"
                             "  GOTO LOOP\n"
                             ")\n\n"));
    QVERIFY(!batch.endsWith('\n'));
    QVERIFY(!update::unixUpdateScript("stablomat").endsWith('\n'));
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
    QVERIFY(archiveIn(dir.path(), exeName, newProgram));
    QVERIFY(writeScript(dir.path(), exeName));
    QProcess sh;
    sh.setWorkingDirectory(dir.path());
    sh.start(QStringLiteral("/bin/sh"), {platform::updateScriptName()});
    QVERIFY(sh.waitForFinished(20000));
    QCOMPARE(sh.exitCode(), 0);
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("started.marker"))));
    QCOMPARE(readWholeFile(dir.filePath(exeName)), newProgram);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("pwned"))));
}

void TestUpdateScript::rollback_data()
{
    QTest::addColumn<QString>("archiveMember"); // empty: the archive is not a zip at all
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("step");

    QTest::newRow("not a zip") << "" << QByteArray("<html>Not found</html>") << "unzip";
    QTest::newRow("program missing from the archive") << "readme" << newProgram << "unzip";
    QTest::newRow("new program ends at once") << "stbroll" << QByteArray("#!/bin/sh\nexit 1\n") << "start";
    QTest::newRow("new program does not start") << "stbroll"
                                                << QByteArray("\x7f"
                                                              "ELF broken")
                                                << "start";
}

// Whatever fails, the old program is back byte for byte and running, and the staging folder is gone.
void TestUpdateScript::rollback()
{
    QFETCH(QString, archiveMember);
    QFETCH(QByteArray, content);
    QFETCH(QString, step);

    QTemporaryDir dir;
    const QString exeName = QStringLiteral("stbroll");
    QVERIFY(writeFile(dir.filePath(exeName), oldProgram));
    QFile::setPermissions(dir.filePath(exeName), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (archiveMember.isEmpty())
        QVERIFY(writeFile(dir.filePath(QStringLiteral("stablomat.zip")), content));
    else
        QVERIFY(archiveIn(dir.path(), archiveMember, content));
    QVERIFY(writeScript(dir.path(), exeName));

    QProcess sh;
    sh.setWorkingDirectory(dir.path());
    sh.start(QStringLiteral("/bin/sh"), {platform::updateScriptName()});
    QVERIFY(sh.waitForFinished(30000));
    QCOMPARE(sh.exitCode(), 1);
    QVERIFY2(sh.readAllStandardOutput().contains("update failed: " + step.toUtf8()), qPrintable(step));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("old.marker"))), 10000);
    QCOMPARE(readWholeFile(dir.filePath(exeName)), oldProgram);
    QVERIFY(QFileInfo(dir.filePath(exeName)).isExecutable());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("stablomat.new"))));
}

void TestUpdateScript::waitsUntilTheProgramHasEnded()
{
    QTemporaryDir dir;
    // The running "program": a copy of sleep under a name of its own.
    const QString exeName = QStringLiteral("stbwait%1").arg(QCoreApplication::applicationPid());
    const QString exePath = dir.filePath(exeName);
    QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), exePath));
    const QByteArray old = readWholeFile(exePath);
    QProcess program;
    program.start(exePath, {QStringLiteral("60")});
    QVERIFY(program.waitForStarted());

    QVERIFY(archiveIn(dir.path(), exeName, newProgram));
    QVERIFY(writeScript(dir.path(), exeName));
    QProcess sh;
    sh.setWorkingDirectory(dir.path());
    sh.start(QStringLiteral("/bin/sh"), {platform::updateScriptName()});
    QVERIFY(sh.waitForStarted());

    QVERIFY(!sh.waitForFinished(2500));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("started.marker"))));
    QCOMPARE(readWholeFile(exePath), old);
    QVERIFY(sh.readAllStandardOutput().contains("STABLOMAT is still running"));

    program.kill();
    QVERIFY(program.waitForFinished());
    QVERIFY(sh.waitForFinished(15000));
    QCOMPARE(sh.exitCode(), 0);
    QCOMPARE(readWholeFile(dir.filePath(QStringLiteral("started.marker"))).trimmed(),
             QFile::encodeName(QDir(dir.path()).canonicalPath()));
    QCOMPARE(readWholeFile(exePath), newProgram);
    // The old executable is kept beside it.
    QCOMPARE(readWholeFile(dir.filePath(QStringLiteral("stablomat.old/") + exeName)), old);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("stablomat.new"))));
}

void TestUpdateScript::startedDetachedInItsDirectory()
{
    QTemporaryDir dir;
    const QString exeName = QStringLiteral("stbdetached%1").arg(QCoreApplication::applicationPid());
    QVERIFY(archiveIn(dir.path(), exeName, newProgram));
    QVERIFY(writeScript(dir.path(), exeName));
    QVERIFY(platform::startUpdateScript(dir.path()));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("started.marker"))), 10000);
    QCOMPARE(readWholeFile(dir.filePath(exeName)), newProgram);
}

STABLOMAT_TEST_MAIN_CORE(TestUpdateScript)
#include "tst_updatescript.moc"
