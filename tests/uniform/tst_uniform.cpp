#include "adapters/uniform/herdmetrixdb.h"
#include "app/mainwindow.h"
#include "common/firebird.h"
#include "common/registryprocess.h"
#include "common/testsupport.h"
#include "generator.h"
#include "herdmetrix.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QLabel>
#include <QSqlError>
#include <QTextEdit>

namespace {

const QString Cloud = QStringLiteral("4711");
const QString User = QStringLiteral("jan");
const QString CloudPassword = QStringLiteral("heslo");
const QString Database = QStringLiteral("c:/Users/Public/Documents/UNIFORM/Farma Dvur[1]/Dvur.fdb");
const QString BullName = QString::fromUtf8("Čestmír Žluťoučký");

// Life numbers of the small herd: the registrations' digits, leading zeros kept.
const QString A = QStringLiteral("012345678");
const QString B = QStringLiteral("022222222");
const QString C = QStringLiteral("033333333");

QDate daysAgo(int days)
{
    return QDate::currentDate().addDays(-days);
}

QString dmy(int days)
{
    return daysAgo(days).toString(QStringLiteral("dd.MM.yyyy"));
}

herd::Cow cow(const QString &registration, int parlour, const QString &transponder)
{
    herd::Cow c;
    c.registration = registration;
    c.parlour = parlour;
    c.transponder = transponder;
    c.birth = daysAgo(1500);
    return c;
}

herd::Insemination service(int days, const QString &sire)
{
    return {daysAgo(days), sire, 1, QString()};
}

// Three cows whose events lie on both sides of 3, 10, 12 and 20 day windows.
herd::Herd smallHerd()
{
    herd::Herd h;
    h.referenceDay = QDate::currentDate();
    h.bulls.append(herd::Bull{QStringLiteral("HO 444-649"), QStringLiteral("Balisto"), QString(), {}});
    h.bulls.append(herd::Bull{QStringLiteral("CZE 61317"), QStringLiteral("Jarda"), QString(), {}});

    herd::Cow a = cow(QStringLiteral("CZ 012345 678"), 1, QStringLiteral("964100000000001"));
    a.name = QString::fromUtf8("Bělka");
    a.calvings = {daysAgo(300)};
    a.dryOffs = {daysAgo(9)};
    a.heats = {daysAgo(4)};
    a.inseminations = {service(20, QStringLiteral("CZE 61317")), service(3, QStringLiteral("HO 444-649"))};
    a.pregnancyChecks = {{daysAgo(15), false}, {daysAgo(5), true}};
    a.abortions = {daysAgo(2)};
    a.plans = {{daysAgo(12), 1}, {daysAgo(1), 1}};

    herd::Cow b = cow(QStringLiteral("CZ 022222222"), 10000, QStringLiteral("964100000000002"));
    b.calvings = {daysAgo(400)};
    b.dryOffs = {daysAgo(11)};
    b.inseminations = {service(8, QStringLiteral("CZE 61317"))};
    b.pregnancyChecks = {{daysAgo(10), false}};

    herd::Cow c = cow(QStringLiteral("CZ 033333333"), 10001, QString());
    h.cows = {a, b, c};
    return h;
}

// "life number, days ago[, druh]" of each record of a list sent, sorted.
QStringList entries(const QJsonArray &list, bool withKind)
{
    QStringList out;
    for (const QJsonValue &v : list) {
        const QJsonObject o = v.toObject();
        const int days =
            int(QDate::fromString(o.value("datum").toString(), Qt::ISODate).daysTo(QDate::currentDate()));
        QString e = o.value("cislo").toString() + " " + QString::number(days);
        if (withKind)
            e += " " + QString::number(o.value("druh").toInt());
        out << e;
    }
    out.sort();
    return out;
}

QString success(int downloaded, int written, int animals, int pregnancies, int dryOffs, int plans)
{
    return QString::fromUtf8("Proběhla úspěšná datová výměna.\n\nInseminací: %1/%2\nTechnologické označení: "
                             "%3\nBřezost: %4\nZasušení: %5\nPlány: %6")
        .arg(downloaded)
        .arg(written)
        .arg(animals)
        .arg(pregnancies)
        .arg(dryOffs)
        .arg(plans);
}

struct Snapshot
{
    QList<QVariantList> events, animals, identifiers, mnl;
    bool operator==(const Snapshot &o) const
    {
        return events == o.events && animals == o.animals && identifiers == o.identifiers && mnl == o.mnl;
    }
};

Snapshot snapshot(const QString &path)
{
    firebird::Reader db(path);
    Snapshot s;
    s.events = db.rows("select * from DIER_VOORTPLANTING order by DIER_VOORTPLANTING_ID");
    s.animals = db.rows("select * from DIER order by DIERID");
    s.identifiers = db.rows("select * from DIER_ID order by DIER_ID_ID");
    s.mnl = db.rows("select * from DIER_MNL order by DIERID");
    return s;
}

// Brings the server back however the test that stopped it ends.
struct ServerBack
{
    ~ServerBack() { firebird::service(QStringLiteral("start")); }
};

struct PasswordBack
{
    QString path;
    QString changed;
    ~PasswordBack()
    {
        if (!firebird::setPassword(path, changed, QLatin1String(herdmetrix::Password)))
            firebird::service(QStringLiteral("start")); // resets it with the server stopped
    }
};

} // namespace

