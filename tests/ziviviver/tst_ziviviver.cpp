// The cloud client of the synchronisation library against the real reference herd registry.
#include "common/registryprocess.h"
#include "common/testsupport.h"

#include "adapters/afikim/afikimreport.h"
#include "adapters/delaval/delavalexchange.h"
#include "adapters/taurus/taurusexchange.h"
#include "adapters/westfalia/westfaliaanswers.h"
#include "lowdelay.h"
#include "netrule.h"
#include "registryclient_p.h"
#include "ziviviver.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>

using Z = ZARiruvOzav;

namespace {

struct Records
{
    QMap<QString, Z::ddata_zv_t> animals;
    QList<Z::ddata_ins_t> inseminations;
    QList<Z::ddata_br_t> pregnancies;
    QList<Z::ddata_za_t> dryOffs;
    QList<Z::ddata_plany_t> plans;
};

struct Outcome
{
    int attach = 0;
    bool loggedIn = false;
    int sync = 0;
    QList<Z::zavra_ins_row_t> rows;
    int counters[5] = {0, 0, 0, 0, 0};
};

// One exchange as the adapters run it: attach, sync with the windows given, detach.
Outcome exchangeOnce(const QString &cloud, const QString &user, const QString &password, const Records &r,
                     int insDays, int sendDays, bool sendInseminations = true)
{
    Outcome out;
    Z z(nullptr);
    const int mode = 0;
    out.attach = z.attach(nullptr, QVariant(cloud), mode, "ZAVRA", user, password, nullptr, nullptr, nullptr);
    out.loggedIn = z.loggedIn;
    if (out.attach >= 0 && out.loggedIn) {
        const bool complete = true;
        out.sync =
            z.syncZavra(true, insDays > 0 ? 1 : 0, insDays, sendDays > 0 ? 1 : 0, sendDays, sendInseminations,
                        complete, r.animals, r.inseminations, r.pregnancies, r.dryOffs, r.plans, out.rows,
                        out.counters[0], out.counters[1], out.counters[2], out.counters[3], out.counters[4]);
    }
    z.detach();
    return out;
}

Z::ddata_zv_t animal(const QString &cislo, const QVariant &tech, const QVariant &transponder = QVariant(),
                     const QVariant &culled = QVariant())
{
    Z::ddata_zv_t a;
    a.cislo = cislo;
    a.tech_cislo = tech;
    a.transponder = transponder;
    a.vyrazena = culled;
    return a;
}

Records sampleRecords()
{
    const QDate today = QDate::currentDate();
    Records r;
    r.animals.insert("100200300", animal("100200300", "17", "982000123", "0"));
    r.animals.insert("100200301", animal("100200301", "18"));
    r.animals.insert("100200302", animal("100200302", QVariant(), QVariant(), "1"));
    Z::ddata_ins_t ins;
    ins.cislo = "100200300";
    ins.datum = today.addDays(-3);
    ins.druh = 1;
    ins.poradi = 2;
    ins.byk = "holst123";
    r.inseminations << ins;
    ins.cislo = "100200301";
    ins.datum = today.addDays(-4);
    ins.poradi = QVariant();
    r.inseminations << ins;
    Z::ddata_br_t preg;
    preg.cislo = "100200300";
    preg.datum = today.addDays(-20);
    preg.druh = 1;
    r.pregnancies << preg;
    preg.druh = 2;
    r.pregnancies << preg;
    Z::ddata_za_t dry;
    dry.cislo = "100200302";
    dry.datum = today.addDays(-7);
    r.dryOffs << dry;
    Z::ddata_plany_t plan;
    plan.cislo = "100200301";
    plan.datum = today.addDays(5);
    plan.druh = 1;
    r.plans << plan;
    return r;
}

// The records an adapter's reader gives for an answer of the fuzz corpora (the stand-ins' answers
// for the test herds and the inputs that once failed), read as of the stand-ins' reference day.
Records recordsOfAnswer(const QString &path)
{
    const QDate day(2024, 5, 14);
    const int sendDays = 36500; // every dated event
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    const QStringList lines = exchange::readAnswerLines(file);
    HerdRecords h;
    if (path.contains("/delaval_answer/"))
        h = delaval::readAnswer(lines, {30, sendDays, day, false, {}}).records;
    else if (path.contains("/dairyplan_answer/"))
        h = westfalia::readReproductionAnswer(lines, 30, sendDays, day).records;
    else if (path.contains("/taurus_answer/"))
        h = taurus::fullwoodHerd(lines, 30, sendDays, day).records;
    else {
        EDifReader reader(path);
        reader.init();
        const afikim::ReportTable table = afikim::readTable(reader);
        h = afikim::readReport(table, afikim::matchColumns(table.value(0)), 30, sendDays,
                               QDateTime(day, QTime(13, 0)))
                .records;
    }
    return {h.animals, h.inseminations, h.pregnancies, h.dryOffs, h.plans};
}

// Texts and values no adapter makes, for the escaping and the rarer variants.
Records hostileRecords()
{
    QRandomGenerator random(17);
    static const ushort nasty[] = {0,     1,     8,      9,      10,     12,     13,     0x1f,   '"',
                                   '\\',  '/',   'a',    '9',    ' ',    0x7f,   0x80,   0x9f,   0xe9,
                                   0x7ff, 0x800, 0x20ac, 0xfffe, 0xffff, 0xd800, 0xdbff, 0xdc00, 0xdfff};
    const auto text = [&] {
        QString t;
        for (int n = int(random.bounded(12)); n > 0; --n)
            t += QChar(nasty[random.bounded(int(sizeof nasty / sizeof nasty[0]))]);
        return random.bounded(4) ? t : t + QString::fromUcs4(U"\U0001F404");
    };
    const QVariant odd[] = {QVariant(),
                            QVariant(QString()),
                            QVariant(7),
                            QVariant(-2147483647 - 1),
                            QVariant(2.5),
                            QVariant(-0.0),
                            QVariant(1e300),
                            QVariant(0.1),
                            QVariant(qint64(1) << 60),
                            QVariant(true),
                            QVariant(QDate(2024, 2, 29)),
                            QVariant(QDateTime(QDate(2024, 3, 31), QTime(2, 30))),
                            QVariant(QByteArray("x\x01")),
                            QVariant(QStringList{"a", "b"}),
                            QVariant(QPoint(1, 2)),
                            QVariant(QString("12"))};
    const QDate dates[] = {QDate(1, 1, 1), QDate(9999, 12, 31), QDate(-44, 3, 15), QDate(2024, 5, 14),
                           QDate()};
    const auto pick = [&](const auto &list) { return list[random.bounded(int(std::size(list)))]; };
    Records r;
    for (int i = 0; i < 300; ++i) {
        const QString key = text();
        r.animals.insert(
            key, animal(i % 3 ? key : text(), pick(odd), pick(odd), i % 2 ? QVariant(text()) : pick(odd)));
        r.inseminations << Z::ddata_ins_t{text(), pick(dates), pick(odd), pick(odd),
                                          i % 5 ? text() : QString()};
        r.pregnancies << Z::ddata_br_t{text(), pick(dates), pick(odd), pick(odd), pick(odd), pick(odd)};
        r.dryOffs << Z::ddata_za_t{text(), pick(dates), pick(odd)};
        r.plans << Z::ddata_plany_t{text(), pick(dates), pick(odd)};
    }
    return r;
}

QJsonObject findBy(const QJsonArray &list, const QString &cislo)
{
    for (const QJsonValue &v : list) {
        if (v.toObject().value("cislo").toString() == cislo)
            return v.toObject();
    }
    return QJsonObject();
}

} // namespace

