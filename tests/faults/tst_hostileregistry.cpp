// The cloud client against a registry that answers with any bytes: it gives an error code, never a
// crash or a hang, and does not keep memory or sockets of the answers it refused.
#include "common/testsupport.h"

#include "procstats.h"
#include "ziviviver/ziviviver.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

const QByteArray GoodAttach = R"({"api":1,"loggedIn":true,"session":"s3ss10n","farm":"4711"})";

QByteArray http(const QByteArray &body, const QByteArray &status = "200 OK")
{
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// Answers every attach with GoodAttach and every other request with `answer`, sent as it is.
class HostileServer : public QObject
{
public:
    QByteArray answer;
    int connections = 0;

    bool listen()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                ++connections;
                connect(s, &QTcpSocket::readyRead, s, [this, s] { onData(s); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        return server.listen(QHostAddress::LocalHost);
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()); }

private:
    void onData(QTcpSocket *s)
    {
        QByteArray &buffer = pending[s];
        buffer += s->readAll();
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const int lengthAt = buffer.toLower().indexOf("content-length:");
        const int length =
            lengthAt < 0 ? 0 : buffer.mid(lengthAt + 15, 12).trimmed().split('\r').value(0).toInt();
        if (buffer.size() < end + 4 + length)
            return;
        const bool attach = buffer.startsWith("POST") && buffer.left(buffer.indexOf('\n')).contains("attach");
        const bool detach = buffer.left(buffer.indexOf('\n')).contains("detach");
        pending.remove(s);
        s->write(attach ? http(GoodAttach) : detach ? http(R"({"api":1,"detached":true})") : answer);
        s->disconnectFromHost();
    }

    QTcpServer server;
    QHash<QTcpSocket *, QByteArray> pending;
};

// attach + syncZavra of one animal; the syncZavra result.
int syncOnce(QList<ZARiruvOzav::zavra_ins_row_t> &downloaded)
{
    ZARiruvOzav zavra;
    const int rc = zavra.attach(nullptr, QStringLiteral("4711"), 0, QStringLiteral("ZAVRA"),
                                QStringLiteral("jan"), QStringLiteral("heslo"), nullptr, nullptr, nullptr);
    if (rc < 0 || !zavra.loggedIn)
        return 1000 + rc;
    QMap<QString, ZARiruvOzav::ddata_zv_t> animals;
    animals.insert(QStringLiteral("100200300"),
                   {QStringLiteral("100200300"), 17, QVariant(), QStringLiteral("0")});
    int a = 0, i = 0, p = 0, d = 0, pl = 0;
    const int result =
        zavra.syncZavra(false, 1, 30, 1, 30, true, true, animals, {}, {}, {}, {}, downloaded, a, i, p, d, pl);
    zavra.detach();
    return result;
}

QByteArray nested(int depth)
{
    return R"({"api":1,"received":{"animals":1,"inseminations":0,"pregnancies":0,"dryOffs":0,"plans":0},"inseminations":)" +
           QByteArray(depth, '[') + QByteArray(depth, ']') + "}";
}

QByteArray duplicateKeys(int size)
{
    return R"({"api":1,"received":{"animals":1,"inseminations":0,"pregnancies":0,"dryOffs":0,"plans":0},)"
           R"("inseminations":[{"cislo":")" +
           QByteArray(size, '7') + R"("}],"inseminations":[]})";
}

} // namespace

class TestHostileRegistry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("ZAVRA_TIMEOUT_MS", "3000"); }
    void answers_data();
    void answers();
    void refusedAnswersKeepNothing();
};

