// The DairyPlan files without a window: request texts, answer positions, records, write-back lines
// and the milk sums.
#include "adapters/westfalia/westfaliaanswers.h"
#include "adapters/westfalia/westfaliaformat.h"
#include "common/testsupport.h"

#include <utility>

using namespace westfalia;

namespace {

const QDate Today(2024, 5, 14);

using Fields = QVector<std::pair<int, QString>>;

// A line of `length` blanks after the prefix, with each value written at its offset.
QString placed(const QString &prefix, const Fields &fields, int length)
{
    QString line = prefix.leftJustified(length);
    for (const auto &f : fields)
        line.replace(f.first, f.second.size(), f.second);
    return line;
}

// Offsets of the reproduction answer, as DairyPlan writes them.
enum : int
{
    AtCow = 8,
    AtReg1 = 14,
    AtSt = 81,
    AtClvdat = 112,
    AtSrvdat = 124,
    AtPrgdat = 139,
    AtPrgdiag = 148,
    AtDrydat = 150,
    AtAbtdat = 159,
    CowLineLength = 191,
};

QString cowLine(const Fields &fields, const QString &prefix = QStringLiteral("VN     0"))
{
    return placed(prefix, fields, CowLineLength);
}

// One milking group at its place: date, "hhmmss", whole kilograms (4) and tenths (1).
Fields milking(int group, const QString &date, const QString &time, const QString &whole,
               const QString &tenth)
{
    const int at = 30 + 70 * group;
    return {{at, date}, {at + 9, time}, {at + 15, whole.rightJustified(4)}, {at + 19, tenth}};
}

QString milkLine(const QString &reg1, const QVector<Fields> &groups, int length = 450,
                 const QString &prefix = QStringLiteral("VN     0"))
{
    Fields all{{8, QStringLiteral("    17")}, {14, reg1}};
    for (const Fields &g : groups)
        all += g;
    return placed(prefix, all, 450).left(length);
}

DownloadedInsemination downloaded(const QString &life, const QDate &date, const QVariant &ordinal,
                                  const QVariant &sire)
{
    DownloadedInsemination row;
    row.cislo = life;
    row.datum = date;
    row.poradi = ordinal;
    row.byk = sire;
    return row;
}

QDateTime at(const QDate &date, int h, int m, int s = 0)
{
    return QDateTime(date, QTime(h, m, s));
}

} // namespace

class TestWestfaliaFormat : public QObject
{
    Q_OBJECT

private slots:
    void requestTexts_data();
    void requestTexts();
    void answerPositions_data();
    void answerPositions();
    void cowLines_data();
    void cowLines();
    void records_data();
    void records();
    void lifeNumbersAndShortNumbers();
    void eventLines_data();
    void eventLines();
    void writeBackSelection();
    void milkLines_data();
    void milkLines();
    void milkSums_data();
    void milkSums();
};

