#include "app/detection.h"
#include "common/simprocess.h"
#include "common/testsupport.h"
#include "herd.h"
#include "platform/platform.h"
#include "ziviviver/ziviviver.h"

#include <QDir>
#include <QFileInfo>
#include <QTextCodec>

namespace {

const QDate Today(2024, 5, 14);

QString kg(double v)
{
    return QString::number(v, 'f', 2).replace('.', ',');
}

// The morning (before noon) or afternoon milk of a day, as the report gives it; empty when none.
QString milk(const herd::Cow &cow, const QDate &day, bool afternoon)
{
    double sum = 0;
    bool any = false;
    for (const herd::Milking &m : cow.milkingsOn(day)) {
        if ((m.time.hour() >= 12) == afternoon) {
            sum += m.kg;
            any = true;
        }
    }
    return any ? kg(sum) : QString();
}

QString date(const QDate &d)
{
    return d.isValid() ? d.toString("dd/MM/yyyy") : QString();
}

} // namespace

class TestAfifarm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void reportFromHerd_data();
    void reportFromHerd();
    void omittedColumns();
    void importIntoHerd();
    void importRefused_data();
    void importRefused();
    void farmToolLayout();

private:
    Run afifarm(const QStringList &args) { return runProgram(AFIFARM, args, {"HERD_FILE=" + herdFile}); }
    QString savefile() const { return root->filePath("savefile"); }
    QString importPath() const { return root->filePath("DATA/MS/afi_ms.dat"); }
    void writeImport(const QByteArray &bytes);

    QTemporaryDir herdDir;
    QString generated;
    QString herdFile;
    QScopedPointer<QTemporaryDir> root;
};

void TestAfifarm::initTestCase()
{
    generated =
        generateHerdFile(herdDir.filePath("herd.json"), 40, 11, {"--today", Today.toString(Qt::ISODate)});
    QVERIFY(!generated.isEmpty());
}

void TestAfifarm::init()
{
    root.reset(new QTemporaryDir);
    herdFile = root->filePath("herd.json");
    QVERIFY(QFile::copy(generated, herdFile));
    QVERIFY(QDir().mkpath(root->filePath("DATA/MS")));
}

void TestAfifarm::reportFromHerd_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<bool>("crlf");
    QTest::addColumn<int>("hour");
    QTest::newRow("as AfiFarm writes it") << QStringList() << QByteArray("Windows-1250") << true << 9;
    QTest::newRow("UTF-8, LF, afternoon")
        << QStringList{"--encoding", "utf-8", "--lf", "--seed", "5"} << QByteArray("UTF-8") << false << 15;
}