class TestZiviviver : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void removeNonNumericChars_data();
    void removeNonNumericChars();
    void urlPolicy_data();
    void urlPolicy();
    void endpoint_data();
    void endpoint();
    void lowDelayOnlyTowardsTheRegistryPort();
    void plainHttpToRemoteHostIsRefusedWithoutTraffic();
    void parseSyncAnswer_data();
    void parseSyncAnswer();
    void requestBodyAsQtWritesIt_data();
    void requestBodyAsQtWritesIt();

    void attach_data();
    void attach();
    void syncWithoutAttachSendsNothing();
    void registryDownIsUnreachable();
    void slowRegistryTimesOut();
    void faultyAnswers_data();
    void faultyAnswers();
    void forgottenSessionEndsTheAttach();

    void sameRecordsTwiceAreStoredOnce();
    void nullFieldsTravelAsAbsentValues();
    void eventsStayHomeWithoutSendFlag();
    void downloadWindow_data();
    void downloadWindow();
    void httpsVerifiesThePeer();
    void tenThousandAnimals();

private:
    RegistryProcess registry;
};

void TestZiviviver::initTestCase()
{
    QVERIFY2(QFile::exists(RegistryProcess::program()), qPrintable(RegistryProcess::program()));
    QVERIFY(registry.start());
    QVERIFY(registry.addUser("1001", "jan", "tajne heslo"));
    QVERIFY(registry.addUser("2002", "eva", "jine"));
}

void TestZiviviver::init()
{
    qputenv("ZAVRA_URL", registry.url().toUtf8());
    qunsetenv("ZAVRA_TIMEOUT_MS");
    qunsetenv("ZAVRA_CA_FILE");
}

void TestZiviviver::cleanupTestCase()
{
    QCOMPARE(registry.stop(), 0);
}

void TestZiviviver::removeNonNumericChars_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("digits only") << "000123456789"
                                 << "000123456789";
    QTest::newRow("country code and blanks") << "CZ 000 123 456 789"
                                             << "000123456789";
    QTest::newRow("dashes and slashes") << "12-34/56.78"
                                        << "12345678";
    QTest::newRow("letters only") << "abc"
                                  << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("tab and line end") << "\t12\r\n3"
                                      << "123";
    QTest::newRow("non-ASCII digits") << QString::fromUtf8("1\u0663\u00b22\uff13") << "12";
    QTest::newRow("accented letters") << QString::fromUtf8("Kráva č. 42") << "42";
}

void TestZiviviver::removeNonNumericChars()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QString a = input;
    Z::removeNonNumericChars(a);
    QCOMPARE(a, expected);
    QString b = input;
    VIRiza::removeNonNumericChars(b);
    QCOMPARE(b, expected);
}

