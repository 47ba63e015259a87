#include "adapters/delaval/delavalformat.h"
#include "common/simprocess.h"
#include "common/testsupport.h"
#include "exchange/adis.h"
#include "exchange/answerfields.h"
#include "exchange/answerfile.h"
#include "exchange/converter.h"
#include "herd.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

using namespace delaval::col;

namespace {

const QDate Today(2024, 5, 14);
const int Cows = 40;

const char *const FaultVariables[] = {"ISO32_DELAY_MS",     "ISO32_LINE_DELAY_MS", "ISO32_CRASH_AFTER_LINES",
                                      "ISO32_DIRECT_WRITE", "ISO32_DATE_FORMAT",   "ISO32_EXIT_CODE",
                                      "HERD_FILE"};

// A value line of the record file, built the way the write-back builds it.
QString recordLine(const QString &cow, const QDate &date, int ordinal, const QString &sire)
{
    return adis::ValueLine(delaval::inseminationRecord())
        .code(cow)
        .date(date)
        .number(ordinal > 0 ? ordinal : 0)
        .code(sire)
        .toString();
}

bool sameKg(const QString &field, double kg)
{
    const QVariant v = parseDecimal(field);
    return !v.isNull() && qAbs(v.toDouble() - kg) < 0.005;
}

} // namespace

class TestIso32 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void delavalFiles();
    void init();
    void cleanup();
    void answersRequest_data();
    void answersRequest();
    void rejectsChangedRequest_data();
    void rejectsChangedRequest();
    void answerAppearsWhole();
    void faults_data();
    void faults();
    void herdFileFromEnvironment();
    void importsWriteBack();
    void importOfUnknownCowLeavesHerd();
    void rejectsChangedRecordFile_data();
    void rejectsChangedRecordFile();
    void crashDuringImportLeavesHerd();

private:
    QString dir() const { return root->path() + QStringLiteral("/Dojírna s/iso/"); }
    QString requestPath() const { return dir() + delaval::requestFileName(); }
    QString answerPath() const { return dir() + delaval::answerFileName(); }
    QString recordPath() const { return dir() + delaval::recordFileName(); }
    QString recordAnswerPath() const { return dir() + delaval::recordAnswerFileName(); }
    QString herdPath() const { return dir() + QStringLiteral("herd.json"); }
    int exportCows()
    {
        return runIsoConverter(dir(), requestPath(), delaval::requestText(), answerPath(), " -x");
    }
    int importRecords(const QStringList &lines)
    {
        return runIsoConverter(dir(), recordPath(), delaval::recordFileText(lines), recordAnswerPath(),
                               QString());
    }
    herd::Herd herdNow() const { return loadHerd(herdPath()); }
    QStringList answerLines();

    QScopedPointer<QTemporaryDir> root;
    QByteArray generatedHerd;
};

void TestIso32::initTestCase()
{
    QVERIFY(delaval::cowRequest().isValid());
    QVERIFY(delaval::inseminationRecord().isValid());
    QVERIFY(delaval::senderHeader().isValid());
    QCOMPARE(delaval::cowRequest().size() + 1, int(Count));
    QTemporaryDir tmp;
    QVERIFY(!generateHerdFile(tmp.filePath("herd.json"), Cows, 5,
                              {"--today", Today.toString(Qt::ISODate), "--long-numbers"})
                 .isEmpty());
    generatedHerd = readWholeFile(tmp.filePath("herd.json"));
    QVERIFY(!generatedHerd.isEmpty());
}

