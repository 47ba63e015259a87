#include "app/detection.h"
#include "common/firebird.h"
#include "common/testsupport.h"
#include "generator.h"
#include "herdmetrix.h"
#include "platform/platform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runProgram(const QString &program, const QStringList &args, const QString &winePrefix = QString())
{
    QProcess p;
    if (!winePrefix.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("WINEPREFIX"), winePrefix);
        p.setProcessEnvironment(env);
    }
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(120000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

int count(firebird::Reader &db, const QString &sql, const QVariantList &values = QVariantList())
{
    return db.value(sql, values).toInt();
}

} // namespace

class TestHerdMetrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void seedMatchesHerd();
    void storedProcedures();
    void layOutAgain();
    void closedDirectory();
    void farmTool_data();
    void farmTool();

private:
    QString freshDir(const QString &name);
    herd::Herd herd300;
    int serial = 0;
};

void TestHerdMetrix::initTestCase()
{
    QVERIFY(QSqlDatabase::isDriverAvailable(QStringLiteral("QIBASE")));
    QString problem;
    QVERIFY2(firebird::ensureRunning(&problem), qPrintable(problem));
    QVERIFY(firebird::openToServer(TestEnvironment::root()));
    herd::GeneratorOptions o;
    o.cows = 300;
    o.seed = 7;
    o.today = QDate::currentDate();
    herd300 = herd::generateHerd(o);
    QVERIFY(herd300.problems().isEmpty());
}

QString TestHerdMetrix::freshDir(const QString &name)
{
    const QString dir = TestEnvironment::root() + QStringLiteral("/db%1/%2").arg(++serial).arg(name);
    QDir().mkpath(dir);
    return dir;
}

void TestHerdMetrix::seedMatchesHerd()
{
    const QString path = freshDir("Farma Dvůr[1]") + "/farma.fdb";
    QElapsedTimer timer;
    timer.start();
    herdmetrix::SeedCounts counts;
    QString error;
    QVERIFY2(herdmetrix::layOut(path, QString(), herd300, &counts, &error), qPrintable(error));
    qInfo("300 cows: database created and seeded in %lld ms", timer.elapsed());
    QCOMPARE(counts.cows, 300);
    QCOMPARE(counts.bulls, herd300.bulls.size());

    int inseminations = 0, pregnant = 0, open = 0, abortions = 0, heats = 0, calvings = 0, dried = 0;
    for (const herd::Cow &c : herd300.cows) {
        inseminations += c.inseminations.size();
        for (const herd::PregnancyCheck &p : c.pregnancyChecks)
            (p.pregnant ? pregnant : open)++;
        abortions += c.abortions.size();
        heats += c.heats.size();
        calvings += c.calvings.size();
        dried += c.dryOffs.size();
    }

    firebird::Reader db(path);
    QVERIFY2(db.isOpen(), qPrintable(db.error()));
    // The whole herd in one transaction, not a commit a row (the creation's transactions counted in).
    const int transactions = count(db, "select MON$NEXT_TRANSACTION from MON$DATABASE");
    QVERIFY2(transactions < 30, qPrintable(QString::number(transactions)));
    QCOMPARE(count(db, "select count(*) from DIER where GESLACHT_CODE=2"), 300);
    QCOMPARE(count(db,
                   "select count(*) from DIER_MNL m join DIER d on d.DIERID=m.DIERID where m.SWFOKSTIER>0 "
                   "and d.GESLACHT_CODE=1"),
             herd300.bulls.size());
    const QString byCode = "select count(*) from DIER_VOORTPLANTING where VOORTPLANTINGCODE=?";
    QCOMPARE(count(db, byCode, {2}), inseminations);
    QCOMPARE(count(db, byCode, {7}), pregnant);
    QCOMPARE(count(db, byCode, {9}), open);
    QCOMPARE(count(db, byCode, {11}), abortions);
    QCOMPARE(count(db, byCode, {1}), heats);
    QCOMPARE(count(db, "select count(*) from DIER_MELKGIFT_LACTATIE"), calvings);
    // Every drying-off of these herds ends a lactation.
    QCOMPARE(
        count(db, "select count(*) from DIER_MELKGIFT_LACTATIE where DATUMWERKELIJKEDROOGZET is not null"),
        dried);

    // Each cow as the adapter reads it: numbers, name, services with their bulls' codes.
    for (const herd::Cow &c : herd300.cows) {
        const QList<QVariantList> rows =
            db.rows("select DIERID, NUMMER, ZENDERNUMMER, NAAM, EXCLUDED from DIER where LEVENSNUMMER=?",
                    {c.registration});
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0][1].toString(), QString::number(c.parlour));
        QCOMPARE(rows[0][2].toString(), c.transponder);
        QCOMPARE(rows[0][3].toString(), c.name);
        QCOMPARE(rows[0][4].toInt(), c.isPresent() ? 0 : 1);
        QStringList services;
        for (const herd::Insemination &i : c.inseminations)
            services << i.date.toString(Qt::ISODate) + " " + i.sire;
        QStringList stored;
        for (const QVariantList &r :
             db.rows("select dv.DATUMBEGIN, m.KICODE from DIER_VOORTPLANTING dv left join DIER_MNL m on "
                     "m.DIERID=dv.DIERID_INSEMINATIE where dv.DIERID=? and dv.VOORTPLANTINGCODE=2 "
                     "order by dv.DATUMBEGIN, dv.DIER_VOORTPLANTING_ID",
                     {rows[0][0]}))
            stored << r[0].toDate().toString(Qt::ISODate) + " " + r[1].toString();
        QCOMPARE(stored, services);
    }
}

