#include "Core/details/iPhotoGarbageScope.h"

#include <dirent.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QPair>
#include <QSet>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "CleanerCommon/CurrentUser.h"
#include "CleanerCommon/Disks.h"
#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "CleanerCommon/Sizes.h"
#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSCleanerSupport.h"
#include "Core/details/GarbageIPhotoAlbum.h"
#include "Core/details/GarbageIPhotoFolder.h"
#include "Core/details/GarbageIPhotoImage.h"
#include "Core/details/PhotoLibrary.h"
#include "Core/details/WorkerProducer.h"
#include "Core/details/iPhotoApplication.h"
#include "Core/details/iPhotoTrashCleaner.h"
#include "Core/details/iPhotoTrashScanner.h"
#include "Platform/AppleScript.h"
#include "Platform/PathCodec.h"
#include "Platform/ToolRun.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner::Details {

namespace {

using Result = iPhotoTrashScanner::Result;

const unsigned int defaultScanTaskInterval = 5000;
const int defaultScriptTimeLimitMs = 3600 * 1000;
// Items made and inserted between two turns of the event loop.
const int insertChunk = 2000;
// Folders deeper than this below the trash folder are not searched.
const int maxSearchDepth = 256;
const auto pollInterval = std::chrono::milliseconds(10);

const QString scriptWhenRunning = QStringLiteral(
    "\t\t\t\t\ttell application \"iPhoto\"\n\t\t\t\t\t\tselect trash album\n"
    "\t\t\t\t\t\tempty trash\n\t\t\t\t\tend tell");
const QString scriptWhenNotRunning = QStringLiteral(
    "\t\t\t\t\ttell application \"iPhoto\"\n\t\t\t\t\t\trun\n\t\t\t\t\t\tselect trash album\n"
    "\t\t\t\t\t\tempty trash\n\t\t\t\t\t\tquit\n\t\t\t\t\tend tell");

// Numbers the removal server contexts of every scope and run.
std::atomic<unsigned long long> runCounter{0};

bool IsImage(int type) {
    return type == iPhotoTrashScanner::NONE || type == iPhotoTrashScanner::IMAGE;
}

// The file looked for in the trash: the master the scan saw.
struct WantedFile {
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = 0;
    long long birth = 0;  // 0: not known
};

// Looks below the folder open as dirFd (described by `folder`) for the
// wanted file, on that folder's mount only.
QString SearchFolder(int dirFd, const FSEntryInfo& folder, const QString& dirPath,
                     const WantedFile& wanted, int depth) {
    const int listFd = ::dup(dirFd);
    if (listFd < 0) {
        return QString();
    }
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return QString();
    }
    QString found;
    while (found.isEmpty()) {
        const dirent* entry = ::readdir(dir);
        if (!entry) {
            break;
        }
        if (entry->d_name[0] == '.') {
            continue;  // ".", ".." and hidden entries
        }
        FSEntryInfo info;
        if (StatEntry(dirFd, entry->d_name, &info) != 0 || IsOtherMount(folder, info)) {
            continue;  // gone, or another volume or a bind mount here
        }
        QString name;
        if (!Platform::DecodePath(entry->d_name, std::strlen(entry->d_name), &name)) {
            continue;  // a name no path of ours can spell is never removed
        }
        const QString path = dirPath + QLatin1Char('/') + name;
        if (S_ISREG(info.mode)) {
            if (info.dev == wanted.device && info.ino == wanted.inode && info.size == wanted.size &&
                (wanted.birth == 0 || info.birth == 0 || info.birth == wanted.birth)) {
                found = path;
            }
        } else if (S_ISDIR(info.mode) && depth < maxSearchDepth) {
            const int childFd =
                ::openat(dirFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childFd >= 0) {
                FSEntryInfo opened;
                // Still the folder looked at: not swapped meanwhile.
                if (StatEntry(childFd, "", &opened) == 0 && opened.dev == info.dev &&
                    opened.ino == info.ino && !IsOtherMount(folder, opened)) {
                    found = SearchFolder(childFd, opened, path, wanted, depth + 1);
                }
                ::close(childFd);
            }
        }
    }
    ::closedir(dir);
    return found;
}

// One image to clean, as the scan and the start of the run saw it.
struct ImageEntry {
    QString key;   // its item's path: the master file
    int id = -1;   // the master's model id
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = -1;  // the master's length when scanned; -1: not there then
    long long birth = 0;  // its birth time then; 0: not known
};

