// The herd registry failing in the middle of an exchange run: killed while it handles the sync,
// answering slower than the time limit. The run ends with its message, nothing is written back, and
// the next run downloads every insemination exactly once.
#include "common/testsupport.h"

#include "common/registryprocess.h"

#include "app/mainwindow.h"
#include "app/messagebox.h"
#include "platform/settingskeys.h"
#include "sync/exchangeframe.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QMessageBox>

#include <signal.h>

namespace {

const QString Cloud = QStringLiteral("4711");
const QString User = QStringLiteral("jan");
const QString Password = QStringLiteral("heslo");
const int Animals = 300;
const int Recorded = 40;

QString life(int i)
{
    return QString::number(300000000 + i);
}

HerdRecords herd()
{
    HerdRecords r;
    for (int i = 0; i < Animals; ++i) {
        r.animals.insert(life(i), {life(i), QString::number(i + 1), QVariant(), QStringLiteral("0")});
        r.pregnancies << PregnancyEvent{life(i), QDate::currentDate().addDays(-(i % 10)), 1, {}, {}, {}};
    }
    return r;
}

bool recordInseminations(const RegistryProcess &registry)
{
    for (int i = 0; i < Recorded; ++i) {
        if (!registry.recordInsemination(Cloud, life(i * 7), QDate::currentDate().addDays(-(i % 15)),
                                         i % 3 + 1, QStringLiteral("HO%1").arg(i)))
            return false;
    }
    return true;
}

// Holds what was "written back" over several runs, as a milking system would: a row it already holds
// is not written again.
struct FarmStore
{
    QSet<QString> held; // life number + date
    int calls = 0;
    WriteBack callable()
    {
        return [this](const QList<DownloadedInsemination> &downloaded) -> std::optional<int> {
            ++calls;
            int written = 0;
            for (const DownloadedInsemination &row : downloaded) {
                const QString key = row.cislo + QLatin1Char('|') + row.datum.toString(Qt::ISODate);
                if (!held.contains(key)) {
                    held.insert(key);
                    ++written;
                }
            }
            return written;
        };
    }
};

// The dispatcher around a real frame: every run synchronises the herd with the registry.
class FrameWindow : public MainWindow
{
public:
    int runs = 0;
    SyncResult last;
    FarmStore store;

    // One run of a frame, as an adapter makes it, writing back into farm.
    SyncResult synchronise(bool showMessages, FarmStore &farm)
    {
        ExchangeFrame frame(this, showMessages);
        SyncOptions options;
        options.shortNumbers = false;
        return frame.synchronise(herd(), options, farm.callable());
    }

protected:
    void runAdapter(const bool &, const bool &ShowMessages) override
    {
        ++runs;
        last = synchronise(ShowMessages, store);
    }
};

} // namespace

class TestRegistryFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void killedDuringSync();
    void slowerThanTheLimit_data();
    void slowerThanTheLimit();
    void boxLeavesTheNextRunFree_data();
    void boxLeavesTheNextRunFree();

private:
    // Kills the registry once it has answered the attach: the sync then fails.
    void killAfterAttach(QTimer &killer, bool &killed);
    // One run whose boxes are answered.
    SyncResult run(bool showMessages, FarmStore &store, QStringList *boxes = nullptr)
    {
        ModalAnswerer answerer;
        const SyncResult result = window->synchronise(showMessages, store);
        if (boxes)
            *boxes = answerer.texts(true);
        return result;
    }
    RegistryProcess *registry = nullptr;
    FrameWindow *window = nullptr;
};

void TestRegistryFaults::init()
{
    qputenv("ZAVRA_TIMEOUT_MS", "10000");
    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, User, Password));
    QVERIFY(recordInseminations(*registry));
    window = new FrameWindow;
    storeCloud(window->settingsStore(), Cloud, User, Password);
}

void TestRegistryFaults::cleanup()
{
    discardWindow(window);
    delete registry;
    registry = nullptr;
}

void TestRegistryFaults::killAfterAttach(QTimer &killer, bool &killed)
{
    // Every request waits 1.5 s in the registry: the sync is still pending when it is killed.
    QVERIFY(registry->serve({QStringLiteral("--delay-ms"), QStringLiteral("1500")}));
    killed = false;
    connect(&killer, &QTimer::timeout, this, [&] {
        if (!killed && !registry->requests(QStringLiteral("/attach")).isEmpty()) {
            ::kill(pid_t(registry->pid()), SIGKILL);
            killed = true;
        }
    });
    killer.start(50);
}

