// The HerdMetrix Firebird server stopped in the middle of a Uniform run: while the registry
// handles the sync, and while the inseminations are being written back. The server is a private
// instance of the test (own port, lock, temporary and security files) so that the shared one
// keeps serving the other tests. The run ends promptly, counts only what reached the database,
// and the next run with the server back writes every insemination exactly once.
#include "common/firebird.h"
#include "common/registryprocess.h"
#include "common/testsupport.h"

#include "adapters/uniform/herdmetrixdb.h"
#include "app/mainwindow.h"
#include "generator.h"
#include "herdmetrix.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTextEdit>
#include <QThread>

#include <atomic>
#include <thread>

#include <signal.h>

namespace {

const QString Cloud = QStringLiteral("4711");
const QString User = QStringLiteral("jan");
const QString CloudPassword = QStringLiteral("heslo");
const QString Database = QStringLiteral("c:/Users/Public/Documents/UNIFORM/Farma[1]/Herd.fdb");
const QString ServerProgram = QStringLiteral("/usr/sbin/firebird");
const QString FirebirdFiles = QStringLiteral("/usr/lib/x86_64-linux-gnu/firebird/3.0");
const int Recorded = 30;

bool command(const QString &program, const QStringList &args, const QByteArray &input = QByteArray(),
             QString *output = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    const bool done = p.waitForFinished(30000);
    if (output)
        *output = QString::fromLocal8Bit(p.readAll());
    return done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A Firebird server of this process alone. Its root holds a firebird.conf with its own port;
// FIREBIRD points the client library of this process (and of isql-fb) at it, so "localhost"
// without a port, as the program connects, reaches this server and never the shared one.
class PrivateFirebird
{
public:
    ~PrivateFirebird() { stop(); }

    bool setUp(QString *problem)
    {
        if (!QFileInfo(ServerProgram).isExecutable() || !QFileInfo::exists(FirebirdFiles)) {
            *problem = QStringLiteral("the Firebird 3 server is not installed (scripts/services/firebird.sh "
                                      "installs it)");
            return false;
        }
        const QString r = root.path();
        for (const char *entry : {"firebird.msg", "intl", "lib", "plugins", "UDF", "plugins.conf"}) {
            const QString name = QString::fromLatin1(entry);
            if (!QFile::link(FirebirdFiles + QLatin1Char('/') + name, r + QLatin1Char('/') + name)) {
                *problem = QStringLiteral("cannot link ") + name;
                return false;
            }
        }
        QDir().mkpath(r + QStringLiteral("/lock"));
        QDir().mkpath(r + QStringLiteral("/tmp"));
        port = unusedPort();
        if (!writeWholeFile(r + QStringLiteral("/firebird.conf"),
                            QStringLiteral("RemoteServicePort = %1\nRemoteBindAddress = localhost\n"
                                           "SecurityDatabase = %2/security3.fdb\nUdfAccess = None\n")
                                .arg(port)
                                .arg(r)
                                .toUtf8()) ||
            !writeWholeFile(r + QStringLiteral("/databases.conf"), QByteArray()))
            return false;
        qputenv("FIREBIRD", QFile::encodeName(r));
        qputenv("FIREBIRD_LOCK", QFile::encodeName(r + QStringLiteral("/lock")));
        qputenv("FIREBIRD_TMP", QFile::encodeName(r + QStringLiteral("/tmp")));
        // The security database, made without a server.
        QString output;
        if (!command(QStringLiteral("isql-fb"), {QStringLiteral("-q"), QStringLiteral("-user"), "SYSDBA"},
                     QStringLiteral("create database '%1/security3.fdb'; create user SYSDBA password '%2'; "
                                    "commit;")
                         .arg(r, QLatin1String(herdmetrix::Password))
                         .toUtf8(),
                     &output)) {
            *problem = QStringLiteral("cannot create the security database: ") + output;
            return false;
        }
        return true;
    }

    bool start(QString *problem)
    {
        server.setProgram(ServerProgram);
        server.setStandardOutputFile(root.filePath(QStringLiteral("server.out")));
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start();
        if (!server.waitForStarted(10000)) {
            *problem = QStringLiteral("cannot start ") + ServerProgram;
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 15000) {
            if (answers())
                return true;
            if (server.state() == QProcess::NotRunning)
                break;
            QThread::msleep(50);
        }
        *problem = QStringLiteral("the private Firebird server did not come up: ") +
                   QString::fromLocal8Bit(readWholeFile(root.filePath(QStringLiteral("server.out"))));
        return false;
    }

    bool answers() const
    {
        return command(QStringLiteral("fbsvcmgr"),
                       {QStringLiteral("localhost:service_mgr"), QStringLiteral("-user"), "SYSDBA",
                        QStringLiteral("-password"), QLatin1String(herdmetrix::Password),
                        QStringLiteral("info_server_version")});
    }

    // What a crash or a pulled plug does to the server; no fbguard brings it back.
    void stop()
    {
        if (server.state() == QProcess::NotRunning)
            return;
        server.kill();
        server.waitForFinished(10000);
    }

    qint64 pid() const { return server.processId(); }

private:
    QTemporaryDir root;
    int port = 0;
    QProcess server;
};

// "Inseminací: downloaded/written" of a result message; {-1, -1} without one.
QPair<int, int> inseminationCounts(const QString &message)
{
    const QRegularExpressionMatch m =
        QRegularExpression(
            QString::fromUtf8("^Proběhla úspěšná datová výměna.\n\nInseminací: (\\d+)/(\\d+)\n"))
            .match(message);
    return m.hasMatch() ? qMakePair(m.captured(1).toInt(), m.captured(2).toInt()) : qMakePair(-1, -1);
}

const char *const WrittenBack = "select count(*) from DIER_VOORTPLANTING where SOURCEID=100102";
// The server process a connection talks to, and the other connections of this process there.
const char *const ServerPid =
    "select MON$SERVER_PID from MON$ATTACHMENTS where MON$ATTACHMENT_ID = CURRENT_CONNECTION";
const char *const OtherAttachments = "select count(*) from MON$ATTACHMENTS where MON$REMOTE_PID = ? and "
                                     "MON$ATTACHMENT_ID <> CURRENT_CONNECTION";

} // namespace

class TestDatabaseFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void serverStopped_data();
    void serverStopped();

private:
    void open();
    QList<ModalAnswerer::Box> exchange();
    // Each recorded insemination is in the database once, and no other was written.
    void checkWrittenOnce();

