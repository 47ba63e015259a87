// The Taurus request texts, the reading of general-cow lines into Fullwood records and the
// write-back lines, without a window or a converter.
#include "adapters/taurus/taurusexchange.h"
#include "common/testsupport.h"

#include <QTextCodec>

using namespace taurus;

namespace {

const QDate Today(2024, 5, 14);

// A Fullwood answer line from its ten values as the converter writes them.
QString cowLine(const QStringList &values)
{
    adis::ValueLine line(generalCowRequest(System::Fullwood));
    for (const QString &v : values)
        line.code(v);
    return line.toString();
}

// Cow 12 with herd number 7: calved 2024-01-10, served 2024-03-01, checked pregnant 2024-04-05.
QStringList cow(int k, const QString &value)
{
    QStringList v{"12",       "7",        "2",        "20200101", "20240110",
                  "20240301", "????????", "????????", "1",        "20240405"};
    v[k] = value;
    return v;
}

DownloadedInsemination downloaded(const QString &cislo, const QDate &datum)
{
    DownloadedInsemination row;
    row.cislo = cislo;
    row.datum = datum;
    return row;
}

} // namespace

class TestTaurusFormat : public QObject
{
    Q_OBJECT

private slots:
    void tables();
    void writeBackLine_data();
    void writeBackLine();
    void fullwoodRows_data();
    void fullwoodRows();
    void herdNumbers_data();
    void herdNumbers();
    void records_data();
    void records();
    void writeBackSelection();
    void insCopy();
};

void TestTaurusFormat::tables()
{
    QVERIFY(senderHeader().isValid());
    QVERIFY(generalCow().isValid());
    QVERIFY(generalCowRequest(System::Fullwood).isValid());
    QVERIFY(evidence().isValid());
    QCOMPARE(generalCow().size(), int(item::Count));
    QCOMPARE(generalCowRequest(System::Lely).size(), 13);
    QCOMPARE(generalCowRequest(System::Fullwood).size(), 10);
    // Offsets of the answer layout.
    const int offsets[] = {8, 14, 29, 31, 39, 47, 55, 63, 71, 72, 80, 95, 110};
    for (int k = 0; k < item::Count; ++k)
        QCOMPARE(generalCow().offset(k), offsets[k]);
}

void TestTaurusFormat::writeBackLine_data()
{
    QTest::addColumn<QString>("cowId");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QString>("line");
    QTest::newRow("date") << "12" << QDate(2024, 5, 10) << "VN201863    1220240510";
    QTest::newRow("invalid date: nothing after the cow id") << "12" << QDate() << "VN201863    12";
    QTest::newRow("six characters") << "123456" << QDate(2024, 1, 2) << "VN20186312345620240102";
    QTest::newRow("longer id is not cut") << "1234567" << QDate(2024, 1, 2) << "VN201863123456720240102";
}

void TestTaurusFormat::writeBackLine()
{
    QFETCH(QString, cowId);
    QFETCH(QDate, date);
    QFETCH(QString, line);
    QCOMPARE(taurus::writeBackLine(cowId, date), line);
}

