#include "Core/details/iPhotoVacuumScope.h"

#include <glog/logging.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <atomic>
#include <cstring>

#include "CleanerCommon/LogText.h"
#include "CleanerFS/FSCleanerServer.h"
#include "Core/details/GarbageFile.h"
#include "Core/details/PhotoLibrary.h"
#include "Core/details/WorkerProducer.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString driverName = QStringLiteral("QSQLITE");

// Whether the file starts as every SQLite database does.
bool HasDatabaseHeader(const std::string& path) {
    static const char magic[] = "SQLite format 3";  // with its 0 byte: 16 bytes
    char head[sizeof magic] = {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    return n == static_cast<ssize_t>(sizeof head) && std::memcmp(head, magic, sizeof magic) == 0;
}

// A connection name of its own for every vacuum: two at once never share one.
QString NewConnectionName() {
    static std::atomic<unsigned> next{0};
    return QStringLiteral("iPhotoVacuumCleaner-%1").arg(next.fetch_add(1));
}

}  // namespace

class iPhotoVacuumScope::Impl {
public:
    WorkerProducer<QString> scan{"the photo library look-up"};
    WorkerProducer<CleaningResult> run{"the photo library vacuum"};
};

iPhotoVacuumScope::iPhotoVacuumScope(QObject* parent)
    : CleaningRunScope(parent), m_impl(std::make_unique<Impl>()) {
    m_impl->scan.SetTask([](WorkerProducer<QString>::Sink& sink) {
        const QString library = LoadLibraryPath();
        return library.isEmpty() || sink.Add(library);
    });
    SetProducer(&m_impl->scan);
    // Scanned as soon as it exists: the item is there for the first view.
    m_state = SCANNING;
    emit ScanningStarted(this);
    const QString library = LoadLibraryPath();
    if (!library.isEmpty()) {
        DoShowDatabase(library);
    }
    FinishScanning(DONE);
}

iPhotoVacuumScope::~iPhotoVacuumScope() {
    InvalidateBatches();
    m_impl->run.Stop();
    m_impl->run.Wait();
    DeleteRoots();
}

QString iPhotoVacuumScope::LoadLibraryPath() {
    return PhotoLibrary::LoadLibraryPath();
}

bool iPhotoVacuumScope::DoesLibraryExist() {
    return PhotoLibrary::DoesLibraryExist();
}

void iPhotoVacuumScope::Reset() {
    ResetScope([this] { DeleteRoots(); });
}

void iPhotoVacuumScope::ResetCleaning() {
    ResetCleaningRun();
}

void iPhotoVacuumScope::DoStartScanning() {
    if (IsScanning()) {
        return;
    }
    Reset();
    StartProducerScan();
}

bool iPhotoVacuumScope::InsertBatch(const RunGeneration::Ticket& ticket) {
    const WorkerProducer<QString>::Batch found = m_impl->scan.MoveBatch();
    if (found.empty() || !m_roots.isEmpty()) {
        return ticket.IsCurrent();
    }
    DoShowDatabase(found.front());
    return ticket.IsCurrent();
}

void iPhotoVacuumScope::DoShowDatabase(const QString& libraryPath) {
    auto* item = new GarbageFile(PhotoLibrary::GetDatabasePath(libraryPath), 0, nullptr);
    emit ItemsAboutToBeInserted(nullptr, 1);
    AddRoot(item);
    ++m_totalItems;
    emit ItemsInserted(nullptr, 1);
}

BatchProducer<CleaningResult>* iPhotoVacuumScope::PrepareCleaningRun(long long* count) {
    QStringList paths;
    for (AbstractGarbage* root : m_roots) {
        if (qobject_cast<GarbageFile*>(root) && root->ShouldBeRemoved()) {
            paths << root->GetPath();
        }
    }
    *count = paths.size();
    m_impl->run.SetTask([paths](WorkerProducer<CleaningResult>::Sink& sink) {
        bool all = true;
        for (const QString& path : paths) {
            if (sink.IsStopped()) {
                return all;
            }
            QString problem;
            if (!Vacuum(path, &problem)) {
                // The run fails; the item keeps no error of its own, so a
                // later cleaning tries again.
                LOG(ERROR) << "Can't vacuum the " << Util::LogText(path)
                           << " database: " << Util::LogText(problem);
                all = false;
                continue;
            }
            LOG(INFO) << "Vacuum successful: " << Util::LogText(path);
            sink.Add({path, FSCleaner::REMOVED});
        }
        return all;
    });
    return &m_impl->run;
}

AbstractGarbage* iPhotoVacuumScope::FindItemForPath(const QString& path) const {
    for (AbstractGarbage* root : m_roots) {
        if (root->GetPath() == path) {
            return root;
        }
    }
    return nullptr;
}

bool iPhotoVacuumScope::Vacuum(const QString& path, QString* problem) {
    std::string bytes;
    struct stat st {};
    if (!Platform::EncodePath(path, &bytes) || ::lstat(bytes.c_str(), &st) != 0) {
        *problem = QStringLiteral("there is no database file");
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *problem = QStringLiteral("it is not a regular file");
        return false;
    }
    // SQLite takes an empty file for an empty database and would write one.
    if (!HasDatabaseHeader(bytes)) {
        *problem = QStringLiteral("it is not a database (no SQLite header)");
        return false;
    }
    if (PhotoLibrary::IsApplicationRunning(problem)) {
        *problem = QStringLiteral("not while ") + *problem;
        return false;
    }
    const QString connection = NewConnectionName();
    bool done = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(driverName, connection);
        // Read-write, never created: a file that went away is not made anew.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
        db.setDatabaseName(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded) +
                           QStringLiteral("?mode=rw"));
        if (!db.open()) {
            *problem = QStringLiteral("it can't be opened: ") + db.lastError().text();
        } else {
            QSqlQuery query(db);
            // A file that is not a database fails here, before anything is written.
            if (!query.exec(QStringLiteral("PRAGMA schema_version;")) || !query.next()) {
                *problem = QStringLiteral("it is not a database: ") + query.lastError().text();
            } else if (!query.exec(QStringLiteral("VACUUM;"))) {
                *problem = query.lastError().text();
            } else {
                done = true;
            }
            query.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return done;
}

}  // namespace Varnex::Cleaner::Details