// The one rule for the registry, the version check and the downloads.
void TestZiviviver::urlPolicy_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("permitted");
    QTest::newRow("https anywhere") << "https://cloud.example.org/zavra" << true;
    QTest::newRow("http to 127.0.0.1") << "http://127.0.0.1:8080" << true;
    QTest::newRow("http to 127.0.0.2") << "http://127.0.0.2:8080" << true;
    QTest::newRow("http to localhost") << "http://LOCALHOST:8080" << true;
    QTest::newRow("http to ::1") << "http://[::1]:8080" << true;
    QTest::newRow("http to a name") << "http://example.invalid" << false;
    QTest::newRow("http to a name starting like localhost") << "http://localhost.example.invalid" << false;
    QTest::newRow("http to a name starting like 127.0.0.1") << "http://127.0.0.1.example.invalid" << false;
    QTest::newRow("http to a LAN address") << "http://192.168.1.10" << false;
    QTest::newRow("loopback as user name") << "http://127.0.0.1@evil.example/" << false;
    QTest::newRow("loopback as user and password") << "http://127.0.0.1:80@evil.example/" << false;
    QTest::newRow("loopback after a fragment") << "http://evil.example#@127.0.0.1" << false;
    QTest::newRow("loopback host with a user name") << "http://evil.example@127.0.0.1/" << true;
    QTest::newRow("other scheme") << "ftp://127.0.0.1" << false;
    QTest::newRow("file") << "file:///etc/passwd" << false;
    QTest::newRow("no host") << "https:///api" << false;
    QTest::newRow("not a URL") << "http://exa mple" << false;
}

void TestZiviviver::urlPolicy()
{
    QFETCH(QString, url);
    QFETCH(bool, permitted);
    QCOMPARE(netrule::permittedUrl(QUrl(url, QUrl::StrictMode)), permitted);
}

void TestZiviviver::endpoint_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("expected");
    QTest::newRow("host only") << "http://127.0.0.1:8080"
                               << "http://127.0.0.1:8080/api/v1/sync";
    QTest::newRow("trailing slash") << "https://cloud.example.org/"
                                    << "https://cloud.example.org/api/v1/sync";
    QTest::newRow("path prefix") << "https://cloud.example.org/zavra//"
                                 << "https://cloud.example.org/zavra/api/v1/sync";
    QTest::newRow("query and fragment dropped") << "https://cloud.example.org/z?x=1#top"
                                                << "https://cloud.example.org/z/api/v1/sync";
}

void TestZiviviver::endpoint()
{
    QFETCH(QString, base);
    QFETCH(QString, expected);
    QCOMPARE(zavra::endpoint(QUrl(base), "sync").toString(), expected);
}

void TestZiviviver::lowDelayOnlyTowardsTheRegistryPort()
{
    QTcpServer cloud;
    QTcpServer other;
    QVERIFY(cloud.listen(QHostAddress::LocalHost) && other.listen(QHostAddress::LocalHost));
    QTcpSocket toRegistry;
    QTcpSocket toOther;
    toRegistry.connectToHost(QHostAddress::LocalHost, cloud.serverPort());
    toOther.connectToHost(QHostAddress::LocalHost, other.serverPort());
    QVERIFY(toRegistry.waitForConnected(5000) && toOther.waitForConnected(5000));
    QCOMPARE(toRegistry.socketOption(QAbstractSocket::LowDelayOption).toInt(), 0);

    zavra::setLowDelayToPort(cloud.serverPort());
    QCOMPARE(toRegistry.socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);
    QCOMPARE(toOther.socketOption(QAbstractSocket::LowDelayOption).toInt(), 0);
}

void TestZiviviver::plainHttpToRemoteHostIsRefusedWithoutTraffic()
{
    // A lookup or a connection attempt would end in Unreachable, not InsecureUrl.
    qputenv("ZAVRA_URL", "http://example.invalid");
    Z z(nullptr);
    const int mode = 0;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(
        z.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "tajne heslo", nullptr, nullptr, nullptr),
        int(zavra::InsecureUrl));
    QVERIFY(!z.loggedIn);
    QVERIFY(clock.elapsed() < 200);

    // The same for a registry that does exist but is addressed through a non-loopback name.
    const int before = registry.requests().size();
    qputenv("ZAVRA_URL", QString("http://registry.example.invalid:%1").arg(registry.port()).toUtf8());
    QCOMPARE(
        z.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "tajne heslo", nullptr, nullptr, nullptr),
        int(zavra::InsecureUrl));
    QCOMPARE(registry.requests().size(), before);
}

void TestZiviviver::parseSyncAnswer_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("rows");
    const QByteArray counts =
        R"("received":{"animals":3,"inseminations":2,"pregnancies":1,"dryOffs":0,"plans":4})";
    QTest::newRow("complete") << QByteArray("{" + counts +
                                            R"(,"inseminations":[{"cislo":"1","datum":"2024-02-30"},
        {"cislo":"2","datum":"2024-03-01","poradi":2,"byk":"b","byk_jmeno":"n","udaj6":"x"}]})")
                              << 0 << 2;
    QTest::newRow("no rows") << QByteArray("{" + counts + R"(,"inseminations":[]})") << 0 << 0;
    QTest::newRow("counter missing")
        << QByteArray(
               R"({"received":{"animals":3,"inseminations":2,"pregnancies":1,"dryOffs":0},"inseminations":[]})")
        << int(zavra::MalformedAnswer) << 0;
    QTest::newRow("counter not a number")
        << QByteArray(
               R"({"received":{"animals":"3","inseminations":2,"pregnancies":1,"dryOffs":0,"plans":4},"inseminations":[]})")
        << int(zavra::MalformedAnswer) << 0;
    QTest::newRow("rows missing") << QByteArray("{" + counts + "}") << int(zavra::MalformedAnswer) << 0;
    QTest::newRow("row without life number")
        << QByteArray("{" + counts + R"(,"inseminations":[{"cislo":"1"},{"datum":"2024-01-01"}]})")
        << int(zavra::MalformedAnswer) << 0;
    QTest::newRow("life number as a number")
        << QByteArray("{" + counts + R"(,"inseminations":[{"cislo":1}]})") << int(zavra::MalformedAnswer)
        << 0;
}

