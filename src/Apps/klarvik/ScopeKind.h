#pragma once

#include <QString>
#include <QStringList>

namespace Varnex::Cleaner::Details {
class SystemGarbageScope;
}

namespace Klarvik {

// The kinds of file-system scope the front end can drive, configured the way
// the application's facade configures them (exclusions, name filters,
// selection default, flags).
enum class ScopeKind {
    Caches,
    Logs,
    Trash,
    DiskUsage,
    Shredder,
    AppLanguages,
    SystemLanguages,
    Duplicates,
    LargeOld,
    LaunchAgents,
    LoginItems,
    Apps,
    ThirdPartyApps,
    Leftovers,
    AntiVirus,
    PhotoVacuum,
    PhotoTrash
};

// "caches", "logs", "trash", "disk-usage", "shredder", "app-languages",
// "system-languages", "duplicates", "large-old", "launch-agents",
// "login-items", "apps", "third-party-apps", "leftovers", "antivirus", "photo-vacuum", "photo-trash"; false for anything
// else.
bool ParseScopeKind(const QString& text, ScopeKind* kind);
QString ScopeKindName(ScopeKind kind);
QStringList ScopeKindNames();

// The kinds of localization scope (LanguagesCommand.h), which take no paths.
bool IsLanguageKind(ScopeKind kind);
// The kinds of application scope (ApplicationsCommand.h), which take no paths.
bool IsApplicationKind(ScopeKind kind);

// The kinds of StartupItemsCommand.h, which take no paths.
bool IsStartupKind(ScopeKind kind);

// Applies the kind's configuration to a scope whose roots are already set.
void ConfigureScope(ScopeKind kind, Varnex::Cleaner::Details::SystemGarbageScope* scope);

}  // namespace Klarvik
