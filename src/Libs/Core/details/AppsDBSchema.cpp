#include "Core/details/AppsDBSchema.h"

#include <glog/logging.h>

#include <QSqlQuery>
#include <QVariant>
#include <vector>

namespace Varnex::Cleaner::Details::AppsDB {

const QString constraintErrorCode = QStringLiteral("19");

namespace {

// Primary result codes (the driver reports them; extended codes are off).
constexpr int sqliteBusy = 5;
constexpr int sqliteLocked = 6;
constexpr int sqliteCorrupt = 11;
constexpr int sqliteNotADb = 26;

struct FieldSpec {
    const char* name;
    QVariant::Type type;
    const char* message;
};

struct TableSpec {
    const char* name;
    std::vector<FieldSpec> fields;
};

const std::vector<TableSpec>& ExpectedTables(DBName db) {
    static const std::vector<TableSpec> apps = {
        {"Application",
         {{"path", QVariant::String, "Invalid field \"Application.path\""},
          {"name", QVariant::String, "Invalid field \"Application.name\""},
          {"bundleId", QVariant::String, "Invalid field \"Application.bundleId\""},
          {"size", QVariant::Int, "Invalid field \"Application.size\""},
          {"lastModified", QVariant::Int, "Invalid field \"Application.lastModified\""},
          {"isDirty", QVariant::Bool, "Invalid field \"Application.isDirty\""}}},
        {"L10n",
         {{"path", QVariant::String, "Invalid field \"L10n.path\""},
          {"name", QVariant::String, "Invalid field \"L10n.name\""},
          {"appPath", QVariant::String, "Invalid field \"L10n.appPath\""},
          {"size", QVariant::Int, "Invalid field \"L10n.size\""},
          {"lastModified", QVariant::Int, "Invalid field \"L10n.lastModified\""}}},
        {"L10nExclusion", {{"name", QVariant::String, "Invalid field \"L10nExclusion.name\""}}},
    };
    static const std::vector<TableSpec> sys = {
        {"SysL10n",
         {{"path", QVariant::String, "Invalid field \"SysL10n.path\""},
          {"name", QVariant::String, "Invalid field \"SysL10n.name\""},
          {"size", QVariant::Int, "Invalid field \"SysL10n.size\""},
          {"lastModified", QVariant::Int, "Invalid field \"SysL10n.lastModified\""}}},
        {"SysL10nExclusion",
         {{"name", QVariant::String, "Invalid field \"SysL10nExclusion.name\""}}},
    };
    static const std::vector<TableSpec> none;
    return db == Applications ? apps : db == SystemL10ns ? sys : none;
}

int PrimaryCode(const QSqlError& error) {
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? (code & 0xff) : -1;
}

// The type the SQLite driver reports for a declared column type (the same
// mapping QSqlDatabase::record() uses), so a file is judged as Qt sees it.
QVariant::Type ColumnType(const QString& declared) {
    const QString type = declared.toLower();
    if (type == QLatin1String("integer") || type == QLatin1String("int")) {
        return QVariant::Int;
    }
    if (type == QLatin1String("double") || type == QLatin1String("float") ||
        type == QLatin1String("real") || type.startsWith(QLatin1String("numeric"))) {
        return QVariant::Double;
    }
    if (type == QLatin1String("blob")) {
        return QVariant::ByteArray;
    }
    if (type == QLatin1String("boolean") || type == QLatin1String("bool")) {
        return QVariant::Bool;
    }
    return QVariant::String;
}

// A failed statement decides the state: a lock is no reason to touch the file.
SchemaState FailureState(const QSqlError& error) {
    if (IsBusyError(error)) {
        return SchemaState::BUSY;
    }
    if (IsNotADatabaseError(error)) {
        return SchemaState::NOT_A_DATABASE;
    }
    return SchemaState::FAILED;
}

SchemaState ReportFailure(const QSqlDatabase& conn, const QSqlError& error, QSqlError* out) {
    if (out) {
        *out = error;
    }
    const SchemaState state = FailureState(error);
    const QString file = conn.databaseName();
    if (state == SchemaState::BUSY) {
        // The caller tries again and says so when it gives up.
    } else if (state == SchemaState::NOT_A_DATABASE) {
        LOG(WARNING) << "The applications database (" << file.toStdString()
                     << ") is not a usable database (SQLERROR: " << error.text().toStdString()
                     << ")";
    } else {
        LOG(ERROR) << "Can't check the applications database (" << file.toStdString()
                   << ") (SQLERROR: " << error.text().toStdString() << ")";
    }
    return state;
}

// The user tables in creation order; false with *error set when the query fails.
bool ListTables(QSqlDatabase& conn, QStringList* tables, QSqlError* error) {
    QSqlQuery query(conn);
    if (!query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND "
                                   "substr(name, 1, 7) <> 'sqlite_' ORDER BY rowid"))) {
        *error = query.lastError();
        return false;
    }
    while (query.next()) {
        tables->append(query.value(0).toString());
    }
    if (query.lastError().isValid()) {
        *error = query.lastError();
        return false;
    }
    return true;
}

