#include "Commands.h"

#include <unistd.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <cstdio>

#include "CleanerCommon/Sizes.h"
#include "Core/GarbageItemModel.h"
#include "Core/details/FileDates.h"
#include "Core/details/ServerPlanning.h"
#include "Core/details/SystemGarbageScope.h"
#include "RootCheck.h"
#include "ScopeDriver.h"
#include "ShownText.h"
#include "TreeCensus.h"
#include "TreeReport.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::GarbageItemModel;
using Varnex::Cleaner::Details::ForEachPlannedPath;
using Varnex::Cleaner::Details::PlannedPath;
using Varnex::Cleaner::Details::SystemGarbageScope;

namespace {

QTextStream& Out() {
    static QFile file;
    static QTextStream stream;
    if (!file.isOpen()) {
        file.open(stdout, QIODevice::WriteOnly);
        stream.setDevice(&file);
        stream.setCodec("UTF-8");
    }
    return stream;
}

void Err(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fprintf(stderr, "klarvik: %s\n", bytes.constData());
}

QJsonObject Summary(const Options& options, const AbstractGarbageScope& scope,
                    AbstractGarbageScope::FinishReason reason, const GarbageItemModel& model,
                    const TreeCensus& census) {
    QJsonObject doc;
    doc.insert("kind", ScopeKindName(options.kind));
    doc.insert("finished", AbstractGarbageScope::GetFinishReasonString(reason));
    doc.insert("total_items", scope.GetTotalItems());
    doc.insert("total_size", scope.GetTotalSize());
    doc.insert("cleaned_items", scope.GetTotalCleanedItems());
    doc.insert("cleaned_size", scope.GetTotalCleanedSize());
    doc.insert("items_in_error", census.inError);
    doc.insert("skipped", census.SkippedJson());
    doc.insert("items", TreeReport(&model).ToJson());
    return doc;
}

void WriteTotals(const AbstractGarbageScope& scope, AbstractGarbageScope::FinishReason reason,
                 const TreeCensus& census) {
    Out() << "Total: " << Counted(scope.GetTotalItems(), "item", "items") << ", "
          << FormatSize(scope.GetTotalSize(), 0) << " ("
          << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
    if (census.inError > 0) {
        Out() << Counted(census.inError, "item is", "items are") << " in error\n";
    }
    const QString skipped = census.SkippedText();
    if (!skipped.isEmpty()) {
        Out() << skipped << '\n';
    }
}

// The scope of the command: configured like the application's, with the
// paths of the command line as its roots. A root that cannot be taken gets a
// line on standard error saying why.
struct Session {
    SystemGarbageScope scope;
    GarbageItemModel model{&scope, false};
    int refusedRoots = 0;

    explicit Session(const Options& options) : scope(QStringList()) {
        const bool removing =
            options.command == QLatin1String("clean") || options.kind != ScopeKind::DiskUsage;
        for (const QString& path : options.paths) {
            const QString refusal = RootRefusal(path, removing);
            if (!refusal.isEmpty()) {
                Err(QStringLiteral("not scanning \"%1\": %2").arg(Shown(path), refusal));
                ++refusedRoots;
            } else if (!scope.AddPath(path)) {
                Err(QStringLiteral("\"%1\" is given twice: scanned once").arg(Shown(path)));
            }
        }
        ConfigureScope(options.kind, &scope);
        for (const QString& e : options.exclusions) {
            scope.AddExclusion(e);
        }
    }

    // Before the scan, and after it (the roots that gave no tree count as
    // refused): false, with a line, when there is no root to go on with.
    bool AnyRoot(bool scanned) {
        if (scanned) {
            for (const QString& path : scope.GetNotScannedLocations()) {
                Err(QStringLiteral("not scanning \"%1\": it could not be read").arg(Shown(path)));
                ++refusedRoots;
            }
        }
        if (scanned ? scope.GetRoots().isEmpty() : scope.GetPaths().isEmpty()) {
            Err(QStringLiteral("no root could be scanned: nothing was done"));
            return false;
        }
        return true;
    }

