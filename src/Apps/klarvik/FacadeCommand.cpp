#include "FacadeCommand.h"

#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <functional>
#include <vector>

#include "CleanerCommon/Sizes.h"
#include "Core/Cleaner.h"
#include "Core/details/AntiVirusScope.h"
#include "Core/details/FileDates.h"
#include "Core/details/LaunchAgentGarbageScope.h"
#include "RootCheck.h"
#include "RunOutput.h"
#include "ScopeDriver.h"
#include "ShownText.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::Cleaner;
using Varnex::Cleaner::FormatSize;

namespace {

struct NamedScope {
    QString name;
    AbstractGarbageScope* scope;
};

// Every scope of the facade under the name the command line gives it; a
// trash is "trash" for the home volume's and "trash:NAME" for another's.
std::vector<NamedScope> NamedScopes(Cleaner& cleaner) {
    std::vector<NamedScope> scopes = {
        {QStringLiteral("user-caches"), cleaner.GetUserCacheScope()},
        {QStringLiteral("user-logs"), cleaner.GetUserLogsScope()},
        {QStringLiteral("system-caches"), cleaner.GetSystemCacheScope()},
        {QStringLiteral("system-logs"), cleaner.GetSystemLogsScope()},
    };
    for (const QString& volume : cleaner.GetTrashes()) {
        scopes.push_back({QStringLiteral("trash:") + volume, cleaner.GetTrashScope(volume)});
    }
    const std::vector<NamedScope> rest = {
        {QStringLiteral("app-languages"), cleaner.GetUnusedAppLanguagesScope()},
        {QStringLiteral("system-languages"), cleaner.GetUnusedSysLanguagesScope()},
        {QStringLiteral("apps"), cleaner.GetStandardApplicationsScope()},
        {QStringLiteral("third-party-apps"), cleaner.GetThirdPartyApplicationsScope()},
        {QStringLiteral("leftovers"), cleaner.GetLeftoversScope()},
        {QStringLiteral("large-old"), cleaner.GetLargeAndOldScope()},
        {QStringLiteral("login-items"), cleaner.GetLoginItemsScope()},
        {QStringLiteral("launch-agents"), cleaner.GetLaunchAgentsScope()},
        {QStringLiteral("duplicates"), cleaner.GetDuplicatesScope()},
        {QStringLiteral("disk-usage"), cleaner.GetDiskUsageScope()},
        {QStringLiteral("shredder"), cleaner.GetShredderScope()},
        {QStringLiteral("antivirus"), cleaner.GetAntiVirusScope()},
    };
    scopes.insert(scopes.end(), rest.begin(), rest.end());
    // Only with a photo library.
    if (AbstractGarbageScope* trash = cleaner.GetIPhotoTrashScope()) {
        scopes.push_back({QStringLiteral("photo-trash"), trash});
    }
    if (AbstractGarbageScope* vacuum = cleaner.GetIPhotoVacuumScope()) {
        scopes.push_back({QStringLiteral("photo-vacuum"), vacuum});
    }
    return scopes;
}

// The scope's item count; the job and login item scopes count none in their
// totals (nothing there is garbage by itself), so their roots are told.
long long ItemCount(const AbstractGarbageScope& scope) {
    return std::max<long long>(scope.GetTotalItems(), scope.GetRoots().size());
}

QString StateName(AbstractGarbageScope::State state) {
    switch (state) {
    case AbstractGarbageScope::IDLE:
        return QStringLiteral("idle");
    case AbstractGarbageScope::SCANNING:
        return QStringLiteral("scanning");
    case AbstractGarbageScope::CLEANING:
        return QStringLiteral("cleaning");
    case AbstractGarbageScope::STOPPING_SCANNING:
        return QStringLiteral("stopping the scan");
    case AbstractGarbageScope::STOPPING_CLEANING:
        return QStringLiteral("stopping the cleaning");
    }
    return QStringLiteral("unknown");
}

// The item at `path` anywhere in the scope's tree, or null.
AbstractGarbage* FindInTree(const AbstractGarbageScope& scope, const QString& path) {
    const auto roots = scope.GetRoots();
    std::vector<AbstractGarbage*> pending(roots.begin(), roots.end());
    while (!pending.empty()) {
        AbstractGarbage* item = pending.back();
        pending.pop_back();
        if (item->GetPath() == path) {
            return item;
        }
        // Only a folder that holds the path can lead to it.
        const QString folder = item->GetPath();
        if (folder.isEmpty() || path.startsWith(folder) || !folder.startsWith(QLatin1Char('/'))) {
            const auto children = item->GetChildren();
            pending.insert(pending.end(), children.begin(), children.end());
        }
    }
    return nullptr;
}

// One line per scope on a terminal, rewritten in place.
class ProgressBoard {
public:
    explicit ProgressBoard(const std::vector<NamedScope>& scopes)
        : m_scopes(scopes), m_shown(::isatty(STDERR_FILENO)) {}
    ~ProgressBoard() { Clear(); }

