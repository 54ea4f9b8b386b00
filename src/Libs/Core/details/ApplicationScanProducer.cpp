#include "Core/details/ApplicationScanProducer.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <map>
#include <utility>
#include <vector>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "Core/details/ApplicationLeftovers.h"
#include "Core/details/GarbageApplication.h"
#include "Platform/BundleInfo.h"
#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner::Details {

namespace L = ApplicationLeftovers;

namespace {

const QString appSuffix = QStringLiteral(".app");

struct Entry {
    bool exists = false;
    bool isDirectory = false;
    bool isLink = false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long birth = 0;
};

// The entry itself, never what a link leads to.
Entry StatEntry(const QString& path) {
    Entry e;
    std::string bytes;
    struct statx sx;
    if (!path.startsWith(QLatin1Char('/')) || !Platform::EncodePath(path, &bytes) ||
        ::statx(AT_FDCWD, bytes.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                STATX_TYPE | STATX_INO | STATX_BTIME, &sx) != 0) {
        return e;
    }
    e.exists = true;
    e.isDirectory = S_ISDIR(sx.stx_mode);
    e.isLink = S_ISLNK(sx.stx_mode);
    e.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    e.inode = sx.stx_ino;
    if (sx.stx_mask & STATX_BTIME) {
        e.birth = static_cast<long long>(sx.stx_btime.tv_sec) * 1000000000LL + sx.stx_btime.tv_nsec;
    }
    return e;
}

bool IsRealFolder(const QString& path) {
    const Entry e = StatEntry(path);
    return e.exists && e.isDirectory;
}

// Names directly inside a folder that cross losslessly; hidden ones too.
QStringList ListFolder(const QString& folder) {
    QStringList names;
    std::string bytes;
    if (!Platform::EncodePath(folder, &bytes)) {
        return names;
    }
    DIR* dir = ::opendir(bytes.c_str());
    if (!dir) {
        return names;
    }
    while (const dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const QString decoded = Platform::DecodePathOrNull(name);
        if (!decoded.isNull()) {
            names.append(decoded);
        }
    }
    ::closedir(dir);
    names.sort();
    return names;
}

// Whether nothing is at `path` (not merely unreadable), on a volume that is
// mounted: a bundle on an external volume that is not mounted now is not gone.
bool IsKnownToBeGone(const QString& path) {
    const QString volumes = Platform::SystemPath(QStringLiteral("/Volumes")) + QLatin1Char('/');
    if (path.startsWith(volumes)) {
        const QString volume = volumes + path.mid(volumes.size()).section(QLatin1Char('/'), 0, 0);
        if (volume.size() == volumes.size() || !IsRealFolder(volume)) {
            return false;
        }
    }
    std::string bytes;
    struct stat st;
    return Platform::EncodePath(path, &bytes) && ::lstat(bytes.c_str(), &st) != 0 &&
           errno == ENOENT;
}

QString FileNameWithoutApp(const QString& path) {
    QString name = ExtractFileName(path);
    if (name.endsWith(appSuffix)) {
        name.chop(appSuffix.size());
    }
    return name;
}

// Where links lead, for telling two names of one bundle apart from two bundles.
QString Canonical(const QString& path) {
    const std::string real = ResolveLinks(Platform::EncodePathOrEmpty(path));
    const QString decoded = real.empty() ? QString() : Platform::DecodePathOrNull(real);
    return decoded.isEmpty() ? path : decoded;
}

bool IsUsableRecordPath(const QString& path) {
    const QString name = ExtractFileName(path);
    return NormalizeAbsolutePath(path) == path && name.size() > appSuffix.size() &&
           name.endsWith(appSuffix);
}

// The identifiers an entry name may stand for under a rule.
QStringList IdentifierCandidates(L::Root::Rule rule, const QString& name) {
    auto chopped = [&name](const char* suffix) {
        const QLatin1String s(suffix);
        return name.endsWith(s) ? name.left(name.size() - s.size()) : QString();
    };
    switch (rule) {
        case L::Root::CACHES:
            return {name, chopped(".cache"), chopped(".plist")};
        case L::Root::PREFERENCES:
            return {chopped(".plist")};
        case L::Root::SAVED_STATE:
            return {chopped(".savedState")};
        case L::Root::PLAIN:
            return {name};
        case L::Root::GROUP:
            return {name.mid(11)};
        case L::Root::HTTP:
            return {name, chopped(".binarycookies")};
        case L::Root::CRASHES:
            break;
    }
    return {};
}

struct App {
    QString path;
    QString id;
    QString name;      // as recorded
    QString fileName;  // without ".app", for crash reports
    bool exists = false;
    Entry entry;
    QList<ApplicationScanRecord> leftovers;
};

}  // namespace

