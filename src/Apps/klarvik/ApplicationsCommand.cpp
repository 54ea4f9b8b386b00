#include "ApplicationsCommand.h"

#include <unistd.h>

#include <QJsonObject>
#include <QTextStream>
#include <memory>

#include "CleanerCommon/Sizes.h"
#include "Core/ApplicationInventory.h"
#include "Core/GarbageItemModel.h"
#include "Core/details/ApplicationGarbageScope.h"
#include "Core/details/AppsDBCache.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageApplication.h"
#include "Core/details/GarbageLeftover.h"
#include "RunOutput.h"
#include "ScopeDriver.h"
#include "ShownText.h"
#include "TreeReport.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::GarbageItemModel;
using Varnex::Cleaner::Details::ApplicationGarbageScope;
using Varnex::Cleaner::Details::GarbageApplication;
using Varnex::Cleaner::Details::PathExists;
namespace AppsDB = Varnex::Cleaner::Details::AppsDB;

namespace {

// The paths a cleaning would be given, in tree order.
QStringList SelectedPaths(const ApplicationGarbageScope& scope) {
    QStringList paths;
    for (AbstractGarbage* root : scope.GetRoots()) {
        if (auto* app = qobject_cast<GarbageApplication*>(root)) {
            paths += app->GetPaths();
        }
    }
    return paths;
}

bool Select(ApplicationGarbageScope& scope, const QStringList& selections) {
    QList<AbstractGarbage*> items;
    for (const QString& path : selections) {
        AbstractGarbage* found = scope.FindApplication(path);
        if (!found && scope.IsLeftoversScope()) {
            found = scope.FindLeftover(path);
        }
        if (!found) {
            Err(QStringLiteral("--select \"%1\": %2")
                    .arg(Shown(path),
                         scope.IsLeftoversScope()
                             ? QStringLiteral("not an application or a leftover of the scan")
                             : QStringLiteral("not an application of the scan")));
        }
        items.append(found);
    }
    return CheckExactly(scope, items);
}

QJsonObject Summary(const Options& options, const AbstractGarbageScope& scope,
                    AbstractGarbageScope::FinishReason reason) {
    QJsonObject doc;
    doc.insert("kind", ScopeKindName(options.kind));
    doc.insert("finished", AbstractGarbageScope::GetFinishReasonString(reason));
    doc.insert("total_items", scope.GetTotalItems());
    doc.insert("total_size", scope.GetTotalSize());
    doc.insert("cleaned_items", scope.GetTotalCleanedItems());
    doc.insert("cleaned_size", scope.GetTotalCleanedSize());
    return doc;
}

void WriteTotals(const AbstractGarbageScope& scope, AbstractGarbageScope::FinishReason reason) {
    Out() << "Total: " << scope.GetRoots().size() << " applications, "
          << Counted(scope.GetTotalItems(), "item", "items") << ", "
          << FormatSize(scope.GetTotalSize(), 0) << " ("
          << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
}

}  // namespace

int RunApplications(const Options& options) {
    const bool cleaning = options.command == QLatin1String("clean");
    if (cleaning && !options.yes && !options.dryRun && !::isatty(STDIN_FILENO)) {
        Err(QStringLiteral("standard input is not a terminal: nothing is removed without --yes"));
        return EXIT_USAGE;
    }
    // As the facade sets them up: the bundle search and its split, and the
    // database's applications.
    const Varnex::Cleaner::ApplicationCaches caches = Varnex::Cleaner::MakeApplicationCaches();
    auto records = std::make_shared<AppsDB::ApplicationRecordsCache>();
    records->SetFunction(AppsDB::MakeApplicationRecordsProducer());
    records->Refresh();
    std::shared_ptr<ApplicationGarbageScope::LocationsCache> locations;
    if (options.kind == ScopeKind::Apps) {
        locations = caches.standard;
    } else if (options.kind == ScopeKind::ThirdPartyApps) {
        locations = caches.other;
    }
    ApplicationGarbageScope scope(locations, records);
    scope.SetInstalledApplicationsCache(caches.paths);
    for (const QString& e : options.exclusions) {
        scope.AddExclusion(e);
    }
    GarbageItemModel model(&scope, false);
    ScopeDriver driver(&scope, !options.json);
    const AbstractGarbageScope::FinishReason scanned = driver.Scan();
    if (scanned == AbstractGarbageScope::DONE && !Select(scope, options.selections)) {
        return EXIT_USAGE;
    }
    const QStringList paths = SelectedPaths(scope);
    if (!options.json) {
        TreeReport(&model).WriteText(Out());
        WriteTotals(scope, scanned);
    }
    if (!cleaning || scanned != AbstractGarbageScope::DONE) {
        if (options.json) {
            WriteDocument(Summary(options, scope, scanned), model, {});
        }
        Out().flush();
        if (cleaning) {
            Err(QStringLiteral("the scan did not finish: nothing was removed"));
        }
        if (ScopeDriver::WasInterrupted()) {
            return EXIT_INTERRUPTED;
        }
        return scanned == AbstractGarbageScope::DONE ? EXIT_DONE : EXIT_FAILED;
    }
    if (options.dryRun || paths.isEmpty()) {
        if (options.json) {
            WriteDocument(Summary(options, scope, scanned), model,
                          {{QStringLiteral("would_remove"), PathList(paths)}});
        } else {
            for (const QString& p : paths) {
                Out() << "would remove: " << Shown(p) << '\n';
            }
        }
        Out().flush();
        if (paths.isEmpty()) {
            Err(QStringLiteral("nothing is selected for removal"));
        }
        return EXIT_DONE;
    }
    Out().flush();
    Removal removal;
    const int stop = AskAndRemove(
        driver, QStringLiteral("Remove %1? [y/N] ").arg(Counted(paths.size(), "item", "items")),
        options.yes, paths, options.json ? RemovalLines::NONE : RemovalLines::TEXT, &removal);
    if (stop >= 0) {
        return stop;
    }
    const AbstractGarbageScope::FinishReason reason = removal.reason;
    const QStringList& removed = removal.removed;
    const QStringList& kept = removal.kept;
    if (options.json) {
        WriteDocument(Summary(options, scope, reason), model,
                      {{QStringLiteral("removed"), PathList(removed)},
                       {QStringLiteral("failed"), PathList(kept)}});
    } else {
        Out() << "Removed " << Counted(removed.size(), "item", "items") << ", freed "
              << FormatSize(scope.GetLastCleanedSize(), 0) << "; " << kept.size()
              << " not removed (" << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
    }
    Out().flush();
    if (ScopeDriver::WasInterrupted()) {
        return EXIT_INTERRUPTED;
    }
    return reason == AbstractGarbageScope::DONE && kept.isEmpty() ? EXIT_DONE : EXIT_FAILED;
}

}  // namespace Klarvik
