// The DeLaval converter and its directory failing in the middle of a run: the converter killed
// while it writes its answer, the directory read-only, the disk full before the record file is
// written. The program stays up, ends silently where no answer came, leaves no half-written file
// under a final name, and after the fault the next run writes every insemination exactly once.
#include "common/testsupport.h"

#include "common/registryprocess.h"
#include "common/simprocess.h"

#include "adapters/delaval/delavalformat.h"
#include "app/mainwindow.h"
#include "exchange/answerfile.h"
#include "exchange/converter.h"
#include "herd.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"

#include <QJsonArray>
#include <QTextEdit>

namespace {

const QString Cloud = QStringLiteral("4711");
const QString User = QStringLiteral("jan");
const QString Password = QStringLiteral("heslo");
const int Cows = 40;
const int Recorded = 8;

} // namespace

class TestConverterFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void killedWhileWriting_data();
    void killedWhileWriting();
    void readOnlyDirectory();
    void diskFullBeforeTheRecordFile();
    void writeBackConverterFails_data();
    void writeBackConverterFails();
    void answerWithoutAnimals_data();
    void answerWithoutAnimals();

private:
    void openFarm(bool link);
    // A small tmpfs over the converter's directory with its files copied in; false when mounting
    // is not possible here (not root, or no tmpfs).
    bool mountConverterDirectory(const QString &size);
    // One button run without milk yields; the boxes it showed.
    QStringList runExchange()
    {
        ModalAnswerer answerer;
        window->exchangeDelaval(false, true);
        return answerer.texts();
    }
    // Two runs more, each with its result box; then each recorded insemination is held once.
    void runsAfterTheFault()
    {
        for (int round = 0; round < 2; ++round)
            QCOMPARE(runExchange().size(), 1);
        checkWrittenOnce();
    }
    herd::Herd herdNow() const { return loadHerd(dir + QStringLiteral("herd.json")); }
    void checkWrittenOnce() const;
    int syncRequests() const { return registry->requests(QStringLiteral("/sync")).size(); }

    QTemporaryDir herdDir;
    QString herdFile;
    QDate today;
    QString dir; // the converter's directory, ending in "/"
    QStringList lives;
    herd::Herd before;
    TmpfsMount mount;
    RegistryProcess *registry = nullptr;
    MainWindow *window = nullptr;
};

void TestConverterFaults::initTestCase()
{
    today = QDate::currentDate();
    herdFile =
        generateHerdFile(herdDir.filePath("herd.json"), Cows, 11, {"--today", today.toString(Qt::ISODate)});
    QVERIFY(!herdFile.isEmpty());
}

void TestConverterFaults::init()
{
    TestEnvironment::resetDriveC();
    exchange::setAnswerWait({20, 50});
    exchange::setConverterLimits({5000, 60000});
    qputenv("ZAVRA_TIMEOUT_MS", "10000");
    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, User, Password));
    QVERIFY(registry->serve());
}

void TestConverterFaults::cleanup()
{
    qunsetenv("ISO32_CRASH_AFTER_LINES");
    qunsetenv("ISO32_DIRECT_WRITE");
    qunsetenv("ISO32_IMPORT_FAULT");
    discardWindow(window);
    mount.unmount();
    delete registry;
    registry = nullptr;
    exchange::setAnswerWait(exchange::AnswerWait());
    exchange::setConverterLimits(exchange::ConverterLimits());
}

void TestConverterFaults::openFarm(bool link)
{
    const QByteArray error = layOutFarm("alpro", herdFile, link ? QStringList{"--link"} : QStringList());
    QVERIFY2(error.isEmpty(), error.constData());
    window = new MainWindow;
    QCOMPARE(window->milkingSystem(), 1);
    dir = QFileInfo(platform::localPath(window->milkingSystemPath())).absolutePath() + QLatin1Char('/');
    QSettings *s = window->settingsStore();
    storeCloud(s, Cloud, User, Password);
    s->setValue(keys::SendInseminations, true);
    s->setValue(keys::ImportInseminations, true);

    // One insemination yesterday, recorded in the registry, for cows not served in the last days.
    before = herdNow();
    lives.clear();
    QVector<const herd::Cow *> order;
    for (const herd::Cow &c : before.cows)
        order << &c;
    std::sort(order.begin(), order.end(),
              [](const herd::Cow *a, const herd::Cow *b) { return a->parlour < b->parlour; });
    for (const herd::Cow *c : order) {
        if (lives.size() == Recorded)
            break;
        if (!c->isPresent() || c->lactation() == 0 ||
            (c->lastInsemination() && c->lastInsemination()->date >= today.addDays(-3)))
            continue;
        const QString life = herd::significantDigits(c->registration);
        QVERIFY(registry->recordInsemination(Cloud, life, today.addDays(-1), 1, QStringLiteral("HO 7")));
        lives << life;
    }
    QCOMPARE(lives.size(), Recorded);
}