    PrivateFirebird firebird;
    QString dbPath;
    QStringList lives; // cows with an insemination recorded in the registry today
    RegistryProcess *registry = nullptr;
    MainWindow *window = nullptr;
};

void TestDatabaseFaults::initTestCase()
{
    QString problem;
    // Before the Firebird client library is first loaded: it reads FIREBIRD once.
    QVERIFY2(firebird.setUp(&problem), qPrintable(problem));
    QVERIFY(QSqlDatabase::isDriverAvailable(QStringLiteral("QIBASE")));
    QVERIFY2(firebird.start(&problem), qPrintable(problem));
    qputenv("ZAVRA_TIMEOUT_MS", "10000");
    dbPath = platform::localPath(Database);
    // herdmetrix::layOut gives the database directory to the user firebird of a packaged server.
    const QString root = TestEnvironment::root();
    QVERIFY(QFile::setPermissions(root, QFile::permissions(root) | QFileDevice::ExeOther));
}

void TestDatabaseFaults::cleanup()
{
    discardWindow(window);
    delete registry;
    registry = nullptr;
    QString problem;
    if (!firebird.answers())
        QVERIFY2(firebird.start(&problem), qPrintable(problem));
}

// A herd of 80 cows in the database; a new insemination today in the registry for 30 of them,
// each with the bull the database knows for the cow's last service.
void TestDatabaseFaults::open()
{
    TestEnvironment::resetDriveC();
    QVERIFY(!makeDriveCFile(QStringLiteral("c:/Program Files/UNIFORM/uniform.exe")).isEmpty());
    herd::GeneratorOptions o;
    o.cows = 80;
    o.seed = 17;
    o.today = QDate::currentDate();
    const herd::Herd herd = herd::generateHerd(o);
    QString error;
    QVERIFY2(herdmetrix::layOut(dbPath, TestEnvironment::winePrefix(), herd, nullptr, &error),
             qPrintable(error));
    {
        // Connected as the program connects: the server reached is the one the test stops.
        firebird::Reader db(dbPath);
        QCOMPARE(db.value(QLatin1String(ServerPid)).toLongLong(), firebird.pid());
    }
    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, User, CloudPassword));
    lives.clear();
    for (const herd::Cow &c : herd.cows) {
        const herd::Insemination *last = c.lastInsemination();
        if (lives.size() == Recorded || !c.isPresent() || !last || last->date >= QDate::currentDate() ||
            last->sire.isEmpty())
            continue;
        const QString life = uniform::lifeNumber(c.registration);
        if (life.isEmpty() || lives.contains(life))
            continue;
        QVERIFY(registry->recordInsemination(Cloud, life, QDate::currentDate(), 1, last->sire));
        lives << life;
    }
    QCOMPARE(lives.size(), Recorded);
}

