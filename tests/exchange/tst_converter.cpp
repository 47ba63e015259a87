#include "common/testsupport.h"
#include "exchange/adis.h"
#include "exchange/answerfile.h"
#include "exchange/converter.h"
#include "platform/platform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

namespace {

// Blank, quote and a non-ASCII letter: the shell quoting must carry them all.
const QString ConverterDirName = QStringLiteral("Dojírna farmer's conv dir");

const QString RequestText = QString::fromUtf8("CN ***** čt čvc 2 09:12:28 2020\n"
                                              "CN *****\n"
                                              "RN20186300201896060\n"
                                              "ZN\n");
const QByteArray RequestBytes = QByteArray("CN ***** \xc4\x8dt \xc4\x8dvc 2 09:12:28 2020\r\n"
                                           "CN *****\r\n"
                                           "RN20186300201896060\r\n"
                                           "ZN\r\n");

struct Record
{
    bool present = false;
    QString cwd;
    QStringList args;
    qint64 pid = 0;
    QByteArray input;
};

Record readRecord(const QString &dir)
{
    Record r;
    QFile f(dir + "/fakeconverter.record");
    if (!f.open(QIODevice::ReadOnly))
        return r;
    r.present = true;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QString text = QString::fromUtf8(line);
        if (text.startsWith("cwd="))
            r.cwd = text.mid(4);
        else if (text.startsWith("arg="))
            r.args.append(text.mid(4));
        else if (text.startsWith("pid="))
            r.pid = text.mid(4).toLongLong();
        else if (text.startsWith("input="))
            r.input = QByteArray::fromHex(line.mid(6));
    }
    return r;
}

// A process whose command line names the token (Wine's processes show the Windows path).
bool processMentioning(const QString &token)
{
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        QFile cmdline(QStringLiteral("/proc/") + entry + QStringLiteral("/cmdline"));
        if (entry.toLongLong() > 0 && entry.toLongLong() != QCoreApplication::applicationPid() &&
            cmdline.open(QIODevice::ReadOnly) && QString::fromUtf8(cmdline.readAll()).contains(token))
            return true;
    }
    return false;
}

// Through the program's own process list (a zombie has no name there and counts as gone).
bool processGone(qint64 pid)
{
    const QList<platform::ProcessEntry> processes = platform::runningProcesses();
    return std::none_of(processes.begin(), processes.end(),
                        [pid](const platform::ProcessEntry &p) { return p.pid == pid; });
}

} // namespace

class TestConverter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void commandLine_data();
    void commandLine();
    void oldInputDeletedFirst();
    void inputNotWritable();
    void failures_data();
    void failures();

private:
    // Puts the stand-in converter into the converter directory under the given name.
    void installConverter(const QString &name, const QString &mode = QString());
    // A Windows converter instead: the directory moves to drive C of the shared Wine prefix.
    bool useWindowsConverter();
    QString convDir() const { return dirPath; }
    QScopedPointer<QTemporaryDir> root;
    QString dirPath;
    QString converterSource = QStringLiteral(FAKE_CONVERTER);
    QByteArray savedPrefix;
};

void TestConverter::init()
{
    root.reset(new QTemporaryDir);
    QVERIFY(root->isValid());
    dirPath = root->path() + QLatin1Char('/') + ConverterDirName;
    converterSource = QStringLiteral(FAKE_CONVERTER);
    QVERIFY(QDir().mkpath(convDir()));
    exchange::setConverterLimits({5000, 30000});
    savedPrefix = qgetenv("WINEPREFIX");
}

void TestConverter::cleanup()
{
    exchange::setConverterLimits(exchange::ConverterLimits());
    if (converterSource != QLatin1String(FAKE_CONVERTER))
        QDir(convDir()).removeRecursively();
    qputenv("WINEPREFIX", savedPrefix);
    root.reset();
}

bool TestConverter::useWindowsConverter()
{
#ifdef WIN_CONVERTER
    converterSource = QStringLiteral(WIN_CONVERTER);
    qputenv("WINEPREFIX", WINE_PREFIX);
    // Blank and quote in the name; the letters stay ASCII for the converter's ANSI calls.
    dirPath = QStringLiteral(WINE_PREFIX "/drive_c/DairyPln farmer's ") + QFileInfo(root->path()).fileName();
    return QDir().mkpath(dirPath);
#else
    return false;
#endif
}

