#include "common/testsupport.h"

#include "adapters/afikim/afikimreport.h"

#include <QRegularExpression>
#include <QTextCodec>

using namespace afikim;

using Row = QMap<QString, QString>;
using Rows = QList<Row>;
Q_DECLARE_METATYPE(DownloadedInsemination)

namespace {

const QDateTime Morning(QDate(2024, 5, 14), QTime(9, 30));
const QDateTime Afternoon(QDate(2024, 5, 14), QTime(12, 0));

QString u(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

// Every caption, in a mixed order, with two columns the adapter does not know.
QStringList allCaptions()
{
    QStringList captions;
    for (int c = ColumnCount - 1; c >= 0; --c)
        captions << caption(Column(c));
    std::swap(captions[3], captions[17]);
    captions.insert(5, QStringLiteral("Poznamka"));
    captions.append(QStringLiteral("Dojivost"));
    return captions;
}

// A report table from rows given as caption -> value; missing values are empty cells.
ReportTable table(const Rows &rows, const QStringList &captions = allCaptions())
{
    ReportTable t{captions};
    for (const auto &row : rows) {
        QStringList cells;
        for (const QString &c : captions)
            cells << row.value(c);
        t << cells;
    }
    return t;
}

// A present cow in milk: calved in March, served in April.
Row cow(const QString &krava, const QString &registration)
{
    return {{"Krava", krava},          {"Reg.c.", registration},     {"Stav", u("Inseminovaná")},
            {"Oteleni", "02/03/2024"}, {"Inseminace", "20/04/2024"}, {"Laktace", "2"}};
}

Row with(Row row, const QString &caption, const QString &value)
{
    row.insert(caption, value);
    return row;
}

QStringList pregnancies(const ReportData &d)
{
    QStringList out;
    for (const PregnancyEvent &p : d.records.pregnancies)
        out << QStringLiteral("%1 %2 %3").arg(p.cislo, p.datum.toString(Qt::ISODate), p.druh.toString());
    return out;
}

QStringList dryOffs(const ReportData &d)
{
    QStringList out;
    for (const DryOff &z : d.records.dryOffs)
        out << QStringLiteral("%1 %2").arg(z.cislo, z.datum.toString(Qt::ISODate));
    return out;
}

QStringList animals(const ReportData &d)
{
    QStringList out;
    for (const Animal &a : d.records.animals)
        out << QStringLiteral("%1 %2 %3")
                   .arg(a.cislo, a.tech_cislo.isNull() ? QStringLiteral("null") : a.tech_cislo.toString(),
                        a.vyrazena.toString());
    return out;
}

DownloadedInsemination downloaded(const QString &life, const QDate &date, const QVariant &bull,
                                  const QVariant &name = QVariant())
{
    DownloadedInsemination row;
    row.cislo = life;
    row.datum = date;
    row.poradi = 1;
    row.byk = bull;
    row.byk_jmeno = name;
    return row;
}

const QString BullHead = QStringLiteral("CN ***** Byci *****\n"
                                        "CN        |Byk||     |Jmeno||\n"
                                        "DN0318950003058715000032297200\n");
const QString InseminationHead = u("CN ***** Inseminace *****\n"
                                   "CN        |Kráva||   |Datum||   |Byk||\n"
                                   "DN030579000302590600003040908000030587150\n");

} // namespace

class TestAfikimReport : public QObject
{
    Q_OBJECT

private slots:
    void columns_data();
    void columns();
    void repeatedCaptionKeepsLastColumn();
    void dates_data();
    void dates();
    void yieldCells_data();
    void yieldCells();
    void events_data();
    void events();
    void animalsAndNumbers_data();
    void animalsAndNumbers();
    void knownInseminations_data();
    void knownInseminations();
    void yields();
    void importFileText_data();
    void importFileText();
    void importFileWritten();
    void importFileNotCreated_data();
    void importFileNotCreated();
    void reportFilesNewestFirst();
};

void TestAfikimReport::columns_data()
{
    QTest::addColumn<QStringList>("captions");
    QTest::addColumn<QString>("message");
    const QString prefix = u("Chybý sloupec v definici sestavy. ");

    QTest::newRow("all, mixed order, extra columns") << allCaptions() << QString();
    QStringList optional = allCaptions();
    for (const char *c :
         {"CvPK", "Pohlavi", "Narozeni", "Matka", "Otec", "Skupina", "Odny", "N3", "N4", "Rije"})
        optional.removeAll(QLatin1String(c));
    QTest::newRow("only the required ones") << optional << QString();
    QTest::newRow("none") << QStringList() << prefix + "Krava";

    for (int c = 0; c < ColumnCount; ++c) {
        QStringList captions = allCaptions();
        captions.removeAll(caption(Column(c)));
        const bool required = !QStringList{"CvPK",    "Pohlavi", "Narozeni", "Matka", "Otec",
                                           "Skupina", "Odny",    "N3",       "N4",    "Rije"}
                                   .contains(caption(Column(c)));
        QTest::addRow("without %s", qPrintable(caption(Column(c))))
            << captions << (required ? prefix + caption(Column(c)) : QString());
    }

    QStringList two = allCaptions();
    two.removeAll("N2");
    two.removeAll("Stav");
    QTest::newRow("Stav and N2 missing: Stav named") << two << prefix + "Stav";
    QStringList order = allCaptions();
    order.removeAll("Veterinar");
    order.removeAll("Zasuseni");
    QTest::newRow("Zasuseni is checked before Veterinar") << order << prefix + "Zasuseni";
    QStringList krava = allCaptions();
    krava.removeAll("Krava");
    krava.removeAll("Reg.c.");
    QTest::newRow("Krava first") << krava << prefix + "Krava";
    QStringList cased = allCaptions();
    cased.replaceInStrings(QRegularExpression("^N2$"), "n2");
    QTest::newRow("case-sensitive") << cased << prefix + "N2";
    QStringList blank = allCaptions();
    blank.replaceInStrings(QRegularExpression("^Byk$"), "Byk ");
    QTest::newRow("exact: a trailing blank") << blank << prefix + "Byk";
}

void TestAfikimReport::columns()
{
    QFETCH(QStringList, captions);
    QFETCH(QString, message);
    QCOMPARE(missingColumnText(matchColumns(captions)), message);
}

void TestAfikimReport::repeatedCaptionKeepsLastColumn()
{
    QStringList captions = allCaptions();
    captions << QStringLiteral("Krava");
    const ColumnMap map = matchColumns(captions);
    QCOMPARE(map[Krava], captions.size() - 1);
    QCOMPARE(map[RegC], captions.indexOf("Reg.c."));
    QCOMPARE(map[Rije], captions.indexOf("Rije"));
    QVERIFY(matchColumns({"Krava"})[N2] < 0);

    // The row reads the later column.
    ReportTable t{captions};
    QStringList row;
    for (const QString &c : captions)
        row << (c == "Reg.c." ? "CZ 100200300" : QString());
    row[captions.indexOf("Krava")] = "1";
    row.last() = "2";
    t << row;
    const ReportData d = readReport(t, map, 0, 0, Morning);
    QCOMPARE(d.cowNumberByLife.value("100200300"), QStringLiteral("2"));
}

void TestAfikimReport::dates_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDate>("date");
    QTest::newRow("dd/MM/yyyy") << "05/03/2024" << QDate(2024, 3, 5);
    QTest::newRow("blanks around") << " 29/02/2024 " << QDate(2024, 2, 29);
    QTest::newRow("no leading zeros") << "5/3/2024" << QDate(2024, 3, 5);
    QTest::newRow("not a day") << "30/02/2024" << QDate();
    QTest::newRow("month first") << "03/25/2024" << QDate();
    QTest::newRow("Czech form") << "05.03.2024" << QDate();
    QTest::newRow("ISO") << "2024-03-05" << QDate();
    QTest::newRow("unknown") << "?\?/?\?/?\?\?\?" << QDate();
    QTest::newRow("empty") << "" << QDate();
    QTest::newRow("long digit runs") << "99999999999/1/2024" << QDate();
    QTest::newRow("five-digit year") << "1/1/20245" << QDate();
    QTest::newRow("three slashes") << "1/1/2024/" << QDate();
    QTest::newRow("year 0") << "01/01/0000" << QDate();
    QTest::newRow("leap day of a common year") << "29/2/2023" << QDate();
}

