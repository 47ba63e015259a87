// The update archive, unpacked and tested by the program itself (minizip), so the update script
// only swaps files.
#pragma once

#include <QString>
#include <QStringList>

namespace update {

// The archive's member names (directories end with "/") are fit for the swap: exeName at the top,
// every other top-level name of letters, digits and ". _ + -" (none hidden, none of the update's
// own), no two names that differ only in case, no absolute path, no "..", nothing Windows cannot
// name.
bool archiveNamesAcceptable(const QStringList &names, const QString &exeName);

struct Unpacked
{
    bool ok = false;
    bool writeFailed = false; // the archive is sound, the disk is not (full, not writable)
    QStringList topLevel;     // the entries the archive puts beside the program, exeName among them
};

// Unpacks zipPath into targetDir (emptied first) and checks every member's CRC on the way; each
// file is put in place whole and on disk. exeName and members marked executable get execute
// permission. On failure targetDir is removed.
Unpacked unpackArchive(const QString &zipPath, const QString &targetDir, const QString &exeName);

} // namespace update
