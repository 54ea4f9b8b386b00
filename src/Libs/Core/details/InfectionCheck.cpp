#include "Core/details/InfectionCheck.h"

#include <sys/stat.h>

#include <chrono>

#include "Core/details/ProcessLineProducer.h"
#include "Platform/PathCodec.h"
#include "Platform/ToolRun.h"

namespace Varnex::Cleaner::Details {

namespace {

// Loading the signature databases alone takes a while; one file never takes
// this long.
const int checkTimeLimitMs = 10 * 60 * 1000;
const auto pollInterval = std::chrono::milliseconds(20);

bool SameFile(const struct stat& st, const InfectionCheck::Finding& finding) {
    return S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_dev) == finding.device &&
           static_cast<unsigned long long>(st.st_ino) == finding.inode &&
           static_cast<long long>(st.st_size) == finding.size;
}

InfectionCheck::Verdict Refused(const QString& reason) {
    return {false, reason};
}

}  // namespace

InfectionCheck::~InfectionCheck() {
    Stop();
}

void InfectionCheck::Start(const ClamavLayout& layout, std::vector<Finding> findings) {
    Stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_verdicts.assign(findings.size(), Refused(QStringLiteral("not checked")));
    }
    m_cancel = false;
    m_working = true;
    m_thread = std::thread(&InfectionCheck::DoRun, this, layout, std::move(findings));
}

bool InfectionCheck::IsWorking() const {
    return m_working;
}

void InfectionCheck::Stop() {
    m_cancel = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_working = false;
}

std::vector<InfectionCheck::Verdict> InfectionCheck::TakeVerdicts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Verdict> out;
    out.swap(m_verdicts);
    return out;
}

void InfectionCheck::DoRun(ClamavLayout layout, std::vector<Finding> findings) {
    for (std::size_t i = 0; i < findings.size() && !m_cancel; ++i) {
        Verdict verdict = Check(layout, findings[i], m_cancel);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (i < m_verdicts.size()) {
            m_verdicts[i] = std::move(verdict);
        }
    }
    m_working = false;
}

InfectionCheck::Verdict InfectionCheck::Check(const ClamavLayout& layout, const Finding& finding,
                                              const std::atomic<bool>& cancel) {
    std::string bytes;
    if (!Platform::EncodePath(finding.path, &bytes) || finding.name.isEmpty()) {
        return Refused(QStringLiteral("its name can't be passed on"));
    }
    struct stat before {};
    if (::lstat(bytes.c_str(), &before) != 0 || !SameFile(before, finding)) {
        return Refused(QStringLiteral("it is not the file the scan saw any more"));
    }

    ProcessLineProducer scan;
    const ClamavLayout::Command command = layout.GetFileCheckCommand(finding.path);
    scan.SetCommand(command.program, command.args);
    scan.SetEnvironment(command.environment);
    scan.SetAcceptedExitCodes({0, 1});
    scan.SetTimeLimit(checkTimeLimitMs);
    if (!scan.Start()) {
        return Refused(QStringLiteral("clamscan could not be started"));
    }
    const QByteArray expected = QByteArray(bytes.data(), static_cast<int>(bytes.size())) +
                                QByteArrayLiteral(": ") + finding.name.toUtf8() +
                                QByteArrayLiteral(" FOUND");
    // One file gives one line, or more when its name holds line breaks: the
    // whole output, lines joined, must be exactly the finding.
    QByteArray output;
    int lines = 0;
    const auto take = [&] {
        for (QByteArray& line : scan.MoveBatch()) {
            if (lines++ > 0) {
                output += '\n';
            }
            output += line;
        }
    };
    bool working = true;
    while (working) {
        working = scan.IsWorking();
        if (cancel || Platform::AreToolRunsInterrupted()) {
            scan.Stop();
            scan.Wait();
            return Refused(QStringLiteral("the check was stopped"));
        }
        if (scan.TakeBatch() > 0) {
            take();
            if (output.size() > expected.size()) {
                break;  // more than the finding: not believed
            }
        }
        if (working) {
            std::this_thread::sleep_for(pollInterval);
        }
    }
    scan.Stop();
    scan.Wait();
    if (scan.TakeBatch() > 0) {
        take();
    }
    if (scan.GetExitCode() != 1 || output != expected) {
        const QString said = lines == 0 ? QStringLiteral("nothing")
                             : !output.startsWith(expected.left(static_cast<int>(bytes.size()) + 2))
                                 ? QStringLiteral("%1 lines").arg(lines)
                                 : QString::fromUtf8(output.mid(
                                       static_cast<int>(bytes.size()) + 2, 200));
        return Refused(QStringLiteral("a scan of this file alone does not confirm it (exit code "
                                      "%1, it said %2)")
                           .arg(scan.GetExitCode())
                           .arg(said));
    }
    struct stat after {};
    if (::lstat(bytes.c_str(), &after) != 0 || !SameFile(after, finding) ||
        after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
        after.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
        // A rename away and back (another file scanned meanwhile) keeps the
        // rest but changes this.
        after.st_ctim.tv_sec != before.st_ctim.tv_sec ||
        after.st_ctim.tv_nsec != before.st_ctim.tv_nsec) {
        return Refused(QStringLiteral("it changed while it was checked"));
    }
    return {true, QString(),
            static_cast<long long>(after.st_ctim.tv_sec) * 1000000000LL + after.st_ctim.tv_nsec};
}

}  // namespace Varnex::Cleaner::Details