// An album or folder to clean.
struct OtherEntry {
    QString key;
    int type = iPhotoTrashScanner::NONE;
    QString namePath;
};

struct RunInput {
    QString library;
    std::vector<ImageEntry> images;
    std::vector<OtherEntry> others;
    int scriptTimeLimitMs = defaultScriptTimeLimitMs;
};

enum class MasterNow { GONE, SAME, OTHER };

// Whether the master file is still the one the scan saw.
MasterNow LookAtMaster(const ImageEntry& image, long long* size = nullptr) {
    std::string bytes;
    if (!Platform::EncodePath(image.key, &bytes)) {
        return MasterNow::OTHER;
    }
    struct stat st {};
    if (::lstat(bytes.c_str(), &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? MasterNow::GONE : MasterNow::OTHER;
    }
    if (!S_ISREG(st.st_mode) || st.st_dev != image.device || st.st_ino != image.inode) {
        return MasterNow::OTHER;
    }
    if (size) {
        *size = st.st_size;
    }
    return MasterNow::SAME;
}

// Runs a plan on the removal server and waits for every result.
QList<FSCleanerServer::Result> RunPlan(const std::vector<FSCleanerServer::PlanEntry>& plan) {
    QList<FSCleanerServer::Result> results;
    if (plan.empty()) {
        return results;
    }
    FSCleanerServer& server = FSCleanerServer::GetInstance();
    const QString context = QStringLiteral("iPhotoTrash-%1").arg(runCounter.fetch_add(1));
    server.PlanToRemove(context, plan);
    if (server.Start(context)) {
        while (server.IsWorking(context)) {
            results += server.GetResults(context);
            std::this_thread::sleep_for(pollInterval);
        }
        results += server.GetResults(context);
    }
    server.Release(context);
    return results;
}

// What the scan's worker writes before its first result, read after it.
struct ScanShared {
    mutable std::mutex lock;
    QString libraryPath;
    QString scanProblem;
    QString runProblem;  // why the last cleaning run did not empty the trash
    std::atomic<unsigned int> scanTaskInterval{defaultScanTaskInterval};
};

bool ScanTrash(ScanShared& d, WorkerProducer<Result>::Sink& sink);
bool EmptyTrash(const RunInput& input, const std::atomic<bool>& abandon, ScanShared& shared,
                WorkerProducer<CleaningResult>::Sink& sink);

}  // namespace

class iPhotoGarbageScope::Impl {
public:
    WorkerProducer<Result> scan{"the photo library's trash scan"};
    WorkerProducer<CleaningResult> run{"the photo library's trash emptying"};
    // Removes images from the library itself, without the application: the
    // scope plans nothing for it, and only waits for it and clears it.
    iPhotoTrashCleaner cleaner{defaultScanTaskInterval};

    // Items by the path that reports them (albums with one name in one
    // folder get " #2", " #3", ...), and images by their master's model id.
    QHash<QString, AbstractGarbage*> byKey;
    QHash<QString, GarbageIPhotoFolder*> folders;
    QHash<int, GarbageIPhotoImage*> images;

    ScanShared shared;
    QString cleaningProblem;
    int scriptTimeLimitMs = defaultScriptTimeLimitMs;
    // Set when the run is let go (a reset, the scope's end): the script is
    // killed rather than waited for.
    std::atomic<bool> abandon{false};

    QString UniqueKey(const QString& path) const {
        QString key = path;
        for (int n = 2; byKey.contains(key); ++n) {
            key = path + QStringLiteral(" #%1").arg(n);
        }
        return key;
    }
};

iPhotoGarbageScope::iPhotoGarbageScope(QObject* parent)
    : CleaningRunScope(parent), m_impl(std::make_unique<Impl>()) {
    Impl& d = *m_impl;
    d.scan.SetTask(
        [&d](WorkerProducer<Result>::Sink& sink) { return ScanTrash(d.shared, sink); });
    SetProducer(&d.scan);
}

iPhotoGarbageScope::~iPhotoGarbageScope() {
    InvalidateBatches();
    m_impl->abandon = true;
    m_impl->run.Stop();
    m_impl->run.Wait();
    m_impl->scan.Stop();
    m_impl->scan.Wait();
    DeleteRoots();
}