void TestWestfaliaFormat::requestTexts_data()
{
    QTest::addColumn<QString>("built");
    QTest::addColumn<QString>("expected");

    const QString header = QStringLiteral("CN                   FILE FOR WESTFALIA-VELMORIN COMMUNICATION\n"
                                          "CN------------------\n"
                                          "CN Sender information\n"
                                          "CN      |sender    | sender   |version   |date      |time      \n"
                                          "DH0000000000000008000900006240009000080800090000308000900004060\n"
                                          "VH000000DD:     Velmorin                5.50    20010112102200\n"
                                          "CN------------------\n");
    QTest::newRow("header block") << adis::fileText(headerBlock()) << header;
    QTest::newRow("reproduction request")
        << reproductionRequestText()
        << header + QStringLiteral("ON fout_stablomat_reprodukce_posledni.ads\n"
                                   "C: Udaje o kravach\n"
                                   "R:COW,Reg1,resp\\16,typ,SIRE,DAM,st,Gp,bd,NAME\\12,1{BIRDAT},1{CLVDAT},"
                                   "1{LACTNO},1{SRVDAT,SrvCount},1{PRGDAT,prgdiag},1{DRYDAT},1{abtdat},ai\\2,"
                                   "GateD\\9,1{G1\\2},1{G2\\2},1{G3\\2},1{G4\\2},SelCount\n"
                                   "TN\n"
                                   "ZN\n");
    QTest::newRow("milk-yield request")
        << milkRequestText()
        << header + QStringLiteral("ON fout_stablomat_nadoje.ads\n"
                                   "C: dojeni\n"
                                   "R:COW,Reg1,6{IMDat,IMTim\\6,IMWt\\5.1,IMDuration\\5.1,MsCondA,IMFlg\\1,"
                                   "IMIDDate\\9,IMIDTime\\6,IMStartSec\\4,IMStall\\3,IMAttachDate\\9,"
                                   "IMAttachTime\\6,IMCode\\2}\n"
                                   "TN\n"
                                   "ZN\n");
    const QString modify =
        header + QStringLiteral("CN ***** EVENT 0 *****\n"
                                "DN     0COW\\6.0,SRVDAT\\9,SrvCount\\6.0,ai\\2,srvsire\\15\n");
    QTest::newRow("modify request, no records")
        << modifyRequestText({}) << modify + QStringLiteral("TN\nZN\n");
    QTest::newRow("modify request, two records")
        << modifyRequestText({QStringLiteral("VN     0    1720240513      2 2      HO 444649"),
                              QStringLiteral("VN     0     320240512 ?????? 0???????????????")})
        << modify + QStringLiteral("VN     0    1720240513      2 2      HO 444649\n"
                                   "VN     0     320240512 ?????? 0???????????????\n"
                                   "TN\nZN\n");
}

void TestWestfaliaFormat::requestTexts()
{
    QFETCH(QString, built);
    QFETCH(QString, expected);
    QCOMPARE(built, expected);
}

void TestWestfaliaFormat::answerPositions_data()
{
    QTest::addColumn<int>("table");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("width");

    // Reproduction answer: offset and width of every column.
    const int cow[][2] = {{8, 6},   {14, 16}, {30, 16}, {46, 3},  {49, 16}, {65, 16}, {81, 3},
                          {84, 3},  {87, 4},  {91, 12}, {103, 9}, {112, 9}, {121, 3}, {124, 9},
                          {133, 6}, {139, 9}, {148, 2}, {150, 9}, {159, 9}, {168, 2}, {170, 9},
                          {179, 2}, {181, 2}, {183, 2}, {185, 2}, {187, 4}};
    QCOMPARE(int(sizeof cow / sizeof cow[0]), int(cowcol::Count));
    for (int k = 0; k < cowcol::Count; ++k)
        QTest::addRow("cow %s", qPrintable(cowAnswer().item(k).id)) << 0 << k << cow[k][0] << cow[k][1];

    // Milk-yield answer: COW, Reg1, and the yield columns of every group.
    QTest::newRow("milk COW") << 1 << int(milkcol::Cow) << 8 << 6;
    QTest::newRow("milk Reg1") << 1 << int(milkcol::Reg1) << 14 << 16;
    const int group[][3] = {{milkcol::Date, 0, 9},     {milkcol::Time, 9, 6},      {milkcol::WholeKg, 15, 4},
                            {milkcol::TenthKg, 19, 1}, {milkcol::Duration, 20, 5}, {milkcol::Stall, 50, 3},
                            {milkcol::Code, 68, 2}};
    for (int g = 0; g < MilkingsPerLine; ++g) {
        for (const auto &c : group)
            QTest::addRow("milk group %d column %d", g, c[0])
                << 1 << milkItem(g, c[0]) << 30 + 70 * g + c[1] << c[2];
    }
}

void TestWestfaliaFormat::answerPositions()
{
    QFETCH(int, table);
    QFETCH(int, index);
    QFETCH(int, offset);
    QFETCH(int, width);
    const adis::Entity &entity = table == 0 ? cowAnswer() : milkAnswer();
    QVERIFY(entity.isValid());
    QVERIFY(entity.isNamed());
    QCOMPARE(entity.offset(index), offset);
    QCOMPARE(entity.width(index), width);
    QCOMPARE(cowAnswer().lineLength(), 191);
    QCOMPARE(milkAnswer().lineLength(), 450);
    QVERIFY(eventRecord().isValid());
    QCOMPARE(eventRecord().lineLength(), 46);
}

