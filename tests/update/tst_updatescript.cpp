// The update script of this platform: its text, and a real run that waits for the program.
#include "app/platform.h"
#include "common/testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

bool makeArchive(const QString &dir, const QString &member, const QByteArray &content)
{
    QTemporaryDir staging;
    const QString path = staging.filePath(member);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                        QFile::ExeGroup);
    QProcess zip;
    zip.start(QStringLiteral("zip"),
              {QStringLiteral("-j"), QStringLiteral("-q"), dir + QStringLiteral("/stablomat.zip"), path});
    return zip.waitForFinished(20000) && zip.exitCode() == 0;
}

// The new program: leaves a marker with the directory it was started in.
const QByteArray newProgram = "#!/bin/sh\npwd > started.marker\n";

bool writeScript(const QString &dir, const QString &exeName)
{
    QFile script(dir + QLatin1Char('/') + platform::updateScriptName());
    const QByteArray text = platform::updateScript(exeName);
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
    const QByteArray expected = "#!/bin/sh\n"
                                "running() {\n"
                                "  for p in /proc/[0-9]*; do\n"
                                "    e=$(readlink \"$p/exe\" 2>/dev/null) || continue\n"
                                "    e=${e% (deleted)}\n"
                                "    [ \"${e##*/}\" = 'stablomat' ] && return 0\n"
                                "  done\n"
                                "  return 1\n"
                                "}\n"
                                "while running; do\n"
                                "  echo \"STABLOMAT is still running\"\n"
                                "  sleep 1\n"
                                "done\n"
                                "\n"
                                "unzip -o stablomat.zip\n"
                                "chmod +x ./'stablomat' 2>/dev/null\n"
                                "./'stablomat' >/dev/null 2>&1 &";
    QCOMPARE(platform::updateScript(QStringLiteral("stablomat")), expected);
}

void TestUpdateScript::quotedNames_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::newRow("blank") << "stable mat";
    QTest::newRow("quote") << "it's";
    QTest::newRow("shell characters") << "a$(touch pwned);b`x`";
}

// A name that needs quoting still names exactly that file, and nothing else runs.
void TestUpdateScript::quotedNames()
{
    QFETCH(QString, exeName);
    QTemporaryDir dir;
    QVERIFY(makeArchive(dir.path(), exeName, newProgram));
    QVERIFY(writeScript(dir.path(), exeName));
    QProcess sh;
    sh.setWorkingDirectory(dir.path());
    sh.start(QStringLiteral("/bin/sh"), {platform::updateScriptName()});
    QVERIFY(sh.waitForFinished(20000));
    QCOMPARE(sh.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("started.marker"))), 10000);
    QCOMPARE(readWholeFile(dir.filePath(exeName)), newProgram);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("pwned"))));
}

void TestUpdateScript::waitsUntilTheProgramHasEnded()
{
    QTemporaryDir dir;
    // The running "program": a copy of sleep under a name of its own.
    const QString exeName = QStringLiteral("stbwait%1").arg(QCoreApplication::applicationPid());
    const QString exePath = dir.filePath(exeName);
    QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), exePath));
    QProcess program;
    program.start(exePath, {QStringLiteral("60")});
    QVERIFY(program.waitForStarted());

    QVERIFY(makeArchive(dir.path(), exeName, newProgram));
    QVERIFY(writeScript(dir.path(), exeName));
    QProcess sh;
    sh.setWorkingDirectory(dir.path());
    sh.start(QStringLiteral("/bin/sh"), {platform::updateScriptName()});
    QVERIFY(sh.waitForStarted());

    QVERIFY(!sh.waitForFinished(2500));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("started.marker"))));
    QVERIFY(readWholeFile(exePath) != newProgram);
    QVERIFY(sh.readAllStandardOutput().contains("STABLOMAT is still running"));

    program.kill();
    QVERIFY(program.waitForFinished());
    QVERIFY(sh.waitForFinished(10000));
    QCOMPARE(sh.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("started.marker"))), 10000);
    QCOMPARE(readWholeFile(dir.filePath(QStringLiteral("started.marker"))).trimmed(),
             QFile::encodeName(QDir(dir.path()).canonicalPath()));
    QCOMPARE(readWholeFile(exePath), newProgram);
}

void TestUpdateScript::startedDetachedInItsDirectory()
{
    QTemporaryDir dir;
    const QString exeName = QStringLiteral("stbdetached%1").arg(QCoreApplication::applicationPid());
    QVERIFY(makeArchive(dir.path(), exeName, newProgram));
    QVERIFY(writeScript(dir.path(), exeName));
    QVERIFY(platform::startUpdateScript(dir.path()));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("started.marker"))), 10000);
    QCOMPARE(readWholeFile(dir.filePath(exeName)), newProgram);
}

STABLOMAT_TEST_MAIN_CORE(TestUpdateScript)
#include "tst_updatescript.moc"
