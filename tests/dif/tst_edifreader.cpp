#include "common/testsupport.h"
#include "procstats.h"

#include "ziviviver/ziviviver.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTextCodec>

namespace {

using Table = QList<QStringList>;

// The header most writers put before the data.
const QByteArray Header = "TABLE\n0,1\n\"EXCEL\"\nVECTORS\n0,3\n\"\"\nTUPLES\n0,2\n\"\"\nDATA\n0,0\n\"\"\n";

QByteArray cp1250(const QString &text)
{
    return QTextCodec::codecForName("Windows-1250")->fromUnicode(text);
}

QString u(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

// Little-endian UTF-16 without a byte-order mark.
QByteArray utf16le(const QString &text)
{
    QByteArray bytes;
    for (const QChar c : text) {
        bytes.append(static_cast<char>(c.unicode() & 0xFF));
        bytes.append(static_cast<char>(c.unicode() >> 8));
    }
    return bytes;
}

} // namespace

class TestEDifReader : public QObject
{
    Q_OBJECT

private slots:
    void readsShapes_data();
    void readsShapes();
    void refusesMalformed_data();
    void refusesMalformed();
    void missingFile();
    void outOfRange();
    void initTwice();
    void everyTruncationRefused();
    void corruptedBytesNeverCrash();
    void largeReport();
    void raggedReportStaysSmall();

private:
    QString write(const QByteArray &bytes);
    QTemporaryDir dir;
    int files = 0;
};

QString TestEDifReader::write(const QByteArray &bytes)
{
    const QString path = dir.filePath(QStringLiteral("report%1.dif").arg(++files));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    f.write(bytes);
    return path;
}

void TestEDifReader::readsShapes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Table>("table");

    QTest::newRow("strings and numbers") << Header + "-1,0\nBOT\n1,0\n\"Krava\"\n1,0\n\"Reg.c.\"\n"
                                                     "-1,0\nBOT\n0,12\nV\n1,0\n\"CZ 012345678\"\n-1,0\nEOD\n"
                                         << Table{{"Krava", "Reg.c."}, {"12", "CZ 012345678"}};

    QTest::newRow("quotes inside strings")
        << Header + "-1,0\nBOT\n1,0\n\"Novák \"\"Franta\"\"\"\n1,0\n\"\"\"\"\n1,0\n\"a\"\"\"\n-1,0\nEOD\n"
        << Table{{u("Novák \"Franta\""), "\"", "a\""}};

    QTest::newRow("lone quote kept") << Header + "-1,0\nBOT\n1,0\n\"5\" disk\"\n-1,0\nEOD\n"
                                     << Table{{"5\" disk"}};

    QTest::newRow("NA, ERROR, TRUE, FALSE")
        << Header + "-1,0\nBOT\n0,0\nNA\n0,0\nERROR\n0,1\nTRUE\n0,0\nFALSE\n0,7\nV\n-1,0\nEOD\n"
        << Table{{"", "", "TRUE", "FALSE", "7"}};

    QTest::newRow("decimal comma in a number")
        << Header + "-1,0\nBOT\n0,12,5\nV\n0,-0,75\nV\n0,3.25\nV\n0,1.5E+01\nV\n-1,0\nEOD\n"
        << Table{{"12,5", "-0,75", "3.25", "1.5E+01"}};

    QTest::newRow("date as text in a numeric cell")
        << Header + "-1,0\nBOT\n0,10/25/2013 19:21:51\nV\n-1,0\nEOD\n"
        << Table{{"10/25/2013 19:21:51"}};

    QByteArray crlf = Header + "-1,0\nBOT\n1,0\n\"N1\"\n-1,0\nBOT\n0,3,5\nV\n-1,0\nEOD\n";
    crlf.replace("\n", "\r\n");
    QTest::newRow("CR LF") << crlf << Table{{"N1"}, {"3,5"}};