    void Show(bool cleaning) {
        if (!m_shown) {
            return;
        }
        QString text;
        if (m_lines > 0) {
            text += QStringLiteral("\x1b[%1A").arg(m_lines);
        }
        for (const NamedScope& s : m_scopes) {
            const QString line =
                cleaning ? QStringLiteral("%1  %2  %3%  %4 cleaned")
                               .arg(s.name, -18)
                               .arg(StateName(s.scope->GetState()), -9)
                               .arg(static_cast<int>(s.scope->GetCleaningProgress() * 100), 3)
                               .arg(FormatSize(s.scope->GetTotalCleanedSize(), 1))
                         : QStringLiteral("%1  %2  %3 items  %4")
                               .arg(s.name, -18)
                               .arg(StateName(s.scope->GetState()), -9)
                               .arg(ItemCount(*s.scope))
                               .arg(FormatSize(s.scope->GetTotalSize(), 1));
            text += QStringLiteral("\r\x1b[K") + Shown(line) + QLatin1Char('\n');
        }
        m_lines = static_cast<int>(m_scopes.size());
        std::fputs(text.toUtf8().constData(), stderr);
        std::fflush(stderr);
    }
    void Clear() {
        if (m_shown && m_lines > 0) {
            std::fputs(QStringLiteral("\x1b[%1A\x1b[J").arg(m_lines).toUtf8().constData(), stderr);
            std::fflush(stderr);
            m_lines = 0;
        }
    }

private:
    std::vector<NamedScope> m_scopes;
    bool m_shown;
    int m_lines = 0;
};

// Runs the event loop until every scope of `scopes` has finished (scanning or
// cleaning), stopping them all on Ctrl-C. The finish reason of each.
QHash<AbstractGarbageScope*, AbstractGarbageScope::FinishReason> WaitForAll(
    Cleaner& cleaner, const std::vector<NamedScope>& scopes, bool cleaning) {
    QHash<AbstractGarbageScope*, AbstractGarbageScope::FinishReason> reasons;
    QEventLoop loop;
    auto finished = [&](AbstractGarbageScope* scope, AbstractGarbageScope::FinishReason reason) {
        reasons.insert(scope, reason);
        if (reasons.size() == static_cast<int>(scopes.size())) {
            loop.quit();
        }
    };
    const QMetaObject::Connection connection =
        cleaning ? QObject::connect(&cleaner, &Cleaner::CleaningFinished, &loop, finished)
                 : QObject::connect(&cleaner, &Cleaner::ScanningFinished, &loop, finished);
    ProgressBoard board(scopes);
    QTimer ticker;
    bool stopped = false;
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        if (ScopeDriver::WasInterrupted() && !stopped) {
            stopped = true;
            cleaning ? cleaner.StopCleaning(nullptr) : cleaner.StopScanning(nullptr);
        }
        board.Show(cleaning);
    });
    ticker.start(200);
    // A scope may have finished before the loop runs (nothing to do).
    for (const NamedScope& s : scopes) {
        if (!(cleaning ? s.scope->IsCleaning() : s.scope->IsScanning()) && !reasons.contains(s.scope)) {
            reasons.insert(s.scope, AbstractGarbageScope::DONE);
        }
    }
    if (reasons.size() < static_cast<int>(scopes.size())) {
        loop.exec();
    }
    QObject::disconnect(connection);
    return reasons;
}

