#include "StartupItemsCommand.h"

#include <unistd.h>

#include <QJsonObject>
#include <memory>

#include "Core/GarbageItemModel.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageLaunchAgent.h"
#include "Core/details/LaunchAgentGarbageScope.h"
#include "Core/details/LoginItemGarbageScope.h"
#include "RunOutput.h"
#include "ScopeDriver.h"
#include "ShownText.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::GarbageItemModel;
using Varnex::Cleaner::Details::GarbageLaunchAgent;
using Varnex::Cleaner::Details::LaunchAgentGarbageScope;
using Varnex::Cleaner::Details::LoginItemGarbageScope;
using Varnex::Cleaner::Details::PathExists;

namespace {

AbstractGarbage* FindItem(const AbstractGarbageScope& scope, const QString& path) {
    for (AbstractGarbage* root : scope.GetRoots()) {
        if (root->GetPath() == path) {
            return root;
        }
    }
    return nullptr;
}

// The items at `paths`, with a line for each that is not one (then false).
bool FindItems(const AbstractGarbageScope& scope, const QStringList& paths, const char* option,
               QList<AbstractGarbage*>* items) {
    bool ok = true;
    for (const QString& path : paths) {
        AbstractGarbage* item = FindItem(scope, path);
        if (!item) {
            Err(QStringLiteral("%1 \"%2\": not an item of the scan")
                    .arg(QLatin1String(option), Shown(path)));
            ok = false;
        }
        items->append(item);
    }
    return ok;
}

QString Detail(AbstractGarbage* item) {
    const QString text = item->GetDescription();
    if (item->GetError() != AbstractGarbage::Error::OK) {
        return QStringLiteral("error: ") + (text.isEmpty() ? item->GetErrorString() : text);
    }
    return text;
}

// "on", "off", "gone", or "?" for a job whose state could not be read.
const char* State(AbstractGarbage* item) {
    const auto* agent = qobject_cast<GarbageLaunchAgent*>(item);
    return item->IsClean()                   ? "gone "
           : agent && !agent->IsStateKnown() ? "?    "
           : item->IsEnabled()               ? "on   "
                                             : "off  ";
}

void WriteItems(const AbstractGarbageScope& scope, AbstractGarbageScope::FinishReason reason) {
    int on = 0;
    for (AbstractGarbage* root : scope.GetRoots()) {
        on += root->IsEnabled() ? 1 : 0;
        const QString detail = Detail(root);
        Out() << State(root) << Shown(root->GetName()) << "  " << Shown(root->GetPath());
        if (!detail.isEmpty()) {
            Out() << "  (" << Shown(detail) << ')';
        }
        Out() << '\n';
    }
    Out() << "Total: " << Counted(scope.GetRoots().size(), "item", "items") << ", " << on
          << " on (" << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
}

void WriteJson(const Options& options, const AbstractGarbageScope& scope,
               const GarbageItemModel& model, AbstractGarbageScope::FinishReason reason,
               Streamed streamed) {
    QJsonObject summary;
    summary.insert("kind", ScopeKindName(options.kind));
    summary.insert("finished", AbstractGarbageScope::GetFinishReasonString(reason));
    summary.insert("cleaned_items", scope.GetTotalCleanedItems());
    streamed.emplace(QStringLiteral("jobs"), [&scope](JsonWriter& json) {
        json.BeginArray();
        for (AbstractGarbage* root : scope.GetRoots()) {
            QJsonObject item{{"path", root->GetPath()},
                             {"name", root->GetName()},
                             {"enabled", root->IsEnabled()},
                             {"clean", root->IsClean()},
                             {"detail", root->GetDescription()}};
            if (auto* agent = qobject_cast<GarbageLaunchAgent*>(root)) {
                item.insert("label", agent->GetLabel());
                if (!agent->IsStateKnown()) {
                    item.insert("enabled", QJsonValue::Null);  // not "off": unknown
                }
            }
            json.Value(item);
        }
        json.EndArray();
    });
    WriteDocument(summary, model, std::move(streamed));
}

// Switches the items on or off; false when one did not end as asked.
bool Switch(const QList<AbstractGarbage*>& items, bool on, bool quiet) {
    bool ok = true;
    for (AbstractGarbage* item : items) {
        item->SetEnabled(on);
        const bool worked = item->IsEnabled() == on && item->GetError() == AbstractGarbage::Error::OK;
        ok = ok && worked;
        if (!worked) {
            Err(QStringLiteral("could not switch \"%1\" %2: %3")
                    .arg(Shown(item->GetPath()), on ? QStringLiteral("on") : QStringLiteral("off"),
                         Shown(Detail(item))));
        } else if (!quiet) {
            Out() << "switched " << (on ? "on: " : "off: ") << Shown(item->GetPath()) << '\n';
        }
    }
    return ok;
}

}  // namespace

