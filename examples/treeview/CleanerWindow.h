#pragma once

#include <QTabWidget>

class ScopeTab;
namespace Varnex::Cleaner {
class Cleaner;
}

// A small window over the facade: one tab per scope, each with its tree, its
// sizes and its Scan and Clean buttons. Closing the window waits for the
// scans and cleanings to stop, as an application must before it quits.
class CleanerWindow : public QTabWidget {
    Q_OBJECT
public:
    explicit CleanerWindow(Varnex::Cleaner::Cleaner* cleaner, QWidget* parent = nullptr);

    // The tab of a scope title ("User caches", ...), or null.
    ScopeTab* Tab(const QString& title) const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Varnex::Cleaner::Cleaner* m_cleaner;
};