QJsonObject ScopeRecord(const NamedScope& s, const AbstractGarbageScope::FinishReason* reason) {
    QJsonObject record{{QStringLiteral("name"), s.name},
                       {QStringLiteral("state"), StateName(s.scope->GetState())},
                       {QStringLiteral("items"), ItemCount(*s.scope)},
                       {QStringLiteral("size"), s.scope->GetTotalSize()},
                       {QStringLiteral("selected_size"), s.scope->GetSelectedSize()},
                       {QStringLiteral("cleaned_size"), s.scope->GetTotalCleanedSize()},
                       {QStringLiteral("contains_error"), s.scope->ContainsError()}};
    if (reason) {
        record.insert(QStringLiteral("finished"),
                      AbstractGarbageScope::GetFinishReasonString(*reason));
    }
    return record;
}

QJsonObject Totals(const Cleaner& cleaner) {
    return {{QStringLiteral("scanned"), cleaner.GetTotalScannedSize()},
            {QStringLiteral("cleaned"), cleaner.GetTotalCleanedSize()},
            {QStringLiteral("left"), cleaner.GetTotalLeftSize()},
            {QStringLiteral("applications_left"), cleaner.GetTotalApplicationLeftSize()},
            {QStringLiteral("large_old_left"), cleaner.GetTotalLargeAndOldFilesLeftSize()},
            {QStringLiteral("garbage_left"), cleaner.GetTotalLeftGarbageSize()}};
}

void WriteTable(const std::vector<NamedScope>& scopes,
                const QHash<AbstractGarbageScope*, AbstractGarbageScope::FinishReason>& reasons) {
    Out() << QStringLiteral("%1  %2  %3  %4  %5\n")
                 .arg(QStringLiteral("scope"), -18)
                 .arg(QStringLiteral("state"), -9)
                 .arg(QStringLiteral("items"), 9)
                 .arg(QStringLiteral("size"), 10)
                 .arg(QStringLiteral("selected"), 10);
    for (const NamedScope& s : scopes) {
        QString state = StateName(s.scope->GetState());
        if (reasons.contains(s.scope)) {
            state = AbstractGarbageScope::GetFinishReasonString(reasons.value(s.scope));
        }
        Out() << Shown(QStringLiteral("%1  %2  %3  %4  %5")
                           .arg(s.name, -18)
                           .arg(state, -9)
                           .arg(ItemCount(*s.scope), 9)
                           .arg(FormatSize(s.scope->GetTotalSize(), 1), 10)
                           .arg(FormatSize(s.scope->GetSelectedSize(), 1), 10))
              << (s.scope->ContainsError() ? "  (items in error)" : "") << '\n';
    }
}

void WriteTotals(const Cleaner& cleaner) {
    Out() << "Total: " << FormatSize(cleaner.GetTotalScannedSize(), 1) << " scanned, "
          << FormatSize(cleaner.GetTotalCleanedSize(), 1) << " cleaned, "
          << FormatSize(cleaner.GetTotalLeftGarbageSize(), 1) << " of garbage left (besides "
          << FormatSize(cleaner.GetTotalApplicationLeftSize(), 1) << " of applications and "
          << FormatSize(cleaner.GetTotalLargeAndOldFilesLeftSize(), 1)
          << " of large and old files)\n";
}

}  // namespace