QString iPhotoGarbageScope::LoadLibraryPath() {
    return PhotoLibrary::LoadLibraryPath();
}

bool iPhotoGarbageScope::DoesLibraryExist() {
    return PhotoLibrary::DoesLibraryExist();
}

QString iPhotoGarbageScope::FindTrashPath(const QString& libraryPath) {
    const QString home = Platform::HomePath();
    // Where they really are: either may be reached through a link.
    const QString library = QFileInfo(libraryPath).canonicalFilePath();
    const QString realHome = QFileInfo(home).canonicalFilePath();
    std::string libraryBytes;
    std::string homeBytes;
    struct stat libraryStat {};
    struct stat homeStat {};
    if (library.isEmpty() || realHome.isEmpty() || !Platform::EncodePath(library, &libraryBytes) ||
        !Platform::EncodePath(realHome, &homeBytes) || ::stat(libraryBytes.c_str(), &libraryStat) != 0 ||
        ::stat(homeBytes.c_str(), &homeStat) != 0) {
        return QString();
    }
    if (libraryStat.st_dev == homeStat.st_dev) {
        return QDir(home).absoluteFilePath(QStringLiteral(".Trash/iPhoto"));
    }
    const StorageInfo libraryVolume = FindDisk(LoadDiskList(), library);
    if (libraryVolume.mountPath.isEmpty()) {
        return QString();  // a volume of no known kind: where its trash is is not known
    }
    return QDir(libraryVolume.mountPath)
        .absoluteFilePath(QStringLiteral(".Trashes/") + GetUserIdString() + QStringLiteral("/iPhoto"));
}

QString iPhotoGarbageScope::FindFirstHardLink(const QString& folder, unsigned long long device,
                                              unsigned long long inode, long long size,
                                              long long birth) {
    std::string bytes;
    if (inode == 0 || size < 0 || !Platform::EncodePath(folder, &bytes)) {
        return QString();
    }
    const int fd = ::open(bytes.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return QString();
    }
    FSEntryInfo info;
    QString found;
    if (StatEntry(fd, "", &info) == 0 && info.dev == device) {
        found = SearchFolder(fd, info, QDir::cleanPath(folder),
                             WantedFile{device, inode, size, birth}, 0);
    }
    ::close(fd);
    return found;
}

QString iPhotoGarbageScope::GetCleaningProblem() const {
    if (!m_impl->cleaningProblem.isEmpty()) {
        return m_impl->cleaningProblem;
    }
    std::lock_guard<std::mutex> lock(m_impl->shared.lock);
    return m_impl->shared.runProblem;
}

QString iPhotoGarbageScope::GetScanProblem() const {
    std::lock_guard<std::mutex> lock(m_impl->shared.lock);
    return m_impl->shared.scanProblem;
}

void iPhotoGarbageScope::SetScanTaskInterval(unsigned int microseconds) {
    m_impl->shared.scanTaskInterval = microseconds;
}

void iPhotoGarbageScope::SetScriptTimeLimit(int ms) {
    m_impl->scriptTimeLimitMs = ms > 0 ? ms : defaultScriptTimeLimitMs;
}

void iPhotoGarbageScope::Reset() {
    m_impl->abandon = true;
    ResetScope([this] {
        Impl& d = *m_impl;
        d.byKey.clear();
        d.folders.clear();
        d.images.clear();
        DeleteRoots();
    });
}

void iPhotoGarbageScope::ResetCleaning() {
    m_impl->abandon = true;
    ResetCleaningRun();
    m_impl->cleaner.Stop();
    m_impl->cleaner.Wait();
    m_impl->cleaner.Clear();
}

bool iPhotoGarbageScope::IsCleaningPossible() const {
    return std::any_of(m_roots.begin(), m_roots.end(),
                       [](const AbstractGarbage* root) { return root->ShouldBeRemoved(); });
}

void iPhotoGarbageScope::WaitBeforeAppQuit() {
    m_impl->scan.Wait();
}

void iPhotoGarbageScope::DoStartScanning() {
    if (IsScanning()) {
        return;
    }
    Reset();
    {
        ScanShared& shared = m_impl->shared;
        std::lock_guard<std::mutex> lock(shared.lock);
        shared.libraryPath.clear();
        shared.scanProblem.clear();
    }
    StartProducerScan();
}

