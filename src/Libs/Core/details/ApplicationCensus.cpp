#include "Core/details/ApplicationCensus.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "Core/details/ApplicationLeftovers.h"
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

}  // namespace

bool ApplicationCensus::Take(const std::function<bool()>& stop) {
    DoReadRecords();
    if (!DoFindInstalled(stop)) {
        return false;
    }
    DoListApplications();
    DoCollectCrashKeys();
    return DoFindLeftovers(stop);
}

const AppsDB::Application* ApplicationCensus::FindRecord(const QString& path) const {
    const auto it = m_recordByPath.constFind(path);
    return it == m_recordByPath.constEnd() ? nullptr : &m_records.at(*it);
}

bool ApplicationCensus::IsExcluded(const QString& path) const {
    return m_input.excluded && m_input.excluded(path);
}

void ApplicationCensus::DoReadRecords() {
    for (const AppsDB::Application& r : m_input.records) {
        if (!IsUsableRecordPath(r.path) ||
            (!r.bundleId.isEmpty() && !L::IsValidBundleIdentifier(r.bundleId))) {
            LOG(WARNING) << "Ignored a bad application record: \"" << Util::LogText(r.path)
                         << "\" (\"" << Util::LogText(r.bundleId) << "\")";
            continue;
        }
        if (!m_recordByPath.contains(r.path)) {
            m_recordByPath.insert(r.path, m_records.size());
        }
        m_records.append(r);
    }
}

void ApplicationCensus::AddInstalled(const QString& path) {
    if (!Platform::BundleInfo::IsBundle(path)) {
        return;
    }
    const QString canonical = Canonical(path);
    m_installedPaths.insert(canonical);
    m_installedPaths.insert(path);
    const QString id = Platform::BundleInfo(path).GetIdentifier();
    if (L::IsValidBundleIdentifier(id)) {
        m_installedById[id].insert(canonical);
    }
}

bool ApplicationCensus::DoFindInstalled(const std::function<bool()>& stop) {
    for (const QString& path : m_input.installed + m_input.locations) {
        if (stop()) {
            return false;
        }
        AddInstalled(path);
    }
    for (const AppsDB::Application& r : m_records) {
        if (stop()) {
            return false;
        }
        if (Platform::BundleInfo::IsBundle(r.path)) {
            AddInstalled(r.path);
            if (!r.bundleId.isEmpty()) {
                m_installedById[r.bundleId].insert(Canonical(r.path));
            }
        } else if (IsKnownToBeGone(r.path)) {
            m_gone.append(r);
        } else if (!r.bundleId.isEmpty()) {
            // On a volume that is not mounted, or where it cannot be seen:
            // it may still be there, with its data in use.
            m_installedById[r.bundleId].insert(r.path);
        }
    }
    return true;
}

void ApplicationCensus::DoListApplications() {
    if (m_input.leftoversOnly) {
        for (const AppsDB::Application& r : m_gone) {
            if (r.bundleId.isEmpty() || m_installedById.contains(r.bundleId) ||
                m_appById.contains(r.bundleId) || IsExcluded(r.path)) {
                continue;
            }
            Application app;
            app.path = r.path;
            app.id = r.bundleId;
            app.name = r.name;
            app.fileName = FileNameWithoutApp(r.path);
            m_appById.insert(app.id, static_cast<int>(m_apps.size()));
            m_apps.push_back(std::move(app));
        }
        return;
    }
    QSet<QString> seen;
    for (const QString& path : m_input.locations) {
        const Entry entry = StatEntry(path);
        if (!entry.exists || !entry.isDirectory || seen.contains(path) || IsExcluded(path)) {
            continue;  // a link to a bundle is never shown
        }
        seen.insert(path);
        const Platform::BundleInfo info(path);
        Application app;
        app.path = path;
        app.exists = true;
        app.device = entry.device;
        app.inode = entry.inode;
        app.birth = entry.birth;
        app.id =
            L::IsValidBundleIdentifier(info.GetIdentifier()) ? info.GetIdentifier() : QString();
        app.fileName = FileNameWithoutApp(path);
        app.name = info.GetName().isEmpty() ? app.fileName : info.GetName();
        if (!app.id.isEmpty()) {
            const int holders = m_installedById.value(app.id).size();
            if (holders > 1) {
                LOG(INFO) << holders << " bundles have the identifier \"" << Util::LogText(app.id)
                          << "\": its data is not offered with \"" << Util::LogText(path) << "\"";
            } else {
                m_appById.insert(app.id, static_cast<int>(m_apps.size()));
            }
        }
        m_apps.push_back(std::move(app));
    }
}

