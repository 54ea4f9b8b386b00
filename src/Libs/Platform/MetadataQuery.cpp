#include "Platform/MetadataQuery.h"

#include <dirent.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QMimeDatabase>
#include <QSet>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Platform {

namespace {

// Folders open at once on the way down; deeper ones wait for their turn.
constexpr int maxOpenDepth = 128;

constexpr unsigned int statxMask = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO |
                                   STATX_SIZE | STATX_BLOCKS | STATX_BTIME | STATX_CTIME;

struct Identity {
    unsigned long long device;
    unsigned long long inode;
    bool operator==(const Identity& other) const {
        return device == other.device && inode == other.inode;
    }
};

struct IdentityHash {
    std::size_t operator()(const Identity& id) const {
        return std::hash<unsigned long long>()(id.inode * 0x9E3779B97F4A7C15ULL ^ id.device);
    }
};

using IdentitySet = std::unordered_set<Identity, IdentityHash>;

Identity IdentityOf(const struct statx& stx) {
    return {makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino};
}

long long BirthNs(const struct statx& stx) {
    if (!(stx.stx_mask & STATX_BTIME)) {
        return 0;
    }
    return static_cast<long long>(stx.stx_btime.tv_sec) * 1000000000LL + stx.stx_btime.tv_nsec;
}

QDateTime CreatedOf(const struct statx& stx) {
    // Some file systems (overlays among them) answer a birth time of 0.
    const bool born = (stx.stx_mask & STATX_BTIME) && stx.stx_btime.tv_sec != 0;
    const struct statx_timestamp& t = born ? stx.stx_btime : stx.stx_ctime;
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(t.tv_sec) * 1000 + t.tv_nsec / 1000000,
                                          Qt::UTC);
}

