#include "common/testsupport.h"

#include "common/registryprocess.h"

#include "app/dialoginfo.h"
#include "app/mainwindow.h"
#include "platform/settingskeys.h"
#include "sync/exchangeframe.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QMessageBox>
#include <QTextEdit>

namespace {

const QString Cloud = QStringLiteral("4711");
const QString User = QStringLiteral("jan");
const QString Password = QString::fromUtf8("tajné heslo");

Animal animal(const QString &life, const QString &tech)
{
    return {life, tech, QVariant(), QStringLiteral("0")};
}

// Three cows with events dated today, inside any send window.
HerdRecords smallHerd()
{
    HerdRecords r;
    for (const QString &life : {QStringLiteral("100001"), QStringLiteral("100002"), QStringLiteral("100003")})
        r.animals.insert(life, animal(life, life.right(2)));
    const QDate today = QDate::currentDate();
    r.inseminations << Insemination{"100001", today.addDays(-1), 1, 2, "abc123"};
    r.pregnancies << PregnancyEvent{"100002", today.addDays(-2), 1, {}, {}, {}}
                  << PregnancyEvent{"100003", today.addDays(-2), 4, {}, {}, {}};
    r.dryOffs << DryOff{"100002", today.addDays(-3), {}};
    r.plans << PlanEntry{"100003", today, 1};
    return r;
}

// Counts the write-back calls and hands back a fixed Written.
struct WriteBackProbe
{
    int calls = 0;
    QList<DownloadedInsemination> seen;
    std::optional<int> answer = 0;
    WriteBack callable()
    {
        return [this](const QList<DownloadedInsemination> &downloaded) {
            ++calls;
            seen = downloaded;
            return answer;
        };
    }
};

} // namespace

// The main window as the runs of its adapters see it.
class FrameHost : public MainWindow
{
public:
    RunView *view() { return this; }
};

class TestExchangeFrame : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void noWindowsNoRequest_data();
    void noWindowsNoRequest();
    void attachFailures_data();
    void attachFailures();
    void syncFailureAlwaysShown_data();
    void syncFailureAlwaysShown();
    void success_data();
    void success();
    void emptyDownload();
    void sendWindowZero();
    void writeBackFailure();
    void boxParentAndButtons();
    void tenThousandAnimals();
    void progressAndText();

private:
    void setWindows(int insDays, int sendDays);
    SyncResult sync(bool showMessages, const HerdRecords &records, WriteBackProbe &probe,
                    const SyncOptions &options = SyncOptions())
    {
        ExchangeFrame frame(window->view(), showMessages);
        return frame.synchronise(records, options, probe.callable());
    }
    bool record(const QString &animal, const QDate &date, int ordinal, const QString &bull,
                const QString &bullName = QString())
    {
        return registry->recordInsemination(Cloud, animal, date, ordinal, bull, bullName);
    }
    QTextEdit *textArea() const { return window->findChild<QTextEdit *>(QStringLiteral("textEdit")); }
    RegistryProcess *registry = nullptr;
    FrameHost *window = nullptr;
};

void TestExchangeFrame::initTestCase()
{
    qputenv("ZAVRA_TIMEOUT_MS", "5000");
}

void TestExchangeFrame::init()
{
    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, User, Password));
    window = new FrameHost;
    storeCloud(window->settingsStore(), Cloud, User, Password);
}

void TestExchangeFrame::cleanup()
{
    discardWindow(window);
    delete registry;
    registry = nullptr;
    qputenv("ZAVRA_TIMEOUT_MS", "5000");
}

void TestExchangeFrame::setWindows(int insDays, int sendDays)
{
    window->settingsStore()->setValue(keys::InsDays, insDays);
    window->settingsStore()->setValue(keys::SendDays, sendDays);
}

void TestExchangeFrame::noWindowsNoRequest_data()
{
    QTest::addColumn<int>("insDays");
    QTest::addColumn<int>("sendDays");
    QTest::newRow("both 0") << 0 << 0;
    QTest::newRow("negative and 0") << -5 << 0;
    QTest::newRow("both negative") << -1 << -1;
}

