#include "app/mainwindow.h"
#include "sync/milkingperiods.h"

#include "app/dialoghistorie.h"
#include "app/dialoginfo.h"
#include "app/messagebox.h"
#include "app/shortcuts.h"
#include "app/statusicon.h"
#include "exchange/converter.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>
#include <QSettings>
#include <QSslSocket>
#include <QTextStream>
#include <QTimer>
#include <QUuid>

#include <cstdio>
#include <cstdlib>

static void initResources()
{
    Q_INIT_RESOURCE(resources);
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), dsystem(0), settings(nullptr), timer(nullptr),
      autoExchangeSeconds(0), versionCheckTicks(0), restoreAction(nullptr), quitAction(nullptr),
      trayIcon(nullptr), trayIconMenu(nullptr), afifarmWatcher(nullptr), networkManager(nullptr)
{
    initResources();
    ui->setupUi(this);
    dsystem = 0;

    setWindowTitle(tr("Stablomat") + QStringLiteral(" ") + QStringLiteral("1.03") + QStringLiteral(" - ") +
                   tr("Delaval, Wesfalia"));

    if (!QSslSocket::supportsSsl())
        QMessageBox::information(nullptr, tr("Stablomat"), tr("QT bez podpory SSL"), QMessageBox::Ok);

    afifarmWatcher = new QFileSystemWatcher(this);
    // First, so that a savefile directory made again is watched before the run looks into it.
    connect(afifarmWatcher, &QFileSystemWatcher::directoryChanged, this, &MainWindow::afifarmParentChanged);
    connect(afifarmWatcher, &QFileSystemWatcher::directoryChanged, this, &MainWindow::exchangeAfifarm);

    restoreAction = new QAction(tr("&Obnovit"), this);
    connect(restoreAction, &QAction::triggered, this, &QWidget::showNormal);
    quitAction = new QAction(tr("&Ukončit"), this);
    connect(quitAction, &QAction::triggered, this, [] { exchange::endConverterRuns(); });
    connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);
    // The button's exchange, with its run guard; hidden with the button.
    exchangeAction = new QAction(tr("Výměna údajů"), this);
    connect(exchangeAction, &QAction::triggered, this, &MainWindow::onExchange);
    historyAction = new QAction(tr("Historie výměn…"), this);
    connect(historyAction, &QAction::triggered, this, &MainWindow::onHistorie);
    trayIconMenu = new QMenu(this);
    trayIconMenu->addAction(exchangeAction);
    trayIconMenu->addAction(historyAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(restoreAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(quitAction);
    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setContextMenu(trayIconMenu);
    appIcon = QIcon(QStringLiteral(":/pics/milk-icon.ico"));
    appWarningIcon = warningIcon(appIcon);
    trayIcon->setIcon(appIcon);
    setWindowIcon(appIcon);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::iconActivated);
    trayIcon->setToolTip(QStringLiteral("stablomat"));
    // Read once: the tooltip, the icon and the status line show the last run from the start.
    history.load();
    failureNotice.reset(history.automaticFailuresInRow());
    // Room for both lines, so that the window does not shift when the second comes and goes.
    // (measured as the label measures text: line spacing can be less than a line's height)
    const QFontMetrics metrics = ui->stav->fontMetrics();
    ui->stav->setMinimumHeight(
        metrics.boundingRect(QRect(), Qt::AlignLeft, QStringLiteral("Ág\nÁg")).height() +
        2 * ui->stav->margin());
    showRunStatus();
    trayIcon->setVisible(true);

    settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brantol"),
                             QStringLiteral("stablomat"), this);
    uuid = readString(settings, keys::Uuid);
    if (uuid.isEmpty()) {
        uuid = QUuid::createUuid().toString();
        settings->setValue(keys::Uuid, uuid);
    }
    // The store holds the cloud password: its file is its user's alone, also when it existed.
    settings->sync();
    platform::protectSettings(settings->fileName());
    const QString staj = readString(settings, keys::Staj);
    ui->staj->setText(staj.isEmpty() ? tr("Nastavte název stáje") : staj);
    readMilkingPeriods();
    const bool trayMode = readBool(settings, keys::TrayIcon);
    const int interval = readInt(settings, keys::ExchangeHours);

    timer = new QTimer(this);
    timer->setInterval(1000);
    connect(timer, &QTimer::timeout, this, &MainWindow::timerTimeout);
    autoExchangeSeconds = 0;
    versionCheckTicks = 0;

    if (startupShortcutExists() && trayMode && interval > 0) {
        autoExchangeSeconds = interval * 3600;
        hiddenStartPending = true; // closed 100 ms after it is shown (showEvent)
        startRunPending = true;
    }
    timer->start();

    networkManager = new QNetworkAccessManager(this);
    connect(networkManager, &QNetworkAccessManager::finished, this,
            &MainWindow::getVersionFromServerReplyFinished);

    detectMilkingSystem();
    exchangeAction->setVisible(!ui->exchange->isHidden());
    sendVersionCheck();

    connect(ui->exchange, &QToolButton::clicked, this, &MainWindow::onExchange);
    connect(ui->uloz, &QToolButton::clicked, this, &MainWindow::onSave);
    connect(ui->nastaveni, &QToolButton::clicked, this, &MainWindow::onNastaveni);
    connect(ui->historie, &QPushButton::clicked, this, &MainWindow::onHistorie);
}

