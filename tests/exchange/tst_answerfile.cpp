#include "common/testsupport.h"
#include "exchange/adis.h"
#include "exchange/answerfields.h"
#include "exchange/answerfile.h"
#include "exchange/converter.h"
#include "exchange/runaway.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTextCodec>
#include <QThread>

#include <atomic>

#include <iterator>

namespace {

const adis::Entity Cow("201863", {{"00201896", 6, 0}, {"00200050", 8, 0}, {"00900085", 1, 0}});

QStringList linesOf(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return exchange::readAnswerLines(buffer, QTextCodec::codecForName("UTF-8"));
}

QList<adis::Values> recordsOf(const QByteArray &bytes)
{
    QList<adis::Values> records;
    for (const QString &line : linesOf(bytes)) {
        adis::Values v;
        if (Cow.cut(line, &v))
            records.append(v);
    }
    return records;
}

} // namespace

class TestAnswerFile : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { exchange::setAnswerWait(exchange::AnswerWait()); }
    void lineEnds_data();
    void lineEnds();
    void badInput_data();
    void badInput();
    void encodings();
    void decodedAsTheCodecDoes();
    void noAnswer();
    void answerAppearsWhileWaiting();
    void endedWhileWaiting(); // last: ends every later wait of the process
};

void TestAnswerFile::lineEnds_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("LF") << QByteArray("CN x\nVN201863   12\n") << QStringList{"CN x", "VN201863   12"};
    QTest::newRow("CR LF") << QByteArray("CN x\r\nVN201863   12\r\n") << QStringList{"CN x", "VN201863   12"};
    QTest::newRow("no final line end")
        << QByteArray("CN x\r\nVN201863   12") << QStringList{"CN x", "VN201863   12"};
    QTest::newRow("doubled CR") << QByteArray("VN201863   12\r\r\n") << QStringList{"VN201863   12"};
    QTest::newRow("blank lines skipped") << QByteArray("\r\n\n \t\r\nZN\r\n  \n") << QStringList{"ZN"};
    QTest::newRow("empty file") << QByteArray() << QStringList{};
}

void TestAnswerFile::lineEnds()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);
    QCOMPARE(linesOf(bytes), lines);
}

void TestAnswerFile::badInput_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("records");
    QTest::addColumn<QString>("cow"); // of the first record
    const QByteArray good = "VN201863    12202401051\r\n";
    QTest::newRow("good") << good << 1 << "12";
    QTest::newRow("empty file") << QByteArray() << 0 << "";
    QTest::newRow("one enormous line") << "VN201863" + QByteArray(20 * 1024 * 1024, '7') << 0 << "";
    QTest::newRow("enormous line, then a good one")
        << "VN201863" + QByteArray(3 * exchange::MaxAnswerLineBytes, ' ') + "\n" + good << 1 << "12";
    QTest::newRow("line of the limit")
        << "VN201863   77" + QByteArray(exchange::MaxAnswerLineBytes - 13, ' ') + "\n"
        << 1 << "77";
    QTest::newRow("NUL in a value line") << QByteArray("VN201863    13\0\0\0\0\0\0\0\0"
                                                       "1\r\n",
                                                       25) +
                                                good
                                         << 1 << "12";
    QByteArray binary(256 * 1024, '\0');
    QRandomGenerator rng(42);
    for (char &c : binary)
        c = char(rng.bounded(256));
    QTest::newRow("binary") << binary << 0 << "";
    QTest::newRow("binary around a good line") << binary + "\n" + good + binary << 1 << "12";
}

void TestAnswerFile::badInput()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, records);
    QFETCH(QString, cow);
    const QList<adis::Values> got = recordsOf(bytes);
    QCOMPARE(got.size(), records);
    if (records > 0)
        QCOMPARE(got.first().at(0), cow);
}

void TestAnswerFile::encodings()
{
    // A byte that is no UTF-8 stands for one character: later fields stay in place.
    const QByteArray latin = "VN201863 K\xe9\xe8"
                             "12202401051\n";
    const QList<adis::Values> r = recordsOf(latin);
    QCOMPARE(r.size(), 1);
    QCOMPARE(r.first().at(1), "20240105");
    QCOMPARE(r.first().at(2), "1");
    // Windows-1250 read as such.
    QBuffer buffer;
    buffer.setData("CN Kr\xe1va \x9a\n");
    buffer.open(QIODevice::ReadOnly);
    QCOMPARE(exchange::readAnswerLines(buffer, QTextCodec::codecForName("Windows-1250")),
             QStringList{QString::fromUtf8("CN Kráva š")});
}

