#include "common/testsupport.h"

#include "sync/runhistory.h"

#include <QProcess>

#include <csignal>

namespace {

RunRecord run(qint64 sequence, RunOutcome outcome = RunOutcome())
{
    RunRecord r;
    r.started = QDateTime(QDate(2024, 5, 2), QTime(10, 15), Qt::UTC);
    r.trigger = RunTrigger::Timer;
    r.system = 3;
    r.outcome = outcome;
    r.sent = SentCounts{120, 0, 7, 2, 1};
    r.downloaded = 5;
    r.written = 3;
    r.durationMs = sequence; // tells the runs apart
    return r;
}

QList<QByteArray> fileLines(const QString &path)
{
    return readWholeFile(path).split('\n');
}

// Appends runs numbered on from the file's last one until it is killed.
int appendForever(const QString &path, int bound)
{
    RunHistory history(path, bound);
    history.load();
    for (qint64 sequence = history.last() ? history.last()->durationMs + 1 : 1;; ++sequence) {
        history.append(run(sequence));
        if (sequence % 50 == 1) {
            std::fputs("appended\n", stdout);
            std::fflush(stdout);
        }
    }
}

} // namespace

Q_DECLARE_METATYPE(RunOutcome)

class TestRunHistory : public QObject
{
    Q_OBJECT

private slots:
    void lines_data();
    void lines();
    void bound_data();
    void bound();
    void killedWhileWriting_data();
    void killedWhileWriting();
};

void TestRunHistory::lines_data()
{
    QTest::addColumn<RunOutcome>("outcome");
    QTest::addColumn<QByteArray>("resultAndText");
    QTest::newRow("success") << RunOutcome() << QByteArray("\"result\":0,") + "\"sent\"";
    QTest::newRow("a negative code and its meaning")
        << RunOutcome{RunResult::LibraryError, -8} << QByteArray("\"result\":-8,") + "\"sent\"";
    QTest::newRow("a named outcome") << RunOutcome{RunResult::Cancelled, 0}
                                     << QByteArray("\"result\":\"cancelled\",") + "\"sent\"";
}

void TestRunHistory::lines()
{
    QFETCH(RunOutcome, outcome);
    QFETCH(QByteArray, resultAndText);
    const RunRecord r = run(4321, outcome);
    const QByteArray line = historyLine(r);
    const QByteArray expected =
        "{\"durationMs\":4321,\"received\":{\"inseminations\":5,\"written\":3}," + resultAndText +
        ":{\"animals\":120,\"dryOffs\":2,\"inseminations\":0,\"plans\":1,\"pregnancies\":7},"
        "\"started\":\"2024-05-02T10:15:00Z\",\"system\":3,\"text\":\"" +
        outcomeSentence(outcome).toUtf8() + "\",\"trigger\":\"timer\"}\n";
    QCOMPARE(line, expected);
    const std::optional<RunRecord> back = parseHistoryLine(line);
    QVERIFY(back);
    QCOMPARE(back->outcome, outcome);
    QCOMPARE(back->started, r.started);
    QCOMPARE(historyLine(*back), line);
    QVERIFY(!parseHistoryLine(line.left(line.size() / 2)));
}

void TestRunHistory::bound_data()
{
    QTest::addColumn<int>("bound");
    QTest::addColumn<int>("appended");
    QTest::newRow("below the bound") << 10 << 7;
    QTest::newRow("past a small bound") << 10 << 25;
    QTest::newRow("past the bound of 1000") << RunHistory::DefaultBound << 1003;
}

void TestRunHistory::bound()
{
    QFETCH(int, bound);
    QFETCH(int, appended);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a/history.jsonl"));
    RunHistory history(path, bound);
    history.load();
    for (int i = 1; i <= appended; ++i)
        QVERIFY(history.append(run(i)));
    const int kept = qMin(bound, appended);
    QCOMPARE(fileLines(path).size(), kept + 1); // the last line ends with "\n"
    RunHistory again(path, bound);
    again.load();
    QCOMPARE(again.runs().size(), kept);
    QCOMPARE(again.runs().first().durationMs, qint64(appended - kept + 1));
    QCOMPARE(again.last()->durationMs, qint64(appended));
    // Only the history file is left in the folder, no temporary one.
    QCOMPARE(QDir(dir.filePath(QStringLiteral("a"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("history.jsonl")});
}

void TestRunHistory::killedWhileWriting_data()
{
    QTest::addColumn<int>("bound");
    QTest::newRow("appending") << 1000000;
    QTest::newRow("writing the file anew past its bound") << 20;
}

void TestRunHistory::killedWhileWriting()
{
    QFETCH(int, bound);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.jsonl"));
    for (int round = 0; round < 5; ++round) {
        QProcess writer;
        writer.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--append-forever"), path, QString::number(bound)});
        QVERIFY(writer.waitForReadyRead(10000));
        QTest::qWait(20 + 37 * round);
        ::kill(pid_t(writer.processId()), SIGKILL);
        QVERIFY(writer.waitForFinished(10000));

        // Every whole line is read, in order, nothing twice; a torn last one is left out.
        QList<QByteArray> lines = fileLines(path);
        const bool torn = !lines.last().isEmpty();
        lines.removeLast();
        QVERIFY(lines.size() <= bound);
        RunHistory history(path, bound);
        history.load();
        QVERIFY(!history.runs().isEmpty());
        const int whole = int(std::count_if(lines.cbegin(), lines.cend(),
                                            [](const QByteArray &l) { return bool(parseHistoryLine(l)); }));
        QCOMPARE(history.runs().size(), whole);
        QVERIFY(whole >= lines.size() - round); // unreadable: only lines torn in earlier rounds
        for (int i = 1; i < history.runs().size(); ++i)
            QCOMPARE(history.runs().at(i).durationMs, history.runs().at(i - 1).durationMs + 1);

        // A line torn by the kill, or one made so here: the next run starts a line of its own.
        if (!torn) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write(historyLine(run(0)).left(30));
        }
        const qint64 next = history.last()->durationMs + 1;
        QVERIFY(history.append(run(next)));
        RunHistory reread(path, bound);
        reread.load();
        QCOMPARE(reread.last()->durationMs, next);
        QCOMPARE(reread.runs().size(), qMin(bound, history.runs().size()));
    }
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--append-forever") == 0) {
        QCoreApplication app(argc, argv);
        return appendForever(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
    }
    TestEnvironment::setUp();
    QCoreApplication app(argc, argv);
    TestRunHistory tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_runhistory.moc"
