#include "ScopeTab.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "CheckBoxProxyModel.h"
#include "CleanerCommon/Sizes.h"
#include "Core/Cleaner.h"
#include "Core/GarbageItemModel.h"

using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::Cleaner;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::GarbageItemModel;

ScopeTab::ScopeTab(Cleaner* cleaner, AbstractGarbageScope* scope, QWidget* parent)
    : QWidget(parent),
      m_cleaner(cleaner),
      m_scope(scope),
      m_model(new GarbageItemModel(scope, false, this)),
      m_proxy(new CheckBoxProxyModel(this)),
      m_view(new QTreeView(this)),
      m_status(new QLabel(this)),
      m_scanButton(new QPushButton(tr("Scan"), this)),
      m_cleanButton(new QPushButton(tr("Clean"), this)) {
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

    connect(m_scanButton, &QPushButton::clicked, this, &ScopeTab::Scan);
    connect(m_cleanButton, &QPushButton::clicked, this, &ScopeTab::Clean);
    for (auto signal :
         {&AbstractGarbageScope::ScanningStarted, &AbstractGarbageScope::CleaningStarted}) {
        connect(m_scope, signal, this, &ScopeTab::UpdateStatus);
    }
    connect(m_scope, &AbstractGarbageScope::ScanningFinished, this, [this] {
        m_view->expandToDepth(1);
        UpdateStatus();
    });
    connect(m_scope, &AbstractGarbageScope::CleaningFinished, this, &ScopeTab::UpdateStatus);
    // The selected size walks the tree: worked out once per burst of changes.
    m_statusTimer.setSingleShot(true);
    m_statusTimer.setInterval(100);
    connect(&m_statusTimer, &QTimer::timeout, this, &ScopeTab::UpdateStatus);
    connect(m_scope, &AbstractGarbageScope::ItemChanged, &m_statusTimer,
            static_cast<void (QTimer::*)()>(&QTimer::start));
    UpdateStatus();
}

ScopeTab::~ScopeTab() = default;

void ScopeTab::Scan() {
    m_cleaner->StartScanning(m_scope);
}

void ScopeTab::Clean() {
    m_cleaner->StartCleaning(m_scope);
}

void ScopeTab::UpdateStatus() {
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
