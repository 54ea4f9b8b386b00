#include "DuplicatesCommand.h"

#include <unistd.h>

#include <QJsonObject>
#include <QSet>

#include "CleanerCommon/Sizes.h"
#include "Core/GarbageItemModel.h"
#include "Core/details/DuplicatesGarbageScope.h"
#include "Core/details/DuplicatesScanner.h"
#include "Core/details/FileDates.h"
#include "RootCheck.h"
#include "RunOutput.h"
#include "ScopeDriver.h"
#include "ShownText.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::GarbageItemModel;
using Varnex::Cleaner::KEEP_NEWEST;
using Varnex::Cleaner::KEEP_OLDEST;
using Varnex::Cleaner::Details::DuplicatesGarbageScope;
using Varnex::Cleaner::Details::PathExists;

namespace {

// The copies a cleaning would be given, in tree order.
QStringList SelectedCopies(const DuplicatesGarbageScope& scope) {
    QStringList copies;
    for (AbstractGarbage* root : scope.GetRoots()) {
        for (AbstractGarbage* copy : root->GetChildren()) {
            if (copy->ShouldBeRemoved()) {
                copies.append(copy->GetPath());
            }
        }
    }
    return copies;
}

// Checks exactly the copies named. False, with a line for each, when a name
// is not a copy of the scan or would take every copy of a group (then
// nothing changed).
bool Select(DuplicatesGarbageScope& scope, const QStringList& selections) {
    const QSet<QString> wanted(selections.begin(), selections.end());
    QList<AbstractGarbage*> items;
    QSet<QString> found;
    bool ok = true;
    for (AbstractGarbage* root : scope.GetRoots()) {
        int taken = 0;
        for (AbstractGarbage* copy : root->GetChildren()) {
            if (wanted.contains(copy->GetPath())) {
                items.append(copy);
                found.insert(copy->GetPath());
                ++taken;
            }
        }
        if (taken > 0 && taken == root->GetChildren().size()) {
            Err(QStringLiteral("--select takes every copy of \"%1\": one must stay")
                    .arg(Shown(root->GetPath())));
            ok = false;
        }
    }
    for (const QString& path : selections) {
        if (!found.contains(path)) {
            Err(QStringLiteral("--select \"%1\": not a copy of the scan").arg(Shown(path)));
            ok = false;
        }
    }
    return ok && CheckExactly(scope, items);
}

QJsonObject DuplicatesSummary(const DuplicatesGarbageScope& scope,
                              AbstractGarbageScope::FinishReason reason) {
    QJsonObject doc;
    doc.insert("kind", ScopeKindName(ScopeKind::Duplicates));
    doc.insert("finished", AbstractGarbageScope::GetFinishReasonString(reason));
    doc.insert("groups", scope.GetRoots().size());
    doc.insert("total_items", scope.GetTotalItems());
    doc.insert("total_size", scope.GetTotalSize());
    doc.insert("cleaned_items", scope.GetTotalCleanedItems());
    doc.insert("cleaned_size", scope.GetTotalCleanedSize());
    return doc;
}

// Each group with its copies: "remove" for a selected copy, "keep" otherwise.
void WriteGroups(const DuplicatesGarbageScope& scope, AbstractGarbageScope::FinishReason reason) {
    long long copies = 0;
    for (AbstractGarbage* root : scope.GetRoots()) {
        const auto children = root->GetChildren();
        const long long size = children.isEmpty() ? 0 : children.first()->GetSize();
        Out() << Counted(children.size(), "copy", "copies") << " of " << FormatSize(size, 0)
              << ":\n";
        for (AbstractGarbage* copy : children) {
            Out() << (copy->ShouldBeRemoved() ? "  remove " : "  keep   ") << Shown(copy->GetPath())
                  << '\n';
            ++copies;
        }
    }
    Out() << "Total: " << Counted(scope.GetRoots().size(), "group", "groups") << ", "
          << Counted(copies, "copy", "copies") << " ("
          << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
}

}  // namespace

