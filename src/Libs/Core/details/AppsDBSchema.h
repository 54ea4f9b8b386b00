#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>

#include "Core/details/AppsDB.h"

// The applications database's schema and what SQLite's errors mean for it.
// Internal to the database functions (tests use it too).
namespace Varnex::Cleaner::Details::AppsDB {

// SQLite's native result code for a constraint violation. It is the same for
// a duplicate key and for a NOT NULL violation; only the first is harmless.
extern const QString constraintErrorCode;

// The statements that create the schema of `db`, in order (empty for an
// unknown value).
QStringList SchemaStatements(DBName db);

// A statement failed because another connection holds a lock (SQLITE_BUSY,
// SQLITE_LOCKED): the file is fine, try later.
bool IsBusyError(const QSqlError& error);
// The file is not a usable SQLite database (SQLITE_NOTADB, SQLITE_CORRUPT).
bool IsNotADatabaseError(const QSqlError& error);
// An insert met an existing key (UNIQUE or PRIMARY KEY), not any other
// constraint such as NOT NULL.
bool IsDuplicateKeyError(const QSqlError& error);

enum class SchemaState {
    VALID,           // the tables and columns are as they should be
    CREATED,         // the file was empty and has the schema now
    INVALID,         // wrong tables or columns: to be replaced
    NOT_A_DATABASE,  // not a database or damaged: to be replaced
    BUSY,            // locked by another connection: left alone, try later
    FAILED,          // anything else (I/O, permissions): left alone
};

// Checks `conn` (open on the file of `db`) inside one write transaction and
// creates the schema there when the file has no tables. On a valid file whose
// localization rows were measured by an older rule (its user_version), drops
// those rows, so that their bundles are scanned again. Logs what it finds,
// except a lock (BUSY), which the caller reports once it stops trying; *error
// is the failed statement's error when there was one.
SchemaState CheckSchema(QSqlDatabase& conn, DBName db, QSqlError* error = nullptr);

}  // namespace Varnex::Cleaner::Details::AppsDB