// A path as a log line shows it: control characters, quotes, backslashes and
// bytes of a name that is not UTF-8 escaped, so that a name cannot forge a
// line of its own.
std::string LogBytes(const std::string& bytes) {
    static const char hex[] = "0123456789abcdef";
    const bool utf8 = IsValidUtf8(bytes.data(), bytes.size());
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || (u >= 0x80 && !utf8) || c == '\\' || c == '"') {
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

// Folder extensions Finder shows as one document.
const QSet<QString>& PackageExtensions() {
    static const QSet<QString> extensions = {
        QStringLiteral("app"),          QStringLiteral("bundle"),
        QStringLiteral("framework"),    QStringLiteral("plugin"),
        QStringLiteral("kext"),         QStringLiteral("photoslibrary"),
        QStringLiteral("photolibrary"), QStringLiteral("migratedphotolibrary"),
        QStringLiteral("aplibrary"),    QStringLiteral("musiclibrary"),
        QStringLiteral("tvlibrary"),    QStringLiteral("imovielibrary"),
        QStringLiteral("fcpbundle"),    QStringLiteral("logicx"),
        QStringLiteral("band"),         QStringLiteral("vmwarevm"),
        QStringLiteral("pvm"),          QStringLiteral("utm"),
        QStringLiteral("sparsebundle"), QStringLiteral("rtfd"),
        QStringLiteral("pages"),        QStringLiteral("numbers"),
        QStringLiteral("key"),          QStringLiteral("xcarchive"),
        QStringLiteral("pkg"),          QStringLiteral("mpkg"),
    };
    return extensions;
}

QString ExtensionOf(const QString& name) {
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.mid(dot + 1).toLower() : QString();
}

QStringList PackageTypesOf(const QString& name) {
    const QString ext = ExtensionOf(name);
    QStringList types;
    if (ext == QLatin1String("app")) {
        types << QStringLiteral("com.apple.application-bundle")
              << QStringLiteral("com.apple.application");
    } else if (ext.endsWith(QLatin1String("library"))) {
        types << QStringLiteral("com.apple.library");
    } else if (ext == QLatin1String("vmwarevm") || ext == QLatin1String("pvm") ||
               ext == QLatin1String("utm")) {
        types << QStringLiteral("com.apple.virtual-machine");
    } else if (ext == QLatin1String("sparsebundle")) {
        types << QStringLiteral("com.apple.disk-image-sparsebundle")
              << QStringLiteral("public.disk-image");
    }
    types << QStringLiteral("com.apple.package") << QStringLiteral("public.directory")
          << QStringLiteral("public.item");
    return types;
}

bool IsArchiveMime(const QMimeType& mime) {
    static const QStringList archives = {
        QStringLiteral("application/zip"),
        QStringLiteral("application/x-tar"),
        QStringLiteral("application/gzip"),
        QStringLiteral("application/x-bzip"),
        QStringLiteral("application/x-bzip2"),
        QStringLiteral("application/x-xz"),
        QStringLiteral("application/zstd"),
        QStringLiteral("application/x-7z-compressed"),
        QStringLiteral("application/vnd.rar"),
        QStringLiteral("application/x-rar"),
        QStringLiteral("application/x-compressed-tar"),
        QStringLiteral("application/x-apple-diskimage"),
        QStringLiteral("application/x-cd-image"),
        QStringLiteral("application/x-iso9660-image"),
        QStringLiteral("application/x-archive"),
        QStringLiteral("application/x-cpio"),
        QStringLiteral("application/x-xar"),
    };
    for (const QString& name : archives) {
        if (mime.inherits(name)) {
            return true;
        }
    }
    return false;
}

// One walk of the search folders, on the walker thread.
class Walk {
public:
    using Report = std::function<void(MetadataItem&&)>;

    Walk(long long minSize, MetadataQuery::LastUsedProvider lastUsed, const std::atomic<bool>& stop,
         std::atomic<float>& progress, std::atomic<int>& skippedNames,
         std::atomic<int>& unreadableFolders, Report report)
        : m_minSize(minSize),
          m_lastUsed(std::move(lastUsed)),
          m_stop(stop),
          m_progress(progress),
          m_skippedNames(skippedNames),
          m_unreadableFolders(unreadableFolders),
          m_report(std::move(report)) {}

    void Run(const QStringList& roots) {
        for (int i = 0; i < roots.size() && !m_stop.load(); ++i) {
            m_rootShare = 1.0f / static_cast<float>(roots.size());
            m_rootBase = static_cast<float>(i) * m_rootShare;
            DoRoot(roots.at(i));
        }
    }

private:
    struct Folder {
        std::string path;
        Identity id;
        int depth;
    };

    void DoRoot(const QString& root) {
        std::string bytes;
        if (!EncodePath(root, &bytes)) {
            return;
        }
        // A search folder given through a link is searched through it.
        const int fd = ::open(bytes.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT) {
                LOG(WARNING) << "Can't search \"" << LogBytes(bytes) << "\": " << std::strerror(errno);
            }
            return;
        }
        struct statx stx {};
        const bool known = ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_INO, &stx) == 0;
        ::close(fd);
        if (!known) {
            return;
        }
        m_rootDevice = IdentityOf(stx).device;
        m_topEntries = 0;
        m_topDone = 0;
        // Folders too deep to keep their parents open are searched from
        // their paths afterwards.
        std::vector<Folder> deferred;
        const Folder top{bytes, IdentityOf(stx), 0};
        if (m_visited.insert(top.id).second) {
            DoFolder(top, DoOpen(top), &deferred);
        }
        while (!deferred.empty() && !m_stop.load()) {
            Folder folder = std::move(deferred.back());
            deferred.pop_back();
            DoFolder(folder, DoOpen(folder), &deferred);
        }
        m_progress.store(m_rootBase + m_rootShare);
    }

    void DoProgress() {
        if (m_topEntries > 0) {
            const float part = static_cast<float>(m_topDone) / static_cast<float>(m_topEntries);
            m_progress.store(m_rootBase + m_rootShare * std::min(part, 1.0f));
        }
    }

    // Opens a folder met in the walk by its path.
    int DoOpen(const Folder& folder) { return DoOpenAt(AT_FDCWD, folder.path, folder); }

    // Lists one folder (`fd`, owned; -1: nothing to list): files big enough
    // are reported, packages summed, then the folders of the same mount are
    // searched in turn, each opened from this one.
    void DoFolder(const Folder& folder, int fd, std::vector<Folder>* deferred) {
        if (fd < 0) {
            return;
        }
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return;
        }
        std::vector<std::pair<std::string, Identity>> folders;
        bool warnedName = false;
        while (struct dirent* entry = ::readdir(dir)) {
            if (m_stop.load()) {
                break;
            }
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) {
                continue;
            }
            if (folder.depth == 0) {
                ++m_topEntries;
            }
            if (entry->d_type == DT_LNK || entry->d_type == DT_FIFO || entry->d_type == DT_SOCK ||
                entry->d_type == DT_CHR || entry->d_type == DT_BLK) {
                continue;
            }
            const std::size_t nameSize = std::strlen(name);
            if (!IsValidUtf8(name, nameSize)) {
                ++m_skippedNames;
                if (!warnedName) {
                    LOG(WARNING) << "Skipped names that are not valid UTF-8 in \""
                                 << LogBytes(folder.path) << "\"";
                    warnedName = true;
                }
                continue;
            }
            struct statx stx {};
            if (::statx(::dirfd(dir), name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, statxMask,
                        &stx) != 0) {
                continue;
            }
            if (S_ISDIR(stx.stx_mode)) {
                if (IsOtherMount(stx)) {
                    continue;
                }
                const QString qname = std::memchr(name, '.', nameSize)
                                          ? QString::fromUtf8(name, static_cast<int>(nameSize))
                                          : QString();
                if (!qname.isEmpty() && MetadataQuery::IsPackageName(qname)) {
                    DoPackage(Child(folder.path, name, nameSize), qname, stx);
                } else {
                    folders.emplace_back(std::string(name, nameSize), IdentityOf(stx));
                }
            } else if (S_ISREG(stx.stx_mode) && static_cast<long long>(stx.stx_size) >= m_minSize) {
                DoFile(Child(folder.path, name, nameSize), stx);
            }
        }
        if (folder.depth == 0) {
            DoProgress();
        }
        for (const auto& [name, id] : folders) {
            if (m_stop.load()) {
                break;
            }
            if (folder.depth == 0) {
                ++m_topDone;
                DoProgress();
            }
            if (!m_visited.insert(id).second) {
                continue;  // searched already: overlapping search folders
            }
            Folder child{Child(folder.path, name.data(), name.size()), id, folder.depth + 1};
            if (child.depth > maxOpenDepth) {
                deferred->push_back(std::move(child));
                continue;
            }
            DoFolder(child, DoOpenAt(::dirfd(dir), name, child), deferred);
        }
        ::closedir(dir);
    }

    static std::string Child(const std::string& folder, const char* name, std::size_t size) {
        std::string path;
        path.reserve(folder.size() + 1 + size);
        path = folder;
        if (path != "/") {
            path += '/';
        }
        path.append(name, size);
        return path;
    }

    // Opens a folder listed in the open folder `parentFd` (or at a path), if
    // it is still the one listed; a search folder given through a link is
    // opened through it.
    int DoOpenAt(int parentFd, const std::string& name, const Folder& folder) {
        const int fd = ::openat(parentFd, name.c_str(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC |
                                    (folder.depth > 0 ? O_NOFOLLOW : 0));
        if (fd < 0) {
            if (errno != ENOENT) {
                ++m_unreadableFolders;
                LOG(WARNING) << "Can't read the folder \"" << LogBytes(folder.path)
                             << "\": " << std::strerror(errno);
            }
            return -1;
        }
        struct statx stx {};
        if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO, &stx) != 0 || !(IdentityOf(stx) == folder.id)) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    bool IsOtherMount(const struct statx& stx) const {
        if (makedev(stx.stx_dev_major, stx.stx_dev_minor) != m_rootDevice) {
            return true;
        }
        return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
               (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    }

    void DoFile(const std::string& path, const struct statx& stx) {
        if (stx.stx_nlink > 1 && !m_linked.insert(IdentityOf(stx)).second) {
            return;  // another name of a file found already
        }
        MetadataItem item;
        if (!DecodePath(path, &item.path)) {
            return;
        }
        item.size = static_cast<long long>(stx.stx_size);
        item.diskSize = static_cast<long long>(stx.stx_blocks) * 512;
        item.created = CreatedOf(stx);
        item.contentTypes = MetadataQuery::ContentTypesOf(item.path);
        DoFinish(&item, stx);
    }

    // Sums a package: everything inside on its mount, links not followed,
    // a file with several names once.
    void DoPackage(const std::string& path, const QString& name, const struct statx& top) {
        long long size = 0;
        long long diskSize = 0;
        IdentitySet linked;
        std::vector<std::string> folders{path};
        m_visited.insert(IdentityOf(top));
        while (!folders.empty() && !m_stop.load()) {
            const std::string current = std::move(folders.back());
            folders.pop_back();
            const int fd = ::open(current.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
            if (!dir) {
                if (fd >= 0) {
                    ::close(fd);
                }
                continue;
            }
            while (struct dirent* entry = ::readdir(dir)) {
                const char* n = entry->d_name;
                if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) {
                    continue;
                }
                struct statx stx {};
                if (::statx(::dirfd(dir), n, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                            STATX_TYPE | STATX_NLINK | STATX_INO | STATX_SIZE | STATX_BLOCKS,
                            &stx) != 0) {
                    continue;
                }
                if (S_ISDIR(stx.stx_mode)) {
                    if (!IsOtherMount(stx) && m_visited.insert(IdentityOf(stx)).second) {
                        folders.push_back(current + '/' + n);
                    }
                    continue;
                }
                if (stx.stx_nlink > 1 && !linked.insert(IdentityOf(stx)).second) {
                    continue;
                }
                size += static_cast<long long>(stx.stx_size);
                diskSize += static_cast<long long>(stx.stx_blocks) * 512;
            }
            ::closedir(dir);
        }
        if (size < m_minSize || m_stop.load()) {
            return;
        }
        MetadataItem item;
        if (!DecodePath(path, &item.path)) {
            return;
        }
        item.size = size;
        item.diskSize = diskSize;
        item.isPackage = true;
        item.created = CreatedOf(top);
        item.contentTypes = PackageTypesOf(name);
        DoFinish(&item, top);
    }

    void DoFinish(MetadataItem* item, const struct statx& stx) {
        const Identity id = IdentityOf(stx);
        item->device = id.device;
        item->inode = id.inode;
        item->birth = BirthNs(stx);
        if (m_lastUsed) {
            item->lastUsed = m_lastUsed(item->path);
        }
        m_report(std::move(*item));
    }

    const long long m_minSize;
    const MetadataQuery::LastUsedProvider m_lastUsed;
    const std::atomic<bool>& m_stop;
    std::atomic<float>& m_progress;
    std::atomic<int>& m_skippedNames;
    std::atomic<int>& m_unreadableFolders;
    const Report m_report;
    IdentitySet m_visited;
    IdentitySet m_linked;
    unsigned long long m_rootDevice = 0;
    float m_rootBase = 0;
    float m_rootShare = 1;
    long long m_topEntries = 0;
    long long m_topDone = 0;
};

}  // namespace