class TestUniform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void detection();
    void windows_data();
    void windows();
    void animals();
    void noWindows();
    void writeBack();
    void importOff();
    void connectionFailures_data();
    void connectionFailures();
    void olderDatabase();
    void undatedDownload_data();
    void undatedDownload();
    void generatedHerd();

private:
    void open(const herd::Herd &herd);
    // open() as a condition: false when it failed, so that the test stops there.
    bool opened(const herd::Herd &herd)
    {
        open(herd);
        return !QTest::currentTestFailed();
    }
    void setWindows(int insDays, int sendDays, bool import = true);
    bool record(const QString &life, int days, const QString &bull, const QString &bullName = QString())
    {
        return registry->recordInsemination(Cloud, life, daysAgo(days), 1, bull, bullName);
    }
    QList<ModalAnswerer::Box> exchange(bool ShowMessages = true);
    QJsonObject syncBody() const { return registry->lastBody(); }
    QString text() const { return widgetNamed<QTextEdit>(window, "textEdit")->toPlainText(); }
    bool connectionLeft() const { return QSqlDatabase::contains(QSqlDatabase::defaultConnection); }

    QString dbPath;
    RegistryProcess *registry = nullptr;
    MainWindow *window = nullptr;
};

void TestUniform::initTestCase()
{
    QVERIFY(QSqlDatabase::isDriverAvailable(QStringLiteral("QIBASE")));
    QString problem;
    QVERIFY2(firebird::ensureRunning(&problem), qPrintable(problem));
    QVERIFY(firebird::openToServer(TestEnvironment::root()));
    qputenv("ZAVRA_TIMEOUT_MS", "10000");
    dbPath = platform::localPath(Database);
}

void TestUniform::cleanup()
{
    discardWindow(window);
    delete registry;
    registry = nullptr;
}

// Lays out the farm, starts the registry and builds the window, which detects the database.
void TestUniform::open(const herd::Herd &herd)
{
    TestEnvironment::resetDriveC();
    QVERIFY(!makeDriveCFile("c:/Program Files/UNIFORM/uniform.exe").isEmpty());
    QString error;
    QVERIFY2(herdmetrix::layOut(dbPath, TestEnvironment::winePrefix(), herd, nullptr, &error),
             qPrintable(error));
    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, User, CloudPassword));
    QVERIFY(registry->serve());
    window = new MainWindow;
    QCOMPARE(window->milkingSystem(), 6);
    setWindows(30, 30);
}

void TestUniform::setWindows(int insDays, int sendDays, bool import)
{
    storeCloud(window->settingsStore(), Cloud, User, CloudPassword, insDays, sendDays);
    window->settingsStore()->setValue(keys::ImportInseminations, import);
}

