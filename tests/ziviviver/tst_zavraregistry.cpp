// The reference herd registry on its own: start and stop, malformed requests, stored passwords,
// the command line and the update routes.
#include "common/registryprocess.h"
#include "common/testsupport.h"
#include "procstats.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>

#include <csignal>
#include <sys/types.h>

namespace {

struct RawAnswer
{
    int status = 0;
    QByteArray body;
};

// Sends `request` as it is and reads the answer until the server closes or `timeoutMs` passes.
RawAnswer rawRequest(int port, const QByteArray &request, int timeoutMs = 3000,
                     const QHostAddress &from = QHostAddress())
{
    QTcpSocket socket;
    if (!from.isNull())
        socket.bind(from);
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    RawAnswer answer;
    if (!socket.waitForConnected(2000))
        return answer;
    socket.write(request);
    QByteArray data;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (socket.waitForReadyRead(100))
            data += socket.readAll();
        const int headerEnd = data.indexOf("\r\n\r\n");
        if (headerEnd >= 0) {
            const QByteArray headers = data.left(headerEnd).toLower();
            const int at = headers.indexOf("content-length:");
            const int length =
                at < 0 ? 0 : headers.mid(at + 15, headers.indexOf("\r\n", at) - at - 15).trimmed().toInt();
            if (data.size() >= headerEnd + 4 + length) {
                answer.body = data.mid(headerEnd + 4, length);
                break;
            }
        }
        if (socket.state() != QAbstractSocket::ConnectedState)
            break;
    }
    const QList<QByteArray> statusLine = data.left(data.indexOf("\r\n")).split(' ');
    if (statusLine.size() >= 2 && statusLine.first().startsWith("HTTP/"))
        answer.status = statusLine.at(1).toInt();
    return answer;
}

QByteArray post(const QByteArray &path, const QByteArray &body, const QByteArray &extraHeaders = QByteArray(),
                const QByteArray &contentType = "application/json")
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + contentType +
           "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" +
           extraHeaders + "\r\n" + body;
}

QByteArray get(const QByteArray &path)
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

QString sessionOf(const RawAnswer &answer)
{
    return QJsonDocument::fromJson(answer.body).object().value("session").toString();
}

} // namespace

class TestZavraRegistry : public QObject
{
    Q_OBJECT

private slots:
    void startsQuicklyOnAFreePort();
    void stopsOnSignal_data();
    void stopsOnSignal();
    void malformedRequestsAreRefusedAndServingGoesOn_data();
    void malformedRequestsAreRefusedAndServingGoesOn();
    void refusedBodiesAreNotKept();
    void passwordsAreStoredSaltedAndHashed();
    void commandLineRefusesBadInput_data();
    void commandLineRefusesBadInput();
    void updateRoutes();
    void refusedLoginsPauseThatUserAndAddress();
    void versionCheckLoggedWithinLimit();
};

void TestZavraRegistry::startsQuicklyOnAFreePort()
{
    QElapsedTimer clock;
    clock.start();
    RegistryProcess first;
    QVERIFY(first.start());
    const qint64 startup = clock.elapsed();
    qInfo("registry listening after %lld ms", startup);
    QVERIFY2(startup < 1000, qPrintable(QString::number(startup)));
    RegistryProcess second;
    QVERIFY(second.start());
    QVERIFY(first.port() != second.port());
    QCOMPARE(rawRequest(first.port(), get("/nothing")).status, 404);
    QCOMPARE(rawRequest(second.port(), get("/nothing")).status, 404);
}

void TestZavraRegistry::stopsOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("requestPending");
    QTest::addColumn<bool>("idleConnection");
    QTest::newRow("SIGTERM") << int(SIGTERM) << false << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false << false;
    QTest::newRow("SIGTERM while an answer is delayed") << int(SIGTERM) << true << false;
    QTest::newRow("SIGTERM with an idle kept-alive connection") << int(SIGTERM) << false << true;
}

