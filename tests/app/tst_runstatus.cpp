// Automatic exchanges failing, then succeeding, as the farmer sees them: tooltip, tray icon, one
// notification, status line and history, on a DeLaval farm against the reference registry.
#include "common/testsupport.h"

#include "common/registryprocess.h"
#include "common/simprocess.h"

#include "app/mainwindow.h"
#include "app/messagebox.h"
#include "exchange/answerfile.h"
#include "platform/settingskeys.h"
#include "sync/runhistory.h"

#include <QLabel>
#include <QRegularExpression>

class TestRunStatus : public QObject
{
    Q_OBJECT

private slots:
    void failingThenSucceeding();
};

void TestRunStatus::failingThenSucceeding()
{
    QTemporaryDir tmp;
    const QByteArray error = layOutFarm("alpro", generateHerdFile(tmp.filePath("herd.json"), 12, 1));
    QVERIFY2(error.isEmpty(), error.constData());
    exchange::setAnswerWait({20, 50});
    RegistryProcess registry;
    QVERIFY(registry.addUser("4711", "jan", "heslo"));
    qputenv("ZAVRA_URL", QStringLiteral("http://127.0.0.1:%1").arg(unusedPort()).toUtf8());
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Brantol", "stablomat");
    storeCloud(&store, "4711", "jan", "heslo");
    store.setValue(keys::ExchangeHours, 1);
    store.sync();
    QStringList notices;
    messagebox::setTrayNoticeHook([&](const QString &text) { notices << text; });
    ModalAnswerer answerer;

    const QImage normal = QIcon(":/pics/milk-icon.ico").pixmap(32).toImage();
    MainWindow w;
    const auto hourPasses = [&] {
        for (int i = 0; i < 3600; ++i)
            w.timerTimeout();
        return w.tray()->toolTip().split('\n');
    };
    QCOMPARE(widgetNamed<QLabel>(&w, "stav")->text(), QString::fromUtf8("Zatím neproběhla žádná výměna."));
    // Four hours with the registry out of reach: one notification, after the third.
    for (int hour = 1; hour <= 4; ++hour) {
        const QStringList tip = hourPasses();
        QCOMPARE(tip.size(), 3);
        QCOMPARE(tip.at(0), QStringLiteral("stablomat"));
        QVERIFY(QRegularExpression(
                    QString::fromUtf8("^Poslední výměna: \\d+\\. \\d+\\. \\d\\d:\\d\\d – chyba -1: "
                                      "registr nedostupný$"))
                    .match(tip.at(1))
                    .hasMatch());
        QCOMPARE(tip.at(2), QString::fromUtf8("Poslední úspěšná: žádná"));
        QVERIFY(w.tray()->icon().pixmap(32).toImage() != normal);
        QCOMPARE(notices.size(), hour < 3 ? 0 : 1);
    }
    QVERIFY(notices.at(0).startsWith(QString::fromUtf8(
        "Automatická výměna údajů se 3krát po sobě nezdařila (chyba -1: registr nedostupný).")));

    const QLabel *line = widgetNamed<QLabel>(&w, "stav");
    w.centralWidget()->layout()->activate();
    QVERIFY(line->height() >= line->sizeHint().height()); // both lines whole

    QVERIFY(registry.serve());
    const QStringList tip = hourPasses();
    QCOMPARE(tip.size(), 2);
    QVERIFY(tip.at(1).endsWith(QString::fromUtf8(" – v pořádku")));
    QCOMPARE(w.tray()->icon().pixmap(32).toImage(), normal);
    QCOMPARE(notices.size(), 1);
    QCOMPARE(widgetNamed<QLabel>(&w, "stav")->text(), tip.at(1));
    QCOMPARE(answerer.boxes.size(), 0);
    QCOMPARE(registry.requests(QStringLiteral("/sync")).size(), 1);

    // The history: five timer runs of DeLaval Alpro, the last with what was sent.
    const QList<QByteArray> lines = readWholeFile(RunHistory::defaultPath()).split('\n');
    QCOMPARE(lines.size(), 6);
    for (int i = 0; i < 5; ++i) {
        const std::optional<RunRecord> run = parseHistoryLine(lines.at(i));
        QVERIFY(run && run->trigger == RunTrigger::Timer && run->system == 1);
        QVERIFY(run->outcome == (i < 4 ? RunOutcome{RunResult::LibraryError, -1} : RunOutcome()));
        QCOMPARE(run->sent.animals > 0, i == 4);
    }
    // A new start shows the same, read from the history.
    MainWindow again;
    QCOMPARE(again.tray()->toolTip(), w.tray()->toolTip());
    QCOMPARE(widgetNamed<QLabel>(&again, "stav")->text(), tip.at(1));
}

STABLOMAT_TEST_MAIN(TestRunStatus)
#include "tst_runstatus.moc"
