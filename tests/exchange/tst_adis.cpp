#include "adapters/afikim/afikimreport.h"
#include "adapters/delaval/delavalexchange.h"
#include "adapters/delaval/delavalformat.h"
#include "adapters/taurus/taurusexchange.h"
#include "adapters/uniform/herdmetrixdb.h"
#include "adapters/westfalia/westfaliaanswers.h"
#include "adapters/westfalia/westfaliaformat.h"
#include "common/testsupport.h"
#include "exchange/adis.h"
#include "exchange/answerfields.h"

#include <QTextCodec>

namespace {

// DeLaval write-back record.
const adis::Entity WriteBack("390006", {{"00300001", 6, 0, " cow"},
                                        {"00300357", 8, 0, "ins"},
                                        {"00300037", 2, 0, "insp"},
                                        {"00300374", 15, 0, "sire name"}});

// DeLaval sender header.
const adis::Entity DelavalHeader("990001", {{"00900006", 24, 0, "sender"},
                                            {"00900009", 8, 0, "data dic"},
                                            {"00900002", 8, 0, "version"},
                                            {"00900009", 8, 0, "data dic"},
                                            {"00900002", 8, 0, "version"}});

// Taurus general cow, the thirteen items of the Lely request.
const adis::Entity GeneralCow("201863", {{"00201896", 6, 0},
                                         {"00201812", 15, 0},
                                         {"00200064", 2, 0},
                                         {"00201695", 8, 0},
                                         {"00200042", 8, 0},
                                         {"00200050", 8, 0},
                                         {"00200513", 8, 0},
                                         {"00201743", 8, 0},
                                         {"00900085", 1, 0},
                                         {"00900059", 8, 0},
                                         {"00202461", 15, 0},
                                         {"00989217", 15, 0},
                                         {"00900058", 2, 0}});

// DairyPlan insemination event.
const adis::Entity Event =
    adis::Entity::named({{"COW", 6, 0}, {"SRVDAT", 9}, {"SrvCount", 6, 0}, {"ai", 2}, {"srvsire", 15}});

// DairyPlan reproduction answer.
const adis::Entity Reproduction = adis::Entity::named(
    {{"COW", 6},    {"Reg1", 16},   {"resp", 16},    {"typ", 3},    {"SIRE", 16},   {"DAM", 16},
     {"st", 3},     {"Gp", 3},      {"bd", 4},       {"NAME", 12},  {"BIRDAT", 9},  {"CLVDAT", 9},
     {"LACTNO", 3}, {"SRVDAT", 9},  {"SrvCount", 6}, {"PRGDAT", 9}, {"prgdiag", 2}, {"DRYDAT", 9},
     {"abtdat", 9}, {"ai", 2},      {"GateD", 9},    {"G1", 2},     {"G2", 2},      {"G3", 2},
     {"G4", 2},     {"SelCount", 4}});

// The text a writer makes of one downloaded insemination of cow 7 (life number 100) whose `field`
// holds the value.
QString writtenBy(const QString &writer, const QString &field, const QString &value)
{
    DownloadedInsemination row;
    row.cislo = field == "life" ? value : QStringLiteral("100");
    row.datum = QDate(2024, 5, 10);
    row.poradi = 2;
    row.byk = field == "bull" ? value : QStringLiteral("HO 444649");
    row.byk_jmeno = field == "name" ? value : QStringLiteral("Balisto");
    const QString cow = field == "cow" ? value : QStringLiteral("7");
    // A Fullwood cow id is the animal's number in the cloud as well.
    if (writer.startsWith("Taurus") && field == "cow")
        row.cislo = value;
    const QMap<QString, QString> cows{{row.cislo, cow}};
    QMap<QString, Animal> animals;
    animals[row.cislo].cislo = row.cislo;
    animals[row.cislo].tech_cislo = cow;
    if (writer == "DeLaval")
        return delaval::recordFileText(delaval::writeBackRecords({row}, {}, animals).lines);
    if (writer == "DairyPlan")
        return westfalia::modifyRequestText(westfalia::eventLines({row}, {}, animals));
    if (writer == "Taurus")
        return taurus::writeBackRequestText(QDateTime(row.datum, QTime(8, 0)),
                                            taurus::fullwoodWriteBackLines({row}, {}, animals));
    if (writer == "Taurus copy") {
        QTemporaryDir dir;
        const QString path = dir.filePath("tau_ms_ins.txt");
        if (!taurus::writeInsCopy(path, taurus::fullwoodWriteBackLines({row}, {}, animals)))
            return QString();
        QString text = QTextCodec::codecForName("Windows-1250")->toUnicode(readWholeFile(path));
        return text.replace("\r\n", "\n");
    }
    if (writer == "AfiFarm")
        return afikim::importFile({row}, {}, cows).text;
    return uniform::logLine(true, row);
}

} // namespace