MainWindow::~MainWindow()
{
    delete ui;
    ui = nullptr;
    writeMilkingPeriods();
}

void MainWindow::readMilkingPeriods()
{
    bool *flags[] = {&dojeni1, &dojeni2, &dojeni3};
    int *values[] = {&od_datum1, &od_hodina1, &do_datum1, &do_hodina1, &od_datum2, &od_hodina2,
                     &do_datum2, &do_hodina2, &od_datum3, &od_hodina3, &do_datum3, &do_hodina3};
    for (int i = 0; i < 3; ++i)
        *flags[i] = readBool(settings, keys::milkingPeriodKey(i));
    for (int i = 0; i < 12; ++i)
        *values[i] = readInt(settings, keys::milkingPeriodKey(i + 3));
}

void MainWindow::writeMilkingPeriods()
{
    const bool flags[] = {dojeni1, dojeni2, dojeni3};
    const int values[] = {od_datum1, od_hodina1, do_datum1, do_hodina1, od_datum2, od_hodina2,
                          do_datum2, do_hodina2, od_datum3, od_hodina3, do_datum3, do_hodina3};
    for (int i = 0; i < 3; ++i)
        settings->setValue(keys::milkingPeriodKey(i), flags[i]);
    for (int i = 0; i < 12; ++i)
        settings->setValue(keys::milkingPeriodKey(i + 3), values[i]);
}

QList<int> MainWindow::milkingPeriodChoices() const
{
    return {dojeni1,    dojeni2,   dojeni3,    od_datum1, od_hodina1, do_datum1, do_hodina1, od_datum2,
            od_hodina2, do_datum2, do_hodina2, od_datum3, od_hodina3, do_datum3, do_hodina3};
}

bool MainWindow::startupShortcutExists() const
{
    return startupShortcutPresent();
}

void MainWindow::timerTimeout()
{
    ++autoExchangeSeconds;
    const int interval = readInt(settings, keys::ExchangeHours);
    if (interval > 0 && autoExchangeSeconds / 3600 >= interval && !hiddenStartPending) {
        autoExchangeSeconds = 0;
        runExchange(false, false);
    }
    if (++versionCheckTicks >= 3600) {
        versionCheckTicks = 0;
        sendVersionCheck();
    }
}

