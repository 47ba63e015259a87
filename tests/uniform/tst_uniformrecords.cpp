#include "adapters/uniform/herdmetrixdb.h"
#include "common/testsupport.h"

#include <QRegularExpression>

using namespace uniform;

namespace {

const QDate Today(2024, 5, 14);

struct Outcome
{
    bool known = false;
    int pregnancy = 0; // druh, 0 for none
    bool plan = false;
};

} // namespace

class TestUniformRecords : public QObject
{
    Q_OBJECT

private slots:
    void bullCode_data();
    void bullCode();
    void lifeNumbers_data();
    void lifeNumbers();
    void herdNumbers_data();
    void herdNumbers();
    void statement_data();
    void statement();
    void eventRows_data();
    void eventRows();
    void animalMap();
    void dryOffs_data();
    void dryOffs();
    void logLines_data();
    void logLines();
    void newBullArguments();
};

void TestUniformRecords::bullCode_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("normalised");
    QTest::newRow("blank and hyphen") << "HO 444-649"
                                      << "HO444649";
    QTest::newRow("lower case, other order") << "ho-444 649"
                                             << "HO444649";
    QTest::newRow("several blanks") << "  CZE   61317 "
                                    << "CZE61317";
    QTest::newRow("name") << "Jardin ET"
                          << "JARDINET";
    QTest::newRow("only separators") << " - -- "
                                     << "";
    QTest::newRow("tab and slash stay") << "A\tB/C"
                                        << "A\tB/C";
    QTest::newRow("Czech letters") << "čáp-žluť" << QString::fromUtf8("ČÁPŽLUŤ");
    QTest::newRow("empty") << ""
                           << "";
}

void TestUniformRecords::bullCode()
{
    QFETCH(QString, code);
    QFETCH(QString, normalised);
    QCOMPARE(normalisedBullCode(code), normalised);
}