Q_DECLARE_METATYPE(adis::Entity)

class TestAdis : public QObject
{
    Q_OBJECT

private slots:
    void hostileValues_data();
    void hostileValues();
    void definitionLines_data();
    void definitionLines();
    void validity_data();
    void validity();
    void writeBackValueLine_data();
    void writeBackValueLine();
    void delavalHeaderBlock();
    void dairyPlanEventLine_data();
    void dairyPlanEventLine();
    void overflow();
    void positions_data();
    void positions();
    void selectLines_data();
    void selectLines();
    void cutValues_data();
    void cutValues();
    void roundTrip();
};

void TestAdis::definitionLines_data()
{
    QTest::addColumn<QString>("built");
    QTest::addColumn<QString>("expected");
    QTest::newRow("DeLaval write-back DN") << WriteBack.definition()
                                           << QStringLiteral("DN390006003000010600030035708000300037020"
                                                             "00300374150");
    QTest::newRow("DeLaval write-back caption")
        << WriteBack.captionLine() << QStringLiteral("CN      | cow      |ins       |insp      |sire name");
    QTest::newRow("Lely RN") << GeneralCow.request()
                             << QStringLiteral(
                                    "RN20186300201896060002018121500020006402000201695080002000420800020"
                                    "00500800020051308000201743080009000850100090005908000202461150009"
                                    "8921715000900058020");
    const adis::Entity fullwood("201863", GeneralCow.items().mid(0, 10));
    QTest::newRow("Fullwood RN") << fullwood.request()
                                 << QStringLiteral(
                                        "RN201863002018960600020181215000200064020002016950800020004208000"
                                        "20005008000200513080002017430800090008501000900059080");
    const adis::Entity fullwoodEvidence("201863", {{"00201896", 6, 0}, {"00200050", 8, 0}});
    QTest::newRow("Fullwood DN") << fullwoodEvidence.definition() << "DN2018630020189606000200050080";
    const adis::Entity westfaliaHeader("000000", {{"00000000", 8, 0},
                                                  {"00900006", 24, 0},
                                                  {"00900008", 8, 0},
                                                  {"00900003", 8, 0},
                                                  {"00900004", 6, 0}});
    QTest::newRow("Westfalia DH") << westfaliaHeader.headerDefinition()
                                  << "DH0000000000000008000900006240009000080800090000308000900004060";
    QTest::newRow("Westfalia VH") << adis::ValueLine(westfaliaHeader, true)
                                         .text("DD:")
                                         .text("Velmorin")
                                         .text("5.50")
                                         .text("20010112")
                                         .text("102200")
                                         .toString()
                                  << "VH000000DD:     Velmorin                5.50    20010112102200";
    QTest::newRow("DairyPlan named DN")
        << Event.definition() << "DN     0COW\\6.0,SRVDAT\\9,SrvCount\\6.0,ai\\2,srvsire\\15";
    const adis::Entity closed("000001", {{"00000001", 3, 0, "cow"}, {"00000002", 3, 0, "M TIM Y4"}});
    QTest::newRow("closed caption") << closed.captionLine(true) << "CN      |cow       |M TIM Y4  |";
}

void TestAdis::definitionLines()
{
    QFETCH(QString, built);
    QFETCH(QString, expected);
    QCOMPARE(built, expected);
}

void TestAdis::validity_data()
{
    QTest::addColumn<adis::Entity>("entity");
    QTest::addColumn<bool>("valid");
    QTest::newRow("write-back") << WriteBack << true;
    QTest::newRow("named") << Event << true;
    QTest::newRow("short entity number") << adis::Entity("39006", {{"00300001", 6, 0}}) << false;
    QTest::newRow("item number of 7 digits") << adis::Entity("390006", {{"0030001", 6, 0}}) << false;
    QTest::newRow("width of 3 digits") << adis::Entity("390006", {{"00300001", 100, 0}}) << false;
    QTest::newRow("width 0") << adis::Entity("390006", {{"00300001", 0, 0}}) << false;
    QTest::newRow("decimals 10") << adis::Entity("390006", {{"00300001", 6, 10}}) << false;
    QTest::newRow("no items") << adis::Entity("390006", {}) << false;
    QTest::newRow("name with comma") << adis::Entity::named({{"A,B", 2}}) << false;
    QTest::newRow("wide named field") << adis::Entity::named({{"IMWt", 420}}) << true;
}