QList<ModalAnswerer::Box> TestUniform::exchange(bool ShowMessages)
{
    ModalAnswerer answerer;
    window->runExchange(false, ShowMessages);
    return answerer.boxes;
}

void TestUniform::detection()
{
    QVERIFY(opened(smallHerd()));
    QCOMPARE(window->milkingSystemPath(), Database);
    QCOMPARE(widgetNamed<QLabel>(window, "label")->text(), QString("Uniform - HerdMetrix"));
    QVERIFY(!widgetNamed<QToolButton>(window, "exchange")->isHidden());
}

void TestUniform::windows_data()
{
    QTest::addColumn<int>("insDays");
    QTest::addColumn<int>("sendDays");
    QTest::addColumn<QStringList>("pregnancies");
    QTest::addColumn<QStringList>("plans");
    QTest::addColumn<QStringList>("dryOffs");
    QTest::addColumn<int>("downloaded");

    // Every event of smallHerd() as "life number, days ago, druh".
    const QString a15 = A + " 15 2", a5 = A + " 5 1", a2 = A + " 2 4", b10 = B + " 10 2";
    const QString p12 = A + " 12 1", p1 = A + " 1 1";
    const QString d9 = A + " 9", d11 = B + " 11";
    QTest::newRow("10 and 10") << 10 << 10 << QStringList{a2, a5, b10} << QStringList{p1} << QStringList{d9}
                               << 1;
    QTest::newRow("3 and 12") << 3 << 12 << QStringList{a2, a5, b10} << QStringList{p12, p1}
                              << QStringList{d9, d11} << 1;
    QTest::newRow("12 and 3") << 12 << 3 << QStringList{a2} << QStringList{p1} << QStringList{} << 1;
    QTest::newRow("30 and 30") << 30 << 30 << QStringList{a15, a2, a5, b10} << QStringList{p12, p1}
                               << QStringList{d9, d11} << 1;
    // The event columns come with the insemination window only: no pregnancies, no plans.
    QTest::newRow("insemination window 0")
        << 0 << 10 << QStringList{} << QStringList{} << QStringList{d9} << 0;
    QTest::newRow("send window 0") << 20 << 0 << QStringList{} << QStringList{} << QStringList{} << 1;
}

void TestUniform::windows()
{
    QFETCH(int, insDays);
    QFETCH(int, sendDays);
    QFETCH(QStringList, pregnancies);
    QFETCH(QStringList, plans);
    QFETCH(QStringList, dryOffs);
    QFETCH(int, downloaded);
    pregnancies.sort();
    plans.sort();
    dryOffs.sort();

    QVERIFY(opened(smallHerd()));
    setWindows(insDays, sendDays);
    // Held by the database already: downloaded, neither written nor counted.
    QVERIFY(record(A, 3, "HO 444-649"));
    const Snapshot before = snapshot(dbPath);

    const QList<ModalAnswerer::Box> boxes = exchange();
    const QJsonObject body = syncBody();
    QCOMPARE(body.value("download").toInt(), insDays > 0 ? 1 : 0);
    QCOMPARE(body.value("send").toInt(), sendDays > 0 ? 1 : 0);
    QCOMPARE(body.value("insDays").toInt(), insDays);
    QCOMPARE(body.value("sendDays").toInt(), sendDays);
    QCOMPARE(body.value("shortNumbers").toBool(true), false);
    QCOMPARE(body.value("sendInseminations").toBool(true), false);
    QVERIFY(body.value("inseminations").toArray().isEmpty());
    QCOMPARE(entries(body.value("pregnancies").toArray(), true), pregnancies);
    QCOMPARE(entries(body.value("plans").toArray(), true), plans);
    QCOMPARE(entries(body.value("dryOffs").toArray(), false), dryOffs);

    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].title, QString("Stablomat"));
    QCOMPARE(boxes[0].text, success(downloaded, 0, 3, pregnancies.size(), dryOffs.size(), plans.size()));
    QCOMPARE(text(), QString());
    QVERIFY(snapshot(dbPath) == before);
    QVERIFY(!connectionLeft());
}