void TestIso32::delavalFiles()
{
    const QString header = "CN                   FILE FOR DELAVAL-VELMORIN COMMUNICATION\n"
                           "CN------------------\n"
                           "CN Sender information\n"
                           "CN      |sender    |data dic  |version   |data dic |version\n"
                           "DH9900010090000624000900009080009000020800090000908000900002080\n"
                           "VH990001 DeLaval AB Alpro/ISO   Alpro_DD  6.40  aa_Alpro  5.0   \n";
    QCOMPARE(adis::fileText(delaval::headerBlock()), header);
    const QString request =
        header +
        "CN------------------\n"
        "CN      |cow       |bird      |bird      |COW_ID    |DAM_ID    |FATHER_ID |SEX       |ACTTAG    "
        "|B_TRANS   |HDX_TRA   |TRANS     |GROUP_NO  |CAL D     |LACT NO   |HEAT D    |INS D     "
        "|INSEMINAT.|PREGNANT  |PREG D    |DRY D     |ABORT D   |BUILD_UP  |SIRE NAME |MILK 1    "
        "|MILK 2    |MILK 3    |MILK 4    "
        "|M DUR 1   |M DUR 2   |M DUR 3   |M DUR 4   |M TIM 1   |M TIM 2   |M TIM 3   |M TIM 4   "
        "|REAL DATE |SLAUG FLG |MILK Y1   |MILK Y2   |MILK Y3   |MILK Y4   "
        "|M DUR Y1  |M DUR Y2  |M DUR Y3  |M DUR Y4  |M TIM Y1  |M TIM Y2  |M TIM Y3  |M TIM Y4  |\n"
        "RN390006009000700600030003308000300033080003003481500030392415000303925150003"
        "03926010003002820500030000205000303930150003039311500030000303000300035080003"
        "00036020003000340800030035708000300037020003040580100035114108000300194080003"
        "03938080003040630100030037415000300130042003001330420030013604200300139042003"
        "00119060003001200600030012106000300122060003003660600030036706000300368060003"
        "00369060003085030800030001701000300142042003001450420030014804200300151042003"
        "00123060003001240600030012506000300126060003003700600030037106000300372060003"
        "00373060\n"
        "ZN\n";
    QCOMPARE(delaval::requestText(), request);
    const QString line = recordLine("12", QDate(2024, 2, 29), 0, QString());
    QCOMPARE(line, QString("VN390006    1220240229 0???????????????"));
    QCOMPARE(delaval::recordFileText({line}), header +
                                                  "\n"
                                                  "CN ***** Reprodukce *****\n"
                                                  "CN      | cow      |ins       |insp      |sire name\n"
                                                  "\n"
                                                  "DN39000600300001060003003570800030003702000300374150\n" +
                                                  line + "\n\nZN\n");
}

void TestIso32::init()
{
    root.reset(new QTemporaryDir);
    QVERIFY(QDir().mkpath(dir()));
    QVERIFY(QFile::copy(ISO32, dir() + "iso32.exe"));
    QVERIFY(writeWholeFile(herdPath(), generatedHerd));
    exchange::setConverterLimits({5000, 30000});
    exchange::setAnswerWait({3, 10});
}

void TestIso32::cleanup()
{
    for (const char *name : FaultVariables)
        qunsetenv(name);
    exchange::setConverterLimits(exchange::ConverterLimits());
    exchange::setAnswerWait(exchange::AnswerWait());
    root.reset();
}

QStringList TestIso32::answerLines()
{
    QFile file;
    if (!exchange::openAnswer(file, answerPath()))
        return {};
    return exchange::readAnswerLines(file);
}

void TestIso32::answersRequest_data()
{
    QTest::addColumn<QString>("dateFormat");
    QTest::newRow("dates as the farm PC writes them") << QString();
    QTest::newRow("dates in three forms") << "mixed";
    QTest::newRow("dates as eight digits") << "yyyyMMdd";
}

