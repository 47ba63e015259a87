// The DeLaval converter and its directory failing in the middle of a run: the converter killed
// while it writes its answer, the directory read-only, the disk full before the record file is
// written. The program stays up, ends silently where no answer came, leaves no half-written file
// under a final name, and after the fault the next run writes every insemination exactly once.
#include "common/testsupport.h"

#include "common/registryprocess.h"

#include "adapters/delaval/delavalformat.h"
#include "app/mainwindow.h"
#include "exchange/answerfile.h"
#include "exchange/converter.h"
#include "herd.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTextEdit>

namespace {

const QString Cloud = QStringLiteral("4711");
const QString User = QStringLiteral("jan");
const QString Password = QStringLiteral("heslo");
const int Cows = 40;
const int Recorded = 8;

bool command(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

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
    void runExchange(ModalAnswerer &answerer);
    herd::Herd herdNow() const;
    void checkWrittenOnce() const;
    int syncRequests() const { return registry->requests(QStringLiteral("/sync")).size(); }

    QByteArray herdJson;
    QDate today;
    QString dir; // the converter's directory, ending in "/"
    QStringList lives;
    herd::Herd before;
    QString mountPoint;
    RegistryProcess *registry = nullptr;
    MainWindow *window = nullptr;
};

void TestConverterFaults::initTestCase()
{
    today = QDate::currentDate();
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("herd.json"));
    QProcess gen;
    gen.start(QStringLiteral(HERD_GENERATOR),
              {QStringLiteral("--cows"), QString::number(Cows), QStringLiteral("--seed"),
               QStringLiteral("11"), QStringLiteral("--today"), today.toString(Qt::ISODate),
               QStringLiteral("--out"), path});
    QVERIFY(gen.waitForFinished(30000) && gen.exitCode() == 0);
    herdJson = readWholeFile(path);
    QVERIFY(!herdJson.isEmpty());
}

void TestConverterFaults::init()
{
    TestEnvironment::resetDriveC();
    exchange::setAnswerWait({20, 50});
    exchange::setConverterLimits({5000, 60000});
    qputenv("ZAVRA_TIMEOUT_MS", "10000");
    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, User, Password));
    QVERIFY(registry->start());
    qputenv("ZAVRA_URL", registry->url().toUtf8());
}

void TestConverterFaults::cleanup()
{
    qunsetenv("ISO32_CRASH_AFTER_LINES");
    qunsetenv("ISO32_DIRECT_WRITE");
    qunsetenv("ISO32_IMPORT_FAULT");
    if (window) {
        window->settingsStore()->clear();
        delete window;
        window = nullptr;
    }
    if (!mountPoint.isEmpty()) {
        command(QStringLiteral("umount"), {QStringLiteral("-l"), mountPoint});
        mountPoint.clear();
    }
    delete registry;
    registry = nullptr;
    exchange::setAnswerWait(exchange::AnswerWait());
    exchange::setConverterLimits(exchange::ConverterLimits());
}