enum class Validation { VALID, INVALID, QUERY_FAILED };

Validation ValidateTables(QSqlDatabase& conn, DBName db, const QStringList& tables,
                          QSqlError* error) {
    const std::vector<TableSpec>& expected = ExpectedTables(db);
    if (tables.size() != static_cast<int>(expected.size())) {
        return Validation::INVALID;
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        if (tables[static_cast<int>(i)] != QLatin1String(expected[i].name)) {
            return Validation::INVALID;
        }
    }
    for (const TableSpec& table : expected) {
        QSqlQuery query(conn);
        query.prepare(QStringLiteral("SELECT name, type FROM pragma_table_info(:table)"));
        query.bindValue(QStringLiteral(":table"), QString::fromLatin1(table.name));
        if (!query.exec()) {
            *error = query.lastError();
            return Validation::QUERY_FAILED;
        }
        QList<QPair<QString, QString>> columns;
        while (query.next()) {
            columns.append({query.value(0).toString(), query.value(1).toString()});
        }
        if (query.lastError().isValid()) {
            *error = query.lastError();
            return Validation::QUERY_FAILED;
        }
        if (columns.size() != static_cast<int>(table.fields.size())) {
            return Validation::INVALID;
        }
        for (const FieldSpec& field : table.fields) {
            bool good = false;
            for (const auto& column : columns) {
                if (column.first.compare(QLatin1String(field.name), Qt::CaseInsensitive) == 0) {
                    good = ColumnType(column.second) == field.type;
                    break;
                }
            }
            if (!good) {
                LOG(INFO) << field.message;
                return Validation::INVALID;
            }
        }
    }
    return Validation::VALID;
}

void Rollback(QSqlDatabase& conn) {
    QSqlQuery query(conn);
    query.exec(QStringLiteral("ROLLBACK"));
}

// The measure of the sizes in the localization rows, kept as the file's
// user_version: 0 (files of earlier releases) held apparent sizes; 1 holds
// the blocks a removal frees, folders' own included.
const int l10nSizesVersion = 1;

QString SetVersionStatement() {
    return QStringLiteral("PRAGMA user_version = %1").arg(l10nSizesVersion);
}

// Inside the check's write transaction, on a valid file: rows measured by an
// older rule are dropped (their bundles are scanned again), and the file is
// marked as measured by the current one. False with *error when a statement
// failed.
bool DropRowsOfOlderSizes(QSqlDatabase& conn, DBName db, bool* changed, QSqlError* error) {
    QSqlQuery query(conn);
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
        *error = query.lastError();
        return false;
    }
    const int version = query.value(0).toInt();
    query.finish();
    *changed = false;
    if (version >= l10nSizesVersion) {
        return true;
    }
    LOG(INFO) << "Dropping the localization rows of an older size measure";
    const QString table = db == SystemL10ns ? QStringLiteral("SysL10n") : QStringLiteral("L10n");
    if (!query.exec(QStringLiteral("DELETE FROM ") + table) || !query.exec(SetVersionStatement())) {
        *error = query.lastError();
        return false;
    }
    *changed = true;
    return true;
}

}  // namespace

QStringList SchemaStatements(DBName db) {
    switch (db) {
        case Applications:
            return {QStringLiteral("PRAGMA foreign_keys = ON;"),
                    QStringLiteral("CREATE TABLE Application (path TEXT PRIMARY KEY, name TEXT NOT "
                                   "NULL, bundleId TEXT NOT NULL, size INTEGER NOT NULL, "
                                   "lastModified INTEGER NOT NULL, isDirty BOOLEAN NOT NULL "
                                   "DEFAULT 0);"),
                    QStringLiteral("CREATE TABLE L10n (path TEXT PRIMARY KEY, name TEXT NOT NULL, "
                                   "appPath TEXT NOT NULL, size INTEGER NOT NULL, lastModified "
                                   "INTEGER NOT NULL)"),
                    QStringLiteral("CREATE TABLE L10nExclusion (name TEXT NOT NULL)")};
        case SystemL10ns:
            return {QStringLiteral("PRAGMA foreign_keys = ON;"),
                    QStringLiteral("CREATE TABLE SysL10n (path TEXT PRIMARY KEY, name TEXT NOT "
                                   "NULL, size INTEGER NOT NULL, lastModified INTEGER NOT NULL)"),
                    QStringLiteral("CREATE TABLE SysL10nExclusion (name TEXT NOT NULL)")};
    }
    return {};
}