void TestIso32::answersRequest()
{
    QFETCH(QString, dateFormat);
    if (!dateFormat.isEmpty())
        qputenv("ISO32_DATE_FORMAT", dateFormat.toUtf8());
    QCOMPARE(exportCows(), 0);

    // The request on disk is the one the program writes: CR LF, the exact request line.
    QCOMPARE(readWholeFile(requestPath()), crlf(delaval::requestText()));
    const QByteArray bytes = readWholeFile(answerPath());
    QCOMPARE(bytes.count("\r\n"), Cows);
    QCOMPARE(bytes.count('\n'), Cows);
    QVERIFY(bytes.endsWith("\r\n"));

    const herd::Herd h = herdNow();
    const QStringList lines = answerLines();
    QCOMPARE(lines.size(), Cows);
    QSet<int> seen;
    QSet<QString> dateForms;
    int unknownCalvings = 0, slaughterFlags = 0, threeMilkings = 0, commas = 0;
    for (const QString &line : lines) {
        const QStringList c = line.split('\t');
        QCOMPARE(c.size(), int(Count));
        const herd::Cow *cow = h.cowByParlour(c.at(Cow).toInt());
        QVERIFY2(cow, qPrintable(c.at(Cow)));
        QVERIFY(!seen.contains(cow->parlour));
        seen.insert(cow->parlour);
        const QString who = QString::number(cow->parlour);

        QCOMPARE(c.at(Cow), who);
        QCOMPARE(c.at(CowId), cow->registration);
        QCOMPARE(parseDate(c.at(Birth1)), cow->birth);
        QCOMPARE(parseDate(c.at(CalvingDate)), cow->lastCalving());
        unknownCalvings += c.at(CalvingDate) == "????????";
        QCOMPARE(c.at(LactationNo).toInt(), cow->lactation());
        const herd::Insemination *ins = cow->lastInsemination();
        QCOMPARE(parseDate(c.at(InseminationDate)), ins ? ins->date : QDate());
        QCOMPARE(c.at(InseminationNo).toInt(), ins ? ins->ordinal : 0);
        QCOMPARE(cleanText(c.at(SireName)), ins ? ins->sire : QString());
        const herd::PregnancyCheck *check = cow->lastPregnancyCheck();
        QCOMPARE(parseDate(c.at(PregnancyDate)), check ? check->date : QDate());
        QCOMPARE(c.at(Pregnant), check ? QString(check->pregnant ? "1" : "0") : QString("?"));
        QCOMPARE(parseDate(c.at(DryDate)), cow->lastDryOff());
        QCOMPARE(parseDate(c.at(AbortionDate)), cow->lastAbortion());
        QCOMPARE(c.at(SlaughterFlag), QString(cow->isPresent() ? "0" : "1"));
        slaughterFlags += c.at(SlaughterFlag) == "1";

        const QDate realDate = parseDate(c.at(RealDate));
        QCOMPARE(realDate, Today);
        dateForms.insert(QString(c.at(RealDate)).replace(QRegularExpression("[0-9]"), "9"));
        const QVector<herd::Milking> today = cow->milkingsOn(Today);
        const QVector<herd::Milking> yesterday = cow->milkingsOn(Today.addDays(-1));
        threeMilkings += today.size() == 3;
        for (int k = 0; k < 3; ++k) {
            if (k < today.size()) {
                QVERIFY2(sameKg(c.at(Milk1 + k), today.at(k).kg), qPrintable(who + ": " + c.at(Milk1 + k)));
                commas += c.at(Milk1 + k).contains(',');
                QCOMPARE(parseDateTime(realDate, c.at(Time1 + k)), today.at(k).at());
                QCOMPARE(c.at(Duration1 + k).toInt(), today.at(k).seconds);
            } else {
                QCOMPARE(c.at(Milk1 + k), QString("????"));
                QVERIFY(!parseDateTime(realDate, c.at(Time1 + k)).isValid());
            }
            if (k < yesterday.size()) {
                QVERIFY(sameKg(c.at(MilkY1 + k), yesterday.at(k).kg));
                QCOMPARE(parseDateTime(realDate.addDays(-1), c.at(TimeY1 + k)), yesterday.at(k).at());
            } else {
                QVERIFY(parseDecimal(c.at(MilkY1 + k)).isNull());
                QVERIFY(!parseDateTime(realDate.addDays(-1), c.at(TimeY1 + k)).isValid());
            }
        }
        QCOMPARE(c.at(Extra), QString());
    }
    QCOMPARE(seen.size(), Cows);
    QVERIFY(unknownCalvings >= 1);
    QVERIFY(slaughterFlags >= 1);
    QVERIFY(commas >= Cows / 2);
    QVERIFY(threeMilkings >= 1);
    if (dateFormat == "mixed")
        QCOMPARE(dateForms, (QSet<QString>{"99.99.9999", "99.9.9999", "99999999"}));
    else
        QCOMPARE(dateForms.size(), 1);
}