void TestZavraRegistry::stopsOnSignal()
{
    QFETCH(int, signal);
    QFETCH(bool, requestPending);
    QFETCH(bool, idleConnection);
    RegistryProcess registry;
    QVERIFY(
        registry.start(requestPending ? QStringList{"--delay-ms", "20000", "--announce"} : QStringList()));
    bool arrived = false;
    registry.onLine([&](const QByteArray &line) { arrived = arrived || line == "received GET /nothing"; });
    QTcpSocket client;
    if (requestPending || idleConnection) {
        client.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(registry.port()));
        QVERIFY(client.waitForConnected(2000));
        client.write("GET /nothing HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        client.flush();
        if (idleConnection)
            QVERIFY(client.waitForReadyRead(2000));
        else
            QTRY_VERIFY(arrived);
    }
    QElapsedTimer clock;
    clock.start();
    ::kill(static_cast<pid_t>(registry.pid()), signal);
    QVERIFY(registry.running());
    int rc = registry.stop(5000);
    QCOMPARE(rc, 0);
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
}

void TestZavraRegistry::malformedRequestsAreRefusedAndServingGoesOn_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("withSession");
    QTest::newRow("garbage request line") << QByteArray("GARBAGE\r\n\r\n") << 400 << false;
    QTest::newRow("binary noise") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\r\n\r\n", 14) << 400
                                  << false;
    QTest::newRow("attach body not JSON") << post("/api/v1/attach", "{cloud: 1001") << 400 << false;
    QTest::newRow("attach body a JSON array") << post("/api/v1/attach", "[1, 2]") << 400 << false;
    QTest::newRow("attach without password")
        << post("/api/v1/attach", R"({"cloud":"1001","user":"jan"})") << 400 << false;
    QTest::newRow("attach with a user name of 1000 characters")
        << post("/api/v1/attach",
                R"({"cloud":"1001","password":"","user":")" + QByteArray(1000, 'j') + R"("})")
        << 400 << false;
    QTest::newRow("attach announcing a body of 1 MB")
        << post("/api/v1/attach", "").replace("Content-Length: 0", "Content-Length: 1048576") << 400 << false;
    QTest::newRow("sync without session") << post("/api/v1/sync", "{}") << 401 << false;
    QTest::newRow("sync body not JSON") << post("/api/v1/sync", "\x01\x02") << 400 << true;
    QTest::newRow("sync animal without life number")
        << post("/api/v1/sync", R"({"animals":[{"tech_cislo":"1"}]})") << 400 << true;
    QTest::newRow("sync event with a bad date")
        << post("/api/v1/sync", R"({"plans":[{"cislo":"1","datum":"31.12.2024"}]})") << 400 << true;
    QTest::newRow("sync ordinal not a number")
        << post("/api/v1/sync", R"({"inseminations":[{"cislo":"1","datum":"2024-12-31","poradi":"two"}]})")
        << 400 << true;
    QTest::newRow("sync list not an array")
        << post("/api/v1/sync", R"({"dryOffs":{"cislo":"1"}})") << 400 << true;
    QTest::newRow("unknown route") << get("/api/v2/attach") << 404 << false;
    QTest::newRow("wrong method") << get("/api/v1/attach") << 404 << false;
}

void TestZavraRegistry::malformedRequestsAreRefusedAndServingGoesOn()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(bool, withSession);
    RegistryProcess registry;
    QVERIFY(registry.start());
    QVERIFY(registry.addUser("1001", "jan", "pw"));
    const QByteArray login = post("/api/v1/attach", R"({"cloud":"1001","user":"jan","password":"pw"})");
    if (withSession) {
        const QString session = sessionOf(rawRequest(registry.port(), login));
        QVERIFY(!session.isEmpty());
        request.replace("Connection: close\r\n",
                        "Connection: close\r\nAuthorization: Bearer " + session.toUtf8() + "\r\n");
    }

    const RawAnswer refused = rawRequest(registry.port(), request);
    QCOMPARE(refused.status, status);
    if (!refused.body.isEmpty())
        QVERIFY(QJsonDocument::fromJson(refused.body).object().contains("error"));
    QVERIFY(registry.running());

    // Nothing was stored from it, and the next proper request is served.
    QCOMPARE(registry.dump("1001").value("animals").toArray().size(), 0);
    QCOMPARE(registry.dump("1001").value("plans").toArray().size(), 0);
    const RawAnswer accepted = rawRequest(registry.port(), login);
    QCOMPARE(accepted.status, 200);
    QVERIFY(!sessionOf(accepted).isEmpty());
    const QList<QJsonObject> log = registry.requests();
    QVERIFY(log.size() >= 2);
    QCOMPARE(log.at(log.size() - 2).value("status").toInt(), status);
    QCOMPARE(registry.stop(), 0);
}

