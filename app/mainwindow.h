#pragma once

#include "sync/exchangeframe.h"
#include "sync/runhistory.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>

#include <memory>
#include <optional>

class DialogHistorie;
class DialogInfo;
class QAction;
class QFileSystemWatcher;
class QMenu;
class QNetworkAccessManager;
class QNetworkReply;
class QSettings;
class QTimer;

namespace Ui {
class MainWindow;
}

// The program's one window, its tray icon and timer; every adapter is a member operation defined
// in its own folder. Adapters and the run frame show their text, progress and messages through
// the RunView side; nothing outside reaches into the window.
class MainWindow : public QMainWindow, protected RunView
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The exchange dispatcher; the button calls it with (true, true), the timer with (false, false).
    void runExchange(bool askPeriods, bool ShowMessages);
    bool exchangeRunning() const { return exchangeInProgress; }

    bool startupShortcutExists() const;
    void detectMilkingSystem();
    void computeMilkingPeriods();
    virtual void sendVersionCheck();
    // Downloads the update archive and writes the update script: 0, or -1 download failed,
    // -2 downloaded file missing, -3 script not created.
    int downloadUpdate(const QString &address);

    // Adapters, one per milking system, each defined in its own folder under adapters/.
    void exchangeDelaval(const bool &FetchYields, const bool &ShowMessages);
    void exchangeWestfalia(const bool &FetchYields, const bool &ShowMessages);
    void exchangeLely(const bool &FetchYields, const bool &ShowMessages);
    void exchangeUniform(const bool &FetchYields, const bool &ShowMessages);
    void exchangeFullwood(const bool &FetchYields, const bool &ShowMessages);

    // An information box. One that waits for a click is held back while an exchange runs and shown
    // when it has ended, so that it never keeps the next exchange from running; one that does not
    // wait is shown at once.
    void showMessage(const QString &text, bool waitForClick);

    // The fifteen milking-period choices (in use for milkings 1 to 3, then from day, from hour, to
    // day, to hour of each) and the six bounds last computed from them, as the adapters use them.
    QList<int> milkingPeriodChoices() const;
    QList<QDateTime> milkingPeriodBounds() const
    {
        return {od_cas1, do_cas1, od_cas2, do_cas2, od_cas3, do_cas3};
    }

    int milkingSystem() const { return dsystem; }
    QString milkingSystemPath() const { return programPath; }
    QSettings *settingsStore() const { return settings; }
    QSystemTrayIcon *tray() const { return trayIcon; }

public slots:
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void timerTimeout();
    void getVersionFromServerReplyFinished(QNetworkReply *netReply);
    void onExchange();
    void exchangeAfifarm(const QString &dir);
    void onSave();
    void onNastaveni();
    void onHistorie();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    // Calls the adapter chosen by the milking-system code.
    virtual void runAdapter(const bool &FetchYields, const bool &ShowMessages);
    // Shows the milking-period dialog; true when it was accepted and the periods are computed.
    bool askForMilkingPeriods();

    // RunView
    QSettings *runSettings() const override { return settings; }
    void setRunText(const QString &text) override;
    void showRunProgress(const QString &text) override;
    void closeRunProgress() override;
    void showRunMessage(const QString &text, bool waitForClick) override { showMessage(text, waitForClick); }
    // Held until the run's end is recorded (endRun).
    void runEnded(const RunRecord &report) override { reportedRun = report; }

private:
    // Ends the process at once without unwinding, the milking periods of this run saved.
    [[noreturn]] void endProcessNow();
    void readMilkingPeriods();
    void writeMilkingPeriods();
    void exchangeAfifarmReport();
    // After an exchange has ended: the held-back boxes, and the AfiFarm run asked for meanwhile.
    void exchangeEnded();
    // A run's start, and its end: recorded in the history and shown on the tray and in the window.
    void beginRun(RunTrigger trigger);
    void endRun();
    void showRunStatus();
    // Watches AfiFarm's savefile directory, and its parent for the directory to come back.
    void watchAfifarm();
    void afifarmParentChanged(const QString &path);

    Ui::MainWindow *ui;
    int dsystem;
    QString programPath; // Windows form; adapters turn it into a local path
    QString yieldFileName;
    QString uuid;
    QSettings *settings;
    QTimer *timer;
    int autoExchangeSeconds;
    int versionCheckTicks;
    QAction *restoreAction;
    QAction *quitAction;
    QSystemTrayIcon *trayIcon;
    QMenu *trayIconMenu;
    QFileSystemWatcher *afifarmWatcher;
    bool dojeni1 = false, dojeni2 = false, dojeni3 = false;
    int od_datum1 = 0, od_hodina1 = 0, do_datum1 = 0, do_hodina1 = 0;
    int od_datum2 = 0, od_hodina2 = 0, do_datum2 = 0, do_hodina2 = 0;
    int od_datum3 = 0, od_hodina3 = 0, do_datum3 = 0, do_hodina3 = 0;
    QDateTime od_cas1, do_cas1, od_cas2, do_cas2, od_cas3, do_cas3;
    QNetworkAccessManager *networkManager;

    bool exchangeInProgress = false;
    QStringList waitingMessages;
    bool afifarmRunWanted = false; // a notice came while an exchange ran
    QString afifarmDirectory;      // local path of the watched savefile directory
    // Hidden automatic start: the window goes to the tray once it has been shown, and the first
    // automatic exchange waits until then (the tray may come up late).
    bool hiddenStartPending = false;
    bool updateInProgress = false;
    bool updateRefusalShown = false;      // the "cannot update here" notice, once per run
    std::unique_ptr<DialogInfo> progress; // the running exchange's progress dialog

    QAction *exchangeAction = nullptr;
    QAction *historyAction = nullptr;
    QIcon appIcon;
    QIcon appWarningIcon; // while the last run failed
    RunHistory history{RunHistory::defaultPath()};
    FailureNotice failureNotice;
    QPointer<DialogHistorie> historyDialog;
    bool startRunPending = false; // the first automatic run after a hidden start
    RunTrigger runTrigger = RunTrigger::Button;
    QDateTime runStarted;
    QElapsedTimer runClock;
    std::optional<RunRecord> reportedRun;

    // Marks an exchange as running for its lifetime; a second request meanwhile is refused.
    class ExchangeGuard
    {
    public:
        explicit ExchangeGuard(MainWindow *w) : window(w), acquired(!w->exchangeInProgress)
        {
            if (acquired)
                window->exchangeInProgress = true;
        }
        ~ExchangeGuard()
        {
            if (acquired)
                window->exchangeInProgress = false;
        }
        ExchangeGuard(const ExchangeGuard &) = delete;
        ExchangeGuard &operator=(const ExchangeGuard &) = delete;
        bool acquiredRun() const { return acquired; }

    private:
        MainWindow *window;
        bool acquired;
    };
};