bool iPhotoGarbageScope::InsertBatch(const RunGeneration::Ticket& ticket) {
    Impl& d = *m_impl;
    const std::vector<Result> results = d.scan.MoveBatch();
    std::size_t at = 0;
    while (at < results.size()) {
        // A run of items that go to one place, between one pair of signals:
        // images (roots), or albums and folders of one parent.
        AbstractGarbage* where = nullptr;
        bool imageRun = false;
        GarbageList items;
        for (; at < results.size() && items.size() < insertChunk; ++at) {
            const Result& result = results[at];
            if (IsImage(result.type)) {
                if (GarbageIPhotoImage* shown = d.images.value(result.id)) {
                    // Another deleted version of an image already found: its
                    // previews add to it.
                    const long long more = RoundSize4K(result.size);
                    shown->SetSize(shown->GetSize() + more);
                    m_totalSize += more;
                    continue;
                }
                if (!items.isEmpty() && !imageRun) {
                    break;
                }
                imageRun = true;
                QString preview;
                for (const QString& candidate : {result.miniThumbnailPath, result.thumbnailPath,
                                                 result.fullSizePreviewPath, result.path}) {
                    if (preview.isEmpty()) {
                        preview = candidate;
                    }
                }
                const long long size = RoundSize4K(result.size);
                auto* image = new GarbageIPhotoImage(result.id, result.path, preview, size, nullptr);
                d.images.insert(result.id, image);
                m_totalSize += size;
                items.append(image);
                continue;
            }
            const bool folder = result.type == iPhotoTrashScanner::FOLDER;
            const bool album = result.type == iPhotoTrashScanner::ALBUM ||
                               result.type == iPhotoTrashScanner::SMART_ALBUM ||
                               result.type == iPhotoTrashScanner::SLIDESHOW ||
                               result.type == iPhotoTrashScanner::KEEPSAKE;
            if (!folder && !album) {
                LOG(WARNING) << "An iPhoto trash result of an unknown type " << result.type
                             << " is not shown";
                continue;
            }
            // A folder found in this very run is known already: what it
            // holds starts a run of its own, once the folder is inserted.
            GarbageIPhotoFolder* parent = d.folders.value(ExtractParentPath(result.path));
            if (!items.isEmpty() && (imageRun || parent != where)) {
                break;
            }
            where = parent;
            if (folder) {
                auto* made = new GarbageIPhotoFolder(result.name, result.path, nullptr);
                d.folders.insert(made->GetNamePath(), made);
                items.append(made);
            } else {
                const auto type = result.type == iPhotoTrashScanner::ALBUM
                                      ? GarbageIPhotoAlbum::ALBUM
                                      : static_cast<GarbageIPhotoAlbum::AlbumType>(result.type - 3);
                items.append(new GarbageIPhotoAlbum(result.name, result.path, type, nullptr));
            }
        }
        for (AbstractGarbage* item : items) {
            d.byKey.insert(d.UniqueKey(item->GetPath()), item);
        }
        auto* folder = qobject_cast<GarbageIPhotoFolder*>(where);
        const bool inserted = InsertGroup(
            where, items, ticket,
            [this, folder](AbstractGarbage* item) {
                if (folder) {
                    folder->AddChild(item);
                } else {
                    AddRoot(item);
                }
            },
            [] {});
        if (!inserted) {
            return false;
        }
        if (at < results.size() && !GiveEventLoopATurn(ticket)) {
            return false;
        }
    }
    return ticket.IsCurrent();
}

