#include "Core/details/AppsDB.h"

#include <glog/logging.h>
#include <sys/stat.h>

#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <initializer_list>
#include <string>
#include <utility>

#include "CleanerCommon/Paths.h"
#include "Core/details/AppsDBConnection.h"
#include "Core/details/AppsDBSchema.h"
#include "Core/details/FileDates.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details::AppsDB {

namespace {

// Dates are stored as an unsigned 32-bit Unix time; this value means "unknown".
constexpr qint64 invalidTime = 4294967295LL;

using Bindings = std::initializer_list<std::pair<const char*, QVariant>>;

std::string Text(const QString& s) {
    return s.toStdString();
}

qint64 ToStoredTime(const QDateTime& time) {
    if (!time.isValid()) {
        return invalidTime;
    }
    const qint64 secs = time.toSecsSinceEpoch();
    return secs < 0 || secs >= invalidTime ? invalidTime : secs;
}

// The stored "unknown" reads back as an invalid date, not as a day in 2106.
// Dates are made in UTC: they compare the same as local ones, and worker
// threads never need the time zone.
QDateTime FromStoredTime(const QVariant& value) {
    bool ok = false;
    const qint64 secs = value.toLongLong(&ok);
    if (!ok || secs < 0 || secs >= invalidTime) {
        return QDateTime();
    }
    return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC);
}

bool Stat(const QString& path, struct stat* st) {
    std::string bytes;
    return !path.isEmpty() && Platform::EncodePath(path, &bytes) && ::stat(bytes.c_str(), st) == 0;
}


bool IsBundle(const QString& path) {
    struct stat st;
    return path.endsWith(QLatin1String(".app")) && ExtractFileName(path).size() > 4 &&
           Stat(path, &st) && S_ISDIR(st.st_mode);
}

// Whether `path` changed after `stored` was taken. Stored times have whole
// seconds, so the current one is compared at that precision too (otherwise a
// sub-second modification time would always look later). An unknown time on
// either side counts as a change: the row is only a cache.
bool ModifiedSince(const QString& path, const QDateTime& stored) {
    const QDateTime current = ModificationTime(path);
    if (!stored.isValid() || !current.isValid()) {
        return true;
    }
    return current.toSecsSinceEpoch() > stored.toSecsSinceEpoch();
}

bool Run(QSqlQuery& query, const QString& sql, Bindings values = {}) {
    if (!query.prepare(sql)) {
        return false;
    }
    for (const auto& value : values) {
        query.bindValue(QLatin1String(value.first), value.second);
    }
    return query.exec();
}

// Records a failed statement for Perform(), which logs it; always false.
bool Fail(SqlFailure* failure, std::string what, const QSqlError& error) {
    failure->what = std::move(what);
    failure->error = error;
    return false;
}

bool Fail(SqlFailure* failure, std::string what, const QSqlQuery& query) {
    return Fail(failure, std::move(what), query.lastError());
}