    // Checks exactly the items at `paths` with what lies below them, and
    // unchecks the rest; nothing changes without paths. False, with a line for
    // each, when some are not in the tree: then nothing changed either.
    bool Select(const QStringList& paths) {
        QList<AbstractGarbage*> items;
        for (const QString& path : paths) {
            AbstractGarbage* item = scope.FindGarbage(path);
            if (!item) {
                Err(QStringLiteral("--select \"%1\": not in the scanned tree").arg(Shown(path)));
            }
            items.append(item);
        }
        if (items.contains(nullptr)) {
            return false;
        }
        if (!items.isEmpty()) {
            const AbstractGarbage::CheckStateChange change;
            for (AbstractGarbage* root : scope.GetRoots()) {
                root->Select(false);
            }
            for (AbstractGarbage* item : items) {
                item->Select(true);
            }
        }
        return true;
    }

    // The exit code of a run that went as `ok` says, refused roots aside.
    int ExitCode(bool ok) const { return ok && refusedRoots == 0 ? EXIT_DONE : EXIT_FAILED; }
};

}  // namespace

int RunScan(const Options& options) {
    Session s(options);
    if (!s.AnyRoot(false)) {
        return EXIT_USAGE;
    }
    ScopeDriver driver(&s.scope, !options.json);
    const AbstractGarbageScope::FinishReason reason = driver.Scan();
    if (reason == AbstractGarbageScope::DONE &&
        (!s.AnyRoot(true) || !s.Select(options.selections))) {
        return EXIT_USAGE;
    }
    const TreeCensus census = TreeCensus::Of(s.scope, true);
    if (options.json) {
        Out() << QJsonDocument(Summary(options, s.scope, reason, s.model, census))
                     .toJson(QJsonDocument::Indented);
    } else {
        TreeReport(&s.model).WriteText(Out());
        WriteTotals(s.scope, reason, census);
    }
    Out().flush();
    if (ScopeDriver::WasInterrupted()) {
        return EXIT_INTERRUPTED;
    }
    return s.ExitCode(reason == AbstractGarbageScope::DONE && census.inError == 0);
}

