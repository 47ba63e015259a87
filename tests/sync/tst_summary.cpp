#include "common/testsupport.h"

#include "sync/runoutcome.h"
#include "sync/summary.h"

#include <QLocale>
#include <clocale>

class TestSummary : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void result_data();
    void result();
    void messages();
    void errorWords_data();
    void errorWords();
    void milkSums_data();
    void milkSums();
    void csvOrderAndLayout();
    void csvEmpty();
    void periodBounds_data();
    void periodBounds();
    void periodCounting_data();
    void periodCounting();
    void clockAgreesAcrossDaylightSaving();
};

void TestSummary::initTestCase()
{
    // A Czech locale writes decimal commas; the CSV must keep the decimal point whatever the locale.
    QLocale::setDefault(QLocale(QLocale::Czech, QLocale::CzechRepublic));
    std::setlocale(LC_NUMERIC, "cs_CZ.UTF-8");
}

void TestSummary::result_data()
{
    QTest::addColumn<int>("form");
    QTest::addColumn<int>("downloaded");
    QTest::addColumn<int>("written");
    QTest::addColumn<QList<int>>("counts");
    QTest::addColumn<QString>("text");

    QTest::newRow("headings") << int(ResultForm::WithHeadings) << 5 << 3 << QList<int>{120, 14, 7, 2, 1}
                              << QString::fromUtf8("Přijato\n  Inseminací: 5/3\nOdesláno\n"
                                                   "  Technologické označení: 120\n  Inseminací: 14\n"
                                                   "  Březost: 7\n  Zasušení: 2\n  Plány: 1");
    QTest::newRow("headings, nothing downloaded")
        << int(ResultForm::WithHeadings) << 0 << 0 << QList<int>{0, 0, 0, 0, 0}
        << QString::fromUtf8("Přijato\n  Inseminací: 0/0\nOdesláno\n  Technologické označení: 0\n"
                             "  Inseminací: 0\n  Březost: 0\n  Zasušení: 0\n  Plány: 0");
    QTest::newRow("short leaves the insemination counter out")
        << int(ResultForm::Short) << 5 << 3 << QList<int>{120, 14, 7, 2, 1}
        << QString::fromUtf8(
               "Inseminací: 5/3\nTechnologické označení: 120\nBřezost: 7\nZasušení: 2\nPlány: 1");
    QTest::newRow("short, nothing downloaded")
        << int(ResultForm::Short) << 0 << 0 << QList<int>{10000, 0, 0, 0, 0}
        << QString::fromUtf8(
               "Inseminací: 0/0\nTechnologické označení: 10000\nBřezost: 0\nZasušení: 0\nPlány: 0");
}

void TestSummary::result()
{
    QFETCH(int, form);
    QFETCH(int, downloaded);
    QFETCH(int, written);
    QFETCH(QList<int>, counts);
    QFETCH(QString, text);
    SentCounts sent;
    sent.animals = counts[0];
    sent.inseminations = counts[1];
    sent.pregnancies = counts[2];
    sent.dryOffs = counts[3];
    sent.plans = counts[4];
    const QString got = resultText(static_cast<ResultForm>(form), downloaded, written, sent);
    QCOMPARE(got.toUtf8(), text.toUtf8());
}

void TestSummary::messages()
{
    QCOMPARE(successMessage(QStringLiteral("X")).toUtf8(),
             QByteArray("Proběhla úspěšná datová výměna.\n\nX"));
}

void TestSummary::errorWords_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("advice"); // the box's line under "Chyba: <code>"
    QTest::addColumn<QString>("words");  // tooltip, status line, history table
    const auto row = [](int code, const char *advice, const char *words) {
        QTest::addRow("%d", code) << code << QString::fromUtf8(advice) << QString::fromUtf8(words);
    };
    row(-1, "Registr není dostupný – zkontrolujte připojení k internetu.", "registr nedostupný");
    row(-2, "Registr neodpověděl včas – zkontrolujte připojení k internetu nebo to zkuste později.",
        "registr neodpověděl včas");
    row(-3, "Registr odpověděl chybou – zkuste to později; opakuje-li se to, obraťte se na podporu.",
        "registr hlásí chybu");
    row(-4, "Odpovědi registru nelze rozumět – zkuste to později; opakuje-li se to, obraťte se na podporu.",
        "nečitelná odpověď registru");
    row(-5, "Program nebyl k registru přihlášen – spusťte výměnu znovu.", "nepřihlášeno k registru");
    row(-6, "Adresa registru není zabezpečená – obraťte se na podporu.", "nezabezpečená adresa registru");
    row(-7,
        "Certifikát registru nelze ověřit – zkontrolujte datum a čas počítače; opakuje-li se to, obraťte se "
        "na "
        "podporu.",
        "chyba certifikátu registru");
    row(-8, "Registr tuto farmu nezná – zkontrolujte číslo cloudu v nastavení.", "neznámá farma");
    row(-9, "Registr odeslané údaje odmítl – obraťte se na podporu.", "registr údaje odmítl");
    row(-10, "Přihlášení k registru vypršelo – spusťte výměnu znovu.", "přihlášení vypršelo");
    row(-12, "Neznámá chyba – obraťte se na podporu.", "neznámá chyba"); // not documented
}