void ApplicationCensus::DoCollectCrashKeys() {
    // Crash reports go by file name: a name that another application (of
    // this scan or installed elsewhere) has too is nobody's.
    const auto add = [this](const QString& key, int owner) {
        if (key.isEmpty()) {
            return;
        }
        const auto it = m_crashKeys.constFind(key);
        m_crashKeys.insert(key, it == m_crashKeys.constEnd() || *it == owner ? owner : -1);
    };
    QSet<QString> own;
    for (std::size_t i = 0; i < m_apps.size(); ++i) {
        const int index = static_cast<int>(i);
        const int owner = m_appById.value(m_apps[i].id, -1) == index ? index : -1;
        add(m_apps[i].fileName, owner);
        add(m_apps[i].id, owner);
        own.insert(Canonical(m_apps[i].path));
    }
    for (const QString& path : m_input.installed) {
        if (!own.contains(Canonical(path))) {
            add(FileNameWithoutApp(path), -1);
            add(Platform::BundleInfo(path).GetIdentifier(), -1);
        }
    }
    m_crashCandidates = m_crashKeys.keys();
}

bool ApplicationCensus::HoldsBundle(const QString& path) const {
    for (const QString& bundle : m_installedPaths) {
        if (L::IsSameOrInside(bundle, path)) {
            return true;
        }
    }
    for (const Application& app : m_apps) {
        if (L::IsSameOrInside(app.path, path)) {
            return true;
        }
    }
    return false;
}

bool ApplicationCensus::OverlapsTaken(const QString& path) const {
    for (const QString& taken : m_taken) {
        if (L::IsSameOrInside(path, taken) || L::IsSameOrInside(taken, path)) {
            return true;
        }
    }
    return false;
}

int ApplicationCensus::OwnerOf(int rule, const QString& name) const {
    const auto r = static_cast<L::Root::Rule>(rule);
    if (r == L::Root::CRASHES) {
        return L::IsCrashReport(name)
                   ? m_crashKeys.value(L::CrashOwner(name, m_crashCandidates), -1)
                   : -1;
    }
    for (const QString& id : IdentifierCandidates(r, name)) {
        const auto it = m_appById.constFind(id);
        if (it != m_appById.constEnd() && L::Matches(r, name, id)) {
            return *it;
        }
    }
    return -1;
}

bool ApplicationCensus::DoFindLeftovers(const std::function<bool()>& stop) {
    if (m_apps.empty()) {
        return true;
    }
    for (const L::Root& root : L::MakeRoots(m_input.library, m_input.darwinCache)) {
        const Entry folder = StatEntry(root.folder);
        if (!folder.exists || !folder.isDirectory) {
            continue;  // a root that is a link is not followed
        }
        for (const QString& name : ListFolder(root.folder)) {
            if (stop()) {
                return false;
            }
            const int owner = OwnerOf(root.rule, name);
            if (owner < 0) {
                continue;
            }
            const QString path = root.folder + QLatin1Char('/') + name;
            const Entry entry = StatEntry(path);
            if (!entry.exists || (root.rule == L::Root::CRASHES && entry.isDirectory) ||
                IsExcluded(path) || OverlapsTaken(path) || HoldsBundle(path)) {
                continue;
            }
            m_taken.append(path);
            Application& app = m_apps[static_cast<std::size_t>(owner)];
            ApplicationScanRecord leftover;
            leftover.kind = ApplicationScanRecord::LEFTOVER;
            leftover.appPath = app.path;
            leftover.bundleId = app.id;
            leftover.group = root.group;
            leftover.path = path;
            leftover.isDirectory = entry.isDirectory;
            leftover.device = entry.device;
            leftover.inode = entry.inode;
            leftover.birth = entry.birth;
            app.leftovers.append(leftover);
        }
    }
    return true;
}

}  // namespace Varnex::Cleaner::Details