void TestZiviviver::parseSyncAnswer()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, result);
    QFETCH(int, rows);
    const QJsonDocument doc = QJsonDocument::fromJson(answer);
    QVERIFY(doc.isObject());
    QList<Z::zavra_ins_row_t> list;
    zavra::SyncCounters counters;
    QCOMPARE(zavra::parseSyncAnswer(doc.object(), list, counters), result);
    QCOMPARE(list.size(), rows);
    if (result < 0) {
        QCOMPARE(counters.animals, 0); // nothing half-filled
        return;
    }
    QCOMPARE(counters.animals, 3);
    QCOMPARE(counters.inseminations, 2);
    QCOMPARE(counters.pregnancies, 1);
    QCOMPARE(counters.dryOffs, 0);
    QCOMPARE(counters.plans, 4);
    if (rows == 2) {
        QVERIFY(!list.at(0).datum.isValid()); // an impossible date stays in the list, invalid
        QVERIFY(list.at(0).poradi.isNull());
        QVERIFY(list.at(0).byk.isNull());
        QCOMPARE(list.at(1).datum, QDate(2024, 3, 1));
        QCOMPARE(list.at(1).poradi, QVariant(2));
        QCOMPARE(list.at(1).byk_jmeno, QVariant(QString("n")));
        QCOMPARE(list.at(1).udaj6, QVariant(QString("x")));
        QVERIFY(list.at(1).udaj7.isNull());
    }
}

void TestZiviviver::requestBodyAsQtWritesIt_data()
{
    QTest::addColumn<QString>("answer"); // empty: hostile records
    for (const char *kind : {"delaval_answer", "dairyplan_answer", "taurus_answer", "dif_report"}) {
        for (const char *set : {"/corpus/", "/regressions/"}) {
            const QDir dir(QStringLiteral(FUZZ_DIR) + set + kind);
            for (const QString &name : dir.entryList(QDir::Files))
                QTest::newRow(qPrintable(kind + QLatin1Char('/') + name)) << dir.filePath(name);
        }
    }
    QTest::newRow("hostile texts and values") << QString();
}

void TestZiviviver::requestBodyAsQtWritesIt()
{
    QFETCH(QString, answer);
    const Records r = answer.isEmpty() ? hostileRecords() : recordsOfAnswer(answer);
    if (!answer.isEmpty() && !answer.contains("/regressions/"))
        QVERIFY(!r.animals.isEmpty());
    for (const int send : {0, 1}) {
        for (const bool inseminations : {false, true}) {
            zavra::SyncArguments args{inseminations, 1, 30, send, send ? 60 : 0, inseminations,
                                      !inseminations};
            const QJsonObject request =
                zavra::syncRequest(args, r.animals, r.inseminations, r.pregnancies, r.dryOffs, r.plans);
            const QByteArray body =
                zavra::syncRequestBody(args, r.animals, r.inseminations, r.pregnancies, r.dryOffs, r.plans);
            QCOMPARE(body, QJsonDocument(request).toJson(QJsonDocument::Compact));
            if (!answer.isEmpty())
                QCOMPARE(QJsonDocument::fromJson(body).object(), request);
        }
    }
}

void TestZiviviver::attach_data()
{
    QTest::addColumn<QString>("cloud");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("loggedIn");
    QTest::newRow("accepted") << "1001"
                              << "jan"
                              << "tajne heslo" << 0 << true;
    QTest::newRow("cloud number with blanks") << " 1001 "
                                              << "jan"
                                              << "tajne heslo" << 0 << true;
    QTest::newRow("wrong password") << "1001"
                                    << "jan"
                                    << "tajne" << 0 << false;
    QTest::newRow("password of another farm") << "1001"
                                              << "eva"
                                              << "jine" << 0 << false;
    QTest::newRow("unknown user") << "1001"
                                  << "petr"
                                  << "tajne heslo" << 0 << false;
    QTest::newRow("unknown cloud number") << "9999"
                                          << "jan"
                                          << "tajne heslo" << int(zavra::UnknownFarm) << false;
    QTest::newRow("empty cloud number") << ""
                                        << "jan"
                                        << "tajne heslo" << int(zavra::UnknownFarm) << false;
}

void TestZiviviver::attach()
{
    QFETCH(QString, cloud);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(int, result);
    QFETCH(bool, loggedIn);
    const int before = registry.requests("/api/v1/attach").size();
    Z z(nullptr);
    const int mode = 0;
    QCOMPARE(z.attach(nullptr, QVariant(cloud), mode, "ZAVRA", user, password, nullptr, nullptr, nullptr),
             result);
    QCOMPARE(z.loggedIn, loggedIn);
    z.detach();
    QVERIFY(!z.loggedIn);

    const QList<QJsonObject> log = registry.requests("/api/v1/attach");
    QCOMPARE(log.size(), before + 1);
    QCOMPARE(log.last().value("farm").toString(), cloud.trimmed());
    // The password is never written to the log.
    const QByteArray all = registry.run({"requests"});
    QVERIFY(!all.contains(password.toUtf8()));
}