void TestAfifarm::reportFromHerd()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, encoding);
    QFETCH(bool, crlf);
    QFETCH(int, hour);

    const Run r = afifarm(QStringList{"report", "--root", root->path(), "--name", "StablomatAnimals1.dif",
                                      "--hour", QString::number(hour)} +
                          options);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const QString path = savefile() + "/StablomatAnimals1.dif";
    const QByteArray bytes = readWholeFile(path);
    QCOMPARE(bytes.count('\r'), crlf ? bytes.count('\n') : 0);
    QVERIFY(bytes.count('\n') > 100);
    // The Czech letters are in the encoding asked for.
    QTextCodec *codec = QTextCodec::codecForName(encoding);
    QVERIFY(bytes.contains(codec->fromUnicode(QString::fromUtf8("\"Vyřazená\""))) ||
            bytes.contains(codec->fromUnicode(QString::fromUtf8("\"Březí\""))));

    herd::Herd herd;
    QString error;
    QVERIFY2(herd.load(herdFile, &error), qPrintable(error));
    EDifReader reader(path);
    reader.init();
    QVERIFY(reader.isValid);
    QCOMPARE(reader.rowCount, herd.cows.size() + 1);
    QCOMPARE(reader.colCount, 30);
    QMap<QString, int> col;
    for (int c = 0; c < reader.colCount; ++c)
        col.insert(reader.getData(0, c), c);
    QCOMPARE(col.size(), 30);
    for (const char *caption : {"Krava",       "Reg.c.",  "CvPK",          "Znamka",     "Pohlavi",
                                "Narozeni",    "Matka",   "Otec",          "Skupina",    "Stav",
                                "Oteleni",     "Odny",    "Laktace",       "Inseminace", "Pin",
                                "Inseminator", "Byk",     "Neinseminovat", "Veterinar",  "VeterinarDiagnoza",
                                "Zasuseni",    "Zmetani", "Vyrazeni",      "N1",         "N2",
                                "N3",          "N4",      "Rije"})
        QVERIFY2(col.contains(caption), caption);
    // The columns are not in the order of the definition.
    QVERIFY(col.value("Krava") != 0 || col.value("Reg.c.") != 1);

    const QDate evening = hour >= 12 ? Today : Today.addDays(-1);
    int culled = 0;
    int mornings = 0;
    for (int row = 1; row < reader.rowCount; ++row) {
        const auto cell = [&](const char *caption) { return reader.getData(row, col.value(caption)); };
        const herd::Cow *cow = herd.cowByRegistration(cell("Reg.c."));
        QVERIFY(cow);
        QCOMPARE(cell("Krava"), QString::number(cow->parlour));
        QCOMPARE(cell("Oteleni"), date(cow->lastCalving()));
        QCOMPARE(cell("Laktace"), QString::number(cow->lactation()));
        QCOMPARE(cell("Inseminace"), date(cow->lastInsemination() ? cow->lastInsemination()->date : QDate()));
        QCOMPARE(cell("Byk"), cow->lastInsemination() ? cow->lastInsemination()->sire : QString());
        QCOMPARE(cell("Zasuseni"), date(cow->lastDryOff()));
        QCOMPARE(cell("Zmetani"), date(cow->lastAbortion()));
        QCOMPARE(cell("Vyrazeni"), cow->isPresent() ? QString() : date(cow->statusDate));
        QCOMPARE(cell("Poznamka"), cow->name);
        const herd::PregnancyCheck *check = cow->lastPregnancyCheck();
        QCOMPARE(cell("Veterinar"), date(check ? check->date : QDate()));
        QCOMPARE(cell("VeterinarDiagnoza").left(1), check ? QString(check->pregnant ? "+" : "-") : QString());
        QCOMPARE(cell("Stav").startsWith("Ne pro in"), cow->doNotInseminate);
        QCOMPARE(cell("N1"), milk(*cow, Today, false));
        QCOMPARE(cell("N2"), milk(*cow, evening, true));
        culled += cow->isPresent() ? 0 : 1;
        mornings += cell("N1").contains(',') ? 1 : 0;
    }
    QVERIFY(culled > 0);
    QVERIFY(mornings > 0);
}

