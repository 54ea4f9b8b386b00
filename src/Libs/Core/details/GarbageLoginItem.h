#pragma once

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

// One application that starts when the user logs in (Platform/LoginItems.h),
// or did until the user switched it off. Its name is the file name without
// ".app"; its size is 0. Starts ready and unselected.
//
// Threads: the scope's. SetEnabled() changes the login list at once.
class GarbageLoginItem : public AbstractGarbage {
    Q_OBJECT
public:
    GarbageLoginItem(const QString& path, bool enabled, QObject* parent);

    QString GetName() const override { return m_name; }
    QString GetPath() const override { return m_path; }
    long long GetSize() const override { return 0; }
    void SetSize(long long) override {}
    bool AreAdminRightsRequired() const override { return false; }
    // Why the last switch failed; empty when it worked.
    QString GetDescription() const override { return m_problem; }

    // Puts the application into the login list (on) or takes it out, then
    // reads the list again: the flag shows where it really is. When the change
    // failed the item gets an error (UNKNOWN) and GetDescription() says why;
    // a later switch that works clears it.
    void SetEnabled(bool on) override;
    // Stores the flag without touching the login list (and notifies).
    void StoreEnabled(bool on) { AbstractGarbage::SetEnabled(on); }

private:
    QString m_name;
    QString m_path;
    QString m_problem;
    bool m_switchFailed = false;
};

}  // namespace Varnex::Cleaner::Details