void TestAdis::validity()
{
    QFETCH(adis::Entity, entity);
    QFETCH(bool, valid);
    QCOMPARE(entity.isValid(), valid);
}

void TestAdis::writeBackValueLine_data()
{
    QTest::addColumn<QString>("cow");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<int>("ordinal");
    QTest::addColumn<QString>("sire");
    QTest::addColumn<QString>("expected");
    QTest::newRow("full") << "1234" << QDate(2024, 3, 5) << 2 << "HOL123"
                          << "VN390006  123420240305 2         HOL123";
    QTest::newRow("two-digit cow, no sire, ordinal 0")
        << "12" << QDate(2024, 3, 5) << 0 << QString() << "VN390006    1220240305 0???????????????";
    QTest::newRow("invalid date") << "99999" << QDate() << 11 << "ABCDEFGHIJKLMNO"
                                  << "VN390006 99999????????11ABCDEFGHIJKLMNO";
}

void TestAdis::writeBackValueLine()
{
    QFETCH(QString, cow);
    QFETCH(QDate, date);
    QFETCH(int, ordinal);
    QFETCH(QString, sire);
    QFETCH(QString, expected);
    adis::ValueLine line(WriteBack);
    line.code(cow).date(date).number(ordinal > 0 ? ordinal : 0).code(sire);
    QCOMPARE(line.toString(), expected);
    QCOMPARE(line.toString().size(), 39);
    QVERIFY(!line.overflowed());
    QVERIFY(!line.tooManyValues());
}

void TestAdis::delavalHeaderBlock()
{
    const QStringList block{
        adis::comment(QStringLiteral("                   FILE FOR DELAVAL-VELMORIN COMMUNICATION")),
        adis::comment(QStringLiteral("------------------")),
        adis::comment(QStringLiteral(" Sender information")),
        adis::comment(QStringLiteral("      |sender    |data dic  |version   |data dic |version")),
        DelavalHeader.headerDefinition(),
        adis::ValueLine(DelavalHeader, true)
            .text(" DeLaval AB Alpro/ISO")
            .text("Alpro_DD")
            .text("  6.40")
            .text("aa_Alpro")
            .text("  5.0")
            .toString(),
    };
    const QString expected =
        QStringLiteral("CN                   FILE FOR DELAVAL-VELMORIN COMMUNICATION\n"
                       "CN------------------\n"
                       "CN Sender information\n"
                       "CN      |sender    |data dic  |version   |data dic |version\n"
                       "DH99000100900006240009000090800090000208000900009080009000020"
                       "80\n"
                       "VH990001 DeLaval AB Alpro/ISO   Alpro_DD  6.40  aa_Alpro  5.0   \n");
    QCOMPARE(adis::fileText(block), expected);
}

void TestAdis::dairyPlanEventLine_data()
{
    QTest::addColumn<QString>("cow");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QVariant>("ordinal");
    QTest::addColumn<QString>("sire");
    QTest::addColumn<QString>("expected");
    QTest::newRow("full, long sire cut")
        << "482" << QDate(2024, 2, 29) << QVariant(3) << "HOLSTEINBULL12345678"
        << "VN     0   48220240229      3 3HOLSTEINBULL123";
    QTest::newRow("null ordinal and sire") << "482" << QDate(2024, 2, 29) << QVariant() << QString()
                                           << "VN     0   48220240229 ?????? 0???????????????";
    QTest::newRow("ordinal 0, invalid date") << "7" << QDate() << QVariant(0) << "B1"
                                             << "VN     0     7??????????????? 0             B1";
}

void TestAdis::dairyPlanEventLine()
{
    QFETCH(QString, cow);
    QFETCH(QDate, date);
    QFETCH(QVariant, ordinal);
    QFETCH(QString, sire);
    QFETCH(QString, expected);
    adis::ValueLine line(Event);
    line.code(cow).date(date);
    if (ordinal.toInt() > 0)
        line.number(ordinal.toInt());
    else
        line.unknown();
    line.number(ordinal.isNull() ? 0 : ordinal.toInt());
    line.code(sire, adis::ValueLine::Overflow::Cut);
    QCOMPARE(line.toString(), expected);
    QCOMPARE(line.toString().size(), Event.lineLength());
}

