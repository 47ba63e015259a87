#include "common/testsupport.h"
#include "exchange/answerfields.h"

#include <QLocale>
#include <QRandomGenerator>

#include <cstring>

class TestAnswerFields : public QObject
{
    Q_OBJECT

private slots:
    void date_data();
    void date();
    void datesAsQtMakesThem();
    void decimal_data();
    void decimal();
    void seconds_data();
    void seconds();
    void dateTime_data();
    void dateTime();
    void text_data();
    void text();
    void numbersAsQtReadsThem();
};

void TestAnswerFields::date_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDate>("expected");
    const QDate d(2023, 3, 7);
    QTest::newRow("leading zeros") << "07.03.2023" << d;
    QTest::newRow("no leading zeros") << "7.3.2023" << d;
    QTest::newRow("eight digits") << "20230307" << d;
    QTest::newRow("day of two digits") << "17.3.2023" << QDate(2023, 3, 17);
    QTest::newRow("blanks around") << " 20230307 " << d;
    QTest::newRow("all unknown") << "????????" << QDate();
    QTest::newRow("? inside digits") << "2023?307" << QDate();
    QTest::newRow("? inside dotted") << "07.03.20?3" << QDate();
    QTest::newRow("empty") << "" << QDate();
    QTest::newRow("blank") << "         " << QDate();
    QTest::newRow("seven digits") << "2023030" << QDate();
    QTest::newRow("no such day") << "20230230" << QDate();
    QTest::newRow("no such month") << "07.13.2023" << QDate();
    QTest::newRow("garbage") << "\xc3\xa9x.y.z" << QDate();
}

void TestAnswerFields::date()
{
    QFETCH(QString, text);
    QFETCH(QDate, expected);
    const QDate got = parseDate(text);
    QCOMPARE(got.isValid(), expected.isValid());
    if (expected.isValid())
        QCOMPARE(got, expected);
}

// Every month of every year the converters' forms allow, on the days about its end.
void TestAnswerFields::datesAsQtMakesThem()
{
    for (int y = 1; y <= 9999; ++y) {
        for (int m = 0; m <= 13; ++m) {
            for (const int d : {0, 1, 28, 29, 30, 31, 32}) {
                const QString text = QString::asprintf("%04d%02d%02d", y, m, d);
                if (parseDate(text) != QDate(y, m, d))
                    QFAIL(qPrintable(text));
            }
        }
    }
}

void TestAnswerFields::decimal_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("null");
    QTest::addColumn<QString>("expected");
    QTest::newRow("comma") << "12,5" << false << "12.5";
    QTest::newRow("point") << "12.5" << false << "12.5";
    QTest::newRow("every comma") << "1,2,3" << false << "1.2.3";
    QTest::newRow("blanks kept") << " 7,25" << false << " 7.25";
    QTest::newRow("? in the middle") << "12?5" << true << "";
    QTest::newRow("all unknown") << "????" << true << "";
    QTest::newRow("empty") << "" << false << "";
}

void TestAnswerFields::decimal()
{
    QFETCH(QString, text);
    QFETCH(bool, null);
    QFETCH(QString, expected);
    const QVariant got = parseDecimal(text);
    QCOMPARE(got.isNull(), null);
    if (!null)
        QCOMPARE(got.toString(), expected);
}

void TestAnswerFields::seconds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("null");
    QTest::addColumn<int>("expected");
    QTest::newRow("01:30:00") << "01:30:00" << false << 5400;
    QTest::newRow("midnight") << "00:00:00" << false << 0;
    QTest::newRow("last second") << "23:59:59" << false << 86399;
    QTest::newRow("not a time") << "1:30" << false << 0;
    QTest::newRow("no such hour") << "25:00:00" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("unknown") << "??:??:??" << true << 0;
    QTest::newRow("? at the end") << "01:30:0?" << true << 0;
}