void TestUniform::animals()
{
    herd::Herd h = smallHerd();
    // Animals without events, and a culled one: all are sent.
    herd::Cow d = cow("SK 0777 45678", 7, "964100000000007");
    d.status = herd::Status::Culled;
    d.statusDate = daysAgo(100);
    h.cows << d;
    QVERIFY(opened(h));
    setWindows(0, 5);
    exchange();
    QStringList animals;
    for (const QJsonValue &v : syncBody().value("animals").toArray()) {
        const QJsonObject o = v.toObject();
        animals << o.value("cislo").toString() + " " + o.value("tech_cislo").toString("null") + " " +
                       o.value("transponder").toString("null") + " " + o.value("vyrazena").toString("null");
    }
    animals.sort();
    // NUMMER 10000 goes as it is, 10001 as no herd number; the bulls have no registration number.
    QCOMPARE(animals, (QStringList{"012345678 1 964100000000001 null", "022222222 10000 964100000000002 null",
                                   "033333333 null null null", "077745678 7 964100000000007 null"}));
}

void TestUniform::noWindows()
{
    QVERIFY(opened(smallHerd()));
    setWindows(0, 0);
    widgetNamed<QTextEdit>(window, "textEdit")->setPlainText("text of the last run");
    const QList<ModalAnswerer::Box> boxes = exchange();
    QVERIFY(boxes.isEmpty());
    QVERIFY(registry->requests().isEmpty());
    QCOMPARE(text(), QString());
    QVERIFY(!connectionLeft());
}

void TestUniform::writeBack()
{
    QVERIFY(opened(smallHerd()));
    QVERIFY(record(A, 3, "HO 444-649"));           // held already
    QVERIFY(record(C, 2, "NEW-1", BullName));      // unknown bull: created
    QVERIFY(record(B, 2, "NEW-1", "other name"));  // the new bull, same code
    QVERIFY(record(B, 1, "ho444649"));             // blanks, hyphen and case differ
    QVERIFY(record("999999999", 1, "HO 444-649")); // no such cow
    QVERIFY(record(A, 1, "new 1"));                // the new bull by its normalised code
    QVERIFY(record(C, 1, "CZE 61317"));            // as stored
    const int before = firebird::Reader(dbPath).value("select count(*) from DIER_VOORTPLANTING").toInt();

    widgetNamed<QTextEdit>(window, "textEdit")->setPlainText("text of the last run");
    QList<ModalAnswerer::Box> boxes = exchange(false);
    QVERIFY(boxes.isEmpty());
    const QString log =
        QString("I:%1;%2;NEW-1\nI:%3;%2;NEW-1\nI:%3;%4;ho444649\nI:%5;%4;new 1\nI:%1;%4;CZE 61317\n")
            .arg(C, dmy(2), B, dmy(1), A);
    QCOMPARE(text(), log);
    QVERIFY(!connectionLeft());

    // What another program finds in the database after the run.
    {
        firebird::Reader db(dbPath);
        QVERIFY(db.isOpen());
        QCOMPARE(db.value("select count(*) from DIER_VOORTPLANTING").toInt(), before + 5);
        QStringList written;
        for (const QVariantList &r :
             db.rows("select d.LEVENSNUMMER, dv.DATUMBEGIN, m.KICODE, dv.AANTAL, dv.VOORTPLANTINGCODE, "
                     "dv.RESULTAAT, dv.STATUS, dv.OPMERKING from DIER_VOORTPLANTING dv join DIER d on "
                     "d.DIERID=dv.DIERID join DIER_MNL m on m.DIERID=dv.DIERID_INSEMINATIE where "
                     "dv.SOURCEID=100102 "
                     "order by dv.DIER_VOORTPLANTING_ID")) {
            QStringList fields;
            for (const QVariant &v : r)
                fields << (v.type() == QVariant::Date
                               ? QString::number(v.toDate().daysTo(QDate::currentDate()))
                               : v.toString());
            written << fields.join("|");
        }
        QCOMPARE(written, (QStringList{"CZ 033333333|2|NEW-1|1|2|0|1|", "CZ 022222222|2|NEW-1|1|2|0|1|",
                                       "CZ 022222222|1|HO 444-649|1|2|0|1|", "CZ 012345 678|1|NEW-1|1|2|0|1|",
                                       "CZ 033333333|1|CZE 61317|1|2|0|1|"}));

        // One bull created, with its four identifiers; its name kept its Czech letters.
        const QList<QVariantList> bulls = db.rows(
            "select d.DIERID, d.NAAM, d.GESLACHT_CODE, d.GEBOORTEDATUM, d.SOURCEID, m.SWFOKSTIER, m.KICODE "
            "from DIER d join DIER_MNL m on m.DIERID=d.DIERID where d.SOURCEID=100701");
        QCOMPARE(bulls.size(), 1);
        const QVariant bull = bulls[0][0];
        QCOMPARE(bulls[0].mid(1), (QVariantList{BullName, 1, QDate(2000, 1, 1), 100701, 1, "NEW-1"}));
        QCOMPARE(
            db.rows("select IDSOORT, WAARDE, DATUM, SOURCEID from DIER_ID where DIERID=? order by DIER_ID_ID",
                    {bull}),
            (QList<QVariantList>{{3, BullName, QDate(2000, 1, 1), 100701},
                                 {7, "4", QDate(2000, 1, 1), 100701},
                                 {21, "", QDate(2000, 1, 1), 100701},
                                 {23, "NEW-1", QDate(2000, 1, 1), 100701}}));
    }

    // The boxes of an interactive run; the second run finds everything written.
    const Snapshot afterFirst = snapshot(dbPath);
    boxes = exchange(true);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, success(7, 0, 3, 4, 2, 2));
    QCOMPARE(text(), QString());
    QVERIFY(snapshot(dbPath) == afterFirst);
}