void TestZavraRegistry::refusedBodiesAreNotKept()
{
    // Bodies refused unread on kept-alive connections: not parsed as further requests, not kept.
    RegistryProcess registry;
    QVERIFY(registry.start());
    const QByteArray request = post("/api/v1/attach", R"({"cloud":"1001","password":"","user":")" +
                                                          QByteArray(16 << 20, 'j') + "\"}")
                                   .replace("Connection: close", "Connection: keep-alive");
    for (int i = 0; i < 20; ++i)
        QCOMPARE(rawRequest(registry.port(), request, 10000).status, 400);
    const qint64 peak = procStats(registry.pid()).peakRssKb;
    QVERIFY2(peak > 0 && peak < 48 * 1024, qPrintable(QStringLiteral("peak %1 kB").arg(peak)));
}

void TestZavraRegistry::passwordsAreStoredSaltedAndHashed()
{
    RegistryProcess registry;
    QVERIFY(registry.addUser("1001", "jan", "Kr4vicka!"));
    QVERIFY(registry.addUser("1001", "eva", "Kr4vicka!"));
    QVERIFY(registry.addUser("2002", "jan", "Kr4vicka!"));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "registry");
        db.setDatabaseName(registry.dbPath());
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("SELECT salt, hash FROM users"));
        QSet<QByteArray> salts;
        QSet<QByteArray> hashes;
        while (q.next()) {
            QVERIFY(q.value(0).toByteArray().size() >= 16);
            salts << q.value(0).toByteArray();
            hashes << q.value(1).toByteArray();
        }
        QCOMPARE(salts.size(), 3);
        QCOMPARE(hashes.size(), 3); // same password, different salts
        db.close();
    }
    QSqlDatabase::removeDatabase("registry");
    QVERIFY(!readWholeFile(registry.dbPath()).contains("Kr4vicka!"));

    // A new password replaces the old one.
    QVERIFY(registry.addUser("1001", "jan", "nove"));
    QVERIFY(registry.start());
    const auto attach = [&](const QByteArray &password) {
        return rawRequest(
            registry.port(),
            post("/api/v1/attach", R"({"cloud":"1001","user":"jan","password":")" + password + "\"}"));
    };
    QCOMPARE(QJsonDocument::fromJson(attach("Kr4vicka!").body).object().value("loggedIn").toBool(true),
             false);
    QVERIFY(!sessionOf(attach("nove")).isEmpty());
    QCOMPARE(registry.stop(), 0);
}

void TestZavraRegistry::commandLineRefusesBadInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("user of an unknown farm")
        << QStringList{"add-user", "--cloud", "77", "--user", "a", "--password", "b"} << 1;
    QTest::newRow("insemination of an unknown farm")
        << QStringList{"record-insemination", "--cloud", "77", "--animal", "1", "--date", "2024-01-01"} << 1;
    QTest::newRow("insemination with a bad date")
        << QStringList{"record-insemination", "--cloud", "1001", "--animal", "1", "--date", "1.1.2024"} << 2;
    QTest::newRow("insemination with a bad ordinal")
        << QStringList{"record-insemination", "--cloud",   "1001", "--animal", "1", "--date",
                       "2024-01-01",          "--ordinal", "x"}
        << 2;
    QTest::newRow("dump of an unknown farm") << QStringList{"dump", "--cloud", "77"} << 1;
    QTest::newRow("unknown option") << QStringList{"add-farm", "--cloud", "1", "--colour", "red"} << 2;
    QTest::newRow("missing option") << QStringList{"add-user", "--cloud", "1001", "--user", "a"} << 2;
    QTest::newRow("unknown command") << QStringList{"fly"} << 2;
    QTest::newRow("bad fault") << QStringList{"serve", "--fault", "slow"} << 2;
}

void TestZavraRegistry::commandLineRefusesBadInput()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    RegistryProcess registry;
    int rc = -1;
    registry.run({"add-farm", "--cloud", "1001"}, &rc);
    QCOMPARE(rc, 0);
    registry.run(args, &rc);
    QCOMPARE(rc, exitCode);
    QCOMPARE(registry.dump("1001").value("recorded").toArray().size(), 0);
}

