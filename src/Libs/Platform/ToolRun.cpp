#include "Platform/ToolRun.h"

#include <signal.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <algorithm>
#include <atomic>

namespace Varnex::Platform {

namespace {

const int killWaitMs = 5000;
const int errorTailBytes = 4096;
// How often a run looks whether it was interrupted.
const int interruptPollMs = 50;

std::atomic<bool> runsInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// The child leads a process group of its own, so that a tool that runs
// helpers (a shell script) is killed as a whole.
class GroupLeaderProcess : public QProcess {
protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

void KillGroup(GroupLeaderProcess* process) {
    const qint64 pid = process->processId();
    if (pid > 0) {
        ::kill(static_cast<pid_t>(-pid), SIGKILL);
    }
    process->kill();
    process->waitForFinished(killWaitMs);
}

}  // namespace

QString ToolOutcome::Describe() const {
    QString text;
    if (interrupted) {
        text = QStringLiteral("interrupted");
    } else if (!started) {
        text = QStringLiteral("could not be started");
    } else if (timedOut) {
        text = QStringLiteral("timed out");
    } else if (outputCut) {
        text = QStringLiteral("printed too much");
    } else if (crashed) {
        text = QStringLiteral("ended by a signal");
    } else {
        text = QStringLiteral("exit code %1").arg(exitCode);
    }
    const QByteArray tail = errorTail.trimmed();
    if (!tail.isEmpty()) {
        const int cut = tail.lastIndexOf('\n');
        text += QStringLiteral(": ") + QString::fromUtf8(cut < 0 ? tail : tail.mid(cut + 1));
    }
    return text;
}

ToolOutcome RunTool(const QString& program, const QStringList& args, int timeLimitMs,
                    qint64 outputLimit, const std::atomic<bool>* cancel) {
    ToolOutcome outcome;
    const auto interrupted = [cancel] {
        return runsInterrupted.load() || (cancel != nullptr && cancel->load());
    };
    if (interrupted()) {
        outcome.interrupted = true;
        return outcome;
    }
    GroupLeaderProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, args, QIODevice::ReadOnly);
    if (!process.waitForStarted(-1)) {
        outcome.errorTail = process.errorString().toUtf8();
        return outcome;
    }
    outcome.started = true;
    const QDeadlineTimer deadline(timeLimitMs > 0 ? timeLimitMs : -1);
    // Read as it comes, so that a tool with much to say never waits on a full pipe.
    while (process.state() != QProcess::NotRunning) {
        const int left =
            static_cast<int>(std::min<qint64>(deadline.remainingTime(), interruptPollMs));
        if (interrupted()) {
            outcome.interrupted = true;
            KillGroup(&process);
            break;
        }
        if (!deadline.isForever() && deadline.hasExpired()) {
            outcome.timedOut = true;
            KillGroup(&process);
            break;
        }
        process.waitForReadyRead(deadline.isForever() ? interruptPollMs : std::max(left, 1));
        outcome.output += process.readAllStandardOutput();
        outcome.errorTail += process.readAllStandardError();
        outcome.errorTail = outcome.errorTail.right(errorTailBytes);
        if (outcome.output.size() > outputLimit) {
            outcome.outputCut = true;
            KillGroup(&process);
            break;
        }
    }
    outcome.output += process.readAllStandardOutput();
    outcome.errorTail = (outcome.errorTail + process.readAllStandardError()).right(errorTailBytes);
    if (outcome.output.size() > outputLimit) {
        outcome.outputCut = true;
        outcome.output.truncate(static_cast<int>(outputLimit));
    }
    if (!outcome.timedOut && !outcome.outputCut && !outcome.interrupted) {
        outcome.crashed = process.exitStatus() != QProcess::NormalExit;
        outcome.exitCode = outcome.crashed ? -1 : process.exitCode();
    }
    return outcome;
}

void InterruptToolRuns() {
    runsInterrupted.store(true);
}

bool AreToolRunsInterrupted() {
    return runsInterrupted.load();
}

}  // namespace Varnex::Platform