void TestExchangeFrame::noWindowsNoRequest()
{
    QFETCH(int, insDays);
    QFETCH(int, sendDays);
    QVERIFY(registry->serve());
    setWindows(insDays, sendDays);
    WriteBackProbe probe;
    ModalAnswerer answerer;
    SyncResult result;
    {
        ExchangeFrame frame(window->view(), true);
        QVERIFY(!frame.synchronisationWanted());
        result = frame.synchronise(smallHerd(), SyncOptions(), probe.callable());
        frame.finish(QStringLiteral("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n"));
    }
    QCOMPARE(result.status, SyncStatus::NotRun);
    QCOMPARE(probe.calls, 0);
    QVERIFY(answerer.boxes.isEmpty());
    // The milk-yield text is produced all the same.
    QCOMPARE(textArea()->toPlainText(), QStringLiteral("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n"));
    QCOMPARE(registry->requests().size(), 0);
}

void TestExchangeFrame::attachFailures_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("ShowMessages");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    struct Row
    {
        const char *name;
        SyncStatus status;
        int code;
        const char *message;
    };
    const Row rows[] = {
        {"wrong password", SyncStatus::CredentialsRefused, 0, "Neplatné přihlašovací údaje."},
        {"unknown user", SyncStatus::CredentialsRefused, 0, "Neplatné přihlašovací údaje."},
        {"unknown cloud number", SyncStatus::AttachFailed, zavra::UnknownFarm, "Chyba: -8"},
        {"registry down", SyncStatus::AttachFailed, zavra::Unreachable, "Chyba: -1"},
        {"answer 500", SyncStatus::AttachFailed, zavra::HttpStatus, "Chyba: -3"},
        {"answer html", SyncStatus::AttachFailed, zavra::MalformedAnswer, "Chyba: -4"},
        {"answer truncated", SyncStatus::AttachFailed, zavra::MalformedAnswer, "Chyba: -4"},
        {"registry slow", SyncStatus::AttachFailed, zavra::Timeout, "Chyba: -2"},
    };
    for (const Row &r : rows) {
        for (const bool interactive : {true, false}) {
            QTest::addRow("%s, %s", r.name, interactive ? "interactive" : "timer")
                << QString::fromLatin1(r.name) << interactive << int(r.status) << r.code
                << (interactive ? QString::fromUtf8(r.message) : QString());
        }
    }
}

void TestExchangeFrame::attachFailures()
{
    QFETCH(QString, situation);
    QFETCH(bool, ShowMessages);
    QFETCH(int, status);
    QFETCH(int, code);
    QFETCH(QString, message);

    QSettings *s = window->settingsStore();
    QStringList serveOptions;
    if (situation == QLatin1String("wrong password"))
        s->setValue(keys::CloudPassword, QStringLiteral("tajne heslo"));
    else if (situation == QLatin1String("unknown user"))
        s->setValue(keys::CloudUser, QStringLiteral("petr"));
    else if (situation == QLatin1String("unknown cloud number"))
        s->setValue(keys::CloudNumber, QStringLiteral("4712"));
    else if (situation == QLatin1String("answer 500"))
        serveOptions << QStringLiteral("--fault") << QStringLiteral("500");
    else if (situation == QLatin1String("answer html"))
        serveOptions << QStringLiteral("--fault") << QStringLiteral("html");
    else if (situation == QLatin1String("answer truncated"))
        serveOptions << QStringLiteral("--fault") << QStringLiteral("truncated");
    else if (situation == QLatin1String("registry slow")) {
        serveOptions << QStringLiteral("--delay-ms") << QStringLiteral("4000");
        qputenv("ZAVRA_TIMEOUT_MS", "400");
    }
    if (situation == QLatin1String("registry down"))
        qputenv("ZAVRA_URL", QStringLiteral("http://127.0.0.1:%1").arg(unusedPort()).toUtf8());
    else
        QVERIFY(registry->serve(serveOptions));

    WriteBackProbe probe;
    ModalAnswerer answerer;
    QElapsedTimer clock;
    clock.start();
    const SyncResult result = sync(ShowMessages, smallHerd(), probe);
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(int(result.status), status);
    QCOMPARE(result.code, code);
    QCOMPARE(probe.calls, 0);
    QVERIFY(result.resultText.isEmpty());
    QVERIFY(result.downloaded.isEmpty());
    QCOMPARE(answerer.texts(true), message.isEmpty() ? QStringList() : QStringList{message});
    if (!message.isEmpty()) {
        QCOMPARE(answerer.boxes[0].title, QStringLiteral("Stablomat"));
        QCOMPARE(answerer.boxes[0].icon, QStringLiteral("information"));
    }
    // No hang: the slow registry is given up after the time limit.
    QVERIFY2(elapsed < 3000, qPrintable(QString::number(elapsed)));
    if (situation != QLatin1String("registry down") && situation != QLatin1String("registry slow")) {
        // Nothing was synchronised: only the attach reached the registry.
        QCOMPARE(registry->paths(), QStringList{QStringLiteral("/api/v1/attach")});
    }
}