void TestAfikimReport::dates()
{
    QFETCH(QString, text);
    QFETCH(QDate, date);
    QCOMPARE(reportDate(text), date);
}

void TestAfikimReport::yieldCells_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("yield");
    QTest::newRow("decimal comma") << "12,5" << 12.5;
    QTest::newRow("decimal point") << "12.5" << 12.5;
    QTest::newRow("whole") << "9" << 9.0;
    QTest::newRow("question mark") << "?" << 0.0;
    QTest::newRow("question mark inside") << "12,?" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("text") << "abc" << 0.0;
    QTest::newRow("two commas") << "1,2,3" << 0.0;
    QTest::newRow("not finite") << "inf" << 0.0;
    QTest::newRow("not a number") << "nan" << 0.0;
}

void TestAfikimReport::yieldCells()
{
    QFETCH(QString, text);
    QFETCH(double, yield);
    QCOMPARE(reportYield(text), yield);
}

void TestAfikimReport::events_data()
{
    QTest::addColumn<Row>("row");
    QTest::addColumn<int>("sendDays");
    QTest::addColumn<QStringList>("pregnancies");
    QTest::addColumn<QStringList>("dryOffs");

    const Row c = cow("12", "CZ 012345678");
    const QString life = "12345678";
    const auto check = [&](const QString &diagnosis) {
        return with(with(c, "Veterinar", "10/05/2024"), "VeterinarDiagnoza", diagnosis);
    };
    QTest::newRow("plus") << check("+") << 30 << QStringList{life + " 2024-05-10 1"} << QStringList();
    QTest::newRow("minus") << check(u("- prázdná")) << 30 << QStringList{life + " 2024-05-10 2"}
                           << QStringList();
    QTest::newRow("both: plus wins") << check("-/+") << 30 << QStringList{life + " 2024-05-10 1"}
                                     << QStringList();
    QTest::newRow("neither") << check(u("kontrola")) << 30 << QStringList() << QStringList();
    QTest::newRow("no send window") << check("+") << 0 << QStringList() << QStringList();
    QTest::newRow("negative send window") << check("+") << -3 << QStringList() << QStringList();
    QTest::newRow("check before the window") << check("+") << 3 << QStringList() << QStringList();
    QTest::newRow("check on the window's first day")
        << check("+") << 4 << QStringList{life + " 2024-05-10 1"} << QStringList();
    QTest::newRow("check before the insemination")
        << with(check("+"), "Inseminace", "11/05/2024") << 30 << QStringList() << QStringList();
    QTest::newRow("check before calving")
        << with(check("+"), "Oteleni", "11/05/2024") << 30 << QStringList() << QStringList();
    QTest::newRow("abortion") << with(c, "Zmetani", "01/05/2024") << 30 << QStringList{life + " 2024-05-01 4"}
                              << QStringList();
    QTest::newRow("abortion before calving")
        << with(c, "Zmetani", "01/03/2024") << 30 << QStringList() << QStringList();
    QTest::newRow("drying-off") << with(c, "Zasuseni", "13/05/2024") << 30 << QStringList()
                                << QStringList{life + " 2024-05-13"};
    QTest::newRow("drying-off before calving")
        << with(c, "Zasuseni", "13/02/2024") << 30 << QStringList() << QStringList();
    QTest::newRow("heifer: no calving")
        << with(with(with(c, "Oteleni", ""), "Zasuseni", "13/05/2024"), "Zmetani", "12/05/2024") << 30
        << QStringList{life + " 2024-05-12 4"} << QStringList{life + " 2024-05-13"};
    QTest::newRow("all three, order kept")
        << with(with(check("+"), "Zmetani", "11/05/2024"), "Zasuseni", "12/05/2024") << 30
        << QStringList{life + " 2024-05-10 1", life + " 2024-05-11 4"} << QStringList{life + " 2024-05-12"};
    QTest::newRow("culled: nothing") << with(with(check("+"), "Zasuseni", "12/05/2024"), "Vyrazeni",
                                             "13/05/2024")
                                     << 30 << QStringList() << QStringList();
    QTest::newRow("unreadable culling date: not culled")
        << with(check("+"), "Vyrazeni", "?") << 30 << QStringList{life + " 2024-05-10 1"} << QStringList();
}