void TestUniform::importOff()
{
    QVERIFY(opened(smallHerd()));
    setWindows(30, 30, false);
    QVERIFY(record(A, 3, "HO 444-649"));
    QVERIFY(record(C, 2, "NEW-1", BullName));
    QVERIFY(record("999999999", 1, "HO 444-649"));
    QVERIFY(record(B, 1, "ho444649"));
    const Snapshot before = snapshot(dbPath);

    const QList<ModalAnswerer::Box> boxes = exchange();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, success(4, 2, 3, 4, 2, 2));
    QCOMPARE(text(), QString("In:%1;%2;NEW-1\nIn:%3;%4;ho444649\n").arg(C, dmy(2), B, dmy(1)));
    QVERIFY(snapshot(dbPath) == before);
}

void TestUniform::connectionFailures_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("ShowMessages");
    QTest::addColumn<QString>("driverText");
    QTest::newRow("database missing, timer run") << "missing" << false << "I/O error";
    QTest::newRow("database missing, button") << "missing" << true << "I/O error";
    QTest::newRow("wrong password") << "password" << false << "user name and password are not defined";
    QTest::newRow("server down") << "down" << false << "Unable to complete network request";
}

void TestUniform::connectionFailures()
{
    QFETCH(QString, situation);
    QFETCH(bool, ShowMessages);
    QFETCH(QString, driverText);

    QVERIFY(opened(smallHerd()));
    widgetNamed<QTextEdit>(window, "textEdit")->setPlainText("text of the last run");
    QList<ModalAnswerer::Box> boxes;
    if (situation == "missing") {
        QVERIFY(QFile::remove(dbPath));
        boxes = exchange(ShowMessages);
    } else if (situation == "password") {
        PasswordBack back{dbPath, "not-kelpmoira"};
        QString error;
        QVERIFY2(firebird::setPassword(dbPath, QLatin1String(herdmetrix::Password), back.changed, &error),
                 qPrintable(error));
        boxes = exchange(ShowMessages);
    } else {
        ServerBack back;
        QVERIFY(firebird::service("stop"));
        QVERIFY(!firebird::service("status"));
        boxes = exchange(ShowMessages);
    }
    QVERIFY(firebird::service("status"));

    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].title, QString("Stablomat"));
    QCOMPARE(boxes[0].icon, QString("information"));
    const QString head = QString::fromUtf8("Chyba připojení k databázi.\n");
    QVERIFY2(boxes[0].text.startsWith(head), qPrintable(boxes[0].text));
    QVERIFY2(boxes[0].text.contains(driverText), qPrintable(boxes[0].text));
    QVERIFY(registry->requests().isEmpty());
    QCOMPARE(text(), QString("text of the last run"));
    QVERIFY(!connectionLeft());
}