bool TestConverterFaults::mountConverterDirectory(const QString &size)
{
    const QString target = QDir::cleanPath(dir);
    const QString saved = target + QStringLiteral(".saved");
    if (!QDir().rename(target, saved) || !QDir().mkpath(target))
        return false;
    if (!mount.mount(target, size)) {
        QDir().rmdir(target);
        QDir().rename(saved, target);
        return false;
    }
    return commandSucceeds("cp", {"-a", saved + "/.", target});
}

// Every insemination recorded in the registry is in the herd once, and nothing else was added.
void TestConverterFaults::checkWrittenOnce() const
{
    const herd::Herd after = herdNow();
    int added = 0;
    for (const herd::Cow &c : after.cows) {
        const herd::Cow *old = before.cowByRegistration(c.registration);
        QVERIFY(old);
        added += c.inseminations.size() - old->inseminations.size();
        int yesterday = 0;
        for (const herd::Insemination &i : c.inseminations)
            yesterday += i.date == today.addDays(-1) ? 1 : 0;
        QCOMPARE(yesterday, lives.contains(herd::significantDigits(c.registration)) ? 1 : 0);
    }
    QCOMPARE(added, Recorded);
}

void TestConverterFaults::killedWhileWriting_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("answer under a temporary name") << false;
    QTest::newRow("answer written in place") << true;
}

void TestConverterFaults::killedWhileWriting()
{
    QFETCH(bool, inPlace);
    openFarm(false);
    qputenv("ISO32_CRASH_AFTER_LINES", "5");
    if (inPlace)
        qputenv("ISO32_DIRECT_WRITE", "1");
    const QStringList boxes = runExchange();
    QVERIFY(!window->exchangeRunning());
    if (inPlace) {
        // Five whole lines are an answer: those cows are sent, their inseminations written.
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(syncRequests(), 1);
        QVERIFY(registry->lastBody().value(QStringLiteral("animals")).toArray().size() <= 5);
    } else {
        // No answer under its name: the run ends silently, the registry hears nothing.
        QVERIFY(boxes.isEmpty());
        QVERIFY(!QFileInfo::exists(dir + delaval::answerFileName()));
        QCOMPARE(syncRequests(), 0);
    }
    // The request handed over was whole.
    QCOMPARE(readWholeFile(dir + delaval::requestFileName()),
             delaval::requestText().toUtf8().replace("\n", "\r\n"));

    qunsetenv("ISO32_CRASH_AFTER_LINES");
    qunsetenv("ISO32_DIRECT_WRITE");
    runsAfterTheFault();
}

void TestConverterFaults::readOnlyDirectory()
{
    openFarm(true);
    if (!mountConverterDirectory(QStringLiteral("4m")))
        QSKIP("cannot mount a tmpfs here (needs root)");
    // An answer left by an earlier run that can no longer be removed.
    QVERIFY(writeWholeFile(dir + delaval::answerFileName(), "1\tstale\r\n"));
    const auto remount = [this](const char *mode) {
        return commandSucceeds("mount", {"-o", QStringLiteral("remount,") + mode, mount.point});
    };
    // With a stale answer, and then without one (the request cannot be written, no answer comes):
    // silence either way.
    for (const bool stale : {true, false}) {
        QVERIFY(remount("ro"));
        QVERIFY(runExchange().isEmpty());
        QCOMPARE(syncRequests(), 0);
        QVERIFY(!window->exchangeRunning());
        QVERIFY(remount("rw"));
        QCOMPARE(QFile::remove(dir + delaval::answerFileName()), stale);
    }
    runsAfterTheFault();
}

