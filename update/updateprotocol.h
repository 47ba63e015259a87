// The version check and the update server's reply, as plain functions.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace update {

inline const QString ProgramVersion = QStringLiteral("1.03");
inline const QString CheckPath = QStringLiteral("/user_stablomat_update.php");
inline const QString DownloadName = QStringLiteral("stablomat_proc.zip"); // the download's own name
inline const QString ArchiveName = QStringLiteral("stablomat.zip");       // the checked download
// The swap beside the program (see update/swap.h).
inline const QString StagingDir = QStringLiteral("stablomat.new");   // the new version, unpacked
inline const QString BackupDir = QStringLiteral("stablomat.old");    // what the new version replaced
inline const QString JournalName = QStringLiteral("stablomat.swap"); // the new version's top-level names
inline const QString TrialMark = QStringLiteral("stablomat.trial");  // the new program may start on trial
inline const QString TriedMark = QStringLiteral("stablomat.tried");  // it started on trial, not yet kept
inline const QString LockName = QStringLiteral("stablomat.lock");    // held by the running program
// Every name the update uses beside the program, in lower case; an archive may not bring one.
const QStringList &ownFileNames();

// The update server: STABLOMAT_UPDATE_URL from the environment, otherwise the address built in.
QString serverBase();
QUrl versionCheckUrl(const QString &base);

// The form body: x64, uuid, vnc_id, staj, dsystem, in this order.
QByteArray versionCheckBody(const QString &uuid, const QString &vncId, const QString &staj, int dsystem);

// The UltraVNC remote-support identifier from the configuration files' contents, read in order.
QString vncIdFromConfigs(const QList<QByteArray> &configs);
// The same from the two UltraVNC installations on drive C; a missing file is skipped.
QString readVncId();

// major × 256 + minor; -1 when the text does not split into exactly two pieces at ".".
qint64 versionValue(const QString &version);

struct UpdateOffer
{
    bool newer = false;     // the reply announces a version above ours
    QString version;        // field 4
    QString archiveAddress; // field 5
};
// The reply is one short line; a longer one is refused.
inline const int MaxReplyBytes = 4096;
// Five fields separated by ","; anything else offers nothing. Trailing blanks and line ends are
// not part of the address.
UpdateOffer parseUpdateReply(const QByteArray &body);

// Why a program in programDir cannot replace itself (installed from a package, or a directory the
// user may not write); empty when it can.
QString updateBlockedReason(const QString &programDir, bool writable);

// The last update attempt, kept in the settings store: "<version> <UTC time>". It is written when
// an attempt starts; one that ends with the new program running is never asked for again, as the
// new program is at least that version.
QString failedUpdateEntry(const QString &version, const QDateTime &when);
// True while an attempt at this version recorded in entry is less than 24 hours old.
bool retryBlocked(const QString &entry, const QString &version, const QDateTime &now);

// The update scripts, step for step the same (update/updatescript.cpp): wait until the program
// has ended, swap the unpacked version in as the journal lists it (the executable last, by one
// rename), start the program and check after settleSeconds that it still runs; roll back on any
// failure. Run again, they finish or roll back a swap left half-done.
inline const int StartSettleSeconds = 10;
QByteArray unixUpdateScript(const QString &exeName, int settleSeconds = StartSettleSeconds);
// "upgrade.bat", Windows-1250, CR LF.
QByteArray windowsUpdateScript(const QString &exeName, int settleSeconds = StartSettleSeconds);
// The script this platform runs (platform::updateScriptName()); exeName: the executable's file name.
QByteArray updateScript(const QString &exeName);

} // namespace update
