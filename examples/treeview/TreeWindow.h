#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <QWidget>

#include "Core/details/SystemGarbageScope.h"

class CheckBoxProxyModel;
namespace Varnex::Cleaner {
class GarbageItemModel;
}

// A window that shows one file-system scope as a tree with check boxes, sizes
// and a status line; Scan and Clean drive the scope as the application would.
class TreeWindow : public QWidget {
    Q_OBJECT
public:
    explicit TreeWindow(const QStringList& roots, QWidget* parent = nullptr);
    ~TreeWindow() override;

    Varnex::Cleaner::Details::SystemGarbageScope* Scope() { return m_scope; }
    QTreeView* View() { return m_view; }
    QString StatusText() const { return m_status->text(); }

public slots:
    void Scan();
    void Clean();

private:
    void UpdateStatus();

    Varnex::Cleaner::Details::SystemGarbageScope* m_scope;
    Varnex::Cleaner::GarbageItemModel* m_model;
    CheckBoxProxyModel* m_proxy;
    QTreeView* m_view;
    QLabel* m_status;
    QPushButton* m_scanButton;
    QPushButton* m_cleanButton;
    QTimer m_statusTimer;  // coalesces item changes into one status update
};