void TestWestfaliaFormat::cowLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("dataLine");
    QTest::addColumn<QString>("cowNumber");
    QTest::addColumn<QString>("lifeNumber");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("diagnosis");
    QTest::addColumn<QDate>("calving");
    QTest::addColumn<QDate>("insemination");
    QTest::addColumn<QDate>("pregnancyCheck");
    QTest::addColumn<QDate>("dryOff");
    QTest::addColumn<QDate>("abortion");

    const Fields full{{AtCow, QStringLiteral("   123")},       {AtReg1, QStringLiteral("CZ 012345 678")},
                      {AtSt, QStringLiteral("  3")},           {AtClvdat, QStringLiteral("20240101 ")},
                      {AtSrvdat, QStringLiteral("20240301 ")}, {AtPrgdat, QStringLiteral("20240405 ")},
                      {AtPrgdiag, QStringLiteral(" 1")},       {AtDrydat, QStringLiteral("?????????")},
                      {AtAbtdat, QStringLiteral("?????????")}};
    const QDate calved(2024, 1, 1);
    QTest::newRow("all columns") << cowLine(full) << true << "123"
                                 << "12345678" << 3 << 1 << calved << QDate(2024, 3, 1) << QDate(2024, 4, 5)
                                 << QDate() << QDate();
    QTest::newRow("prefix VN000000") << cowLine(full, QStringLiteral("VN000000")) << true << "123"
                                     << "12345678" << 3 << 1 << calved << QDate(2024, 3, 1)
                                     << QDate(2024, 4, 5) << QDate() << QDate();

    // Events of the previous lactation are dropped; one on the calving day stays.
    const Fields earlier{{AtCow, QStringLiteral("     9")},       {AtReg1, QStringLiteral("000000000000042")},
                         {AtSt, QStringLiteral(" 15")},           {AtClvdat, QStringLiteral("20240101 ")},
                         {AtSrvdat, QStringLiteral("20231231 ")}, {AtPrgdat, QStringLiteral("20230601 ")},
                         {AtPrgdiag, QStringLiteral("  ")},       {AtDrydat, QStringLiteral("20231110 ")},
                         {AtAbtdat, QStringLiteral("20240101 ")}};
    QTest::newRow("events before calving")
        << cowLine(earlier) << true << "9"
        << "42" << 15 << 0 << calved << QDate() << QDate() << QDate() << QDate(2024, 1, 1);
    Fields unknownCalving = earlier;
    unknownCalving[3].second = QStringLiteral("?????????");
    QTest::newRow("calving unknown") << cowLine(unknownCalving) << true << "9"
                                     << "42" << 15 << 0 << QDate() << QDate(2023, 12, 31) << QDate(2023, 6, 1)
                                     << QDate(2023, 11, 10) << QDate(2024, 1, 1);
    Fields serviceOnCalvingDay = full;
    serviceOnCalvingDay[4].second = QStringLiteral("20240101 ");
    QTest::newRow("service on the calving day")
        << cowLine(serviceOnCalvingDay) << true << "123"
        << "12345678" << 3 << 1 << calved << calved << QDate(2024, 4, 5) << QDate() << QDate();

    // Short lines: the columns that are missing are empty, their dates invalid.
    QTest::newRow("ends inside Reg1")
        << QStringLiteral("VN     0    77SK 0012") << true << "77"
        << "12" << 0 << 0 << QDate() << QDate() << QDate() << QDate() << QDate();
    QTest::newRow("ends before CLVDAT")
        << cowLine(full).left(AtClvdat + 4) << true << "123"
        << "12345678" << 3 << 0 << QDate() << QDate() << QDate() << QDate() << QDate();
    QTest::newRow("prefix only") << QStringLiteral("VN     0") << true << ""
                                 << "0" << 0 << 0 << QDate() << QDate() << QDate() << QDate() << QDate();
    QTest::newRow("no digits in Reg1")
        << cowLine({{AtCow, QStringLiteral("     5")}, {AtReg1, QStringLiteral("CZ")}}) << true << "5"
        << "0" << 0 << 0 << QDate() << QDate() << QDate() << QDate() << QDate();
    // Reg1 ends after 16 characters; the rest of the line belongs to the next column.
    QTest::newRow("Reg1 of 20 digits")
        << cowLine({{AtCow, QStringLiteral("     5")}, {AtReg1, QStringLiteral("12345678901234567890")}})
        << true << "5"
        << "1234567890123456" << 0 << 0 << QDate() << QDate() << QDate() << QDate() << QDate();

    // Not data lines.
    const QDate none;
    for (const char *other :
         {"VN     1", "VN000001", "VH000000", "DN     0", "CN     0", "TN", "", "VN 00000"})
        QTest::addRow("not data: \"%s\"", other) << cowLine(full, QString::fromLatin1(other)) << false << ""
                                                 << "" << 0 << 0 << none << none << none << none << none;
}