    QByteArray cr = Header + "-1,0\nBOT\n1,0\n\"N1\"\n-1,0\nEOD\n";
    cr.replace("\n", "\r");
    QTest::newRow("CR only") << cr << Table{{"N1"}};

    QTest::newRow("byte-order mark and no-break spaces inside cells kept")
        << Header + "-1,0\nBOT\n1,0\n\"\xEF\xBB\xBFx\"\n1,0\n\xC2\xA0\"y\xC2\xA0\"\xC2\xA0\n-1,0\nEOD\n"
        << Table{{QString(QChar(0xFEFF)) + "x", u("y\xC2\xA0")}};

    const QString names = u("Žluťoučký kůň úpěl ďábelské ódy");
    QTest::newRow("Windows-1250 names") << Header + "-1,0\nBOT\n1,0\n\"" + cp1250(names) + "\"\n1,0\n\"" +
                                               cp1250(u("Ne pro inseminaci")) + "\"\n-1,0\nEOD\n"
                                        << Table{{names, "Ne pro inseminaci"}};

    QTest::newRow("UTF-8 names") << Header + "-1,0\nBOT\n1,0\n\"" + names.toUtf8() + "\"\n-1,0\nEOD\n"
                                 << Table{{names}};

    QTest::newRow("UTF-8 with byte-order mark")
        << "\xEF\xBB\xBF" + Header + "-1,0\nBOT\n1,0\n\"" + u("Březí").toUtf8() + "\"\n-1,0\nEOD\n"
        << Table{{u("Březí")}};

    const QByteArray utf16Text = "\xFF\xFE" + utf16le(QString::fromLatin1(Header) + "-1,0\nBOT\n1,0\n\"" +
                                                      u("Zmetání") + "\"\n-1,0\nEOD\n");
    QTest::newRow("UTF-16 with byte-order mark") << utf16Text << Table{{u("Zmetání")}};

    QTest::newRow("short rows") << Header + "-1,0\nBOT\n1,0\n\"A\"\n1,0\n\"B\"\n1,0\n\"C\"\n"
                                            "-1,0\nBOT\n0,1\nV\n"
                                            "-1,0\nBOT\n"
                                            "-1,0\nBOT\n0,1\nV\n0,2\nV\n0,3\nV\n0,4\nV\n-1,0\nEOD\n"
                                << Table{{"A", "B", "C"}, {"1"}, {}, {"1", "2", "3", "4"}};

    QTest::newRow("counts swapped, extra header items")
        << QByteArray("TABLE\n0,1\n\"\"\nVECTORS\n0,1\n\"\"\nTUPLES\n0,9\n\"\"\nLABEL\n1,0\n\"Krava\"\n"
                      "COMMENT\n0,0\n\"AfiFarm\"\nDATA\n0,0\n\"\"\n"
                      "-1,0\nBOT\n1,0\n\"x\"\n1,0\n\"y\"\n-1,0\nEOD\n")
        << Table{{"x", "y"}};

    QTest::newRow("empty strings and blanks kept")
        << Header + "-1,0\nBOT\n1,0\n\"\"\n1,0\n\"  7 \"\n1,0\n\"?\"\n-1,0\nEOD\n"
        << Table{{"", "  7 ", "?"}};

    QTest::newRow("unquoted strings") << Header + "-1,0\nBOT\n1,0\nKrava\n1,0\n12/03/2024\n-1,0\nEOD\n"
                                      << Table{{"Krava", "12/03/2024"}};

    QTest::newRow("string over two lines") << Header + "-1,0\nBOT\n1,0\n\"prvni\ndruhy\"\n0,5\nV\n-1,0\nEOD\n"
                                           << Table{{"prvni\ndruhy", "5"}};

    QTest::newRow("no line end after EOD, text after it ignored")
        << Header + "-1,0\nBOT\n0,1\nV\n-1,0\nEOD" << Table{{"1"}};
    QTest::newRow("text after EOD") << Header + "-1,0\nBOT\n0,1\nV\n-1,0\nEOD\ngarbage\n\x01\x02"
                                    << Table{{"1"}};

