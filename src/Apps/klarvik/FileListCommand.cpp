#include "FileListCommand.h"

#include <unistd.h>

#include <QJsonObject>
#include <algorithm>

#include "CleanerCommon/Sizes.h"
#include "Core/AbstractGarbageScope.h"
#include "Core/GarbageItemModel.h"
#include "RootCheck.h"
#include "RunOutput.h"
#include "ScopeDriver.h"
#include "ShownText.h"
#include "TreeCensus.h"
#include "TreeReport.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::GarbageItemModel;

namespace {

// The items, largest first (then by path, so the order is the same every time).
QList<AbstractGarbage*> BySize(const AbstractGarbageScope& scope) {
    QList<AbstractGarbage*> items = scope.GetRoots();
    std::sort(items.begin(), items.end(), [](AbstractGarbage* a, AbstractGarbage* b) {
        if (a->GetSize() != b->GetSize()) {
            return a->GetSize() > b->GetSize();
        }
        return a->GetPath() < b->GetPath();
    });
    return items;
}

void WriteList(FileListKind& kind, AbstractGarbageScope::FinishReason reason) {
    const AbstractGarbageScope& scope = kind.Scope();
    for (AbstractGarbage* item : BySize(scope)) {
        Out() << (item->ShouldBeRemoved() ? "[x] " : "[ ] ") << kind.Line(item) << '\n';
    }
    Out() << "Total: " << Counted(scope.GetTotalItems(), "file", "files") << ", "
          << FormatSize(scope.GetTotalSize(), 0) << " ("
          << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
    // An infected file whose name is not UTF-8 is left out of the list: told.
    WriteCensus(kind.Census());
}

// Checks exactly the items named; nothing changes without names. False,
// with a line each, when one is not an item of the scan (then nothing
// changed).
bool Select(AbstractGarbageScope& scope, const QStringList& paths) {
    QList<AbstractGarbage*> items;
    for (const QString& path : paths) {
        AbstractGarbage* found = nullptr;
        for (AbstractGarbage* root : scope.GetRoots()) {
            if (root->GetPath() == path) {
                found = root;
                break;
            }
        }
        if (!found) {
            Err(QStringLiteral("--select \"%1\": not a file of the scan").arg(Shown(path)));
        } else if (const QString refusal = SystemFolderRefusal(path); !refusal.isEmpty()) {
            Err(QStringLiteral("--select \"%1\": %2").arg(Shown(path), refusal));
            found = nullptr;
        }
        items.append(found);
    }
    return CheckExactly(scope, items);
}

QStringList Selected(const AbstractGarbageScope& scope) {
    QStringList paths;
    for (AbstractGarbage* root : scope.GetRoots()) {
        if (root->ShouldBeRemoved()) {
            paths.append(root->GetPath());
        }
    }
    return paths;
}

}  // namespace

int RunFileList(const Options& options, FileListKind& kind) {
    const bool cleaning = options.command == QLatin1String("clean");
    if (cleaning && !options.yes && !options.dryRun && !::isatty(STDIN_FILENO)) {
        Err(QStringLiteral("standard input is not a terminal: nothing is removed without --yes"));
        return EXIT_USAGE;
    }
    AbstractGarbageScope& scope = kind.Scope();
    int refused = 0;
    for (const QString& path : options.paths) {
        QString refusal;
        if (!kind.AddPath(path, cleaning, &refusal)) {
            Err(QStringLiteral("not %1 \"%2\": %3").arg(kind.Verb(), Shown(path), refusal));
            ++refused;
        }
    }
    if (kind.PathCount() == 0) {
        Err(kind.NoPathMessage());
        return EXIT_USAGE;
    }
    for (const QString& e : options.exclusions) {
        scope.AddExclusion(e);
    }
    GarbageItemModel model(&scope, false);
    ScopeDriver driver(&scope, !options.json && !options.jsonl);
    driver.SetProgressRecords(options.jsonl ? &Out() : nullptr);
    const AbstractGarbageScope::FinishReason scanned = driver.Scan();
    if (scanned == AbstractGarbageScope::DONE && !Select(scope, options.selections)) {
        return EXIT_USAGE;
    }
    if (scanned == AbstractGarbageScope::FAILED && !kind.ScanProblem().isEmpty()) {
        Err(QStringLiteral("the scan failed: ") + Shown(kind.ScanProblem()));
    }
    const QStringList selected = Selected(scope);
    const QJsonObject summary = Summary(options, scope, scanned, kind.Census());
    if (!options.json && !options.jsonl) {
        WriteList(kind, scanned);
    }
    const bool removing = cleaning && scanned == AbstractGarbageScope::DONE && !options.dryRun &&
                          !selected.isEmpty();
    if (!removing) {
        if (options.json) {
            WriteDocument(summary, model,
                          {{QStringLiteral("would_remove"), PathList(cleaning ? selected
                                                                              : QStringList())}});
        } else if (options.jsonl) {
            TreeReport(&model).WriteRecords(Out());
            for (const QString& p : selected) {
                WriteRecord(Out(), QLatin1String("would_remove"), {{QLatin1String("path"), p}});
            }
            WriteSummaryRecord(summary, {});
        } else if (cleaning) {
            for (const QString& p : selected) {
                Out() << "would remove: " << Shown(p) << '\n';
            }
        }
        Out().flush();
        if (cleaning && scanned != AbstractGarbageScope::DONE) {
            Err(QStringLiteral("the scan did not finish: nothing was removed"));
        } else if (cleaning && selected.isEmpty()) {
            Err(QStringLiteral("nothing is selected for removal: name the files with --select"));
        }
        if (ScopeDriver::WasInterrupted()) {
            return EXIT_INTERRUPTED;
        }
        return scanned == AbstractGarbageScope::DONE && refused == 0 ? EXIT_DONE : EXIT_FAILED;
    }
    if (options.jsonl) {
        TreeReport(&model).WriteRecords(Out());
    }
    Out().flush();
    Removal removal;
    const int stop = AskAndRemove(
        driver,
        QStringLiteral("Delete %1 (%2)? [y/N] ")
            .arg(Counted(selected.size(), "item", "items"), FormatSize(scope.GetSelectedSize(), 0)),
        options.yes, selected,
        options.jsonl  ? RemovalLines::RECORDS
        : options.json ? RemovalLines::NONE
                       : RemovalLines::TEXT,
        &removal);
    if (stop >= 0) {
        return stop;
    }
    const AbstractGarbageScope::FinishReason reason = removal.reason;
    const QStringList& removed = removal.removed;
    const QStringList& kept = removal.kept;
    const QJsonObject after = Summary(options, scope, reason, kind.Census());
    if (options.json) {
        WriteDocument(after, model,
                      {{QStringLiteral("removed"), PathList(removed)},
                       {QStringLiteral("failed"), PathList(kept)}});
    } else if (options.jsonl) {
        WriteSummaryRecord(after, {{QLatin1String("removed"), removed.size()},
                                   {QLatin1String("failed"), kept.size()}});
    } else {
        Out() << "Removed " << Counted(removed.size(), "item", "items") << ", freed "
              << FormatSize(scope.GetLastCleanedSize(), 0) << "; " << kept.size()
              << " not removed (" << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
    }
    Out().flush();
    if (ScopeDriver::WasInterrupted()) {
        return EXIT_INTERRUPTED;
    }
    return reason == AbstractGarbageScope::DONE && kept.isEmpty() && refused == 0 ? EXIT_DONE
                                                                                    : EXIT_FAILED;
}

}  // namespace Klarvik
