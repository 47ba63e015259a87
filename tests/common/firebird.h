// The Firebird server of the tests: scripts/services/firebird.sh, and a second connection that
// reads what a run left in a database.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

namespace firebird {

// Runs the service script with start, stop or status; true when it exits with 0.
bool service(const QString &command, QString *output = nullptr);

// Starts the server unless it answers already; false, with the reason, when it cannot. First
// waits until no other test process uses the server: tests stop it and change its password.
bool ensureRunning(QString *problem);

// Lets the server reach databases below dir (search permission for others on dir).
bool openToServer(const QString &dir);

// Changes SYSDBA's password through the database at path; false when the server refused.
bool setPassword(const QString &path, const QString &oldPassword, const QString &newPassword,
                 QString *error = nullptr);

// A connection of its own to the database, as another program would open it.
class Reader
{
public:
    explicit Reader(const QString &path);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    bool isOpen() const { return db.isOpen(); }
    QString error() const;
    // All rows of a statement, each as its list of values; values are bound in order.
    QList<QVariantList> rows(const QString &sql, const QVariantList &values = QVariantList());
    // The first column of the first row.
    QVariant value(const QString &sql, const QVariantList &values = QVariantList());
    bool exec(const QString &sql);

private:
    QString name;
    QSqlDatabase db;
};

} // namespace firebird
