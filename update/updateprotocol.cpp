#include "update/updateprotocol.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QUrlQuery>

#ifndef STABLOMAT_UPDATE_URL_DEFAULT
#define STABLOMAT_UPDATE_URL_DEFAULT "https://update.brantol.cz"
#endif

namespace update {

const QStringList &ownFileNames()
{
    static const QStringList names = {StagingDir,
                                      BackupDir,
                                      JournalName,
                                      TrialMark,
                                      TriedMark,
                                      LockName,
                                      ArchiveName,
                                      DownloadName,
                                      DownloadName + QStringLiteral(".minisig"),
                                      QStringLiteral("upgrade.sh"),
                                      QStringLiteral("upgrade.bat")};
    return names;
}

QString serverBase()
{
    const QString fromEnvironment = qEnvironmentVariable("STABLOMAT_UPDATE_URL");
    return fromEnvironment.isEmpty() ? QStringLiteral(STABLOMAT_UPDATE_URL_DEFAULT) : fromEnvironment;
}

QUrl versionCheckUrl(const QString &base)
{
    QString address = base;
    while (address.endsWith(QLatin1Char('/')))
        address.chop(1);
    return QUrl(address + CheckPath);
}

QByteArray versionCheckBody(const QString &uuid, const QString &vncId, const QString &staj, int dsystem)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("x64"), QStringLiteral("0"));
    query.addQueryItem(QStringLiteral("uuid"), uuid);
    query.addQueryItem(QStringLiteral("vnc_id"), vncId);
    query.addQueryItem(QStringLiteral("staj"), staj);
    query.addQueryItem(QStringLiteral("dsystem"), QString::number(dsystem));
    QUrl url;
    url.setQuery(query);
    // Qt leaves "+" as it is, and a form decoder reads it as a blank.
    return url.query().replace(QLatin1Char('+'), QLatin1String("%2B")).toUtf8();
}

QString vncIdFromConfigs(const QList<QByteArray> &configs)
{
    const QString marker = QStringLiteral("service_commandline=");
    QString candidate;
    for (const QByteArray &config : configs) {
        const QList<QByteArray> lines = config.split('\n');
        for (const QByteArray &raw : lines) {
            QString line = QString::fromUtf8(raw);
            line.remove(QLatin1Char('\r'));
            if (!line.contains(marker))
                continue;
            line.remove(marker);
            const QStringList pieces = line.split(QLatin1Char(' '));
            for (const QString &piece : pieces) {
                if (piece.contains(QLatin1String("ID")))
                    candidate = piece;
            }
        }
    }
    const QStringList parts = candidate.split(QLatin1Char(':'));
    return parts.size() >= 2 ? parts.at(1) : candidate;
}

QString readVncId()
{
    const QString files[] = {QStringLiteral("c:/Program Files/UltraVNC/UltraVNC.ini"),
                             QStringLiteral("c:/Program Files (x86)/UltraVNC/UltraVNC.ini")};
    QList<QByteArray> configs;
    for (const QString &name : files) {
        QFile file(platform::localPath(name));
        if (file.open(QIODevice::ReadOnly))
            configs.append(file.readAll());
    }
    return vncIdFromConfigs(configs);
}

qint64 versionValue(const QString &version)
{
    const QStringList pieces = version.split(QLatin1Char('.'));
    if (pieces.size() != 2)
        return -1;
    // A piece that is not a number counts as 0.
    return qint64(pieces.at(0).toInt()) * 256 + pieces.at(1).toInt();
}

UpdateOffer parseUpdateReply(const QByteArray &body)
{
    UpdateOffer offer;
    if (body.size() > MaxReplyBytes)
        return offer;
    int end = body.size();
    while (end > 0 && (body.at(end - 1) == ' ' || body.at(end - 1) == '\t' || body.at(end - 1) == '\r' ||
                       body.at(end - 1) == '\n'))
        --end;
    const QStringList fields = QString::fromUtf8(body.left(end)).split(QLatin1Char(','));
    if (fields.size() != 5)
        return offer;
    offer.version = fields.at(3);
    offer.archiveAddress = fields.at(4);
    offer.newer = versionValue(fields.at(3)) > versionValue(ProgramVersion);
    return offer;
}

QString failedUpdateEntry(const QString &version, const QDateTime &when)
{
    return version.trimmed() + QLatin1Char(' ') + when.toUTC().toString(Qt::ISODate);
}

bool retryBlocked(const QString &entry, const QString &version, const QDateTime &now)
{
    const int split = entry.lastIndexOf(QLatin1Char(' '));
    if (split < 0)
        return false;
    const qint64 failed = versionValue(entry.left(split));
    const QDateTime when = QDateTime::fromString(entry.mid(split + 1), Qt::ISODate);
    if (failed < 0 || failed != versionValue(version.trimmed()) || !when.isValid())
        return false;
    // A clock set back makes the entry lie in the future; that does not block for longer.
    const qint64 age = when.secsTo(now);
    return age >= 0 && age < 24 * 3600;
}

QString updateBlockedReason(const QString &programDir, bool writable)
{
    const QString dir = QDir::cleanPath(programDir) + QLatin1Char('/');
    if (dir.startsWith(QLatin1String("/usr/")))
        return QCoreApplication::translate(
            "MainWindow", "Je k dispozici nová verze programu. Program je nainstalován z balíčku, "
                          "novou verzi nainstalujte správcem balíčků.");
    if (!writable)
        return QCoreApplication::translate("MainWindow",
                                           "Je k dispozici nová verze programu, ale do složky programu nelze "
                                           "zapisovat:\n%1\nAktualizaci musí provést správce počítače.")
            .arg(QDir::toNativeSeparators(QDir::cleanPath(programDir)));
    return QString();
}

} // namespace update
