// The history of exchange runs: one JSON object a line in "history.jsonl" (docs/run-history.md),
// and the texts the tray, the window and the history dialog make from it.
#pragma once

#include "sync/runoutcome.h"
#include "sync/summary.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

enum class RunTrigger
{
    Button,
    Timer,
    Report, // AfiFarm wrote its report
    Start,  // the automatic run right after a hidden start
};

struct RunRecord
{
    QDateTime started; // UTC
    RunTrigger trigger = RunTrigger::Button;
    int system = 0; // milking-system code
    RunOutcome outcome;
    SentCounts sent;
    int downloaded = 0; // inseminations received from the registry
    int written = 0;    // of them written into the milking system
    qint64 durationMs = 0;

    bool automatic() const { return trigger != RunTrigger::Button; }
};

// The line written for a run, ending with "\n".
QByteArray historyLine(const RunRecord &run);
// A run from one line (with or without its "\n"); nothing for a line that is not a whole entry.
std::optional<RunRecord> parseHistoryLine(const QByteArray &line);

// The runs of the file, oldest first, at most `bound` of them in memory and on disk. Read once;
// each run is appended with one write of its whole line, so a process killed while writing loses
// at most that run, and a torn last line is skipped on reading. Past the bound the file is written
// anew under a temporary name and renamed into place.
class RunHistory
{
public:
    static constexpr int DefaultBound = 1000;

    explicit RunHistory(const QString &path, int bound = DefaultBound);

    // AppLocalDataLocation of organisation "Brantol" and application "stablomat", whatever the
    // executable is called: ~/.local/share/Brantol/stablomat/history.jsonl on Linux.
    static QString defaultPath();

    QString path() const { return path_; }
    void load();
    // Keeps the run in memory; false when the file could not take it.
    bool append(const RunRecord &run);

    const QList<RunRecord> &runs() const { return runs_; }
    const RunRecord *last() const { return runs_.isEmpty() ? nullptr : &runs_.last(); }
    const RunRecord *lastSuccess() const;
    // Automatic runs that failed since the last success.
    int automaticFailuresInRow() const;

private:
    bool rewrite();

    QString path_;
    int bound_;
    QList<RunRecord> runs_;
    int fileLines_ = 0; // lines in the file, unreadable ones included
};

// "d. M. HH:mm" in local time.
QString runTime(const QDateTime &started);

// "stablomat", then "Poslední výměna: <time> – <outcome>", and after a failure "Poslední
// úspěšná: <time>".
QString trayToolTip(const RunRecord *last, const RunRecord *lastSuccess);

// The window's status line; "Zatím neproběhla žádná výměna." without a run.
QString statusLine(const RunRecord *last, const RunRecord *lastSuccess);

// The tray notification when the run just recorded calls for one: three automatic failures in
// a row, or a refused password in an automatic run; once per run of failures.
class FailureNotice
{
public:
    void reset(int automaticFailuresInRow)
    {
        failures_ = automaticFailuresInRow;
        shown_ = false;
    }
    // Empty when nothing is to be shown.
    QString after(const RunRecord &run, const RunRecord *lastSuccess);

private:
    int failures_ = 0;
    bool shown_ = false;
};

// How a run was started, in the dialog's words.
QString triggerWords(RunTrigger trigger);
// The counts of a run in one line: what was sent, then what was received and written.
QString countsText(const RunRecord &run);
// The history dialog's rows as tab-separated text with a heading line, newest first, for the
// clipboard.
QString historyText(const QList<RunRecord> &runs);
