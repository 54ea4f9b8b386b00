#include "TreeWindow.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "CheckBoxProxyModel.h"
#include "CleanerCommon/Sizes.h"
#include "Core/GarbageItemModel.h"

using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::GarbageItemModel;
using Varnex::Cleaner::Details::SystemGarbageScope;

TreeWindow::TreeWindow(const QStringList& roots, QWidget* parent)
    : QWidget(parent),
      m_scope(new SystemGarbageScope(roots, this)),
      m_model(new GarbageItemModel(m_scope, false, this)),
      m_proxy(new CheckBoxProxyModel(this)),
      m_view(new QTreeView(this)),
      m_status(new QLabel(this)),
      m_scanButton(new QPushButton(tr("Scan"), this)),
      m_cleanButton(new QPushButton(tr("Clean"), this)) {
    setWindowTitle(tr("Klarvik tree view"));
    m_proxy->setSourceModel(m_model);
    m_view->setModel(m_proxy);
    // Name, size, error and status are what a person reads; the rest is data.
    for (int c = GarbageItemModel::SELECTED_COLUMN; c < GarbageItemModel::COLUMN_COUNT; ++c) {
        m_view->setColumnHidden(c, true);
    }
    m_view->header()->setSectionResizeMode(GarbageItemModel::NAME_COLUMN, QHeaderView::Stretch);
    m_view->setUniformRowHeights(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    buttons->addWidget(m_scanButton);
    buttons->addWidget(m_cleanButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_view, 1);
    layout->addLayout(buttons);

    connect(m_scanButton, &QPushButton::clicked, this, &TreeWindow::Scan);
    connect(m_cleanButton, &QPushButton::clicked, this, &TreeWindow::Clean);
    for (auto signal :
         {&AbstractGarbageScope::ScanningStarted, &AbstractGarbageScope::CleaningStarted}) {
        connect(m_scope, signal, this, &TreeWindow::UpdateStatus);
    }
    connect(m_scope, &AbstractGarbageScope::ScanningFinished, this, [this] {
        m_view->expandToDepth(1);
        UpdateStatus();
    });
    connect(m_scope, &AbstractGarbageScope::CleaningFinished, this, &TreeWindow::UpdateStatus);
    // The selected size walks the tree: worked out once per burst of changes.
    m_statusTimer.setSingleShot(true);
    m_statusTimer.setInterval(100);
    connect(&m_statusTimer, &QTimer::timeout, this, &TreeWindow::UpdateStatus);
    connect(m_scope, &AbstractGarbageScope::ItemChanged, &m_statusTimer,
            static_cast<void (QTimer::*)()>(&QTimer::start));
    UpdateStatus();
    resize(720, 480);
}

TreeWindow::~TreeWindow() = default;

void TreeWindow::Scan() {
    m_scope->StartScanning();
}

void TreeWindow::Clean() {
    m_scope->StartCleaning();
}

void TreeWindow::UpdateStatus() {
    const bool busy = m_scope->IsScanning() || m_scope->IsCleaning();
    m_scanButton->setEnabled(!busy);
    m_cleanButton->setEnabled(!busy && m_scope->IsCleaningPossible());
    QString state = tr("Ready");
    if (m_scope->IsScanning()) {
        state = tr("Scanning");
    } else if (m_scope->IsCleaning()) {
        state = tr("Cleaning");
    }
    m_status->setText(tr("%1 — %2 items, %3; %4 selected; %5 cleaned")
                          .arg(state)
                          .arg(m_scope->GetTotalItems())
                          .arg(FormatSize(m_scope->GetTotalSize(), 0))
                          .arg(FormatSize(m_scope->GetSelectedSize(), 0))
                          .arg(FormatSize(m_scope->GetTotalCleanedSize(), 0)));
}