void TestWestfaliaFormat::cowLines()
{
    QFETCH(QString, line);
    QFETCH(bool, dataLine);
    CowRow row;
    row.cowNumber = QStringLiteral("untouched");
    QCOMPARE(readCowLine(line, &row), dataLine);
    if (!dataLine) {
        QCOMPARE(row.cowNumber, QStringLiteral("untouched"));
        return;
    }
    QTEST(row.cowNumber, "cowNumber");
    QTEST(row.lifeNumber, "lifeNumber");
    QTEST(row.status, "status");
    QTEST(row.pregnancyDiagnosis, "diagnosis");
    QTEST(row.calving, "calving");
    QTEST(row.insemination, "insemination");
    QTEST(row.pregnancyCheck, "pregnancyCheck");
    QTEST(row.dryOff, "dryOff");
    QTEST(row.abortion, "abortion");
}

void TestWestfaliaFormat::records_data()
{
    QTest::addColumn<int>("insDays");
    QTest::addColumn<int>("sendDays");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("diagnosis");
    QTest::addColumn<bool>("known");
    QTest::addColumn<QStringList>("pregnancies"); // "yyyy-MM-dd druh"
    QTest::addColumn<QStringList>("dryOffs");

    // Pregnancy check 10 days ago, abortion 3 days ago, drying-off 20 days ago.
    QTest::newRow("both windows") << 30 << 30 << 3 << 1 << true << QStringList{"2024-05-04 1", "2024-05-11 4"}
                                  << QStringList{"2024-04-24"};
    QTest::newRow("send window of 10 days")
        << 30 << 10 << 3 << 1 << true << QStringList{"2024-05-04 1", "2024-05-11 4"} << QStringList();
    QTest::newRow("send window of 9 days")
        << 30 << 9 << 3 << 1 << true << QStringList{"2024-05-11 4"} << QStringList();
    QTest::newRow("nothing sent") << 5 << 0 << 3 << 1 << true << QStringList() << QStringList();
    QTest::newRow("negative send window") << 5 << -3 << 3 << 1 << true << QStringList() << QStringList();
    QTest::newRow("no download") << 0 << 30 << 3 << 1 << false << QStringList{"2024-05-04 1", "2024-05-11 4"}
                                 << QStringList{"2024-04-24"};
    QTest::newRow("open cow") << 30 << 30 << 3 << 2 << true << QStringList{"2024-05-04 2", "2024-05-11 4"}
                              << QStringList{"2024-04-24"};
    QTest::newRow("diagnosis blank") << 30 << 30 << 3 << 0 << true
                                     << QStringList{"2024-05-04 2", "2024-05-11 4"}
                                     << QStringList{"2024-04-24"};
    QTest::newRow("culled") << 30 << 30 << 15 << 1 << true << QStringList{"2024-05-04 1", "2024-05-11 4"}
                            << QStringList{"2024-04-24"};
}