ApplicationScanProducer::ApplicationScanProducer() : m_worker("The application scan") {}

ApplicationScanProducer::~ApplicationScanProducer() {
    m_worker.Stop();
    m_worker.Wait();
}

bool ApplicationScanProducer::Start() {
    m_worker.Stop();
    m_worker.Wait();
    m_worker.Clear();
    m_waiting = true;
    m_begun = false;
    m_failed = false;
    m_stopped = false;
    return true;
}

void ApplicationScanProducer::Begin(ApplicationScanInput input, bool failed) {
    if (!m_waiting) {
        return;
    }
    m_waiting = false;
    if (failed) {
        m_failed = true;
        return;
    }
    m_begun = true;
    m_worker.SetTask([input = std::move(input)](Worker::Sink& sink) { return Run(input, sink); });
    if (!m_worker.Start()) {
        m_begun = false;
        m_failed = true;
    }
}

void ApplicationScanProducer::Stop() {
    if (m_waiting) {
        m_waiting = false;
        m_stopped = true;
    }
    m_worker.Stop();
}

ApplicationScanProducer::Batch ApplicationScanProducer::DoTakeBatch() {
    if (!m_begun) {
        return {};
    }
    m_worker.TakeBatch();
    return m_worker.MoveBatch();
}

void ApplicationScanProducer::DoClear() {
    m_worker.Stop();
    m_worker.Wait();
    m_worker.Clear();
    m_waiting = false;
    m_begun = false;
}

long long ApplicationScanProducer::MeasureTree(const std::string& path,
                                               const std::function<bool()>& stop, bool* complete) {
    *complete = true;
    struct stat root;
    if (::lstat(path.c_str(), &root) != 0) {
        *complete = false;
        return 0;
    }
    // A file with several names frees its blocks only when every name goes.
    struct Linked {
        nlink_t seen = 0;
        nlink_t links = 0;
        long long bytes = 0;
    };
    std::map<std::pair<dev_t, ino_t>, Linked> linked;
    long long total = 0;
    auto count = [&](const struct stat& st) {
        // A folder's own blocks are left out, as everywhere else.
        if (S_ISDIR(st.st_mode)) {
            return;
        }
        const long long bytes = static_cast<long long>(st.st_blocks) * 512;
        if (st.st_nlink > 1) {
            Linked& l = linked[{st.st_dev, st.st_ino}];
            l.seen += 1;
            l.links = st.st_nlink;
            l.bytes = bytes;
        } else {
            total += bytes;
        }
    };
    count(root);
    std::vector<std::string> folders;
    if (S_ISDIR(root.st_mode)) {
        folders.push_back(path);
    }
    while (!folders.empty()) {
        if (stop && stop()) {
            *complete = false;
            return total;
        }
        const std::string folder = std::move(folders.back());
        folders.pop_back();
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) {
            *complete = false;
            continue;
        }
        while (const dirent* d = ::readdir(dir)) {
            const char* name = d->d_name;
            if ((name[0] == '.' && name[1] == 0) ||
                (name[0] == '.' && name[1] == '.' && name[2] == 0)) {
                continue;
            }
            std::string child = folder + "/" + name;
            struct stat st;
            if (::lstat(child.c_str(), &st) != 0) {
                *complete = false;
                continue;
            }
            if (S_ISDIR(st.st_mode) && st.st_dev != root.st_dev) {
                continue;  // another mount: never removed with the tree
            }
            count(st);
            if (S_ISDIR(st.st_mode)) {
                folders.push_back(std::move(child));
            }
        }
        ::closedir(dir);
    }
    for (const auto& entry : linked) {
        if (entry.second.seen >= entry.second.links) {
            total += entry.second.bytes;
        }
    }
    return total;
}