void TestAfikimReport::events()
{
    QFETCH(Row, row);
    QFETCH(int, sendDays);
    QFETCH(QStringList, pregnancies);
    QFETCH(QStringList, dryOffs);
    const ReportTable t = table({row});
    const ReportData d = readReport(t, matchColumns(t.first()), 0, sendDays, Morning);
    QCOMPARE(::pregnancies(d), pregnancies);
    QCOMPARE(::dryOffs(d), dryOffs);
    QVERIFY(d.records.inseminations.isEmpty());
    QVERIFY(d.records.plans.isEmpty());
}

void TestAfikimReport::animalsAndNumbers_data()
{
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<QStringList>("animals");
    QTest::addColumn<QStringList>("cowNumbers");
    QTest::addColumn<bool>("shortNumbers");

    QTest::newRow("captions are no animal") << Rows{} << QStringList() << QStringList() << true;
    QTest::newRow("registration forms")
        << Rows{cow("1", "CZ 012345 678"), cow("2", "012345679"), cow("3", "DE 0012345670")}
        << QStringList{"12345670 3 0", "12345678 1 0", "12345679 2 0"} << QStringList{"3", "1", "2"} << true;
    QTest::newRow("nine digits") << Rows{cow("1", "CZ 012345678"), cow("2", "SK 123456789")}
                                 << QStringList{"12345678 1 0", "123456789 2 0"} << QStringList{"1", "2"}
                                 << false;
    QTest::newRow("culled nine digits do not count")
        << Rows{cow("1", "CZ 012345678"), with(cow("2", "SK 123456789"), "Vyrazeni", "01/05/2024")}
        << QStringList{"12345678 1 0"} << QStringList{"1"} << true;
    QTest::newRow("cow number 9999 sent without it")
        << Rows{cow("9998", "1001"), cow("9999", "1002"), cow("12345", "1003")}
        << QStringList{"1001 9998 0", "1002 null 0", "1003 null 0"} << QStringList{"9998", "9999", "12345"}
        << true;
    QTest::newRow("Ne pro inseminaci")
        << Rows{with(cow("1", "1001"), "Stav", "Ne pro inseminaci"),
                with(cow("2", "1002"), "Stav", "ne pro in"), with(cow("3", "1003"), "Stav", "Ne pro")}
        << QStringList{"1001 1 1", "1002 2 0", "1003 3 0"} << QStringList{"1", "2", "3"} << true;
    QTest::newRow("same life number: last row wins") << Rows{cow("1", "CZ 01001"), cow("7", "1001")}
                                                     << QStringList{"1001 7 0"} << QStringList{"7"} << true;
    QTest::newRow("row without registration number") << Rows{cow("1", ""), cow("2", "CZ"), cow("3", "1003")}
                                                     << QStringList{"1003 3 0"} << QStringList{"3"} << true;
    QTest::newRow("short rows") << Rows{{{"Krava", "4"}, {"Reg.c.", "1004"}}} << QStringList{"1004 4 0"}
                                << QStringList{"4"} << true;
}