BatchProducer<CleaningResult>* iPhotoGarbageScope::PrepareCleaningRun(long long* count) {
    Impl& d = *m_impl;
    d.cleaningProblem.clear();
    {
        std::lock_guard<std::mutex> lock(d.shared.lock);
        d.shared.runProblem.clear();
    }
    *count = 0;
    RunInput input;
    {
        std::lock_guard<std::mutex> lock(d.shared.lock);
        input.library = d.shared.libraryPath;
    }
    input.scriptTimeLimitMs = d.scriptTimeLimitMs;
    for (AbstractGarbage* root : m_roots) {
        // An item in error from an earlier try is tried again with the rest.
        if (!root->IsClean() && root->GetCheckState() != AbstractGarbage::CHECKED) {
            // The photo application empties its trash whole: what the user
            // left unselected would go with the rest.
            d.cleaningProblem = QStringLiteral(
                "the photo library's trash is emptied as a whole: select everything in it");
            LOG(WARNING) << "Not emptying the iPhoto trash: " << Util::LogText(d.cleaningProblem);
            return nullptr;
        }
    }
    for (auto it = d.byKey.cbegin(); it != d.byKey.cend(); ++it) {
        AbstractGarbage* item = it.value();
        if (item->IsClean()) {
            continue;
        }
        if (auto* image = qobject_cast<GarbageIPhotoImage*>(item)) {
            input.images.push_back(
                ImageEntry{it.key(), image->GetId(), image->GetDevice(), image->GetInode(),
                           image->GetFileLength(), image->GetBirth()});
        } else if (auto* album = qobject_cast<GarbageIPhotoAlbum*>(item)) {
            const int type = album->GetAlbumType() == GarbageIPhotoAlbum::ALBUM
                                 ? iPhotoTrashScanner::ALBUM
                                 : album->GetAlbumType() + 3;
            input.others.push_back(OtherEntry{it.key(), type, album->GetNamePath()});
        } else if (auto* folder = qobject_cast<GarbageIPhotoFolder*>(item)) {
            input.others.push_back(
                OtherEntry{it.key(), iPhotoTrashScanner::FOLDER, folder->GetNamePath()});
        }
    }
    if (input.library.isEmpty() || (input.images.empty() && input.others.empty())) {
        d.cleaningProblem = QStringLiteral("there is nothing in the photo library's trash");
        return nullptr;
    }
    *count = static_cast<long long>(input.images.size() + input.others.size());
    d.abandon = false;
    d.run.SetTask([input = std::move(input), &d](WorkerProducer<CleaningResult>::Sink& sink) {
        return EmptyTrash(input, d.abandon, d.shared, sink);
    });
    return &d.run;
}

AbstractGarbage* iPhotoGarbageScope::FindItemForPath(const QString& path) const {
    return m_impl->byKey.value(path);
}

