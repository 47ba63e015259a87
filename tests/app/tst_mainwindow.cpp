#include "app/mainwindow.h"
#include "app/shortcuts.h"
#include "common/simprocess.h"
#include "common/testsupport.h"
#include "platform/settingskeys.h"
#include "sync/runhistory.h"

#include <QAction>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTimer>
#include <functional>
#include <utility>

// The real window with the adapter call and the version check observed.
class TestWindow : public MainWindow
{
public:
    struct Run
    {
        bool fetchYields;
        bool showMessages;
    };
    QList<Run> runs;
    std::function<void()> during; // runs inside the adapter, as an adapter's event processing would
    int versionChecks = 0;

    void tick(int n)
    {
        for (int i = 0; i < n; ++i)
            timerTimeout();
    }

protected:
    void runAdapter(const bool &FetchYields, const bool &ShowMessages) override
    {
        runs.append({FetchYields, ShowMessages});
        if (during)
            during();
    }
    void sendVersionCheck() override { ++versionChecks; }
};

static QSettings store()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brantol"),
                     QStringLiteral("stablomat"));
}

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void firstStart();
    void storedIdentifierKept();
    void farmNameShown();
    void garbageSettingsGiveDefaults_data();
    void garbageSettingsGiveDefaults();
    void unreadableSettingsFile();
    void periodsWrittenAtDestruction();
    void automaticExchange_data();
    void automaticExchange();
    void intervalChangeTakesEffectNextTick();
    void versionCheckEvery3600Ticks();
    void ticksDoNotRepaint();
    void hiddenStart_data();
    void hiddenStart();
    void secondRequestDuringRunIgnored();
    void unrecognisedSystem();
    void buttonWithoutYieldExport();
    void trayActivation();
    void trayMenu();
    void closeWithTrayModeHides();
    void save();
    void saveCancelledOrUnwritable();
    void saveOnFullDiskKeepsEarlierFile();
    void settingsFileForItsUserOnly_data();
    void settingsFileForItsUserOnly();
};

void TestMainWindow::init()
{
    removeStartupShortcut();
    store().clear();
    QFile::remove(RunHistory::defaultPath());
    TestEnvironment::resetDriveC();
}