void TestZavraRegistry::updateRoutes()
{
    QTemporaryDir updates;
    QVERIFY(updates.isValid());
    QVERIFY(writeWholeFile(updates.filePath("stablomat.zip"), QByteArray("PK\x03\x04 archive", 12)));

    RegistryProcess registry;
    QVERIFY(registry.start({"--update-reply", "1.04;stablomat.zip", "--update-dir", updates.path()}));
    const RawAnswer reply =
        rawRequest(registry.port(), post("/user_stablomat_update.php", "verze=1.03&dsystem=1&id=abc%20d",
                                         QByteArray(), "application/x-www-form-urlencoded"));
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, QByteArray("1.04;stablomat.zip"));
    QCOMPARE(registry.lastBody("/user_stablomat_update.php"),
             QJsonObject({{"verze", "1.03"}, {"dsystem", "1"}, {"id", "abc d"}}));

    const RawAnswer file = rawRequest(registry.port(), get("/update/stablomat.zip"));
    QCOMPARE(file.status, 200);
    QCOMPARE(file.body, QByteArray("PK\x03\x04 archive", 12));
    QCOMPARE(rawRequest(registry.port(), get("/update/missing.zip")).status, 404);
    QCOMPARE(rawRequest(registry.port(), get("/update/..%2Fregistry.db")).status, 404);
    QCOMPARE(rawRequest(registry.port(), get("/update/.hidden")).status, 404);
    QCOMPARE(registry.stop(), 0);

    RegistryProcess bare; // without the options the routes answer 404
    QVERIFY(bare.start());
    QCOMPARE(rawRequest(bare.port(), post("/user_stablomat_update.php", "verze=1.03", QByteArray(),
                                          "application/x-www-form-urlencoded"))
                 .status,
             404);
    QCOMPARE(rawRequest(bare.port(), get("/update/stablomat.zip")).status, 404);
    QCOMPARE(bare.stop(), 0);
}

void TestZavraRegistry::refusedLoginsPauseThatUserAndAddress()
{
    RegistryProcess registry;
    QVERIFY(registry.addUser("1001", "jan", "pw"));
    QVERIFY(registry.addUser("1001", "eva", "pw"));
    QVERIFY(registry.start({"--login-pause-ms", "1500"}));
    const auto login = [&](const QByteArray &user, const QByteArray &password,
                           const QHostAddress &from = QHostAddress()) {
        const RawAnswer a = rawRequest(registry.port(),
                                       post("/api/v1/attach", R"({"cloud":"1001","user":")" + user +
                                                                  R"(","password":")" + password + R"("})"),
                                       3000, from);
        return a.status != 200          ? QStringLiteral("HTTP %1").arg(a.status)
               : sessionOf(a).isEmpty() ? QStringLiteral("refused")
                                        : QStringLiteral("in");
    };
    for (int i = 0; i < 5; ++i)
        QCOMPARE(login("jan", "wrong"), QStringLiteral("refused"));
    // Paused now, the right password too; others are not.
    QCOMPARE(login("jan", "pw"), QStringLiteral("HTTP 429"));
    QCOMPARE(login("eva", "pw"), QStringLiteral("in"));
    QCOMPARE(login("jan", "pw", QHostAddress("127.0.0.2")), QStringLiteral("in"));
    // Refused while paused, without lengthening the pause.
    QTRY_COMPARE_WITH_TIMEOUT(login("jan", "pw"), QStringLiteral("in"), 10000);
    // A login clears the count.
    QCOMPARE(login("jan", "wrong"), QStringLiteral("refused"));
    QCOMPARE(login("jan", "pw"), QStringLiteral("in"));
    QCOMPARE(registry.stop(), 0);
}

void TestZavraRegistry::versionCheckLoggedWithinLimit()
{
    RegistryProcess registry;
    QVERIFY(registry.start());
    const QByteArray body = "--b\r\nContent-Disposition: form-data; name=\"uuid\"\r\n\r\n1\r\n"
                            "--b\r\nContent-Disposition: form-data; name=\"zzz\"\r\n\r\n" +
                            QByteArray(4 << 20, 'x') + "\r\n--b--\r\n";
    QCOMPARE(rawRequest(registry.port(), post("/user_stablomat_update.php", body, QByteArray(),
                                              "multipart/form-data; boundary=b"))
                 .status,
             404);
    const QList<QJsonObject> log = registry.requests();
    QCOMPARE(log.size(), 1);
    QVERIFY(log.first().value("body").toString().contains("uuid"));
    QVERIFY(log.first().value("body").toString().size() <= 65536);
    QCOMPARE(registry.stop(), 0);
}

STABLOMAT_TEST_MAIN_CORE(TestZavraRegistry)
#include "tst_zavraregistry.moc"
