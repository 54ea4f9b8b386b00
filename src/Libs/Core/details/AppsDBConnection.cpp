#include "Core/details/AppsDBConnection.h"

#include <errno.h>
#include <glog/logging.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QThread>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "Core/details/AppsDBSchema.h"
#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner::Details::AppsDB {

namespace {

const QString driverName = QStringLiteral("QSQLITE");
// Long enough for another connection's write to finish, short enough that a
// lock held for good is reported instead of hanging the caller.
const QString connectOptions = QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000");
const QString invalidSuffix = QStringLiteral(".invalid");
const char* const sidecarSuffixes[] = {"-journal", "-wal", "-shm"};
constexpr int dbCount = 2;

// Held around Qt's connection registry (add, look up, remove).
std::mutex gSqlDbMutex;
// Serialises opening connections, so that only one thread at a time checks,
// creates or replaces a file, and none does while another has it open.
std::mutex gInitMutex;
// Open connections per file, under gInitMutex. The schema is checked when the
// first one opens; while any is open, the file is known good.
int gOpenCount[dbCount] = {0, 0};

std::atomic<bool> gDirErrorLogged{false};
std::atomic<bool> gOpenErrorLogged{false};

bool IsKnown(DBName db) {
    return db == Applications || db == SystemL10ns;
}

// The calling thread's connections; the destructor runs when the thread ends
// (before Qt's own per-thread data goes), so no connection outlives its thread
// and a later thread that gets the same id starts clean.
class ThreadConnections {
public:
    ~ThreadConnections() {
        for (int db = 0; db < dbCount; ++db) {
            Close(static_cast<DBName>(db));
        }
    }

    bool IsOpen(DBName db) const { return m_open[db]; }
    void SetOpen(DBName db) { m_open[db] = true; }