void TestZiviviver::syncWithoutAttachSendsNothing()
{
    const int before = registry.requests("/api/v1/sync").size();
    Records r = sampleRecords();
    QList<Z::zavra_ins_row_t> rows;
    int c1 = 7, c2 = 7, c3 = 7, c4 = 7, c5 = 7;
    const bool complete = true;
    const int mode = 0;

    Z never(nullptr);
    QCOMPARE(never.syncZavra(true, 1, 30, 1, 30, true, complete, r.animals, r.inseminations, r.pregnancies,
                             r.dryOffs, r.plans, rows, c1, c2, c3, c4, c5),
             int(zavra::NotAttached));

    Z refused(nullptr);
    QCOMPARE(
        refused.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "nope", nullptr, nullptr, nullptr),
        0);
    QVERIFY(!refused.loggedIn);
    QCOMPARE(refused.syncZavra(true, 1, 30, 1, 30, true, complete, r.animals, r.inseminations, r.pregnancies,
                               r.dryOffs, r.plans, rows, c1, c2, c3, c4, c5),
             int(zavra::NotAttached));

    Z detached(nullptr);
    QCOMPARE(detached.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "tajne heslo", nullptr, nullptr,
                             nullptr),
             0);
    QVERIFY(detached.loggedIn);
    detached.detach();
    QCOMPARE(detached.syncZavra(true, 1, 30, 1, 30, true, complete, r.animals, r.inseminations, r.pregnancies,
                                r.dryOffs, r.plans, rows, c1, c2, c3, c4, c5),
             int(zavra::NotAttached));

    QVERIFY(rows.isEmpty());
    QCOMPARE(registry.requests("/api/v1/sync").size(), before);
    QCOMPARE(registry.requests("/api/v1/detach").last().value("status").toInt(), 200);
}

void TestZiviviver::registryDownIsUnreachable()
{
    qputenv("ZAVRA_URL", QString("http://127.0.0.1:%1").arg(unusedPort()).toUtf8());
    Z z(nullptr);
    const int mode = 0;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(
        z.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "tajne heslo", nullptr, nullptr, nullptr),
        int(zavra::Unreachable));
    QVERIFY(!z.loggedIn);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    z.detach();
}

void TestZiviviver::slowRegistryTimesOut()
{
    RegistryProcess slow;
    QVERIFY(slow.start({"--delay-ms", "10000"}));
    QVERIFY(slow.addUser("1001", "jan", "tajne heslo"));
    qputenv("ZAVRA_URL", slow.url().toUtf8());
    qputenv("ZAVRA_TIMEOUT_MS", "400");
    Z z(nullptr);
    const int mode = 0;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(
        z.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "tajne heslo", nullptr, nullptr, nullptr),
        int(zavra::Timeout));
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 350 && elapsed < 2000, qPrintable(QString::number(elapsed)));
    QVERIFY(!z.loggedIn);
    QCOMPARE(slow.stop(), 0);
}

void TestZiviviver::faultyAnswers_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("result");
    QTest::newRow("status 500") << "500" << int(zavra::HttpStatus);
    QTest::newRow("HTML page") << "html" << int(zavra::MalformedAnswer);
    QTest::newRow("truncated JSON") << "truncated" << int(zavra::MalformedAnswer);
}

void TestZiviviver::faultyAnswers()
{
    QFETCH(QString, fault);
    QFETCH(int, result);
    RegistryProcess faulty;
    QVERIFY(faulty.start({"--fault", fault}));
    QVERIFY(faulty.addUser("1001", "jan", "tajne heslo"));
    qputenv("ZAVRA_URL", faulty.url().toUtf8());
    Z z(nullptr);
    const int mode = 0;
    QCOMPARE(
        z.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "tajne heslo", nullptr, nullptr, nullptr),
        result);
    QVERIFY(!z.loggedIn);
    QCOMPARE(faulty.requests("/api/v1/attach").size(), 1);
    QCOMPARE(faulty.stop(), 0);
}

void TestZiviviver::forgottenSessionEndsTheAttach()
{
    Z z(nullptr);
    const int mode = 0;
    QCOMPARE(
        z.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "tajne heslo", nullptr, nullptr, nullptr),
        0);
    QVERIFY(z.loggedIn);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "sessions");
        db.setDatabaseName(registry.dbPath());
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("DELETE FROM sessions"));
        db.close();
    }
    QSqlDatabase::removeDatabase("sessions");

    const Records r = sampleRecords();
    QList<Z::zavra_ins_row_t> rows;
    int c[5] = {9, 9, 9, 9, 9};
    const bool complete = true;
    QCOMPARE(z.syncZavra(true, 1, 30, 1, 30, true, complete, r.animals, r.inseminations, r.pregnancies,
                         r.dryOffs, r.plans, rows, c[0], c[1], c[2], c[3], c[4]),
             int(zavra::SessionExpired));
    QCOMPARE(c[0], 0);
    QCOMPARE(registry.requests("/api/v1/sync").last().value("status").toInt(), 401);
    const int syncs = registry.requests("/api/v1/sync").size();
    QCOMPARE(z.syncZavra(true, 1, 30, 1, 30, true, complete, r.animals, r.inseminations, r.pregnancies,
                         r.dryOffs, r.plans, rows, c[0], c[1], c[2], c[3], c[4]),
             int(zavra::NotAttached));
    QCOMPARE(registry.requests("/api/v1/sync").size(), syncs);
    QVERIFY(rows.isEmpty());
    z.detach();
}