void TestRegistryFaults::killedDuringSync()
{
    bool killed = false;
    QTimer killer;
    killAfterAttach(killer, killed);
    FarmStore store;
    QStringList boxes;
    SyncResult result = run(false, store, &boxes);
    killer.stop();
    QVERIFY(killed);
    QCOMPARE(result.status, SyncStatus::SyncFailed);
    QVERIFY(result.code < 0);
    // A failed sync is reported even in a timer run.
    QCOMPARE(boxes, QStringList{QStringLiteral("Chyba: %1").arg(result.code)});
    QCOMPARE(store.calls, 0);
    registry->stop();

    // The registry comes back on the same database; the next run gets each insemination once.
    QVERIFY(registry->serve());
    for (int round = 0; round < 2; ++round) {
        result = run(false, store, &boxes);
        QCOMPARE(result.status, SyncStatus::Done);
        QCOMPARE(result.downloaded.size(), Recorded);
        QCOMPARE(result.written, round == 0 ? Recorded : 0);
        QCOMPARE(result.sent.animals, Animals);
        QVERIFY(boxes.isEmpty());
    }
    QCOMPARE(store.held.size(), Recorded);
    const QJsonObject dump = registry->dump(Cloud);
    QCOMPARE(dump.value(QStringLiteral("animals")).toArray().size(), Animals);
    QCOMPARE(dump.value(QStringLiteral("recorded")).toArray().size(), Recorded);
    QCOMPARE(dump.value(QStringLiteral("pregnancies")).toArray().size(), Animals);
}

void TestRegistryFaults::slowerThanTheLimit_data()
{
    QTest::addColumn<bool>("showMessages");
    QTest::newRow("timer run") << false;
    QTest::newRow("button run") << true;
}

void TestRegistryFaults::slowerThanTheLimit()
{
    QFETCH(bool, showMessages);
    qputenv("ZAVRA_TIMEOUT_MS", "600");
    QVERIFY(registry->serve({QStringLiteral("--delay-ms"), QStringLiteral("3000")}));
    FarmStore store;
    QElapsedTimer clock;
    clock.start();
    QStringList boxes;
    SyncResult result = run(showMessages, store, &boxes);
    QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    // The attach is the first request to time out; only a button run tells.
    QCOMPARE(result.status, SyncStatus::AttachFailed);
    QCOMPARE(result.code, int(zavra::Timeout));
    QCOMPARE(boxes, showMessages ? QStringList{QStringLiteral("Chyba: -2")} : QStringList());
    QCOMPARE(store.calls, 0);
    registry->stop();

    qputenv("ZAVRA_TIMEOUT_MS", "10000");
    QVERIFY(registry->serve());
    result = run(false, store);
    QCOMPARE(result.status, SyncStatus::Done);
    QCOMPARE(result.written, Recorded);
    QCOMPARE(store.held.size(), Recorded);
}

void TestRegistryFaults::boxLeavesTheNextRunFree_data()
{
    QTest::addColumn<bool>("button");
    QTest::newRow("timer run") << false;
    QTest::newRow("button run") << true;
}

// The failed sync's box waits for a click, for days if nobody is there: the next automatic run
// goes on meanwhile.
void TestRegistryFaults::boxLeavesTheNextRunFree()
{
    QFETCH(bool, button);
    makeDriveCFile(QStringLiteral("c:/alpro/iso32.exe"));
    FrameWindow w;
    storeCloud(w.settingsStore(), Cloud, User, Password);
    w.settingsStore()->setValue(keys::ExchangeHours, 1);
    bool killed = false;
    QTimer killer;
    killAfterAttach(killer, killed);
    const auto nextRun = [&] {
        killer.stop();
        registry->stop();
        QVERIFY(registry->serve());
        for (int i = 0; i < 3600; ++i)
            w.timerTimeout();
        QCOMPARE(w.runs, 2);
        QCOMPARE(w.last.status, SyncStatus::Done);
        QCOMPARE(w.store.held.size(), Recorded);
    };
    if (button) {
        bool answered = false;
        QTimer waiter;
        connect(&waiter, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || answered)
                return;
            answered = true;
            QVERIFY(!w.exchangeRunning());
            QCOMPARE(box->text().section(QLatin1Char('\n'), 0, 0),
                     QStringLiteral("Chyba: %1").arg(w.last.code));
            nextRun();
            box->button(QMessageBox::Ok)->click();
        });
        waiter.start(20);
        w.runExchange(true, true);
        QVERIFY(answered);
    } else {
        w.runExchange(false, false);
        QVERIFY(killed);
        QVERIFY(!w.exchangeRunning());
        const QPointer<QMessageBox> box = messagebox::openNotice();
        QVERIFY(box && box->isVisible());
        QCOMPARE(box->text().section(QLatin1Char('\n'), 0, 0), QStringLiteral("Chyba: %1").arg(w.last.code));
        nextRun();
        QVERIFY(box && box->isVisible());
        // A newer box takes its place.
        w.showMessage(QStringLiteral("Chyba: -1"), false);
        QTRY_VERIFY(!box);
        QCOMPARE(messagebox::openNotice()->text(), QStringLiteral("Chyba: -1"));
        messagebox::openNotice()->close();
    }
    QCOMPARE(w.last.status, SyncStatus::Done);
}

STABLOMAT_TEST_MAIN(TestRegistryFaults)
#include "tst_registryfaults.moc"