void TestTaurusFormat::fullwoodRows_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("cowId");
    QTest::addColumn<QString>("herdNumber");
    QTest::addColumn<QDate>("insemination");
    QTest::addColumn<QDate>("dryOff");
    QTest::addColumn<QDate>("check");
    QTest::addColumn<QVariant>("result");

    const QDate ins(2024, 3, 1);
    const QDate check(2024, 4, 5);
    using namespace item;
    QTest::newRow("complete") << cowLine(cow(0, "12")) << "12"
                              << "7" << ins << QDate() << check << QVariant(1);
    QTest::newRow("cow id kept as written") << cowLine(cow(CowId, "0012")) << "0012"
                                            << "7" << ins << QDate() << check << QVariant(1);
    QTest::newRow("unknown herd number") << cowLine(cow(HerdNumber, "???????????????")) << "12"
                                         << "" << ins << QDate() << check << QVariant(1);
    QTest::newRow("result 2") << cowLine(cow(PregnancyResult, "2")) << "12"
                              << "7" << ins << QDate() << check << QVariant(2);
    QTest::newRow("blank result") << cowLine(cow(PregnancyResult, " ")) << "12"
                                  << "7" << ins << QDate() << check << QVariant();
    QTest::newRow("result 3") << cowLine(cow(PregnancyResult, "3")) << "12"
                              << "7" << ins << QDate() << check << QVariant();
    QTest::newRow("insemination before calving") << cowLine(cow(InseminationDate, "20240109")) << "12"
                                                 << "7" << QDate() << QDate() << check << QVariant(1);
    QTest::newRow("insemination on the calving day")
        << cowLine(cow(InseminationDate, "20240110")) << "12"
        << "7" << QDate(2024, 1, 10) << QDate() << check << QVariant(1);
    QTest::newRow("dry-off before calving") << cowLine(cow(DryOffDate, "20231201")) << "12"
                                            << "7" << ins << QDate() << check << QVariant(1);
    QTest::newRow("dry-off after calving") << cowLine(cow(DryOffDate, "20240201")) << "12"
                                           << "7" << ins << QDate(2024, 2, 1) << check << QVariant(1);
    QTest::newRow("check before insemination: no result")
        << cowLine(cow(PregnancyCheckDate, "20240229")) << "12"
        << "7" << ins << QDate() << QDate() << QVariant();
    QTest::newRow("check on the insemination day") << cowLine(cow(PregnancyCheckDate, "20240301")) << "12"
                                                   << "7" << ins << QDate() << ins << QVariant(1);
    QTest::newRow("check before calving keeps its result")
        << cowLine(cow(PregnancyCheckDate, "20231201")) << "12"
        << "7" << ins << QDate() << QDate() << QVariant(1);
    QTest::newRow("unknown calving checks nothing") << cowLine(cow(ReferenceDate, "????????")) << "12"
                                                    << "7" << ins << QDate() << check << QVariant(1);
    QTest::newRow("no insemination: check stays") << cowLine(cow(InseminationDate, "????????")) << "12"
                                                  << "7" << QDate() << QDate() << check << QVariant(1);
    QTest::newRow("dates in other forms") << cowLine(cow(InseminationDate, "1.3.2024")) << "12"
                                          << "7" << ins << QDate() << check << QVariant(1);
    // Short and malformed lines: empty values, invalid dates.
    QTest::newRow("prefix only") << "VN201863"
                                 << ""
                                 << "" << QDate() << QDate() << QDate() << QVariant();
    QTest::newRow("cut in the herd number") << "VN201863    12   7"
                                            << "12"
                                            << "7" << QDate() << QDate() << QDate() << QVariant();
    QTest::newRow("cut in a date") << cowLine(cow(0, "12")).left(52) << "12"
                                   << "7" << QDate() << QDate() << QDate() << QVariant();
    QTest::newRow("garbage") << "VN201863\t\tx?\x01"
                                "abc%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%"
                             << "x?\001a"
                             << "bc%%%%%%%%%%%%%" << QDate() << QDate() << QDate() << QVariant();
}

void TestTaurusFormat::fullwoodRows()
{
    QFETCH(QString, line);
    QFETCH(QString, cowId);
    QFETCH(QString, herdNumber);
    QFETCH(QDate, insemination);
    QFETCH(QDate, dryOff);
    QFETCH(QDate, check);
    QFETCH(QVariant, result);
    adis::Values v;
    QVERIFY(generalCowRequest(System::Fullwood).cut(line, &v));
    const FullwoodRow row = fullwoodRow(v);
    QCOMPARE(row.cowId, cowId);
    QCOMPARE(row.herdNumber, herdNumber);
    QVERIFY(!row.herdNumber.isNull());
    QCOMPARE(row.inseminationDate, insemination);
    QCOMPARE(row.dryOffDate, dryOff);
    QCOMPARE(row.pregnancyCheckDate, check);
    QCOMPARE(row.pregnancyResult, result);
}

void TestTaurusFormat::herdNumbers_data()
{
    QTest::addColumn<QString>("herdNumber");
    QTest::addColumn<QVariant>("tech");
    QTest::newRow("9998") << "9998" << QVariant("9998");
    QTest::newRow("9999") << "9999" << QVariant();
    QTest::newRow("15 digits") << "123456789012345" << QVariant();
    QTest::newRow("leading zeros") << "0042" << QVariant("0042");
    QTest::newRow("empty") << "" << QVariant("");
    QTest::newRow("not a number") << "A12" << QVariant("A12");
}

void TestTaurusFormat::herdNumbers()
{
    QFETCH(QString, herdNumber);
    QFETCH(QVariant, tech);
    const QVariant got = techNumber(herdNumber);
    QCOMPARE(got.isNull(), tech.isNull());
    QCOMPARE(got.toString(), tech.toString());
}

void TestTaurusFormat::records_data()
{
    QTest::addColumn<int>("insDays");
    QTest::addColumn<int>("sendDays");
    QTest::addColumn<int>("known");
    QTest::addColumn<int>("pregnancies");
    QTest::addColumn<int>("dryOffs");
    // Check 2024-04-05 and dry-off 2024-04-20; today 2024-05-14.
    QTest::newRow("nothing sent") << 30 << 0 << 1 << 0 << 0;
    QTest::newRow("window starts on the dry-off") << 0 << 24 << 0 << 0 << 1;
    QTest::newRow("window starts on the check") << -1 << 39 << 1 << 1 << 1;
    QTest::newRow("window starts a day later") << 5 << 38 << 1 << 0 << 1;
}