void TestExchangeFrame::syncFailureAlwaysShown_data()
{
    QTest::addColumn<bool>("ShowMessages");
    QTest::newRow("interactive") << true;
    QTest::newRow("timer") << false;
}

void TestExchangeFrame::syncFailureAlwaysShown()
{
    QFETCH(bool, ShowMessages);
    QVERIFY(registry->serve());
    QVERIFY(record(QStringLiteral("100001"), QDate::currentDate(), 1, QStringLiteral("X")));
    // A pregnancy dated in the year 10000 has no ISO form: the registry refuses the records.
    HerdRecords records = smallHerd();
    const PregnancyEvent far{"100001", QDate(10000, 1, 1), 1, {}, {}, {}};
    records.pregnancies << far;

    WriteBackProbe probe;
    ModalAnswerer answerer;
    SyncResult result;
    {
        ExchangeFrame frame(window->view(), ShowMessages);
        QVERIFY(frame.inSendWindow(far.datum));
        result = frame.synchronise(records, SyncOptions(), probe.callable());
    }
    QCOMPARE(result.status, SyncStatus::SyncFailed);
    QCOMPARE(result.code, int(zavra::Rejected));
    QCOMPARE(probe.calls, 0);
    QVERIFY(result.downloaded.isEmpty());
    QCOMPARE(answerer.texts(true), QStringList{QStringLiteral("Chyba: -9")});
    QCOMPARE(answerer.boxes[0].title, QStringLiteral("Stablomat"));
    QCOMPARE(registry->paths(), (QStringList{"/api/v1/attach", "/api/v1/sync", "/api/v1/detach"}));
    QCOMPARE(registry->requests(QStringLiteral("/api/v1/sync")).last().value("status").toInt(), 400);
}

void TestExchangeFrame::success_data()
{
    QTest::addColumn<int>("form");
    QTest::addColumn<bool>("sendInseminations");
    QTest::addColumn<bool>("ShowMessages");
    QTest::addColumn<QString>("text");

    const QString headings = QString::fromUtf8("Přijato\n  Inseminací: 2/1\nOdesláno\n"
                                               "  Technologické označení: 3\n  Inseminací: 1\n"
                                               "  Březost: 2\n  Zasušení: 1\n  Plány: 1");
    const QString shortForm =
        QString::fromUtf8("Inseminací: 2/1\nTechnologické označení: 3\nBřezost: 2\nZasušení: 1\nPlány: 1");
    QTest::newRow("headings, interactive") << int(ResultForm::WithHeadings) << true << true << headings;
    QTest::newRow("headings, timer") << int(ResultForm::WithHeadings) << true << false << headings;
    QTest::newRow("short, interactive") << int(ResultForm::Short) << false << true << shortForm;
    QTest::newRow("short, timer") << int(ResultForm::Short) << false << false << shortForm;
}