void TestAfikimReport::animalsAndNumbers()
{
    QFETCH(Rows, rows);
    QFETCH(QStringList, animals);
    QFETCH(QStringList, cowNumbers);
    QFETCH(bool, shortNumbers);
    ReportTable t = table(rows);
    if (QTest::currentDataTag() == QLatin1String("short rows")) {
        // The row ends after its first two cells.
        QStringList captions = allCaptions();
        captions.removeAll("Krava");
        captions.removeAll("Reg.c.");
        captions.prepend("Reg.c.");
        captions.prepend("Krava");
        t = table(rows, captions);
        t[1] = t[1].mid(0, 2);
    }
    const ReportData d = readReport(t, matchColumns(t.first()), 5, 5, Morning);
    QCOMPARE(::animals(d), animals);
    QCOMPARE(d.cowNumberByLife.values(), cowNumbers);
    QCOMPARE(d.shortNumbers, shortNumbers);
    for (auto it = d.records.animals.cbegin(); it != d.records.animals.cend(); ++it) {
        QCOMPARE(it.key(), it->cislo);
        QVERIFY(it->transponder.isNull());
    }
}

void TestAfikimReport::knownInseminations_data()
{
    QTest::addColumn<int>("insDays");
    QTest::addColumn<bool>("known"); // cow 1001's insemination of 2024-04-20, and nothing else
    QTest::newRow("download window") << 5 << true;
    QTest::newRow("no download") << 0 << false;
    QTest::newRow("negative counts as not 0") << -1 << true;
}