void TestTaurusFormat::records()
{
    QFETCH(int, insDays);
    QFETCH(int, sendDays);
    QFETCH(int, known);
    QFETCH(int, pregnancies);
    QFETCH(int, dryOffs);
    QStringList first = cow(item::DryOffDate, "20240420");
    first[item::HerdNumber] = "5";
    const QStringList answer{"CN *****",     "VN201861DD",
                             cowLine(first), cowLine(cow(item::DryOffDate, "20240420")),
                             "VN201863",     cowLine(cow(item::CowId, "??????"))};
    const FullwoodHerd herd = fullwoodHerd(answer, insDays, sendDays, Today);

    // The later line of cow 12 replaces the earlier one; lines without an id are no animals.
    QCOMPARE(herd.records.animals.keys(), QStringList{"12"});
    const Animal a = herd.records.animals.value("12");
    QCOMPARE(a.cislo, QStringLiteral("12"));
    QCOMPARE(a.tech_cislo, QVariant("7"));
    QVERIFY(a.transponder.isNull());
    QCOMPARE(a.vyrazena, QVariant("0"));
    QCOMPARE(herd.known.size(), known);
    if (known)
        QVERIFY(herd.known.contains("12", QDate(2024, 3, 1)));
    QVERIFY(herd.records.inseminations.isEmpty());
    QVERIFY(herd.records.plans.isEmpty());
    // Both lines of cow 12 give their events.
    QCOMPARE(herd.records.pregnancies.size(), 2 * pregnancies);
    QCOMPARE(herd.records.dryOffs.size(), 2 * dryOffs);
    for (const PregnancyEvent &p : herd.records.pregnancies) {
        QCOMPARE(p.cislo, QStringLiteral("12"));
        QCOMPARE(p.datum, QDate(2024, 4, 5));
        QCOMPARE(p.druh, QVariant(1));
        QVERIFY(p.udaj1.isNull() && p.udaj2.isNull() && p.udaj3.isNull());
    }
    for (const DryOff &z : herd.records.dryOffs) {
        QCOMPARE(z.datum, QDate(2024, 4, 20));
        QVERIFY(z.udaj.isNull());
    }
}

void TestTaurusFormat::writeBackSelection()
{
    const FullwoodHerd herd = fullwoodHerd({cowLine(cow(0, "12")), cowLine(cow(0, "7"))}, 30, 0, Today);
    const QList<DownloadedInsemination> rows{
        downloaded("12", QDate(2024, 3, 1)),  // the last insemination the system holds
        downloaded("7", QDate(2024, 5, 10)),  // new
        downloaded("99", QDate(2024, 5, 10)), // not in the milking system
        downloaded("12", QDate()),            // no date
        downloaded("12", QDate(2024, 5, 11)), // new
        downloaded("", QDate(2024, 5, 11)),
    };
    QCOMPARE(fullwoodWriteBackLines(rows, herd.known, herd.records.animals),
             (QStringList{"VN201863     720240510", "VN201863    1220240511"}));
    // Without insDays nothing is known.
    const FullwoodHerd unknown = fullwoodHerd({cowLine(cow(0, "12"))}, 0, 0, Today);
    QCOMPARE(fullwoodWriteBackLines(rows.mid(0, 1), unknown.known, unknown.records.animals),
             QStringList{"VN201863    1220240301"});
    // An id of letters alone is an animal, used as written; a blank or unknown one names none.
    const FullwoodHerd lettered = fullwoodHerd(
        {cowLine(cow(0, "AB")), cowLine(cow(0, "??????")), cowLine(cow(0, "      "))}, 0, 0, Today);
    QCOMPARE(lettered.records.animals.keys(), QStringList{"AB"});
    QCOMPARE(fullwoodWriteBackLines({downloaded("AB", QDate(2024, 5, 10))}, lettered.known,
                                    lettered.records.animals),
             QStringList{"VN201863    AB20240510"});
}

void TestTaurusFormat::insCopy()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(insCopyFileName());
    QVERIFY(writeInsCopy(path, {QString::fromUtf8("VN201863   Ř12"), "VN201863    1220240510"}));
    QCOMPARE(readWholeFile(path), QByteArray("VN201863   \xd8"
                                             "12\r\nVN201863    1220240510\r\n"));
    QVERIFY(writeInsCopy(path, {}));
    QVERIFY(QFileInfo(path).isFile());
    QCOMPARE(readWholeFile(path), QByteArray());
}

STABLOMAT_TEST_MAIN_CORE(TestTaurusFormat)
#include "tst_taurusformat.moc"