void TestWestfaliaFormat::records()
{
    QFETCH(int, insDays);
    QFETCH(int, sendDays);
    QFETCH(int, status);
    QFETCH(int, diagnosis);
    QFETCH(bool, known);
    QFETCH(QStringList, pregnancies);
    QFETCH(QStringList, dryOffs);

    CowRow row;
    row.cowNumber = QStringLiteral("12");
    row.lifeNumber = QStringLiteral("31862029");
    row.status = status;
    row.pregnancyDiagnosis = diagnosis;
    row.calving = Today.addDays(-100);
    row.insemination = Today.addDays(-40);
    row.pregnancyCheck = Today.addDays(-10);
    row.abortion = Today.addDays(-3);
    row.dryOff = Today.addDays(-20);
    ReproductionData data;
    addCow(row, insDays, sendDays, Today, &data);

    QCOMPARE(data.records.animals.size(), 1);
    const Animal a = data.records.animals.value(QStringLiteral("31862029"));
    QCOMPARE(a.cislo, QStringLiteral("31862029"));
    QCOMPARE(a.tech_cislo, QVariant(QStringLiteral("12")));
    QVERIFY(a.transponder.isNull());
    QCOMPARE(a.vyrazena, QVariant(status == 15 ? QStringLiteral("1") : QStringLiteral("0")));
    QCOMPARE(data.knownInseminations.contains(QStringLiteral("31862029"), Today.addDays(-40)), known);
    QCOMPARE(data.knownInseminations.size(), known ? 1 : 0);

    QStringList gotPregnancies;
    for (const PregnancyEvent &p : data.records.pregnancies) {
        QCOMPARE(p.cislo, QStringLiteral("31862029"));
        QVERIFY(p.udaj1.isNull() && p.udaj2.isNull() && p.udaj3.isNull());
        gotPregnancies << p.datum.toString(Qt::ISODate) + QLatin1Char(' ') + p.druh.toString();
    }
    QCOMPARE(gotPregnancies, pregnancies);
    QStringList gotDryOffs;
    for (const DryOff &d : data.records.dryOffs) {
        QVERIFY(d.udaj.isNull());
        gotDryOffs << d.datum.toString(Qt::ISODate);
    }
    QCOMPARE(gotDryOffs, dryOffs);
    QVERIFY(data.records.inseminations.isEmpty());
    QVERIFY(data.records.plans.isEmpty());
}

void TestWestfaliaFormat::lifeNumbersAndShortNumbers()
{
    const QStringList eight{
        cowLine({{AtCow, QStringLiteral("     1")}, {AtReg1, QStringLiteral("CZ 012345678")}}),
        cowLine({{AtCow, QStringLiteral("     2")}, {AtReg1, QStringLiteral("DE 0099999999")}})};
    ReproductionData data = readReproductionAnswer(eight, 1, 1, Today);
    QVERIFY(data.shortNumbers);
    QCOMPARE(data.records.animals.keys(), (QStringList{"12345678", "99999999"}));

    // One nine-digit number anywhere turns the whole run to long numbers.
    QStringList nine = eight;
    nine.insert(1, cowLine({{AtCow, QStringLiteral("     3")}, {AtReg1, QStringLiteral("SK 123456789")}}));
    nine << QStringLiteral("CN a comment") << QStringLiteral("TN") << QStringLiteral("ZN");
    data = readReproductionAnswer(nine, 1, 1, Today);
    QVERIFY(!data.shortNumbers);
    QCOMPARE(data.records.animals.size(), 3);

    // Cows without a number are no animals: nothing of them is sent or written back.
    const QString events = QStringLiteral("20240501 ");
    const QStringList noDigits{
        cowLine({{AtCow, QStringLiteral("     4")}, {AtReg1, QStringLiteral("CZ")}, {AtPrgdat, events}}),
        cowLine({{AtCow, QStringLiteral("     5")}, {AtReg1, QStringLiteral("----")}, {AtDrydat, events}}),
        cowLine({{AtCow, QStringLiteral("     6")}, {AtReg1, QStringLiteral("CZ 7")}})};
    data = readReproductionAnswer(noDigits, 1, 30, Today);
    QCOMPARE(data.records.animals.keys(), QStringList{"7"});
    QVERIFY(data.records.pregnancies.isEmpty() && data.records.dryOffs.isEmpty());
}

