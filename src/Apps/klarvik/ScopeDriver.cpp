#include "ScopeDriver.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QEventLoop>
#include <QHash>
#include <QSet>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "CleanerCommon/Sizes.h"
#include "Commands.h"
#include "Core/details/FileDates.h"
#include "JsonWriter.h"
#include "Platform/ToolRun.h"
#include "RunOutput.h"
#include "ShownText.h"
#include "TreeReport.h"

namespace Klarvik {

namespace {

std::atomic<bool> interrupted{false};
// Written to on Ctrl-C, so that a wait on standard input wakes whichever
// thread the signal went to.
int wakeFds[2] = {-1, -1};

void OnInterrupt(int) {
    if (interrupted.exchange(true)) {
        std::_Exit(130);
    }
    // A tool being waited for (launchctl, clamscan, ...) is killed, and none starts again.
    Varnex::Platform::InterruptToolRuns();
    if (wakeFds[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFds[1], &byte, 1);
    }
}

// Without SA_RESTART: a read in progress returns rather than swallowing the signal.
void InstallHandler() {
    if (wakeFds[0] < 0 && ::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakeFds[0] = wakeFds[1] = -1;
    }
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, nullptr);
}

// A run during which Ctrl-C was pressed was stopped, even when it finished
// before the stop reached it: the tools it waited for were killed then.
ScopeDriver::Scope::FinishReason Stopped(ScopeDriver::Scope::FinishReason reason) {
    return interrupted.load() && reason == ScopeDriver::Scope::DONE ? ScopeDriver::Scope::CANCELED
                                                                    : reason;
}

}  // namespace

ScopeDriver::ScopeDriver(Scope* scope, bool showProgress, QObject* parent)
    : QObject(parent), m_scope(scope), m_showProgress(showProgress && ::isatty(STDERR_FILENO)) {
    InstallHandler();
    if (m_showProgress) {
        // The folder last filled in the tree, for the progress line.
        connect(m_scope, &Scope::ItemsInserted, this,
                [this](Varnex::Cleaner::AbstractGarbage* where, int) {
                    if (where) {
                        m_lastPath = where->GetPath();
                    }
                });
    }
    m_ticker.setInterval(100);
    connect(&m_ticker, &QTimer::timeout, this, [this] {
        if (interrupted.load()) {
            m_cleaning ? m_scope->StopCleaning() : m_scope->StopScanning();
        }
        ShowProgress();
        if (m_records && m_sinceRecord.hasExpired(500)) {
            WriteProgressRecord();
        }
    });
}

ScopeDriver::~ScopeDriver() {
    std::signal(SIGINT, SIG_DFL);
}

void ScopeDriver::SetProgressRecords(QTextStream* out) {
    m_records = out;
}

ScopeDriver::Scope::FinishReason ScopeDriver::Scan() {
    m_cleaning = false;
    QEventLoop loop;
    Scope::FinishReason reason = Scope::FAILED;
    auto connection =
        connect(m_scope, &Scope::ScanningFinished, &loop, [&](Scope*, Scope::FinishReason r) {
            reason = r;
            loop.quit();
        });
    m_ticker.start();
    m_sinceRecord.start();
    m_scope->StartScanning();
    if (m_scope->IsScanning()) {
        loop.exec();
    }
    m_ticker.stop();
    disconnect(connection);
    ClearProgress();
    if (m_records) {
        WriteProgressRecord();
    }
    return Stopped(reason);
}

bool ScopeDriver::Clean(Scope::FinishReason* reason) {
    m_cleaning = true;
    QEventLoop loop;
    *reason = Scope::FAILED;
    auto connection =
        connect(m_scope, &Scope::CleaningFinished, &loop, [&](Scope*, Scope::FinishReason r) {
            *reason = r;
            loop.quit();
        });
    const bool started = m_scope->StartCleaning();
    if (started) {
        m_ticker.start();
        m_sinceRecord.start();
        if (m_scope->IsCleaning()) {
            loop.exec();
        }
        m_ticker.stop();
    }
    disconnect(connection);
    ClearProgress();
    if (m_records && started) {
        WriteProgressRecord();
    }
    *reason = Stopped(*reason);
    return started;
}

QString ScopeDriver::NotStartedText() {
    // Planning refuses what changed since the scan or holds an excluded
    // entry, each with a warning; the removal server's refusal is logged too.
    // Warnings are shown with --verbose.
    return QStringLiteral(
        "the removal could not start, nothing was removed: no selected item could be planned, "
        "or the removal server refused the run (--verbose tells which)");
}

ScopeDriver::Answer ScopeDriver::Ask(const QString& question) {
    std::fprintf(stderr, "%s", question.toUtf8().constData());
    std::fflush(stderr);
    std::string line;
    for (;;) {
        if (interrupted.load()) {
            std::fprintf(stderr, "\n");
            return Answer::INTERRUPTED;
        }
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
        if (::poll(fds, wakeFds[0] >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Answer::NO;
        }
        if (fds[0].revents == 0) {
            continue;  // the wake-up: the flag is set
        }
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || c == '\n') {
            break;
        }
        if (line.size() < 16) {
            line += c;
        }
    }
    return line == "y" || line == "Y" || line == "yes" ? Answer::YES : Answer::NO;
}

void ScopeDriver::InstallInterruptHandler() {
    InstallHandler();
}

bool ScopeDriver::WasInterrupted() {
    return interrupted.load();
}

