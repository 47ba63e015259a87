#include "herdmetrix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryFile>
#include <QVariant>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <vector>

namespace herdmetrix {

extern const char *const SchemaText; // generated from schema.sql

QString schema()
{
    return QString::fromUtf8(SchemaText);
}

namespace {

struct ServerAccount
{
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    bool known = false;
};

ServerAccount serverAccount()
{
    ServerAccount a;
    const passwd *pw = getpwnam("firebird");
    if (!pw)
        return a;
    a.uid = pw->pw_uid;
    a.gid = pw->pw_gid;
    int n = 32;
    a.groups.resize(n);
    if (getgrouplist(pw->pw_name, pw->pw_gid, a.groups.data(), &n) < 0) {
        a.groups.resize(n);
        getgrouplist(pw->pw_name, pw->pw_gid, a.groups.data(), &n);
    }
    a.groups.resize(n);
    a.known = true;
    return a;
}

// Whether the account may use dir as mode's bit (S_IXUSR: search, S_IWUSR: write) says.
bool allowed(const ServerAccount &a, const struct stat &st, mode_t userBit)
{
    if (st.st_uid == a.uid)
        return st.st_mode & userBit;
    for (gid_t g : a.groups) {
        if (g == st.st_gid)
            return st.st_mode & (userBit >> 3);
    }
    return st.st_mode & (userBit >> 6);
}

QString quoted(const QString &text)
{
    QString t = text;
    t.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + t + QLatin1Char('\'');
}

QVariant dateOrNull(const QDate &d)
{
    return d.isValid() ? QVariant(d) : QVariant(QVariant::Date);
}

QVariant textOrNull(const QString &s)
{
    return s.isEmpty() ? QVariant(QVariant::String) : QVariant(s);
}

// Rows of one table inserted through a prepared EXECUTE BLOCK of many inserts: one round trip
// and no statement compilation per row.
class Batch
{
public:
    struct Column
    {
        const char *name;
        const char *type;
    };
    Batch(QSqlDatabase &database, const char *tableName, const QVector<Column> &tableColumns)
        : db(database), table(QLatin1String(tableName)), columns(tableColumns)
    {}
    bool add(const QVariantList &values, QString *error)
    {
        pending << values;
        ++rows;
        return pending.size() < BlockRows || flush(error);
    }
    bool flush(QString *error)
    {
        if (pending.isEmpty())
            return true;
        QSqlQuery &q = statement(pending.size());
        for (const QVariantList &row : qAsConst(pending)) {
            for (const QVariant &v : row)
                q.addBindValue(v);
        }
        pending.clear();
        if (!q.exec()) {
            *error = q.lastError().text();
            return false;
        }
        return true;
    }
    int count() const { return rows; }

private:
    // A statement may name at most 256 tables.
    static constexpr int BlockRows = 100;

    QSqlQuery &statement(int rowCount)
    {
        auto it = prepared.find(rowCount);
        if (it != prepared.end())
            return *it->second;
        QStringList parameters;
        QString body;
        QStringList names;
        for (const Column &c : columns)
            names << QLatin1String(c.name);
        for (int r = 0; r < rowCount; ++r) {
            QStringList values;
            for (int c = 0; c < columns.size(); ++c) {
                const QString p = QStringLiteral("p%1_%2").arg(r).arg(c);
                parameters << p + QLatin1Char(' ') + QLatin1String(columns[c].type) + QStringLiteral(" = ?");
                values << QLatin1Char(':') + p;
            }
            body += QStringLiteral("insert into %1 (%2) values (%3);\n")
                        .arg(table, names.join(QLatin1Char(',')), values.join(QLatin1Char(',')));
        }
        auto q = std::make_unique<QSqlQuery>(db);
        q->prepare(QStringLiteral("execute block (%1) as begin\n%2end")
                       .arg(parameters.join(QLatin1Char(',')), body));
        return *prepared.emplace(rowCount, std::move(q)).first->second;
    }

    QSqlDatabase &db;
    QString table;
    QVector<Column> columns;
    QList<QVariantList> pending;
    std::map<int, std::unique_ptr<QSqlQuery>> prepared;
    int rows = 0;
};

bool insertAnimal(QSqlQuery &q, const QVariantList &values, int *id, QString *error)
{
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec() || !q.next()) {
        *error = q.lastError().text();
        return false;
    }
    *id = q.value(0).toInt();
    return *id > 0;
}

} // namespace