void TestWestfaliaFormat::eventLines_data()
{
    QTest::addColumn<QString>("cow");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QVariant>("ordinal");
    QTest::addColumn<QVariant>("sire");
    QTest::addColumn<QString>("expected");

    const QDate d(2024, 5, 13);
    QTest::newRow("complete") << "17" << d << QVariant(2) << QVariant("HO 444649")
                              << "VN     0    1720240513      2 2      HO 444649";
    QTest::newRow("null ordinal and sire")
        << "17" << d << QVariant() << QVariant() << "VN     0    1720240513 ?????? 0???????????????";
    QTest::newRow("ordinal 0") << "17" << d << QVariant(0) << QVariant("X")
                               << "VN     0    1720240513 ?????? 0              X";
    QTest::newRow("negative ordinal") << "17" << d << QVariant(-1) << QVariant("X")
                                      << "VN     0    1720240513 ??????"
                                         "-1              X";
    QTest::newRow("ordinal as text") << "17" << d << QVariant("3") << QVariant("X")
                                     << "VN     0    1720240513      3 3              X";
    QTest::newRow("sire longer than 15") << "17" << d << QVariant(1) << QVariant("Jardin ET 1234567890")
                                         << "VN     0    1720240513      1 1Jardin ET 12345";
    QTest::newRow("sire of 15") << "17" << d << QVariant(1) << QVariant("123456789012345")
                                << "VN     0    1720240513      1 1123456789012345";
    QTest::newRow("empty sire") << "17" << d << QVariant(1) << QVariant(QStringLiteral(""))
                                << "VN     0    1720240513      1 1               ";
    QTest::newRow("no date") << "17" << QDate() << QVariant(1) << QVariant("X")
                             << "VN     0    17?????????     1 1              X";
    QTest::newRow("six-digit cow") << "123456" << d << QVariant(12) << QVariant("B")
                                   << "VN     012345620240513     1212              B";
    QTest::newRow("longer cow number is not cut") << "1234567" << d << QVariant(1) << QVariant("B")
                                                  << "VN     0123456720240513      1 1              B";
    // Values that cannot stand in their field are unknown, so the sire stays in its place.
    QTest::newRow("ordinal of three digits")
        << "17" << d << QVariant(123) << QVariant("B") << "VN     0    1720240513    123??              B";
    QTest::newRow("ordinal of seven digits") << "17" << d << QVariant(1234567) << QVariant("B")
                                             << "VN     0    1720240513 ????????              B";
    // A line break in a sire name from the cloud must not start a record of its own.
    QTest::newRow("line break in sire") << "17" << d << QVariant(1) << QVariant("A\r\nVN     0    1")
                                        << "VN     0    1720240513      1 1A  VN     0    ";
}

void TestWestfaliaFormat::eventLines()
{
    QFETCH(QString, cow);
    QFETCH(QDate, date);
    QFETCH(QVariant, ordinal);
    QFETCH(QVariant, sire);
    QFETCH(QString, expected);
    const QString line = eventLine(cow, date, ordinal, sire);
    QCOMPARE(line, expected);
    QVERIFY(!line.contains(QLatin1Char('\n')) && !line.contains(QLatin1Char('\r')));
    if (cow.size() <= 6)
        QCOMPARE(line.size(), eventRecord().lineLength());
}

void TestWestfaliaFormat::writeBackSelection()
{
    const QDate d(2024, 5, 10);
    ReproductionData data;
    for (const char *cow : {"100 1", "200 2", "300"}) {
        const QStringList life = QString::fromLatin1(cow).split(' ');
        data.records.animals.insert(life[0], {life[0], life.value(1), {}, {}});
    }
    data.knownInseminations.insert(QStringLiteral("100"), d);
    const QList<DownloadedInsemination> rows{
        downloaded(QStringLiteral("200"), d.addDays(1), 4, QStringLiteral("S2")),
        downloaded(QStringLiteral("100"), d, 1, QStringLiteral("known")),         // already held
        downloaded(QStringLiteral("999"), d, 1, QStringLiteral("absent")),        // not in DairyPlan
        downloaded(QStringLiteral("300"), d, 1, QStringLiteral("no cow number")), // empty COW
        downloaded(QStringLiteral("100"), d.addDays(2), QVariant(), QVariant()),  // a newer one
        downloaded(QStringLiteral("200"), QDate(), 5, QStringLiteral("no date")),
    };
    const QStringList lines = westfalia::eventLines(rows, data.knownInseminations, data.records.animals);
    QCOMPARE(lines, (QStringList{"VN     0     220240511      4 4             S2",
                                 "VN     0     120240512 ?????? 0???????????????"}));
    QVERIFY(westfalia::eventLines({}, data.knownInseminations, data.records.animals).isEmpty());
}