    QTest::newRow("blank lines between items, lower-case indicators")
        << Header + "\n-1,0\nbot\n\n0,1\nv\n0,0\nna\n\n-1,0\neod\n"
        << Table{{"1", ""}};

    QTest::newRow("no rows") << Header + "-1,0\nEOD\n" << Table{};
    static const char withNul[] = "-1,0\nBOT\n1,0\n\"a\0b\"\n1,0\n\"c\"\"\0\"\n0,1\0\nV\n0,2\nV\n-1,0\nEOD\n";
    QTest::newRow("NUL bytes in cells")
        << Header + QByteArray(withNul, sizeof withNul - 1) << Table{{"", "", "", "2"}};
}

void TestEDifReader::readsShapes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Table, table);

    EDifReader reader(write(bytes));
    reader.init();
    QVERIFY(reader.isValid);
    QCOMPARE(reader.rowCount, table.size());
    int cols = 0;
    for (const QStringList &row : table)
        cols = qMax(cols, row.size());
    QCOMPARE(reader.colCount, cols);
    for (int r = 0; r < table.size(); ++r) {
        for (int c = 0; c < cols; ++c)
            QCOMPARE(reader.getData(r, c), table[r].value(c));
    }
}

void TestEDifReader::refusesMalformed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray rows = "-1,0\nBOT\n1,0\n\"Krava\"\n0,12\nV\n";

    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("only line ends") << QByteArray("\n\r\n\n");
    QTest::newRow("CSV text") << QByteArray("Krava;Reg.c.;N1\n12;CZ 012345678;12,5\n");
    QTest::newRow("no EOD") << Header + rows;
    QTest::newRow("cut after a cell's number") << Header + "-1,0\nBOT\n0,12\n";
    QTest::newRow("cut inside a header item") << QByteArray("TABLE\n0,1\n");
    QTest::newRow("header without DATA") << QByteArray("TABLE\n0,1\n\"\"\nVECTORS\n0,1\n\"\"\n");
    QTest::newRow("string never closed") << Header + "-1,0\nBOT\n1,0\n\"Krava\n-1,0\nEOD\n";
    QTest::newRow("cell before BOT") << Header + "0,12\nV\n-1,0\nEOD\n";
    QTest::newRow("unknown cell type") << Header + "-1,0\nBOT\n2,0\n\"x\"\n-1,0\nEOD\n";
    QTest::newRow("unknown value indicator") << Header + "-1,0\nBOT\n0,5\nXYZ\n-1,0\nEOD\n";
    QTest::newRow("unknown special item") << Header + "-1,0\nBOS\n-1,0\nEOD\n";
    QTest::newRow("type not a number") << Header + "-1,0\nBOT\nx,0\n\"a\"\n-1,0\nEOD\n";
    QTest::newRow("item without comma") << Header + "-1,0\nBOT\n10\n\"a\"\n-1,0\nEOD\n";
    QTest::newRow("header numbers not numbers")
        << QByteArray("TABLE\nx,y\n\"\"\nDATA\n0,0\n\"\"\n-1,0\nEOD\n");
    QTest::newRow("header topic with blanks")
        << QByteArray("MY TABLE\n0,1\n\"\"\nDATA\n0,0\n\"\"\n-1,0\nEOD\n");
    QTest::newRow("UTF-16 without byte-order mark") << utf16le(QString::fromLatin1(Header + "-1,0\nEOD\n"));
    QByteArray binary(4096, '\0');
    QRandomGenerator random(7);
    for (char &b : binary)
        b = static_cast<char>(random.bounded(256));
    QTest::newRow("random bytes") << binary;
}

