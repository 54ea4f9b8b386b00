#include "Core/details/ProcessLineProducer.h"

#include <errno.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include "CleanerCommon/LogText.h"
#include "Platform/PathCodec.h"

extern char** environ;

namespace Varnex::Cleaner::Details {

namespace {

// How often the reader looks whether the tool has exited while its output
// stays open (a helper it left behind may hold the pipe).
const int exitCheckMs = 50;
const int errorTailBytes = 4096;
// What a queued line costs beyond its bytes (the QByteArray and its header).
const std::size_t lineOverhead = 32;

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Reads what `fd` has now. >0 bytes read, 0 end of output, -1 nothing now.
ssize_t ReadSome(int fd, char* buf, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buf, size);
        if (n >= 0) {
            return n;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN ? -1 : 0;  // any other error ends this stream
    }
}

// True when `pid` has exited (it is left unreaped, so its pid and process
// group id stay ours until DoFinish() reaps it).
bool HasExited(pid_t pid) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno != EINTR;  // ECHILD: someone else reaped it; nothing to wait for
    }
    return info.si_pid == pid;
}

}  // namespace

ProcessLineProducer::~ProcessLineProducer() {
    Stop();
    DoJoin();
}

void ProcessLineProducer::SetCommand(const QString& program, const QStringList& args) {
    m_commandText = program;
    for (const QString& arg : args) {
        m_commandText += QLatin1Char(' ') + arg;
    }
    std::string bytes;
    m_commandValid = !program.isEmpty() && Platform::EncodePath(program, &bytes);
    m_program = QByteArray(bytes.data(), static_cast<int>(bytes.size()));
    m_args.clear();
    for (const QString& arg : args) {
        std::string argBytes;
        if (!Platform::EncodePath(arg, &argBytes)) {
            m_commandValid = false;
        }
        m_args.emplace_back(argBytes.data(), static_cast<int>(argBytes.size()));
    }
}

void ProcessLineProducer::SetEnvironment(const QStringList& variables) {
    m_environment.clear();
    m_environmentValid = true;
    for (const QString& variable : variables) {
        std::string bytes;
        if (!variable.contains(QLatin1Char('=')) || !Platform::EncodePath(variable, &bytes)) {
            m_environmentValid = false;
            continue;
        }
        m_environment.emplace_back(bytes.data(), static_cast<int>(bytes.size()));
    }
}

bool ProcessLineProducer::Start() {
    Stop();
    DoJoin();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Batch().swap(m_pending);
        m_pendingBytes = 0;
        m_tail.clear();
        m_errorTail.clear();
        m_skippingLongLine = false;
        m_warnedLongLine = false;
        m_working = false;
        m_failed = true;  // until the tool runs
        m_stopped = false;
        m_unlimited = false;
        m_exitCode = -1;
    }
    // Cleared here, not by the reader: a Stop() right after Start() holds.
    m_stopRequested = false;

    const std::string command = Util::LogText(m_commandText);
    if (!m_commandValid || !m_environmentValid) {
        LOG(WARNING) << "Can't start " << command << ": the command can't be encoded";
        return false;
    }
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        LOG(WARNING) << "Can't start " << command << ": " << std::strerror(errno);
        CloseFd(out[0]), CloseFd(out[1]), CloseFd(err[0]), CloseFd(err[1]);
        return false;
    }
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A group of its own, to be stopped as a whole; default signal handling
    // and no blocked signals, whatever the host application set up.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attr, &signals);
    sigfillset(&signals);
    sigdelset(&signals, SIGKILL);
    sigdelset(&signals, SIGSTOP);
    posix_spawnattr_setsigdefault(&attr, &signals);

    std::vector<char*> argv;
    argv.push_back(m_program.data());
    for (QByteArray& arg : m_args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    // This process's environment with the overrides in place of what they name.
    std::vector<char*> envp;
    for (QByteArray& variable : m_environment) {
        envp.push_back(variable.data());
    }
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        const std::size_t nameLength = equals ? static_cast<std::size_t>(equals - *entry) + 1 : 0;
        const bool replaced = std::any_of(m_environment.begin(), m_environment.end(),
                                          [&](const QByteArray& variable) {
                                              return nameLength > 0 &&
                                                     static_cast<std::size_t>(variable.size()) >=
                                                         nameLength &&
                                                     std::memcmp(variable.constData(), *entry,
                                                                 nameLength) == 0;
                                          });
        if (!replaced) {
            envp.push_back(*entry);
        }
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawnError =
        m_wakeFd < 0 ? errno
                     : ::posix_spawnp(&pid, m_program.constData(), &actions, &attr, argv.data(),
                                      envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    CloseFd(out[1]);
    CloseFd(err[1]);
    if (spawnError != 0) {
        LOG(WARNING) << "Can't start " << command << ": " << std::strerror(spawnError);
        CloseFd(out[0]), CloseFd(err[0]), CloseFd(m_wakeFd);
        return false;
    }
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    ::fcntl(err[0], F_SETFL, O_NONBLOCK);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_working = true;
        m_failed = false;
        m_pid = pid;
    }
    m_reader = std::thread(&ProcessLineProducer::DoRead, this, pid, out[0], err[0], m_wakeFd);
    return true;
}