void TestExchangeFrame::success()
{
    QFETCH(int, form);
    QFETCH(bool, sendInseminations);
    QFETCH(bool, ShowMessages);
    QFETCH(QString, text);

    const QDate today = QDate::currentDate();
    QVERIFY(record(QStringLiteral("100002"), today.addDays(-3), 1, QStringLiteral("CZ 123"),
                   QStringLiteral("Bandit")));
    QVERIFY(record(QStringLiteral("100003"), today.addDays(-1), 3, QStringLiteral("DE-77")));
    // Outside the 30-day download window.
    QVERIFY(record(QStringLiteral("100001"), today.addDays(-31), 1, QStringLiteral("OLD")));
    QVERIFY(registry->serve());

    WriteBackProbe probe;
    probe.answer = 1;
    ModalAnswerer answerer;
    SyncOptions options;
    options.resultForm = static_cast<ResultForm>(form);
    options.sendInseminations = sendInseminations;
    const SyncResult result = sync(ShowMessages, smallHerd(), probe, options);
    QCOMPARE(result.status, SyncStatus::Done);
    QCOMPARE(probe.calls, 1);
    QCOMPARE(probe.seen.size(), 2);
    QCOMPARE(probe.seen[0].cislo, QStringLiteral("100002"));
    QCOMPARE(probe.seen[0].datum, today.addDays(-3));
    QCOMPARE(probe.seen[0].poradi, QVariant(1));
    QCOMPARE(probe.seen[0].byk, QVariant(QStringLiteral("CZ 123")));
    QCOMPARE(probe.seen[0].byk_jmeno, QVariant(QStringLiteral("Bandit")));
    QCOMPARE(probe.seen[1].cislo, QStringLiteral("100003"));
    QCOMPARE(probe.seen[1].poradi, QVariant(3));
    QCOMPARE(result.written, 1);
    QCOMPARE(result.resultText.toUtf8(), text.toUtf8());
    QCOMPARE(answerer.texts(),
             ShowMessages ? QStringList{QString::fromUtf8("Proběhla úspěšná datová výměna.\n\n") + text}
                          : QStringList());
    if (ShowMessages) {
        QCOMPARE(answerer.boxes[0].title, QStringLiteral("Stablomat"));
        QCOMPARE(answerer.boxes[0].icon, QStringLiteral("information"));
    }
    QCOMPARE(registry->paths(), (QStringList{"/api/v1/attach", "/api/v1/sync", "/api/v1/detach"}));
    const QJsonObject body = registry->lastBody();
    QCOMPARE(body.value(QStringLiteral("download")).toInt(), 1);
    QCOMPARE(body.value(QStringLiteral("insDays")).toInt(), 30);
    QCOMPARE(body.value(QStringLiteral("send")).toInt(), 1);
    QCOMPARE(body.value(QStringLiteral("sendDays")).toInt(), 30);
    QCOMPARE(body.value(QStringLiteral("sendInseminations")).toBool(), sendInseminations);
    QCOMPARE(body.value(QStringLiteral("shortNumbers")).toBool(), true);
    QCOMPARE(body.value(QStringLiteral("complete")).toBool(), true);
    // The user and password went to the attach only.
    QVERIFY(
        !registry->requests(QStringLiteral("/api/v1/attach")).last().value("summary").toString().isEmpty());
}

void TestExchangeFrame::emptyDownload()
{
    QVERIFY(registry->serve());
    WriteBackProbe probe;
    probe.answer = 7; // must not be asked
    ModalAnswerer answerer;
    const SyncResult result = sync(true, HerdRecords(), probe);
    QCOMPARE(result.status, SyncStatus::Done);
    QCOMPARE(probe.calls, 0);
    QCOMPARE(result.written, 0);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes[0].text.toUtf8(),
             QByteArray("Proběhla úspěšná datová výměna.\n\nInseminací: 0/0\nTechnologické označení: 0\n"
                        "Březost: 0\nZasušení: 0\nPlány: 0"));
}

void TestExchangeFrame::sendWindowZero()
{
    // sendDays 0, insDays 5: the sync runs with the send flag 0 and the inseminations come back.
    setWindows(5, 0);
    QVERIFY(record(QStringLiteral("100001"), QDate::currentDate(), 1, QStringLiteral("B")));
    QVERIFY(registry->serve());
    WriteBackProbe probe;
    probe.answer = 1;
    ModalAnswerer answerer;
    SyncResult result;
    {
        ExchangeFrame frame(window->view(), false);
        QVERIFY(frame.synchronisationWanted());
        QVERIFY(!frame.inSendWindow(QDate::currentDate()));
        HerdRecords records;
        records.animals.insert(QStringLiteral("100001"),
                               animal(QStringLiteral("100001"), QStringLiteral("1")));
        result = frame.synchronise(records, SyncOptions(), probe.callable());
    }
    QCOMPARE(result.status, SyncStatus::Done);
    QCOMPARE(probe.calls, 1);
    QCOMPARE(result.sent.animals, 1);
    QCOMPARE(result.sent.pregnancies, 0);
    QCOMPARE(result.resultText.left(16).toUtf8(), QByteArray("Inseminací: 1/1\n"));
    QCOMPARE(answerer.boxes.size(), 0);
    const QJsonObject body = registry->lastBody();
    QCOMPARE(body.value(QStringLiteral("send")).toInt(), 0);
    QCOMPARE(body.value(QStringLiteral("sendDays")).toInt(), 0);
    QCOMPARE(body.value(QStringLiteral("download")).toInt(), 1);
    QCOMPARE(body.value(QStringLiteral("insDays")).toInt(), 5);
}

void TestExchangeFrame::writeBackFailure()
{
    QVERIFY(record(QStringLiteral("100001"), QDate::currentDate(), 1, QStringLiteral("B")));
    QVERIFY(registry->serve());
    WriteBackProbe probe;
    probe.answer = std::nullopt;
    ModalAnswerer answerer;
    const SyncResult result = sync(true, smallHerd(), probe);
    QCOMPARE(result.status, SyncStatus::WriteBackFailed);
    QCOMPARE(probe.calls, 1);
    QVERIFY(result.resultText.isEmpty());
    QCOMPARE(answerer.boxes.size(), 0);
    QCOMPARE(registry->paths().last(), QStringLiteral("/api/v1/detach"));
}