void TestEDifReader::refusesMalformed()
{
    QFETCH(QByteArray, bytes);
    EDifReader reader(write(bytes));
    reader.init();
    QVERIFY(!reader.isValid);
    QCOMPARE(reader.rowCount, 0);
    QCOMPARE(reader.colCount, 0);
    QCOMPARE(reader.getData(0, 0), QString());
}

void TestEDifReader::missingFile()
{
    EDifReader reader(dir.filePath(QStringLiteral("absent.dif")));
    reader.init();
    QVERIFY(!reader.isValid);
    EDifReader directory(dir.path());
    directory.init();
    QVERIFY(!directory.isValid);
}

void TestEDifReader::outOfRange()
{
    EDifReader reader(write(Header + "-1,0\nBOT\n1,0\n\"a\"\n1,0\n\"b\"\n-1,0\nBOT\n0,1\nV\n-1,0\nEOD\n"));
    reader.init();
    QVERIFY(reader.isValid);
    QCOMPARE(reader.getData(1, 0), QStringLiteral("1"));
    for (const QPair<int, int> &cell :
         {qMakePair(-1, 0), qMakePair(0, -1), qMakePair(2, 0), qMakePair(1, 1), qMakePair(0, 2),
          qMakePair(INT_MAX, INT_MAX), qMakePair(INT_MIN, 0)}) {
        QVERIFY(reader.getData(cell.first, cell.second).isEmpty());
    }
}

void TestEDifReader::initTwice()
{
    const QString path = write(Header + "-1,0\nBOT\n0,1\nV\n-1,0\nBOT\n0,2\nV\n-1,0\nEOD\n");
    EDifReader reader(path);
    reader.init();
    QCOMPARE(reader.rowCount, 2);
    // The file is replaced by something unreadable: a second init forgets the first contents.
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("not a report");
    f.close();
    reader.init();
    QVERIFY(!reader.isValid);
    QCOMPARE(reader.rowCount, 0);
    QCOMPARE(reader.getData(0, 0), QString());
}

void TestEDifReader::everyTruncationRefused()
{
    const QByteArray full = Header +
                            "-1,0\r\nBOT\r\n1,0\r\n\"Kr\"\"ava\"\r\n0,12,5\r\nV\r\n0,0\r\nNA\r\n"
                            "-1,0\r\nBOT\r\n1,0\r\n\"" +
                            cp1250(u("Březí")) + "\"\r\n-1,0\r\nEOD";
    // Every cut that loses "EOD" leaves an invalid reader, the whole file a valid one.
    for (int length = 0; length < full.size(); ++length) {
        EDifReader reader(write(full.left(length)));
        reader.init();
        QVERIFY2(!reader.isValid, qPrintable(QString::number(length)));
    }
    EDifReader reader(write(full));
    reader.init();
    QVERIFY(reader.isValid);
    QCOMPARE(reader.getData(0, 0), QStringLiteral("Kr\"ava"));
    QCOMPARE(reader.getData(1, 0), u("Březí"));
}

void TestEDifReader::corruptedBytesNeverCrash()
{
    const QByteArray base = Header + "-1,0\nBOT\n1,0\n\"Krava\"\n1,0\n\"N1\"\n-1,0\nBOT\n0,12\nV\n0,3,5\nV\n"
                                     "-1,0\nBOT\n1,0\n\"x\"\"y\"\n0,0\nNA\n-1,0\nEOD\n";
    const char alphabet[] = "\"\n\r,-01VBOTEDNA\xC5\xBE\xFF";
    QRandomGenerator random(2024);
    int valid = 0;
    for (int round = 0; round < 2000; ++round) {
        QByteArray bytes = base;
        const int changes = 1 + random.bounded(4);
        for (int k = 0; k < changes; ++k) {
            const int at = random.bounded(bytes.size());
            switch (random.bounded(3)) {
            case 0:
                bytes[at] = alphabet[random.bounded(int(sizeof alphabet) - 1)];
                break;
            case 1:
                bytes.remove(at, 1 + random.bounded(5));
                break;
            default:
                bytes.insert(at, alphabet[random.bounded(int(sizeof alphabet) - 1)]);
                break;
            }
        }
        EDifReader reader(write(bytes));
        reader.init();
        if (!reader.isValid) {
            QCOMPARE(reader.rowCount, 0);
            continue;
        }
        ++valid;
        // Whatever was read is consistent with the counts.
        QVERIFY(reader.rowCount >= 0 && reader.colCount >= 0);
        for (int r = -1; r <= reader.rowCount; ++r) {
            for (int c = -1; c <= reader.colCount; ++c)
                reader.getData(r, c);
        }
        QVERIFY(reader.getData(reader.rowCount, 0).isEmpty());
    }
    // Some mutations (inside a text, say) still give a readable file.
    QVERIFY(valid > 0);
}

