// The version check and the update server's reply, as plain functions.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUrl>

namespace update {

inline const QString ProgramVersion = QStringLiteral("1.03");
inline const QString CheckPath = QStringLiteral("/user_stablomat_update.php");
inline const QString DownloadName = QStringLiteral("stablomat_proc.zip"); // the download's own name
inline const QString ArchiveName = QStringLiteral("stablomat.zip");       // what the script unpacks

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
// Five fields separated by ","; anything else offers nothing.
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

// The archive's member names, one a line (unzip -Z1), are fit for the swap: exeName at the top,
// no absolute or "..", no hidden top-level name, none of the update's own files.
bool archiveListingAcceptable(const QByteArray &listing, const QString &exeName);
// The archive lists acceptably and passes "unzip -t"; false also when unzip cannot be run.
bool checkArchive(const QString &path, const QString &exeName);

// The update scripts, step for step the same. The shell script waits for exeName to end, unpacks
// into "stablomat.new", moves the old files into "stablomat.old" and the new ones in, starts the
// program and checks that it still runs after settleSeconds; on any failure it moves the old files
// back and starts the old program.
inline const int StartSettleSeconds = 10;
QByteArray unixUpdateScript(const QString &exeName, int settleSeconds = StartSettleSeconds);
QByteArray windowsUpdateScript(); // "upgrade.bat", Windows-1250
// The script this platform runs (platform::updateScriptName()); exeName: the executable's file name.
QByteArray updateScript(const QString &exeName);

} // namespace update