void TestIso32::rejectsChangedRequest_data()
{
    QTest::addColumn<QString>("text");
    const QString good = delaval::requestText();
    QVERIFY(good.count("00300357080") == 1 && good.count("00300130042") == 1 &&
            good.count("00300373060\n") == 1);
    QTest::newRow("an item's width changed") << QString(good).replace("00300357080", "00300357090");
    QTest::newRow("last item left out") << QString(good).replace("00300373060\n", "\n");
    QTest::newRow("two items swapped")
        << QString(good).replace("0030013004200300133042", "0030013304200300130042");
    QTest::newRow("another entity") << QString(good).replace("RN390006", "RN390007");
    QTest::newRow("header version changed") << QString(good).replace("  6.40  ", "  6.41  ");
    QTest::newRow("header left out") << QString(good).remove(delaval::headerBlock().at(4) + "\n");
    QTest::newRow("no ZN") << QString(good).remove(QRegularExpression("ZN\n$"));
    QTest::newRow("a line after ZN") << good + "RN390006\n";
    QTest::newRow("a value line in the request") << QString(good).replace("ZN\n", "VN390006    12\nZN\n");
    QTest::newRow("record file") << delaval::recordFileText({recordLine("12", Today, 1, "HO 1")});
    QTest::newRow("empty") << QString();
}

void TestIso32::rejectsChangedRequest()
{
    QFETCH(QString, text);
    QCOMPARE(runIsoConverter(dir(), requestPath(), text, answerPath(), " -x"), -1);
    QVERIFY(!QFile::exists(answerPath()));
    // Nothing else is left behind either, and the herd is untouched.
    QCOMPARE(QDir(dir()).entryList(QDir::Files),
             (QStringList{"herd.json", "iso32.exe", delaval::requestFileName()}));
    QCOMPARE(readWholeFile(herdPath()), generatedHerd);
}

void TestIso32::answerAppearsWhole()
{
    // Watched from outside while it writes slowly: the answer is either absent or complete.
    QVERIFY(exchange::writeConverterInput(requestPath(), delaval::requestText()));
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ISO32_LINE_DELAY_MS", "15");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir());
    p.start(dir() + "iso32.exe", {"-f", delaval::requestFileName(), "-o", delaval::answerFileName(), "-x"});
    QVERIFY(p.waitForStarted());
    int looks = 0;
    while (!p.waitForFinished(3)) {
        const QByteArray seen = readWholeFile(answerPath());
        QVERIFY(seen.isEmpty() || seen.count("\r\n") == Cows);
        ++looks;
    }
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(looks > 20);
    QCOMPARE(readWholeFile(answerPath()).count("\r\n"), Cows);
}

void TestIso32::faults_data()
{
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("lines"); // -1: no answer file
    QTest::addColumn<int>("atLeastMs");
    QTest::newRow("crash mid-answer") << QStringList{"ISO32_CRASH_AFTER_LINES=5"} << -1 << -1 << 0;
    QTest::newRow("crash mid-answer, written in place")
        << QStringList{"ISO32_CRASH_AFTER_LINES=5", "ISO32_DIRECT_WRITE=1"} << -1 << 5 << 0;
    QTest::newRow("slow to start") << QStringList{"ISO32_DELAY_MS=400"} << 0 << Cows << 400;
    QTest::newRow("slow lines") << QStringList{"ISO32_LINE_DELAY_MS=10"} << 0 << Cows << Cows * 10;
    QTest::newRow("failure status after a full answer")
        << QStringList{"ISO32_EXIT_CODE=3"} << -1 << Cows << 0;
}