class MetadataQuery::Impl {
public:
    QStringList scopes;
    long long minSize = defaultMinSize;
    LastUsedProvider lastUsed;

    mutable std::mutex mutex;
    std::vector<MetadataItem> results;
    bool gathering = false;
    bool complete = false;
    bool stopped = false;
    std::atomic<bool> stopRequested{false};
    std::atomic<float> progress{0};
    std::atomic<int> skippedNames{0};
    std::atomic<int> unreadableFolders{0};
    std::thread worker;

    void Join() {
        if (worker.joinable()) {
            worker.join();
        }
    }
};

MetadataQuery::MetadataQuery() : m_impl(std::make_shared<Impl>()) {}

MetadataQuery::~MetadataQuery() {
    Stop();
    Wait();
}

void MetadataQuery::SetSearchScopes(const QStringList& folders) {
    m_impl->scopes.clear();
    for (const QString& folder : folders) {
        const bool dotDot = folder.split(QLatin1Char('/')).contains(QStringLiteral(".."));
        if (!folder.startsWith(QLatin1Char('/')) || dotDot) {
            LOG(WARNING) << "Not a search folder: \"" << LogBytes(folder.toStdString()) << "\"";
            continue;
        }
        m_impl->scopes.append(folder);
    }
}

QStringList MetadataQuery::GetSearchScopes() const {
    return m_impl->scopes;
}

