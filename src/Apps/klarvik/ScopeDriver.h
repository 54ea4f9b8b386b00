#pragma once

#include <QObject>
#include <QTimer>

#include "Core/AbstractGarbageScope.h"

namespace Klarvik {

// Drives one scope through a scan and a cleaning the way the application
// does: through its public calls and signals, waiting in the event loop. On a
// terminal it keeps a one-line progress display on standard error. Ctrl-C asks
// the running scan or cleaning to stop (a second Ctrl-C ends the program).
class ScopeDriver : public QObject {
    Q_OBJECT
public:
    using Scope = Varnex::Cleaner::AbstractGarbageScope;

    ScopeDriver(Scope* scope, bool showProgress, QObject* parent = nullptr);
    ~ScopeDriver() override;

    // Scans and returns how the scan finished.
    Scope::FinishReason Scan();
    // Cleans what is selected. False when the scope refused to start (nothing
    // to clean); otherwise *reason tells how the run finished.
    bool Clean(Scope::FinishReason* reason);

private:
    Scope::FinishReason Run(bool cleaning);
    void ShowProgress();
    void ClearProgress();

    Scope* m_scope;
    bool m_showProgress;
    bool m_cleaning = false;
    QTimer m_ticker;
};

}  // namespace Klarvik
