#pragma once

#include <QDateTime>
#include <QStringList>

#include "Core/AbstractGarbage.h"
#include "Core/details/GarbageLeftoverGroup.h"

namespace Varnex::Cleaner::Details {

// One installed application bundle with the groups of its related files: the
// bundle itself in the group "Binaries", and its leftovers in the library
// folders. Starts unchecked.
//
// Threads: the scope's thread. The constructor reads the bundle's Info.plist;
// unless it is given the last-use date, it also runs `mdls` for it, a child
// process that may take up to mdlsTimeLimitMs. Creators on the main thread
// read the dates in the background first (ReadLastUsedTime() is safe on any
// thread) and pass them in. Children are owned through the Qt parent.
class GarbageApplication : public AbstractGarbage {
    Q_OBJECT
public:
    // How long `mdls` may take before it is stopped and the creation time
    // stands in: 5 seconds.
    static constexpr int mdlsTimeLimitMs = 5000;

    // `bundleId` may be empty: it is then read from the bundle. Only an
    // absolute path of an existing folder counts as an existing bundle; an
    // empty or relative one never does (it would name the current folder), and
    // such an item has no children and so nothing to remove.
    GarbageApplication(const QString& path, const QString& bundleId, QObject* parent);
    // The same with the last-use date already read (ReadLastUsedTime()); an
    // invalid `lastUsed` is read here as by the form above.
    GarbageApplication(const QString& path, const QString& bundleId, const QDateTime& lastUsed,
                       QObject* parent);

    // Any thread: the last use of the bundle at `path` as `mdls` reports it
    // ("kMDItemLastUsedDate"), converted to local time; the creation time when
    // mdls gives no date, fails or runs past mdlsTimeLimitMs (logged); invalid
    // when the path does not exist.
    static QDateTime ReadLastUsedTime(const QString& path);

    QString GetId() const { return m_bundleId; }
    bool Exists() const { return m_exists; }

    // Becomes the group's parent and appends it (null is ignored).
    void AddLeftoverGroup(GarbageLeftoverGroup* group);
    // The first child group named `name`, or null.
    GarbageLeftoverGroup* GetLeftoverGroup(const QString& name);
    const GarbageLeftoverGroup* GetLeftoverGroup(const QString& name) const;
    // GetPaths() of every group, in child order.
    QStringList GetPaths() const;
    // The size of the "Binaries" group, 0 without one.
    long long GetBundleSize() const;
    // Adds a measured size to the bundle entry of "Binaries" (ignored unless >= 1).
    void AddBundleSize(long long size);
    void SetBundleClean(bool clean);

    QString GetName() const override { return m_name; }
    QString GetPath() const override { return m_path; }
    long long GetSize() const override { return m_size; }
    QDateTime GetLastReadTime() const override { return m_lastUsed; }
    bool AreAdminRightsRequired() const override { return true; }
    GarbageList GetChildren() const override { return m_leftoverGroups; }
    void UpdateSize() override;
    void SetSize(long long size) override;  // stores and notifies

    // The name of the group that holds the bundle itself.
    static const QString binariesName;

private:
    QString m_name;
    QString m_path;
    QString m_bundleId;
    long long m_size = 0;
    GarbageList m_leftoverGroups;
    bool m_exists = false;
    QDateTime m_lastUsed;
};

}  // namespace Varnex::Cleaner::Details
