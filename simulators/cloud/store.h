// SQLite storage of the reference herd registry: farms, users, sessions, the records farms send,
// the inseminations recorded in the registry and the request log.
#pragma once

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <mutex>

struct sqlite3;

namespace registry {

// How many records of each kind one sync request carried.
struct Received
{
    int animals = 0;
    int inseminations = 0;
    int pregnancies = 0;
    int dryOffs = 0;
    int plans = 0;
};

struct LogEntry
{
    QString method;
    QString path;
    int status = 0;
    QString farm;
    QString remote;
    QString summary;
    QString body;
};

class Store
{
public:
    Store() = default;
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    bool open(const QString &path, QString &error);
    QString lastError() const;

    // Farms and users. farmId() is 0 for an unknown cloud number.
    bool addFarm(const QString &cloud, bool &created);
    qint64 farmId(const QString &cloud);
    enum class UserResult
    {
        Added,
        Replaced,
        UnknownFarm,
        Failed
    };
    UserResult addUser(const QString &cloud, const QString &user, const QString &password);
    bool checkPassword(qint64 farm, const QString &user, const QString &password);
    // The same check in two steps, so that the costly hashing runs outside the lock: the stored
    // record (under the lock), then the comparison (without it).
    struct PasswordRecord
    {
        bool known = false;
        QByteArray salt;
        QByteArray hash;
        int iterations = 0;
    };
    PasswordRecord passwordRecord(qint64 farm, const QString &user);
    static bool passwordMatches(const PasswordRecord &record, const QString &password);

    // Sessions handed out by attach. sessionFarm() is 0 for an unknown or expired token.
    QString createSession(qint64 farm, const QString &user);
    qint64 sessionFarm(const QString &token, QString &cloud);
    bool dropSession(const QString &token);

    // Stores the records of a validated sync body in one transaction (same record twice: stored once).
    bool storeRecords(qint64 farm, const QJsonObject &body, Received &received);
    // Inseminations recorded in the registry for the farm, dated on or after `since`.
    QJsonArray recordedInseminations(qint64 farm, const QDate &since);
    bool recordInsemination(qint64 farm, const QString &animal, const QDate &date, const QJsonValue &ordinal,
                            const QString &bull, const QString &bullName);

    void logRequest(const LogEntry &entry);
    QList<QJsonObject> requests();
    QJsonObject dump(qint64 farm);

    // Guards the connection; the HTTP handlers run on several threads.
    std::mutex mutex;

private:
    bool exec(const char *sql);
    sqlite3 *db = nullptr;
};

// Checks a sync request body; empty result when it is acceptable, else what is wrong with it.
QString validateSyncBody(const QJsonObject &body);

} // namespace registry