void MetadataQuery::SetMinSize(long long bytes) {
    m_impl->minSize = bytes;
}

long long MetadataQuery::GetMinSize() const {
    return m_impl->minSize;
}

void MetadataQuery::SetLastUsedProvider(LastUsedProvider provider) {
    m_impl->lastUsed = std::move(provider);
}

bool MetadataQuery::Start() {
    Stop();
    Wait();
    QStringList scopes = m_impl->scopes;
    if (scopes.isEmpty()) {
        const QString home = HomePath();
        if (home.startsWith(QLatin1Char('/')) && home != QLatin1String("/")) {
            scopes.append(home);
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        std::vector<MetadataItem>().swap(m_impl->results);
        m_impl->gathering = true;
        m_impl->complete = false;
        m_impl->stopped = false;
    }
    m_impl->stopRequested = false;
    m_impl->progress = 0;
    m_impl->skippedNames = 0;
    m_impl->unreadableFolders = 0;
    Impl* impl = m_impl.get();
    try {
        m_impl->worker = std::thread([impl, scopes, minSize = m_impl->minSize,
                                      lastUsed = m_impl->lastUsed]() {
            Walk walk(minSize, lastUsed, impl->stopRequested, impl->progress, impl->skippedNames,
                      impl->unreadableFolders, [impl](MetadataItem&& item) {
                          std::lock_guard<std::mutex> lock(impl->mutex);
                          impl->results.push_back(std::move(item));
                      });
            try {
                walk.Run(scopes);
            } catch (const std::exception& e) {
                LOG(ERROR) << "The metadata search failed: " << e.what();
            }
            std::lock_guard<std::mutex> lock(impl->mutex);
            impl->stopped = impl->stopRequested.load();
            impl->complete = !impl->stopped;
            impl->gathering = false;
        });
    } catch (const std::system_error& e) {
        LOG(ERROR) << "Can't start the metadata search: " << e.what();
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->gathering = false;
        return false;
    }
    return true;
}

void MetadataQuery::Stop() {
    m_impl->stopRequested = true;
}

void MetadataQuery::Wait() {
    m_impl->Join();
}

bool MetadataQuery::IsGathering() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->gathering;
}