QStringList ScopeNames() {
    return {QStringLiteral("user-caches"),    QStringLiteral("user-logs"),
            QStringLiteral("system-caches"),  QStringLiteral("system-logs"),
            QStringLiteral("trash:VOLUME"),   QStringLiteral("app-languages"),
            QStringLiteral("system-languages"), QStringLiteral("apps"),
            QStringLiteral("third-party-apps"), QStringLiteral("leftovers"),
            QStringLiteral("large-old"),      QStringLiteral("login-items"),
            QStringLiteral("launch-agents"),  QStringLiteral("duplicates"),
            QStringLiteral("disk-usage"),     QStringLiteral("shredder"),
            QStringLiteral("antivirus"),      QStringLiteral("photo-trash"),
            QStringLiteral("photo-vacuum")};
}

int RunFacade(const Options& options, const QStringList& args) {
    ScopeDriver::InstallInterruptHandler();
    Cleaner cleaner;
    const std::vector<NamedScope> all = NamedScopes(cleaner);
    const bool cleaning = options.command == QLatin1String("clean");
    AbstractGarbageScope* antiVirus = cleaner.GetAntiVirusScope();

    // The antivirus scope scans only the folders given; each refused one is
    // told, and a run where none is left does nothing.
    if (!options.antiVirusPaths.isEmpty()) {
        for (const QString& path : options.antiVirusPaths) {
            QString refusal = RootRefusal(path, cleaning, true);
            if (refusal.isEmpty() && !cleaner.AddPathToAntiVirus(path)) {
                refusal = QStringLiteral("given twice");
            }
            if (!refusal.isEmpty()) {
                Err(QStringLiteral("--antivirus-path \"%1\": %2").arg(Shown(path), refusal));
            }
        }
        if (cleaner.GetAntiVirusPaths().isEmpty()) {
            Err(QStringLiteral("no antivirus path could be scanned: nothing was done"));
            cleaner.WaitBeforeAppQuit();
            return EXIT_USAGE;
        }
    }

    if (options.command == QLatin1String("scopes")) {
        if (!args.isEmpty()) {
            Err(QStringLiteral("scopes takes no argument"));
            return EXIT_USAGE;
        }
        if (options.json) {
            QJsonArray list;
            for (const NamedScope& s : all) {
                list.append(ScopeRecord(s, nullptr));
            }
            Out() << QJsonDocument(QJsonObject{{QStringLiteral("scopes"), list},
                                               {QStringLiteral("totals"), Totals(cleaner)}})
                         .toJson(QJsonDocument::Indented);
        } else {
            WriteTable(all, {});
        }
        Out().flush();
        cleaner.WaitBeforeAppQuit();
        return EXIT_DONE;
    }

    // The scopes named, in the facade's order; all but the empty shredder by default.
    std::vector<NamedScope> chosen;
    if (args.isEmpty()) {
        if (cleaning) {
            Err(QStringLiteral("clean takes the scopes to clean: %1")
                    .arg(ScopeNames().join(QStringLiteral(", "))));
            return EXIT_USAGE;
        }
        // The antivirus scope only when it was given folders.
        for (const NamedScope& s : all) {
            if (s.scope != cleaner.GetShredderScope() &&
                (s.scope != antiVirus || !cleaner.GetAntiVirusPaths().isEmpty())) {
                chosen.push_back(s);
            }
        }
    } else {
        for (const QString& name : args) {
            const auto it = std::find_if(all.begin(), all.end(),
                                         [&](const NamedScope& s) { return s.name == name; });
            if (it == all.end()) {
                Err(QStringLiteral("unknown scope \"%1\"; the scopes are: %2")
                        .arg(Shown(name), ScopeNames().join(QStringLiteral(", "))));
                return EXIT_USAGE;
            }
            if (it->scope == antiVirus && cleaner.GetAntiVirusPaths().isEmpty()) {
                Err(QStringLiteral("antivirus: give the folders to scan with --antivirus-path"));
                return EXIT_USAGE;
            }
            if (std::none_of(chosen.begin(), chosen.end(),
                             [&](const NamedScope& s) { return s.name == name; })) {
                chosen.push_back(*it);
            }
        }
    }
    if (cleaning && !options.yes && !options.dryRun && !::isatty(STDIN_FILENO)) {
        Err(QStringLiteral("standard input is not a terminal: nothing is removed without --yes"));
        return EXIT_USAGE;
    }

    for (const NamedScope& s : chosen) {
        cleaner.StartScanning(s.scope);
    }
    auto reasons = WaitForAll(cleaner, chosen, false);
    bool allDone = true;
    for (const NamedScope& s : chosen) {
        allDone = allDone && reasons.value(s.scope) == AbstractGarbageScope::DONE;
    }
    // Why the antivirus scan failed (no engine, no signatures, a dead scanner).
    if (reasons.contains(antiVirus) && reasons.value(antiVirus) == AbstractGarbageScope::FAILED) {
        const QString problem =
            static_cast<const Varnex::Cleaner::Details::AntiVirusScope*>(antiVirus)->GetScanProblem();
        Err(QStringLiteral("antivirus: %1")
                .arg(problem.isEmpty() ? QStringLiteral("the scan failed") : Shown(problem)));
    }
    // An infected file whose name is not UTF-8 can be neither shown nor
    // removed: it is not in the table, so it is told here.
    if (reasons.contains(antiVirus)) {
        const long long skipped =
            static_cast<const Varnex::Cleaner::Details::AntiVirusScope*>(antiVirus)
                ->GetSkippedNames();
        if (skipped > 0) {
            Err(QStringLiteral("antivirus: %1 not UTF-8: neither shown nor removed")
                    .arg(Counted(skipped, "infected file whose name is",
                                 "infected files whose names are")));
        }
    }
    // Every job shows off when the listing could not be read: not a state to believe.
    bool statesKnown = true;
    if (const auto* jobs = qobject_cast<const Varnex::Cleaner::Details::LaunchAgentGarbageScope*>(
            cleaner.GetLaunchAgentsScope());
        jobs && reasons.contains(cleaner.GetLaunchAgentsScope()) &&
        !jobs->GetListingProblem().isEmpty()) {
        Err(QStringLiteral("launch-agents: which jobs are loaded is unknown: %1")
                .arg(Shown(jobs->GetListingProblem())));
        statesKnown = false;
    }

    // --select: exactly these items of the scopes they belong to.
    if (cleaning && allDone && !options.selections.isEmpty()) {
        QHash<AbstractGarbageScope*, QList<AbstractGarbage*>> selected;
        for (const QString& path : options.selections) {
            bool found = false;
            for (const NamedScope& s : chosen) {
                if (AbstractGarbage* item = FindInTree(*s.scope, path)) {
                    selected[s.scope].append(item);
                    found = true;
                    break;
                }
            }
            if (!found) {
                Err(QStringLiteral("--select \"%1\": not an item of the scan; nothing was removed")
                        .arg(Shown(path)));
                cleaner.WaitBeforeAppQuit();
                return EXIT_USAGE;
            }
        }
        for (const NamedScope& s : chosen) {
            const QList<AbstractGarbage*> items = selected.value(s.scope);
            if (items.isEmpty()) {
                for (AbstractGarbage* root : s.scope->GetRoots()) {
                    root->Select(false);
                }
            } else {
                CheckExactly(*s.scope, items);
            }
        }
    }

    if (options.json && (!cleaning || options.dryRun || !allDone)) {
        QJsonArray list;
        for (const NamedScope& s : chosen) {
            const auto reason = reasons.value(s.scope);
            list.append(ScopeRecord(s, &reason));
        }
        Out() << QJsonDocument(QJsonObject{{QStringLiteral("command"), options.command},
                                           {QStringLiteral("dry_run"), options.dryRun},
                                           {QStringLiteral("scopes"), list},
                                           {QStringLiteral("totals"), Totals(cleaner)}})
                     .toJson(QJsonDocument::Indented);
    } else if (!options.json) {
        WriteTable(chosen, reasons);
        WriteTotals(cleaner);
    }
    Out().flush();
    if (ScopeDriver::WasInterrupted()) {
        cleaner.WaitBeforeAppQuit();
        return EXIT_INTERRUPTED;
    }
    if (!cleaning) {
        cleaner.WaitBeforeAppQuit();
        return allDone && statesKnown ? EXIT_DONE : EXIT_FAILED;
    }
    if (!allDone) {
        Err(QStringLiteral("a scan did not finish: nothing was removed"));
        cleaner.WaitBeforeAppQuit();
        return EXIT_FAILED;
    }

    std::vector<NamedScope> toClean;
    long long selectedSize = 0;
    for (const NamedScope& s : chosen) {
        if (s.scope->IsCleaningPossible()) {
            toClean.push_back(s);
            selectedSize += s.scope->GetSelectedSize();
        }
    }
    if (toClean.empty()) {
        Out() << "Nothing is selected: nothing to remove\n";
        Out().flush();
        cleaner.WaitBeforeAppQuit();
        return EXIT_DONE;
    }
    if (options.dryRun) {
        for (const NamedScope& s : toClean) {
            Out() << "would clean: " << Shown(s.name) << ", "
                  << FormatSize(s.scope->GetSelectedSize(), 1) << '\n';
        }
        Out().flush();
        cleaner.WaitBeforeAppQuit();
        return EXIT_DONE;
    }
    if (!options.yes) {
        const ScopeDriver::Answer answer = ScopeDriver::Ask(
            QStringLiteral("Remove what is selected in %1 (%2)? [y/N] ")
                .arg(Counted(static_cast<long long>(toClean.size()), "scope", "scopes"),
                     FormatSize(selectedSize, 1)));
        if (answer != ScopeDriver::Answer::YES) {
            Err(QStringLiteral("nothing was removed"));
            cleaner.WaitBeforeAppQuit();
            return answer == ScopeDriver::Answer::INTERRUPTED ? EXIT_INTERRUPTED : EXIT_FAILED;
        }
    }
    std::vector<NamedScope> started;
    bool ok = true;
    for (const NamedScope& s : toClean) {
        if (cleaner.StartCleaning(s.scope)) {
            started.push_back(s);
        } else {
            Err(QStringLiteral("%1: the cleaning could not start").arg(Shown(s.name)));
            ok = false;
        }
    }
    reasons = WaitForAll(cleaner, started, true);
    QJsonArray list;
    for (const NamedScope& s : started) {
        const AbstractGarbageScope::FinishReason reason = reasons.value(s.scope);
        ok = ok && reason == AbstractGarbageScope::DONE && !s.scope->ContainsError();
        if (options.json) {
            list.append(ScopeRecord(s, &reason));
        } else {
            Out() << Shown(s.name) << ": cleaned " << s.scope->GetLastCleanedItems() << " items, "
                  << FormatSize(s.scope->GetLastCleanedSize(), 1) << " ("
                  << AbstractGarbageScope::GetFinishReasonString(reason) << ')'
                  << (s.scope->ContainsError() ? ", some items in error" : "") << '\n';
        }
    }
    if (options.json) {
        Out() << QJsonDocument(QJsonObject{{QStringLiteral("command"), options.command},
                                           {QStringLiteral("scopes"), list},
                                           {QStringLiteral("totals"), Totals(cleaner)}})
                     .toJson(QJsonDocument::Indented);
    } else {
        WriteTotals(cleaner);
    }
    Out().flush();
    cleaner.WaitBeforeAppQuit();
    if (ScopeDriver::WasInterrupted()) {
        return EXIT_INTERRUPTED;
    }
    return ok ? EXIT_DONE : EXIT_FAILED;
}

}  // namespace Klarvik
