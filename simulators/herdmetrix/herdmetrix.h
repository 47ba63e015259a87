// Our stand-in for the HerdMetrix database: a Firebird database with the tables and stored
// procedures the program uses (schema.sql), seeded from a herd file.
#pragma once

#include "herd.h"

#include <QSqlDatabase>
#include <QString>

namespace herdmetrix {

// The server and account the program connects with.
inline const char *const Host = "localhost";
inline const char *const User = "SYSDBA";
inline const char *const Password = "kelpmoira";

// Reproduction event codes (DIER_VOORTPLANTING.VOORTPLANTINGCODE).
enum EventCode
{
    Heat = 1,
    Insemination = 2,
    Pregnant = 7,
    NotPregnant = 9,
    Planned = 10,
    Abortion = 11,
};

// The text of schema.sql.
QString schema();

// Lets the server (user firebird) create the database in dir: dir is given to firebird, and dir
// and every directory between `root` (may be empty) and it get search permission for others.
// Fails, naming it, when a directory above root stays closed to the server.
bool prepareDirectory(const QString &dir, const QString &root, QString *error);

// Creates an empty database at path with our schema through isql-fb, replacing any file there.
bool createDatabase(const QString &path, QString *error);

// A connection to the database at path as the program makes it (UTF8 client character set).
QSqlDatabase connect(const QString &connectionName, const QString &path);

struct SeedCounts
{
    int cows = 0;
    int bulls = 0;
    int events = 0;
    int lactations = 0;
};

// Writes the herd's cows, bulls, reproduction events and lactations in one transaction.
bool seed(QSqlDatabase &db, const herd::Herd &herd, SeedCounts *counts, QString *error);

// prepareDirectory, createDatabase and seed in one go.
bool layOut(const QString &path, const QString &root, const herd::Herd &herd, SeedCounts *counts,
            QString *error);

} // namespace herdmetrix