QList<ModalAnswerer::Box> TestDatabaseFaults::exchange()
{
    ModalAnswerer answerer;
    window->runExchange(false, true);
    return answerer.boxes;
}

void TestDatabaseFaults::checkWrittenOnce()
{
    firebird::Reader db(dbPath);
    QVERIFY(db.isOpen());
    QCOMPARE(db.value(QLatin1String(WrittenBack)).toInt(), Recorded);
    // Once per cow on today's date.
    QCOMPARE(db.value(QStringLiteral("select count(distinct DIERID) from DIER_VOORTPLANTING where "
                                     "SOURCEID=100102 and DATUMBEGIN=current_date"))
                 .toInt(),
             Recorded);
}

void TestDatabaseFaults::serverStopped_data()
{
    QTest::addColumn<bool>("duringWriteBack");
    QTest::newRow("while the registry handles the sync") << false;
    QTest::newRow("in the middle of the write-back") << true;
}

void TestDatabaseFaults::serverStopped()
{
    QFETCH(bool, duringWriteBack);
    open();
    if (QTest::currentTestFailed())
        return;
    if (duringWriteBack) {
        // Every insemination stored takes a while, so that the server can go in the middle.
        firebird::Reader db(dbPath);
        QVERIFY(
            db.exec(QStringLiteral("create trigger slow_insemination for DIER_VOORTPLANTING after insert "
                                   "as declare i integer = 0; begin while (i < 400000) do i = i + 1; end")));
        QVERIFY(registry->serve());
    } else {
        // The registry says when the sync has come and answers it once the server is gone.
        QVERIFY(registry->serve({"--announce", "--hold", "/api/v1/sync"}));
    }
    window = new MainWindow;
    QCOMPARE(window->milkingSystem(), 6);
    storeCloud(window->settingsStore(), Cloud, User, CloudPassword);
    window->settingsStore()->setValue(keys::ImportInseminations, true);
    widgetNamed<QTextEdit>(window, "textEdit")->setPlainText(QStringLiteral("text of the last run"));

    QElapsedTimer clock;
    clock.start();
    std::atomic<qint64> killedAt{-1};
    const pid_t server = pid_t(firebird.pid());
    const auto stopServer = [&] {
        ::kill(server, SIGKILL);
        killedAt = clock.elapsed();
    };
    // The sync waits in an event loop, where the registry's word comes in; the write-back does not,
    // so a thread watches the rows arrive there.
    int programAttachments = -1;
    registry->onLine([&](const QByteArray &line) {
        if (line != "received POST /api/v1/sync")
            return;
        if (killedAt < 0) {
            programAttachments =
                firebird::Reader(dbPath)
                    .value(QLatin1String(OtherAttachments), {QCoreApplication::applicationPid()})
                    .toInt();
            firebird.stop();
            killedAt = clock.elapsed();
        }
        registry->release();
    });
    std::atomic<bool> runOver{false};
    std::atomic<int> ready{-1};
    std::thread watcher;
    if (duringWriteBack) {
        watcher = std::thread([&] {
            firebird::Reader db(dbPath);
            ready = db.isOpen() ? 1 : 0;
            while (!runOver && killedAt < 0) {
                if (db.value(QLatin1String(WrittenBack)).toInt() >= 5)
                    stopServer();
                QThread::msleep(2);
            }
        });
        // Connecting takes a while: the watcher is to be in place before the run begins.
        while (ready < 0)
            QThread::msleep(5);
        if (ready != 1) {
            runOver = true;
            watcher.join();
            QFAIL("the watcher cannot reach the database");
        }
    }
    const QList<ModalAnswerer::Box> boxes = exchange();
    const qint64 ended = clock.elapsed();
    runOver = true;
    if (watcher.joinable())
        watcher.join();
    qInfo("run %lld ms, server stopped at %lld ms", ended, qint64(killedAt));
    QVERIFY2(killedAt >= 0, "the server was not stopped during the run");
    // The program's own connection was to the server stopped (the rows of the write-back were
    // seen there).
    if (!duringWriteBack)
        QCOMPARE(programAttachments, 1);
    // No hang: the run ends soon after the server went, however long the registry takes.
    QVERIFY2(ended - killedAt < (duringWriteBack ? 3000 : 6000),
             qPrintable(QStringLiteral("%1 ms after the server stopped").arg(ended - killedAt)));
    QVERIFY(!window->exchangeRunning());
    QVERIFY(!QSqlDatabase::contains(QSqlDatabase::defaultConnection));
    QCOMPARE(registry->requests(QStringLiteral("/sync")).size(), 1);

    // The sync went through: the result comes, and says how many reached the database.
    QCOMPARE(boxes.size(), 1);
    const QPair<int, int> counts = inseminationCounts(boxes.at(0).text);
    QVERIFY2(counts.first == Recorded, qPrintable(boxes.at(0).text));
    const QString log = widgetNamed<QTextEdit>(window, "textEdit")->toPlainText();

    QString problem;
    QVERIFY2(firebird.start(&problem), qPrintable(problem));
    int stored = 0;
    {
        firebird::Reader db(dbPath);
        QVERIFY(db.isOpen());
        stored = db.value(QLatin1String(WrittenBack)).toInt();
        if (duringWriteBack)
            QVERIFY(db.exec(QStringLiteral("drop trigger slow_insemination")));
    }
    if (duringWriteBack) {
        QVERIFY2(stored >= 5 && stored < Recorded, qPrintable(QString::number(stored)));
    } else {
        QCOMPARE(stored, 0);
    }
    // Never more counted than stored; a commit on its way when the server went may be stored
    // without its answer reaching the program.
    QVERIFY2(counts.second <= stored && stored <= counts.second + 1,
             qPrintable(QStringLiteral("%1 counted, %2 stored").arg(counts.second).arg(stored)));
    QCOMPARE(log.count(QStringLiteral("I:")), counts.second);

    // The server is back: the rest is written once, then nothing more.
    QList<ModalAnswerer::Box> again = exchange();
    QCOMPARE(again.size(), 1);
    QCOMPARE(inseminationCounts(again.at(0).text), qMakePair(Recorded, Recorded - stored));
    QCOMPARE(widgetNamed<QTextEdit>(window, "textEdit")->toPlainText().count(QStringLiteral("I:")),
             Recorded - stored);
    checkWrittenOnce();
    again = exchange();
    QCOMPARE(again.size(), 1);
    QCOMPARE(inseminationCounts(again.at(0).text), qMakePair(Recorded, 0));
    checkWrittenOnce();
}

STABLOMAT_TEST_MAIN(TestDatabaseFaults)
#include "tst_databasefaults.moc"