void MainWindow::runExchange(bool askPeriods, bool ShowMessages)
{
    // Adapters process events while they wait: a tick or a click then must not start a second run.
    if (exchangeInProgress)
        return;
    const RunTrigger trigger = ShowMessages      ? RunTrigger::Button
                               : startRunPending ? RunTrigger::Start
                                                 : RunTrigger::Timer;
    if (!ShowMessages)
        startRunPending = false;
    if (dsystem == 0 && ShowMessages) {
        beginRun(trigger);
        endRun();
        messagebox::inform(this, tr("Nebyl rozpoznán dojírenský systém."));
        return;
    }
    bool FetchYields = false;
    // The dialog waits for the user outside the run: timer runs go on meanwhile.
    if (readBool(settings, keys::FetchYields) && askPeriods) {
        FetchYields = true;
        if (!askForMilkingPeriods())
            return;
    }
    {
        ExchangeGuard guard(this);
        if (!guard.acquiredRun())
            return;
        beginRun(trigger);
        runAdapter(FetchYields, ShowMessages);
        // The Firebird client puts its own SIGTERM and SIGINT handlers in place.
        platform::reinstallEndSignals();
    }
    endRun();
    exchangeEnded();
}

void MainWindow::beginRun(RunTrigger trigger)
{
    runTrigger = trigger;
    runStarted = QDateTime::currentDateTimeUtc();
    runClock.start();
    reportedRun.reset();
}

void MainWindow::endRun()
{
    std::optional<RunRecord> run = reportedRun;
    reportedRun.reset();
    if (!run) {
        // No adapter ran: only "no milking system" is a run to record (AfiFarm without a report is none).
        if (dsystem != 0)
            return;
        run.emplace();
        run->outcome.result = RunResult::NoSystem;
    }
    run->started = runStarted;
    run->trigger = runTrigger;
    run->system = dsystem;
    run->durationMs = runClock.elapsed();
    if (run->outcome.failed() && exchange::converterRunsEnded())
        run->outcome = RunOutcome{RunResult::Cancelled, 0};
    history.append(*run);
    const QString notice = failureNotice.after(history.runs().last(), history.lastSuccess());
    showRunStatus();
    if (!notice.isEmpty())
        messagebox::trayNotice(trayIcon, notice);
}

void MainWindow::showRunStatus()
{
    const RunRecord *last = history.last();
    const RunRecord *lastSuccess = history.lastSuccess();
    trayIcon->setToolTip(trayToolTip(last, lastSuccess));
    trayIcon->setIcon(last && last->outcome.failed() ? appWarningIcon : appIcon);
    ui->stav->setText(statusLine(last, lastSuccess));
    // Grown, never shrunk: a dash from a fallback font may make a line taller than measured.
    ui->stav->setMinimumHeight(qMax(ui->stav->minimumHeight(), ui->stav->sizeHint().height()));
    if (historyDialog)
        historyDialog->setRuns(history.runs());
}

