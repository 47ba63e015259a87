#include "store.h"

#include <QDateTime>
#include <QJsonDocument>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <cmath>

namespace registry {

namespace {

const int PasswordIterations = 60000;
const int SaltBytes = 16;
const int HashBytes = 32;
const qint64 SessionLifetimeSeconds = 12 * 3600;

const char *const Schema = R"(
CREATE TABLE IF NOT EXISTS farms(id INTEGER PRIMARY KEY, cloud TEXT NOT NULL UNIQUE, created TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS users(farm_id INTEGER NOT NULL, name TEXT NOT NULL, salt BLOB NOT NULL,
    hash BLOB NOT NULL, iterations INTEGER NOT NULL, PRIMARY KEY(farm_id, name));
CREATE TABLE IF NOT EXISTS sessions(token TEXT PRIMARY KEY, farm_id INTEGER NOT NULL, user TEXT NOT NULL,
    created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS animals(farm_id INTEGER NOT NULL, cislo TEXT NOT NULL, tech_cislo TEXT,
    transponder TEXT, vyrazena TEXT, PRIMARY KEY(farm_id, cislo));
CREATE TABLE IF NOT EXISTS inseminations(farm_id INTEGER NOT NULL, cislo TEXT NOT NULL, datum TEXT NOT NULL,
    druh INTEGER, poradi INTEGER, byk TEXT);
CREATE UNIQUE INDEX IF NOT EXISTS inseminations_key ON inseminations(farm_id, cislo, datum);
CREATE TABLE IF NOT EXISTS pregnancies(farm_id INTEGER NOT NULL, cislo TEXT NOT NULL, datum TEXT NOT NULL,
    druh INTEGER, udaj1 TEXT, udaj2 TEXT, udaj3 TEXT);
CREATE UNIQUE INDEX IF NOT EXISTS pregnancies_key ON pregnancies(farm_id, cislo, datum, ifnull(druh, ''));
CREATE TABLE IF NOT EXISTS dry_offs(farm_id INTEGER NOT NULL, cislo TEXT NOT NULL, datum TEXT NOT NULL, udaj TEXT);
CREATE UNIQUE INDEX IF NOT EXISTS dry_offs_key ON dry_offs(farm_id, cislo, datum);
CREATE TABLE IF NOT EXISTS plans(farm_id INTEGER NOT NULL, cislo TEXT NOT NULL, datum TEXT NOT NULL, druh INTEGER);
CREATE UNIQUE INDEX IF NOT EXISTS plans_key ON plans(farm_id, cislo, datum, ifnull(druh, ''));
CREATE TABLE IF NOT EXISTS recorded_inseminations(id INTEGER PRIMARY KEY, farm_id INTEGER NOT NULL,
    cislo TEXT NOT NULL, datum TEXT NOT NULL, poradi INTEGER, byk TEXT, byk_jmeno TEXT);
CREATE UNIQUE INDEX IF NOT EXISTS recorded_key ON recorded_inseminations(farm_id, cislo, datum);
CREATE TABLE IF NOT EXISTS requests(id INTEGER PRIMARY KEY, time TEXT NOT NULL, method TEXT, path TEXT,
    status INTEGER, farm TEXT, remote TEXT, summary TEXT, body TEXT);
)";

// A prepared statement that finalises itself.
class Statement
{
public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
    ~Statement() { sqlite3_finalize(stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool ok() const { return stmt != nullptr; }
    void bindNull(int i) { sqlite3_bind_null(stmt, i); }
    void bind(int i, qint64 v) { sqlite3_bind_int64(stmt, i, v); }
    void bind(int i, const QString &v)
    {
        if (v.isNull()) {
            bindNull(i);
            return;
        }
        const QByteArray utf8 = v.toUtf8();
        sqlite3_bind_text(stmt, i, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
    }
    void bindBlob(int i, const QByteArray &v)
    {
        sqlite3_bind_blob(stmt, i, v.constData(), v.size(), SQLITE_TRANSIENT);
    }
    // SQL NULL for an absent JSON value, otherwise the value as text.
    void bindText(int i, const QJsonValue &v)
    {
        if (v.isString())
            bind(i, v.toString());
        else if (v.isDouble())
            bind(i, numberText(v.toDouble()));
        else if (v.isBool())
            bind(i, QString(v.toBool() ? "1" : "0"));
        else
            bindNull(i);
    }
    void bindInt(int i, const QJsonValue &v)
    {
        if (v.isDouble())
            bind(i, static_cast<qint64>(v.toDouble()));
        else
            bindNull(i);
    }
    // Any JSON value, kept as its compact JSON text.
    void bindJson(int i, const QJsonValue &v)
    {
        if (v.isUndefined() || v.isNull()) {
            bindNull(i);
            return;
        }
        QByteArray text = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
        bind(i, QString::fromUtf8(text.mid(1, text.size() - 2)));
    }
    bool step() { return sqlite3_step(stmt) == SQLITE_ROW; }
    bool run()
    {
        const int rc = sqlite3_step(stmt);
        return rc == SQLITE_DONE || rc == SQLITE_ROW;
    }
    void reset()
    {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
    bool isNull(int c) { return sqlite3_column_type(stmt, c) == SQLITE_NULL; }
    qint64 integer(int c) { return sqlite3_column_int64(stmt, c); }
    QString text(int c)
    {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, c)),
                                 sqlite3_column_bytes(stmt, c));
    }
    QByteArray blob(int c)
    {
        return QByteArray(static_cast<const char *>(sqlite3_column_blob(stmt, c)),
                          sqlite3_column_bytes(stmt, c));
    }

    static QString numberText(double d)
    {
        if (std::floor(d) == d && std::fabs(d) < 1e15)
            return QString::number(static_cast<qint64>(d));
        return QString::number(d, 'g', 15);
    }

private:
    sqlite3_stmt *stmt = nullptr;
};

QByteArray derive(const QString &password, const QByteArray &salt, int iterations)
{
    const QByteArray pw = password.toUtf8();
    QByteArray out(HashBytes, '\0');
    PKCS5_PBKDF2_HMAC(pw.constData(), pw.size(), reinterpret_cast<const unsigned char *>(salt.constData()),
                      salt.size(), iterations, EVP_sha256(), out.size(),
                      reinterpret_cast<unsigned char *>(out.data()));
    return out;
}

QByteArray randomBytes(int n)
{
    QByteArray b(n, '\0');
    RAND_bytes(reinterpret_cast<unsigned char *>(b.data()), n);
    return b;
}

QString nowText()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

// Adds column c of the current row to `o` as `key`, leaving it out when it is NULL.
void putText(QJsonObject &o, const char *key, Statement &s, int c)
{
    if (!s.isNull(c))
        o.insert(key, s.text(c));
}
void putInt(QJsonObject &o, const char *key, Statement &s, int c)
{
    if (!s.isNull(c))
        o.insert(key, s.integer(c));
}
void putJson(QJsonObject &o, const char *key, Statement &s, int c)
{
    if (s.isNull(c))
        return;
    const QJsonDocument doc = QJsonDocument::fromJson("[" + s.text(c).toUtf8() + "]");
    o.insert(key, doc.array().isEmpty() ? QJsonValue(s.text(c)) : doc.array().first());
}

// The record's date in the one stored form, yyyy-MM-dd.
QString isoDate(const QJsonObject &o)
{
    return QDate::fromString(o.value("datum").toString(), Qt::ISODate).toString(Qt::ISODate);
}

bool isAbsent(const QJsonValue &v)
{
    return v.isUndefined() || v.isNull();
}

bool isInteger(const QJsonValue &v)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    return std::floor(d) == d && std::fabs(d) <= 2147483647.0;
}

} // namespace

Store::~Store()
{
    if (db)
        sqlite3_close(db);
}

bool Store::open(const QString &path, QString &error)
{
    if (sqlite3_open(path.toUtf8().constData(), &db) != SQLITE_OK) {
        error = lastError();
        return false;
    }
    sqlite3_busy_timeout(db, 10000);
    if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=NORMAL") || !exec(Schema)) {
        error = lastError();
        return false;
    }
    return true;
}

QString Store::lastError() const
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString("no database");
}

