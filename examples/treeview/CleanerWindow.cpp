#include "CleanerWindow.h"

#include <QCloseEvent>

#include "Core/Cleaner.h"
#include "ScopeTab.h"

using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::Cleaner;

CleanerWindow::CleanerWindow(Cleaner* cleaner, QWidget* parent)
    : QTabWidget(parent), m_cleaner(cleaner) {
    setWindowTitle(tr("Klarvik"));
    const QList<QPair<QString, AbstractGarbageScope*>> scopes = {
        {tr("User caches"), cleaner->GetUserCacheScope()},
        {tr("User logs"), cleaner->GetUserLogsScope()},
        {tr("System caches"), cleaner->GetSystemCacheScope()},
        {tr("System logs"), cleaner->GetSystemLogsScope()},
        {tr("Languages"), cleaner->GetUnusedAppLanguagesScope()},
        {tr("System languages"), cleaner->GetUnusedSysLanguagesScope()},
        {tr("Applications"), cleaner->GetStandardApplicationsScope()},
        {tr("Other applications"), cleaner->GetThirdPartyApplicationsScope()},
        {tr("Leftovers"), cleaner->GetLeftoversScope()},
        {tr("Large and old"), cleaner->GetLargeAndOldScope()},
        {tr("Duplicates"), cleaner->GetDuplicatesScope()},
        {tr("Launch agents"), cleaner->GetLaunchAgentsScope()},
        {tr("Login items"), cleaner->GetLoginItemsScope()},
        {tr("Disk usage"), cleaner->GetDiskUsageScope()},
        {tr("Shredder"), cleaner->GetShredderScope()},
        {tr("Antivirus"), cleaner->GetAntiVirusScope()},
        // Only with a photo library.
        {tr("Photo trash"), cleaner->GetIPhotoTrashScope()},
    };
    for (const auto& [title, scope] : scopes) {
        if (!scope) {
            continue;
        }
        addTab(new ScopeTab(cleaner, scope, this), title);
    }
    for (const QString& volume : cleaner->GetTrashes()) {
        addTab(new ScopeTab(cleaner, cleaner->GetTrashScope(volume), this),
               tr("Trash (%1)").arg(volume));
    }
    resize(760, 520);
}

ScopeTab* CleanerWindow::Tab(const QString& title) const {
    for (int i = 0; i < count(); ++i) {
        if (tabText(i) == title) {
            return qobject_cast<ScopeTab*>(widget(i));
        }
    }
    return nullptr;
}

void CleanerWindow::closeEvent(QCloseEvent* event) {
    m_cleaner->WaitBeforeAppQuit();
    event->accept();
}