bool MetadataQuery::IsGatheringComplete() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->complete;
}

bool MetadataQuery::WasStopped() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->stopped;
}

float MetadataQuery::GetProgress() const {
    return m_impl->progress.load();
}

int MetadataQuery::GetSkippedNames() const {
    return m_impl->skippedNames.load();
}

int MetadataQuery::GetUnreadableFolders() const {
    return m_impl->unreadableFolders.load();
}

std::size_t MetadataQuery::GetResultCount() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->results.size();
}

std::vector<MetadataItem> MetadataQuery::GetResults(std::size_t first) const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (first >= m_impl->results.size()) {
        return {};
    }
    return std::vector<MetadataItem>(m_impl->results.begin() + static_cast<std::ptrdiff_t>(first),
                                     m_impl->results.end());
}

QStringList MetadataQuery::ContentTypesOf(const QString& path) {
    static const QMimeDatabase database;
    const QMimeType mime = database.mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    QStringList types;
    const QString name = mime.name();
    if (IsArchiveMime(mime)) {
        types << QStringLiteral("public.archive");
    } else if (name.startsWith(QLatin1String("video/"))) {
        types << QStringLiteral("public.movie") << QStringLiteral("public.audiovisual-content");
    } else if (name.startsWith(QLatin1String("audio/"))) {
        types << QStringLiteral("public.audio") << QStringLiteral("public.audiovisual-content");
    } else if (name.startsWith(QLatin1String("image/"))) {
        types << QStringLiteral("public.image");
    } else if (name.startsWith(QLatin1String("text/"))) {
        types << QStringLiteral("public.text");
    }
    types << QStringLiteral("public.data") << QStringLiteral("public.item");
    return types;
}

bool MetadataQuery::IsPackageName(const QString& name) {
    return PackageExtensions().contains(ExtensionOf(name));
}

}  // namespace Varnex::Platform
