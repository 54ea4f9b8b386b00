#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <QWidget>

class CheckBoxProxyModel;
namespace Varnex::Cleaner {
class AbstractGarbageScope;
class Cleaner;
class GarbageItemModel;
}  // namespace Varnex::Cleaner

// One scope of the facade as the application shows it: the tree with check
// boxes and sizes, a status line, and Scan and Clean buttons that go through
// the facade (which refuses what cannot be done now).
class ScopeTab : public QWidget {
    Q_OBJECT
public:
    ScopeTab(Varnex::Cleaner::Cleaner* cleaner, Varnex::Cleaner::AbstractGarbageScope* scope,
             QWidget* parent = nullptr);
    ~ScopeTab() override;

    Varnex::Cleaner::AbstractGarbageScope* Scope() const { return m_scope; }
    QTreeView* View() const { return m_view; }
    QString StatusText() const { return m_status->text(); }

public slots:
    void Scan();
    void Clean();

private:
    void UpdateStatus();

    Varnex::Cleaner::Cleaner* m_cleaner;
    Varnex::Cleaner::AbstractGarbageScope* m_scope;
    Varnex::Cleaner::GarbageItemModel* m_model;
    CheckBoxProxyModel* m_proxy;
    QTreeView* m_view;
    QLabel* m_status;
    QPushButton* m_scanButton;
    QPushButton* m_cleanButton;
    QTimer m_statusTimer;  // coalesces item changes into one status update
};