// A database without the lactation table and the insemination procedure: what can be read is sent.
void TestUniform::olderDatabase()
{
    QVERIFY(opened(smallHerd()));
    {
        firebird::Reader db(dbPath);
        QVERIFY(db.exec("drop table DIER_MELKGIFT_LACTATIE"));
        QVERIFY(db.exec("drop procedure P_INS_DIER_VOORTPLANTING"));
    }
    QVERIFY(record(B, 1, "HO 444-649"));
    const Snapshot before = snapshot(dbPath);
    const QList<ModalAnswerer::Box> boxes = exchange();
    QCOMPARE(boxes.size(), 1);
    // The insemination could not be inserted: not counted as written.
    QCOMPARE(boxes[0].text, success(1, 0, 3, 4, 0, 2));
    QCOMPARE(entries(syncBody().value("pregnancies").toArray(), true).size(), 4);
    QCOMPARE(text(), QString()); // nothing was written
    QVERIFY(snapshot(dbPath) == before);
    QVERIFY(!connectionLeft());
}

void TestUniform::undatedDownload_data()
{
    QTest::addColumn<bool>("dated");
    QTest::addColumn<bool>("import");
    QTest::addColumn<QString>("log");
    QTest::addColumn<int>("newEvents");
    QTest::addColumn<int>("newBulls");
    QTest::addColumn<bool>("cowGone"); // the insertion fails
    QTest::newRow("dated") << true << true << QString("I:%1;%2;X-9\n").arg(A, dmy(1)) << 1 << 1 << false;
    QTest::newRow("no date") << false << true << QString() << 0 << 0 << false;
    QTest::newRow("no date, import off") << false << false << QString() << 0 << 0 << false;
    // Counted as written only with its "I:" line, when the event is in the database.
    QTest::newRow("insertion fails") << true << true << QString() << 0 << 1 << true;
}

// The write-back on its own connection: a row without a date never reaches the database.
void TestUniform::undatedDownload()
{
    QFETCH(bool, dated);
    QFETCH(bool, import);
    QFETCH(QString, log);
    QFETCH(int, newEvents);
    QFETCH(int, newBulls);
    QFETCH(bool, cowGone);

    TestEnvironment::resetDriveC();
    QString error;
    QVERIFY2(herdmetrix::layOut(dbPath, TestEnvironment::winePrefix(), smallHerd(), nullptr, &error),
             qPrintable(error));
    const QString count = "select count(*) from %1";
    firebird::Reader reader(dbPath);
    const int events = reader.value(count.arg("DIER_VOORTPLANTING")).toInt();
    const int animals = reader.value(count.arg("DIER")).toInt();

    DownloadedInsemination row;
    row.cislo = A;
    row.datum = dated ? daysAgo(1) : QDate();
    row.byk = "X-9";
    // Closed and removed however the test ends, so that the next row can replace the file.
    struct Connection
    {
        QSqlDatabase db = herdmetrix::connect("write-back", platform::localPath(Database));
        ~Connection()
        {
            db.rollback();
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase("write-back");
        }
    } connection;
    QSqlDatabase &db = connection.db;
    QVERIFY(db.open());
    QVERIFY(db.transaction());
    uniform::Tables tables;
    const uniform::Windows w{30, 30, QDate::currentDate()};
    uniform::readBulls(db, tables);
    uniform::readAnimals(db, w, tables);
    QVERIFY(tables.cowIdByNumber.contains(A));
    QVERIFY(uniform::commitWork(db));
    if (cowGone)
        tables.cowIdByNumber[A] = QStringLiteral("999999");
    QString written;
    const int Written = uniform::writeBack(
        db, {row}, tables, [&] { return import; }, written);
    // Committed while the connection is still open: another one sees it.
    firebird::Reader other(dbPath);
    QCOMPARE(other.value(count.arg("DIER_VOORTPLANTING")).toInt(), events + newEvents);
    QCOMPARE(other.value(count.arg("DIER")).toInt(), animals + newBulls);
    // A row without a date is neither written nor counted.
    QCOMPARE(Written, newEvents);
    QCOMPARE(written, log);
    QCOMPARE(reader.value("select count(*) from DIER_VOORTPLANTING where DATUMBEGIN<'1900-01-01'").toInt(),
             0);
}

