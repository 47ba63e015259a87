#include "common/firebird.h"

#include "herdmetrix.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace firebird {

bool service(const QString &command, QString *output)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("bash"), {QStringLiteral(FIREBIRD_SCRIPT), command});
    const bool finished = p.waitForFinished(180000);
    if (output)
        *output = QString::fromLocal8Bit(p.readAll()).trimmed();
    return finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool ensureRunning(QString *problem)
{
    // Held until the process ends; a lock left by a process that died is taken over.
    static QLockFile lock(QDir::tempPath() + QStringLiteral("/stablomat-firebird-tests.lock"));
    if (!lock.isLocked()) {
        lock.setStaleLockTime(0);
        if (!lock.tryLock(15 * 60 * 1000)) {
            *problem = QStringLiteral("another test process keeps the Firebird server");
            return false;
        }
    }
    if (service(QStringLiteral("status")))
        return true;
    QString output;
    if (service(QStringLiteral("start"), &output) && service(QStringLiteral("status")))
        return true;
    *problem = QStringLiteral("the Firebird server does not start: ") + output;
    return false;
}

bool openToServer(const QString &dir)
{
    return QFile::setPermissions(dir, QFile::permissions(dir) | QFileDevice::ExeOther);
}

bool setPassword(const QString &path, const QString &oldPassword, const QString &newPassword, QString *error)
{
    const QString name = QStringLiteral("password-change");
    bool ok = false;
    {
        QSqlDatabase db = herdmetrix::connect(name, path);
        db.setPassword(oldPassword);
        if (db.open()) {
            QSqlQuery q(db);
            ok = q.exec(QStringLiteral("alter user SYSDBA password '%1'").arg(newPassword));
            if (!ok && error)
                *error = q.lastError().text();
            db.close();
        } else if (error) {
            *error = db.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

Reader::Reader(const QString &path) : name(QStringLiteral("reader-%1").arg(quintptr(this)))
{
    db = herdmetrix::connect(name, path);
    db.open();
}

Reader::~Reader()
{
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

QString Reader::error() const
{
    return db.lastError().text();
}

QList<QVariantList> Reader::rows(const QString &sql, const QVariantList &values)
{
    QList<QVariantList> result;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        qWarning() << "cannot prepare" << sql << q.lastError().text();
        return result;
    }
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec()) {
        qWarning() << "cannot run" << sql << q.lastError().text();
        return result;
    }
    while (q.next()) {
        QVariantList row;
        for (int i = 0; i < q.record().count(); ++i)
            row << q.value(i);
        result << row;
    }
    return result;
}

QVariant Reader::value(const QString &sql, const QVariantList &values)
{
    const QList<QVariantList> all = rows(sql, values);
    return all.isEmpty() || all.first().isEmpty() ? QVariant() : all.first().first();
}

bool Reader::exec(const QString &sql)
{
    QSqlQuery q(db);
    if (!q.exec(sql)) {
        qWarning() << "cannot run" << sql << q.lastError().text();
        return false;
    }
    return true;
}

} // namespace firebird
