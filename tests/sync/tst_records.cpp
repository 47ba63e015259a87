#include "common/testsupport.h"

#include "sync/records.h"

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void lifeNumber_data();
    void lifeNumber();
    void sendWindow_data();
    void sendWindow();
    void knownInseminations();
    void keyOrderedFilling_data();
    void keyOrderedFilling();
};

void TestRecords::lifeNumber_data()
{
    QTest::addColumn<QString>("registration");
    QTest::addColumn<QString>("lifeNumber");
    QTest::addColumn<bool>("isLong");

    QTest::newRow("plain") << "12345678"
                           << "12345678" << false;
    QTest::newRow("country prefix, blanks, leading zero") << "CZ 012 345 678"
                                                          << "12345678" << false;
    QTest::newRow("leading zeros to nine digits") << "CZ000123456789"
                                                  << "123456789" << true;
    QTest::newRow("separators") << "CZ-1234.5678/9"
                                << "123456789" << true;
    QTest::newRow("minus sign is not a digit") << "-42"
                                               << "42" << false;
    QTest::newRow("empty") << ""
                           << "0" << false;
    QTest::newRow("no digit") << "CZ ?"
                              << "0" << false;
    QTest::newRow("only zeros") << "000"
                                << "0" << false;
    QTest::newRow("largest 64-bit") << "9223372036854775807"
                                    << "9223372036854775807" << true;
    QTest::newRow("one past the largest 64-bit") << "9223372036854775808"
                                                 << "0" << false;
    QTest::newRow("leading zeros before the largest") << "00009223372036854775807"
                                                      << "9223372036854775807" << true;
    QTest::newRow("too large for 64 bits") << "9223372036854775808"
                                           << "0" << false;
    QTest::newRow("twenty digits") << "12345678901234567890"
                                   << "0" << false;
    QTest::newRow("zeros before a large value") << "0009223372036854775807"
                                                << "9223372036854775807" << true;
    QTest::newRow("non-ASCII digits dropped") << QString::fromUtf8("\u0661\u0662 7") << "7" << false;
}

void TestRecords::lifeNumber()
{
    QFETCH(QString, registration);
    QFETCH(QString, lifeNumber);
    QFETCH(bool, isLong);
    QCOMPARE(normalisedLifeNumber(registration), lifeNumber);
    QCOMPARE(isLongLifeNumber(normalisedLifeNumber(registration)), isLong);
    // The readers' 64-bit form: the same number, and the text read back only in that form.
    const qint64 value = lifeNumberValue(registration);
    QCOMPARE(QString::number(value), lifeNumber);
    QCOMPARE(lifeNumberText(value), lifeNumber);
    QCOMPARE(isLongLifeNumber(value), isLong);
    QCOMPARE(lifeNumberOfText(lifeNumber), value);
    QCOMPARE(lifeNumberOfText(registration), registration == lifeNumber ? value : -1);
}

void TestRecords::sendWindow_data()
{
    QTest::addColumn<QDate>("date");
    QTest::addColumn<int>("sendDays");
    QTest::addColumn<bool>("sent");

    const QDate today(2024, 3, 1); // leap year: the window crosses 29 February
    QTest::newRow("today") << today << 1 << true;
    QTest::newRow("first day of the window") << QDate(2024, 2, 23) << 7 << true;
    QTest::newRow("day before the window") << QDate(2024, 2, 22) << 7 << false;
    QTest::newRow("29 February, one day back") << QDate(2024, 2, 29) << 1 << true;
    QTest::newRow("28 February, one day back") << QDate(2024, 2, 28) << 1 << false;
    QTest::newRow("future date") << QDate(2024, 3, 5) << 1 << true;
    QTest::newRow("window 0") << today << 0 << false;
    QTest::newRow("negative window") << today << -3 << false;
    QTest::newRow("invalid date") << QDate() << 10000 << false;
    QTest::newRow("old event, wide window") << QDate(1999, 1, 1) << 100000 << true;
}

void TestRecords::sendWindow()
{
    QFETCH(QDate, date);
    QFETCH(int, sendDays);
    QFETCH(bool, sent);
    const QDate today(2024, 3, 1);
    QCOMPARE(inSendWindow(date, sendDays, today), sent);
    if (sendDays > 0)
        QCOMPARE(sendWindowStart(sendDays, today), today.addDays(-sendDays));
}

