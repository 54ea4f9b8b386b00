#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <functional>
#include <string>

#include "Core/details/AppsDB.h"

// The applications database's connections: one per thread and file, made on
// the thread's first use, closed and unregistered when the thread ends.
// Internal to the database functions (tests use it too).
namespace Varnex::Cleaner::Details::AppsDB {

// "<home>/Library/Application Support/Varnex/Klarvik", fixed at first use.
const QString& GetDBDirPath();
// The file of `db`; empty for an unknown value.
QString GetDBFilePath(DBName db);

// One statement that failed: what it was doing (the start of the log line)
// and SQLite's error.
struct SqlFailure {
    std::string what;
    QSqlError error;
};

// Statements on the calling thread's connection; false with *failure set at
// the first one that fails. It may be run more than once (after a lock let
// go, or on a file made anew), so it starts from scratch every time.
using Operation = std::function<bool(const QSqlDatabase& conn, SqlFailure* failure)>;

// Opens the calling thread's connection to `db` unless it has one, then runs
// `op` (nothing when it is empty).
//  - The first connection in the process to a file (or the first after all
//    were closed) checks the schema: an empty file gets the schema, a file that
//    is not a database or has the wrong tables is set aside ("<file>.invalid",
//    then ".invalid.1", ".invalid.2", ...: an older copy is never overwritten)
//    and made anew.
//  - A file that another connection has locked is tried again in short steps
//    until this thread's time is up (a fraction of a second on the main thread,
//    five seconds on others) or `stop` answers true (that ends the call quietly:
//    a newer call took its place). SQLite itself never waits, so no lock of
//    this module is ever held while a call waits. When the time is up a
//    WARNING says so, and no call in the process tries the file again before
//    a back-off delay (AppsDBBackoff) has passed: until then every call fails
//    at once. A success ends the back-off.
//  - A statement that finds the file damaged (a bad page) logs the SQL error
//    text, sets the file aside like one that is not a database, and `op` runs
//    once more on the new file.
//  - Any other failure logs failure->what with the SQL error text at ERROR.
bool Perform(DBName db, const std::function<bool()>& stop, const Operation& op);

// Perform() with nothing to run: true when the calling thread's connection
// is open on a good file.
bool InitDatabase(DBName db);

// Ends the back-off of `db` at once and forgets the last failure (for a
// caller that knows the lock is gone, and for tests).
void ResetBackoff(DBName db);

// The calling thread's open connection to `db`; invalid when it has none.
QSqlDatabase GetSqlDatabase(DBName db);
// Closes and unregisters the calling thread's connection to `db`, if any.
void RemoveSqlDatabase(DBName db);
// The base name of `db` followed by the calling thread's id in hexadecimal.
QString GetCurrentConnectionName(DBName db);

}  // namespace Varnex::Cleaner::Details::AppsDB
