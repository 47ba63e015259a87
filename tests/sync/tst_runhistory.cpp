#include "common/testsupport.h"

#include "sync/runhistory.h"

#include <QProcess>

#include <csignal>

namespace {

// Runs are told apart by their duration.
RunRecord run(qint64 n, RunOutcome outcome = RunOutcome())
{
    const QDateTime started(QDate(2024, 5, 2), QTime(10, 15), Qt::UTC);
    return {started, RunTrigger::Timer, 3, outcome, {120, 0, 7, 2, 1}, 5, 3, n};
}

QList<qint64> stored(const QString &path, int bound)
{
    RunHistory history(path, bound);
    history.load();
    QList<qint64> numbers;
    for (const RunRecord &r : history.runs())
        numbers << r.durationMs;
    return numbers;
}

} // namespace

class TestRunHistory : public QObject
{
    Q_OBJECT

private slots:
    void line();
    void bound();
    void killedWhileWriting_data();
    void killedWhileWriting();
};

void TestRunHistory::line()
{
    const RunOutcome cancelled{RunResult::Cancelled, 0};
    const QByteArray line = historyLine(run(4321, cancelled));
    QCOMPARE(
        line,
        QByteArray("{\"durationMs\":4321,\"received\":{\"inseminations\":5,\"written\":3},\"result\":"
                   "\"cancelled\",\"sent\":{\"animals\":120,\"dryOffs\":2,\"inseminations\":0,\"plans\":1,"
                   "\"pregnancies\":7},\"started\":\"2024-05-02T10:15:00Z\",\"system\":3,\"text\":"
                   "\"přerušena ukončením programu\",\"trigger\":\"timer\"}\n"));
    QVERIFY(parseHistoryLine(line).value_or(RunRecord()).outcome == cancelled);
}

void TestRunHistory::bound()
{
    const int appended = RunHistory::DefaultBound + 3;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a/history.jsonl"));
    RunHistory history(path);
    history.load();
    for (int i = 1; i <= appended; ++i)
        QVERIFY(history.append(run(i)));
    QCOMPARE(readWholeFile(path).count('\n'), RunHistory::DefaultBound);
    const QList<qint64> numbers = stored(path, RunHistory::DefaultBound);
    QCOMPARE(numbers.size(), RunHistory::DefaultBound);
    QCOMPARE(numbers.first(), qint64(4));
    QCOMPARE(numbers.last(), qint64(appended));
    QCOMPARE(QDir(dir.filePath(QStringLiteral("a"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("history.jsonl")}); // no temporary file left
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
        // Killed further on each round: after 1, 51, 101, ... runs appended.
        QByteArray said;
        QVERIFY(QTest::qWaitFor(
            [&] {
                said += writer.readAllStandardOutput();
                return said.count('\n') > round;
            },
            10000));
        ::kill(pid_t(writer.processId()), SIGKILL);
        QVERIFY(writer.waitForFinished(10000));
        // Every whole line is read, in order and once; unreadable are only lines torn before.
        const int lines = readWholeFile(path).count('\n');
        QVERIFY(lines <= bound);
        const QList<qint64> numbers = stored(path, bound);
        QVERIFY(numbers.size() >= lines - round);
        for (int i = 1; i < numbers.size(); ++i)
            QCOMPARE(numbers.at(i), numbers.at(i - 1) + 1);
        // A torn end (made here if the kill left none): the next run starts a line of its own.
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write(historyLine(run(0)).left(30));
        file.close();
        RunHistory history(path, bound);
        history.load();
        QVERIFY(history.append(run(numbers.last() + 1)));
        QCOMPARE(stored(path, bound).last(), numbers.last() + 1);
    }
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--append-forever") == 0) {
        // The writer killed by killedWhileWriting: appends numbered runs until it dies.
        QCoreApplication app(argc, argv);
        RunHistory history(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
        history.load();
        for (qint64 n = history.last() ? history.last()->durationMs + 1 : 1;; ++n) {
            history.append(run(n));
            if (n % 50 == 1)
                std::fputs("appended\n", stdout), std::fflush(stdout);
        }
    }
    TestEnvironment::setUp();
    QCoreApplication app(argc, argv);
    TestRunHistory tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_runhistory.moc"