void TestWestfaliaFormat::milkLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("read");
    QTest::addColumn<QString>("lifeNumber");
    QTest::addColumn<QVector<QDateTime>>("when");
    QTest::addColumn<QVector<double>>("kg");

    const QDate d(2024, 5, 14);
    QVector<Fields> six;
    for (int g = 0; g < 6; ++g)
        six << milking(g, QStringLiteral("20240514 "),
                       QStringLiteral("%1%2").arg(g + 4, 2, 10, QChar('0')).arg("3015"),
                       QString::number(10 + g), QString::number(g));
    QVector<QDateTime> sixWhen;
    QVector<double> sixKg;
    for (int g = 0; g < 6; ++g) {
        sixWhen << at(d, g + 4, 30, 15);
        sixKg << 10 + g + g * 0.1;
    }
    QTest::newRow("six milkings") << milkLine(QStringLiteral("CZ 012345678"), six) << true << "12345678"
                                  << sixWhen << sixKg;
    QTest::newRow("VN000000, 434 characters")
        << milkLine(QStringLiteral("CZ 012345678"), six, 434, QStringLiteral("VN000000")) << true
        << "12345678" << sixWhen << sixKg;
    QTest::newRow("433 characters") << milkLine(QStringLiteral("CZ 012345678"), six, 433) << false << ""
                                    << QVector<QDateTime>() << QVector<double>();
    QTest::newRow("not a data line") << milkLine(QStringLiteral("CZ 012345678"), six, 450,
                                                 QStringLiteral("VN     1"))
                                     << false << "" << QVector<QDateTime>() << QVector<double>();

    // Unknown and odd fields.
    QVector<Fields> odd{milking(0, QStringLiteral("20240514 "), QStringLiteral("??????"), "12", "3"),
                        milking(1, QStringLiteral("20240514 "), QStringLiteral("256100"), "7", "?"),
                        milking(2, QStringLiteral("?????????"), QStringLiteral("101010"), "9", "9"),
                        milking(3, QStringLiteral("14.5.2024"), QStringLiteral("0630"), "x1", "5"),
                        milking(4, QStringLiteral("20240513 "), QStringLiteral("235959"), "????", "?"),
                        milking(5, QStringLiteral("20240513 "), QStringLiteral("000000"), "0", "0")};
    QTest::newRow("unknown and odd fields") << milkLine(QStringLiteral("0000042"), odd) << true << "42"
                                            << QVector<QDateTime>{at(d, 0, 0),
                                                                  at(d, 0, 0),
                                                                  QDateTime(),
                                                                  at(d, 0, 0),
                                                                  at(d.addDays(-1), 23, 59, 59),
                                                                  at(d.addDays(-1), 0, 0)}
                                            << QVector<double>{12.3, 7, 9.9, 0.5, 0, 0};
}

void TestWestfaliaFormat::milkLines()
{
    QFETCH(QString, line);
    QFETCH(bool, read);
    QFETCH(QVector<QDateTime>, when);
    QFETCH(QVector<double>, kg);
    MilkLine milk;
    QCOMPARE(readMilkLine(line, &milk), read);
    if (!read)
        return;
    QTEST(milk.lifeNumber, "lifeNumber");
    QCOMPARE(milk.milkings.size(), 6);
    for (int g = 0; g < 6; ++g) {
        QCOMPARE(milk.milkings.at(g).when, when.at(g));
        QVERIFY2(qAbs(milk.milkings.at(g).kg - kg.at(g)) < 1e-9, qPrintable(QString::number(g)));
    }
}