// BEGIN IMMEDIATE ... COMMIT on the calling thread's connection; rolled back
// unless committed.
class Transaction {
public:
    explicit Transaction(const QSqlDatabase& conn) : m_conn(conn) {
        QSqlQuery query(m_conn);
        m_active = query.exec(QStringLiteral("BEGIN IMMEDIATE"));
        if (!m_active) {
            m_error = query.lastError();
        }
    }
    ~Transaction() {
        if (m_active) {
            QSqlQuery query(m_conn);
            query.exec(QStringLiteral("ROLLBACK"));
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool IsActive() const { return m_active; }
    bool Commit() {
        QSqlQuery query(m_conn);
        if (!query.exec(QStringLiteral("COMMIT"))) {
            m_error = query.lastError();
            return false;
        }
        m_active = false;
        return true;
    }
    const QSqlError& Error() const { return m_error; }

private:
    QSqlDatabase m_conn;
    bool m_active = false;
    QSqlError m_error;
};

const QString insertApplication = QStringLiteral(
    "INSERT INTO Application VALUES (:path, :name, :bundleId, :size, :lastModified, :isDirty);");

// A null QString is bound as NULL, which the NOT NULL columns refuse.
QString NotNull(const QString& text) {
    return text.isNull() ? QStringLiteral("") : text;
}

std::string InsertFailure(const Application& app) {
    return "Can't insert an application (" + Text(app.path) + ") into the database";
}

// Binds one application to a prepared insert and runs it. A row with that
// path already there is kept and counts as success.
bool InsertApplication(QSqlQuery& query, const Application& app, SqlFailure* failure) {
    query.bindValue(QStringLiteral(":path"), app.path);
    query.bindValue(QStringLiteral(":name"), NotNull(app.name));
    query.bindValue(QStringLiteral(":bundleId"), NotNull(app.bundleId));
    query.bindValue(QStringLiteral(":size"), static_cast<qlonglong>(app.size));
    query.bindValue(QStringLiteral(":lastModified"), ToStoredTime(app.lastModified));
    query.bindValue(QStringLiteral(":isDirty"), app.isDirty);
    if (query.exec() || IsDuplicateKeyError(query.lastError())) {
        return true;
    }
    return Fail(failure, InsertFailure(app), query);
}

QString L10nTable(DBName db) {
    return db == SystemL10ns ? QStringLiteral("SysL10n") : QStringLiteral("L10n");
}

bool MarkDirty(const QSqlDatabase& conn, const QString& bundlePath, SqlFailure* failure) {
    QSqlQuery query(conn);
    if (Run(query, QStringLiteral("UPDATE Application SET isDirty = 1 WHERE path = :path"),
            {{":path", bundlePath}})) {
        return true;
    }
    return Fail(failure, "Can't update an application (path: " + Text(bundlePath) + ")", query);
}

// One statement without results.
bool Execute(DBName db, const QString& sql, Bindings values, const std::string& what) {
    return Perform(db, {}, [&](const QSqlDatabase& conn, SqlFailure* failure) {
        QSqlQuery query(conn);
        return Run(query, sql, values) || Fail(failure, what, query);
    });
}

}  // namespace

QDateTime ModificationTime(const QString& path) {
    struct stat st;
    if (!Stat(path, &st)) {
        return QDateTime();
    }
    return QDateTime::fromMSecsSinceEpoch(st.st_mtim.tv_sec * 1000LL + st.st_mtim.tv_nsec / 1000000,
                                          Qt::UTC);
}

bool LoadApplications(QList<Application>* apps, const std::function<bool()>& stop) {
    const std::string what = "Can't select applications from the database";
    return Perform(Applications, stop, [&](const QSqlDatabase& conn, SqlFailure* failure) {
        apps->clear();
        QSqlQuery query(conn);
        query.setForwardOnly(true);
        if (!Run(query, QStringLiteral("SELECT path, name, bundleId, size, lastModified, isDirty "
                                       "FROM Application;"))) {
            return Fail(failure, what, query);
        }
        while (query.next()) {
            Application app;
            app.path = query.value(0).toString();
            app.name = query.value(1).toString();
            app.bundleId = query.value(2).toString();
            app.size = query.value(3).toLongLong();
            app.lastModified = FromStoredTime(query.value(4));
            app.isDirty = query.value(5).toBool();
            apps->append(app);
        }
        // A read cut short (the file locked or damaged meanwhile) is no list at all.
        if (query.lastError().isValid()) {
            apps->clear();
            return Fail(failure, what, query);
        }
        return true;
    });
}

QList<Application> LoadApplications() {
    QList<Application> apps;
    LoadApplications(&apps, {});
    return apps;
}

bool SaveApplication(const Application& app) {
    return Perform(Applications, {}, [&](const QSqlDatabase& conn, SqlFailure* failure) {
        QSqlQuery query(conn);
        return query.prepare(insertApplication) ? InsertApplication(query, app, failure)
                                                : Fail(failure, InsertFailure(app), query);
    });
}

bool SaveApplication(const QString& path, const QString& name, const QString& bundleId, qint64 size,
                     const QDateTime& lastModified) {
    Application app;
    app.path = path;
    app.name = name;
    app.bundleId = bundleId;
    app.size = size;
    app.lastModified = lastModified.isValid() ? lastModified : ModificationTime(path);
    app.isDirty = false;
    return SaveApplication(app);
}

bool SaveApplications(const QList<Application>& apps) {
    const std::string what = "Can't insert applications into the database";
    return Perform(Applications, {}, [&](const QSqlDatabase& conn, SqlFailure* failure) {
        Transaction transaction(conn);
        if (!transaction.IsActive()) {
            return Fail(failure, what, transaction.Error());
        }
        {
            QSqlQuery query(conn);
            if (!query.prepare(insertApplication)) {
                return Fail(failure, what, query);
            }
            for (const Application& app : apps) {
                if (!InsertApplication(query, app, failure)) {
                    return false;
                }
            }
        }
        return transaction.Commit() || Fail(failure, what, transaction.Error());
    });
}

bool SetBundleSize(const QString& path, qint64 size) {
    return Execute(Applications,
                   QStringLiteral("UPDATE Application SET size = :size WHERE path = :path"),
                   {{":size", static_cast<qlonglong>(size)}, {":path", path}},
                   "Can't update an application (" + Text(path) + ")");
}

bool RemoveApplicationByPath(const QString& path) {
    return Execute(Applications, QStringLiteral("DELETE FROM Application WHERE path = :path"),
                   {{":path", path}},
                   "Can't delete an application (" + Text(path) + ") from the database");
}

QList<L10n> LoadL10ns(DBName db) {
    QList<L10n> l10ns;
    const bool system = db == SystemL10ns;
    const std::string what = "Can't select applications from the database";
    Perform(db, {}, [&](const QSqlDatabase& conn, SqlFailure* failure) {
        l10ns.clear();
        QSqlQuery query(conn);
        query.setForwardOnly(true);
        if (!Run(query, system
                            ? QStringLiteral("SELECT path, name, size, lastModified FROM SysL10n;")
                            : QStringLiteral(
                                  "SELECT path, name, appPath, size, lastModified FROM L10n;"))) {
            return Fail(failure, what, query);
        }
        while (query.next()) {
            L10n l10n;
            int column = 0;
            l10n.path = query.value(column++).toString();
            l10n.name = query.value(column++).toString();
            if (!system) {
                l10n.appPath = query.value(column++).toString();
            }
            l10n.size = query.value(column++).toLongLong();
            l10n.lastModified = FromStoredTime(query.value(column++));
            l10ns.append(l10n);
        }
        if (query.lastError().isValid()) {
            l10ns.clear();
            return Fail(failure, what, query);
        }
        return true;
    });
    return l10ns;
}

bool DeleteAllL10ns(DBName db) {
    return Execute(db, QStringLiteral("DELETE FROM ") + L10nTable(db), {},
                   "Can't delete l10ns from the database");
}

namespace {

QString InsertL10nStatement(DBName db) {
    return db == SystemL10ns
               ? QStringLiteral("INSERT INTO SysL10n VALUES (:path, :name, :size, :lastModified);")
               : QStringLiteral(
                     "INSERT INTO L10n VALUES (:path, :name, :appPath, :size, :lastModified);");
}

std::string InsertL10nFailure(const L10n& l10n) {
    return "Can't insert a l10n (" + Text(l10n.name) + " / " + Text(l10n.path) +
           ") of an application (" + Text(l10n.appPath) + ") into the database";
}

// Binds one localization to a prepared insert and runs it; a row with that
// path already there is kept and counts as success.
bool InsertL10n(QSqlQuery& query, const L10n& l10n, DBName db, SqlFailure* failure) {
    query.bindValue(QStringLiteral(":path"), l10n.path);
    query.bindValue(QStringLiteral(":name"), l10n.name);
    if (db != SystemL10ns) {
        query.bindValue(QStringLiteral(":appPath"), l10n.appPath);
    }
    query.bindValue(QStringLiteral(":size"), static_cast<qlonglong>(l10n.size));
    query.bindValue(QStringLiteral(":lastModified"), ToStoredTime(l10n.lastModified));
    if (query.exec() || IsDuplicateKeyError(query.lastError())) {
        return true;
    }
    return Fail(failure, InsertL10nFailure(l10n), query);
}

QString ExclusionTable(DBName db) {
    return db == SystemL10ns ? QStringLiteral("SysL10nExclusion") : QStringLiteral("L10nExclusion");
}

}  // namespace

bool SaveL10n(const L10n& l10n, DBName db) {
    return Perform(db, {}, [&](const QSqlDatabase& conn, SqlFailure* failure) {
        QSqlQuery query(conn);
        return query.prepare(InsertL10nStatement(db))
                   ? InsertL10n(query, l10n, db, failure)
                   : Fail(failure, InsertL10nFailure(l10n), query);
    });
}

bool SaveL10ns(const QList<L10n>& l10ns, DBName db) {
    const std::string what = "Can't insert l10ns into the database";
    return Perform(db, {}, [&](const QSqlDatabase& conn, SqlFailure* failure) {
        Transaction transaction(conn);
        if (!transaction.IsActive()) {
            return Fail(failure, what, transaction.Error());
        }
        {
            QSqlQuery query(conn);
            if (!query.prepare(InsertL10nStatement(db))) {
                return Fail(failure, what, query);
            }
            for (const L10n& l10n : l10ns) {
                if (!InsertL10n(query, l10n, db, failure)) {
                    return false;
                }
            }
        }
        return transaction.Commit() || Fail(failure, what, transaction.Error());
    });
}

bool SaveL10n(const QString& path, const QString& name, const QString& appPath, qint64 size,
              const QDateTime& lastModified, DBName db) {
    L10n l10n;
    l10n.path = path;
    l10n.name = name;
    l10n.appPath = appPath;
    l10n.size = size;
    l10n.lastModified = lastModified;
    return SaveL10n(l10n, db);
}

bool RemoveL10nByPath(const QString& path, DBName db) {
    const QString bundlePath = db == Applications ? ExtractBundlePath(path) : QString();
    const std::string what = "Can't delete a l10n (path: " + Text(path) + ") from the database";
    return Perform(db, {}, [&](const QSqlDatabase& conn, SqlFailure* failure) {
        // The row and its bundle's dirty mark go together or not at all.
        Transaction transaction(conn);
        if (!transaction.IsActive()) {
            return Fail(failure, what, transaction.Error());
        }
        {
            QSqlQuery query(conn);
            if (!Run(query,
                     QStringLiteral("DELETE FROM ") + L10nTable(db) +
                         QStringLiteral(" WHERE path = :path"),
                     {{":path", path}})) {
                return Fail(failure, what, query);
            }
        }
        if (!bundlePath.isEmpty() && !MarkDirty(conn, bundlePath, failure)) {
            return false;
        }
        return transaction.Commit() || Fail(failure, what, transaction.Error());
    });
}

bool RemoveL10nsByAppPath(const QString& appPath, DBName db) {
    if (db == SystemL10ns) {
        return DeleteAllL10ns(SystemL10ns);
    }
    const std::string what =
        "Can't delete a l10n (appPath: " + Text(appPath) + ") from the database";
    return Perform(db, {}, [&](const QSqlDatabase& conn, SqlFailure* failure) {
        Transaction transaction(conn);
        if (!transaction.IsActive()) {
            return Fail(failure, what, transaction.Error());
        }
        {
            QSqlQuery query(conn);
            if (!Run(query, QStringLiteral("DELETE FROM L10n WHERE appPath = :appPath"),
                     {{":appPath", appPath}})) {
                return Fail(failure, what, query);
            }
        }
        if (!MarkDirty(conn, appPath, failure)) {
            return false;
        }
        return transaction.Commit() || Fail(failure, what, transaction.Error());
    });
}

QStringList LoadL10nExclusions() {
    return LoadL10nExclusions(Applications);
}

bool SaveL10nExclusions(const QStringList& names) {
    return SaveL10nExclusions(names, Applications);
}

QStringList LoadL10nExclusions(DBName db) {
    QStringList names;
    Perform(db, {}, [&](const QSqlDatabase& conn, SqlFailure* failure) {
        names.clear();
        QSqlQuery query(conn);
        query.setForwardOnly(true);
        if (!Run(query, QStringLiteral("SELECT name FROM ") + ExclusionTable(db))) {
            return Fail(failure, "Can't select l10n exclusions", query);
        }
        while (query.next()) {
            names.append(query.value(0).toString());
        }
        if (query.lastError().isValid()) {
            names.clear();
            return Fail(failure, "Can't select l10n exclusions", query);
        }
        return true;
    });
    return names;
}

bool SaveL10nExclusions(const QStringList& names, DBName db) {
    return Perform(db, {}, [&](const QSqlDatabase& conn, SqlFailure* failure) {
        // The list is the user's choice: a write that fails half-way must
        // leave the old list, not a part of the new one.
        Transaction transaction(conn);
        if (!transaction.IsActive()) {
            return Fail(failure, "Can't delete l10n exclusions", transaction.Error());
        }
        {
            QSqlQuery query(conn);
            if (!Run(query, QStringLiteral("DELETE FROM ") + ExclusionTable(db))) {
                return Fail(failure, "Can't delete l10n exclusions", query);
            }
        }
        for (const QString& name : names) {
            QSqlQuery query(conn);
            if (!Run(query,
                     QStringLiteral("INSERT INTO ") + ExclusionTable(db) +
                         QStringLiteral(" VALUES (:name)"),
                     {{":name", name}})) {
                return Fail(failure, "Can't insert a l10n exclusion", query);
            }
        }
        return transaction.Commit() ||
               Fail(failure, "Can't insert a l10n exclusion", transaction.Error());
    });
}

void ClearRemovedApplications() {
    for (const Application& app : LoadApplications()) {
        if (!PathExists(app.path) || !IsBundle(app.path) ||
            ModifiedSince(app.path, app.lastModified)) {
            RemoveApplicationByPath(app.path);
        }
    }
}

void ClearRemovedL10ns(DBName db) {
    if (db == SystemL10ns) {
        for (const L10n& l10n : LoadL10ns(SystemL10ns)) {
            if (!PathExists(l10n.path) || ModifiedSince(l10n.path, l10n.lastModified)) {
                RemoveL10nByPath(l10n.path, SystemL10ns);
            }
        }
    } else if (db == Applications) {
        QSet<QString> handled;
        for (const L10n& l10n : LoadL10ns(Applications)) {
            if (PathExists(l10n.path) && !ModifiedSince(l10n.path, l10n.lastModified)) {
                continue;
            }
            if (!handled.contains(l10n.appPath)) {
                handled.insert(l10n.appPath);
                RemoveL10nsByAppPath(l10n.appPath, Applications);
            }
        }
    }
}

}  // namespace Varnex::Cleaner::Details::AppsDB
