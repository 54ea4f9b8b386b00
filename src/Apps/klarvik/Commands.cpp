#include "Commands.h"

#include <unistd.h>

#include <QJsonObject>
#include <exception>

#include "CleanerCommon/Sizes.h"
#include "Core/GarbageItemModel.h"
#include "Core/details/FileDates.h"
#include "Core/details/ServerPlanning.h"
#include "Core/details/SystemGarbageScope.h"
#include "JsonWriter.h"
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
using Varnex::Cleaner::Details::ForEachPlannedPath;
using Varnex::Cleaner::Details::PlannedPath;
using Varnex::Cleaner::Details::SystemGarbageScope;

namespace {

// The tree as the text output shows it: with --depth and --sort; `depth`
// when --depth was not given.
void WriteTree(const Options& options, const GarbageItemModel& model, int depth) {
    TreeReport report(&model);
    const TreeReport::Order order = options.sort == QLatin1String("size")   ? TreeReport::Order::SIZE
                                    : options.sort == QLatin1String("name") ? TreeReport::Order::NAME
                                                                            : TreeReport::Order::TREE;
    report.SetTextShape(options.depth >= 0 ? options.depth : depth, order);
    report.WriteText(Out());
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
        return CheckExactly(scope, items);
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
    ScopeDriver driver(&s.scope, !options.json && !options.jsonl);
    driver.SetProgressRecords(options.jsonl ? &Out() : nullptr);
    const AbstractGarbageScope::FinishReason reason = driver.Scan();
    if (reason == AbstractGarbageScope::DONE &&
        (!s.AnyRoot(true) || !s.Select(options.selections))) {
        return EXIT_USAGE;
    }
    const TreeCensus census = TreeCensus::Of(s.scope, true);
    if (options.json) {
        WriteDocument(Summary(options, s.scope, reason, census), s.model, {});
    } else if (options.jsonl) {
        TreeReport(&s.model).WriteRecords(Out());
        WriteSummaryRecord(Summary(options, s.scope, reason, census), {});
    } else {
        if (!options.quiet) {
            WriteTree(options, s.model, -1);
        }
        WriteTotals(s.scope, reason, census);
    }
    Out().flush();
    if (ScopeDriver::WasInterrupted()) {
        return EXIT_INTERRUPTED;
    }
    return s.ExitCode(reason == AbstractGarbageScope::DONE && census.inError == 0);
}

namespace {

struct Failure {
    QString path;
    QString error;    // the error word
    QString message;  // for people
};

// What became of the planned paths after a cleaning, as it is found: a line
// or a record each for text and --jsonl (removed: only with --list in text),
// gathered for the --json document.
void CollectOutcome(const Options& options, const SystemGarbageScope& scope,
                    const QStringList& planned, QStringList* removed, QList<Failure>* failed) {
    for (const QString& path : planned) {
        const AbstractGarbage* item = scope.FindGarbage(path);
        if (!item) {
            continue;
        }
        if (item->GetError() != AbstractGarbage::Error::OK &&
            item->GetError() != AbstractGarbage::Error::CHILD) {
            const Failure failure{path, TreeReport::ErrorWord(static_cast<int>(item->GetError())),
                                  item->GetErrorString()};
            if (options.jsonl) {
                WriteRecord(Out(), QLatin1String("failed"),
                            {{QLatin1String("path"), path},
                             {QLatin1String("error"), failure.error},
                             {QLatin1String("message"), failure.message}});
            } else if (!options.json) {
                Out() << "failed: " << Shown(path) << " (" << failure.message << ")\n";
            }
            failed->append(failure);
        } else if (item->IsClean() && !Varnex::Cleaner::Details::PathExists(path)) {
            if (options.jsonl) {
                WriteRecord(Out(), QLatin1String("removed"), {{QLatin1String("path"), path}});
            } else if (!options.json && options.list) {
                Out() << "removed: " << Shown(path) << '\n';
            }
            removed->append(path);
        }
    }
    Out().flush();
}

// The report once the removal finished: the document, the summary record, or
// the totals (and with --list the tree as it is now).
void WriteCleaned(const Options& options, const SystemGarbageScope& scope,
                  AbstractGarbageScope::FinishReason reason, const GarbageItemModel& model,
                  const TreeCensus& before, const TreeCensus& after, const QStringList& removed,
                  const QList<Failure>& failed) {
    QJsonObject summary = Summary(options, scope, reason, after);
    summary.insert("skipped", before.SkippedJson());
    if (options.json) {
        WriteDocument(summary, model,
                      {{QStringLiteral("removed"), PathList(removed)},
                       {QStringLiteral("failed"), [&failed](JsonWriter& json) {
                            json.BeginArray();
                            for (const Failure& f : failed) {
                                json.Value(QJsonObject{{"path", f.path}, {"error", f.error}});
                            }
                            json.EndArray();
                        }}});
    } else if (options.jsonl) {
        WriteSummaryRecord(summary, {{QLatin1String("removed"), removed.size()},
                                     {QLatin1String("failed"), failed.size()}});
    } else {
        Out() << "Removed " << Counted(removed.size(), "item", "items") << ", freed "
              << FormatSize(scope.GetLastCleanedSize(), 0) << "; " << failed.size() << " failed ("
              << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
        if (after.inError > 0) {
            Out() << Counted(after.inError, "item is", "items are") << " in error\n";
        }
        if (options.list) {
            Out() << "After cleaning:\n";
            WriteTree(options, model, -1);
        }
    }
    Out().flush();
}

}  // namespace

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
    ScopeDriver driver(&s.scope, !options.json && !options.jsonl);
    driver.SetProgressRecords(options.jsonl ? &Out() : nullptr);
    const AbstractGarbageScope::FinishReason scanned = driver.Scan();
    if (scanned == AbstractGarbageScope::DONE && !s.AnyRoot(true)) {
        return EXIT_USAGE;
    }
    if (scanned == AbstractGarbageScope::DONE && !s.Select(options.selections)) {
        Err(QStringLiteral("nothing was removed"));
        return EXIT_USAGE;
    }
    const TreeCensus census = TreeCensus::Of(s.scope, true);
    if (options.jsonl) {
        TreeReport(&s.model).WriteRecords(Out());
    } else if (!options.json) {
        // Before the question: the roots and their top folders with what lies
        // below them; the whole tree with --list.
        if (!options.quiet) {
            WriteTree(options, s.model, options.list ? -1 : 1);
        }
        WriteTotals(s.scope, scanned, census);
    }
    if (scanned != AbstractGarbageScope::DONE) {
        if (options.jsonl) {
            WriteSummaryRecord(Summary(options, s.scope, scanned, census), {});
        }
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
    const QJsonObject summary = Summary(options, s.scope, scanned, census);
    if (options.dryRun) {
        if (options.json) {
            WriteDocument(summary, s.model, {{QStringLiteral("would_remove"), PathList(planned)}});
        } else {
            for (const QString& p : planned) {
                options.jsonl ? WriteRecord(Out(), QLatin1String("would_remove"),
                                            {{QLatin1String("path"), p}})
                              : void(Out() << "would remove: " << Shown(p) << '\n');
            }
            options.jsonl
                ? WriteSummaryRecord(summary, {{QLatin1String("would_remove"), planned.size()},
                                               {QLatin1String("selected_size"), selected}})
                : void(Out() << "Would remove " << Counted(planned.size(), "item", "items") << ", "
                             << FormatSize(selected, 0) << '\n');
        }
        Out().flush();
        return s.ExitCode(census.inError == 0);
    }
    if (planned.isEmpty()) {
        if (options.json) {
            WriteDocument(summary, s.model,
                          {{QStringLiteral("removed"), PathList({})},
                           {QStringLiteral("failed"), PathList({})}});
        } else if (options.jsonl) {
            WriteSummaryRecord(summary,
                               {{QLatin1String("removed"), 0}, {QLatin1String("failed"), 0}});
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
        Err(ScopeDriver::NotStartedText());
        return EXIT_FAILED;
    }
    QStringList removed;
    QList<Failure> failed;
    TreeCensus after;
    bool collected = false;
    try {
        CollectOutcome(options, s.scope, planned, &removed, &failed);
        collected = true;
        after = TreeCensus::Of(s.scope, false);
        WriteCleaned(options, s.scope, reason, s.model, census, after, removed, failed);
    } catch (const std::exception& e) {
        // What went is told whatever failed after it: on standard error when
        // it was not already listed on standard output.
        Out().flush();
        Err(QStringLiteral("the report could not be finished (%1): %2%3 removed, %4 failed")
                .arg(QString::fromUtf8(e.what()),
                     collected ? QString() : QStringLiteral("of the paths checked so far, "),
                     Counted(removed.size(), "item", "items"))
                .arg(failed.size()));
        // Text lists the failures, and with --list what went; --jsonl both.
        if (!options.jsonl && (options.json || !options.list)) {
            for (const QString& path : removed) {
                Err(QStringLiteral("removed: ") + Shown(path));
            }
        }
        if (options.json) {
            for (const Failure& f : failed) {
                Err(QStringLiteral("failed: %1 (%2)").arg(Shown(f.path), f.message));
            }
        }
        return EXIT_FAILED;
    }
    if (ScopeDriver::WasInterrupted()) {
        Err(QStringLiteral("stopped by Ctrl-C: %1 removed, the rest is as it was")
                .arg(Counted(removed.size(), "item was", "items were")));
        return EXIT_INTERRUPTED;
    }
    return s.ExitCode(reason == AbstractGarbageScope::DONE && failed.isEmpty() &&
                      after.inError == 0);
}

}  // namespace Klarvik
