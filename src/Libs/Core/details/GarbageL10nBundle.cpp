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
    if (m_firstEntry.contains(path)) {
        m_hasRepeats = true;
    } else {
        m_firstEntry.insert(path, m_paths.size());
    }
    m_hasSlashEnded = m_hasSlashEnded || path.endsWith(QLatin1Char('/'));
    m_paths.append(Path{path, false, 0});
}

template <class F>
int GarbageL10nBundle::ForEachEntry(const QString& path, F&& f) {
    const auto first = m_firstEntry.constFind(path);
    if (first == m_firstEntry.constEnd()) {
        return 0;
    }
    if (!m_hasRepeats) {
        f(m_paths[*first]);
        return 1;
    }
    int n = 0;
    for (int i = *first; i < m_paths.size(); ++i) {
        if (m_paths[i].path == path) {
            f(m_paths[i]);
            ++n;
        }
    }
    return n;
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
    // A stored folder is the path itself or one of the folders above it.
    QString at = path;
    while (!at.isEmpty()) {
        if (m_firstEntry.contains(at)) {
            return true;
        }
        const int slash = at.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0) {
            break;
        }
        at.truncate(slash);
    }
    // Stored folders spelled with a trailing '/' (never by the scope).
    if (!m_hasSlashEnded) {
        return false;
    }
    for (auto it = m_firstEntry.constBegin(); it != m_firstEntry.constEnd(); ++it) {
        if (it.key().endsWith(QLatin1Char('/')) && IsInside(path, it.key())) {
            return true;
        }
    }
    return false;
}

void GarbageL10nBundle::SetPathClean(const QString& path, bool clean) {
    ForEachEntry(path, [this, clean](Path& p) {
        if (p.isClean != clean) {
            p.isClean = clean;
            m_cleanEntries += clean ? 1 : -1;
        }
    });
    SetClean(m_cleanEntries == m_paths.size());
}

bool GarbageL10nBundle::IsPathClean(const QString& path) const {
    const auto first = m_firstEntry.constFind(path);
    return first == m_firstEntry.constEnd() || m_paths.at(*first).isClean;
}

void GarbageL10nBundle::AddSizeForPath(const QString& path, long long size) {
    if (size < 1) {
        return;
    }
    if (ForEachEntry(path, [size](Path& p) { p.size += size; }) == 0) {
        return;
    }
    SetSize(m_size + size);  // notifies
    if (AbstractGarbage* parent = GetParent()) {
        parent->UpdateSize();
    }
}

long long GarbageL10nBundle::GetSizeForPath(const QString& path) const {
    const auto first = m_firstEntry.constFind(path);
    return first == m_firstEntry.constEnd() ? 0 : m_paths.at(*first).size;
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
