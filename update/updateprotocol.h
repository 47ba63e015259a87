// The version check and the update server's reply, as plain functions.
#pragma once

#include <QByteArray>
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
// https anywhere; plain http only to this machine.
bool permittedServerUrl(const QUrl &url);

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
    QString archiveAddress; // field 5
};
// Five fields separated by ","; anything else offers nothing.
UpdateOffer parseUpdateReply(const QByteArray &body);

// Why a program in programDir cannot replace itself (installed from a package, or a directory the
// user may not write); empty when it can.
QString updateBlockedReason(const QString &programDir, bool writable);

} // namespace update