void TestSummary::errorWords()
{
    QFETCH(int, code);
    QFETCH(QString, advice);
    QFETCH(QString, words);
    QCOMPARE(errorMessage(code), QStringLiteral("Chyba: %1\n").arg(code) + advice);
    QCOMPARE(outcomeWords(RunOutcome{RunResult::LibraryError, code}),
             QStringLiteral("chyba %1: ").arg(code) + words);
}

void TestSummary::milkSums_data()
{
    QTest::addColumn<QList<double>>("milkings");
    QTest::addColumn<bool>("singlePrecision");
    QTest::addColumn<QString>("printed");

    QTest::newRow("two milkings") << QList<double>{12.3, 11.8} << false << "24.1";
    QTest::newRow("rounding of a half tenth, double") << QList<double>{12.35} << false << "12.3";
    QTest::newRow("rounding of a half tenth, float") << QList<double>{12.35} << true << "12.4";
    QTest::newRow("float sum") << QList<double>{7.05, 7.05} << true << "14.1";
    QTest::newRow("whole litres") << QList<double>{20} << false << "20.0";
    QTest::newRow("many small") << QList<double>{0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1} << false
                                << "1.0";
}

void TestSummary::milkSums()
{
    QFETCH(QList<double>, milkings);
    QFETCH(bool, singlePrecision);
    QFETCH(QString, printed);
    MilkMap map;
    const QDateTime first(QDate(2024, 5, 6), QTime(5, 1, 2));
    for (int i = 0; i < milkings.size(); ++i)
        addMilk(map, QStringLiteral("123"), milkings[i], first.addSecs(3600 * i), singlePrecision);
    QCOMPARE(map.size(), 1);
    QCOMPARE(map.first().when, first); // the first milking's date-time stays
    QCOMPARE(milkYieldCsv(map),
             QStringLiteral("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n123,1,20240506 05:01:02,,") +
                 printed + QStringLiteral("\n"));
}

void TestSummary::csvOrderAndLayout()
{
    MilkMap p1, p2, p3;
    // Text order: "100" before "20", "9" last. 1.25 is an exact tie: Qt's "%.1f" rounds it up,
    // the same on every platform (glibc's printf would give 1.2).
    addMilk(p1, QStringLiteral("9"), 3.0, QDateTime(QDate(2024, 1, 2), QTime(23, 59, 59)));
    addMilk(p1, QStringLiteral("20"), 2.5, QDateTime(QDate(2024, 1, 2), QTime(6, 0, 0)));
    addMilk(p1, QStringLiteral("100"), 1.25, QDateTime(QDate(2024, 1, 2), QTime(0, 0, 0)));
    addMilk(p3, QStringLiteral("20"), 4.0, QDateTime(QDate(2024, 1, 3), QTime(14, 5, 0)));
    const QByteArray expected = "USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n"
                                "100,1,20240102 00:00:00,,1.3\n"
                                "20,1,20240102 06:00:00,,2.5\n"
                                "9,1,20240102 23:59:59,,3.0\n"
                                "20,3,20240103 14:05:00,,4.0\n";
    QCOMPARE(milkYieldCsv(p1, p2, p3).toUtf8(), expected);
    // The flat sums, in the same order, write the same.
    const MilkSums s1{
        {100, 1.25, {2024, 1, 2}, 0}, {20, 2.5, {2024, 1, 2}, 6 * 3600000}, {9, 3.0, {2024, 1, 2}, 86399000}};
    const MilkSums s3{{20, 4.0, {2024, 1, 3}, (14 * 60 + 5) * 60000}};
    QCOMPARE(milkYieldCsv(s1, {}, s3).toUtf8(), expected);
}

void TestSummary::csvEmpty()
{
    QCOMPARE(milkYieldCsv(MilkMap(), MilkMap(), MilkMap()),
             QStringLiteral("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n"));
}

void TestSummary::periodBounds_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<bool>("inside");
    const QDate d(2024, 1, 2);
    QTest::newRow("start") << QDateTime(d, QTime(0, 0, 0)) << true;
    QTest::newRow("end") << QDateTime(d, QTime(11, 59, 59)) << true;
    QTest::newRow("before") << QDateTime(d.addDays(-1), QTime(23, 59, 59)) << false;
    QTest::newRow("after") << QDateTime(d, QTime(12, 0, 0)) << false;
    QTest::newRow("unknown time") << QDateTime() << false;
}

