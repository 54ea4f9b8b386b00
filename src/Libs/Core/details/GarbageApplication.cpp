#include "Core/details/GarbageApplication.h"

#include <glog/logging.h>
#include <sys/stat.h>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Process.h"
#include "Core/details/FileDates.h"
#include "Core/details/MdlsOutput.h"
#include "Platform/BundleInfo.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

const QString GarbageApplication::binariesName = QStringLiteral("Binaries");

namespace {

const QString mdlsProgram = QStringLiteral("mdls");
const QString lastUsedAttribute = QStringLiteral("kMDItemLastUsedDate");

QString NameFromPath(const QString& path) {
    const QStringList parts = path.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    QString name = parts.isEmpty() ? path : parts.last();
    name.remove(QStringLiteral(".app"), Qt::CaseSensitive);
    return name;
}

// A relative or empty path would be taken against the current folder.
bool IsExistingFolder(const QString& path) {
    std::string bytes;
    struct stat st;
    return path.startsWith(QLatin1Char('/')) && Platform::EncodePath(path, &bytes) &&
           ::stat(bytes.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

// Built without a parent and handed to it at the end, so that nothing of the
// construction reaches the scope's slots while the item is half made.
GarbageApplication::GarbageApplication(const QString& path, const QString& bundleId,
                                       QObject* parent)
    : GarbageApplication(path, bundleId, QDateTime(), parent) {}

GarbageApplication::GarbageApplication(const QString& path, const QString& bundleId,
                                       const QDateTime& lastUsed, QObject* parent)
    : AbstractGarbage(nullptr), m_name(NameFromPath(path)), m_path(path), m_bundleId(bundleId) {
    SetCheckState(UNCHECKED);
    m_exists = IsExistingFolder(m_path);
    if (m_exists) {
        const Platform::BundleInfo info(m_path);
        if (m_bundleId.isEmpty()) {
            m_bundleId = info.GetIdentifier();
        }
        const QString bundleName = info.GetName();
        if (!bundleName.isEmpty()) {
            m_name = bundleName;
        }
        auto* binaries = new GarbageLeftoverGroup(m_path, binariesName, nullptr);
        binaries->AddLeftover(new GarbageLeftover(m_path, 0, nullptr));
        AddLeftoverGroup(binaries);
        UpdateSize();
        m_lastUsed = lastUsed.isValid() ? lastUsed : ReadLastUsedTime(m_path);
    }
    setParent(parent);
}

QDateTime GarbageApplication::ReadLastUsedTime(const QString& path) {
    if (!PathExists(path)) {
        return QDateTime();
    }
    const QString output =
        ReadProcess(mdlsProgram, QStringList{QStringLiteral("-name"), lastUsedAttribute, path},
                    mdlsTimeLimitMs);
    if (output.trimmed().isEmpty()) {
        LOG(ERROR) << "Can't read: mdls -name kMDItemLastUsedDate " << Util::LogText(path);
        return GetCreationTime(path);
    }
    const QDateTime used = MdlsOutput::ParseLastUsedDate(output);
    if (!used.isValid()) {
        LOG(WARNING) << "Can't parse a datetime (" << Util::LogText(output.trimmed())
                     << "): " << Util::LogText(path);
        return GetCreationTime(path);
    }
    return used;
}

void GarbageApplication::AddLeftoverGroup(GarbageLeftoverGroup* group) {
    if (!group) {
        return;
    }
    group->setParent(this);
    m_leftoverGroups.append(group);
    ChildListChanged();
    UpdateSize();
}

GarbageLeftoverGroup* GarbageApplication::GetLeftoverGroup(const QString& name) {
    for (AbstractGarbage* child : m_leftoverGroups) {
        if (child->GetName() == name) {
            return qobject_cast<GarbageLeftoverGroup*>(child);
        }
    }
    return nullptr;
}

const GarbageLeftoverGroup* GarbageApplication::GetLeftoverGroup(const QString& name) const {
    return const_cast<GarbageApplication*>(this)->GetLeftoverGroup(name);
}

QStringList GarbageApplication::GetPaths() const {
    QStringList paths;
    for (const AbstractGarbage* child : m_leftoverGroups) {
        if (const auto* group = qobject_cast<const GarbageLeftoverGroup*>(child)) {
            paths += group->GetPaths();
        }
    }
    return paths;
}

long long GarbageApplication::GetBundleSize() const {
    const GarbageLeftoverGroup* binaries = GetLeftoverGroup(binariesName);
    return binaries ? binaries->GetSize() : 0;
}

void GarbageApplication::AddBundleSize(long long size) {
    GarbageLeftoverGroup* binaries = GetLeftoverGroup(binariesName);
    if (!binaries) {
        return;
    }
    const GarbageList leftovers = binaries->GetChildren();
    if (leftovers.isEmpty()) {
        return;
    }
    if (auto* bundle = qobject_cast<GarbageLeftover*>(leftovers.first())) {
        bundle->AddSize(size);
    }
}

void GarbageApplication::SetBundleClean(bool clean) {
    if (GarbageLeftoverGroup* binaries = GetLeftoverGroup(binariesName)) {
        binaries->SetBundleClean(clean);
    }
}

void GarbageApplication::UpdateSize() {
    AbstractGarbage::UpdateSize();
    if (AbstractGarbage* parent = GetParent()) {
        parent->UpdateSize();
    }
}

void GarbageApplication::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
    NotifyChanged();
}

}  // namespace Varnex::Cleaner::Details