void TestIso32::faults()
{
    QFETCH(QStringList, environment);
    QFETCH(int, result);
    QFETCH(int, lines);
    QFETCH(int, atLeastMs);
    for (const QString &e : environment)
        qputenv(qPrintable(e.section('=', 0, 0)), e.section('=', 1).toUtf8());
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(exportCows(), result);
    QVERIFY(timer.elapsed() >= atLeastMs);
    if (lines < 0) {
        QVERIFY(!QFile::exists(answerPath()));
    } else {
        const QByteArray answer = readWholeFile(answerPath());
        QCOMPARE(answer.count("\r\n"), lines);
        QCOMPARE(answerLines().size(), lines);
    }
}

void TestIso32::herdFileFromEnvironment()
{
    const QString elsewhere = root->filePath("elsewhere.json");
    QVERIFY(QFile::rename(herdPath(), elsewhere));
    QCOMPARE(exportCows(), -1);
    QVERIFY(!QFile::exists(answerPath()));

    qputenv("HERD_FILE", QFile::encodeName(elsewhere));
    QCOMPARE(exportCows(), 0);
    QCOMPARE(answerLines().size(), Cows);
}

void TestIso32::importsWriteBack()
{
    herd::Herd before = herdNow();
    // What other stand-ins keep in the herd file survives the import.
    before.extra.insert("farm", "Dvůr u lesa");
    before.cows[0].extra.insert("dierId", 4711);
    QString error;
    QVERIFY(before.save(herdPath(), &error));
    // A two-digit cow served since calving, a cow whose next service gets no ordinal, a culled
    // cow and a number the herd does not have.
    const herd::Cow *a = nullptr;
    const herd::Cow *b = nullptr;
    const herd::Cow *culled = nullptr;
    int highest = 0;
    for (const herd::Cow &c : before.cows) {
        highest = qMax(highest, c.parlour);
        const bool served = c.lastInsemination() && c.lastInsemination()->date < Today.addDays(-3);
        if (!a && c.isPresent() && c.parlour >= 10 && c.parlour <= 99 && served &&
            c.lastCalving().isValid() && c.lastInsemination()->date > c.lastCalving())
            a = &c;
        else if (!b && c.isPresent() && served && c.lastCalving().isValid())
            b = &c;
        else if (!culled && !c.isPresent())
            culled = &c;
    }
    QVERIFY(a && b && culled);
    const QString aNumber = QString::number(a->parlour);
    const QString bNumber = QString::number(b->parlour);
    const int bOrdinal = b->ordinalFor(Today.addDays(-2));
    const int aCount = a->inseminations.size();
    const int bCount = b->inseminations.size();

    const QStringList records{
        recordLine(aNumber, Today.addDays(-1), 2, "HO 123456"),
        recordLine(bNumber, Today.addDays(-2), 0, QString()),
        recordLine(QString::number(highest + 100), Today.addDays(-1), 1, "HO 123456"),
        recordLine(aNumber, QDate(), 3, "HO 123456"),
        recordLine(QString::number(culled->parlour), Today.addDays(-1), 1, "FL-1"),
        recordLine(aNumber, Today.addDays(-1), 2, "HO 123456"),
    };
    // The record lines as the write-back lays them out.
    QCOMPARE(records.at(0),
             "VN390006    " + aNumber + Today.addDays(-1).toString("yyyyMMdd") + " 2" + "      HO 123456");
    QCOMPARE(records.at(1), "VN390006" + bNumber.rightJustified(6) + Today.addDays(-2).toString("yyyyMMdd") +
                                " 0???????????????");
    QCOMPARE(records.at(3).mid(14, 8), QString("????????"));
    for (const QString &r : records)
        QCOMPARE(r.size(), 39);

    QCOMPARE(importRecords(records), 0);
    QCOMPARE(readWholeFile(recordPath()), crlf(delaval::recordFileText(records)));

    const herd::Herd after = herdNow();
    QVERIFY(after.problems().isEmpty());
    QCOMPARE(after.extra.value("farm").toString(), QString("Dvůr u lesa"));
    QCOMPARE(after.cows.at(0).extra.value("dierId").toInt(), 4711);
    const herd::Cow *a2 = after.cowByParlour(a->parlour);
    const herd::Cow *b2 = after.cowByParlour(b->parlour);
    QCOMPARE(a2->inseminations.size(), aCount + 1);
    QCOMPARE(a2->lastInsemination()->date, Today.addDays(-1));
    QCOMPARE(a2->lastInsemination()->sire, QString("HO 123456"));
    QCOMPARE(a2->lastInsemination()->ordinal, 2);
    QCOMPARE(b2->inseminations.size(), bCount + 1);
    QCOMPARE(b2->lastInsemination()->date, Today.addDays(-2));
    QCOMPARE(b2->lastInsemination()->sire, QString());
    QCOMPARE(b2->lastInsemination()->ordinal, bOrdinal);
    int total = 0, totalBefore = 0;
    for (const herd::Cow &c : after.cows)
        total += c.inseminations.size();
    for (const herd::Cow &c : before.cows)
        totalBefore += c.inseminations.size();
    QCOMPARE(total, totalBefore + 2);

    const QString log = QString::fromUtf8(readWholeFile(recordAnswerPath()));
    QVERIFY2(log.startsWith("2 of 6 inseminations imported\r\n"), qPrintable(log));
    QCOMPARE(log.count("no such cow"), 2);
    QCOMPARE(log.count("no insemination date"), 1);
    QCOMPARE(log.count("already recorded"), 1);

    // The next export reports the new services.
    QCOMPARE(exportCows(), 0);
    bool found = false;
    for (const QString &line : answerLines()) {
        const QStringList c = line.split('\t');
        if (c.at(Cow) != aNumber)
            continue;
        found = true;
        QCOMPARE(parseDate(c.at(InseminationDate)), Today.addDays(-1));
        QCOMPARE(c.at(InseminationNo), QString("2"));
        QCOMPARE(cleanText(c.at(SireName)), QString("HO 123456"));
    }
    QVERIFY(found);
}

