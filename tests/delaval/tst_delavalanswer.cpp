// Reading the DeLaval cow answer and building the write-back lines, without a window.
#include "common/testsupport.h"

#include "adapters/delaval/delavalexchange.h"
#include "adapters/delaval/delavalformat.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace delaval::col;

namespace {

const QDate Today(2024, 5, 14);

// The widths of the 49 request items, as the converter fills an unknown one with "?".
const int Widths[] = {6, 8, 8, 15, 15, 15, 1, 5, 5, 15, 15, 3, 8, 2, 8, 8, 2, 1, 8, 8, 8, 1, 15, 4, 4,
                      4, 4, 6, 6,  6,  6,  6, 6, 6, 6,  8,  1, 4, 4, 4, 4, 6, 6, 6, 6, 6, 6, 6,  6};
static_assert(sizeof(Widths) / sizeof(int) == Count - 1, "one width per request item");

// An answer line of a cow with every column unknown but the ones set.
class Line
{
public:
    Line()
    {
        for (int width : Widths)
            cols << QString(width, QLatin1Char('?'));
        cols << QString();
        set(Cow, "7").set(CowId, "CZ 012345678");
    }
    Line &set(int column, const QString &value)
    {
        cols[column] = value;
        return *this;
    }
    Line &date(int column, const QDate &d)
    {
        return set(column, d.isValid() ? d.toString("dd.MM.yyyy") : QStringLiteral("????????"));
    }
    QString text() const { return cols.join('\t'); }

private:
    QStringList cols;
};

delaval::ReadingRules rules(int sendDays, int insDays = 30)
{
    delaval::ReadingRules r;
    r.insDays = insDays;
    r.sendDays = sendDays;
    r.today = Today;
    return r;
}

delaval::HerdReading read(const QStringList &lines, const delaval::ReadingRules &r)
{
    return delaval::readAnswer(lines, r);
}

DownloadedInsemination downloaded(const QString &life, const QDate &date, const QVariant &ordinal,
                                  const QVariant &bull)
{
    DownloadedInsemination row;
    row.cislo = life;
    row.datum = date;
    row.poradi = ordinal;
    row.byk = bull;
    return row;
}

} // namespace

class TestDelavalAnswer : public QObject
{
    Q_OBJECT

private slots:
    void columnCount_data();
    void columnCount();
    void lifeNumbers_data();
    void lifeNumbers();
    void dateCorrections_data();
    void dateCorrections();
    void unknownValues();
    void sendWindow_data();
    void sendWindow();
    void milkPeriods_data();
    void milkPeriods();
    void repeatedNumberOutOfOrder();
    void writeBack_data();
    void writeBack();
};

void TestDelavalAnswer::columnCount_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<bool>("taken");
    QTest::newRow("49 columns") << 49 << false;
    QTest::newRow("50 columns") << 50 << true;
    QTest::newRow("51 columns") << 51 << false;
    QTest::newRow("one column") << 1 << false;
}

void TestDelavalAnswer::columnCount()
{
    QFETCH(int, columns);
    QFETCH(bool, taken);
    QStringList cols = Line().text().split('\t');
    while (cols.size() > columns)
        cols.removeLast();
    while (cols.size() < columns)
        cols << QString();
    const delaval::HerdReading r =
        read({cols.join('\t'), Line().set(Cow, "8").set(CowId, "2").text()}, rules(30));
    QCOMPARE(r.cows, taken ? 2 : 1);
    QCOMPARE(r.skipped, taken ? 0 : 1);
    QCOMPARE(r.records.animals.contains("12345678"), taken);
    QVERIFY(r.records.animals.contains("2"));
}

void TestDelavalAnswer::lifeNumbers_data()
{
    QTest::addColumn<QStringList>("registrations");
    QTest::addColumn<QStringList>("lifeNumbers");
    QTest::addColumn<bool>("shortNumbers");

    QTest::newRow("prefix, blanks and leading zero")
        << QStringList{"CZ 012345 678", "012345678", " 12345678 "} << QStringList{"12345678"} << true;
    QTest::newRow("one nine-digit number makes the run long")
        << QStringList{"CZ 1", "DE 0123456789", "CZ 2"} << QStringList{"1", "123456789", "2"} << false;
    QTest::newRow("no digits, unknown, empty, zeros, too large: no animal")
        << QStringList{"CZ", "???????????????", "", "000", "99999999999999999999", "CZ 5"} << QStringList{"5"}
        << true;
    QTest::newRow("largest 64-bit value")
        << QStringList{"9223372036854775807"} << QStringList{"9223372036854775807"} << false;
}