void TestZiviviver::sameRecordsTwiceAreStoredOnce()
{
    QVERIFY(registry.addUser("3003", "jan", "pw"));
    Records r = sampleRecords();
    r.plans << r.plans.first(); // the same record twice in one call as well

    for (int round = 0; round < 2; ++round) {
        const Outcome out = exchangeOnce("3003", "jan", "pw", r, 0, 30);
        QCOMPARE(out.attach, 0);
        QVERIFY(out.loggedIn);
        QCOMPARE(out.sync, 0);
        QCOMPARE(out.counters[0], 3);
        QCOMPARE(out.counters[1], 2);
        QCOMPARE(out.counters[2], 2);
        QCOMPARE(out.counters[3], 1);
        QCOMPARE(out.counters[4], 2);
        QVERIFY(out.rows.isEmpty());
    }

    const QJsonObject stored = registry.dump("3003");
    QCOMPARE(stored.value("animals").toArray().size(), 3);
    QCOMPARE(stored.value("inseminations").toArray().size(), 2);
    QCOMPARE(stored.value("pregnancies").toArray().size(), 2); // two kinds on one day
    QCOMPARE(stored.value("dryOffs").toArray().size(), 1);
    QCOMPARE(stored.value("plans").toArray().size(), 1);
    const QJsonObject first = findBy(stored.value("inseminations").toArray(), "100200300");
    QCOMPARE(first.value("datum").toString(), QDate::currentDate().addDays(-3).toString(Qt::ISODate));
    QCOMPARE(first.value("poradi").toInt(), 2);
    QCOMPARE(first.value("byk").toString(), QString("holst123"));
    QCOMPARE(first.value("druh").toInt(), 1);

    // A changed value replaces the stored one instead of adding a record.
    r.animals["100200301"].tech_cislo = "81";
    QCOMPARE(exchangeOnce("3003", "jan", "pw", r, 0, 30).sync, 0);
    const QJsonObject again = registry.dump("3003");
    QCOMPARE(again.value("animals").toArray().size(), 3);
    QCOMPARE(findBy(again.value("animals").toArray(), "100200301").value("tech_cislo").toString(),
             QString("81"));
    // Other farms are untouched.
    QCOMPARE(registry.dump("1001").value("animals").toArray().size(), 0);
}

void TestZiviviver::nullFieldsTravelAsAbsentValues()
{
    QVERIFY(registry.addUser("4004", "jan", "pw"));
    const QDate today = QDate::currentDate();
    Records r;
    r.animals.insert("5", animal("5", QVariant(), QVariant(QString("")), QVariant()));
    Z::ddata_ins_t ins;
    ins.cislo = "5";
    ins.datum = today.addDays(-1);
    r.inseminations << ins; // druh, poradi null, byk null text
    Z::ddata_br_t preg;
    preg.cislo = "5";
    preg.datum = today.addDays(-2);
    preg.druh = 4;
    preg.udaj1 = QDate(2024, 2, 29);
    preg.udaj2 = 12;
    r.pregnancies << preg;
    Z::ddata_za_t dry;
    dry.cislo = "5";
    dry.datum = today.addDays(-3);
    r.dryOffs << dry;
    Z::ddata_plany_t plan;
    plan.cislo = "5";
    plan.datum = today;
    r.plans << plan;
    Z::ddata_plany_t undated; // an invalid date never leaves the library
    undated.cislo = "5";
    r.plans << undated;

    const Outcome out = exchangeOnce("4004", "jan", "pw", r, 0, 30);
    QCOMPARE(out.sync, 0);
    QCOMPARE(out.counters[4], 1);

    const QJsonObject stored = registry.dump("4004");
    const QJsonObject a = stored.value("animals").toArray().first().toObject();
    QVERIFY(!a.contains("tech_cislo"));
    QVERIFY(!a.contains("vyrazena"));
    QVERIFY(a.contains("transponder")); // an empty text is a value
    QCOMPARE(a.value("transponder").toString(), QString(""));
    const QJsonObject i = stored.value("inseminations").toArray().first().toObject();
    QVERIFY(!i.contains("druh"));
    QVERIFY(!i.contains("poradi"));
    QVERIFY(!i.contains("byk"));
    QCOMPARE(i.value("datum").toString(), today.addDays(-1).toString(Qt::ISODate));
    const QJsonObject p = stored.value("pregnancies").toArray().first().toObject();
    QCOMPARE(p.value("udaj1").toString(), QString("2024-02-29"));
    QCOMPARE(p.value("udaj2").toInt(), 12);
    QVERIFY(!p.contains("udaj3"));
    QVERIFY(!stored.value("dryOffs").toArray().first().toObject().contains("udaj"));
    QVERIFY(!stored.value("plans").toArray().first().toObject().contains("druh"));

    // The request itself carried no key for the null fields (not a JSON null either).
    const QJsonObject sent =
        QJsonDocument::fromJson(registry.requests("/api/v1/sync").last().value("body").toString().toUtf8())
            .object();
    QCOMPARE(sent.value("animals").toArray().first().toObject().keys(),
             QStringList({"cislo", "transponder"}));
    QCOMPARE(sent.value("inseminations").toArray().first().toObject().keys(),
             QStringList({"cislo", "datum"}));
    QCOMPARE(sent.value("dryOffs").toArray().first().toObject().keys(), QStringList({"cislo", "datum"}));
    QCOMPARE(sent.value("plans").toArray().size(), 1);
}