void ScopeDriver::ShowProgress() {
    if (!m_showProgress) {
        return;
    }
    QString line;
    if (m_cleaning) {
        line = QStringLiteral("Cleaning: %1%, %2 freed")
                   .arg(static_cast<int>(m_scope->GetCleaningProgress() * 100))
                   .arg(Varnex::Cleaner::FormatSize(m_scope->GetLastCleanedSize(), 0));
    } else {
        line = QStringLiteral("Scanning: %1, %2")
                   .arg(Counted(m_scope->GetTotalItems(), "item", "items"))
                   .arg(Varnex::Cleaner::FormatSize(m_scope->GetTotalSize(), 0));
        // A walk knows only the folders it has met: a share of them that
        // reads 100% while it goes on would say nothing.
        const int percent = static_cast<int>(m_scope->GetScanningProgress() * 100);
        if (percent > 0 && percent < 100) {
            line += QStringLiteral(", %1%").arg(percent);
        }
        if (!m_lastPath.isEmpty()) {
            // The end of the path, as much as fits beside the counts.
            QString shown = Shown(m_lastPath);
            const int room = std::max(10, 78 - line.size() - 2);
            if (shown.size() > room) {
                shown = QStringLiteral("...") + shown.right(room - 3);
            }
            line += QStringLiteral("  ") + shown;
        }
    }
    std::fprintf(stderr, "\r\033[K%s", line.toUtf8().constData());
    std::fflush(stderr);
}

void ScopeDriver::ClearProgress() {
    if (m_showProgress) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

void ScopeDriver::WriteProgressRecord() {
    if (m_cleaning) {
        WriteRecord(
            *m_records, QLatin1String("progress"),
            {{QLatin1String("phase"), QStringLiteral("cleaning")},
             {QLatin1String("fraction"), qRound(m_scope->GetCleaningProgress() * 1000) / 1000.0},
             {QLatin1String("cleaned_size"), m_scope->GetLastCleanedSize()}});
    } else {
        WriteRecord(*m_records, QLatin1String("progress"),
                    {{QLatin1String("phase"), QStringLiteral("scanning")},
                     {QLatin1String("items"), m_scope->GetTotalItems()},
                     {QLatin1String("size"), m_scope->GetTotalSize()}});
    }
    m_records->flush();
    m_sinceRecord.start();
}

namespace {

using Varnex::Cleaner::AbstractGarbage;

// The items of the scope's tree at `paths`, found in one walk.
QHash<QString, const AbstractGarbage*> ItemsAt(const ScopeDriver::Scope& scope,
                                               const QStringList& paths) {
    QHash<QString, const AbstractGarbage*> found;
    if (paths.isEmpty()) {
        return found;
    }
    const QSet<QString> wanted(paths.begin(), paths.end());
    QList<const AbstractGarbage*> pending;
    for (const AbstractGarbage* root : scope.GetRoots()) {
        pending.append(root);
    }
    while (!pending.isEmpty() && found.size() < wanted.size()) {
        const AbstractGarbage* item = pending.takeLast();
        if (wanted.contains(item->GetPath()) && !found.contains(item->GetPath())) {
            found.insert(item->GetPath(), item);
        }
        for (const AbstractGarbage* child : item->GetChildren()) {
            pending.append(child);
        }
    }
    return found;
}

}  // namespace

int AskAndRemove(ScopeDriver& driver, const QString& question, bool yes, const QStringList& paths,
                 RemovalLines lines, Removal* out) {
    if (!yes) {
        const ScopeDriver::Answer answer = driver.Ask(question);
        if (answer != ScopeDriver::Answer::YES) {
            Err(QStringLiteral("nothing was removed"));
            return answer == ScopeDriver::Answer::INTERRUPTED ? EXIT_INTERRUPTED : EXIT_FAILED;
        }
    }
    if (!driver.Clean(&out->reason)) {
        Err(ScopeDriver::NotStartedText());
        return EXIT_FAILED;
    }
    QSet<QString> kept;
    for (const QString& path : paths) {
        const bool stayed = Varnex::Cleaner::Details::PathExists(path);
        (stayed ? out->kept : out->removed).append(path);
        if (stayed) {
            kept.insert(path);
        }
    }
    // Why each stayed, from its item's error: one walk of the tree for all.
    const QHash<QString, const AbstractGarbage*> items = ItemsAt(*driver.GetScope(), out->kept);
    for (const QString& path : paths) {
        if (!kept.contains(path)) {
            if (lines == RemovalLines::RECORDS) {
                WriteRecord(Out(), QLatin1String("removed"), {{QLatin1String("path"), path}});
            } else if (lines == RemovalLines::TEXT) {
                Out() << "removed: " << Shown(path) << '\n';
            }
            continue;
        }
        const AbstractGarbage* item = items.value(path);
        const int error = item ? static_cast<int>(item->GetError()) : 0;
        const QString message = error != 0 ? item->GetErrorString()
                                : out->reason == ScopeDriver::Scope::CANCELED
                                    ? QStringLiteral("the removal was stopped first")
                                    : QStringLiteral("still there");
        if (lines == RemovalLines::RECORDS) {
            WriteRecord(Out(), QLatin1String("failed"),
                        {{QLatin1String("path"), path},
                         {QLatin1String("error"), TreeReport::ErrorWord(error)},
                         {QLatin1String("message"), message}});
        } else if (lines == RemovalLines::TEXT) {
            Out() << "not removed: " << Shown(path) << " (" << message << ")\n";
        }
    }
    return -1;
}

bool CheckExactly(Varnex::Cleaner::AbstractGarbageScope& scope,
                  const QList<Varnex::Cleaner::AbstractGarbage*>& items) {
    using Varnex::Cleaner::AbstractGarbage;
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

}  // namespace Klarvik