bool prepareDirectory(const QString &dir, const QString &root, QString *error)
{
    const ServerAccount account = serverAccount();
    if (!account.known) {
        *error = QStringLiteral("there is no user firebird: is the Firebird server installed?");
        return false;
    }
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create %1").arg(dir);
        return false;
    }
    const QString target = QFileInfo(dir).absoluteFilePath();
    if (chown(QFile::encodeName(target).constData(), account.uid, account.gid) != 0) {
        struct stat st;
        if (stat(QFile::encodeName(target).constData(), &st) != 0 || !allowed(account, st, S_IWUSR)) {
            *error = QStringLiteral("cannot give %1 to user firebird").arg(target);
            return false;
        }
    }
    const QString top = root.isEmpty() ? QString() : QFileInfo(root).absoluteFilePath();
    bool belowRoot = !top.isEmpty() && (target == top || target.startsWith(top + QLatin1Char('/')));
    for (QString d = target; !d.isEmpty();) {
        struct stat st;
        const QByteArray name = QFile::encodeName(d);
        if (stat(name.constData(), &st) != 0) {
            *error = QStringLiteral("cannot read %1").arg(d);
            return false;
        }
        if (!allowed(account, st, S_IXUSR)) {
            if (!belowRoot || chmod(name.constData(), (st.st_mode & 07777) | S_IXOTH) != 0) {
                *error = QStringLiteral("the Firebird server (user firebird) cannot enter %1; "
                                        "allow it with chmod o+x")
                             .arg(d);
                return false;
            }
        }
        if (d == top)
            belowRoot = false;
        if (d == QLatin1String("/"))
            break;
        d = QFileInfo(d).path();
    }
    return true;
}

bool createDatabase(const QString &path, QString *error)
{
    const QString file = QFileInfo(path).absoluteFilePath();
    if (QFileInfo::exists(file) && !QFile::remove(file)) {
        *error = QStringLiteral("cannot replace %1").arg(file);
        return false;
    }
    QTemporaryFile script;
    if (!script.open()) {
        *error = QStringLiteral("cannot write the schema script");
        return false;
    }
    const QString create = QStringLiteral("SET NAMES UTF8;\nCREATE DATABASE %1 USER %2 PASSWORD %3 "
                                          "PAGE_SIZE 8192 DEFAULT CHARACTER SET UTF8;\nSET AUTODDL OFF;\n")
                               .arg(quoted(QLatin1String(Host) + QLatin1Char(':') + file),
                                    quoted(QLatin1String(User)), quoted(QLatin1String(Password)));
    script.write(create.toUtf8());
    script.write(schema().toUtf8());
    script.close();

    QProcess isql;
    isql.setProcessChannelMode(QProcess::MergedChannels);
    isql.start(QStringLiteral("isql-fb"),
               {QStringLiteral("-q"), QStringLiteral("-bail"), QStringLiteral("-i"), script.fileName()});
    if (!isql.waitForStarted(10000)) {
        *error = QStringLiteral("cannot run isql-fb: %1").arg(isql.errorString());
        return false;
    }
    if (!isql.waitForFinished(60000)) {
        isql.kill();
        isql.waitForFinished(5000);
        *error = QStringLiteral("isql-fb did not finish");
        return false;
    }
    const QString output = QString::fromLocal8Bit(isql.readAll()).trimmed();
    if (isql.exitStatus() != QProcess::NormalExit || isql.exitCode() != 0 || !QFileInfo::exists(file)) {
        *error = QStringLiteral("isql-fb could not create %1: %2").arg(file, output);
        return false;
    }
    // A stand-in need not survive a power cut: without forced writes seeding is much faster.
    QProcess gfix;
    gfix.start(QStringLiteral("gfix"),
               {QStringLiteral("-write"), QStringLiteral("async"), QStringLiteral("-user"),
                QLatin1String(User), QStringLiteral("-password"), QLatin1String(Password),
                QLatin1String(Host) + QLatin1Char(':') + file});
    gfix.waitForFinished(30000);
    return true;
}

QSqlDatabase connect(const QString &connectionName, const QString &path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QIBASE"), connectionName);
    db.setHostName(QLatin1String(Host));
    db.setDatabaseName(path);
    db.setUserName(QLatin1String(User));
    db.setPassword(QLatin1String(Password));
    db.setConnectOptions(QStringLiteral("ISC_DPB_LC_CTYPE=UTF8"));
    return db;
}