void ProcessLineProducer::DoRead(pid_t pid, int outFd, int errFd, int wakeFd) {
    using Clock = std::chrono::steady_clock;
    const bool limited = m_timeLimitMs > 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_timeLimitMs);
    std::vector<char> buf(64 * 1024);
    bool killed = false;
    bool timedOut = false;

    auto readOut = [&]() {
        const ssize_t n = ReadSome(outFd, buf.data(), buf.size());
        if (n == 0) {
            CloseFd(outFd);
        } else if (n > 0) {
            bool tell = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                DoSplit(buf.data(), static_cast<std::size_t>(n), false);
                tell = std::exchange(m_longLineToTell, false);
            }
            if (tell) {
                TellLongLine();
            }
        }
        return n > 0;
    };
    auto readErr = [&]() {
        const ssize_t n = ReadSome(errFd, buf.data(), buf.size());
        if (n == 0) {
            CloseFd(errFd);
        } else if (n > 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_errorTail.append(buf.data(), static_cast<int>(n));
            if (m_errorTail.size() > errorTailBytes) {
                m_errorTail.remove(0, m_errorTail.size() - errorTailBytes);
            }
        }
        return n > 0;
    };

    for (;;) {
        if (m_stopRequested) {
            killed = true;
            break;
        }
        if (HasExited(pid)) {
            // What it printed before exiting is in the pipes; take it all.
            while (outFd >= 0 && readOut()) {
            }
            while (errFd >= 0 && readErr()) {
            }
            break;
        }
        int waitMs = exitCheckMs;
        if (limited) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                timedOut = true;
                break;
            }
            waitMs = std::min<int>(waitMs, static_cast<int>(left.count()) + 1);
        }
        bool full;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            full = !m_unlimited && m_pendingBytes >= queueLimitBytes;
        }
        pollfd fds[3];
        nfds_t count = 0;
        const int outIndex = outFd >= 0 && !full ? static_cast<int>(count) : -1;
        if (outIndex >= 0) {
            fds[count++] = {outFd, POLLIN, 0};
        }
        const int errIndex = errFd >= 0 ? static_cast<int>(count) : -1;
        if (errIndex >= 0) {
            fds[count++] = {errFd, POLLIN, 0};
        }
        const int wakeIndex = static_cast<int>(count);
        fds[count++] = {wakeFd, POLLIN, 0};
        if (::poll(fds, count, waitMs) <= 0) {
            continue;
        }
        if (outIndex >= 0 && fds[outIndex].revents != 0) {
            readOut();
        }
        if (errIndex >= 0 && fds[errIndex].revents != 0) {
            readErr();
        }
        if (fds[wakeIndex].revents != 0) {
            eventfd_t value;
            ::eventfd_read(wakeFd, &value);
        }
    }
    CloseFd(outFd);
    CloseFd(errFd);
    DoFinish(pid, killed, timedOut);
}