void TestZiviviver::eventsStayHomeWithoutSendFlag()
{
    QVERIFY(registry.addUser("5005", "jan", "pw"));
    const Records r = sampleRecords();

    // sendDays 0: the animals travel, no event does.
    Outcome out = exchangeOnce("5005", "jan", "pw", r, 5, 0);
    QCOMPARE(out.sync, 0);
    QCOMPARE(out.counters[0], 3);
    for (int k = 1; k < 5; ++k)
        QCOMPARE(out.counters[k], 0);
    QJsonObject sent =
        QJsonDocument::fromJson(registry.requests("/api/v1/sync").last().value("body").toString().toUtf8())
            .object();
    QCOMPARE(sent.value("send").toInt(), 0);
    QCOMPARE(sent.value("sendDays").toInt(), 0);
    QCOMPARE(sent.value("insDays").toInt(), 5);
    for (const char *list : {"inseminations", "pregnancies", "dryOffs", "plans"})
        QVERIFY2(!sent.contains(list), list);
    QJsonObject stored = registry.dump("5005");
    QCOMPARE(stored.value("animals").toArray().size(), 3);
    QCOMPARE(stored.value("inseminations").toArray().size(), 0);
    QCOMPARE(stored.value("pregnancies").toArray().size(), 0);

    // Sending allowed but inseminations not: the other events go.
    out = exchangeOnce("5005", "jan", "pw", r, 5, 30, false);
    QCOMPARE(out.sync, 0);
    QCOMPARE(out.counters[1], 0);
    QCOMPARE(out.counters[2], 2);
    sent = QJsonDocument::fromJson(registry.requests("/api/v1/sync").last().value("body").toString().toUtf8())
               .object();
    QVERIFY(!sent.contains("inseminations"));
    QCOMPARE(sent.value("sendInseminations").toBool(), false);
    stored = registry.dump("5005");
    QCOMPARE(stored.value("inseminations").toArray().size(), 0);
    QCOMPARE(stored.value("pregnancies").toArray().size(), 2);
}

void TestZiviviver::downloadWindow_data()
{
    QTest::addColumn<int>("insDays");
    QTest::addColumn<QStringList>("expected"); // life numbers in the order received
    QTest::newRow("30 days") << 30 << QStringList({"600000002", "600000001", "600000003"});
    QTest::newRow("5 days") << 5 << QStringList({"600000003"});
    QTest::newRow("10 days includes the 10th day") << 10 << QStringList({"600000001", "600000003"});
    QTest::newRow("no download") << 0 << QStringList();
}

void TestZiviviver::downloadWindow()
{
    QFETCH(int, insDays);
    QFETCH(QStringList, expected);
    const QDate today = QDate::currentDate();
    int rc = -1;
    registry.run({"add-farm", "--cloud", "6006"});
    registry.run({"add-user", "--cloud", "6006", "--user", "jan", "--password", "pw"});
    registry.run({"record-insemination", "--cloud", "6006", "--animal", "600000001", "--date",
                  today.addDays(-10).toString(Qt::ISODate), "--ordinal", "3", "--bull", "CZ 4711",
                  "--bull-name", "Ferda"},
                 &rc);
    QCOMPARE(rc, 0);
    registry.run({"record-insemination", "--cloud", "6006", "--animal", "600000002", "--date",
                  today.addDays(-25).toString(Qt::ISODate)},
                 &rc);
    QCOMPARE(rc, 0);
    registry.run({"record-insemination", "--cloud", "6006", "--animal", "600000003", "--date",
                  today.toString(Qt::ISODate), "--ordinal", "1"},
                 &rc);
    QCOMPARE(rc, 0);
    // Another farm's insemination never comes back to this one.
    registry.run({"record-insemination", "--cloud", "2002", "--animal", "600000009", "--date",
                  today.addDays(-1).toString(Qt::ISODate)},
                 &rc);
    QCOMPARE(rc, 0);

    const Outcome out = exchangeOnce("6006", "jan", "pw", Records(), insDays, 0);
    QCOMPARE(out.sync, 0);
    QStringList got;
    for (const Z::zavra_ins_row_t &row : out.rows)
        got << row.cislo;
    QCOMPARE(got, expected);

    for (const Z::zavra_ins_row_t &row : out.rows) {
        if (row.cislo == "600000001") {
            QCOMPARE(row.datum, today.addDays(-10));
            QCOMPARE(row.poradi, QVariant(3));
            QCOMPARE(row.byk, QVariant(QString("CZ 4711")));
            QCOMPARE(row.byk_jmeno, QVariant(QString("Ferda")));
        } else if (row.cislo == "600000002") {
            QVERIFY(row.poradi.isNull());
            QVERIFY(row.byk.isNull());
            QVERIFY(row.byk_jmeno.isNull());
        }
        QVERIFY(row.udaj1.isNull());
        QVERIFY(row.udaj15.isNull());
    }
}