void TestDelavalAnswer::lifeNumbers()
{
    QFETCH(QStringList, registrations);
    QFETCH(QStringList, lifeNumbers);
    QFETCH(bool, shortNumbers);
    QStringList lines;
    int cow = 1;
    for (const QString &reg : registrations)
        lines << Line().set(Cow, QString::number(cow++)).set(CowId, reg).text();
    const delaval::HerdReading r = read(lines, rules(30));
    QStringList keys = r.records.animals.keys();
    std::sort(lifeNumbers.begin(), lifeNumbers.end());
    QCOMPARE(keys, lifeNumbers);
    QCOMPARE(r.shortNumbers, shortNumbers);
    for (auto it = r.records.animals.cbegin(); it != r.records.animals.cend(); ++it)
        QCOMPARE(it->cislo, it.key());
}

void TestDelavalAnswer::dateCorrections_data()
{
    QTest::addColumn<QDate>("calving");
    QTest::addColumn<QDate>("insemination");
    QTest::addColumn<QDate>("check");
    QTest::addColumn<QDate>("dryOff");
    QTest::addColumn<QDate>("abortion");
    // What is left after the corrections.
    QTest::addColumn<bool>("inseminationKept");
    QTest::addColumn<bool>("checkKept");
    QTest::addColumn<bool>("dryOffKept");
    QTest::addColumn<bool>("abortionKept");

    const QDate c(2024, 3, 1);
    QTest::newRow("all after the calving") << c << c.addDays(40) << c.addDays(70) << c.addDays(50)
                                           << c.addDays(60) << true << true << true << true;
    QTest::newRow("insemination before the calving")
        << c << c.addDays(-20) << c.addDays(10) << QDate() << c.addDays(5) << false << true << false << true;
    QTest::newRow("check, dry-off, abortion before the calving")
        << c << c.addDays(10) << c.addDays(-1) << c.addDays(-60) << c.addDays(-30) << true << false << false
        << false;
    QTest::newRow("abortion before the insemination")
        << c << c.addDays(40) << QDate() << QDate() << c.addDays(39) << true << false << false << false;
    QTest::newRow("abortion on the insemination day")
        << c << c.addDays(40) << QDate() << QDate() << c.addDays(40) << true << false << false << true;
    QTest::newRow("no calving: nothing dropped for it")
        << QDate() << c << c.addDays(-300) << c.addDays(-200) << c.addDays(1) << true << true << true << true;
}

void TestDelavalAnswer::dateCorrections()
{
    QFETCH(QDate, calving);
    QFETCH(QDate, insemination);
    QFETCH(QDate, check);
    QFETCH(QDate, dryOff);
    QFETCH(QDate, abortion);
    QFETCH(bool, inseminationKept);
    QFETCH(bool, checkKept);
    QFETCH(bool, dryOffKept);
    QFETCH(bool, abortionKept);

    Line line;
    line.date(CalvingDate, calving).date(InseminationDate, insemination).date(PregnancyDate, check);
    line.date(DryDate, dryOff)
        .date(AbortionDate, abortion)
        .set(SireName, "HO-444 649")
        .set(InseminationNo, "2");
    line.set(Pregnant, "1");
    const delaval::HerdReading r = read({line.text()}, rules(3650));

    QCOMPARE(r.records.inseminations.size(), inseminationKept ? 1 : 0);
    QCOMPARE(r.known.contains("12345678", insemination), inseminationKept);
    if (inseminationKept) {
        QCOMPARE(r.records.inseminations.at(0).byk, QString("ho444649"));
        QCOMPARE(r.records.inseminations.at(0).poradi, QVariant(2));
        QCOMPARE(r.records.inseminations.at(0).druh, QVariant(1));
    }
    QList<int> kinds;
    for (const PregnancyEvent &p : r.records.pregnancies) {
        kinds << p.druh.toInt();
        QCOMPARE(p.datum, p.druh.toInt() == 4 ? abortion : check);
    }
    QList<int> expected;
    if (checkKept)
        expected << 1;
    if (abortionKept)
        expected << 4;
    QCOMPARE(kinds, expected);
    QCOMPARE(r.records.dryOffs.size(), dryOffKept ? 1 : 0);
    // The sire goes with the insemination it belongs to.
    delaval::CowLine cow;
    QVERIFY(delaval::readCowLine(line.text(), &cow));
    QCOMPARE(cow.sire, inseminationKept ? QString("ho444649") : QString(""));
}