void TestHostileRegistry::answers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("expected");
    const QByteArray good =
        R"({"api":1,"received":{"animals":1,"inseminations":0,"pregnancies":0,"dryOffs":0,"plans":0},)"
        R"("inseminations":[{"cislo":"100200300","datum":"2024-05-20","poradi":1}]})";
    QTest::newRow("good answer") << http(good) << 0;
    QTest::newRow("html page") << http("<html><body>Bad gateway</body></html>")
                               << int(zavra::MalformedAnswer);
    QTest::newRow("cut after the headers")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n") << int(zavra::MalformedAnswer);
    QTest::newRow("cut inside the body")
        << ("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + good.left(60)) << int(zavra::MalformedAnswer);
    QTest::newRow("no http at all") << QByteArray("\x00\xff\xfe garbage\r\n\r\n", 15)
                                    << int(zavra::Unreachable);
    QTest::newRow("nothing") << QByteArray() << int(zavra::Unreachable);
    QTest::newRow("array instead of object") << http("[1,2,3]") << int(zavra::MalformedAnswer);
    QTest::newRow("counters as text") << http(QByteArray(good).replace("\"animals\":1", "\"animals\":\"1\""))
                                      << int(zavra::MalformedAnswer);
    QTest::newRow("row without cislo")
        << http(QByteArray(good).replace("\"cislo\"", "\"cisla\"")) << int(zavra::MalformedAnswer);
    QTest::newRow("nested 100000 deep") << http(nested(100000)) << int(zavra::MalformedAnswer);
    QTest::newRow("duplicate keys") << http(duplicateKeys(1000)) << int(zavra::MalformedAnswer);
    QTest::newRow("duplicate keys, status 500")
        << http(duplicateKeys(1000), "500 Internal Server Error") << int(zavra::HttpStatus);
    QTest::newRow("status 500 with html")
        << http("<html/>", "500 Internal Server Error") << int(zavra::HttpStatus);
    QTest::newRow("redirect")
        << QByteArray("HTTP/1.1 302 Found\r\nLocation: http://example.com/\r\nContent-Length: 0\r\n\r\n")
        << int(zavra::HttpStatus);
    QTest::newRow("10 MB of blanks") << http(QByteArray(10 << 20, ' ')) << int(zavra::MalformedAnswer);
    QTest::newRow("2 MB of rows for one animal")
        << http(QByteArray(good).replace("[{", "[" + QByteArray(R"({"cislo":"1"},)").repeated(150000) + "{"))
        << int(zavra::MalformedAnswer);
}

void TestHostileRegistry::answers()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, expected);
    HostileServer server;
    server.answer = answer;
    QVERIFY(server.listen());
    qputenv("ZAVRA_URL", server.url().toUtf8());
    QList<ZARiruvOzav::zavra_ins_row_t> downloaded;
    QElapsedTimer clock;
    clock.start();
    const int rc = syncOnce(downloaded);
    QCOMPARE(rc, expected);
    QVERIFY2(clock.elapsed() < 3500, "the client waited past its time limit");
    QCOMPARE(downloaded.size(), rc == 0 ? 1 : 0);
}

void TestHostileRegistry::refusedAnswersKeepNothing()
{
#if defined(STABLOMAT_ASAN)
    QSKIP("AddressSanitizer keeps freed memory in quarantine: resident memory says nothing here");
#endif
    HostileServer server;
    server.answer = http(duplicateKeys(100000));
    QVERIFY(server.listen());
    qputenv("ZAVRA_URL", server.url().toUtf8());
    QList<ZARiruvOzav::zavra_ins_row_t> downloaded;
    for (int i = 0; i < 20; ++i)
        QCOMPARE(syncOnce(downloaded), int(zavra::MalformedAnswer));
    QCoreApplication::processEvents();
    const ProcStats before = procStats();
    for (int i = 0; i < 200; ++i)
        QCOMPARE(syncOnce(downloaded), int(zavra::MalformedAnswer));
    QCoreApplication::processEvents();
    const ProcStats after = procStats();
    // 200 answers of 100 kB: a leak of each would be 20 MB.
    QVERIFY2(after.rssKb - before.rssKb < 4096,
             qPrintable(QStringLiteral("RSS grew from %1 kB to %2 kB").arg(before.rssKb).arg(after.rssKb)));
    QVERIFY2(
        after.openFiles <= before.openFiles + 2,
        qPrintable(QStringLiteral("open files from %1 to %2").arg(before.openFiles).arg(after.openFiles)));
}

STABLOMAT_TEST_MAIN_CORE(TestHostileRegistry)
#include "tst_hostileregistry.moc"