bool IsBusyError(const QSqlError& error) {
    const int code = PrimaryCode(error);
    return code == sqliteBusy || code == sqliteLocked;
}

bool IsNotADatabaseError(const QSqlError& error) {
    const int code = PrimaryCode(error);
    return code == sqliteNotADb || code == sqliteCorrupt;
}

bool IsDuplicateKeyError(const QSqlError& error) {
    // The driver gives only the primary code, shared by every constraint;
    // SQLite's message names the kind (a PRIMARY KEY on a TEXT column is
    // reported as UNIQUE; older releases said "... not unique").
    if (error.nativeErrorCode() != constraintErrorCode) {
        return false;
    }
    const QString text = error.databaseText();
    return text.startsWith(QLatin1String("UNIQUE constraint failed")) ||
           text.startsWith(QLatin1String("PRIMARY KEY must be unique")) ||
           text.endsWith(QLatin1String(" not unique"));
}

SchemaState CheckSchema(QSqlDatabase& conn, DBName db, QSqlError* out) {
    const QStringList statements = SchemaStatements(db);
    if (statements.isEmpty()) {
        return SchemaState::FAILED;
    }
    // The pragma is per connection and does nothing inside a transaction.
    {
        QSqlQuery query(conn);
        if (!query.exec(statements.first())) {
            return ReportFailure(conn, query.lastError(), out);
        }
    }
    // A write lock for the whole check: no other connection can create or
    // change the schema meanwhile, and a lock held elsewhere shows up as an
    // error here (after the busy timeout) instead of as an empty table list.
    {
        QSqlQuery query(conn);
        if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
            return ReportFailure(conn, query.lastError(), out);
        }
    }
    QStringList tables;
    QSqlError error;
    if (!ListTables(conn, &tables, &error)) {
        Rollback(conn);
        return ReportFailure(conn, error, out);
    }
    if (tables.isEmpty()) {
        LOG(INFO) << "Creating database schema";
        for (int i = 1; i < statements.size(); ++i) {
            QSqlQuery query(conn);
            if (!query.exec(statements[i])) {
                const QSqlError failed = query.lastError();
                query.clear();
                Rollback(conn);
                LOG(ERROR) << "Can't initialize applications database (SQLERROR: "
                           << failed.text().toStdString() << ")";
                const SchemaState state = FailureState(failed);
                return state == SchemaState::NOT_A_DATABASE ? state : SchemaState::FAILED;
            }
        }
        QSqlQuery commit(conn);
        if (!commit.exec(SetVersionStatement()) || !commit.exec(QStringLiteral("COMMIT"))) {
            const QSqlError failed = commit.lastError();
            Rollback(conn);
            if (IsBusyError(failed)) {
                return ReportFailure(conn, failed, out);  // a reader is in the way: later
            }
            LOG(ERROR) << "Can't initialize applications database (SQLERROR: "
                       << failed.text().toStdString() << ")";
            return SchemaState::FAILED;
        }
        return SchemaState::CREATED;
    }
    const Validation validation = ValidateTables(conn, db, tables, &error);
    if (validation != Validation::VALID) {
        Rollback(conn);
        if (validation == Validation::QUERY_FAILED) {
            return ReportFailure(conn, error, out);
        }
        return SchemaState::INVALID;
    }
    bool changed = false;
    if (!DropRowsOfOlderSizes(conn, db, &changed, &error)) {
        Rollback(conn);
        return ReportFailure(conn, error, out);
    }
    if (!changed) {
        Rollback(conn);
        return SchemaState::VALID;
    }
    QSqlQuery commit(conn);
    if (!commit.exec(QStringLiteral("COMMIT"))) {
        const QSqlError failed = commit.lastError();
        Rollback(conn);
        return ReportFailure(conn, failed, out);
    }
    return SchemaState::VALID;
}

}  // namespace Varnex::Cleaner::Details::AppsDB