void TestConverter::installConverter(const QString &name, const QString &mode)
{
    const QString target = convDir() + QLatin1Char('/') + name;
    QFile::remove(target);
    QVERIFY(QFile::copy(converterSource, target));
    QVERIFY(QFile::setPermissions(target,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    if (!mode.isEmpty()) {
        QFile m(convDir() + "/fakeconverter.mode");
        QVERIFY(m.open(QIODevice::WriteOnly));
        m.write(mode.toUtf8());
    }
}

void TestConverter::commandLine_data()
{
    QTest::addColumn<QString>("runner");
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("inputName");
    QTest::addColumn<QString>("answerName");
    QTest::addColumn<bool>("windows"); // a Windows converter, run through Wine
    QTest::newRow("iso export") << "iso"
                                << " -x"
                                << "stablomat_in.txt"
                                << "stablomat_out.txt" << false;
    QTest::newRow("iso import") << "iso"
                                << ""
                                << "fin_stablomat_modify.ads"
                                << "fout_stablomat_modify.ads" << false;
    QTest::newRow("dairyplan") << "dairyplan"
                               << ""
                               << "fin_stablomat_nadoje.ads"
                               << "fout_stablomat_nadoje.ads" << false;
    QTest::newRow("taurus") << "tau"
                            << ""
                            << "tau_ms.2"
                            << "TAU_PRC.2" << false;
    if (runsOnWindows())
        return; // the converter above is a Windows program already
    QTest::newRow("iso export, wine") << "iso"
                                      << " -x"
                                      << "stablomat_in.txt"
                                      << "stablomat_out.txt" << true;
    QTest::newRow("dairyplan, wine") << "dairyplan"
                                     << ""
                                     << "fin_stablomat_nadoje.ads"
                                     << "fout_stablomat_nadoje.ads" << true;
    QTest::newRow("taurus, wine") << "tau"
                                  << ""
                                  << "tau_ms.2"
                                  << "TAU_PRC.2" << true;
}

void TestConverter::commandLine()
{
    QFETCH(QString, runner);
    QFETCH(QString, options);
    QFETCH(QString, inputName);
    QFETCH(QString, answerName);
    QFETCH(bool, windows);
    if (windows && !useWindowsConverter())
        QSKIP("no MinGW or Wine here");
    const QString dir = convDir() + QLatin1Char('/');
    // Under Wine the converter sees drive C: "C:\\DairyPln farmer's …\\fin_stablomat_nadoje.ads".
    const QString winDir = QStringLiteral("C:\\") + QFileInfo(convDir()).fileName();
    const auto seen = [&](const QString &path) {
        return windows ? winDir + QLatin1Char('\\') + QFileInfo(path).fileName() : path;
    };
    const QString input = QDir::cleanPath(dir) + QLatin1Char('/') + inputName;
    const QString answer = QDir::cleanPath(dir) + QLatin1Char('/') + answerName;

    QString text = RequestText;
    QByteArray bytes = RequestBytes;
    QStringList expectedArgs;
    int result = -2;
    if (runner == "iso") {
        installConverter("iso32.exe");
        expectedArgs = QStringList{"-f", inputName, "-o", answerName};
        if (!options.isEmpty())
            expectedArgs << "-x";
        result = runIsoConverter(dir, input, text, answer, options);
    } else if (runner == "dairyplan") {
        installConverter("dpdataexchange.exe");
        text.prepend("ON " + answerName + "\n");
        bytes.prepend("ON " + answerName.toUtf8() + "\r\n");
        expectedArgs = QStringList{"-T", "-A", "-E", seen(input)};
        result = runDairyPlanConverter(dir, input, text);
    } else {
        installConverter("taurus2.exe");
        result = runTauConverter(convDir() + "/taurus2.exe", input, text);
    }
    QCOMPARE(result, 0);

    const Record rec = readRecord(convDir());
    QVERIFY(rec.present);
    if (windows)
        QCOMPARE(rec.cwd, winDir);
    else
        QCOMPARE(QFileInfo(rec.cwd).canonicalFilePath(), QFileInfo(convDir()).canonicalFilePath());
    QCOMPARE(rec.args, expectedArgs);
    // UTF-8 with CR LF, on disk and as the converter saw it.
    QCOMPARE(readWholeFile(input), bytes);
    QCOMPARE(rec.input, bytes);

    // The answer it wrote is read back through the toolkit.
    exchange::setAnswerWait({3, 10});
    QFile file;
    QVERIFY(exchange::openAnswer(file, answer));
    const adis::Entity count("999999", {{"00000001", 6, 0}});
    adis::Values values;
    int records = 0;
    for (const QString &line : exchange::readAnswerLines(file)) {
        if (count.cut(line, &values)) {
            ++records;
            QCOMPARE(values.at(0).toInt(), bytes.count('\n'));
        }
    }
    QCOMPARE(records, 1);
    exchange::setAnswerWait(exchange::AnswerWait());
}

void TestConverter::oldInputDeletedFirst()
{
    installConverter("iso32.exe");
    const QString dir = convDir() + QLatin1Char('/');
    const QString input = dir + "stablomat_in.txt";
    // The old input is a link: written through instead of deleted, it would change its target.
    const QString target = root->filePath("elsewhere.txt");
    {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("RN old request that is much longer than the new one ...................\r\n");
    }
    const QByteArray before = readWholeFile(target);
    QVERIFY(QFile::link(target, input));

    QCOMPARE(runIsoConverter(dir, input, RequestText, dir + "stablomat_out.txt", " -x"), 0);
    QCOMPARE(readWholeFile(target), before);
    QVERIFY(!QFileInfo(input).isSymLink());
    QCOMPARE(readWholeFile(input), RequestBytes);
    QCOMPARE(readRecord(convDir()).input, RequestBytes);
}

void TestConverter::inputNotWritable()
{
    installConverter("iso32.exe");
    const QString dir = convDir() + QLatin1Char('/');
    // An input that cannot be created: the converter is not started at all.
    QCOMPARE(runIsoConverter(dir, dir + "no such dir/stablomat_in.txt", RequestText, dir + "out.txt", " -x"),
             -1);
    QVERIFY(!readRecord(convDir()).present);

    // An old input in the way (here a directory) is no request either.
    QVERIFY(QDir().mkpath(dir + "stablomat_in.txt"));
    QCOMPARE(runIsoConverter(dir, dir + "stablomat_in.txt", RequestText, dir + "out.txt", " -x"), -1);
    QVERIFY(!readRecord(convDir()).present);
}

void TestConverter::failures_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("finishMs");
    QTest::addColumn<int>("withinMs");
    QTest::addColumn<bool>("windows");
    QTest::newRow("missing converter") << "" << 30000 << 5000 << false;
    QTest::newRow("fails at once") << "fail" << 30000 << 5000 << false;
    // A Windows program under Wine takes a second or two to start.
    const int finishMs = runsOnWindows() ? 8000 : 800;
    QTest::newRow("never finishes") << "hang" << finishMs << (runsOnWindows() ? 20000 : 5000) << false;
    if (!runsOnWindows())
        QTest::newRow("never finishes, wine") << "hang" << 8000 << 20000 << true;
}

void TestConverter::failures()
{
    QFETCH(QString, mode);
    QFETCH(int, finishMs);
    QFETCH(int, withinMs);
    QFETCH(bool, windows);
    if (windows && !useWindowsConverter())
        QSKIP("no MinGW or Wine here");
    if (!mode.isEmpty())
        installConverter("taurus2.exe", mode);
    exchange::setConverterLimits({5000, finishMs});
    const QString input = convDir() + "/tau_ms.2";

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(runTauConverter(convDir() + "/taurus2.exe", input, RequestText), -1);
    const qint64 ms = clock.elapsed();
    QVERIFY2(ms < withinMs, qPrintable(QString::number(ms)));
    if (mode == "hang")
        QVERIFY2(ms >= finishMs, qPrintable(QString::number(ms)));
    QCOMPARE(readWholeFile(input), RequestBytes);

    const Record rec = readRecord(convDir());
    QCOMPARE(rec.present, !mode.isEmpty());
    if (rec.present && windows) {
        // The Windows program is ended with the run.
        QTRY_VERIFY_WITH_TIMEOUT(!processMentioning(QFileInfo(convDir()).fileName()), 5000);
    } else if (rec.present) {
        // The converter itself is ended with its interpreter.
        QVERIFY(rec.pid > 0);
        QTRY_VERIFY_WITH_TIMEOUT(processGone(rec.pid), 3000);
    }
    QVERIFY(!QFile::exists(convDir() + "/TAU_PRC.2"));
}

STABLOMAT_TEST_MAIN_CORE(TestConverter)
#include "tst_converter.moc"