// A generated herd of 300 cows end to end: what the registry stored against the herd itself.
void TestUniform::generatedHerd()
{
    herd::GeneratorOptions o;
    o.cows = 300;
    o.seed = 11;
    o.today = QDate::currentDate();
    const herd::Herd h = herd::generateHerd(o);
    QVERIFY(opened(h));
    const QDate from = daysAgo(30);
    int pregnancies = 0;
    int dryOffs = 0;
    QList<QPair<QString, QString>> downloads; // registration, sire code as the database holds it
    for (int i = 0; i < h.cows.size(); ++i) {
        const herd::Cow &c = h.cows[i];
        for (const herd::PregnancyCheck &p : c.pregnancyChecks)
            pregnancies += p.date >= from;
        for (const QDate &d : c.abortions)
            pregnancies += d >= from;
        for (const QDate &d : c.dryOffs)
            dryOffs += d >= from;
        // A new service today for every tenth cow, with its last sire's code written differently.
        const herd::Insemination *last = c.lastInsemination();
        if (i % 10 == 0 && c.isPresent() && last && last->date < QDate::currentDate() &&
            !last->sire.isEmpty()) {
            QVERIFY(record(uniform::lifeNumber(c.registration), 0, last->sire.toLower().remove(' ')));
            downloads << qMakePair(c.registration, last->sire);
        }
    }
    QVERIFY(downloads.size() >= 10);

    QElapsedTimer timer;
    timer.start();
    const QList<ModalAnswerer::Box> boxes = exchange(false);
    qInfo("300 cows: exchange in %lld ms", timer.elapsed());
    QVERIFY(boxes.isEmpty());

    const QJsonObject stored = registry->dump(Cloud);
    QCOMPARE(stored.value("animals").toArray().size(), 300);
    QCOMPARE(stored.value("pregnancies").toArray().size(), pregnancies);
    QCOMPARE(stored.value("dryOffs").toArray().size(), dryOffs);
    QCOMPARE(text().count("I:"), downloads.size());

    firebird::Reader db(dbPath);
    for (const auto &[registration, sire] : downloads) {
        const QList<QVariantList> rows = db.rows(
            "select dv.DATUMBEGIN, m.KICODE from DIER_VOORTPLANTING dv join DIER d on d.DIERID=dv.DIERID "
            "join DIER_MNL m on m.DIERID=dv.DIERID_INSEMINATIE where dv.SOURCEID=100102 and "
            "d.LEVENSNUMMER=?",
            {registration});
        QCOMPARE(rows, (QList<QVariantList>{{QDate::currentDate(), sire}}));
    }
    // Every sire was found among the bulls: none was created.
    QCOMPARE(db.value("select count(*) from DIER where SOURCEID=100701").toInt(), 0);
}

STABLOMAT_TEST_MAIN(TestUniform)
#include "tst_uniform.moc"