void TestAfikimReport::knownInseminations()
{
    QFETCH(int, insDays);
    QFETCH(bool, known);
    const ReportTable t = table({cow("1", "1001"), with(cow("2", "1002"), "Inseminace", "01/01/2024"),
                                 with(cow("3", "1003"), "Inseminace", "")});
    const ReportData d = readReport(t, matchColumns(t.first()), insDays, 0, Morning);
    QCOMPARE(d.knownInseminations.size(), known ? 1 : 0);
    QCOMPARE(d.knownInseminations.contains("1001", QDate(2024, 4, 20)), known);
}

void TestAfikimReport::yields()
{
    const ReportTable t =
        table({with(with(cow("1", "1002"), "N1", "12,5"), "N2", "10,25"), with(cow("2", "1001"), "N1", "?"),
               with(with(cow("3", "1003"), "N1", "0"), "N2", "-2"),
               with(with(cow("4", "1004"), "N1", "7"), "Vyrazeni", "01/05/2024"),
               with(with(cow("5", "CZ 1002"), "N1", "1,25"), "N2", "")});
    const ColumnMap map = matchColumns(t.first());

    const ReportData morning = readReport(t, map, 0, 0, Morning);
    QCOMPARE(milkYieldCsv(morning.yield1, morning.yield2),
             QStringLiteral("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n"
                            "1002,1,20240514 00:00:00,,13.8\n"
                            "1002,2,20240513 00:00:00,,10.3\n"));
    // From noon on, "N2" is today's.
    const ReportData afternoon = readReport(t, map, 0, 0, Afternoon);
    QCOMPARE(afternoon.yield2.value("1002").when, QDateTime(QDate(2024, 5, 14), QTime(0, 0)));
    QCOMPARE(afternoon.yield1.value("1002").milk, 13.75);
}

void TestAfikimReport::importFileText_data()
{
    QTest::addColumn<QList<DownloadedInsemination>>("rows");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("written");

    using Downloads = QList<DownloadedInsemination>;
    const QDate d1(2024, 5, 10);
    const QDate d2(2024, 5, 11);
    QTest::newRow("one bull for three rows")
        << Downloads{downloaded("1001", d1, "CZE-61317", "Jardin ET"),
                     downloaded("1002", d1, "CZE-61317", "Jardin ET"),
                     downloaded("1003", d2, "CZE-61317", "Jardin")}
        << BullHead + "VN031895      CZE-61317           Jardin ET\n" + InseminationHead +
               "VN030579    1220240510      CZE-61317\n"
               "VN030579   34520240510      CZE-61317\n"
               "VN030579  999920240511      CZE-61317\n"
        << 3;
    QTest::newRow("two bulls in order received")
        << Downloads{downloaded("1002", d2, "HO 444649", u("Balisto Ž")), downloaded("1001", d1, "CZE-61317"),
                     downloaded("1003", d1, "HO 444649")}
        << BullHead + u("VN031895      HO 444649           Balisto Ž\n") +
               "VN031895      CZE-61317                    \n" + InseminationHead +
               "VN030579   34520240511      HO 444649\n"
               "VN030579    1220240510      CZE-61317\n"
               "VN030579  999920240510      HO 444649\n"
        << 3;
    QTest::newRow("known and absent animals: sections only")
        << Downloads{downloaded("1001", QDate(2024, 4, 20), "X"), downloaded("7777", d1, "X"),
                     downloaded("1004", d1, "X")}
        << BullHead + InseminationHead << 0;
    QTest::newRow("same animal, other day than known")
        << Downloads{downloaded("1001", QDate(2024, 4, 21), "X")}
        << BullHead + "VN031895              X                    \n" + InseminationHead +
               "VN030579    1220240421              X\n"
        << 1;
    QTest::newRow("unknown bull") << Downloads{downloaded("1001", d1, QVariant())}
                                  << BullHead + "VN031895                                   \n" +
                                         InseminationHead + "VN030579    1220240510               \n"
                                  << 1;
    QTest::newRow("no date: no line; longer values written whole")
        << Downloads{downloaded("1001", QDate(), "A"), downloaded("1005", d1, "B"),
                     downloaded("1001", d1, "C234567890123456"),
                     downloaded("1002", d1, "D", "A name of twenty-five ch")}
        << BullHead + "VN031895              B                    \n" +
               "VN031895C234567890123456                    \n" +
               "VN031895              DA name of twenty-five ch\n" + InseminationHead +
               "VN030579123456720240510              B\n" + "VN030579    1220240510C234567890123456\n" +
               "VN030579   34520240510              D\n"
        << 3;
}