void TestExchangeFrame::boxParentAndButtons()
{
    QVERIFY(registry->serve());
    window->settingsStore()->setValue(keys::CloudPassword, QStringLiteral("wrong"));
    // The box opens only after the attach has waited for its answer in a local event loop.
    ModalAnswerer answerer;
    ExchangeFrame frame(window->view(), true);
    frame.synchronise(smallHerd(), SyncOptions());
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes[0].parent, window);
    QCOMPARE(answerer.boxes[0].buttons, int(QMessageBox::Ok));
}

void TestExchangeFrame::tenThousandAnimals()
{
    QVERIFY(registry->serve());
    HerdRecords records;
    const QDate today = QDate::currentDate();
    for (int i = 0; i < 10000; ++i) {
        const QString life = QString::number(200000000 + i);
        records.animals.insert(life, animal(life, QString::number(i % 9999)));
        records.pregnancies << PregnancyEvent{life, today.addDays(-(i % 20)), 1 + (i % 2), {}, {}, {}};
        if (i % 4 == 0)
            records.dryOffs << DryOff{life, today.addDays(-(i % 25)), {}};
    }
    for (int i = 0; i < 50; ++i)
        QVERIFY(record(QString::number(200000000 + i * 7), today.addDays(-(i % 10)), 1,
                       QStringLiteral("B%1").arg(i)));
    qputenv("ZAVRA_TIMEOUT_MS", "60000");
    WriteBackProbe probe;
    probe.answer = 50;
    ModalAnswerer answerer;
    SyncOptions options;
    options.shortNumbers = false;
    QElapsedTimer clock;
    clock.start();
    const SyncResult result = sync(false, records, probe, options);
    const qint64 elapsed = clock.elapsed();
    qInfo("10000 animals, 10000 pregnancies, 2500 drying-offs: synchronised in %lld ms", elapsed);
    QCOMPARE(result.status, SyncStatus::Done);
    QCOMPARE(result.sent.animals, 10000);
    QCOMPARE(result.sent.pregnancies, 10000);
    QCOMPARE(result.sent.dryOffs, 2500);
    QCOMPARE(result.downloaded.size(), 50);
    QCOMPARE(probe.calls, 1);
    // One sync request carried everything.
    QCOMPARE(registry->paths().count(QStringLiteral("/api/v1/sync")), 1);
    QVERIFY2(elapsed < 30000, qPrintable(QString::number(elapsed)));
}

void TestExchangeFrame::progressAndText()
{
    textArea()->setPlainText(QStringLiteral("previous run"));
    {
        FrameOptions keep;
        keep.clearText = false;
        ExchangeFrame frame(window->view(), true, keep);
        QCOMPARE(textArea()->toPlainText(), QStringLiteral("previous run"));
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<DialogInfo *>(w) || !w->isVisible());
    }
    FrameOptions withProgress;
    withProgress.progressDialog = true;
    auto openDialog = [] {
        DialogInfo *found = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *d = qobject_cast<DialogInfo *>(w))
                found = d;
        return found;
    };
    {
        ExchangeFrame frame(window->view(), true, withProgress);
        QVERIFY(textArea()->toPlainText().isEmpty());
        DialogInfo *dialog = openDialog();
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->parentWidget(), window);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Stablomat"));
        QCOMPARE(dialog->text(), QString::fromUtf8("Vytvářím sestavu..."));
        frame.setProgress(ProgressStep::Waiting);
        QCOMPARE(dialog->text(), QString::fromUtf8("Čekám na sestavu..."));
        frame.setProgress(ProgressStep::Processing);
        QCOMPARE(dialog->text(), QString::fromUtf8("Zpracovávám sestavu..."));
        frame.finish(QStringLiteral("a,b\n"));
        QCOMPARE(openDialog(), nullptr);
        QCOMPARE(textArea()->toPlainText(), QStringLiteral("a,b\n"));
    }
    {
        // A run that gives up early: the dialog goes with the frame, the text area stays cleared.
        ExchangeFrame frame(window->view(), true, withProgress);
        QVERIFY(openDialog());
    }
    QCOMPARE(openDialog(), nullptr);
    QVERIFY(textArea()->toPlainText().isEmpty());
}

STABLOMAT_TEST_MAIN(TestExchangeFrame)
#include "tst_exchangeframe.moc"
