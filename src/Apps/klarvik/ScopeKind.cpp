#include "ScopeKind.h"

#include <QDir>

#include "CleanerCommon/CurrentUser.h"
#include "Core/details/SystemGarbageScope.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::Details::SystemGarbageScope;

namespace {

struct KindName {
    ScopeKind kind;
    const char* name;
};

const KindName kindNames[] = {{ScopeKind::Caches, "caches"},
                              {ScopeKind::Logs, "logs"},
                              {ScopeKind::Trash, "trash"},
                              {ScopeKind::DiskUsage, "disk-usage"},
                              {ScopeKind::Shredder, "shredder"},
                              {ScopeKind::AppLanguages, "app-languages"},
                              {ScopeKind::SystemLanguages, "system-languages"},
                              {ScopeKind::Duplicates, "duplicates"},
                              {ScopeKind::LargeOld, "large-old"},
                              {ScopeKind::LaunchAgents, "launch-agents"},
                              {ScopeKind::LoginItems, "login-items"},
                              {ScopeKind::Apps, "apps"},
                              {ScopeKind::ThirdPartyApps, "third-party-apps"},
                              {ScopeKind::Leftovers, "leftovers"},
                              {ScopeKind::AntiVirus, "antivirus"},
                              {ScopeKind::PhotoVacuum, "photo-vacuum"},
                              {ScopeKind::PhotoTrash, "photo-trash"}};

}  // namespace

bool ParseScopeKind(const QString& text, ScopeKind* kind) {
    for (const KindName& k : kindNames) {
        if (text == QLatin1String(k.name)) {
            *kind = k.kind;
            return true;
        }
    }
    return false;
}

QString ScopeKindName(ScopeKind kind) {
    for (const KindName& k : kindNames) {
        if (k.kind == kind) {
            return QLatin1String(k.name);
        }
    }
    return QString();
}

QStringList ScopeKindNames() {
    QStringList names;
    for (const KindName& k : kindNames) {
        names.append(QLatin1String(k.name));
    }
    return names;
}

bool IsLanguageKind(ScopeKind kind) {
    return kind == ScopeKind::AppLanguages || kind == ScopeKind::SystemLanguages;
}

bool IsStartupKind(ScopeKind kind) {
    return kind == ScopeKind::LaunchAgents || kind == ScopeKind::LoginItems;
}

bool IsApplicationKind(ScopeKind kind) {
    return kind == ScopeKind::Apps || kind == ScopeKind::ThirdPartyApps ||
           kind == ScopeKind::Leftovers;
}

void ConfigureScope(ScopeKind kind, SystemGarbageScope* scope) {
    switch (kind) {
        case ScopeKind::Caches: {
            for (const char* e : {"Varnex", "Metadata/Safari", "com.apple.IconServices",
                                  "com.apple.FontRegistry", "com.apple.helpd"}) {
                scope->AddExclusion(QLatin1String(e));
            }
            const QString darwinCache = Varnex::Cleaner::GetDarwinUserCachePath();
            if (!darwinCache.isEmpty()) {
                scope->AddExclusion(QDir(darwinCache).absoluteFilePath(QStringLiteral("mds")));
            }
            scope->SetItemNameFilter([](AbstractGarbage* item) { return item->GetPath(); }, 0, 0);
            break;
        }
        case ScopeKind::Logs:
            scope->AddExclusion(QStringLiteral("Varnex"));
            scope->SetItemNameFilter([](AbstractGarbage* item) { return item->GetName(); }, 0, 0);
            break;
        case ScopeKind::Trash:
            break;
        case ScopeKind::DiskUsage:
            scope->SetItemsSelectedByDefault(false);
            scope->SetScanUnsafePaths(true);
            break;
        case ScopeKind::Shredder:
            scope->EnableFillingFilesWithGarbage(true);
            break;
        case ScopeKind::AppLanguages:
        case ScopeKind::SystemLanguages:
        case ScopeKind::Duplicates:
        case ScopeKind::LargeOld:
        case ScopeKind::LaunchAgents:
        case ScopeKind::LoginItems:
        case ScopeKind::Apps:
        case ScopeKind::ThirdPartyApps:
        case ScopeKind::Leftovers:
        case ScopeKind::AntiVirus:
        case ScopeKind::PhotoVacuum:
        case ScopeKind::PhotoTrash:
            break;  // scopes of their own
    }
}

}  // namespace Klarvik