void TestWestfaliaFormat::milkSums_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QVector<QDateTime>>("bounds"); // from1, to1, from2, to2, from3, to3
    QTest::addColumn<QString>("csv");

    const QDate d(2024, 5, 14);
    const QDate y = d.addDays(-1);
    const QString head = QStringLiteral("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n");
    const QString day = QStringLiteral("20240514 ");
    const QString yesterday = QStringLiteral("20240513 ");
    // Cow 20: two milkings in the morning (12.3 at 05:10, 11.8 at 05:00, in this order in the line)
    // and one in the evening; cow 3: one at exactly 04:00 and one at exactly 18:00; cow 7: nothing
    // inside a period; cow 9: a yield of 0; a cow without a number counts nowhere.
    const QStringList lines{
        QStringLiteral("CN header"),
        milkLine(QStringLiteral("CZ 20"), {milking(0, day, QStringLiteral("051000"), "12", "3"),
                                           milking(1, day, QStringLiteral("050000"), "11", "8"),
                                           milking(2, yesterday, QStringLiteral("170000"), "10", "1")}),
        milkLine(QStringLiteral("CZ 3"), {milking(0, day, QStringLiteral("040000"), "8", "0"),
                                          milking(1, yesterday, QStringLiteral("180000"), "9", "5")}),
        milkLine(QStringLiteral("CZ 7"),
                 {milking(0, QStringLiteral("20240512 "), QStringLiteral("050000"), "20", "0")}),
        milkLine(QStringLiteral("CZ 9"), {milking(0, day, QStringLiteral("050000"), "0", "0")}),
        milkLine(QStringLiteral("CZ"), {milking(0, day, QStringLiteral("050000"), "5", "0")}),
        milkLine(QStringLiteral("CZ 5"), {milking(0, day, QStringLiteral("050000"), "6", "6")}, 433),
    };
    const QDateTime morningFrom = at(d, 4, 0), morningTo = at(d, 10, 0);
    const QDateTime eveningFrom = at(y, 16, 0), eveningTo = at(y, 18, 0);

    QTest::newRow("two periods") << lines << QVector<QDateTime>{morningFrom, morningTo,   eveningFrom,
                                                                eveningTo,   QDateTime(), QDateTime()}
                                 << head + QStringLiteral("20,1,20240514 05:10:00,,24.1\n"
                                                          "3,1,20240514 04:00:00,,8.0\n"
                                                          "20,2,20240513 17:00:00,,10.1\n"
                                                          "3,2,20240513 18:00:00,,9.5\n");
    // Period 3 spans both others: every milking in two periods counts in both.
    QTest::newRow("overlapping periods")
        << lines
        << QVector<QDateTime>{morningFrom, morningTo, eveningFrom, eveningTo, at(y, 0, 0), at(d, 23, 59)}
        << head + QStringLiteral("20,1,20240514 05:10:00,,24.1\n"
                                 "3,1,20240514 04:00:00,,8.0\n"
                                 "20,2,20240513 17:00:00,,10.1\n"
                                 "3,2,20240513 18:00:00,,9.5\n"
                                 "20,3,20240514 05:10:00,,34.2\n"
                                 "3,3,20240514 04:00:00,,17.5\n");
    QTest::newRow("only period 2") << lines << QVector<QDateTime>{QDateTime(), QDateTime(), morningFrom,
                                                                  morningTo,   QDateTime(), QDateTime()}
                                   << head + QStringLiteral("20,2,20240514 05:10:00,,24.1\n"
                                                            "3,2,20240514 04:00:00,,8.0\n");
    QTest::newRow("bounds one second off")
        << lines << QVector<QDateTime>{at(d, 4, 0, 1),    morningTo,   eveningFrom,
                                       at(y, 17, 59, 59), QDateTime(), QDateTime()}
        << head + QStringLiteral("20,1,20240514 05:10:00,,24.1\n"
                                 "20,2,20240513 17:00:00,,10.1\n");
    QTest::newRow("no period") << lines << QVector<QDateTime>(6) << head;
    QTest::newRow("no lines") << QStringList() << QVector<QDateTime>{morningFrom, morningTo,   eveningFrom,
                                                                     eveningTo,   QDateTime(), QDateTime()}
                              << head;
}

void TestWestfaliaFormat::milkSums()
{
    QFETCH(QStringList, lines);
    QFETCH(QVector<QDateTime>, bounds);
    const MilkingPeriods periods{{{bounds[0], bounds[1]}, {bounds[2], bounds[3]}, {bounds[4], bounds[5]}}};
    QTEST(milkYieldText(lines, periods), "csv");
}

STABLOMAT_TEST_MAIN_CORE(TestWestfaliaFormat)
#include "tst_westfaliaformat.moc"