int RunDuplicates(const Options& options) {
    const bool cleaning = options.command == QLatin1String("clean");
    if (cleaning && !options.yes && !options.dryRun && !::isatty(STDIN_FILENO)) {
        Err(QStringLiteral("standard input is not a terminal: nothing is removed without --yes"));
        return EXIT_USAGE;
    }
    DuplicatesGarbageScope scope;
    for (const QString& path : options.paths) {
        const QString refusal = RootRefusal(path, cleaning, true);
        if (!refusal.isEmpty()) {
            Err(QStringLiteral("not searching \"%1\": %2").arg(Shown(path), refusal));
            return EXIT_USAGE;
        }
        scope.AddSearchPath(path);
    }
    for (const QString& e : options.exclusions) {
        scope.AddExclusion(e);
    }
    scope.SetUseTrash(!options.deleteFiles);
    if (!options.gentle) {
        scope.SetTaskInterval(0);  // someone is waiting at the terminal
    }
    GarbageItemModel model(&scope, false);
    ScopeDriver driver(&scope, !options.json);
    const AbstractGarbageScope::FinishReason scanned = driver.Scan();
    if (scanned == AbstractGarbageScope::DONE) {
        // One copy of every group stays unless --select says otherwise.
        scope.SetSelectionTrait(options.keep == QLatin1String("oldest") ? KEEP_OLDEST
                                                                        : KEEP_NEWEST);
        for (AbstractGarbage* root : scope.GetRoots()) {
            root->Select(true);
        }
        if (!options.selections.isEmpty() && !Select(scope, options.selections)) {
            return EXIT_USAGE;
        }
        // A search folder may hold the system's own folders (a home at
        // /var): their copies stay, named, or the run is refused when they
        // were asked for.
        bool refused = false;
        for (AbstractGarbage* root : scope.GetRoots()) {
            for (AbstractGarbage* copy : root->GetChildren()) {
                const QString refusal =
                    copy->ShouldBeRemoved() ? SystemFolderRefusal(copy->GetPath()) : QString();
                if (refusal.isEmpty()) {
                    continue;
                }
                Err(QStringLiteral("%1 \"%2\": %3")
                        .arg(options.selections.isEmpty() ? QStringLiteral("keeping")
                                                          : QStringLiteral("--select"),
                             Shown(copy->GetPath()), refusal));
                refused = !options.selections.isEmpty() || refused;
                copy->Select(false);
            }
        }
        if (refused) {
            return EXIT_USAGE;
        }
    }
    const QStringList copies = SelectedCopies(scope);
    if (!options.json) {
        WriteGroups(scope, scanned);
    }
    if (!cleaning || scanned != AbstractGarbageScope::DONE || options.dryRun || copies.isEmpty()) {
        if (options.json) {
            WriteDocument(DuplicatesSummary(scope, scanned), model,
                          {{QStringLiteral("would_remove"), PathList(copies)}});
        } else if (cleaning) {
            for (const QString& p : copies) {
                Out() << "would remove: " << Shown(p) << '\n';
            }
        }
        Out().flush();
        if (cleaning && scanned != AbstractGarbageScope::DONE) {
            Err(QStringLiteral("the scan did not finish: nothing was removed"));
        } else if (cleaning && copies.isEmpty()) {
            Err(QStringLiteral("nothing is selected for removal"));
        }
        if (ScopeDriver::WasInterrupted()) {
            return EXIT_INTERRUPTED;
        }
        return scanned == AbstractGarbageScope::DONE ? EXIT_DONE : EXIT_FAILED;
    }
    Out().flush();
    const QString where = options.deleteFiles ? QStringLiteral("Delete %1? [y/N] ")
                                              : QStringLiteral("Move %1 to the Trash? [y/N] ");
    Removal removal;
    const int stop =
        AskAndRemove(driver, where.arg(Counted(copies.size(), "copy", "copies")), options.yes,
                     copies, options.json ? RemovalLines::NONE : RemovalLines::TEXT, &removal);
    if (stop >= 0) {
        return stop;
    }
    const AbstractGarbageScope::FinishReason reason = removal.reason;
    const QStringList& removed = removal.removed;
    const QStringList& kept = removal.kept;
    if (options.json) {
        WriteDocument(DuplicatesSummary(scope, reason), model,
                      {{QStringLiteral("removed"), PathList(removed)},
                       {QStringLiteral("failed"), PathList(kept)}});
    } else {
        // A move to the Trash gives nothing back until the Trash is emptied.
        Out() << (options.deleteFiles ? "Deleted " : "Moved to the Trash ")
              << Counted(removed.size(), "copy", "copies")
              << (options.deleteFiles ? ", freed " : ", to be freed when the Trash is emptied: ")
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