void MainWindow::onHistorie()
{
    if (!historyDialog) {
        historyDialog = new DialogHistorie(this);
        historyDialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    historyDialog->setRuns(history.runs());
    historyDialog->show();
    historyDialog->raise();
    historyDialog->activateWindow();
}

void MainWindow::watchAfifarm()
{
    if (afifarmDirectory.isEmpty())
        return;
    const QString parent = QFileInfo(afifarmDirectory).absolutePath();
    if (QFileInfo(parent).isDir() && !afifarmWatcher->directories().contains(parent))
        afifarmWatcher->addPath(parent);
    if (QFileInfo(afifarmDirectory).isDir() && !afifarmWatcher->directories().contains(afifarmDirectory))
        afifarmWatcher->addPath(afifarmDirectory);
}

void MainWindow::afifarmParentChanged(const QString &)
{
    // A removed directory drops out of the watcher; watched again once it is back.
    watchAfifarm();
}

void MainWindow::showMessage(const QString &text, bool waitForClick)
{
    if (!waitForClick)
        messagebox::notify(this, text);
    else if (exchangeInProgress)
        waitingMessages << text;
    else
        messagebox::inform(this, text);
}

void MainWindow::exchangeEnded()
{
    if (exchangeInProgress)
        return;
    if (afifarmRunWanted) {
        afifarmRunWanted = false;
        QTimer::singleShot(0, this, [this] { exchangeAfifarm(afifarmDirectory); });
    }
    const QStringList messages = waitingMessages;
    waitingMessages.clear();
    for (const QString &text : messages)
        messagebox::inform(this, text);
}

void MainWindow::runAdapter(const bool &FetchYields, const bool &ShowMessages)
{
    switch (dsystem) {
    case 1:
    case 2:
        exchangeDelaval(FetchYields, ShowMessages);
        break;
    case 3:
        exchangeWestfalia(FetchYields, ShowMessages);
        break;
    case 4:
        exchangeLely(FetchYields, ShowMessages);
        break;
    case 6:
        exchangeUniform(FetchYields, ShowMessages);
        break;
    case 7:
        exchangeFullwood(FetchYields, ShowMessages);
        break;
    default: // 0 nothing recognised; 5 AfiFarm runs from its directory watcher
        break;
    }
}

void MainWindow::onExchange()
{
    runExchange(true, true);
}

void MainWindow::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        show();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (hiddenStartPending) {
        hiddenStartPending = false;
        QTimer::singleShot(100, this, &QWidget::close);
    }
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (readBool(settings, keys::TrayIcon)) {
        event->accept();
        return;
    }
    endProcessNow();
}

void MainWindow::endProcessNow()
{
    writeMilkingPeriods();
    settings->sync();
    trayIcon->hide();
    std::fflush(nullptr);
    std::_Exit(0);
}

void MainWindow::setRunText(const QString &text)
{
    ui->textEdit->setPlainText(text);
}

void MainWindow::showRunProgress(const QString &text)
{
    if (progress)
        updateProgressDialog(progress.get(), text);
    else
        progress = openProgressDialog(this, text);
}

void MainWindow::closeRunProgress()
{
    progress.reset();
}

void MainWindow::onSave()
{
    const QString filter =
        tr("%1 (*.%1 *.%2);;Všechny soubory (*.*)").arg(QStringLiteral("csv"), QStringLiteral("CSV"));
    const QString fileName = QFileDialog::getSaveFileName(this, tr("Uložení souboru"), yieldFileName, filter);
    if (fileName.isEmpty())
        return;
    // Written whole under a temporary name and then put in place: a failed save (full disk)
    // leaves an earlier file as it was.
    QSaveFile file(fileName);
    bool saved = file.open(QIODevice::WriteOnly | QIODevice::Text);
    if (saved) {
        QTextStream out(&file);
        out.setCodec("UTF-8");
        out.setGenerateByteOrderMark(false);
        out << ui->textEdit->toPlainText();
        out.flush();
        // commit() does not notice a buffer that a full disk refused: flushed to the file first.
        saved = out.status() == QTextStream::Ok && file.flush() && file.commit();
    }
    if (!saved)
        messagebox::inform(this, tr("Chyba ukládání souboru.") + QLatin1Char('\n') + fileName);
}

void MainWindow::computeMilkingPeriods()
{
    const QDate today = milkingPeriodsToday();
    const MilkingPeriod p1 = milkingPeriod(dojeni1, od_datum1, od_hodina1, do_datum1, do_hodina1, today);
    const MilkingPeriod p2 = milkingPeriod(dojeni2, od_datum2, od_hodina2, do_datum2, do_hodina2, today);
    const MilkingPeriod p3 = milkingPeriod(dojeni3, od_datum3, od_hodina3, do_datum3, do_hodina3, today);
    od_cas1 = p1.from;
    do_cas1 = p1.to;
    od_cas2 = p2.from;
    do_cas2 = p2.to;
    od_cas3 = p3.from;
    do_cas3 = p3.to;
}
