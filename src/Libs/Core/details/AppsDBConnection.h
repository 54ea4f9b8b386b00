#pragma once

#include <QSqlDatabase>
#include <QString>

#include "Core/details/AppsDB.h"

// The applications database's connections: one per thread and file, made on
// the thread's first use, closed and unregistered when the thread ends.
// Internal to the database functions (tests use it too).
namespace Varnex::Cleaner::Details::AppsDB {

// "<home>/Library/Application Support/Varnex/Klarvik", fixed at first use.
const QString& GetDBDirPath();
// The file of `db`; empty for an unknown value.
QString GetDBFilePath(DBName db);

// Opens the calling thread's connection to `db` unless it has one. The first
// connection in the process to a file (or the first after all were closed)
// checks the schema under a process-wide lock: an empty file gets the schema,
// a file that is not a database or has the wrong tables is moved aside (kept as
// "<file>.invalid") and made anew. A busy or locked file is never replaced:
// the call fails and a later one checks again.
bool InitDatabase(DBName db);

// The calling thread's open connection to `db`; invalid when it has none.
QSqlDatabase GetSqlDatabase(DBName db);
// Closes and unregisters the calling thread's connection to `db`, if any.
void RemoveSqlDatabase(DBName db);
// The base name of `db` followed by the calling thread's id in hexadecimal.
QString GetCurrentConnectionName(DBName db);

}  // namespace Varnex::Cleaner::Details::AppsDB