namespace {

bool ScanTrash(ScanShared& d, WorkerProducer<Result>::Sink& sink) {
    const QString library = PhotoLibrary::LoadLibraryPath();
    LOG(INFO) << "IPHOTO LIBRARY:" << Util::LogText(library);
    {
        std::lock_guard<std::mutex> lock(d.lock);
        d.libraryPath = library;
    }
    if (library.isEmpty()) {
        return true;  // no library: an empty trash
    }
    // While the application runs its live files are never opened.
    const bool readCopy = IsIPhotoAlive();
    iPhotoTrashScanner scanner(d.scanTaskInterval.load());
    scanner.Scan(library, readCopy);
    for (;;) {
        const bool working = scanner.IsWorking();
        for (Result& result : scanner.GetResults()) {
            if (!sink.Add(std::move(result))) {
                break;
            }
        }
        if (!working) {
            break;
        }
        if (sink.IsStopped()) {
            scanner.Stop();
        }
        std::this_thread::sleep_for(pollInterval);
    }
    scanner.Wait();
    if (scanner.HasFailed()) {
        const QString problem = scanner.GetProblem();
        LOG(ERROR) << "Can't read the iPhoto trash: " << Util::LogText(problem);
        std::lock_guard<std::mutex> lock(d.lock);
        d.scanProblem = problem;
        return false;
    }
    return true;
}

// What is still in the trash after the script, by type and name path; false
// when the trash could not be read again.
bool ReadTrashAgain(const QString& library, QHash<QPair<int, QString>, int>* others,
                    QSet<int>* images, int* skipped = nullptr) {
    iPhotoTrashScanner scanner(0);
    scanner.Scan(library, /*readCopy=*/true);
    scanner.Wait();
    for (const Result& result : scanner.GetResults()) {
        if (IsImage(result.type)) {
            images->insert(result.id);
        } else {
            ++(*others)[qMakePair(result.type, result.path)];
        }
    }
    if (scanner.HasFailed()) {
        LOG(ERROR) << "Can't read the iPhoto trash again: " << Util::LogText(scanner.GetProblem());
        return false;
    }
    if (skipped) {
        *skipped = scanner.GetSkippedCount();
    }
    return true;
}

bool EmptyTrash(const RunInput& input, const std::atomic<bool>& abandon, ScanShared& shared,
                WorkerProducer<CleaningResult>::Sink& sink) {
    const auto refuse = [&](const QString& why) {
        LOG(ERROR) << "Not emptying the iPhoto trash: " << Util::LogText(why);
        std::lock_guard<std::mutex> lock(shared.lock);
        shared.runProblem = why;
        return false;
    };
    // The application empties its whole trash: only while it holds just
    // what was shown and selected.
    {
        QHash<QPair<int, QString>, int> othersNow;
        QSet<int> imagesNow;
        int skipped = 0;
        if (!ReadTrashAgain(input.library, &othersNow, &imagesNow, &skipped)) {
            return refuse(QStringLiteral("the photo library's trash can't be read"));
        }
        if (skipped > 0) {
            return refuse(QStringLiteral("the photo library's trash holds %1 entries that can't be "
                                         "shown: empty it in the photo application itself")
                              .arg(skipped));
        }
        QSet<int> listed;
        for (const ImageEntry& image : input.images) {
            listed.insert(image.id);
        }
        QHash<QPair<int, QString>, int> listedOthers;
        for (const OtherEntry& other : input.others) {
            ++listedOthers[qMakePair(other.type, other.namePath)];
        }
        bool changed = !(imagesNow - listed).isEmpty();
        for (auto it = othersNow.cbegin(); it != othersNow.cend() && !changed; ++it) {
            changed = it.value() > listedOthers.value(it.key());
        }
        if (changed) {
            return refuse(QStringLiteral("the photo library's trash changed since the scan: scan it again"));
        }
    }
    // Where the application puts what it lets go, as the volumes are now.
    const QString trashFound = iPhotoGarbageScope::FindTrashPath(input.library);
    const QString trash = trashFound.isEmpty() ? QString() : QDir::cleanPath(trashFound);
    if (trash.isEmpty()) {
        LOG(ERROR) << "Where the photo application puts its emptied files is unknown (the library's "
                      "volume is not known): nothing is removed from a trash";
    }
    // A master still in the library must be the file the scan saw: one
    // changed since is not the application's to let go on our behalf.
    std::vector<ImageEntry> images;
    for (const ImageEntry& image : input.images) {
        long long length = -1;
        if (LookAtMaster(image, &length) == MasterNow::SAME && length != image.size) {
            LOG(ERROR) << "The iPhoto master image changed since the scan, it is not cleaned: "
                       << Util::LogText(image.key);
            sink.Add({image.key, FSCleaner::REFUSED});
            continue;
        }
        images.push_back(image);
    }
    sink.SetProgress(0.1f);

    const bool alive = IsIPhotoAlive();
    QString error;
    const bool scriptDone = Platform::RunAppleScript(alive ? scriptWhenRunning : scriptWhenNotRunning,
                                                     input.scriptTimeLimitMs, &error, &abandon);
    if (!scriptDone) {
        LOG(ERROR) << "ERROR WHILE EXECUTING APPLE SCRIPT:\n" << Util::LogText(error);
    }
    if (abandon.load()) {
        return false;
    }
    if (sink.IsStopped() || Platform::AreToolRunsInterrupted()) {
        // Stopped: what the application let go stays in the trash, where the
        // user can still take it back.
        LOG(WARNING) << "The iPhoto trash emptying was stopped: nothing is removed from the trash";
        return true;
    }
    sink.SetProgress(0.5f);

    // What the trash holds now: an image that keeps its master is cleaned
    // when its versions left the trash, and so are albums and folders.
    QHash<QPair<int, QString>, int> othersThere;
    QSet<int> imagesThere;
    const bool readAgain = ReadTrashAgain(input.library, &othersThere, &imagesThere);

    // Each image whose master left the library: its file in the trash.
    std::vector<FSCleanerServer::PlanEntry> plan;
    QHash<QString, const ImageEntry*> byLink;
    QSet<QString> linkFolders;
    for (const ImageEntry& image : images) {
        const MasterNow now = LookAtMaster(image);
        if (now == MasterNow::OTHER) {
            LOG(ERROR) << "The iPhoto master image was replaced, it is not cleaned: "
                       << Util::LogText(image.key);
            sink.Add({image.key, FSCleaner::REFUSED});
            continue;
        }
        if (now == MasterNow::SAME) {
            if (readAgain && !imagesThere.contains(image.id)) {
                // Its deleted versions are gone; the master serves the others.
                sink.Add({image.key, FSCleaner::REMOVED, 0});
            } else if (scriptDone && readAgain) {
                LOG(ERROR) << "iPhoto did not empty from its trash: " << Util::LogText(image.key);
                sink.Add({image.key, FSCleaner::FAILED});
            }
            continue;  // otherwise it stays as it was, for another try
        }
        const QString link =
            trash.isEmpty() ? QString()
                            : iPhotoGarbageScope::FindFirstHardLink(trash, image.device, image.inode,
                                                                    image.size, image.birth);
        if (link.isEmpty()) {
            LOG(ERROR) << "Not found a hard link to " << image.inode
                       << " for: " << Util::LogText(image.key);
            // Out of the library, but its file may be anywhere: not cleaned.
            sink.Add({image.key, FSCleaner::FAILED});
            continue;
        }
        FSCleanerServer::PlanEntry entry;
        entry.path = link;
        entry.flags = 0;
        entry.hasExpected = true;
        entry.expected.device = image.device;
        entry.expected.inode = image.inode;
        // Where the file system tells it, the master's birth time: another
        // file given its inode number meanwhile is not removed.
        entry.expected.birth = image.birth;
        plan.push_back(entry);
        byLink.insert(link, &image);
        for (QString folder = ExtractParentPath(link); folder.size() > trash.size() && folder.startsWith(trash + QLatin1Char('/'));
             folder = ExtractParentPath(folder)) {
            linkFolders.insert(folder);
        }
    }
    for (const FSCleanerServer::Result& removed : RunPlan(plan)) {
        const ImageEntry* image = byLink.value(removed.path);
        if (!image) {
            continue;
        }
        if (removed.code == FSCleaner::REMOVED || removed.code == FSCleaner::NOT_FOUND) {
            sink.Add({image->key, removed.code, removed.freed >= 0 ? removed.freed : 0});
        } else {
            LOG(ERROR) << "Can't remove an iPhoto trash file: " << Util::LogText(removed.path);
            sink.Add({image->key, removed.code});
        }
        byLink.remove(removed.path);
    }
    for (auto it = byLink.cbegin(); it != byLink.cend(); ++it) {
        // Planned but never processed: the removal did not run.
        LOG(ERROR) << "Can't remove an iPhoto trash file: " << Util::LogText(it.key());
        sink.Add({it.value()->key, FSCleaner::FAILED});
    }

    // Folders the removed files leave empty, the deepest first, then the
    // trash folder itself: one entry each, never a tree.
    std::vector<QString> folders(linkFolders.begin(), linkFolders.end());
    std::sort(folders.begin(), folders.end(),
              [](const QString& a, const QString& b) { return a.size() > b.size(); });
    if (!trash.isEmpty()) {
        folders.push_back(trash);
    }
    std::vector<FSCleanerServer::PlanEntry> folderPlan;
    for (const QString& folder : folders) {
        FSCleanerServer::PlanEntry entry;
        entry.path = folder;
        entry.flags = 0;
        entry.hasExpected = true;
        entry.expected.isDirectory = true;
        folderPlan.push_back(entry);
    }
    for (const FSCleanerServer::Result& removed : RunPlan(folderPlan)) {
        if (removed.code != FSCleaner::REMOVED && removed.code != FSCleaner::NOT_FOUND &&
            removed.code != FSCleaner::NOT_EMPTY) {
            LOG(ERROR) << "Can't remove an iPhoto trash directory: " << Util::LogText(removed.path);
        }
    }
    sink.SetProgress(0.9f);

    // Albums and folders are cleaned when the trash no longer holds them.
    if (readAgain) {
        for (const OtherEntry& other : input.others) {
            int& left = othersThere[qMakePair(other.type, other.namePath)];
            if (left == 0) {
                sink.Add({other.key, FSCleaner::REMOVED, 0});
                continue;
            }
            --left;
            if (scriptDone) {
                LOG(ERROR) << "iPhoto did not empty from its trash: " << Util::LogText(other.namePath);
                sink.Add({other.key, FSCleaner::FAILED});
            }
        }
    }
    sink.SetProgress(1.0f);
    // What the trash holds afterwards could not be told: not a success.
    return scriptDone && readAgain;
}

}  // namespace

}  // namespace Varnex::Cleaner::Details