int RunClean(const Options& options) {
    const bool interactive = ::isatty(STDIN_FILENO);
    if (!options.yes && !options.dryRun && !interactive) {
        Err(QStringLiteral("standard input is not a terminal: nothing is removed without --yes"));
        return EXIT_USAGE;
    }
    Session s(options);
    if (!s.AnyRoot(false)) {
        return EXIT_USAGE;
    }
    ScopeDriver driver(&s.scope, !options.json);
    const AbstractGarbageScope::FinishReason scanned = driver.Scan();
    if (scanned == AbstractGarbageScope::DONE && !s.AnyRoot(true)) {
        return EXIT_USAGE;
    }
    if (scanned == AbstractGarbageScope::DONE && !s.Select(options.selections)) {
        Err(QStringLiteral("nothing was removed"));
        return EXIT_USAGE;
    }
    const TreeCensus census = TreeCensus::Of(s.scope, true);
    if (!options.json) {
        TreeReport(&s.model).WriteText(Out());
        WriteTotals(s.scope, scanned, census);
    }
    if (scanned != AbstractGarbageScope::DONE) {
        Out().flush();
        Err(QStringLiteral("the scan did not finish: nothing was removed"));
        return ScopeDriver::WasInterrupted() ? EXIT_INTERRUPTED : EXIT_FAILED;
    }

    // What the plan will be, in the order the removal server will get it.
    const int extra = s.scope.IsFillingFilesWithGarbageEnabled() ? 8 : 0;
    QStringList planned;
    for (AbstractGarbage* root : s.scope.GetRoots()) {
        ForEachPlannedPath(root, extra, s.scope.GetExclusionTest(),
                           [&planned](const PlannedPath& path) { planned.append(path.path); });
    }
    const long long selected = s.scope.GetSelectedSize();
    if (options.dryRun) {
        QJsonArray list;
        for (const QString& p : planned) {
            options.json ? list.append(p) : void(Out() << "would remove: " << Shown(p) << '\n');
        }
        if (options.json) {
            QJsonObject doc = Summary(options, s.scope, scanned, s.model, census);
            doc.insert("would_remove", list);
            Out() << QJsonDocument(doc).toJson(QJsonDocument::Indented);
        } else {
            Out() << "Would remove " << Counted(planned.size(), "item", "items") << ", "
                  << FormatSize(selected, 0) << '\n';
        }
        Out().flush();
        return s.ExitCode(census.inError == 0);
    }
    if (planned.isEmpty()) {
        if (options.json) {
            QJsonObject doc = Summary(options, s.scope, scanned, s.model, census);
            doc.insert("removed", QJsonArray());
            doc.insert("failed", QJsonArray());
            Out() << QJsonDocument(doc).toJson(QJsonDocument::Indented);
        }
        Out().flush();
        Err(census.inError == 0
                ? QStringLiteral("nothing is selected for removal")
                : QStringLiteral("nothing was removed: nothing is selected, and %1 in error")
                      .arg(Counted(census.inError, "item is", "items are")));
        return s.ExitCode(census.inError == 0);
    }
    Out().flush();
    if (!options.yes) {
        const ScopeDriver::Answer answer =
            driver.Ask(QStringLiteral("Remove %1 (%2)? [y/N] ")
                           .arg(Counted(planned.size(), "item", "items"), FormatSize(selected, 0)));
        if (answer != ScopeDriver::Answer::YES) {
            Err(QStringLiteral("nothing was removed"));
            return answer == ScopeDriver::Answer::INTERRUPTED ? EXIT_INTERRUPTED : EXIT_FAILED;
        }
    }

    AbstractGarbageScope::FinishReason reason = AbstractGarbageScope::FAILED;
    if (!driver.Clean(&reason)) {
        Err(QStringLiteral("the removal could not start"));
        return EXIT_FAILED;
    }
    QJsonArray removed;
    QJsonArray failed;
    for (const QString& path : planned) {
        const AbstractGarbage* item = s.scope.FindGarbage(path);
        if (!item) {
            continue;
        }
        if (item->GetError() != AbstractGarbage::Error::OK &&
            item->GetError() != AbstractGarbage::Error::CHILD) {
            failed.append(
                QJsonObject{{"path", path},
                            {"error", TreeReport::ErrorWord(static_cast<int>(item->GetError()))}});
            if (!options.json) {
                Out() << "failed: " << Shown(path) << " (" << item->GetErrorString() << ")\n";
            }
        } else if (item->IsClean() && !Varnex::Cleaner::Details::PathExists(path)) {
            removed.append(path);
            if (!options.json) {
                Out() << "removed: " << Shown(path) << '\n';
            }
        }
    }
    const TreeCensus after = TreeCensus::Of(s.scope, false);
    if (options.json) {
        QJsonObject doc = Summary(options, s.scope, reason, s.model, after);
        doc.insert("skipped", census.SkippedJson());
        doc.insert("removed", removed);
        doc.insert("failed", failed);
        Out() << QJsonDocument(doc).toJson(QJsonDocument::Indented);
    } else {
        Out() << "Removed " << Counted(removed.size(), "item", "items") << ", freed "
              << FormatSize(s.scope.GetLastCleanedSize(), 0) << "; " << failed.size() << " failed ("
              << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
        Out() << "After cleaning:\n";
        TreeReport(&s.model).WriteText(Out());
    }
    Out().flush();
    if (ScopeDriver::WasInterrupted()) {
        Err(
            QStringLiteral("stopped by Ctrl-C: what is listed as removed is gone, the rest is "
                           "as it was"));
        return EXIT_INTERRUPTED;
    }
    return s.ExitCode(reason == AbstractGarbageScope::DONE && failed.isEmpty() &&
                      after.inError == 0);
}

}  // namespace Klarvik
