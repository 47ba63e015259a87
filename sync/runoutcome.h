// How an exchange run ended, and the words the farmer reads about it.
#pragma once

#include <QString>

enum class RunResult
{
    Success,
    LibraryError,       // attach or syncZavra gave a negative code
    CredentialsRefused, // the registry refused the user name or the password
    NoSystem,           // no milking system recognised
    NoAnswer,           // the converter failed or gave no answer
    NothingToSend,      // the answer held no animal
    WriteBackFailed,    // the downloaded inseminations did not reach the milking system
    DatabaseFailed,     // the HerdMetrix database could not be opened
    ReportUnusable,     // AfiFarm's report could not be read or lacks columns
    Cancelled,          // the program was ended during the run
};

struct RunOutcome
{
    RunResult result = RunResult::Success;
    int code = 0; // the library's negative code, with LibraryError

    bool failed() const { return result != RunResult::Success; }
    bool operator==(const RunOutcome &o) const { return result == o.result && code == o.code; }
};

// One Czech line on what a negative code of the synchronisation library means and what to do.
QString errorAdvice(int code);

// The outcome in a few words, for the tooltip, the status line and the history table.
QString outcomeWords(const RunOutcome &outcome);

// The outcome as one sentence, as the history file keeps it: the advice for a code, the few
// words otherwise.
QString outcomeSentence(const RunOutcome &outcome);

// The history file's "result": 0 for success, the code, or the outcome's name.
QString outcomeName(RunResult result);
// RunResult for a name; Success for an unknown one (*known false).
RunResult outcomeFromName(const QString &name, bool *known);