void TestAdis::overflow()
{
    adis::ValueLine kept(WriteBack);
    kept.code("1234567").date(QDate(2024, 1, 2));
    QVERIFY(kept.overflowed());
    QCOMPARE(kept.toString(), "VN390006123456720240102?????????????????");

    adis::ValueLine cut(WriteBack);
    cut.code("1234567", adis::ValueLine::Overflow::Cut);
    QVERIFY(!cut.overflowed());
    QVERIFY(cut.toString().startsWith("VN390006123456?"));

    adis::ValueLine extra(WriteBack);
    extra.number(1).number(2).number(3).number(4).number(5);
    QVERIFY(extra.tooManyValues());
    QCOMPARE(extra.toString().size(), 39);
}

void TestAdis::positions_data()
{
    QTest::addColumn<adis::Entity>("entity");
    QTest::addColumn<QList<int>>("offsets");
    QTest::addColumn<int>("length");
    QTest::newRow("general cow") << GeneralCow
                                 << QList<int>{8, 14, 29, 31, 39, 47, 55, 63, 71, 72, 80, 95, 110} << 112;
    QTest::newRow("reproduction answer")
        << Reproduction << QList<int>{8,   14,  30,  46,  49,  65,  81,  84,  87,  91,  103, 112, 121,
                                      124, 133, 139, 148, 150, 159, 168, 170, 179, 181, 183, 185, 187}
        << 191;
}

void TestAdis::positions()
{
    QFETCH(adis::Entity, entity);
    QFETCH(QList<int>, offsets);
    QFETCH(int, length);
    QCOMPARE(entity.size(), offsets.size());
    for (int k = 0; k < offsets.size(); ++k)
        QCOMPARE(entity.offset(k), offsets.at(k));
    QCOMPARE(entity.lineLength(), length);
}

void TestAdis::selectLines_data()
{
    QTest::addColumn<adis::Entity>("entity");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("selected");
    QTest::newRow("value line") << GeneralCow << "VN201863   123" << true;
    QTest::newRow("other entity") << GeneralCow << "VN201861   123" << false;
    QTest::newRow("definition") << GeneralCow << "DN20186300201896060" << false;
    QTest::newRow("header value") << GeneralCow << "VH201863   123" << false;
    QTest::newRow("comment") << GeneralCow << "CN VN201863" << false;
    QTest::newRow("prefix only") << GeneralCow << "VN201863" << true;
    QTest::newRow("short prefix") << GeneralCow << "VN2018" << false;
    QTest::newRow("empty") << GeneralCow << "" << false;
    QTest::newRow("named, blank-padded") << Reproduction << "VN     0   482" << true;
    QTest::newRow("named, zero-padded") << Reproduction << "VN000000   482" << true;
    QTest::newRow("named, other entity") << Reproduction << "VN     1   482" << false;
    QTest::newRow("named, blanks only") << Reproduction << "VN         482" << false;
    QTest::newRow("named, inner blank") << Reproduction << "VN00 000   482" << false;
}

void TestAdis::selectLines()
{
    QFETCH(adis::Entity, entity);
    QFETCH(QString, line);
    QFETCH(bool, selected);
    adis::Values values;
    QCOMPARE(entity.cut(line, &values), selected);
    QCOMPARE(entity.isValueLine(line + QLatin1Char('\r')), selected);
}

void TestAdis::cutValues_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<bool>("complete");
    const QString full = "VN201863   123  CZ 012 345678 2" + QStringLiteral("20200101") + "20230405" +
                         "2023062020231101????????" + "1" + "20230801" + QString(15, ' ') + QString(15, '?') +
                         "01";
    const QStringList fullFields{"123",      "CZ 012 345678",  "2",        "20200101", "20230405",
                                 "20230620", "20231101",       "????????", "1",        "20230801",
                                 "",         QString(15, '?'), "01"};
    QTest::newRow("LF") << full << fullFields << true;
    QTest::newRow("CR LF") << full + "\r" << fullFields << true;
    QTest::newRow("line ends early") << full.left(95) << fullFields.mid(0, 10) + QStringList{"", "", ""}
                                     << false;
    QTest::newRow("cut in a date")
        << full.left(50)
        << QStringList{"123", "CZ 012 345678", "2", "20200101", "20230405", "202", "", "", "", "", "", "", ""}
        << false;
    QTest::newRow("prefix only") << "VN201863"
                                 << QStringList{"", "", "", "", "", "", "", "", "", "", "", "", ""} << false;
    QTest::newRow("all unknown") << "VN201863" + QString(104, '?')
                                 << QStringList{QString(6, '?'), QString(15, '?'), QString(2, '?'),
                                                QString(8, '?'), QString(8, '?'),  QString(8, '?'),
                                                QString(8, '?'), QString(8, '?'),  QString(1, '?'),
                                                QString(8, '?'), QString(15, '?'), QString(15, '?'),
                                                QString(2, '?')}
                                 << true;
}

