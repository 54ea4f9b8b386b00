#include "Core/details/AppsDBConnection.h"

#include <errno.h>
#include <glog/logging.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "Core/details/AppsDBBackoff.h"
#include "Core/details/AppsDBSchema.h"
#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner::Details::AppsDB {

namespace {

using Clock = AppsDBBackoff::Clock;

const QString driverName = QStringLiteral("QSQLITE");
// SQLite never sleeps on a lock by itself: the waiting is done here, outside
// every lock of ours, where it is bounded and can be stopped.
const QString connectOptions = QStringLiteral("QSQLITE_BUSY_TIMEOUT=0");
const char* const invalidSuffix = ".invalid";
const char* const sidecarSuffixes[] = {"-journal", "-wal", "-shm"};
constexpr int dbCount = 2;
// How long one call keeps trying a locked file: the main thread must not
// freeze, other threads may wait for another connection's write to end.
constexpr std::chrono::milliseconds mainThreadLockWait(200);
constexpr std::chrono::milliseconds workerLockWait(5000);
constexpr std::chrono::milliseconds longestStep(20);

// Held around Qt's connection registry (add, look up, remove).
std::mutex gSqlDbMutex;

// What the process knows of one file.
struct FileState {
    unsigned generation = 0;  // counts the times the file was set aside
    int openCount = 0;        // connections open on this generation
    AppsDBBackoff backoff;
    Availability availability = Availability::AVAILABLE;
};

// Guards gFiles and serialises checking, creating and setting aside the
// files. Never held while waiting: with no busy timeout every statement run
// under it answers at once.
std::mutex gFileMutex;
FileState gFiles[dbCount];

std::atomic<bool> gDirErrorLogged{false};
std::atomic<bool> gOpenErrorLogged{false};

bool IsKnown(DBName db) {
    return db == Applications || db == SystemL10ns;
}

bool IsMainThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void Unregister(const QString& name) {
    std::lock_guard<std::mutex> lock(gSqlDbMutex);
    {
        QSqlDatabase conn = QSqlDatabase::database(name, false);
        conn.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// The calling thread's connections; the destructor runs when the thread ends
// (before Qt's own per-thread data goes), so no connection outlives its thread
// and a later thread that gets the same id starts clean.
class ThreadConnections {
public:
    ~ThreadConnections() {
        std::lock_guard<std::mutex> lock(gFileMutex);
        for (int db = 0; db < dbCount; ++db) {
            CloseLocked(static_cast<DBName>(db));
        }
    }

    bool IsOpen(DBName db) const { return m_open[db]; }
    unsigned Generation(DBName db) const { return m_generation[db]; }
    void SetOpen(DBName db, unsigned generation) {
        m_open[db] = true;
        m_generation[db] = generation;
    }

    // Under gFileMutex.
    void CloseLocked(DBName db) {
        if (!m_open[db]) {
            return;
        }
        m_open[db] = false;
        Unregister(GetCurrentConnectionName(db));
        if (m_generation[db] == gFiles[db].generation) {
            --gFiles[db].openCount;
        }
    }

private:
    bool m_open[dbCount] = {false, false};
    unsigned m_generation[dbCount] = {0, 0};
};

ThreadConnections& Own() {
    thread_local ThreadConnections connections;
    return connections;
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

// The first of "<file>.invalid", "<file>.invalid.1", ... that is free, its
// journal files included; empty when there is none.
std::string FreeAsideName(const std::string& file) {
    for (int n = 0; n < 10000; ++n) {
        std::string name = file + invalidSuffix;
        if (n > 0) {
            name += '.' + std::to_string(n);
        }
        bool taken = Exists(name);
        for (const char* suffix : sidecarSuffixes) {
            taken = taken || Exists(name + suffix);
        }
        if (!taken) {
            return name;
        }
    }
    return std::string();
}

// Keeps a replaced file under a free ".invalid" name, with its journal files,
// so that a stale journal can never be applied to the new file and the old
// data stays at hand. Under gFileMutex.
bool MoveAside(const QString& file) {
    std::string from;
    if (!Platform::EncodePath(file, &from)) {
        return false;
    }
    const std::string to = FreeAsideName(from);
    if (to.empty()) {
        return false;
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
    LOG(WARNING) << "The applications database " << file.toStdString()
                 << " was replaced; the old file is kept as " << to;
    return true;
}

// One attempt at the calling thread's connection, under gFileMutex.
SchemaState OpenConnection(DBName db, const QString& file, QSqlError* error) {
    const QString name = GetCurrentConnectionName(db);
    SchemaState state = SchemaState::FAILED;
    {
        QSqlDatabase conn;
        {
            std::lock_guard<std::mutex> lock(gSqlDbMutex);
            conn = QSqlDatabase::addDatabase(driverName, name);
        }
        conn.setDatabaseName(file);
        conn.setConnectOptions(connectOptions);
        if (!conn.open()) {
            if (!gOpenErrorLogged.exchange(true)) {
                LOG(ERROR) << "Can't open the applications database (" << file.toStdString()
                           << "): " << conn.lastError().text().toStdString();
            }
        } else if (gFiles[db].openCount > 0) {
            // Another thread has this file open, and it was checked then.
            state = SchemaState::VALID;
        } else {
            state = CheckSchema(conn, db, error);
        }
        if (state == SchemaState::VALID || state == SchemaState::CREATED) {
            return state;
        }
    }
    Unregister(name);
    return state;
}

enum class Opened { OPEN, LOCKED, BACKED_OFF, FAILED };

// The calling thread's connection to `db`, opened unless it is; *error is
// the lock's error for LOCKED.
Opened Open(DBName db, QSqlError* error) {
    std::lock_guard<std::mutex> lock(gFileMutex);
    FileState& state = gFiles[db];
    if (!state.backoff.MayTry(Clock::now())) {
        return Opened::BACKED_OFF;
    }
    ThreadConnections& own = Own();
    if (own.IsOpen(db)) {
        if (own.Generation(db) == state.generation) {
            return Opened::OPEN;
        }
        own.CloseLocked(db);  // on a file that was set aside since
    }
    if (!MakePath(GetDBDirPath())) {
        if (!gDirErrorLogged.exchange(true)) {
            LOG(ERROR) << "Can't create a directory: " << GetDBDirPath().toStdString();
        }
        state.availability = Availability::FAILED;
        return Opened::FAILED;
    }
    const QString file = GetDBFilePath(db);
    // A replaced file is made anew at once; a second bad result is reported.
    for (int attempt = 0; attempt < 2; ++attempt) {
        switch (OpenConnection(db, file, error)) {
            case SchemaState::VALID:
            case SchemaState::CREATED:
                ++state.openCount;
                own.SetOpen(db, state.generation);
                return Opened::OPEN;
            case SchemaState::INVALID:
            case SchemaState::NOT_A_DATABASE:
                LOG(INFO) << "Removing invalid database";
                if (!MoveAside(file)) {
                    LOG(ERROR) << "Can't remove invalid database";
                    state.availability = Availability::FAILED;
                    return Opened::FAILED;
                }
                ++state.generation;
                state.openCount = 0;
                break;
            case SchemaState::BUSY:
                return Opened::LOCKED;
            case SchemaState::FAILED:
                state.availability = Availability::FAILED;
                return Opened::FAILED;
        }
    }
    state.availability = Availability::FAILED;
    return Opened::FAILED;
}

// Sets the damaged file of `generation` aside (unless another thread did
// already) and closes the calling thread's connection to it.
bool SetAsideDamaged(DBName db, unsigned generation) {
    std::lock_guard<std::mutex> lock(gFileMutex);
    FileState& state = gFiles[db];
    Own().CloseLocked(db);
    if (state.generation != generation) {
        return true;
    }
    if (!MoveAside(GetDBFilePath(db))) {
        LOG(ERROR) << "Can't remove invalid database";
        state.availability = Availability::FAILED;
        return false;
    }
    ++state.generation;
    state.openCount = 0;
    return true;
}

void MarkAvailable(DBName db) {
    std::lock_guard<std::mutex> lock(gFileMutex);
    gFiles[db].backoff.Succeed();
    gFiles[db].availability = Availability::AVAILABLE;
}

void MarkFailed(DBName db) {
    std::lock_guard<std::mutex> lock(gFileMutex);
    gFiles[db].availability = Availability::FAILED;
}

void MarkLocked(DBName db, const SqlFailure& failure) {
    std::chrono::seconds delay;
    {
        std::lock_guard<std::mutex> lock(gFileMutex);
        delay = gFiles[db].backoff.Fail(Clock::now());
        gFiles[db].availability = Availability::LOCKED;
    }
    LOG(WARNING) << (failure.what.empty() ? std::string("The") : failure.what + ": the")
                 << " applications database (" << GetDBFilePath(db).toStdString()
                 << ") is locked by another connection; no call tries it again for "
                 << delay.count() << " s (SQLERROR: " << failure.error.text().toStdString() << ")";
}

Clock::duration StepDelay(int step) {
    return std::min<Clock::duration>(std::chrono::milliseconds(1 << std::min(step, 5)),
                                     longestStep);
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
        std::lock_guard<std::mutex> lock(gFileMutex);
        Own().CloseLocked(db);
    }
}

bool Perform(DBName db, const std::function<bool()>& stop, const Operation& op) {
    if (!IsKnown(db)) {
        return false;
    }
    const Clock::time_point deadline =
        Clock::now() + (IsMainThread() ? mainThreadLockWait : workerLockWait);
    bool setAside = false;
    for (int step = 0;; ++step) {
        SqlFailure failure;
        const Opened opened = Open(db, &failure.error);
        if (opened == Opened::FAILED || opened == Opened::BACKED_OFF) {
            return false;
        }
        if (opened == Opened::OPEN) {
            const unsigned generation = Own().Generation(db);
            bool done = true;
            if (op) {
                const QSqlDatabase conn = GetSqlDatabase(db);
                done = op(conn, &failure);
            }
            if (done) {
                MarkAvailable(db);
                return true;
            }
            if (IsNotADatabaseError(failure.error) && !setAside) {
                LOG(WARNING) << failure.what << " (SQLERROR: " << failure.error.text().toStdString()
                             << "): the applications database (" << GetDBFilePath(db).toStdString()
                             << ") is damaged; it is set aside and made anew";
                setAside = true;
                if (!SetAsideDamaged(db, generation)) {
                    return false;
                }
                continue;
            }
            if (!IsBusyError(failure.error)) {
                LOG(ERROR) << failure.what << " (SQLERROR: " << failure.error.text().toStdString()
                           << ")";
                MarkFailed(db);
                return false;
            }
        }
        // Locked by another connection: wait a little, outside every lock.
        if (stop && stop()) {
            return false;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            MarkLocked(db, failure);
            return false;
        }
        std::this_thread::sleep_for(std::min(StepDelay(step), deadline - now));
        if (stop && stop()) {
            return false;
        }
    }
}

bool InitDatabase(DBName db) {
    return Perform(db, {}, Operation());
}

void ResetBackoff(DBName db) {
    if (IsKnown(db)) {
        MarkAvailable(db);
    }
}

Availability GetAvailability(DBName db) {
    if (!IsKnown(db)) {
        return Availability::FAILED;
    }
    std::lock_guard<std::mutex> lock(gFileMutex);
    return gFiles[db].availability;
}

void CloseConnections() {
    RemoveSqlDatabase(Applications);
    RemoveSqlDatabase(SystemL10ns);
}

}  // namespace Varnex::Cleaner::Details::AppsDB
