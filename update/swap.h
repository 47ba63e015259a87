// The swap of the program's files for a new version, recoverable at every step.
//
// Beside the program: the new version unpacked in "stablomat.new", the journal "stablomat.swap"
// (the new version's top-level names but the executable, one a line), the replaced entries in
// "stablomat.old". The script moves each entry by renames and the executable last, by one rename
// over the old one (whose copy waits in "stablomat.old"), so a runnable program is always in place
// and where each entry stands tells how far the swap got. While the journal exists the swap is
// not over: the script, run again, finishes or rolls it back, and a program that starts hands it
// to the script first. The new program starts on trial ("stablomat.trial", claimed as
// "stablomat.tried"); it keeps the new version by removing the journal once it has run long enough
// or ends in order. A start that finds a claimed trial has the script roll back.
#pragma once

#include <QString>
#include <QStringList>

namespace update {

// How long the new program runs on trial before the new version is kept.
inline const int TrialSeconds = 300;

// Removes the staging and backup folders and the marks of an earlier update; false when a swap is
// under way or a folder cannot be removed.
bool prepareSwap(const QString &dir);
// Writes the journal for the unpacked top-level names (the executable left out), whole.
bool writeJournal(const QString &dir, const QStringList &topLevel, const QString &exeName);
// All of it for the archive: prepared, unpacked into the staging folder and checked, an empty
// backup folder, the journal written. On failure nothing of it is left.
bool stageArchive(const QString &dir, const QString &archive, const QString &exeName,
                  bool *writeFailed = nullptr);
// A swap or a trial is under way: no other update starts.
bool swapUnderWay(const QString &dir);

enum class StartAction
{
    Run,        // nothing under way
    RunOnTrial, // the first start of the new version: keep it after the trial
    HandOver,   // the script must finish or roll back first; the program ends
};
// Decides at start-up, with the program lock held.
StartAction claimAtStart(const QString &dir, const QString &exeName);
// Writes this platform's update script beside the program. A script of the same text is left as it
// is: cmd reads a running batch file by offset.
bool writeScript(const QString &dir, const QString &exeName);
// Keeps the new version: the journal goes first, then the marks and the empty staging folder.
bool keepNewVersion(const QString &dir);

} // namespace update