void TestIso32::importOfUnknownCowLeavesHerd()
{
    QCOMPARE(importRecords({recordLine("999999", Today, 1, "HO 1")}), 0);
    QCOMPARE(readWholeFile(herdPath()), generatedHerd);
    QVERIFY(readWholeFile(recordAnswerPath()).startsWith("0 of 1 inseminations imported\r\n"));
    // Without any record the file is still understood.
    QCOMPARE(importRecords({}), 0);
    QVERIFY(readWholeFile(recordAnswerPath()).startsWith("0 of 0 inseminations imported\r\n"));
    QCOMPARE(readWholeFile(herdPath()), generatedHerd);
}

void TestIso32::rejectsChangedRecordFile_data()
{
    QTest::addColumn<QString>("text");
    const QString good = delaval::recordFileText({recordLine("1", Today, 1, "HO 1")});
    const QString dn = delaval::inseminationRecord().definition();
    QTest::newRow("sire narrower") << QString(good).replace(
        dn, QString(dn).replace("00300374150", "00300374140"));
    QTest::newRow("definition left out") << QString(good).remove(dn + "\n");
    QTest::newRow("header left out") << QString(good).remove(delaval::headerBlock().at(5) + "\n");
    QTest::newRow("other entity's values") << QString(good).replace("VN390006", "VN390007");
    QTest::newRow("request instead") << delaval::requestText();
}

void TestIso32::rejectsChangedRecordFile()
{
    QFETCH(QString, text);
    QCOMPARE(runIsoConverter(dir(), recordPath(), text, recordAnswerPath(), QString()), -1);
    QVERIFY(!QFile::exists(recordAnswerPath()));
    QCOMPARE(readWholeFile(herdPath()), generatedHerd);
}

void TestIso32::crashDuringImportLeavesHerd()
{
    const herd::Herd h = herdNow();
    QStringList records;
    for (int i = 0; i < 3; ++i)
        records << recordLine(QString::number(h.cows.at(i).parlour), Today, 1, "HO 1");
    qputenv("ISO32_CRASH_AFTER_LINES", "2");
    QCOMPARE(importRecords(records), -1);
    QCOMPARE(readWholeFile(herdPath()), generatedHerd);
    QVERIFY(!QFile::exists(recordAnswerPath()));
}

STABLOMAT_TEST_MAIN_CORE(TestIso32)

#include "tst_iso32.moc"