bool ApplicationScanProducer::Run(const ApplicationScanInput& input, Worker::Sink& sink) {
    const auto stopped = [&sink] { return sink.IsStopped(); };
    const auto excluded = [&input](const QString& path) {
        return input.excluded && input.excluded(path);
    };

    // The rows that can be used.
    QList<AppsDB::Application> records;
    for (const AppsDB::Application& r : input.records) {
        if (!IsUsableRecordPath(r.path) ||
            (!r.bundleId.isEmpty() && !L::IsValidBundleIdentifier(r.bundleId))) {
            LOG(WARNING) << "Ignored a bad application record: \"" << Util::LogText(r.path)
                         << "\" (\"" << Util::LogText(r.bundleId) << "\")";
            continue;
        }
        records.append(r);
    }

    // Which bundles have which identifier, wherever they are installed.
    QHash<QString, QSet<QString>> installedById;
    QSet<QString> installedPaths;
    const auto addInstalled = [&](const QString& path) {
        if (!Platform::BundleInfo::IsBundle(path)) {
            return;
        }
        const QString canonical = Canonical(path);
        installedPaths.insert(canonical);
        installedPaths.insert(path);
        const QString id = Platform::BundleInfo(path).GetIdentifier();
        if (L::IsValidBundleIdentifier(id)) {
            installedById[id].insert(canonical);
        }
    };
    for (const QString& path : input.installed + input.locations) {
        if (stopped()) {
            return false;
        }
        addInstalled(path);
    }
    QList<AppsDB::Application> gone;
    for (const AppsDB::Application& r : records) {
        if (stopped()) {
            return false;
        }
        if (Platform::BundleInfo::IsBundle(r.path)) {
            addInstalled(r.path);
            if (!r.bundleId.isEmpty()) {
                installedById[r.bundleId].insert(Canonical(r.path));
            }
        } else if (IsKnownToBeGone(r.path)) {
            gone.append(r);
        } else if (!r.bundleId.isEmpty()) {
            // On a volume that is not mounted, or where it cannot be seen:
            // it may still be there, with its data in use.
            installedById[r.bundleId].insert(r.path);
        }
    }

    // The applications of this scan.
    std::vector<App> apps;
    QHash<QString, int> appById;
    if (input.leftoversOnly) {
        for (const AppsDB::Application& r : gone) {
            if (r.bundleId.isEmpty() || installedById.contains(r.bundleId) ||
                appById.contains(r.bundleId) || excluded(r.path)) {
                continue;
            }
            App app;
            app.path = r.path;
            app.id = r.bundleId;
            app.name = r.name;
            app.fileName = FileNameWithoutApp(r.path);
            appById.insert(app.id, static_cast<int>(apps.size()));
            apps.push_back(std::move(app));
        }
    } else {
        QSet<QString> seen;
        for (const QString& path : input.locations) {
            const Entry entry = StatEntry(path);
            if (!entry.exists || !entry.isDirectory || seen.contains(path) || excluded(path)) {
                continue;  // a link to a bundle is never shown
            }
            seen.insert(path);
            const Platform::BundleInfo info(path);
            App app;
            app.path = path;
            app.exists = true;
            app.entry = entry;
            app.id = L::IsValidBundleIdentifier(info.GetIdentifier()) ? info.GetIdentifier()
                                                                       : QString();
            app.fileName = FileNameWithoutApp(path);
            app.name = info.GetName().isEmpty() ? app.fileName : info.GetName();
            if (!app.id.isEmpty()) {
                const int holders = installedById.value(app.id).size();
                if (holders > 1) {
                    LOG(INFO) << holders << " bundles have the identifier \""
                              << Util::LogText(app.id) << "\": its data is not offered with \""
                              << Util::LogText(path) << "\"";
                } else {
                    appById.insert(app.id, static_cast<int>(apps.size()));
                }
            }
            apps.push_back(std::move(app));
        }
    }

    // Crash reports go by file name: a name that another application (of
    // this scan or installed elsewhere) has too is nobody's.
    QHash<QString, int> crashKeys;
    const auto addCrashKey = [&crashKeys](const QString& key, int owner) {
        if (key.isEmpty()) {
            return;
        }
        const auto it = crashKeys.constFind(key);
        crashKeys.insert(key, it == crashKeys.constEnd() || *it == owner ? owner : -1);
    };
    QSet<QString> ownPaths;
    for (std::size_t i = 0; i < apps.size(); ++i) {
        const int owner = appById.value(apps[i].id, -1) == static_cast<int>(i) ? static_cast<int>(i)
                                                                               : -1;
        addCrashKey(apps[i].fileName, owner);
        addCrashKey(apps[i].id, owner);
        ownPaths.insert(Canonical(apps[i].path));
    }
    for (const QString& path : input.installed) {
        if (!ownPaths.contains(Canonical(path))) {
            addCrashKey(FileNameWithoutApp(path), -1);
            addCrashKey(Platform::BundleInfo(path).GetIdentifier(), -1);
        }
    }
    const QStringList crashCandidates = crashKeys.keys();

    // Leftovers: entries directly inside the roots.
    const auto holdsBundle = [&](const QString& path) {
        for (const QString& bundle : installedPaths) {
            if (L::IsSameOrInside(bundle, path)) {
                return true;
            }
        }
        for (const App& app : apps) {
            if (L::IsSameOrInside(app.path, path)) {
                return true;
            }
        }
        return false;
    };
    QStringList taken;
    const auto overlapsTaken = [&taken](const QString& path) {
        for (const QString& t : taken) {
            if (L::IsSameOrInside(path, t) || L::IsSameOrInside(t, path)) {
                return true;
            }
        }
        return false;
    };
    for (const L::Root& root : L::MakeRoots(input.library, input.darwinCache)) {
        const Entry folder = StatEntry(root.folder);
        if (!folder.exists || !folder.isDirectory || apps.empty()) {
            continue;  // a root that is a link is not followed
        }
        for (const QString& name : ListFolder(root.folder)) {
            if (stopped()) {
                return false;
            }
            int owner = -1;
            if (root.rule == L::Root::CRASHES) {
                if (L::IsCrashReport(name)) {
                    owner = crashKeys.value(L::CrashOwner(name, crashCandidates), -1);
                }
            } else {
                for (const QString& id : IdentifierCandidates(root.rule, name)) {
                    const auto it = appById.constFind(id);
                    if (it != appById.constEnd() && L::Matches(root.rule, name, id)) {
                        owner = *it;
                        break;
                    }
                }
            }
            if (owner < 0) {
                continue;
            }
            const QString path = root.folder + QLatin1Char('/') + name;
            const Entry entry = StatEntry(path);
            if (!entry.exists || (root.rule == L::Root::CRASHES && entry.isDirectory) ||
                excluded(path) || overlapsTaken(path) || holdsBundle(path)) {
                continue;
            }
            taken.append(path);
            ApplicationScanRecord leftover;
            leftover.kind = ApplicationScanRecord::LEFTOVER;
            leftover.appPath = apps[static_cast<std::size_t>(owner)].path;
            leftover.bundleId = apps[static_cast<std::size_t>(owner)].id;
            leftover.group = root.group;
            leftover.path = path;
            leftover.isDirectory = entry.isDirectory;
            leftover.device = entry.device;
            leftover.inode = entry.inode;
            leftover.birth = entry.birth;
            apps[static_cast<std::size_t>(owner)].leftovers.append(leftover);
        }
    }

    // Measure and hand over, application by application.
    QHash<QString, const AppsDB::Application*> recordByPath;
    for (const AppsDB::Application& r : records) {
        recordByPath.insert(r.path, &r);
    }
    for (std::size_t i = 0; i < apps.size(); ++i) {
        App& app = apps[i];
        if (input.leftoversOnly && app.leftovers.isEmpty()) {
            continue;
        }
        ApplicationScanRecord record;
        record.kind = ApplicationScanRecord::APPLICATION;
        record.appPath = app.path;
        record.path = app.path;
        record.bundleId = app.id;
        if (app.exists) {
            record.isDirectory = true;
            record.device = app.entry.device;
            record.inode = app.entry.inode;
            record.birth = app.entry.birth;
            const AppsDB::Application* cached = recordByPath.value(app.path);
            if (cached && !cached->isDirty && cached->size > 0) {
                record.size = cached->size;
            } else {
                bool complete = false;
                record.size = MeasureTree(Platform::EncodePathOrEmpty(app.path), stopped, &complete);
                if (stopped()) {
                    return false;
                }
                if (complete) {
                    if (AppsDB::SaveApplication(app.path, app.name, app.id, record.size,
                                                QDateTime())) {
                        record.measured = true;
                    } else {
                        LOG(ERROR) << "Failed to cache " << Util::LogText(app.path);
                    }
                }
            }
            record.lastUsed = GarbageApplication::ReadLastUsedTime(app.path);
            if (!record.lastUsed.isValid()) {
                // No date at all: the item would ask mdls again, on the scope's thread.
                record.lastUsed = QFileInfo(app.path).lastModified();
            }
        }
        for (ApplicationScanRecord& leftover : app.leftovers) {
            bool complete = false;
            leftover.size =
                MeasureTree(Platform::EncodePathOrEmpty(leftover.path), stopped, &complete);
            if (stopped()) {
                return false;
            }
        }
        if (!sink.Add(std::move(record))) {
            return false;
        }
        for (ApplicationScanRecord& leftover : app.leftovers) {
            if (!sink.Add(std::move(leftover))) {
                return false;
            }
        }
        sink.SetProgress(static_cast<float>(i + 1) / static_cast<float>(apps.size()));
    }
    return true;
}

}  // namespace Varnex::Cleaner::Details