// Lines are decoded as the codec decodes each line's bytes, whether they are plain ASCII (read
// directly) or not: random lines of printable, control and high bytes, in codecs of one and of
// several bytes a character and a stateful one.
void TestAnswerFile::decodedAsTheCodecDoes()
{
    QRandomGenerator rng(5);
    const QByteArray pieces[] = {"VN201863", "\t",       "\r",   "\x1b$B", "\x1b(B", "\x0e", "\x7f",
                                 "\x01",     "\xc3\xa9", "\xe9", "\x9a",   "  ",     "12,5", "\xa0"};
    for (const char *name : {"UTF-8", "Windows-1250", "ISO-2022-JP", "Shift_JIS"}) {
        QTextCodec *codec = QTextCodec::codecForName(name);
        QVERIFY2(codec, name);
        QByteArray bytes;
        QStringList expected;
        for (int l = 0; l < 300; ++l) {
            QByteArray line = "CN";
            for (int n = rng.bounded(0, 12); n > 0; --n)
                line += pieces[rng.bounded(int(std::size(pieces)))];
            // Plain lines most of the time, as in a real answer.
            if (l % 3)
                line = "VN201863   " + QByteArray::number(l) + "\t20240105";
            bytes += line + "\n";
            while (line.endsWith('\r'))
                line.chop(1);
            expected << codec->toUnicode(line);
        }
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QCOMPARE(exchange::readAnswerLines(buffer, codec), expected);
    }
}

void TestAnswerFile::noAnswer()
{
    QCOMPARE(exchange::answerWait().attempts, 120);
    QCOMPARE(exchange::answerWait().delayMs, 1000);
    exchange::setAnswerWait({3, 400});
    QTemporaryDir dir;
    QFile file;
    QElapsedTimer clock;
    // Events run all through the wait, not once between two pauses.
    qint64 lastTick = 0, longestGap = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    connect(&tick, &QTimer::timeout, [&] {
        longestGap = qMax(longestGap, clock.elapsed() - lastTick);
        lastTick = clock.elapsed();
    });
    tick.start(5);
    clock.start();
    QVERIFY(!exchange::openAnswer(file, dir.filePath("missing.txt")));
    const qint64 ms = clock.elapsed();
    // Far below the usual 120 s; a loaded Wine opens missing files slowly.
    QVERIFY2(ms >= 2 * 400 && ms < (runsOnWindows() ? 10000 : 5000), qPrintable(QString::number(ms)));
    QVERIFY2(longestGap < (runsOnWindows() ? 350 : 200), qPrintable(QString::number(longestGap)));
    tick.stop();
    QVERIFY(!file.isOpen());
    // A directory is no answer either.
    QVERIFY(!exchange::openAnswer(file, dir.path()));
    // Nor a file far larger than any herd's answer (sparse: nothing is written to disk).
    QFile huge(dir.filePath("huge.ads"));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(exchange::MaxAnswerBytes + 1));
    huge.close();
    QVERIFY(!exchange::openAnswer(file, huge.fileName()));
    QVERIFY(!file.isOpen());
}

void TestAnswerFile::answerAppearsWhileWaiting()
{
    // The answer is written by a timer: it can only fire when the wait lets events run.
    exchange::setAnswerWait({200, 10});
    QTemporaryDir dir;
    const QString path = dir.filePath("fout.ads");
    QTimer::singleShot(100, [path] {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("VN201863   1220240105 1\r\n");
    });
    QFile file;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(exchange::openAnswer(file, path));
    QVERIFY(clock.elapsed() < 5000);
    const QStringList lines = exchange::readAnswerLines(file);
    QCOMPARE(lines, QStringList{"VN201863   1220240105 1"});
    // Work runs on a thread of its own, and ends only once a timer of this thread has fired.
    std::atomic<bool> ticked{false};
    QTimer::singleShot(10, [&] { ticked = true; });
    const std::optional<bool> away = exchange::runAway([&] {
        for (int ms = 0; !ticked && ms < 5000; ++ms)
            QThread::msleep(1);
        return ticked && QThread::currentThread() != qApp->thread();
    });
    QVERIFY(away.value_or(false));
    std::optional<exchange::AnswerLines> read = exchange::answerLinesAway(path);
    QStringView line;
    QVERIFY(read && read->next(&line) && line == lines.first() && !read->next(&line));
}

void TestAnswerFile::endedWhileWaiting()
{
    QTemporaryDir dir;
    QTimer::singleShot(100, [] { exchange::endConverterRuns(); });
    QFile file;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!exchange::openAnswer(file, dir.filePath("missing.txt")));
    QVERIFY2(clock.elapsed() < 700, qPrintable(QString::number(clock.elapsed())));
    // Work away from this thread is given up, but only once it has ended: it uses the caller's data.
    bool ended = false;
    QVERIFY(!exchange::runAway([&] {
        QThread::msleep(200);
        return ended = true;
    }));
    QVERIFY(ended);
}

STABLOMAT_TEST_MAIN_CORE(TestAnswerFile)
#include "tst_answerfile.moc"