bool Store::exec(const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Store::addFarm(const QString &cloud, bool &created)
{
    Statement s(db, "INSERT OR IGNORE INTO farms(cloud, created) VALUES(?, ?)");
    s.bind(1, cloud);
    s.bind(2, nowText());
    if (!s.ok() || !s.run())
        return false;
    created = sqlite3_changes(db) > 0;
    return true;
}

qint64 Store::farmId(const QString &cloud)
{
    Statement s(db, "SELECT id FROM farms WHERE cloud = ?");
    s.bind(1, cloud);
    return s.step() ? s.integer(0) : 0;
}

Store::UserResult Store::addUser(const QString &cloud, const QString &user, const QString &password)
{
    const qint64 farm = farmId(cloud);
    if (farm == 0)
        return UserResult::UnknownFarm;
    Statement existing(db, "SELECT 1 FROM users WHERE farm_id = ? AND name = ?");
    existing.bind(1, farm);
    existing.bind(2, user);
    const bool replaced = existing.step();
    const QByteArray salt = randomBytes(SaltBytes);
    Statement s(db,
                "INSERT OR REPLACE INTO users(farm_id, name, salt, hash, iterations) VALUES(?, ?, ?, ?, ?)");
    s.bind(1, farm);
    s.bind(2, user);
    s.bindBlob(3, salt);
    s.bindBlob(4, derive(password, salt, PasswordIterations));
    s.bind(5, PasswordIterations);
    if (!s.run())
        return UserResult::Failed;
    return replaced ? UserResult::Replaced : UserResult::Added;
}

bool Store::checkPassword(qint64 farm, const QString &user, const QString &password)
{
    return passwordMatches(passwordRecord(farm, user), password);
}

Store::PasswordRecord Store::passwordRecord(qint64 farm, const QString &user)
{
    PasswordRecord record;
    Statement s(db, "SELECT salt, hash, iterations FROM users WHERE farm_id = ? AND name = ?");
    s.bind(1, farm);
    s.bind(2, user);
    if (s.step()) {
        record.known = true;
        record.salt = s.blob(0);
        record.hash = s.blob(1);
        record.iterations = static_cast<int>(s.integer(2));
    }
    return record;
}

bool Store::passwordMatches(const PasswordRecord &record, const QString &password)
{
    if (!record.known) {
        derive(password, randomBytes(SaltBytes), PasswordIterations); // same cost as a known user
        return false;
    }
    const QByteArray given = derive(password, record.salt, record.iterations);
    return record.hash.size() == given.size() &&
           CRYPTO_memcmp(record.hash.constData(), given.constData(), given.size()) == 0;
}

QString Store::createSession(qint64 farm, const QString &user)
{
    const QString token = QString::fromLatin1(randomBytes(24).toHex());
    Statement s(db, "INSERT INTO sessions(token, farm_id, user, created) VALUES(?, ?, ?, ?)");
    s.bind(1, token);
    s.bind(2, farm);
    s.bind(3, user);
    s.bind(4, QDateTime::currentSecsSinceEpoch());
    return s.run() ? token : QString();
}

qint64 Store::sessionFarm(const QString &token, QString &cloud)
{
    Statement s(db, "SELECT s.farm_id, f.cloud FROM sessions s JOIN farms f ON f.id = s.farm_id "
                    "WHERE s.token = ? AND s.created >= ?");
    s.bind(1, token);
    s.bind(2, QDateTime::currentSecsSinceEpoch() - SessionLifetimeSeconds);
    if (!s.step())
        return 0;
    cloud = s.text(1);
    return s.integer(0);
}

bool Store::dropSession(const QString &token)
{
    Statement s(db, "DELETE FROM sessions WHERE token = ?");
    s.bind(1, token);
    return s.run() && sqlite3_changes(db) > 0;
}

bool Store::storeRecords(qint64 farm, const QJsonObject &body, Received &received)
{
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    bool ok = true;

    Statement animal(db, "INSERT OR REPLACE INTO animals(farm_id, cislo, tech_cislo, transponder, vyrazena) "
                         "VALUES(?, ?, ?, ?, ?)");
    for (const QJsonValue &v : body.value("animals").toArray()) {
        const QJsonObject o = v.toObject();
        animal.bind(1, farm);
        animal.bind(2, o.value("cislo").toString());
        animal.bindText(3, o.value("tech_cislo"));
        animal.bindText(4, o.value("transponder"));
        animal.bindText(5, o.value("vyrazena"));
        ok = ok && animal.run();
        animal.reset();
        ++received.animals;
    }

    Statement ins(db, "INSERT OR REPLACE INTO inseminations(farm_id, cislo, datum, druh, poradi, byk) "
                      "VALUES(?, ?, ?, ?, ?, ?)");
    for (const QJsonValue &v : body.value("inseminations").toArray()) {
        const QJsonObject o = v.toObject();
        ins.bind(1, farm);
        ins.bind(2, o.value("cislo").toString());
        ins.bind(3, isoDate(o));
        ins.bindInt(4, o.value("druh"));
        ins.bindInt(5, o.value("poradi"));
        ins.bindText(6, o.value("byk"));
        ok = ok && ins.run();
        ins.reset();
        ++received.inseminations;
    }

    Statement preg(db, "INSERT OR REPLACE INTO pregnancies(farm_id, cislo, datum, druh, udaj1, udaj2, udaj3) "
                       "VALUES(?, ?, ?, ?, ?, ?, ?)");
    for (const QJsonValue &v : body.value("pregnancies").toArray()) {
        const QJsonObject o = v.toObject();
        preg.bind(1, farm);
        preg.bind(2, o.value("cislo").toString());
        preg.bind(3, isoDate(o));
        preg.bindInt(4, o.value("druh"));
        preg.bindJson(5, o.value("udaj1"));
        preg.bindJson(6, o.value("udaj2"));
        preg.bindJson(7, o.value("udaj3"));
        ok = ok && preg.run();
        preg.reset();
        ++received.pregnancies;
    }

    Statement dry(db, "INSERT OR REPLACE INTO dry_offs(farm_id, cislo, datum, udaj) VALUES(?, ?, ?, ?)");
    for (const QJsonValue &v : body.value("dryOffs").toArray()) {
        const QJsonObject o = v.toObject();
        dry.bind(1, farm);
        dry.bind(2, o.value("cislo").toString());
        dry.bind(3, isoDate(o));
        dry.bindJson(4, o.value("udaj"));
        ok = ok && dry.run();
        dry.reset();
        ++received.dryOffs;
    }

    Statement plan(db, "INSERT OR REPLACE INTO plans(farm_id, cislo, datum, druh) VALUES(?, ?, ?, ?)");
    for (const QJsonValue &v : body.value("plans").toArray()) {
        const QJsonObject o = v.toObject();
        plan.bind(1, farm);
        plan.bind(2, o.value("cislo").toString());
        plan.bind(3, isoDate(o));
        plan.bindInt(4, o.value("druh"));
        ok = ok && plan.run();
        plan.reset();
        ++received.plans;
    }

    if (!ok) {
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

QJsonArray Store::recordedInseminations(qint64 farm, const QDate &since)
{
    QJsonArray rows;
    Statement s(db, "SELECT cislo, datum, poradi, byk, byk_jmeno FROM recorded_inseminations "
                    "WHERE farm_id = ? AND datum >= ? ORDER BY datum, id");
    s.bind(1, farm);
    s.bind(2, since.toString(Qt::ISODate));
    while (s.step()) {
        QJsonObject o;
        putText(o, "cislo", s, 0);
        putText(o, "datum", s, 1);
        putInt(o, "poradi", s, 2);
        putText(o, "byk", s, 3);
        putText(o, "byk_jmeno", s, 4);
        rows.append(o);
    }
    return rows;
}

bool Store::recordInsemination(qint64 farm, const QString &animal, const QDate &date,
                               const QJsonValue &ordinal, const QString &bull, const QString &bullName)
{
    Statement s(
        db, "INSERT OR REPLACE INTO recorded_inseminations(farm_id, cislo, datum, poradi, byk, byk_jmeno) "
            "VALUES(?, ?, ?, ?, ?, ?)");
    s.bind(1, farm);
    s.bind(2, animal);
    s.bind(3, date.toString(Qt::ISODate));
    s.bindInt(4, ordinal);
    s.bind(5, bull);
    s.bind(6, bullName);
    return s.run();
}

void Store::logRequest(const LogEntry &e)
{
    Statement s(db, "INSERT INTO requests(time, method, path, status, farm, remote, summary, body) "
                    "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
    s.bind(1, nowText());
    s.bind(2, e.method);
    s.bind(3, e.path);
    s.bind(4, e.status);
    s.bind(5, e.farm.isEmpty() ? QString() : e.farm);
    s.bind(6, e.remote);
    s.bind(7, e.summary);
    s.bind(8, e.body.isEmpty() ? QString() : e.body);
    s.run();
}

QList<QJsonObject> Store::requests()
{
    QList<QJsonObject> list;
    Statement s(
        db, "SELECT id, time, method, path, status, farm, remote, summary, body FROM requests ORDER BY id");
    while (s.step()) {
        QJsonObject o;
        putInt(o, "id", s, 0);
        putText(o, "time", s, 1);
        putText(o, "method", s, 2);
        putText(o, "path", s, 3);
        putInt(o, "status", s, 4);
        putText(o, "farm", s, 5);
        putText(o, "remote", s, 6);
        putText(o, "summary", s, 7);
        putText(o, "body", s, 8);
        list.append(o);
    }
    return list;
}

namespace {

using Put = void (*)(QJsonObject &, const char *, Statement &, int);

// The rows of a farm's query, each as an object with one member per column (absent when NULL).
QJsonArray farmRows(sqlite3 *db, qint64 farm, const char *sql, const QList<QPair<const char *, Put>> &columns)
{
    QJsonArray a;
    Statement s(db, sql);
    s.bind(1, farm);
    while (s.step()) {
        QJsonObject o;
        for (int c = 0; c < columns.size(); ++c)
            columns.at(c).second(o, columns.at(c).first, s, c);
        a.append(o);
    }
    return a;
}

} // namespace

QJsonObject Store::dump(qint64 farm)
{
    QJsonObject out;
    out.insert(
        "animals",
        farmRows(
            db, farm,
            "SELECT cislo, tech_cislo, transponder, vyrazena FROM animals WHERE farm_id = ? "
            "ORDER BY cislo",
            {{"cislo", putText}, {"tech_cislo", putText}, {"transponder", putText}, {"vyrazena", putText}}));
    out.insert("inseminations",
               farmRows(db, farm,
                        "SELECT cislo, datum, druh, poradi, byk FROM inseminations WHERE farm_id = ? "
                        "ORDER BY cislo, datum",
                        {{"cislo", putText},
                         {"datum", putText},
                         {"druh", putInt},
                         {"poradi", putInt},
                         {"byk", putText}}));
    out.insert("pregnancies",
               farmRows(db, farm,
                        "SELECT cislo, datum, druh, udaj1, udaj2, udaj3 FROM pregnancies WHERE farm_id = ? "
                        "ORDER BY cislo, datum, druh",
                        {{"cislo", putText},
                         {"datum", putText},
                         {"druh", putInt},
                         {"udaj1", putJson},
                         {"udaj2", putJson},
                         {"udaj3", putJson}}));
    out.insert("dryOffs",
               farmRows(db, farm,
                        "SELECT cislo, datum, udaj FROM dry_offs WHERE farm_id = ? ORDER BY cislo, datum",
                        {{"cislo", putText}, {"datum", putText}, {"udaj", putJson}}));
    out.insert("plans",
               farmRows(db, farm,
                        "SELECT cislo, datum, druh FROM plans WHERE farm_id = ? ORDER BY cislo, datum, druh",
                        {{"cislo", putText}, {"datum", putText}, {"druh", putInt}}));
    out.insert("recorded", farmRows(db, farm,
                                    "SELECT cislo, datum, poradi, byk, byk_jmeno FROM recorded_inseminations "
                                    "WHERE farm_id = ? ORDER BY datum, id",
                                    {{"cislo", putText},
                                     {"datum", putText},
                                     {"poradi", putInt},
                                     {"byk", putText},
                                     {"byk_jmeno", putText}}));
    return out;
}

QString validateSyncBody(const QJsonObject &body)
{
    for (const char *flag : {"download", "insDays", "send", "sendDays"}) {
        if (!isAbsent(body.value(flag)) && !isInteger(body.value(flag)))
            return QString("%1: not an integer").arg(flag);
    }
    for (const char *flag : {"shortNumbers", "sendInseminations", "complete"}) {
        if (!isAbsent(body.value(flag)) && !body.value(flag).isBool())
            return QString("%1: not a boolean").arg(flag);
    }
    struct Kind
    {
        const char *list;
        bool dated;
        QStringList textFields;
        QStringList intFields;
    };
    const QList<Kind> kinds = {
        {"animals", false, {"tech_cislo", "transponder", "vyrazena"}, {}},
        {"inseminations", true, {"byk"}, {"druh", "poradi"}},
        {"pregnancies", true, {}, {"druh"}},
        {"dryOffs", true, {}, {}},
        {"plans", true, {}, {"druh"}},
    };
    for (const Kind &kind : kinds) {
        const QJsonValue list = body.value(kind.list);
        if (isAbsent(list))
            continue;
        if (!list.isArray())
            return QString("%1: not an array").arg(kind.list);
        const QJsonArray a = list.toArray();
        for (int i = 0; i < a.size(); ++i) {
            const QString where = QString("%1[%2]").arg(kind.list).arg(i);
            if (!a.at(i).isObject())
                return where + ": not an object";
            const QJsonObject o = a.at(i).toObject();
            if (!o.value("cislo").isString() || o.value("cislo").toString().isEmpty())
                return where + ".cislo: missing";
            if (kind.dated && !QDate::fromString(o.value("datum").toString(), Qt::ISODate).isValid())
                return where + ".datum: not an ISO date";
            for (const QString &f : kind.textFields) {
                const QJsonValue v = o.value(f);
                if (!isAbsent(v) && !v.isString() && !v.isDouble())
                    return where + "." + f + ": not a text";
            }
            for (const QString &f : kind.intFields) {
                const QJsonValue v = o.value(f);
                if (!isAbsent(v) && !isInteger(v))
                    return where + "." + f + ": not an integer";
            }
        }
    }
    return QString();
}

} // namespace registry
