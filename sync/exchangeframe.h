// The steps every adapter's exchange run shares: settings, progress dialog, the cloud
// synchronisation with its messages, and the text the run leaves in the main window. The frame
// knows the window only as a RunView.
#pragma once

#include "sync/records.h"
#include "sync/runhistory.h"
#include "sync/summary.h"

#include <QCoreApplication>
#include <QDate>
#include <QString>

#include <functional>
#include <optional>

class QSettings;

// What a run shows of itself, and where it reads its settings: the main window implements it.
class RunView
{
public:
    virtual QSettings *runSettings() const = 0;
    // The text area: the run's textual output and, at its end, the milk-yield CSV.
    virtual void setRunText(const QString &text) = 0;
    // Opens the progress dialog or changes its text, and lets it repaint.
    virtual void showRunProgress(const QString &text) = 0;
    virtual void closeRunProgress() = 0;
    // An information box; see MainWindow::showMessage.
    virtual void showRunMessage(const QString &text, bool waitForClick) = 0;
    // The run has ended: its outcome and counts as the adapter reported them.
    virtual void runEnded(const RunRecord &report) = 0;

protected:
    ~RunView() = default;
};

struct FrameOptions
{
    bool clearText = true;       // the Uniform adapter keeps the text area until its end
    bool progressDialog = false; // the converter-driven adapters show "Vytvářím sestavu..."
    bool startedByUser = true;   // false: started by the AfiFarm watcher; its boxes never wait
};

// The syncZavra arguments that differ between the adapters.
struct SyncOptions
{
    bool shortNumbers = true; // no life number sent has 9 or more digits
    bool sendInseminations = false;
    ResultForm resultForm = ResultForm::Short;
};

// Writes the downloaded inseminations into the milking system and returns Written. Called only
// after a successful syncZavra that returned at least one row. std::nullopt: the write-back failed
// (and has said so itself); the run then shows no result.
using WriteBack = std::function<std::optional<int>(const QList<DownloadedInsemination> &downloaded)>;

enum class SyncStatus
{
    NotRun,             // both day windows 0: the cloud was not contacted
    AttachFailed,       // attach returned a negative code
    CredentialsRefused, // attach succeeded, loggedIn false
    SyncFailed,         // syncZavra returned a negative code
    WriteBackFailed,    // the write-back returned std::nullopt
    Done,
};

struct SyncResult
{
    SyncStatus status = SyncStatus::NotRun;
    int code = 0;                             // result of the last library call made (negative on a failure)
    QList<DownloadedInsemination> downloaded; // valid only when syncZavra succeeded
    int written = 0;
    SentCounts sent;
    QString resultText; // set when status is Done
    bool succeeded() const { return status == SyncStatus::Done; }
};

enum class ProgressStep
{
    Creating,
    Waiting,
    Processing
};

// One exchange run of an adapter; lives on the adapter's stack. Destroying it closes the progress
// dialog, so an adapter that gives up early just returns.
class ExchangeFrame
{
    Q_DECLARE_TR_FUNCTIONS(ExchangeFrame)

public:
    // Clears the text area (unless told not to), reads insDays and sendDays, and shows the progress
    // dialog with "Vytvářím sestavu..." when asked to.
    ExchangeFrame(RunView *view, const bool &ShowMessages, const FrameOptions &options = FrameOptions());
    ~ExchangeFrame();
    ExchangeFrame(const ExchangeFrame &) = delete;
    ExchangeFrame &operator=(const ExchangeFrame &) = delete;

    int insDays() const { return insDays_; }
    int sendDays() const { return sendDays_; }
    bool showMessages() const { return showMessages_; }
    // The date the run started; the send window counts back from it.
    QDate today() const { return today_; }
    QDate sendWindowStart() const;
    bool inSendWindow(const QDate &date) const;
    // Whether synchronise() will contact the cloud (insDays or sendDays above 0).
    bool synchronisationWanted() const { return insDays_ > 0 || sendDays_ > 0; }

    // Changes the progress text and lets the dialog repaint; nothing without a progress dialog.
    void setProgress(ProgressStep step);

    // attach, syncZavra, write-back, result message, detach; shows the messages the run's
    // ShowMessages allows (a failed syncZavra always).
    SyncResult synchronise(const HerdRecords &records, const SyncOptions &options,
                           const WriteBack &writeBack = WriteBack());

    // An answer without a single animal ends the run like a missing one: nothing is sent; an
    // interactive run says so. True when the records hold at least one animal, or when the cloud
    // is not to be contacted at all.
    bool hasAnimals(const HerdRecords &records);

    // Lines of the milking system's answer left out as unreadable; the run's text names them.
    void countSkippedLines(int lines) { skippedLines_ += lines; }

    // The text area gets `text` now; the run goes on.
    void setText(const QString &text);
    // Last step of a run: the text area gets `text`, the progress dialog closes.
    void finish(const QString &text);

    // The run ends for a reason of the adapter's own. A run that ends without finish() and
    // without a failure reported had no answer from the milking system.
    void fail(RunResult result);

    // An information box titled "Stablomat", parented to the main window, with one OK button. It
    // waits for a click only in a run the user started with the button, and then only once the
    // run has ended.
    void inform(const QString &text) const;

    static QString progressText(ProgressStep step);

private:
    void noteSyncResult(const SyncResult &result);
    // `text` and, after it on a line of its own, how many answer lines were skipped, if any.
    QString withSkippedLines(const QString &text) const;

    RunView *view;
    bool showMessages_;
    bool waitForClick_;
    int insDays_;
    int sendDays_;
    int skippedLines_ = 0;
    QDate today_;
    bool progressShown = false;
    RunRecord report_; // outcome and counts, handed to the window when the frame goes
    bool finished_ = false;
};