void TestRecords::knownInseminations()
{
    KnownInseminations known;
    const QDate d(2024, 2, 3);
    known.insert(123, d);
    known.insert(QStringLiteral("0456"), d); // keyed by its text, as Uniform keys animals
    known.insert(QStringLiteral("123"), d);  // the same insemination again
    QCOMPARE(known.size(), 2);
    QVERIFY(known.contains(QStringLiteral("123"), d));
    QVERIFY(!known.contains(QStringLiteral("123"), d.addDays(1)));
    QVERIFY(!known.contains(QStringLiteral("1234"), d));
    QVERIFY(!known.contains(QStringLiteral("0123"), d));
    QVERIFY(known.contains(QStringLiteral("0456"), d));
    QVERIFY(!known.contains(QStringLiteral("456"), d));
    // A downloaded row without a valid date never matches a held insemination.
    QVERIFY(!known.contains(QStringLiteral("123"), QDate()));
}

void TestRecords::keyOrderedFilling_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::newRow("empty") << QStringList{};
    QTest::newRow("ascending") << QStringList{"1", "2", "3"};
    QTest::newRow("descending") << QStringList{"9", "8", "10", "1"};
    QTest::newRow("repeats, not next to each other") << QStringList{"5", "12", "5", "", "12", "5", "0"};
    QStringList random;
    quint32 seed = 7;
    for (int i = 0; i < 500; ++i) {
        seed = seed * 1103515245u + 12345u;
        random << QString::number((seed >> 8) % 300);
    }
    QTest::newRow("500 random with repeats") << random;
    QTest::newRow("digits, prefixes of each other and 19 long")
        << QStringList{"123", "12", "1234567890123456789", "13", "1", "120", "1234567890123456788", "12"};
    QTest::newRow("life numbers to the largest") << QStringList{
        "9223372036854775807", "9", "90", "922337203685477580", "1000000000000000000", "1", "10"};
    QTest::newRow("one too long for packed digits")
        << QStringList{"123", "12345678901234567890", "12", "1234567890123456789"};
}

// Filling a map through mapEntry, in the given order or in the order orderByKey gives, ends with
// the map plain insertion gives: every key, the last value of each.
void TestRecords::keyOrderedFilling()
{
    QFETCH(QStringList, keys);
    QMap<QString, int> plain;
    for (int i = 0; i < keys.size(); ++i)
        plain.insert(keys.at(i), i);

    QMap<QString, int> given;
    for (int i = 0; i < keys.size(); ++i)
        mapEntry(given, keys.at(i)) = i;
    QCOMPARE(given, plain);

    std::vector<int> order = orderByKey(keys.size(), [&](int k) { return keys.at(k); });
    // Keys that are all life numbers give the same order from their values.
    if (std::all_of(keys.cbegin(), keys.cend(), [](const QString &k) { return lifeNumberOfText(k) >= 0; })) {
        const std::vector<int> byValue =
            orderByLifeNumber(keys.size(), [&](int k) { return lifeNumberOfText(keys.at(k)); });
        QCOMPARE(byValue, order);
    }
    QCOMPARE(int(order.size()), keys.size());
    QMap<QString, int> sorted;
    QList<int> seen;
    for (const int i : order) {
        mapEntry(sorted, keys.at(i)) = i;
        seen << i;
    }
    QCOMPARE(sorted, plain);
    // Ascending in text order; equal keys in their given order.
    for (size_t i = 1; i < order.size(); ++i) {
        const QString &a = keys.at(order[i - 1]);
        const QString &b = keys.at(order[i]);
        QVERIFY2(a < b || (a == b && order[i - 1] < order[i]), qPrintable(a + " " + b));
    }
    // Each position once; equal keys keep their order.
    std::sort(seen.begin(), seen.end());
    for (int i = 0; i < seen.size(); ++i)
        QCOMPARE(seen.at(i), i);
    for (size_t k = 1; k < order.size(); ++k) {
        if (keys.at(order[k - 1]) == keys.at(order[k]))
            QVERIFY(order[k - 1] < order[k]);
        else
            QVERIFY(keys.at(order[k - 1]) < keys.at(order[k]));
    }
}

STABLOMAT_TEST_MAIN_CORE(TestRecords)
#include "tst_records.moc"