void TestConverterFaults::openFarm(bool link)
{
    QTemporaryDir tmp;
    QFile f(tmp.filePath(QStringLiteral("herd.json")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(herdJson);
    f.close();
    QStringList args{QStringLiteral("--system"),     QStringLiteral("alpro"),
                     QStringLiteral("--herd"),       f.fileName(),
                     QStringLiteral("--wineprefix"), TestEnvironment::winePrefix(),
                     QStringLiteral("--simulators"), QStringLiteral(SIMULATOR_DIR)};
    if (link)
        args << QStringLiteral("--link");
    QVERIFY(command(QStringLiteral(FARM_TOOL), args));
    window = new MainWindow;
    QCOMPARE(window->milkingSystem(), 1);
    dir = QFileInfo(platform::localPath(window->milkingSystemPath())).absolutePath() + QLatin1Char('/');
    QSettings *s = window->settingsStore();
    s->setValue(keys::CloudNumber, Cloud);
    s->setValue(keys::CloudUser, User);
    s->setValue(keys::CloudPassword, Password);
    s->setValue(keys::InsDays, 30);
    s->setValue(keys::SendDays, 30);
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
        int rc = -1;
        registry->run({QStringLiteral("record-insemination"), QStringLiteral("--cloud"), Cloud,
                       QStringLiteral("--animal"), life, QStringLiteral("--date"),
                       today.addDays(-1).toString(Qt::ISODate), QStringLiteral("--ordinal"),
                       QStringLiteral("1"), QStringLiteral("--bull"), QStringLiteral("HO 7")},
                      &rc);
        QCOMPARE(rc, 0);
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
    if (!command(QStringLiteral("mount"),
                 {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                  QStringLiteral("size=") + size, QStringLiteral("tmpfs"), target})) {
        QDir().rmdir(target);
        QDir().rename(saved, target);
        return false;
    }
    mountPoint = target;
    return command(QStringLiteral("cp"), {QStringLiteral("-a"), saved + QStringLiteral("/."), target});
}

void TestConverterFaults::runExchange(ModalAnswerer &answerer)
{
    Q_UNUSED(answerer);
    window->exchangeDelaval(false, true);
}

herd::Herd TestConverterFaults::herdNow() const
{
    herd::Herd h;
    QString error;
    if (!h.load(dir + QStringLiteral("herd.json"), &error))
        qWarning("%s", qPrintable(error));
    return h;
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
    {
        ModalAnswerer answerer;
        runExchange(answerer);
        QVERIFY(!window->exchangeRunning());
        if (inPlace) {
            // Five whole lines are an answer: those cows are sent, their inseminations written.
            QCOMPARE(answerer.boxes.size(), 1);
            QCOMPARE(syncRequests(), 1);
            const QJsonObject body = QJsonDocument::fromJson(registry->requests(QStringLiteral("/sync"))
                                                                 .last()
                                                                 .value(QStringLiteral("body"))
                                                                 .toString()
                                                                 .toUtf8())
                                         .object();
            QVERIFY(body.value(QStringLiteral("animals")).toArray().size() <= 5);
        } else {
            // No answer under its name: the run ends silently, the registry hears nothing.
            QVERIFY(answerer.boxes.isEmpty());
            QVERIFY(!QFileInfo::exists(dir + delaval::answerFileName()));
            QCOMPARE(syncRequests(), 0);
        }
    }
    // The request handed over was whole.
    QCOMPARE(readWholeFile(dir + delaval::requestFileName()),
             delaval::requestText().toUtf8().replace("\n", "\r\n"));

    qunsetenv("ISO32_CRASH_AFTER_LINES");
    qunsetenv("ISO32_DIRECT_WRITE");
    for (int round = 0; round < 2; ++round) {
        ModalAnswerer answerer;
        runExchange(answerer);
        QCOMPARE(answerer.boxes.size(), 1);
    }
    checkWrittenOnce();
}

void TestConverterFaults::readOnlyDirectory()
{
    openFarm(true);
    if (!mountConverterDirectory(QStringLiteral("4m")))
        QSKIP("cannot mount a tmpfs here (needs root)");
    // An answer left by an earlier run that can no longer be removed.
    QFile stale(dir + delaval::answerFileName());
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write("1\tstale\r\n");
    stale.close();
    QVERIFY(
        command(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("remount,ro"), mountPoint}));
    {
        ModalAnswerer answerer;
        runExchange(answerer);
        QVERIFY(answerer.boxes.isEmpty());
        QCOMPARE(syncRequests(), 0);
        QVERIFY(!window->exchangeRunning());
    }
    QVERIFY(
        command(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("remount,rw"), mountPoint}));
    QVERIFY(QFile::remove(dir + delaval::answerFileName()));
    QVERIFY(
        command(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("remount,ro"), mountPoint}));
    {
        // Without a stale answer: the request cannot be written, no answer comes, silence.
        ModalAnswerer answerer;
        runExchange(answerer);
        QVERIFY(answerer.boxes.isEmpty());
        QCOMPARE(syncRequests(), 0);
    }
    QVERIFY(
        command(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("remount,rw"), mountPoint}));
    for (int round = 0; round < 2; ++round) {
        ModalAnswerer answerer;
        runExchange(answerer);
        QCOMPARE(answerer.boxes.size(), 1);
    }
    checkWrittenOnce();
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
        QFile f(filler);
        if (f.open(QIODevice::WriteOnly)) {
            const QByteArray block(4096, 'x');
            while (f.write(block) == block.size() && f.flush()) {
            }
        }
        filled = true;
    });
    fill.start(0);
    {
        ModalAnswerer answerer;
        runExchange(answerer);
        fill.stop();
        QVERIFY(filled);
        QVERIFY(!window->exchangeRunning());
        QCOMPARE(syncRequests(), 1);
        // Downloaded, but nothing handed to the converter.
        QCOMPARE(answerer.boxes.size(), 1);
        QVERIFY2(answerer.boxes.at(0).text.contains(QString::fromUtf8("Inseminací: %1/0\n").arg(Recorded)),
                 qPrintable(answerer.boxes.at(0).text));
    }
    // No record file at all rather than half of one; the herd is as it was.
    QVERIFY(!QFileInfo::exists(dir + delaval::recordFileName()));
    QCOMPARE(herdNow().toJson(), before.toJson());

    QVERIFY(QFile::remove(filler));
    for (int round = 0; round < 2; ++round) {
        ModalAnswerer answerer;
        runExchange(answerer);
        QCOMPARE(answerer.boxes.size(), 1);
    }
    checkWrittenOnce();
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
    {
        ModalAnswerer answerer;
        runExchange(answerer);
        QCOMPARE(syncRequests(), 1);
        // Downloaded, but nothing was taken over by the converter.
        QCOMPARE(answerer.boxes.size(), 1);
        QVERIFY2(answerer.boxes.at(0).text.contains(QString::fromUtf8("Inseminací: %1/0\n").arg(Recorded)),
                 qPrintable(answerer.boxes.at(0).text));
    }
    QCOMPARE(herdNow().toJson(), before.toJson());
    qunsetenv("ISO32_IMPORT_FAULT");
    exchange::setConverterLimits({5000, 60000});
    {
        ModalAnswerer answerer;
        runExchange(answerer);
        QCOMPARE(answerer.boxes.size(), 1);
        QVERIFY2(answerer.boxes.at(0).text.contains(QString::fromUtf8("Inseminací: %1/%1\n").arg(Recorded)),
                 qPrintable(answerer.boxes.at(0).text));
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