void TestSummary::periodBounds()
{
    QFETCH(QDateTime, when);
    QFETCH(bool, inside);
    const QDate d(2024, 1, 2);
    QCOMPARE(inMilkingPeriod(when, QDateTime(d, QTime(0, 0, 0)), QDateTime(d, QTime(11, 59, 59))), inside);
    // A milking not in use has null bounds and collects nothing.
    QVERIFY(!inMilkingPeriod(when, QDateTime(), QDateTime()));
}

void TestSummary::periodCounting_data()
{
    QTest::addColumn<double>("milk");
    QTest::addColumn<QTime>("time");
    QTest::addColumn<bool>("counted");
    QTest::newRow("inside") << 8.5 << QTime(6, 0) << true;
    QTest::newRow("no milk") << 0.0 << QTime(6, 0) << false;
    QTest::newRow("negative milk") << -1.0 << QTime(6, 0) << false;
    QTest::newRow("not a number") << qQNaN() << QTime(6, 0) << false;
    QTest::newRow("outside") << 8.5 << QTime(13, 0) << false;
}

void TestSummary::periodCounting()
{
    QFETCH(double, milk);
    QFETCH(QTime, time);
    QFETCH(bool, counted);
    const QDate d(2024, 1, 2);
    const QDateTime from(d, QTime(0, 0));
    const QDateTime to(d, QTime(11, 59, 59));
    MilkMap map;
    QCOMPARE(addMilkInPeriod(map, from, to, QStringLiteral("5"), milk, QDateTime(d, time)), counted);
    // A milking that is not counted creates no entry, so the cow gets no line.
    QCOMPARE(map.size(), counted ? 1 : 0);
    // The same through the clock of many milkings.
    MilkingPeriodClock clock(&from, &to, 1);
    MilkMap viaClock;
    QCOMPARE(clock.addMilk(viaClock, 0, QStringLiteral("5"), milk, d, time.msecsSinceStartOfDay()), counted);
    QCOMPARE(viaClock.keys(), map.keys());
    QCOMPARE(viaClock.value("5").when, map.value("5").when);
    QCOMPARE(viaClock.value("5").milk, map.value("5").milk);
    // And into the readers' flat sums, which write the same text.
    MilkSums sums;
    QCOMPARE(clock.addMilk(sums, 0, 5, milk, d, time.msecsSinceStartOfDay()), counted);
    QCOMPARE(milkYieldCsv(sums, {}, {}), milkYieldCsv(map));
}

void TestSummary::clockAgreesAcrossDaylightSaving()
{
    // Every quarter of an hour (and the hour that comes twice) of the days around both changes of
    // the clocks, against periods that end and start inside the changes.
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "Europe/Prague");
    const QDate spring(2024, 3, 31);
    const QDate autumn(2024, 10, 27);
    const bool changes =
        QDateTime(spring, QTime(0, 0)).offsetFromUtc() != QDateTime(spring, QTime(12, 0)).offsetFromUtc();
    if (!changes && runsOnWindows())
        QSKIP("Windows takes the time zone from the system, not from TZ");
    QVERIFY(changes);
    const QDateTime from[] = {QDateTime(spring, QTime(1, 30)), QDateTime(autumn, QTime(2, 15)),
                              QDateTime(spring.addDays(-1), QTime(23, 0))};
    const QDateTime to[] = {QDateTime(spring, QTime(3, 15)), QDateTime(autumn, QTime(2, 45)),
                            QDateTime(autumn.addDays(1), QTime(1, 0))};
    MilkingPeriodClock clock(from, to, 3);
    int compared = 0;
    for (const QDate &day : {spring.addDays(-1), spring, spring.addDays(1), autumn, autumn.addDays(1)}) {
        for (int ms = 0; ms < 24 * 3600 * 1000; ms += 15 * 60 * 1000) {
            const QDateTime when(day, QTime::fromMSecsSinceStartOfDay(ms));
            for (int p = 0; p < 3; ++p) {
                QCOMPARE(clock.inPeriod(p, day, ms), inMilkingPeriod(when, from[p], to[p]));
                ++compared;
            }
        }
    }
    QCOMPARE(compared, 5 * 96 * 3);
    QVERIFY(!clock.inPeriod(0, QDate(), 0));
    QVERIFY(!clock.inPeriod(0, spring, -1));
    if (zone.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", zone);
}

STABLOMAT_TEST_MAIN_CORE(TestSummary)
#include "tst_summary.moc"