// A self-signed certificate and its key made with the openssl command; false when that failed.
static bool makeCertificate(const QTemporaryDir &dir, const QString &name, const QString &altNames)
{
    QProcess openssl;
    openssl.start("openssl",
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                   "-keyout", dir.filePath(name + ".key"), "-out", dir.filePath(name + ".pem"), "-days", "2",
                   "-subj", "/CN=" + name, "-addext", "subjectAltName=" + altNames});
    if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0) {
        qWarning("openssl: %s", openssl.readAllStandardError().constData());
        return false;
    }
    return true;
}

void TestZiviviver::httpsVerifiesThePeer()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(makeCertificate(dir, "localhost", "DNS:localhost,IP:127.0.0.1"));
    QVERIFY(makeCertificate(dir, "stranger", "DNS:localhost,IP:127.0.0.1"));
    QVERIFY(makeCertificate(dir, "elsewhere", "DNS:registry.example.invalid"));
    const QString cert = dir.filePath("localhost.pem");
    const QString key = dir.filePath("localhost.key");

    RegistryProcess secure;
    QVERIFY(secure.start({"--tls-cert", cert, "--tls-key", key}));
    QVERIFY(secure.addUser("1001", "jan", "tajne heslo"));
    const int mode = 0;

    qputenv("ZAVRA_URL", secure.url("https").toUtf8());
    {
        Z z(nullptr);
        QCOMPARE(z.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "tajne heslo", nullptr, nullptr,
                          nullptr),
                 int(zavra::TlsFailure));
        QVERIFY(!z.loggedIn);
    }
    QCOMPARE(secure.requests().size(), 0); // refused in the handshake, before any request

    // A missing CA file, another certificate, and the right issuer for another host name.
    for (const QString &ca : {dir.filePath("missing.pem"), dir.filePath("stranger.pem")}) {
        qputenv("ZAVRA_CA_FILE", ca.toUtf8());
        Z z(nullptr);
        QCOMPARE(z.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "tajne heslo", nullptr, nullptr,
                          nullptr),
                 int(zavra::TlsFailure));
    }
    {
        RegistryProcess misnamed;
        QVERIFY(misnamed.start(
            {"--tls-cert", dir.filePath("elsewhere.pem"), "--tls-key", dir.filePath("elsewhere.key")}));
        QVERIFY(misnamed.addUser("1001", "jan", "tajne heslo"));
        qputenv("ZAVRA_CA_FILE", dir.filePath("elsewhere.pem").toUtf8());
        qputenv("ZAVRA_URL", misnamed.url("https").toUtf8());
        Z z(nullptr);
        QCOMPARE(z.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "tajne heslo", nullptr, nullptr,
                          nullptr),
                 int(zavra::TlsFailure));
        QCOMPARE(misnamed.requests().size(), 0);
        QCOMPARE(misnamed.stop(), 0);
    }
    QCOMPARE(secure.requests().size(), 0);

    qputenv("ZAVRA_CA_FILE", cert.toUtf8());
    for (const QString &host : {QString("127.0.0.1"), QString("localhost")}) {
        qputenv("ZAVRA_URL", secure.url("https", host).toUtf8());
        const Outcome out = exchangeOnce("1001", "jan", "tajne heslo", sampleRecords(), 30, 30);
        QCOMPARE(out.attach, 0);
        QVERIFY(out.loggedIn);
        QCOMPARE(out.sync, 0);
        QCOMPARE(out.counters[0], 3);
    }

    // Plain http to the TLS port is no way around it: the answer is not HTTP the client accepts.
    qputenv("ZAVRA_URL", secure.url("http").toUtf8());
    {
        Z z(nullptr);
        QVERIFY(z.attach(nullptr, QVariant("1001"), mode, "ZAVRA", "jan", "tajne heslo", nullptr, nullptr,
                         nullptr) < 0);
        QVERIFY(!z.loggedIn);
    }
    QCOMPARE(secure.stop(), 0);
}

void TestZiviviver::tenThousandAnimals()
{
    QVERIFY(registry.addUser("7007", "jan", "pw"));
    Records r;
    for (int i = 0; i < 10000; ++i) {
        const QString cislo = QString::number(200000000 + i);
        r.animals.insert(cislo,
                         animal(cislo, QString::number(i + 1), QString::number(982000000000LL + i), "0"));
    }
    QElapsedTimer clock;
    clock.start();
    const Outcome out = exchangeOnce("7007", "jan", "pw", r, 30, 30);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(out.sync, 0);
    QCOMPARE(out.counters[0], 10000);
    qInfo("10000 animals: attach, sync and detach took %lld ms", elapsed);
    QVERIFY2(elapsed < 20000, qPrintable(QString::number(elapsed)));

    const QJsonArray stored = registry.dump("7007").value("animals").toArray();
    QCOMPARE(stored.size(), 10000);
    QCOMPARE(findBy(stored, "200009999").value("tech_cislo").toString(), QString("10000"));
}

STABLOMAT_TEST_MAIN_CORE(TestZiviviver)
#include "tst_ziviviver.moc"