void TestHerdMetrix::storedProcedures()
{
    herd::Herd empty;
    empty.referenceDay = QDate::currentDate();
    const QString path = freshDir("Procedures[1]") + "/p.fdb";
    QString error;
    QVERIFY2(herdmetrix::layOut(path, QString(), empty, nullptr, &error), qPrintable(error));
    firebird::Reader db(path);
    QVERIFY(db.isOpen());

    const int bull = db.value("select ODIERID from P_INS_DIER(1,'1.1.2000',0,0,NULL,NULL,NULL,NULL,NULL,NULL,"
                              "NULL,NULL,NULL,NULL,0,NULL,0,100701)")
                         .toInt();
    QVERIFY(bull > 0);
    QCOMPARE(db.value("select GEBOORTEDATUM from DIER where DIERID=?", {bull}).toDate(), QDate(2000, 1, 1));
    QCOMPARE(count(db, "select count(*) from DIER_MNL where DIERID=? and SWFOKSTIER=0", {bull}), 1);
    const QString id = "select DIER_ID_ID from P_INS_DIER_ID(?,'1.1.2000',?,?,100701)";
    QVERIFY(db.value(id, {bull, 3, QString::fromUtf8("Žďár")}).toInt() > 0);
    QVERIFY(db.value(id, {bull, 7, 4}).toInt() > 0);
    QVERIFY(db.value(id, {bull, 23, "CZE-61317"}).toInt() > 0);
    QCOMPARE(db.value("select NAAM from DIER where DIERID=?", {bull}).toString(), QString::fromUtf8("Žďár"));
    QCOMPARE(db.value("select KICODE from DIER_MNL where DIERID=?", {bull}).toString(), QString("CZE-61317"));
    QCOMPARE(count(db, "select count(*) from DIER_ID where DIERID=? and SOURCEID=100701", {bull}), 3);
    QCOMPARE(db.value("select WAARDE from DIER_ID where DIERID=? and IDSOORT=7", {bull}).toString(),
             QString("4"));

    const int event =
        db.value("select DIER_VOORTPLANTING_ID from P_INS_DIER_VOORTPLANTING(?,?,1,9,0,NULL,NULL,?,"
                 "NULL,'',1,NULL,NULL,NULL,NULL,NULL,NULL,NULL,100102)",
                 {bull, QDate(2024, 5, 3), bull})
            .toInt();
    QVERIFY(event > 0);
    const QList<QVariantList> rows =
        db.rows("select DIERID, DATUMBEGIN, VOORTPLANTINGCODE, DIERID_INSEMINATIE, SOURCEID from "
                "DIER_VOORTPLANTING where DIER_VOORTPLANTING_ID=?",
                {event});
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0], (QVariantList{bull, QDate(2024, 5, 3), 9, bull, 100102}));
}