    void Close(DBName db) {
        if (!m_open[db]) {
            return;
        }
        m_open[db] = false;
        const QString name = GetCurrentConnectionName(db);
        {
            std::lock_guard<std::mutex> lock(gSqlDbMutex);
            {
                QSqlDatabase conn = QSqlDatabase::database(name, false);
                conn.close();
            }
            QSqlDatabase::removeDatabase(name);
        }
        std::lock_guard<std::mutex> lock(gInitMutex);
        --gOpenCount[db];
    }

private:
    bool m_open[dbCount] = {false, false};
};

ThreadConnections& Own() {
    thread_local ThreadConnections connections;
    return connections;
}

QSqlDatabase AddSqlDatabase(const QString& name) {
    std::lock_guard<std::mutex> lock(gSqlDbMutex);
    return QSqlDatabase::addDatabase(driverName, name);
}

void Unregister(const QString& name) {
    std::lock_guard<std::mutex> lock(gSqlDbMutex);
    QSqlDatabase::removeDatabase(name);
}

// mkdir -p; true when `dir` is a folder afterwards.
bool MakePath(const QString& dir) {
    std::string bytes;
    if (dir.isEmpty() || !Platform::EncodePath(dir, &bytes)) {
        return false;
    }
    for (size_t pos = 1; pos <= bytes.size(); ++pos) {
        if (pos != bytes.size() && bytes[pos] != '/') {
            continue;
        }
        const std::string part = bytes.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat st;
    return ::stat(bytes.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Keeps a replaced file as "<file>.invalid" (the previous such copy goes),
// with its journal files, so that a stale journal can never be applied to the
// new file and the old data stays at hand.
bool MoveAside(const QString& file) {
    std::string from;
    if (!Platform::EncodePath(file, &from)) {
        return false;
    }
    const std::string to = from + invalidSuffix.toStdString();
    for (const char* suffix : sidecarSuffixes) {
        const std::string stale = to + suffix;
        if (Exists(stale) && ::unlink(stale.c_str()) != 0) {
            return false;
        }
    }
    if (::rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
        return false;
    }
    for (const char* suffix : sidecarSuffixes) {
        const std::string sidecar = from + suffix;
        if (Exists(sidecar) && ::rename(sidecar.c_str(), (to + suffix).c_str()) != 0) {
            return false;
        }
    }
    LOG(WARNING) << "The applications database " << file.toStdString() << " was replaced; the "
                 << "old file is kept as " << file.toStdString() << invalidSuffix.toStdString();
    return true;
}

// One attempt at the calling thread's connection, under gInitMutex.
SchemaState OpenConnection(DBName db, const QString& file) {
    const QString name = GetCurrentConnectionName(db);
    SchemaState state = SchemaState::FAILED;
    {
        QSqlDatabase conn = AddSqlDatabase(name);
        conn.setDatabaseName(file);
        conn.setConnectOptions(connectOptions);
        if (!conn.open()) {
            if (!gOpenErrorLogged.exchange(true)) {
                LOG(ERROR) << "Can't open the applications database (" << file.toStdString()
                           << "): " << conn.lastError().text().toStdString();
            }
        } else if (gOpenCount[db] > 0) {
            // Another thread has the file open and it was checked then.
            state = SchemaState::VALID;
        } else {
            state = CheckSchema(conn, db);
        }
        if (state == SchemaState::VALID || state == SchemaState::CREATED) {
            ++gOpenCount[db];
            Own().SetOpen(db);
            return state;
        }
        conn.close();
    }
    Unregister(name);
    return state;
}

}  // namespace

const QString& GetDBDirPath() {
    static const QString dir = [] {
        QString home = Platform::HomePath();
        while (home.endsWith(QLatin1Char('/'))) {
            home.chop(1);
        }
        // Without a home folder there is no place of ours to write to.
        return home.isEmpty()
                   ? QString()
                   : home + QStringLiteral("/Library/Application Support/Varnex/Klarvik");
    }();
    return dir;
}

QString GetDBFilePath(DBName db) {
    const QString& dir = GetDBDirPath();
    if (dir.isEmpty()) {
        return QString();
    }
    switch (db) {
        case Applications:
            return dir + QStringLiteral("/apps.db");
        case SystemL10ns:
            return dir + QStringLiteral("/sysl10ns.db");
    }
    return QString();
}

QString GetCurrentConnectionName(DBName db) {
    const QString id = QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16);
    switch (db) {
        case Applications:
            return QStringLiteral("VarnexCleanerApplications") + id;
        case SystemL10ns:
            return QStringLiteral("VarnexCleanerSystemL10ns") + id;
    }
    return id;
}

QSqlDatabase GetSqlDatabase(DBName db) {
    if (!IsKnown(db) || !Own().IsOpen(db)) {
        return QSqlDatabase();
    }
    std::lock_guard<std::mutex> lock(gSqlDbMutex);
    return QSqlDatabase::database(GetCurrentConnectionName(db), false);
}

void RemoveSqlDatabase(DBName db) {
    if (IsKnown(db)) {
        Own().Close(db);
    }
}

bool InitDatabase(DBName db) {
    if (!IsKnown(db)) {
        return false;
    }
    if (Own().IsOpen(db)) {
        return GetSqlDatabase(db).isOpen();
    }
    const QString file = GetDBFilePath(db);
    std::lock_guard<std::mutex> lock(gInitMutex);
    if (!MakePath(GetDBDirPath())) {
        if (!gDirErrorLogged.exchange(true)) {
            LOG(ERROR) << "Can't create a directory: " << GetDBDirPath().toStdString();
        }
        return false;
    }
    // A replaced file is made anew at once; a second bad result is reported.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const SchemaState state = OpenConnection(db, file);
        switch (state) {
            case SchemaState::VALID:
            case SchemaState::CREATED:
                return true;
            case SchemaState::INVALID:
            case SchemaState::NOT_A_DATABASE:
                LOG(INFO) << "Removing invalid database";
                if (!MoveAside(file)) {
                    LOG(ERROR) << "Can't remove invalid database";
                    return false;
                }
                break;
            case SchemaState::BUSY:
            case SchemaState::FAILED:
                return false;
        }
    }
    return false;
}

void CloseConnections() {
    RemoveSqlDatabase(Applications);
    RemoveSqlDatabase(SystemL10ns);
}

}  // namespace Varnex::Cleaner::Details::AppsDB
