#include "Core/details/GarbageL10nBundle.h"

#include <glog/logging.h>

#include "CleanerCommon/Paths.h"

namespace Varnex::Cleaner::Details {

const QString GarbageL10nBundle::systemBundleName = QStringLiteral("System");

namespace {

bool IsSystemOrEmpty(const QString& path) {
    return path.isEmpty() || IsSystemBundle(path);
}

// `path` is `folder` or lies inside it, by whole components.
bool IsInside(const QString& path, const QString& folder) {
    if (folder.isEmpty() || !path.startsWith(folder)) {
        return false;
    }
    return path.size() == folder.size() || folder.endsWith(QLatin1Char('/')) ||
           path.at(folder.size()) == QLatin1Char('/');
}

}  // namespace

QString GetL10nBundleName(const QString& path) {
    return IsSystemOrEmpty(path) ? GarbageL10nBundle::systemBundleName : ExtractBundleName(path);
}

bool IsSystemBundle(const QString& path) {
    for (const QString& prefix : GetSystemLibraryPrefixes()) {
        if (!prefix.isEmpty() && (path == prefix || path.startsWith(prefix + QLatin1Char('/')))) {
            return true;
        }
    }
    return false;
}

GarbageL10nBundle::GarbageL10nBundle(const QString& path, QObject* parent)
    : AbstractGarbage(parent),
      m_name(GetL10nBundleName(path)),
      m_path(IsSystemOrEmpty(path) ? QString() : path) {}

void GarbageL10nBundle::AddPath(const QString& path) {
    if (path.isEmpty()) {
        LOG(WARNING) << "An empty localization path is ignored in " << m_name.toStdString();
        return;
    }
    m_paths.append(Path{path, false, 0});
}

QStringList GarbageL10nBundle::GetPaths() const {
    QStringList paths;
    paths.reserve(m_paths.size());
    for (const Path& p : m_paths) {
        paths.append(p.path);
    }
    return paths;
}

bool GarbageL10nBundle::ContainsPath(const QString& path) const {
    for (const Path& p : m_paths) {
        if (IsInside(path, p.path)) {
            return true;
        }
    }
    return false;
}

void GarbageL10nBundle::SetPathClean(const QString& path, bool clean) {
    bool allClean = true;
    for (Path& p : m_paths) {
        if (p.path == path) {
            p.isClean = clean;
        }
        allClean = allClean && p.isClean;
    }
    SetClean(allClean);
}

bool GarbageL10nBundle::IsPathClean(const QString& path) const {
    for (const Path& p : m_paths) {
        if (p.path == path) {
            return p.isClean;
        }
    }
    return true;
}

void GarbageL10nBundle::AddSizeForPath(const QString& path, long long size) {
    if (size < 1) {
        return;
    }
    bool matched = false;
    for (Path& p : m_paths) {
        if (p.path == path) {
            p.size += size;
            matched = true;
        }
    }
    if (!matched) {
        return;
    }
    SetSize(m_size + size);  // notifies
    if (AbstractGarbage* parent = GetParent()) {
        parent->UpdateSize();
    }
}

long long GarbageL10nBundle::GetSizeForPath(const QString& path) const {
    for (const Path& p : m_paths) {
        if (p.path == path) {
            return p.size;
        }
    }
    return 0;
}

void GarbageL10nBundle::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
    if (size != old) {
        NotifyChanged();
    }
}

}  // namespace Varnex::Cleaner::Details