void ProcessLineProducer::DoFinish(pid_t pid, bool killed, bool timedOut) {
    // The leader is not reaped yet, so the group id is still this run's: what
    // is left of the group (the tool itself when stopped or late, helpers it
    // left behind) goes with it.
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    const bool ours = ::waitid(P_PID, static_cast<id_t>(pid), &info,
                               WEXITED | WNOHANG | WNOWAIT) == 0 ||
                      errno != ECHILD;
    {
        // From here on the pid may be reaped and reused: Pause() and Resume()
        // no longer signal it.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pid = -1;
    }
    if (ours) {  // never signal a group whose leader someone else reaped
        ::kill(-pid, SIGKILL);
    }
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);

    const std::string command = Util::LogText(m_commandText);
    // Told once the lock is let go: nothing is logged while it is held.
    std::string error;
    std::string warning;
    bool tellLongLine = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool exited = reaped == pid && WIFEXITED(status);
        m_exitCode = exited ? WEXITSTATUS(status) : -1;
        if (killed) {
            m_stopped = true;
        } else if (timedOut) {
            error = "Killed " + command + ": still running after " +
                    std::to_string(m_timeLimitMs) + " ms";
            m_failed = true;
        } else {
            if (!m_skippingLongLine && !m_tail.isEmpty()) {
                DoSplit("\n", 1, true);
            }
            tellLongLine = std::exchange(m_longLineToTell, false);
            if (!exited || m_acceptedCodes.count(m_exitCode) == 0) {
                m_failed = true;
                const QByteArray lastError = m_errorTail.trimmed().split('\n').last();
                warning = command +
                          (exited ? " exited with code " + std::to_string(m_exitCode)
                           : reaped == pid ? " ended by signal " + std::to_string(WTERMSIG(status))
                                           : std::string(" could not be waited for")) +
                          (lastError.isEmpty() ? std::string()
                                               : ": " + Util::LogText(lastError.toStdString()));
            }
        }
    }
    if (tellLongLine) {
        TellLongLine();
    }
    if (!error.empty()) {
        LOG(ERROR) << error;
    }
    if (!warning.empty()) {
        LOG(WARNING) << warning;
    }
    // Last: once it is false the owner may take the results and go.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_working = false;
}

void ProcessLineProducer::TellLongLine() const {
    LOG(WARNING) << "Dropping a line longer than " << m_lineLimit << " bytes printed by "
                 << Util::LogText(m_commandText);
}

void ProcessLineProducer::DoSplit(const char* data, std::size_t size, bool last) {
    std::size_t start = 0;
    auto dropLongLine = [&]() {
        m_tail.clear();
        if (!m_warnedLongLine) {
            m_warnedLongLine = true;
            m_longLineToTell = true;  // logged once the lock is let go
        }
    };
    while (start < size) {
        const void* found = std::memchr(data + start, '\n', size - start);
        if (found == nullptr) {
            break;
        }
        const std::size_t end = static_cast<const char*>(found) - data;
        const std::size_t length = end - start;
        if (m_skippingLongLine) {
            m_skippingLongLine = false;  // the long line ends here
        } else if (static_cast<std::size_t>(m_tail.size()) + length > m_lineLimit) {
            dropLongLine();
        } else {
            QByteArray line;
            line.swap(m_tail);
            line.append(data + start, static_cast<int>(length));
            m_pendingBytes += static_cast<std::size_t>(line.size()) + lineOverhead;
            m_pending.push_back(std::move(line));
        }
        start = end + 1;
    }
    if (last || start >= size || m_skippingLongLine) {
        return;
    }
    if (static_cast<std::size_t>(m_tail.size()) + (size - start) > m_lineLimit) {
        dropLongLine();
        m_skippingLongLine = true;
    } else {
        m_tail.append(data + start, static_cast<int>(size - start));
    }
}

bool ProcessLineProducer::IsWorking() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_working;
}

bool ProcessLineProducer::HasFailed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

bool ProcessLineProducer::WasStopped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopped;
}

int ProcessLineProducer::GetExitCode() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_exitCode;
}

QByteArray ProcessLineProducer::GetErrorTail() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errorTail;
}

bool ProcessLineProducer::Pause() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pid > 0 && ::kill(-m_pid, SIGSTOP) == 0;
}

bool ProcessLineProducer::Resume() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pid > 0 && ::kill(-m_pid, SIGCONT) == 0;
}

void ProcessLineProducer::Stop() {
    m_stopRequested = true;
    DoWake();
}

void ProcessLineProducer::Wait() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_unlimited = true;
    }
    DoWake();
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

ProcessLineProducer::Batch ProcessLineProducer::DoTakeBatch() {
    Batch out;
    bool wasFull;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wasFull = m_pendingBytes >= queueLimitBytes;
        out.swap(m_pending);
        m_pendingBytes = 0;
    }
    if (wasFull) {
        DoWake();
    }
    return out;
}

void ProcessLineProducer::DoClear() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Batch().swap(m_pending);
        m_pendingBytes = 0;
    }
    DoWake();
}

void ProcessLineProducer::DoWake() const {
    if (m_wakeFd >= 0) {
        ::eventfd_write(m_wakeFd, 1);
    }
}

void ProcessLineProducer::DoJoin() {
    if (m_reader.joinable()) {
        m_reader.join();
    }
    CloseFd(m_wakeFd);
}

}  // namespace Varnex::Cleaner::Details