void TestDelavalAnswer::unknownValues()
{
    // Unknown texts stay unknown; the ordinal and the two flags read as 0, as does an empty flag.
    for (const QString &flag : {QStringLiteral("?"), QString()}) {
        Line line;
        line.set(Cow, "??????").date(InseminationDate, Today.addDays(-3)).set(PregnancyDate, "13.05.2024");
        line.set(SireName, "???????????????").set(InseminationNo, flag + flag).set(Pregnant, flag);
        line.set(SlaughterFlag, flag);
        const delaval::HerdReading r = read({line.text()}, rules(30));
        const Animal a = r.records.animals.value("12345678");
        QVERIFY(a.tech_cislo.isNull());
        QCOMPARE(a.vyrazena, QVariant("0"));
        QVERIFY(a.transponder.isNull());
        QCOMPARE(r.records.inseminations.size(), 1);
        QCOMPARE(r.records.inseminations.at(0).poradi, QVariant(0));
        QVERIFY(r.records.inseminations.at(0).byk.isNull());
        // A check without a known result is sent as an open one.
        QCOMPARE(r.records.pregnancies.size(), 1);
        QCOMPARE(r.records.pregnancies.at(0).druh, QVariant(2));
    }

    // Known flags: a slaughter flag above 0 marks the cow, a pregnancy flag other than 1 is open.
    Line known;
    known.set(SlaughterFlag, "1").set(Pregnant, "0").set(PregnancyDate, "13.05.2024");
    const delaval::HerdReading k = read({known.text()}, rules(30));
    QCOMPARE(k.records.animals.value("12345678").vyrazena, QVariant("1"));
    QCOMPARE(k.records.animals.value("12345678").tech_cislo, QVariant("7"));
    QCOMPARE(k.records.pregnancies.size(), 1);
    QCOMPARE(k.records.pregnancies.at(0).druh, QVariant(2));
    QCOMPARE(read({known.set(SlaughterFlag, "0").text()}, rules(30)).records.animals.first().vyrazena,
             QVariant("0"));
    // A blank parlour number is as unknown as "??????".
    const delaval::HerdReading blank = read({known.set(Cow, "  ").text()}, rules(30));
    QVERIFY(blank.records.animals.first().tech_cislo.isNull());
}

void TestDelavalAnswer::sendWindow_data()
{
    QTest::addColumn<int>("sendDays");
    QTest::addColumn<int>("insDays");
    QTest::addColumn<int>("eventsSent");
    QTest::addColumn<bool>("known");
    // Events dated on the window's first day and one day before it.
    QTest::newRow("window of 10 days") << 10 << 30 << 4 << true;
    QTest::newRow("window of 11 days") << 11 << 30 << 8 << true;
    QTest::newRow("nothing sent, animals still") << 0 << 30 << 0 << true;
    QTest::newRow("no download: no known inseminations") << 10 << 0 << 4 << false;
}