void TestConverterFaults::diskFullBeforeTheRecordFile()
{
    openFarm(true);
    if (!mountConverterDirectory(QStringLiteral("1m")))
        QSKIP("cannot mount a tmpfs here (needs root)");
    // Once the answer is there, the rest of the disk fills up.
    const QString filler = dir + QStringLiteral("filler");
    bool filled = false;
    QTimer fill;
    connect(&fill, &QTimer::timeout, this, [&] {
        if (filled || !QFileInfo::exists(dir + delaval::answerFileName()))
            return;
        fillUp(filler);
        filled = true;
    });
    fill.start(0);
    const QStringList boxes = runExchange();
    fill.stop();
    QVERIFY(filled);
    QVERIFY(!window->exchangeRunning());
    QCOMPARE(syncRequests(), 1);
    // Downloaded, but nothing handed to the converter.
    QCOMPARE(boxes.size(), 1);
    QVERIFY2(boxes.at(0).contains(QString::fromUtf8("Inseminací: %1/0\n").arg(Recorded)),
             qPrintable(boxes.at(0)));
    // No record file at all rather than half of one; the herd is as it was.
    QVERIFY(!QFileInfo::exists(dir + delaval::recordFileName()));
    QCOMPARE(herdNow().toJson(), before.toJson());

    QVERIFY(QFile::remove(filler));
    runsAfterTheFault();
}

void TestConverterFaults::writeBackConverterFails_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::newRow("error exit") << QByteArray("exit");
    QTest::newRow("crash") << QByteArray("crash");
    QTest::newRow("time-out") << QByteArray("hang");
}

void TestConverterFaults::writeBackConverterFails()
{
    QFETCH(QByteArray, fault);
    openFarm(false);
    exchange::setConverterLimits({5000, 3000});
    qputenv("ISO32_IMPORT_FAULT", fault);
    // Downloaded, but nothing was taken over by the converter; the next run writes them.
    for (const int written : {0, Recorded}) {
        const QStringList boxes = runExchange();
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes.at(0).contains(QString::fromUtf8("Inseminací: %1/%2\n").arg(Recorded).arg(written)),
                 qPrintable(boxes.at(0)));
        QCOMPARE(syncRequests(), written ? 2 : 1);
        if (!written)
            QCOMPARE(herdNow().toJson(), before.toJson());
        qunsetenv("ISO32_IMPORT_FAULT");
        exchange::setConverterLimits({5000, 60000});
    }
    checkWrittenOnce();
}

void TestConverterFaults::answerWithoutAnimals_data()
{
    QTest::addColumn<bool>("interactive");
    QTest::addColumn<bool>("cloudWanted");
    QTest::newRow("button") << true << true;
    QTest::newRow("timer") << false << true;
    // No cloud contact wanted: nothing was to be sent, the run goes on to its milk-yield text.
    QTest::newRow("button, both day settings 0") << true << false;
}

// The converter answers, but not one line is an animal: nothing is sent, as with no answer.
void TestConverterFaults::answerWithoutAnimals()
{
    QFETCH(bool, interactive);
    QFETCH(bool, cloudWanted);
    openFarm(false);
    for (const QString &days : {keys::InsDays, keys::SendDays})
        window->settingsStore()->setValue(days, cloudWanted ? 30 : 0);
    herd::Herd empty = before;
    empty.cows.clear();
    QString why;
    QVERIFY2(empty.save(dir + QStringLiteral("herd.json"), &why), qPrintable(why));
    ModalAnswerer answerer;
    window->exchangeDelaval(!cloudWanted, interactive);
    QVERIFY(QFileInfo::exists(dir + delaval::answerFileName()));
    QCOMPARE(syncRequests(), 0);
    QCOMPARE(registry->requests(QStringLiteral("/attach")).size(), 0);
    QCOMPARE(answerer.boxes.size(), interactive && cloudWanted ? 1 : 0);
    QCOMPARE(widgetNamed<QTextEdit>(window, "textEdit")->toPlainText().isEmpty(), cloudWanted); // milk text
    if (interactive && cloudWanted)
        QCOMPARE(answerer.boxes.at(0).text,
                 QString::fromUtf8("Sestava neobsahuje žádná zvířata, nic nebylo odesláno."));
}

STABLOMAT_TEST_MAIN(TestConverterFaults)
#include "tst_converterfaults.moc"