void TestHerdMetrix::layOutAgain()
{
    const QString path = freshDir("Again[1]") + "/a.fdb";
    QString error;
    QVERIFY2(herdmetrix::layOut(path, QString(), herd300, nullptr, &error), qPrintable(error));
    herd::GeneratorOptions o;
    o.cows = 12;
    o.seed = 3;
    o.today = QDate::currentDate();
    QVERIFY2(herdmetrix::layOut(path, QString(), herd::generateHerd(o), nullptr, &error), qPrintable(error));
    firebird::Reader db(path);
    QCOMPARE(count(db, "select count(*) from DIER where GESLACHT_CODE=2"), 12);
}

void TestHerdMetrix::closedDirectory()
{
    const QString closed = freshDir("closed");
    QVERIFY(QFile::setPermissions(closed,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    const QString path = closed + "/UNIFORM/Farm[1]/f.fdb";
    QString error;
    QVERIFY(!herdmetrix::layOut(path, QString(), herd300, nullptr, &error));
    QVERIFY2(error.contains("cannot enter " + closed), qPrintable(error));
    QVERIFY(!QFileInfo::exists(path));
    // Below the root it is opened to the server.
    QVERIFY2(herdmetrix::layOut(path, closed, herd300, nullptr, &error), qPrintable(error));
    QVERIFY(QFileInfo(closed).permissions() & QFileDevice::ExeOther);
    QCOMPARE(QFileInfo(QFileInfo(path).path()).owner(), QString("firebird"));
}

void TestHerdMetrix::farmTool_data()
{
    QTest::addColumn<bool>("open");
    QTest::newRow("prefix below an open directory") << true;
    QTest::newRow("prefix below a closed directory") << false;
}

void TestHerdMetrix::farmTool()
{
    QFETCH(bool, open);
    const QString top = freshDir("farm");
    if (!open)
        QVERIFY(QFile::setPermissions(top, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner));
    const QString herdFile = top + "/herd.json";
    QString error;
    QVERIFY(herd300.save(herdFile, &error));
    const QString prefix = top + "/wine";
    const Run r = runProgram(FARM_TOOL, {"--system", "uniform", "--herd", herdFile, "--wineprefix", prefix,
                                         "--simulators", SIMULATOR_DIR});
    const QString database = prefix + "/drive_c/Users/Public/Documents/UNIFORM/Stablomat[1]/stablomat.fdb";
    if (!open) {
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("cannot enter " + QFile::encodeName(top)), r.err.constData());
        QVERIFY(!QFileInfo::exists(database));
        return;
    }
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY(r.out.contains("Uniform HerdMetrix with 300 cows"));

    const QByteArray saved = qgetenv("WINEPREFIX");
    qputenv("WINEPREFIX", QFile::encodeName(prefix));
    const MilkingSystem system = probeMilkingSystem();
    const QString local = platform::localPath(system.programPath);
    qputenv("WINEPREFIX", saved);
    QCOMPARE(system.code, 6);
    QCOMPARE(system.programPath, QString("c:/Users/Public/Documents/UNIFORM/Stablomat[1]/stablomat.fdb"));
    QCOMPARE(system.label, QString("Uniform - HerdMetrix"));
    QCOMPARE(local, database);
    firebird::Reader db(database);
    QVERIFY2(db.isOpen(), qPrintable(db.error()));
    QCOMPARE(count(db, "select count(*) from DIER where GESLACHT_CODE=2"), 300);
}

STABLOMAT_TEST_MAIN_CORE(TestHerdMetrix)
#include "tst_herdmetrix.moc"