void TestAnswerFields::seconds()
{
    QFETCH(QString, text);
    QFETCH(bool, null);
    QFETCH(int, expected);
    const QVariant got = parseSeconds(text);
    QCOMPARE(got.isNull(), null);
    if (!null) {
        QCOMPARE(got.type(), QVariant::Int);
        QCOMPARE(got.toInt(), expected);
    }
}

void TestAnswerFields::dateTime_data()
{
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDateTime>("expected");
    const QDate d(2024, 1, 15);
    QTest::newRow("time") << d << "05:42:10" << QDateTime(d, QTime(5, 42, 10), Qt::LocalTime);
    QTest::newRow("unparsable gives midnight") << d << "0542" << QDateTime(d, QTime(0, 0), Qt::LocalTime);
    QTest::newRow("unknown") << d << "05:4?:10" << QDateTime();
    QTest::newRow("invalid date") << QDate() << "05:42:10" << QDateTime();
}

void TestAnswerFields::dateTime()
{
    QFETCH(QDate, date);
    QFETCH(QString, text);
    QFETCH(QDateTime, expected);
    const QDateTime got = parseDateTime(date, text);
    QCOMPARE(got.isValid(), expected.isValid());
    if (expected.isValid()) {
        QCOMPARE(got, expected);
        QCOMPARE(got.timeSpec(), Qt::LocalTime);
    }
}

void TestAnswerFields::text_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("null");
    QTest::addColumn<QString>("expected");
    QTest::newRow("only ?") << "??????" << true << "";
    QTest::newRow("empty") << "" << true << "";
    QTest::newRow("? padded") << "  ??? " << true << "";
    QTest::newRow("blank only") << "     " << true << "";
    QTest::newRow("code with inner blanks") << "  CZ 000 123 " << false << "CZ 000 123";
    QTest::newRow("plain") << "HOL-123" << false << "HOL-123";
    QTest::newRow("? among other characters") << " AB?C " << false << "AB?C";
}

void TestAnswerFields::text()
{
    QFETCH(QString, text);
    QFETCH(bool, null);
    QFETCH(QString, expected);
    const QString got = cleanText(text);
    QCOMPARE(got.isNull(), null);
    if (!null)
        QCOMPARE(got, expected);
}

// The quick conversions give exactly what Qt's C-locale conversion gives (decimal comma read as a
// point, surrounding blanks ignored), for edge shapes and for random texts of digits and separators.
void TestAnswerFields::numbersAsQtReadsThem()
{
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::RejectGroupSeparator);
    QStringList texts = {"12,5",
                         "-0",
                         "0.1",
                         "007,50",
                         " 3 ",
                         "1.",
                         ".5",
                         "-",
                         "1e3",
                         "+4",
                         "123456789012345",
                         "1234567890123456",
                         "0.000000000000001",
                         "2147483647",
                         "999999999",
                         "1000000000",
                         "\t8\n",
                         QString::fromUtf8("\u00a012"),
                         "1,2,3"};
    QRandomGenerator random(11);
    const char alphabet[] = "0123456789012345678.,- ";
    while (texts.size() < 20000) {
        QString t;
        for (int n = random.bounded(1, 19); n > 0; --n)
            t += QLatin1Char(alphabet[random.bounded(int(sizeof alphabet) - 1)]);
        texts << t;
    }
    for (const QString &t : texts) {
        bool ok = false, qtOk = false;
        const double d = decimalValue(t, &ok);
        double qt = c.toDouble(QString(t).replace(QLatin1Char(','), QLatin1Char('.')).trimmed(), &qtOk);
        qt = qtOk ? qt : 0.0;
        QVERIFY2(ok == qtOk && std::memcmp(&d, &qt, sizeof d) == 0, qPrintable(t));
        const int i = wholeValue(t, &ok);
        const int qtInt = c.toInt(t.trimmed(), &qtOk);
        QVERIFY2(ok == qtOk && i == (qtOk ? qtInt : 0), qPrintable(t));
    }
}

STABLOMAT_TEST_MAIN_CORE(TestAnswerFields)
#include "tst_answerfields.moc"
