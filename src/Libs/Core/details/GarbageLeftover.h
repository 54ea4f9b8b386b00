#pragma once

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

// Something an application left behind (a cache, preferences, a saved state).
class GarbageLeftover : public AbstractGarbage {
    Q_OBJECT
public:
    GarbageLeftover(const QString& path, long long size, QObject* parent);

    // Ignored unless delta >= 1; adds it, notifies, and re-sums the parent.
    void AddSize(long long delta);

    QString GetName() const override { return m_name; }
    QString GetPath() const override { return m_path; }
    long long GetSize() const override { return m_size; }
    void SetSize(long long size) override;
    bool AreAdminRightsRequired() const override { return true; }

private:
    QString m_name;
    QString m_path;
    long long m_size;
};

}  // namespace Varnex::Cleaner::Details