void TestUniformRecords::lifeNumbers_data()
{
    QTest::addColumn<QString>("registration");
    QTest::addColumn<QString>("life");
    QTest::newRow("leading zero kept") << "CZ 012345 678"
                                       << "012345678";
    QTest::newRow("digits only") << "40774216"
                                 << "40774216";
    QTest::newRow("long") << "DE 0991759540"
                          << "0991759540";
    QTest::newRow("no digits") << "ABC"
                               << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestUniformRecords::lifeNumbers()
{
    QFETCH(QString, registration);
    QFETCH(QString, life);
    QCOMPARE(lifeNumber(registration), life);
}

void TestUniformRecords::herdNumbers_data()
{
    QTest::addColumn<QVariant>("nummer");
    QTest::addColumn<QVariant>("sent");
    const QVariant null;
    QTest::newRow("10000 kept") << QVariant("10000") << QVariant("10000");
    QTest::newRow("10001 cleared") << QVariant("10001") << null;
    QTest::newRow("large cleared") << QVariant("123456") << null;
    QTest::newRow("integer column") << QVariant(10001) << null;
    QTest::newRow("zero") << QVariant("0") << QVariant("0");
    QTest::newRow("negative") << QVariant("-20000") << QVariant("-20000");
    QTest::newRow("not a number kept") << QVariant("12a") << QVariant("12a");
    QTest::newRow("too large to parse kept")
        << QVariant("99999999999999999999") << QVariant("99999999999999999999");
    QTest::newRow("empty kept") << QVariant("") << QVariant("");
    QTest::newRow("null stays null") << QVariant(QVariant::String) << null;
}

void TestUniformRecords::herdNumbers()
{
    QFETCH(QVariant, nummer);
    QFETCH(QVariant, sent);
    const QVariant got = herdNumber(nummer);
    QCOMPARE(got.isNull(), sent.isNull());
    if (!sent.isNull())
        QCOMPARE(got.toString(), sent.toString());
}

void TestUniformRecords::statement_data()
{
    QTest::addColumn<int>("insDays");
    QTest::addColumn<int>("sendDays");
    QTest::addColumn<QString>("statement");
    const QString head = "select d.DIERID,d.VORIGNUMMER,d.LEVENSNUMMER,d.ZENDERNUMMER,d.NUMMER ";
    const QString events = "       ,dv.DATUMBEGIN,dmnl.KICODE,bull.naam,dv.VOORTPLANTINGCODE ";
    auto joins = [](const char *from) {
        return QString("left join DIER_VOORTPLANTING dv on dv.DIERID=d.DIERID and       dv.DATUMBEGIN>='%1' "
                       "and       dv.DATUMBEGIN<='2024-05-14' left join DIER bull on "
                       "bull.DIERID=dv.DIERID_INSEMINATIE left join DIER_MNL dmnl on "
                       "dmnl.DIERID=dv.DIERID_INSEMINATIE ")
            .arg(QLatin1String(from));
    };
    QTest::newRow("no windows") << 0 << 0 << head + "from DIER d ";
    QTest::newRow("negative windows") << -3 << -1 << head + "from DIER d ";
    QTest::newRow("send only") << 0 << 5 << head + "from DIER d " + joins("2024-05-09");
    QTest::newRow("inseminations only") << 5 << 0 << head + events + "from DIER d " + joins("2024-05-09");
    QTest::newRow("larger send window") << 3 << 20 << head + events + "from DIER d " + joins("2024-04-24");
    QTest::newRow("larger insemination window")
        << 40 << 2 << head + events + "from DIER d " + joins("2024-04-04");
}

void TestUniformRecords::statement()
{
    QFETCH(int, insDays);
    QFETCH(int, sendDays);
    QFETCH(QString, statement);
    QCOMPARE(animalEventStatement(Windows{insDays, sendDays, Today}), statement);
}

void TestUniformRecords::eventRows_data()
{
    QTest::addColumn<int>("insDays");
    QTest::addColumn<int>("sendDays");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("daysAgo");
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("pregnancy");
    QTest::addColumn<bool>("plan");

    QTest::newRow("insemination on the window's first day") << 10 << 3 << 2 << 10 << true << 0 << false;
    QTest::newRow("insemination a day before the window") << 10 << 30 << 2 << 11 << false << 0 << false;
    QTest::newRow("insemination today") << 1 << 0 << 2 << 0 << true << 0 << false;
    QTest::newRow("pregnant inside") << 3 << 10 << 7 << 10 << false << 1 << false;
    QTest::newRow("pregnant outside") << 30 << 10 << 7 << 11 << false << 0 << false;
    QTest::newRow("not pregnant inside") << 3 << 10 << 9 << 0 << false << 2 << false;
    QTest::newRow("not pregnant outside") << 30 << 10 << 9 << 20 << false << 0 << false;
    QTest::newRow("abortion inside") << 3 << 10 << 11 << 4 << false << 4 << false;
    QTest::newRow("abortion outside") << 30 << 10 << 11 << 11 << false << 0 << false;
    QTest::newRow("plan inside") << 3 << 10 << 10 << 10 << false << 0 << true;
    QTest::newRow("plan outside") << 30 << 10 << 10 << 11 << false << 0 << false;
    QTest::newRow("pregnant, nothing sent") << 30 << 0 << 7 << 0 << false << 0 << false;
    QTest::newRow("heat") << 30 << 30 << 1 << 1 << false << 0 << false;
    QTest::newRow("unknown code") << 30 << 30 << 5 << 1 << false << 0 << false;
    QTest::newRow("no event") << 30 << 30 << 0 << -1 << false << 0 << false;
    QTest::newRow("event without date") << 30 << 30 << 7 << -1 << false << 0 << false;
}

void TestUniformRecords::eventRows()
{
    QFETCH(int, insDays);
    QFETCH(int, sendDays);
    QFETCH(int, code);
    QFETCH(int, daysAgo);
    QFETCH(bool, known);
    QFETCH(int, pregnancy);
    QFETCH(bool, plan);

    Tables t;
    AnimalRow row;
    row.dierId = 17;
    row.registration = "CZ 012345 678";
    row.transponder = "964100000000017";
    row.nummer = "17";
    row.eventCode = code;
    row.eventDate = daysAgo < 0 ? QDate() : Today.addDays(-daysAgo);
    addAnimalRow(t, row, Windows{insDays, sendDays, Today});

    QCOMPARE(t.records.animals.size(), 1);
    const Animal a = t.records.animals.value("012345678");
    QCOMPARE(a.cislo, QString("012345678"));
    QCOMPARE(a.tech_cislo.toString(), QString("17"));
    QCOMPARE(a.transponder.toString(), QString("964100000000017"));
    QVERIFY(a.vyrazena.isNull());
    QCOMPARE(t.cowIdByNumber.value("012345678"), QString("17"));

    QCOMPARE(t.knownInseminations.contains("012345678", row.eventDate), known);
    QCOMPARE(t.knownInseminations.size(), known ? 1 : 0);
    QCOMPARE(t.records.pregnancies.size(), pregnancy ? 1 : 0);
    if (pregnancy) {
        const PregnancyEvent &p = t.records.pregnancies.first();
        QCOMPARE(p.cislo, QString("012345678"));
        QCOMPARE(p.datum, row.eventDate);
        QCOMPARE(p.druh.toInt(), pregnancy);
        QVERIFY(p.udaj1.isNull() && p.udaj2.isNull() && p.udaj3.isNull());
    }
    QCOMPARE(t.records.plans.size(), plan ? 1 : 0);
    if (plan) {
        QCOMPARE(t.records.plans.first().datum, row.eventDate);
        QCOMPARE(t.records.plans.first().druh.toInt(), 1);
    }
    QVERIFY(t.records.inseminations.isEmpty());
    QVERIFY(t.records.dryOffs.isEmpty());
}

void TestUniformRecords::animalMap()
{
    Tables t;
    const Windows w{10, 10, Today};
    AnimalRow first;
    first.dierId = 5;
    first.registration = "CZ 012345678";
    first.nummer = "5";
    first.eventCode = 7;
    first.eventDate = Today.addDays(-2);
    AnimalRow second = first;
    second.dierId = 6;
    second.nummer = "10001";
    second.transponder = QVariant(QVariant::String);
    second.eventCode = 11;
    AnimalRow bull;
    bull.dierId = 1;
    bull.registration = QVariant(QVariant::String);
    bull.nummer = "1";
    bull.eventCode = 7;
    bull.eventDate = Today;
    for (const AnimalRow &r : {first, second, bull})
        addAnimalRow(t, r, w);

    // The later row wins; both events count; the animal without a number is left out.
    QCOMPARE(t.records.animals.keys(), QStringList{"012345678"});
    QVERIFY(t.records.animals.value("012345678").tech_cislo.isNull());
    QVERIFY(t.records.animals.value("012345678").transponder.isNull());
    QCOMPARE(t.cowIdByNumber.keys(), QStringList{"012345678"});
    QCOMPARE(t.cowIdByNumber.value("012345678"), QString("6"));
    QCOMPARE(t.records.pregnancies.size(), 2);
    QCOMPARE(t.records.pregnancies[0].druh.toInt(), 1);
    QCOMPARE(t.records.pregnancies[1].druh.toInt(), 4);
}

void TestUniformRecords::dryOffs_data()
{
    QTest::addColumn<int>("sendDays");
    QTest::addColumn<int>("daysAgo");
    QTest::addColumn<bool>("sent");
    QTest::newRow("first day of the window") << 10 << 10 << true;
    QTest::newRow("a day before") << 10 << 11 << false;
    QTest::newRow("future date") << 10 << -5 << true;
    QTest::newRow("nothing sent") << 0 << 0 << false;
    QTest::newRow("no date") << 10 << 99999 << false;
}

void TestUniformRecords::dryOffs()
{
    QFETCH(int, sendDays);
    QFETCH(int, daysAgo);
    QFETCH(bool, sent);
    Tables t;
    const QDate date = daysAgo == 99999 ? QDate() : Today.addDays(-daysAgo);
    addDryOffRow(t, QVariant("SK 0123 45678"), date, Windows{0, sendDays, Today});
    addDryOffRow(t, QVariant(QVariant::String), Today, Windows{0, sendDays, Today});
    QCOMPARE(t.records.dryOffs.size(), sent ? 1 : 0);
    if (sent) {
        QCOMPARE(t.records.dryOffs.first().cislo, QString("012345678"));
        QCOMPARE(t.records.dryOffs.first().datum, date);
        QVERIFY(t.records.dryOffs.first().udaj.isNull());
    }
    QVERIFY(t.records.animals.isEmpty());
}

void TestUniformRecords::logLines_data()
{
    QTest::addColumn<bool>("written");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QVariant>("bull");
    QTest::addColumn<QString>("line");
    QTest::newRow("written") << true << QDate(2024, 5, 3) << QVariant("HO 444-649")
                             << "I:012345678;03.05.2024;HO 444-649\n";
    QTest::newRow("import off") << false << QDate(2024, 12, 31) << QVariant("CZE61317")
                                << "In:012345678;31.12.2024;CZE61317\n";
    QTest::newRow("no bull, no date") << false << QDate() << QVariant() << "In:012345678;;\n";
}

void TestUniformRecords::logLines()
{
    QFETCH(bool, written);
    QFETCH(QDate, date);
    QFETCH(QVariant, bull);
    QFETCH(QString, line);
    DownloadedInsemination row;
    row.cislo = "012345678";
    row.datum = date;
    row.byk = bull;
    QCOMPARE(logLine(written, row), line);
}

// The bull-creation call: eighteen literal arguments, each followed by its parameter's name.
void TestUniformRecords::newBullArguments()
{
    const QString statement = QLatin1String(NewBullStatement);
    QVERIFY(statement.startsWith("select ODIERID from P_INS_DIER("));
    QVERIFY(statement.endsWith(")"));
    const QString inner = statement.mid(int(strlen("select ODIERID from P_INS_DIER(")), -1).chopped(1);
    QStringList values;
    QStringList comments;
    for (const QString &argument : inner.split(',')) {
        const QRegularExpressionMatch m =
            QRegularExpression(R"(^\s*(\S+)\s*/\*\s*(.*?)\s*\*/\s*$)").match(argument);
        QVERIFY2(m.hasMatch(), qPrintable(argument));
        values << m.captured(1);
        comments << m.captured(2).section(' ', 0, 0);
        if (values.size() == 1)
            QVERIFY(m.captured(2).contains("pohlavi 1-byk"));
    }
    QCOMPARE(values, (QStringList{"1", "'1.1.2000'", "0", "0", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL",
                                  "NULL", "NULL", "NULL", "NULL", "0", "NULL", "0", "100701"}));
    QCOMPARE(comments,
             (QStringList{"GESLACHT_CODE", "GEBOORTEDATUM", "EIGENAARID", "GEBOORTE_BEDRIJF", "DIERIDMOEDER",
                          "DIERIDVADER", "DIERIDDRAAGMOEDER", "GEBOORTEVERLOOP_CODE", "HAARKLEUR_CODE",
                          "AANHOUDEN", "VERBLIJFPLAATS_CODE", "ZENDERNUMMER", "ZENDERNUMMER2",
                          "ZENDERNUMMER3", "STAMBOEK", "OPMERKING", "EXCLUDED", "SOURCEID"}));
}

STABLOMAT_TEST_MAIN_CORE(TestUniformRecords)
#include "tst_uniformrecords.moc"
