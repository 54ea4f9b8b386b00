#include "CleanerCommon/Process.h"

#include <glog/logging.h>
#include <signal.h>
#include <unistd.h>

#include <QProcess>

#include "CleanerCommon/LogText.h"

namespace Varnex::Cleaner {

namespace {

// How long a killed process group may take to go away.
const int killWaitMs = 5000;

// The child leads a process group of its own, so that a tool that runs
// helpers (a shell script, say) can be stopped as a whole on expiry.
class GroupLeaderProcess : public QProcess {
protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

std::string CommandLine(const QString& program, const QStringList& args) {
    QString text = program;
    for (const QString& arg : args) {
        text += QLatin1Char(' ') + arg;
    }
    return Util::LogText(text);  // an argument with a line break must not forge a line
}

}  // namespace

QString ReadProcess(const QString& program, const QString& arg) {
    return ReadProcess(program, QStringList{arg});
}

QString ReadProcess(const QString& program, const QString& arg1, const QString& arg2,
                    const QString& arg3) {
    return ReadProcess(program, QStringList{arg1, arg2, arg3});
}

QString ReadProcess(const QString& program, const QStringList& args, int timeLimitMs) {
    GroupLeaderProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, args, QIODevice::ReadOnly);
    if (!process.waitForStarted(-1)) {
        LOG(WARNING) << "Can't start " << CommandLine(program, args) << ": "
                     << process.errorString().toStdString();
        return QString();
    }
    const qint64 pid = process.processId();
    if (!process.waitForFinished(timeLimitMs) && process.state() != QProcess::NotRunning) {
        LOG(ERROR) << "Killing " << CommandLine(program, args) << ": still running after "
                   << timeLimitMs << " ms";
        // The group id is the child's pid, which the kernel does not hand out
        // again while any member of the group lives; the child ran a moment ago.
        ::kill(static_cast<pid_t>(-pid), SIGKILL);
        process.kill();
        process.waitForFinished(killWaitMs);
    } else if (process.exitStatus() == QProcess::CrashExit) {
        // What it printed before it died may stop anywhere: none of it is taken.
        LOG(ERROR) << CommandLine(program, args) << " was ended by a signal; its output is "
                   << "not used";
        return QString();
    }
    // With its size: QString::fromUtf8(QByteArray) would stop at a NUL byte.
    const QByteArray output = process.readAllStandardOutput();
    return QString::fromUtf8(output.constData(), output.size());
}

}  // namespace Varnex::Cleaner
