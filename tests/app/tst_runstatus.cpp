// Automatic exchanges that fail and then succeed, as the farmer sees them: the tray's tooltip and
// icon, one notification, the status line and the history, on a DeLaval farm laid out by the farm
// tool and the reference registry.
#include "common/testsupport.h"

#include "ziviviver/registryprocess.h"

#include "app/mainwindow.h"
#include "app/messagebox.h"
#include "exchange/answerfile.h"
#include "platform/settingskeys.h"
#include "sync/runhistory.h"

#include <QLabel>
#include <QProcess>

namespace {

const QString Cloud = QStringLiteral("4711");
const QString User = QStringLiteral("jan");
const QString Password = QStringLiteral("heslo");

bool command(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Time passing: the window's one-second timer ticks an hour.
class Window : public MainWindow
{
public:
    void hourPasses()
    {
        for (int i = 0; i < 3600; ++i)
            timerTimeout();
    }
};

QImage iconImage(const QIcon &icon)
{
    return icon.pixmap(32, 32).toImage();
}

} // namespace

class TestRunStatus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void failingThenSucceeding();
};

void TestRunStatus::initTestCase()
{
    QTemporaryDir tmp;
    const QString herd = tmp.filePath(QStringLiteral("herd.json"));
    QVERIFY(command(QStringLiteral(HERD_GENERATOR),
                    {QStringLiteral("--cows"), QStringLiteral("12"), QStringLiteral("--seed"),
                     QStringLiteral("3"), QStringLiteral("--today"),
                     QDate::currentDate().toString(Qt::ISODate), QStringLiteral("--out"), herd}));
    QVERIFY(command(QStringLiteral(FARM_TOOL),
                    {QStringLiteral("--system"), QStringLiteral("alpro"), QStringLiteral("--herd"), herd,
                     QStringLiteral("--wineprefix"), TestEnvironment::winePrefix(),
                     QStringLiteral("--simulators"), QStringLiteral(SIMULATOR_DIR)}));
    exchange::setAnswerWait({20, 50});
}

void TestRunStatus::failingThenSucceeding()
{
    RegistryProcess registry;
    QVERIFY(registry.addUser(Cloud, User, Password));
    qputenv("ZAVRA_URL", QStringLiteral("http://127.0.0.1:%1").arg(unusedPort()).toUtf8());
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brantol"),
                    QStringLiteral("stablomat"));
    store.setValue(keys::ExchangeHours, 1);
    store.setValue(keys::CloudNumber, Cloud);
    store.setValue(keys::CloudUser, User);
    store.setValue(keys::CloudPassword, Password);
    store.setValue(keys::InsDays, 30);
    store.setValue(keys::SendDays, 30);
    store.sync();
    QStringList notices;
    messagebox::setTrayNoticeHook([&](const QString &text) { notices << text; });
    ModalAnswerer answerer;

    const QImage normal = iconImage(QIcon(QStringLiteral(":/pics/milk-icon.ico")));
    const QString lastSuccess = QString::fromUtf8("Poslední úspěšná: žádná");
    Window w;
    QCOMPARE(w.tray()->toolTip(), QStringLiteral("stablomat"));
    QCOMPARE(widgetNamed<QLabel>(&w, "stav")->text(), QString::fromUtf8("Zatím neproběhla žádná výměna."));
    QStringList tip;
    // Four hours with the registry out of reach: one notification, after the third.
    for (int hour = 1; hour <= 4; ++hour) {
        w.hourPasses();
        tip = w.tray()->toolTip().split(QLatin1Char('\n'));
        QCOMPARE(tip.size(), 3);
        QCOMPARE(tip.at(0), QStringLiteral("stablomat"));
        QVERIFY2(tip.at(1).startsWith(QString::fromUtf8("Poslední výměna: ")), qPrintable(tip.at(1)));
        QVERIFY2(tip.at(1).endsWith(QString::fromUtf8(" – chyba -1: registr nedostupný")),
                 qPrintable(tip.at(1)));
        QCOMPARE(tip.at(2), lastSuccess);
        QVERIFY(iconImage(w.tray()->icon()) != normal);
        QCOMPARE(notices.size(), hour < 3 ? 0 : 1);
    }
    QVERIFY2(notices.at(0).startsWith(QString::fromUtf8("Automatická výměna údajů se 3krát po sobě nezdařila "
                                                        "(chyba -1: registr nedostupný).")),
             qPrintable(notices.at(0)));

    // The registry back: the next hour's run succeeds.
    QVERIFY(registry.start());
    qputenv("ZAVRA_URL", registry.url().toUtf8());
    w.hourPasses();
    tip = w.tray()->toolTip().split(QLatin1Char('\n'));
    QCOMPARE(tip.size(), 2);
    QVERIFY2(tip.at(1).endsWith(QString::fromUtf8(" – v pořádku")), qPrintable(tip.at(1)));
    QCOMPARE(iconImage(w.tray()->icon()), normal);
    QCOMPARE(notices.size(), 1);
    QCOMPARE(widgetNamed<QLabel>(&w, "stav")->text(), tip.at(1));
    QCOMPARE(answerer.boxes.size(), 0);

    // The history file: five timer runs of DeLaval Alpro, the last one with what was sent.
    const QList<QByteArray> lines = readWholeFile(RunHistory::defaultPath()).split('\n');
    QCOMPARE(lines.size(), 6);
    QList<std::optional<RunRecord>> runs;
    for (int i = 0; i < 5; ++i) {
        runs << parseHistoryLine(lines.at(i));
        QVERIFY(runs.last());
        QCOMPARE(runs.last()->trigger, RunTrigger::Timer);
        QCOMPARE(runs.last()->system, 1);
        const RunOutcome expected = i < 4 ? RunOutcome{RunResult::LibraryError, -1} : RunOutcome();
        QCOMPARE(runs.last()->outcome, expected);
    }
    QVERIFY(runs.last()->sent.animals > 0);
    QCOMPARE(registry.requests(QStringLiteral("/sync")).size(), 1);

    // A new start shows the same from the history.
    Window again;
    QCOMPARE(again.tray()->toolTip(), w.tray()->toolTip());
    QCOMPARE(widgetNamed<QLabel>(&again, "stav")->text(), tip.at(1));
    messagebox::setTrayNoticeHook(nullptr);
}

STABLOMAT_TEST_MAIN(TestRunStatus)
#include "tst_runstatus.moc"