void TestDelavalAnswer::sendWindow()
{
    QFETCH(int, sendDays);
    QFETCH(int, insDays);
    QFETCH(int, eventsSent);
    QFETCH(bool, known);
    QStringList lines;
    const QDate calving = Today.addDays(-100);
    for (int cow = 1; cow <= 2; ++cow) {
        const QDate d = Today.addDays(cow == 1 ? -10 : -11);
        Line l;
        l.set(Cow, QString::number(cow)).set(CowId, QString::number(100 + cow)).date(CalvingDate, calving);
        l.date(InseminationDate, d).date(PregnancyDate, d).set(Pregnant, "1").date(DryDate, d);
        l.date(AbortionDate, d);
        lines << l.text();
    }
    const delaval::HerdReading r = read(lines, rules(sendDays, insDays));
    QCOMPARE(r.records.animals.size(), 2);
    const int sent = r.records.inseminations.size() + r.records.pregnancies.size() + r.records.dryOffs.size();
    QCOMPARE(sent, eventsSent);
    QCOMPARE(r.known.size(), known ? 2 : 0);
    QVERIFY(r.records.plans.isEmpty());
}

void TestDelavalAnswer::milkPeriods_data()
{
    QTest::addColumn<QString>("milk1");
    QTest::addColumn<QString>("milkY1");
    QTest::addColumn<QString>("milk2");
    QTest::addColumn<QString>("csv");
    const QString head = "USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n";
    QTest::newRow("today's and yesterday's morning summed, today's time kept")
        << "6,20"
        << "6,10"
        << "9,04" << head + "12345678,1,20240514 05:01:02,,12.3\n12345678,2,20240514 16:30:00,,9.0\n";
    QTest::newRow("milk 0 and unknown milk count nothing") << "0,00"
                                                           << "????"
                                                           << "0,00" << head;
    QTest::newRow("only yesterday's") << "????"
                                      << "7,50"
                                      << "????" << head + "12345678,1,20240513 04:58:00,,7.5\n";
}

void TestDelavalAnswer::milkPeriods()
{
    QFETCH(QString, milk1);
    QFETCH(QString, milkY1);
    QFETCH(QString, milk2);
    QFETCH(QString, csv);
    Line line;
    line.set(RealDate, "14.05.2024").set(Milk1, milk1).set(Time1, "05:01:02").set(MilkY1, milkY1);
    line.set(TimeY1, "04:58:00").set(Milk2, milk2).set(Time2, "16:30:00").set(MilkY2, "8,00");
    line.set(TimeY2, "16:40:00").set(Milk3, "3,00").set(Time3, "20:00:00");
    delaval::ReadingRules r = rules(30);
    r.fetchYields = true;
    // Period 1: yesterday 00:00 to today 10:59:59; period 2: today only; period 3 not in use.
    r.periods[0] = milkingPeriod(true, 1, 0, 0, 10, Today);
    r.periods[1] = milkingPeriod(true, 0, 11, 0, 23, Today);
    r.periods[2] = milkingPeriod(false, 0, 0, 0, 23, Today);
    const delaval::HerdReading h = read({line.text()}, r);
    QCOMPARE(milkYieldCsv(h.milk[0], h.milk[1], h.milk[2]), csv);

    // Without FetchYields nothing is collected.
    r.fetchYields = false;
    const delaval::HerdReading none = read({line.text()}, r);
    QVERIFY(none.milk[0].empty() && none.milk[1].empty() && none.milk[2].empty());
}