void TestAdis::cutValues()
{
    QFETCH(QString, line);
    QFETCH(QStringList, fields);
    QFETCH(bool, complete);
    adis::Values values;
    QVERIFY(GeneralCow.cut(line, &values));
    QCOMPARE(values.size(), fields.size());
    for (int k = 0; k < fields.size(); ++k)
        QCOMPARE(values.at(k), fields.at(k));
    QCOMPARE(values.isComplete(), complete);
    QCOMPARE(values.at(99), QString());
    // Dates cut short or unknown are invalid, never garbage.
    for (int k : {4, 5, 6, 9}) {
        const QDate d = parseDate(values.at(k));
        QCOMPARE(d.isValid(), fields.at(k).size() == 8 && !fields.at(k).contains('?'));
    }
}

void TestAdis::roundTrip()
{
    // Widths typed once: a line built from a table is cut back into the same values.
    const adis::Entity e = adis::Entity::named({{"COW", 6}, {"Reg1", 16}, {"CLVDAT", 9}, {"st", 3}});
    const QString line =
        adis::ValueLine(e).code("17").code("CZ000123456789").date(QDate(2022, 12, 31)).number(15).toString();
    adis::Values v;
    QVERIFY(e.cut(line, &v));
    QCOMPARE(v.at(e.indexOf("COW")), "17");
    QCOMPARE(v.at(e.indexOf("Reg1")), "CZ000123456789");
    QCOMPARE(parseDate(v.at(e.indexOf("CLVDAT"))), QDate(2022, 12, 31));
    QCOMPARE(v.at(e.indexOf("st")).toInt(), 15);
    QCOMPARE(e.indexOf("nothing"), -1);
}

void TestAdis::hostileValues_data()
{
    QTest::addColumn<QString>("writerAndField");
    QTest::newRow("DeLaval record file: sire") << QStringLiteral("DeLaval/bull");
    QTest::newRow("DeLaval record file: cow number") << QStringLiteral("DeLaval/cow");
    QTest::newRow("DairyPlan modify request: sire") << QStringLiteral("DairyPlan/bull");
    QTest::newRow("Taurus write-back: cow id") << QStringLiteral("Taurus/cow");
    QTest::newRow("Taurus copy file: cow id") << QStringLiteral("Taurus copy/cow");
    QTest::newRow("AfiFarm import file: bull code") << QStringLiteral("AfiFarm/bull");
    QTest::newRow("AfiFarm import file: bull name") << QStringLiteral("AfiFarm/name");
    QTest::newRow("AfiFarm import file: cow number") << QStringLiteral("AfiFarm/cow");
    QTest::newRow("HerdMetrix log: bull code") << QStringLiteral("HerdMetrix/bull");
    QTest::newRow("HerdMetrix log: life number") << QStringLiteral("HerdMetrix/life");
}

// A value with line breaks and other control characters forges no line of its own in any file
// handed to a milking system.
void TestAdis::hostileValues()
{
    QFETCH(QString, writerAndField);
    const QString writer = writerAndField.section('/', 0, 0);
    const QString field = writerAndField.section('/', 1);
    const QString hostile = QStringLiteral("EVIL\r\nVN390006     920261206 7       INJECTED\t\x01\x1f\x7f") +
                            QChar(0x2028) + QStringLiteral("I:1;2\nVN030579");
    const QString text = writtenBy(writer, field, hostile);
    const QString plain = writtenBy(writer, field, QStringLiteral("EVIL"));
    QCOMPARE(text.count('\n'), plain.count('\n'));
    for (const QChar c : text)
        QVERIFY2(c == '\n' || (c >= ' ' && c.unicode() != 0x7f && c.unicode() != 0x2028), qPrintable(text));
    // The value is there, its control characters blanked.
    QVERIFY2(text.contains("EVIL  VN390006 "), qPrintable(text));
    QVERIFY(!text.contains("\nVN390006     9"));
    QCOMPARE(adis::blankControls(QString()), QString());
}

STABLOMAT_TEST_MAIN_CORE(TestAdis)
#include "tst_adis.moc"