void TestAfikimReport::importFileText()
{
    QFETCH(QList<DownloadedInsemination>, rows);
    QFETCH(QString, text);
    QFETCH(int, written);
    const Row cows{{"1001", "12"}, {"1002", "345"}, {"1003", "9999"}, {"1004", ""}, {"1005", "1234567"}};
    KnownInseminations known;
    known.insert("1001", QDate(2024, 4, 20));
    const ImportFile file = importFile(rows, known, cows);
    QCOMPARE(file.text, text);
    QCOMPARE(file.written, written);
    // No value line is shorter than its layout.
    for (const QString &line : file.text.split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith("VN031895"))
            QVERIFY(line.size() >= 43);
        if (line.startsWith("VN030579"))
            QVERIFY(line.size() >= 37);
    }
}

void TestAfikimReport::importFileWritten()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("afi_ms.dat");
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(5000, 'x'));
    old.close();

    const QString text = InseminationHead + u("VN031895      HO 444649         Balisto Žíla\n");
    QVERIFY(writeImportFile(path, text));
    const QByteArray bytes = readWholeFile(path);
    QCOMPARE(bytes, QTextCodec::codecForName("Windows-1250")->fromUnicode(text));
    QVERIFY(bytes.contains("|Kr\xE1va||"));        // á
    QVERIFY(bytes.contains("Balisto \x8E\xEDla")); // Ž, í
    QVERIFY(!bytes.contains('\r'));
    // No temporary file is left beside it.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"afi_ms.dat"});
}

void TestAfikimReport::importFileNotCreated_data()
{
    QTest::addColumn<QString>("situation");
    QTest::newRow("directory missing") << "missing";
    QTest::newRow("a directory in the way") << "directory";
}

void TestAfikimReport::importFileNotCreated()
{
    QFETCH(QString, situation);
    QTemporaryDir dir;
    QString path = dir.filePath("DATA/MS/afi_ms.dat");
    if (situation == "directory")
        QVERIFY(QDir().mkpath(path));
    QVERIFY(!writeImportFile(path, BullHead));
    QVERIFY(!QFileInfo(path).isFile());
}

void TestAfikimReport::reportFilesNewestFirst()
{
    QTemporaryDir dir;
    QCOMPARE(reportFiles(dir.filePath("absent"), ReportPrefix), QStringList());
    const QDateTime base = QDateTime::currentDateTime().addSecs(-600);
    const QStringList names{"StablomatAnimals1.dif",
                            "StablomatAnimals.dif",
                            "StablomatAnimals_b.DIF",
                            "stablomatAnimals2.dif",
                            "Other.dif",
                            "xStablomatAnimals.dif"};
    const int ages[] = {300, 100, 200, 0, 0, 0};
    for (int i = 0; i < names.size(); ++i) {
        QFile f(dir.filePath(names[i]));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("x");
        f.flush(); // a write at close would set the time again
        QVERIFY(f.setFileTime(base.addSecs(-ages[i]), QFileDevice::FileModificationTime));
    }
    QVERIFY(QDir(dir.path()).mkdir("StablomatAnimalsDir"));
    QCOMPARE(reportFiles(dir.path(), ReportPrefix),
             (QStringList{dir.filePath("StablomatAnimals.dif"), dir.filePath("StablomatAnimals_b.DIF"),
                          dir.filePath("StablomatAnimals1.dif")}));
}

STABLOMAT_TEST_MAIN_CORE(TestAfikimReport)
#include "tst_afikimreport.moc"