int RunStartupItems(const Options& options) {
    const bool cleaning = options.command == QLatin1String("clean");
    const bool agents = options.kind == ScopeKind::LaunchAgents;
    if (cleaning && options.selections.isEmpty()) {
        Err(QStringLiteral("clean --kind %1 takes the items named by --select: none is selected "
                           "by default")
                .arg(ScopeKindName(options.kind)));
        return EXIT_USAGE;
    }
    if (cleaning && !options.yes && !options.dryRun && !::isatty(STDIN_FILENO)) {
        Err(QStringLiteral("standard input is not a terminal: nothing is removed without --yes"));
        return EXIT_USAGE;
    }
    std::unique_ptr<AbstractGarbageScope> scope;
    if (agents) {
        scope = std::make_unique<LaunchAgentGarbageScope>();
    } else {
        scope = std::make_unique<LoginItemGarbageScope>();
    }
    for (const QString& e : options.exclusions) {
        scope->AddExclusion(e);
    }
    GarbageItemModel model(scope.get(), false);
    ScopeDriver driver(scope.get(), !options.json);
    const AbstractGarbageScope::FinishReason scanned = driver.Scan();
    if (scanned != AbstractGarbageScope::DONE) {
        if (options.json) {
            WriteJson(options, *scope, model, scanned, {});
        } else {
            WriteItems(*scope, scanned);
        }
        Out().flush();
        Err(QStringLiteral("the scan did not finish: nothing was changed"));
        return ScopeDriver::WasInterrupted() ? EXIT_INTERRUPTED : EXIT_FAILED;
    }
    QList<AbstractGarbage*> enable, disable, selected;
    const bool found = FindItems(*scope, options.enables, "--enable", &enable) &
                       FindItems(*scope, options.disables, "--disable", &disable) &
                       FindItems(*scope, options.selections, "--select", &selected);
    if (!found) {
        Err(QStringLiteral("nothing was changed"));
        return EXIT_USAGE;
    }
    bool ok = true;
    if (auto* jobs = qobject_cast<LaunchAgentGarbageScope*>(scope.get())) {
        const QString problem = jobs->GetListingProblem();
        if (!problem.isEmpty()) {
            // Every job shows off then: not a state to believe.
            Err(QStringLiteral("which jobs are loaded is unknown: %1").arg(Shown(problem)));
            ok = false;
        }
    }
    ok = Switch(enable, true, options.json) & Switch(disable, false, options.json) & ok;
    auto* logins = qobject_cast<LoginItemGarbageScope*>(scope.get());
    if (logins && !(enable.isEmpty() && disable.isEmpty()) && !logins->SaveDisabledLoginItems()) {
        // A login item switched off lives on only in that file.
        Err(QStringLiteral("the switched-off login items could not be remembered in \"%1\" "
                           "(see the log with --verbose)")
                .arg(Shown(LoginItemGarbageScope::GetSettingsPath())));
        ok = false;
    }
    CheckExactly(*scope, selected);
    QStringList planned;
    for (AbstractGarbage* item : selected) {
        if (item->ShouldBeRemoved()) {
            planned.append(item->GetPath());
        } else {
            Err(QStringLiteral("\"%1\" cannot be cleaned: %2")
                    .arg(Shown(item->GetPath()), Shown(Detail(item))));
            ok = false;
        }
    }
    const QString what = agents ? QStringLiteral("unload and remove")
                                : QStringLiteral("remove from the login items");
    if (!cleaning || options.dryRun || planned.isEmpty()) {
        if (options.json) {
            WriteJson(options, *scope, model, scanned,
                      {{cleaning ? QStringLiteral("would_remove") : QStringLiteral("switched"),
                        PathList(cleaning ? planned : options.enables + options.disables)}});
        } else {
            WriteItems(*scope, scanned);
            if (cleaning) {
                for (const QString& p : planned) {
                    Out() << "would " << what << ": " << Shown(p) << '\n';
                }
            }
        }
        Out().flush();
        if (ScopeDriver::WasInterrupted()) {
            return EXIT_INTERRUPTED;
        }
        return ok ? EXIT_DONE : EXIT_FAILED;
    }
    if (!options.json) {
        WriteItems(*scope, scanned);
    }
    Out().flush();
    if (!options.yes) {
        const ScopeDriver::Answer answer = driver.Ask(
            QStringLiteral("%1 %2? [y/N] ")
                .arg(what.left(1).toUpper() + what.mid(1), Counted(planned.size(), "item", "items")));
        if (answer != ScopeDriver::Answer::YES) {
            Err(QStringLiteral("nothing was changed"));
            return answer == ScopeDriver::Answer::INTERRUPTED ? EXIT_INTERRUPTED : EXIT_FAILED;
        }
    }
    AbstractGarbageScope::FinishReason reason = AbstractGarbageScope::FAILED;
    if (!driver.Clean(&reason)) {
        // A job that would not unload leaves nothing to remove: said below.
        Err(QStringLiteral("the cleaning could not start"));
    }
    QStringList removed, failed;
    for (const QString& path : planned) {
        AbstractGarbage* item = FindItem(*scope, path);
        // A job file counts only when it is gone; a login item when it is out of the list.
        const bool done = item && item->IsClean() && (!agents || !PathExists(path));
        (done ? removed : failed).append(path);
        if (!options.json) {
            Out() << (done ? "removed: " : "failed: ") << Shown(path);
            if (!done && item) {
                Out() << " (" << Shown(Detail(item)) << ')';
            }
            Out() << '\n';
        }
    }
    if (options.json) {
        WriteJson(options, *scope, model, reason,
                  {{QStringLiteral("removed"), PathList(removed)},
                   {QStringLiteral("failed"), PathList(failed)}});
    } else {
        Out() << "Removed " << Counted(removed.size(), "item", "items") << "; " << failed.size()
              << " failed (" << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
    }
    Out().flush();
    if (ScopeDriver::WasInterrupted()) {
        return EXIT_INTERRUPTED;
    }
    return ok && reason == AbstractGarbageScope::DONE && failed.isEmpty() ? EXIT_DONE
                                                                          : EXIT_FAILED;
}

}  // namespace Klarvik