void TestAfifarm::omittedColumns()
{
    const Run r = afifarm({"report", "--root", root->path(), "--omit", "N2", "--omit", "Krava"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const QStringList files = QDir(savefile()).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY(files.first().startsWith("StablomatAnimals"));
    QVERIFY(files.first().endsWith(".dif"));
    EDifReader reader(savefile() + "/" + files.first());
    reader.init();
    QVERIFY(reader.isValid);
    QCOMPARE(reader.colCount, 28);
    for (int c = 0; c < reader.colCount; ++c) {
        QVERIFY(reader.getData(0, c) != "N2");
        QVERIFY(reader.getData(0, c) != "Krava");
    }
}

void TestAfifarm::writeImport(const QByteArray &bytes)
{
    QFile f(importPath());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

void TestAfifarm::importIntoHerd()
{
    herd::Herd before;
    QString error;
    QVERIFY(before.load(herdFile, &error));
    // Two present cows, one culled.
    QVector<const herd::Cow *> present;
    const herd::Cow *culled = nullptr;
    for (const herd::Cow &c : before.cows) {
        if (c.isPresent() && present.size() < 2)
            present << &c;
        if (!c.isPresent() && !culled)
            culled = &c;
    }
    QVERIFY(present.size() == 2 && culled);
    const QDate day = Today.addDays(1);
    const auto cow = [](int parlour) { return QString::number(parlour).rightJustified(6); };
    const QString text = QString::fromUtf8("CN ***** Byci *****\n"
                                           "CN        |Byk||     |Jmeno||\n"
                                           "DN0318950003058715000032297200\n"
                                           "VN031895      CZE-99001       Testovací Býk\n"
                                           "CN ***** Inseminace *****\n"
                                           "CN        |Kráva||   |Datum||   |Byk||\n"
                                           "DN030579000302590600003040908000030587150\n") +
                         "VN030579" + cow(present[0]->parlour) + day.toString("yyyyMMdd") +
                         "      CZE-99001\n" + "VN030579" + cow(present[1]->parlour) +
                         day.toString("yyyyMMdd") + "      CZE-99001\n" + "VN030579" + cow(culled->parlour) +
                         day.toString("yyyyMMdd") + "      CZE-99001\n" + "VN030579" +
                         cow(present[0]->parlour) + day.toString("yyyyMMdd") + "      CZE-99001\n";
    writeImport(QTextCodec::codecForName("Windows-1250")->fromUnicode(text));

    const Run r = afifarm({"import", "--root", root->path()});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY2(r.out.startsWith("2 of 4 inseminations imported, 1 bulls added"), r.out.constData());

    herd::Herd after;
    QVERIFY(after.load(herdFile, &error));
    const herd::Bull *bull = after.bullByCode("CZE-99001");
    QVERIFY(bull);
    QCOMPARE(bull->name, QString::fromUtf8("Testovací Býk"));
    for (const herd::Cow *c : present) {
        const herd::Cow *now = after.cowByRegistration(c->registration);
        QCOMPARE(now->inseminations.size(), c->inseminations.size() + 1);
        QCOMPARE(now->lastInsemination()->date, day);
        QCOMPARE(now->lastInsemination()->sire, QStringLiteral("CZE-99001"));
        QCOMPARE(now->lastInsemination()->ordinal, c->ordinalFor(day));
    }
    QCOMPARE(after.cowByRegistration(culled->registration)->inseminations.size(),
             culled->inseminations.size());

    // The same file again adds nothing.
    const Run again = afifarm({"import", "--root", root->path()});
    QCOMPARE(again.exitCode, 0);
    QVERIFY2(again.out.startsWith("0 of 4 inseminations imported, 0 bulls added"), again.out.constData());
}

void TestAfifarm::importRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("exitCode");
    const QByteArray head = "CN ***** Inseminace *****\nDN030579000302590600003040908000030587150\n";
    QTest::newRow("no file") << QByteArray() << 3;
    QTest::newRow("line too short")
        << head + "VN030579     120240515      CZE-99001\nVN030579    1220240515     CZE-99001\n"
        << 3;
    QTest::newRow("value line without definition")
        << QByteArray("VN030579    1220240515      CZE-99001\n") << 3;
    QTest::newRow("other definition") << QByteArray("DN030579000302590600003040908000030587140\n") << 3;
    QTest::newRow("cow number not a number") << head + "VN030579    x120240515      CZE-99001\n" << 3;
}

void TestAfifarm::importRefused()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, exitCode);
    if (QTest::currentDataTag() != QLatin1String("no file"))
        writeImport(bytes);
    const QByteArray herdBefore = readWholeFile(herdFile);
    const Run r = afifarm({"import", "--root", root->path()});
    QCOMPARE(r.exitCode, exitCode);
    // Nothing of a refused file reaches the herd.
    QCOMPARE(readWholeFile(herdFile), herdBefore);
}

void TestAfifarm::farmToolLayout()
{
    const QString prefix = root->filePath("prefix");
    const Run r = runProgram(FARM_TOOL, {"--system", "afikim", "--herd", generated, "--wineprefix", prefix,
                                         "--simulators", SIMULATOR_DIR});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const QByteArray saved = qgetenv("WINEPREFIX");
    qputenv("WINEPREFIX", QFile::encodeName(prefix));
    const MilkingSystem found = probeMilkingSystem();
    const QString program = platform::localPath("c:/afifarm/program/afifarm.exe");
    const QString watched = platform::localPath(found.watchedDirectory);
    const QString data = platform::localPath("c:/afifarm/DATA/MS");
    qputenv("WINEPREFIX", saved);
    QCOMPARE(found.code, 5);
    QCOMPARE(found.programPath, QStringLiteral("c:/afifarm"));
    QVERIFY(QFileInfo(watched).isDir());
    QVERIFY(QFileInfo(data).isDir());
    QVERIFY(QFileInfo(program).isExecutable());
    QCOMPARE(readWholeFile(QFileInfo(program).absolutePath() + "/herd.json"), readWholeFile(generated));

    // The stand-in laid out finds its herd and its AfiFarm directory by itself.
    const Run report = runProgram(program, {"report", "--name", "StablomatAnimals.dif"});
    QVERIFY2(report.exitCode == 0, report.err.constData());
    QVERIFY(QFileInfo(watched + "/StablomatAnimals.dif").isFile());
}

STABLOMAT_TEST_MAIN_CORE(TestAfifarm)
#include "tst_afifarm.moc"