void TestMainWindow::firstStart()
{
    TestWindow w;
    const QString id = store().value(keys::Uuid).toString();
    QVERIFY2(QRegularExpression(
                 QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"))
                 .match(id)
                 .hasMatch(),
             qPrintable(id));
    QCOMPARE(widgetNamed<QLabel>(&w, "staj")->text(), QStringLiteral("Nastavte název stáje"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Stablomat 1.03 - Delaval, Wesfalia"));
    QCOMPARE(w.size(), QSize(626, 464));
    QCOMPARE(widgetNamed<QToolButton>(&w, "exchange")->text(), QStringLiteral("Výměna údajů"));
    QCOMPARE(widgetNamed<QToolButton>(&w, "uloz")->text(), QStringLiteral("Ulož soubor"));
    QCOMPARE(widgetNamed<QToolButton>(&w, "nastaveni")->text(), QStringLiteral("Nastavení"));
    QVERIFY(!widgetNamed<QToolButton>(&w, "exchange")->isCheckable());
    QCOMPARE(widgetNamed<QToolButton>(&w, "exchange")->iconSize(), QSize(32, 32));
    QVERIFY(!widgetNamed<QToolButton>(&w, "exchange")->icon().isNull());
    QVERIFY(!w.windowIcon().isNull());
    QVERIFY(w.tray()->isVisible());
    QCOMPARE(w.tray()->toolTip(), QStringLiteral("stablomat"));
    QVERIFY(widgetNamed<QTextEdit>(&w, "textEdit")->toPlainText().isEmpty());
}

void TestMainWindow::storedIdentifierKept()
{
    const QString id = QStringLiteral("{0f8fad5b-d9cb-469f-a165-70867728950e}");
    store().setValue(keys::Uuid, id);
    {
        TestWindow w;
    }
    QCOMPARE(store().value(keys::Uuid).toString(), id);
}

void TestMainWindow::farmNameShown()
{
    store().setValue(keys::Staj, QStringLiteral("Farma Horní Ves"));
    TestWindow w;
    QCOMPARE(widgetNamed<QLabel>(&w, "staj")->text(), QStringLiteral("Farma Horní Ves"));
}

void TestMainWindow::garbageSettingsGiveDefaults_data()
{
    QTest::addColumn<QByteArray>("fileText");
    QTest::addColumn<int>("ticksToRun"); // -1: none within 4000 ticks
    QTest::addColumn<bool>("dojeni1");
    QTest::addColumn<int>("hour1");
    QTest::newRow("text where numbers belong")
        << QByteArray("[settings]\nzavra_dat_vymena_hod=abc\nod_hodina1=xyz\ndojeni1=false\n") << -1 << false
        << 0;
    QTest::newRow("empty values") << QByteArray("[settings]\nzavra_dat_vymena_hod=\ndojeni1=\nod_hodina1=\n")
                                  << -1 << false << 0;
    QTest::newRow("numbers read") << QByteArray(
                                         "[settings]\nzavra_dat_vymena_hod=1\ndojeni1=true\nod_hodina1=7\n")
                                  << 3600 << true << 7;
    QTest::newRow("number with junk")
        << QByteArray("[settings]\nzavra_dat_vymena_hod=1h\nod_hodina1=7x\n") << -1 << false << 0;
}

void TestMainWindow::garbageSettingsGiveDefaults()
{
    QFETCH(QByteArray, fileText);
    QFETCH(int, ticksToRun);
    QFETCH(bool, dojeni1);
    QFETCH(int, hour1);
    QVERIFY(writeWholeFile(store().fileName(), fileText));

    {
        TestWindow w;
        w.tick(4000);
        QCOMPARE(w.runs.size(), ticksToRun < 0 ? 0 : 1);
    }
    // What the window read is what it keeps and writes back.
    QSettings s = store();
    QCOMPARE(s.value(QStringLiteral("settings/dojeni1")).toBool(), dojeni1);
    QCOMPARE(s.value(QStringLiteral("settings/od_hodina1")).toInt(), hour1);
}

void TestMainWindow::unreadableSettingsFile()
{
    QVERIFY(writeWholeFile(store().fileName(), QByteArray("\xff\xfe\x00[[[=\x01\x02", 10)));
    {
        TestWindow w;
        QCOMPARE(widgetNamed<QLabel>(&w, "staj")->text(), QStringLiteral("Nastavte název stáje"));
        w.tick(4000);
        QCOMPARE(w.runs.size(), 0);
    }
    QVERIFY(!store().value(QStringLiteral("settings/dojeni1")).toBool());
}

void TestMainWindow::periodsWrittenAtDestruction()
{
    store().setValue(QStringLiteral("settings/dojeni2"), true);
    store().setValue(QStringLiteral("settings/od_hodina2"), QStringLiteral("abc"));
    store().setValue(QStringLiteral("settings/do_hodina3"), 11);
    store().sync();
    {
        TestWindow w;
    }
    QSettings s = store();
    for (int i = 0; i < 15; ++i)
        QVERIFY2(s.contains(keys::milkingPeriodKey(i)), qPrintable(keys::milkingPeriodKey(i)));
    QCOMPARE(s.value(QStringLiteral("settings/dojeni2")).toBool(), true);
    QCOMPARE(s.value(QStringLiteral("settings/od_hodina2")).toString(), QStringLiteral("0"));
    QCOMPARE(s.value(QStringLiteral("settings/do_hodina3")).toInt(), 11);
    QCOMPARE(s.value(QStringLiteral("settings/dojeni1")).toString(), QStringLiteral("false"));
}

void TestMainWindow::automaticExchange_data()
{
    QTest::addColumn<int>("hours");
    QTest::addColumn<int>("firstRunTick");
    QTest::newRow("1 hour") << 1 << 3600;
    QTest::newRow("2 hours") << 2 << 7200;
    QTest::newRow("off") << 0 << -1;
}

void TestMainWindow::automaticExchange()
{
    QFETCH(int, hours);
    QFETCH(int, firstRunTick);
    store().setValue(keys::ExchangeHours, hours);
    TestWindow w;
    const int limit = firstRunTick > 0 ? firstRunTick - 1 : 10000;
    w.tick(limit);
    QCOMPARE(w.runs.size(), 0);
    if (firstRunTick < 0) {
        // The count goes on while off: switched on, the hour has long passed.
        store().setValue(keys::ExchangeHours, 1);
        w.tick(1);
        QCOMPARE(w.runs.size(), 1);
        return;
    }
    w.tick(1);
    QCOMPARE(w.runs.size(), 1);
    QCOMPARE(w.runs.first().fetchYields, false);
    QCOMPARE(w.runs.first().showMessages, false);
    // Counted from the run on.
    w.tick(firstRunTick - 1);
    QCOMPARE(w.runs.size(), 1);
    w.tick(1);
    QCOMPARE(w.runs.size(), 2);
}

void TestMainWindow::intervalChangeTakesEffectNextTick()
{
    store().setValue(keys::ExchangeHours, 2);
    TestWindow w;
    w.tick(5000);
    QCOMPARE(w.runs.size(), 0);
    w.settingsStore()->setValue(keys::ExchangeHours, 1);
    w.tick(1);
    QCOMPARE(w.runs.size(), 1);
}

void TestMainWindow::versionCheckEvery3600Ticks()
{
    TestWindow w;
    w.tick(3599);
    QCOMPARE(w.versionChecks, 0);
    w.tick(1);
    QCOMPARE(w.versionChecks, 1);
    w.tick(3600);
    QCOMPARE(w.versionChecks, 2);
}

void TestMainWindow::ticksDoNotRepaint()
{
    // The program spends the day ticking: a tick that changes nothing on screen draws nothing.
    store().setValue(keys::Staj, QStringLiteral("Farma Horní Lhota"));
    TestWindow w;
    PaintCounter counter(&w);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // Drawn, and the paints of showing over: none between two polls.
    int seen = -1;
    QTRY_VERIFY(counter.paints > 0 && std::exchange(seen, counter.paints) == counter.paints);
    counter.paints = 0;
    for (int i = 0; i < 20; ++i) {
        w.tick(1);
        QCoreApplication::processEvents();
    }
    QTest::qWait(100); // proves that no late repaint comes
    QCOMPARE(counter.paints, 0);
    // The counter does see a repaint.
    widgetNamed<QLabel>(&w, "staj")->setText(QStringLiteral("Farma Dolní Lhota"));
    QTRY_VERIFY(counter.paints > 0);
    w.hide();
}

void TestMainWindow::hiddenStart_data()
{
    QTest::addColumn<bool>("shortcut");
    QTest::addColumn<bool>("trayMode");
    QTest::addColumn<int>("hours");
    QTest::addColumn<bool>("hidden");
    QTest::newRow("shortcut, tray mode, interval") << true << true << 1 << true;
    QTest::newRow("no shortcut") << false << true << 1 << false;
    QTest::newRow("tray mode off") << true << false << 1 << false;
    QTest::newRow("interval off") << true << true << 0 << false;
}

void TestMainWindow::hiddenStart()
{
    QFETCH(bool, shortcut);
    QFETCH(bool, trayMode);
    QFETCH(int, hours);
    QFETCH(bool, hidden);
    if (shortcut)
        QVERIFY(createStartupShortcut());
    store().setValue(keys::TrayIcon, trayMode);
    store().setValue(keys::ExchangeHours, hours);
    TestWindow w;
    QSignalSpy ticks(w.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly), &QTimer::timeout);
    w.show();
    // Closed 100 ms after it is shown, before the first tick of the real timer (1 s).
    if (hidden)
        QTRY_VERIFY(!w.isVisible());
    QTRY_VERIFY(!ticks.isEmpty());
    QCOMPARE(w.isVisible(), !hidden);
    QCOMPARE(w.runs.size(), hidden ? 1 : 0);
    if (hidden) {
        QCOMPARE(w.runs.first().fetchYields, false);
        QCOMPARE(w.runs.first().showMessages, false);
        const QByteArray recorded = readWholeFile(RunHistory::defaultPath()).split('\n').first();
        QVERIFY(parseHistoryLine(recorded).value_or(RunRecord()).trigger == RunTrigger::Start);
    }
    w.hide();
}

void TestMainWindow::secondRequestDuringRunIgnored()
{
    makeDriveCFile(QStringLiteral("c:/alpro/iso32.exe"));
    store().setValue(keys::ExchangeHours, 1);
    TestWindow w;
    int nested = 0;
    w.during = [&] {
        ++nested;
        w.tick(3600); // the automatic exchange falls due in the middle of the run
        w.onExchange();
        QVERIFY(w.exchangeRunning());
    };
    w.onExchange();
    QCOMPARE(nested, 1);
    QCOMPARE(w.runs.size(), 1);
    QVERIFY(!w.exchangeRunning());
    w.during = nullptr;
    w.onExchange(); // and once it is over, the next request runs
    QCOMPARE(w.runs.size(), 2);
}

void TestMainWindow::unrecognisedSystem()
{
    TestWindow w;
    QCOMPARE(w.milkingSystem(), 0);
    {
        ModalAnswerer answerer;
        w.onExchange();
        QCOMPARE(answerer.texts(), QStringList{QStringLiteral("Nebyl rozpoznán dojírenský systém.")});
        QCOMPARE(answerer.boxes.first().title, QStringLiteral("Stablomat"));
        QCOMPARE(answerer.boxes.first().icon, QStringLiteral("information"));
        QCOMPARE(w.runs.size(), 0);
    }
    ModalAnswerer answerer;
    w.runExchange(false, false); // a timer run says nothing
    QCOMPARE(answerer.boxes.size(), 0);
}

void TestMainWindow::buttonWithoutYieldExport()
{
    makeDriveCFile(QStringLiteral("c:/alpro/iso32.exe"));
    TestWindow w;
    QTest::mouseClick(widgetNamed<QToolButton>(&w, "exchange"), Qt::LeftButton);
    QCOMPARE(w.runs.size(), 1);
    QCOMPARE(w.runs.first().fetchYields, false);
    QCOMPARE(w.runs.first().showMessages, true);
}

void TestMainWindow::trayActivation()
{
    TestWindow w;
    w.hide();
    emit w.tray()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(!w.isVisible());
    emit w.tray()->activated(QSystemTrayIcon::Context);
    emit w.tray()->activated(QSystemTrayIcon::MiddleClick);
    QVERIFY(!w.isVisible());
    emit w.tray()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(w.isVisible());
    w.hide();
}

void TestMainWindow::trayMenu()
{
    TestWindow w;
    const QList<QAction *> actions = w.tray()->contextMenu()->actions();
    QStringList texts; // separators have none
    for (const QAction *a : actions)
        texts << a->text();
    QCOMPARE(texts, QStringList({"Výměna údajů", "Historie výměn…", "", "&Obnovit", "", "&Ukončit"}));
    w.hide();
    actions.at(3)->trigger();
    QVERIFY(w.isVisible());
    w.hide();
}

void TestMainWindow::closeWithTrayModeHides()
{
    store().setValue(keys::TrayIcon, true);
    TestWindow w;
    w.show();
    QVERIFY(w.isVisible());
    QVERIFY(w.close());
    QVERIFY(!w.isVisible());
    QVERIFY(w.tray()->isVisible());
}

// Answers the save dialog with a file name (or cancels it) once it is open.
static void answerSaveDialog(const QString &fileName, QString *startName)
{
    QTimer::singleShot(50, [fileName, startName] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Uložení souboru"));
        QCOMPARE(dialog->nameFilters(),
                 QStringList({QStringLiteral("csv (*.csv *.CSV)"), QStringLiteral("Všechny soubory (*.*)")}));
        if (startName) {
            auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            *startName = edit ? edit->text() : QString();
        }
        if (fileName.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->setOption(QFileDialog::DontConfirmOverwrite);
        dialog->selectFile(fileName);
        if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
            edit->setText(fileName);
        QMetaObject::invokeMethod(dialog, "accept");
    });
}

void TestMainWindow::save()
{
    makeDriveCFile(QStringLiteral("c:/alpro/iso32.exe"));
    TestWindow w;
    const QString text = QStringLiteral("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n"
                                        "203456789,1,20261207 05:10:00,,12.5\nčřž ů\n");
    widgetNamed<QTextEdit>(&w, "textEdit")->setPlainText(text);
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("vystup.csv"));
    QString startName;
    answerSaveDialog(target, &startName);
    w.onSave();
    QCOMPARE(startName, QStringLiteral("mleko.csv"));
    QCOMPARE(readWholeFile(target), text.toUtf8()); // UTF-8, no byte-order mark

    // Saving again over the file truncates it.
    widgetNamed<QTextEdit>(&w, "textEdit")->setPlainText(QStringLiteral("x"));
    answerSaveDialog(target, nullptr);
    w.onSave();
    QCOMPARE(readWholeFile(target), QByteArray("x"));
}

void TestMainWindow::saveCancelledOrUnwritable()
{
    TestWindow w;
    widgetNamed<QTextEdit>(&w, "textEdit")->setPlainText(QStringLiteral("data"));
    QTemporaryDir dir;
    ModalAnswerer answerer;
    answerSaveDialog(QString(), nullptr);
    w.onSave();
    QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    const QString missingDir = dir.filePath(QStringLiteral("missing/x.csv"));
    answerSaveDialog(missingDir, nullptr);
    w.onSave();
    QVERIFY(!QFile::exists(missingDir));
    // The user asked for the file: that it was not written is said.
    QCOMPARE(answerer.texts(), QStringList{QString::fromUtf8("Chyba ukládání souboru.\n") + missingDir});
}

void TestMainWindow::saveOnFullDiskKeepsEarlierFile()
{
    QTemporaryDir dir;
    TmpfsMount mount;
    if (!mount.mount(dir.path(), "64k"))
        QSKIP("cannot mount a tmpfs here (needs root)");
    const QString target = dir.filePath(QStringLiteral("mleko.csv"));
    QVERIFY(writeWholeFile(target, "earlier\n"));

    TestWindow w;
    widgetNamed<QTextEdit>(&w, "textEdit")->setPlainText(QString(200 * 1024, QLatin1Char('7')));
    ModalAnswerer answerer;
    answerSaveDialog(target, nullptr);
    w.onSave();
    QCOMPARE(answerer.texts(), QStringList{QString::fromUtf8("Chyba ukládání souboru.\n") + target});
    QCOMPARE(readWholeFile(target), QByteArray("earlier\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"mleko.csv"});
}

void TestMainWindow::settingsFileForItsUserOnly_data()
{
    QTest::addColumn<bool>("existed");
    QTest::newRow("first start") << false;
    QTest::newRow("file readable by all before") << true;
}

void TestMainWindow::settingsFileForItsUserOnly()
{
#ifdef Q_OS_WIN
    QSKIP("the store is the user's part of the registry");
#endif
    QFETCH(bool, existed);
    const QString path = store().fileName();
    QFile::remove(path);
    if (existed) {
        store().setValue(keys::CloudPassword, QStringLiteral("heslo"));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ReadGroup | QFileDevice::ReadOther));
    }
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                            QFileDevice::WriteOther | QFileDevice::ExeOther;
    TestWindow w;
    QVERIFY(QFileInfo::exists(path));
    QCOMPARE(QFileInfo(path).permissions() & others, QFileDevice::Permissions());
    // A later write replaces the file, and keeps it so.
    w.settingsStore()->setValue(keys::CloudPassword, QStringLiteral("nove heslo"));
    w.settingsStore()->sync();
    QCOMPARE(QFileInfo(path).permissions() & others, QFileDevice::Permissions());
}

STABLOMAT_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