void TestEDifReader::largeReport()
{
    // 10 000 cows with 30 columns, as a large herd's report.
    QByteArray bytes = Header;
    const int rows = 10001;
    const int cols = 30;
    for (int r = 0; r < rows; ++r) {
        bytes += "-1,0\r\nBOT\r\n";
        for (int c = 0; c < cols; ++c) {
            if (r == 0)
                bytes += "1,0\r\n\"C" + QByteArray::number(c) + "\"\r\n";
            else if (c % 2)
                bytes += "0," + QByteArray::number(r) + "," + QByteArray::number(c) + "\r\nV\r\n";
            else
                bytes += "1,0\r\n\"" + QByteArray::number(r * 100 + c) + "\"\r\n";
        }
    }
    bytes += "-1,0\r\nEOD\r\n";
    const QString path = write(bytes);
    const qint64 before = procStats().peakRssKb;
    QElapsedTimer clock;
    clock.start();
    EDifReader reader(path);
    reader.init();
    const qint64 ms = clock.elapsed();
    QVERIFY(reader.isValid);
    // The cells stay in the file's bytes: not a string each.
#ifndef STABLOMAT_ASAN // its quarantine keeps freed memory resident
    QVERIFY2(procStats().peakRssKb - before < 2 * bytes.size() / 1024 + 8 * 1024,
             qPrintable(QString::number(procStats().peakRssKb - before)));
#else
    Q_UNUSED(before)
#endif
    QCOMPARE(reader.rowCount, rows);
    QCOMPARE(reader.colCount, cols);
    QCOMPARE(reader.getData(rows - 1, 29), QStringLiteral("10000,29"));
    QCOMPARE(reader.getData(rows - 1, 28), QStringLiteral("1000028"));
    qInfo("%d rows, %d bytes read in %lld ms", rows, int(bytes.size()), ms);
}

void TestEDifReader::raggedReportStaysSmall()
{
    // One row of 20 000 cells, then 20 000 empty rows: 412 KB that a full grid would make 400
    // million cells of.
    QByteArray bytes = Header + "-1,0\nBOT\n";
    for (int c = 0; c < 20000; ++c)
        bytes += "0," + QByteArray::number(c) + "\nV\n";
    for (int r = 0; r < 20000; ++r)
        bytes += "-1,0\nBOT\n";
    bytes += "-1,0\nEOD\n";
    const QString path = write(bytes);
    const qint64 before = procStats().peakRssKb;
    EDifReader reader(path);
    reader.init();
    QVERIFY(reader.isValid);
    QCOMPARE(reader.rowCount, 20001);
    QCOMPARE(reader.colCount, 20000);
    QCOMPARE(reader.getData(0, 19999), QStringLiteral("19999"));
    QVERIFY(reader.getData(20000, 0).isNull());
#ifndef STABLOMAT_ASAN
    QVERIFY2(procStats().peakRssKb - before < 20 * 1024,
             qPrintable(QString::number(procStats().peakRssKb - before)));
#else
    Q_UNUSED(before)
#endif
}

STABLOMAT_TEST_MAIN_CORE(TestEDifReader)
#include "tst_edifreader.moc"