// A life number on two lines with another cow between them, and numbers not in key order: the
// maps hold the last line's animal, both lines' milk with the first line's time, and the events
// stay in reading order.
void TestDelavalAnswer::repeatedNumberOutOfOrder()
{
    const auto cow = [](const QString &number, const QString &registration, const QString &milk,
                        const QString &time, const QDate &insemination) {
        return Line()
            .set(Cow, number)
            .set(CowId, registration)
            .set(RealDate, "14.05.2024")
            .set(Milk1, milk)
            .set(Time1, time)
            .date(InseminationDate, insemination)
            .text();
    };
    const QStringList lines{cow("20", "CZ 300", "5,00", "05:01:02", Today.addDays(-3)),
                            cow("10", "CZ 1000", "2,00", "05:10:00", Today.addDays(-2)),
                            cow("9", "CZ 20", "1,00", "05:20:00", Today.addDays(-4)),
                            cow("21", "CZ 0300", "1,50", "05:30:00", Today.addDays(-1))};
    delaval::ReadingRules r = rules(30);
    r.fetchYields = true;
    r.periods[0] = milkingPeriod(true, 0, 0, 0, 10, Today);
    const delaval::HerdReading h = read(lines, r);

    QCOMPARE(h.cows, 4);
    QCOMPARE(h.records.animals.keys(), (QStringList{"1000", "20", "300"}));
    QCOMPARE(h.records.animals.value("300").tech_cislo.toString(), QStringLiteral("21"));
    QCOMPARE(h.records.animals.value("20").tech_cislo.toString(), QStringLiteral("9"));
    QCOMPARE(milkYieldCsv(h.milk[0], {}, {}),
             QStringLiteral("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n"
                            "1000,1,20240514 05:10:00,,2.0\n"
                            "20,1,20240514 05:20:00,,1.0\n"
                            "300,1,20240514 05:01:02,,6.5\n"));

    QStringList order;
    for (const Insemination &i : h.records.inseminations)
        order << i.cislo + "@" + i.datum.toString(Qt::ISODate);
    QCOMPARE(order, (QStringList{"300@2024-05-11", "1000@2024-05-12", "20@2024-05-10", "300@2024-05-13"}));
    QVERIFY(h.known.contains("300", Today.addDays(-1)));
    QVERIFY(h.known.contains("300", Today.addDays(-3)));
}

void TestDelavalAnswer::writeBack_data()
{
    QTest::addColumn<QString>("cowNumber");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QVariant>("ordinal");
    QTest::addColumn<QVariant>("bull");
    QTest::addColumn<QString>("line"); // empty: not written

    const QDate d(2024, 5, 2);
    QTest::newRow("two-digit cow") << "12" << d << QVariant(3) << QVariant("CZ 61317")
                                   << "VN390006    1220240502 3       CZ 61317";
    QTest::newRow("no bull, ordinal 0")
        << "4711" << d << QVariant(0) << QVariant() << "VN390006  471120240502 0???????????????";
    QTest::newRow("no ordinal, empty bull")
        << "4711" << d << QVariant() << QVariant("") << "VN390006  471120240502 0               ";
    QTest::newRow("ordinal of three digits written whole")
        << "1" << d << QVariant(100) << QVariant("x") << "VN390006     120240502100              x";
    QTest::newRow("invalid date: not written")
        << "123456" << QDate() << QVariant(12) << QVariant("HOL") << "";
    QTest::newRow("long bull kept whole") << "5" << d << QVariant(1) << QVariant("0123456789ABCDEFG")
                                          << "VN390006     520240502 10123456789ABCDEFG";
    QTest::newRow("cow number wider than its field written whole")
        << "1234567" << d << QVariant(1) << QVariant("x") << "VN390006123456720240502 1              x";
    QTest::newRow("cow unknown to the milking system") << "" << d << QVariant(1) << QVariant("x") << "";
}

void TestDelavalAnswer::writeBack()
{
    QFETCH(QString, cowNumber);
    QFETCH(QDate, date);
    QFETCH(QVariant, ordinal);
    QFETCH(QVariant, bull);
    QFETCH(QString, line);

    const QDate known(2024, 4, 1);
    KnownInseminations k;
    k.insert("100", known);
    QMap<QString, Animal> cows{{"100", {"100", "9", {}, {}}}, {"200", {"200", cowNumber, {}, {}}}};
    const QList<DownloadedInsemination> rows{downloaded("100", known, 1, "a"), // held already
                                             downloaded("200", date, ordinal, bull),
                                             downloaded("300", date, 1, "b")}; // no such cow
    const delaval::WriteBackRecords out = delaval::writeBackRecords(rows, k, cows);
    QCOMPARE(out.lines, line.isEmpty() ? QStringList() : QStringList{line});
    QCOMPARE(out.Written, line.isEmpty() ? 0 : 1);
    // A line is never shorter than its layout, longer only by what did not fit.
    const int over = qMax(0, cowNumber.size() - 6) + qMax(0, ordinal.toString().size() - 2) +
                     qMax(0, bull.toString().size() - 15);
    for (const QString &l : out.lines)
        QCOMPARE(l.size(), 39 + over);
}

STABLOMAT_TEST_MAIN_CORE(TestDelavalAnswer)
#include "tst_delavalanswer.moc"
