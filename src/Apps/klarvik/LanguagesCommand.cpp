#include "LanguagesCommand.h"

#include <unistd.h>

#include <QFile>
#include <QJsonObject>
#include <QTextStream>
#include <cstdio>

#include "CleanerCommon/Paths.h"
#include "CleanerCommon/Sizes.h"
#include "Core/ApplicationInventory.h"
#include "Core/GarbageItemModel.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageL10nBundle.h"
#include "Core/details/L10nGarbageScope.h"
#include "Platform/SystemRoot.h"
#include "RunOutput.h"
#include "TreeCensus.h"
#include "ScopeDriver.h"
#include "ShownText.h"
#include "TreeReport.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::GarbageItemModel;
using Varnex::Cleaner::Details::GarbageL10nBundle;
using Varnex::Cleaner::Details::L10nGarbageScope;
using Varnex::Cleaner::Details::PathExists;

namespace {

// The folders a cleaning would be given, in tree order.
QStringList SelectedFolders(const L10nGarbageScope& scope) {
    QStringList folders;
    for (AbstractGarbage* root : scope.GetRoots()) {
        for (AbstractGarbage* child : root->GetChildren()) {
            auto* bundle = qobject_cast<GarbageL10nBundle*>(child);
            if (!bundle || !bundle->ShouldBeRemoved()) {
                continue;
            }
            for (const QString& path : bundle->GetPaths()) {
                if (!bundle->IsPathClean(path)) {
                    folders.append(path);
                }
            }
        }
    }
    return folders;
}

// Checks exactly the languages named, unchecks the rest; false with a line for
// each name that is not in the tree (then nothing changed).
bool Select(L10nGarbageScope& scope, const QStringList& selections) {
    QList<AbstractGarbage*> items;
    for (const QString& path : selections) {
        AbstractGarbage* found = nullptr;
        for (AbstractGarbage* root : scope.GetRoots()) {
            if (root->GetPath() == path) {
                found = root;
            }
        }
        if (!found) {
            Err(QStringLiteral("--select \"%1\": not a language of the scan").arg(Shown(path)));
        }
        items.append(found);
    }
    return CheckExactly(scope, items);
}

// The totals beside the tree of the --json document, with the items in
// error (localizations a code signature seals among them).
QJsonObject LanguagesSummary(const Options& options, const AbstractGarbageScope& scope,
                             AbstractGarbageScope::FinishReason reason) {
    return Summary(options, scope, reason, TreeCensus::Of(scope, false));
}

void WriteTotals(const AbstractGarbageScope& scope, AbstractGarbageScope::FinishReason reason) {
    Out() << "Total: " << Counted(scope.GetTotalItems(), "item", "items") << ", "
          << FormatSize(scope.GetTotalSize(), 0) << " ("
          << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
}

}  // namespace

int RunLanguages(const Options& options) {
    const bool cleaning = options.command == QLatin1String("clean");
    if (cleaning && !options.yes && !options.dryRun && !::isatty(STDIN_FILENO)) {
        Err(QStringLiteral("standard input is not a terminal: nothing is removed without --yes"));
        return EXIT_USAGE;
    }
    const bool system = options.kind == ScopeKind::SystemLanguages;
    auto apps = std::make_shared<Varnex::Cleaner::ApplicationPathsCache>();
    apps->SetFunction(Varnex::Cleaner::MakeApplicationPathsProducer());
    apps->Refresh();
    L10nGarbageScope scope(apps, system);
    if (!system) {
        scope.AddExclusionChecker(&Varnex::Cleaner::IsL10nOfProtectedApplication);
    }
    for (const QString& e : options.exclusions) {
        scope.AddExclusion(e);
    }
    GarbageItemModel model(&scope, false);
    ScopeDriver driver(&scope, !options.json);
    const AbstractGarbageScope::FinishReason scanned = driver.Scan();
    // What the scan found is kept for the next run.
    scope.WaitForCaching();
    if (scanned == AbstractGarbageScope::DONE && !Select(scope, options.selections)) {
        return EXIT_USAGE;
    }
    const QStringList folders = SelectedFolders(scope);
    if (!cleaning || scanned != AbstractGarbageScope::DONE) {
        if (options.json) {
            WriteDocument(LanguagesSummary(options, scope, scanned), model, {});
        } else {
            TreeReport(&model).WriteText(Out());
            WriteTotals(scope, scanned);
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
    if (!options.json) {
        TreeReport(&model).WriteText(Out());
        WriteTotals(scope, scanned);
    }
    if (options.dryRun || folders.isEmpty()) {
        if (options.json) {
            WriteDocument(LanguagesSummary(options, scope, scanned), model,
                          {{QStringLiteral("would_remove"), PathList(folders)}});
        } else {
            for (const QString& p : folders) {
                Out() << "would remove: " << Shown(p) << '\n';
            }
        }
        Out().flush();
        if (folders.isEmpty()) {
            Err(QStringLiteral("nothing is selected for removal"));
        }
        return EXIT_DONE;
    }
    Out().flush();
    if (!options.yes) {
        const ScopeDriver::Answer answer = driver.Ask(
            QStringLiteral("Remove %1? [y/N] ").arg(Counted(folders.size(), "folder", "folders")));
        if (answer != ScopeDriver::Answer::YES) {
            Err(QStringLiteral("nothing was removed"));
            return answer == ScopeDriver::Answer::INTERRUPTED ? EXIT_INTERRUPTED : EXIT_FAILED;
        }
    }
    AbstractGarbageScope::FinishReason reason = AbstractGarbageScope::FAILED;
    if (!driver.Clean(&reason)) {
        Err(ScopeDriver::NotStartedText());
        return EXIT_FAILED;
    }
    scope.WaitForCaching();
    QStringList removed;
    QStringList kept;
    for (const QString& path : folders) {
        const bool gone = !PathExists(path);
        (gone ? removed : kept).append(path);
        if (!options.json) {
            Out() << (gone ? "removed: " : "not removed: ") << Shown(path) << '\n';
        }
    }
    if (options.json) {
        WriteDocument(LanguagesSummary(options, scope, reason), model,
                      {{QStringLiteral("removed"), PathList(removed)},
                       {QStringLiteral("failed"), PathList(kept)}});
    } else {
        Out() << "Removed " << Counted(removed.size(), "folder", "folders") << ", freed "
              << FormatSize(scope.GetLastCleanedSize(), 0) << "; " << kept.size()
              << " not removed (" << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
    }
    Out().flush();
    if (ScopeDriver::WasInterrupted()) {
        return EXIT_INTERRUPTED;
    }
    return reason == AbstractGarbageScope::DONE && kept.isEmpty() ? EXIT_DONE : EXIT_FAILED;
}

QStringList LanguageSearchRoots() {
    QStringList roots{Varnex::Platform::HomePath()};
    for (const char* folder : {"/Applications", "/Users", "/Library", "/System"}) {
        roots.append(Varnex::Platform::SystemPath(QLatin1String(folder)));
    }
    roots.append(Varnex::Cleaner::GetSystemLibraryPrefixes());
    roots.removeAll(QString());
    return roots;
}

}  // namespace Klarvik