bool seed(QSqlDatabase &db, const herd::Herd &herd, SeedCounts *counts, QString *error)
{
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    SeedCounts n;
    const QString insertDier = QStringLiteral(
        "insert into DIER (LEVENSNUMMER, ZENDERNUMMER, NUMMER, NAAM, GESLACHT_CODE, GEBOORTEDATUM, "
        "EXCLUDED) values (?, ?, ?, ?, ?, ?, ?) returning DIERID");
    QSqlQuery dier(db);
    QSqlQuery mnl(db);
    QSqlQuery ids(db);
    bool ok =
        dier.prepare(insertDier) &&
        mnl.prepare(QStringLiteral("insert into DIER_MNL (DIERID, KICODE, SWFOKSTIER) values (?, ?, ?)")) &&
        ids.prepare(QStringLiteral("insert into DIER_ID (DIERID, DATUM, IDSOORT, WAARDE, SOURCEID) "
                                   "values (?, ?, ?, ?, 0)"));
    if (!ok) {
        *error = db.lastError().text() + dier.lastError().text() + mnl.lastError().text();
        db.rollback();
        return false;
    }

    QHash<QString, int> bullIds;
    for (const herd::Bull &b : herd.bulls) {
        int id = 0;
        ok = insertAnimal(dier,
                          {QVariant(QVariant::String), QVariant(QVariant::String), QVariant(QVariant::String),
                           textOrNull(b.name), 1, QVariant(QVariant::Date), 0},
                          &id, error);
        if (ok) {
            mnl.addBindValue(id);
            mnl.addBindValue(b.code);
            mnl.addBindValue(1);
            ok = mnl.exec();
        }
        for (const auto &[kind, value] : {std::make_pair(3, b.name), std::make_pair(23, b.code)}) {
            if (!ok || value.isEmpty())
                continue;
            ids.addBindValue(id);
            ids.addBindValue(QDate(2000, 1, 1));
            ids.addBindValue(kind);
            ids.addBindValue(value);
            ok = ids.exec();
        }
        if (!ok) {
            *error = QStringLiteral("bull %1: %2 %3").arg(b.code, error->trimmed(), mnl.lastError().text());
            db.rollback();
            return false;
        }
        bullIds.insert(b.code, id);
        ++n.bulls;
    }

    Batch cowMnl(db, "DIER_MNL", {{"DIERID", "integer"}, {"SWFOKSTIER", "smallint"}});
    Batch events(db, "DIER_VOORTPLANTING",
                 {{"DIERID", "integer"},
                  {"DATUMBEGIN", "date"},
                  {"AANTAL", "integer"},
                  {"VOORTPLANTINGCODE", "integer"},
                  {"RESULTAAT", "integer"},
                  {"DIERID_INSEMINATIE", "integer"},
                  {"STATUS", "integer"},
                  {"SOURCEID", "integer"}});
    Batch lactations(db, "DIER_MELKGIFT_LACTATIE",
                     {{"DIERID", "integer"},
                      {"LACTATIENR", "integer"},
                      {"DATUMAFKALVEN", "date"},
                      {"DATUMWERKELIJKEDROOGZET", "date"}});
    const QVariant none(QVariant::Int);
    for (const herd::Cow &c : herd.cows) {
        int id = 0;
        ok = insertAnimal(dier,
                          {textOrNull(c.registration), textOrNull(c.transponder), QString::number(c.parlour),
                           textOrNull(c.name), 2, dateOrNull(c.birth), c.isPresent() ? 0 : 1},
                          &id, error);
        ok = ok && cowMnl.add({id, 0}, error);
        auto event = [&](const QDate &date, int code, int result, const QVariant &bull) {
            return events.add({id, date, 1, code, result, bull, 1, 0}, error);
        };
        for (const QDate &d : c.heats)
            ok = ok && event(d, Heat, 0, none);
        for (const herd::Insemination &i : c.inseminations) {
            const int bull = bullIds.value(i.sire);
            ok = ok && event(i.date, Insemination, 0, bull > 0 ? QVariant(bull) : none);
        }
        for (const herd::PregnancyCheck &p : c.pregnancyChecks)
            ok = ok && event(p.date, p.pregnant ? Pregnant : NotPregnant, p.pregnant ? 1 : 0, none);
        for (const QDate &d : c.abortions)
            ok = ok && event(d, Abortion, 0, none);
        for (const herd::Plan &p : c.plans)
            ok = ok && event(p.date, Planned, 0, none);

        // One lactation per calving; its drying-off is the first one before the next calving.
        for (int l = 0; ok && l < c.calvings.size(); ++l) {
            const QDate calved = c.calvings[l];
            const QDate next = l + 1 < c.calvings.size() ? c.calvings[l + 1] : QDate();
            QDate dried;
            for (const QDate &d : c.dryOffs) {
                if (d >= calved && (!next.isValid() || d < next)) {
                    dried = d;
                    break;
                }
            }
            ok = lactations.add({id, l + 1, calved, dateOrNull(dried)}, error);
        }
        if (!ok) {
            *error = QStringLiteral("cow %1: %2").arg(c.registration, error->trimmed());
            db.rollback();
            return false;
        }
        ++n.cows;
    }
    if (!cowMnl.flush(error) || !events.flush(error) || !lactations.flush(error) || !db.commit()) {
        if (error->isEmpty())
            *error = db.lastError().text();
        db.rollback();
        return false;
    }
    n.events = events.count();
    n.lactations = lactations.count();
    if (counts)
        *counts = n;
    return true;
}

bool layOut(const QString &path, const QString &root, const herd::Herd &herd, SeedCounts *counts,
            QString *error)
{
    const QString file = QFileInfo(path).absoluteFilePath();
    if (!prepareDirectory(QFileInfo(file).absolutePath(), root, error) || !createDatabase(file, error))
        return false;
    const QString name = QStringLiteral("herdmetrix-seed-%1").arg(quintptr(&herd));
    bool ok = false;
    {
        QSqlDatabase db = connect(name, file);
        if (!db.open()) {
            *error = db.lastError().text();
        } else {
            ok = seed(db, herd, counts, error);
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace herdmetrix
