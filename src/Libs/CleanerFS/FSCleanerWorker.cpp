#include "CleanerFS/FSCleanerWorker.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <system_error>

#include "CleanerCommon/Checks.h"
#include "CleanerCommon/Paths.h"
#include "CleanerFS/FSEntryRemover.h"
#include "CleanerFS/FSSystemCalls.h"
#include "CleanerFS/FSThreadPriority.h"
#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner::Details {

namespace {

// Below this many paths a run stays on one thread: more would save little,
// and small plans keep their plain order.
constexpr std::size_t severalThreadsFrom = 4096;
// Removal waits on the disk much of the time (each entry is examined, moved
// aside and unlinked): four threads overlap those waits even on two cores,
// where they cleaned 210,526 files a quarter faster than two.
constexpr std::size_t removalThreads = 4;
// Parts small enough that the threads end close together, large enough that
// taking one is rare.
constexpr std::size_t partsPerThread = 16;
constexpr std::size_t minPartSize = 256;

// Two spellings of one entry (a link the resolver follows on the way, a
// mount of the same folder) would put it in two parts, and a folder could go
// while the other thread still works inside it. The text of the paths tells
// the parts apart only when every folder between `common` and the planned
// entries is a plain folder on common's device: each is examined once.
bool AreFoldersBelowPlain(const std::vector<QStringView>& paths, QStringView common,
                          std::string* why) {
    std::string bytes;
    struct stat st;
    if (!Platform::EncodePath(common.toString(), &bytes) || ::lstat(bytes.c_str(), &st) != 0) {
        *why = "its common folder cannot be examined";
        return false;
    }
    const dev_t device = st.st_dev;
    QSet<QStringView> examined;
    QStringView lastParent;
    for (const QStringView path : paths) {
        QStringView folder = path.left(std::max(0, static_cast<int>(path.lastIndexOf('/'))));
        if (folder == lastParent) {
            continue;
        }
        lastParent = folder;
        // Up to the first folder examined before: those above it were too.
        while (folder.size() > common.size() && !examined.contains(folder)) {
            examined.insert(folder);
            if (!Platform::EncodePath(folder.toString(), &bytes)) {
                *why = "a folder on the way cannot be encoded";
                return false;
            }
            if (::lstat(bytes.c_str(), &st) == 0 && (!S_ISDIR(st.st_mode) || st.st_dev != device)) {
                *why = "\"" + ShownPath(folder.toString()) +
                       "\" on the way is a link or another mount";
                return false;
            }
            folder = folder.left(std::max(0, static_cast<int>(folder.lastIndexOf('/'))));
        }
    }
    return true;
}

bool IsAtOrBelow(const std::string& path, const std::string& folder) {
    return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

}  // namespace

FSCleanerWorker::FSCleanerWorker(const QString& context) : m_context(context) {}

FSCleanerWorker::~FSCleanerWorker() {
    Stop();
    Wait();
}

FSCleanerWorker::Planned FSCleanerWorker::MakePlanned(const QString& path, int flags,
                                                      const FSCleanerServer::Expected* expected) {
    Planned planned{path, flags & ~(identityKnown | identityFolder), 0, 0, 0, 0};
    if (expected) {
        planned.flags |= identityKnown | (expected->isDirectory ? identityFolder : 0);
        planned.device = expected->device < deviceTooWide
                             ? static_cast<std::uint32_t>(expected->device)
                             : deviceTooWide;
        planned.inode = expected->inode;
        planned.birth = expected->birth;
        planned.unchangedSince = expected->unchangedSince;
    }
    return planned;
}

void FSCleanerWorker::DropRepeatedPaths(std::vector<Planned>* plan) {
    // Open addressing over the kept positions, with each one's hash beside
    // it: no allocation per path, and a path is read again only when the
    // hashes match.
    constexpr std::uint32_t empty = std::numeric_limits<std::uint32_t>::max();
    if (plan->size() >= empty / 2) {
        return;  // never in practice; every path then simply runs
    }
    std::size_t capacity = 16;
    while (capacity < plan->size() * 2) {
        capacity <<= 1;
    }
    std::vector<std::uint32_t> kept(capacity, empty);
    std::vector<std::uint32_t> hashes(capacity, 0);
    std::size_t count = 0;
    for (std::size_t i = 0; i < plan->size(); ++i) {
        const QString& path = (*plan)[i].path;
        const std::uint32_t hash = PathHash(path);
        std::size_t slot = hash & (capacity - 1);
        bool repeated = false;
        for (; kept[slot] != empty; slot = (slot + 1) & (capacity - 1)) {
            if (hashes[slot] == hash && (*plan)[kept[slot]].path == path) {
                repeated = true;
                break;
            }
        }
        if (repeated) {
            continue;
        }
        if (count != i) {
            (*plan)[count] = std::move((*plan)[i]);
        }
        kept[slot] = static_cast<std::uint32_t>(count);
        hashes[slot] = hash;
        ++count;
    }
    plan->resize(count);
}

void FSCleanerWorker::Plan(const QString& path, int flags,
                           const FSCleanerServer::Expected* expected) {
    FSCleanerServer::PlanEntry entry{path, flags, expected != nullptr,
                                     expected ? *expected : FSCleanerServer::Expected{}};
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_plan.empty()) {
        m_plan.emplace_back();
    }
    m_plan.back().push_back(std::move(entry));
    ++m_planSize;
}

void FSCleanerWorker::Plan(const std::vector<FSCleanerServer::PlanEntry>& entries) {
    Plan(std::vector<FSCleanerServer::PlanEntry>(entries));
}

void FSCleanerWorker::Plan(std::vector<FSCleanerServer::PlanEntry>&& entries) {
    if (entries.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_planSize += entries.size();
    m_plan.push_back(std::move(entries));
    // Later single paths go after these, in their own piece.
    m_plan.emplace_back();
}

std::vector<FSCleanerWorker::Planned> FSCleanerWorker::DoFlatten(Segments segments,
                                                                 std::size_t total) {
    std::vector<Planned> plan;
    plan.reserve(total);
    for (std::vector<FSCleanerServer::PlanEntry>& segment : segments) {
        for (FSCleanerServer::PlanEntry& entry : segment) {
            plan.push_back(MakePlanned(entry.path, entry.flags,
                                       entry.hasExpected ? &entry.expected : nullptr));
        }
        std::vector<FSCleanerServer::PlanEntry>().swap(segment);
    }
    return plan;
}

void FSCleanerWorker::AddTrustedLink(const QString& linkPath) {
    std::string bytes;
    if (!IsPathSafe(linkPath) || !Platform::EncodePath(linkPath, &bytes)) {
        LOG(WARNING) << "Not trusting the unsafe root link \"" << ShownPath(linkPath) << "\"";
        return;
    }
    struct stat linkStat;
    struct stat targetStat;
    const bool isLink = ::lstat(bytes.c_str(), &linkStat) == 0 && S_ISLNK(linkStat.st_mode);
    const bool leadsToFolder =
        isLink && ::stat(bytes.c_str(), &targetStat) == 0 && S_ISDIR(targetStat.st_mode);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!leadsToFolder) {
        // Not a link to a folder now: nothing to trust, and a link put there
        // later will not be followed.
        m_trusted.erase(bytes);
        return;
    }
    m_trusted[bytes] = FSParentResolver::LinkTarget{targetStat.st_dev, targetStat.st_ino};
}

bool FSCleanerWorker::Start() {
    std::unique_lock<std::mutex> lock(m_mutex);
    Segments plan;
    plan.swap(m_plan);
    const std::size_t total = m_planSize;
    m_planSize = 0;
    if (m_active) {
        LOG(WARNING) << "The removal context " << m_context.toStdString()
                     << " is already running; its new plan of " << total << " paths is dropped";
        return false;
    }
    if (total == 0) {
        return false;
    }
    if (const char* variable = Platform::UndecodablePathVariable()) {
        // The safety checks cannot tell where the home folder or the system
        // is: nothing runs.
        m_state = FSCleanerServer::RUN_FAILED;
        LOG(WARNING) << "The removal context " << m_context.toStdString()
                     << " cannot start: " << variable
                     << " is not an absolute UTF-8 path; its plan of " << total
                     << " paths is dropped";
        return false;
    }
    if (m_thread.joinable()) {
        m_thread.join();  // the last run has ended; its thread only has to exit
    }
    FSCleanerFd root(FSSystemCalls::OpenAt(AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root.IsValid()) {
        const int err = errno;
        m_state = FSCleanerServer::RUN_FAILED;
        LOG(WARNING) << "The removal context " << m_context.toStdString()
                     << " cannot start: " << ErrnoText(err);
        return false;
    }
    auto remover = std::make_unique<FSEntryRemover>(std::move(root), m_trusted);
    Helpers helpers;
    std::vector<std::string> trustedLinks;
    const std::size_t threads = std::thread::hardware_concurrency() >= 2 ? removalThreads : 1;
    if (total >= severalThreadsFrom && threads >= 2) {
        // Each its own descriptors: a resolver belongs to one thread.
        for (std::size_t i = 1; i < threads; ++i) {
            FSCleanerFd helperRoot(
                FSSystemCalls::OpenAt(AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!helperRoot.IsValid()) {
                break;
            }
            helpers.push_back(std::make_unique<FSEntryRemover>(std::move(helperRoot), m_trusted));
        }
        for (const auto& link : m_trusted) {
            trustedLinks.push_back(link.first);
        }
    }
    m_stop = false;
    m_done = 0;
    m_total = total;
    m_active = true;
    m_state = FSCleanerServer::WORKING;
    try {
        m_thread =
            std::thread([this, owned = std::move(remover), helpers = std::move(helpers),
                         plan = std::move(plan), total, links = std::move(trustedLinks)]() mutable {
                LowerThreadPriority(removalNiceSteps);
                Run(std::move(plan), total, owned.get(), std::move(helpers), std::move(links));
            });
    } catch (const std::system_error& e) {
        m_active = false;
        m_state = FSCleanerServer::RUN_FAILED;
        LOG(WARNING) << "The removal context " << m_context.toStdString()
                     << " cannot start its thread: " << e.what();
        return false;
    }
    return true;
}

bool FSCleanerWorker::DoDivide(const std::vector<Planned>& plan, std::size_t threads,
                               const std::vector<std::string>& trustedLinks,
                               FSPlanSplitter::Parts* parts) const {
    if (plan.size() < severalThreadsFrom) {
        return false;
    }
    std::vector<QStringView> paths;
    paths.reserve(plan.size());
    for (const Planned& planned : plan) {
        if (planned.flags & (FSCleanerServer::FLAG_TRASH | FSCleanerServer::FLAG_SHRED)) {
            // Moves into one shared Trash, and overwrites, go one at a time.
            return false;
        }
        paths.emplace_back(planned.path);
    }
    const QStringView common = FSPlanSplitter::CommonFolder(paths);
    std::string commonBytes;
    if (common.isEmpty() || !Platform::EncodePath(common.toString(), &commonBytes)) {
        return false;
    }
    for (const std::string& link : trustedLinks) {
        if (IsAtOrBelow(link, commonBytes)) {
            return false;
        }
    }
    std::string why;
    if (!AreFoldersBelowPlain(paths, common, &why)) {
        LOG(INFO) << "The removal context " << m_context.toStdString()
                  << " runs on one thread: " << why;
        return false;
    }
    const std::size_t partSize = std::max(minPartSize, plan.size() / (threads * partsPerThread));
    return FSPlanSplitter::Split(paths, partSize, parts);
}

bool FSCleanerWorker::DoRemoveOne(Planned& planned, FSEntryRemover* remover) {
    int code;
    if (planned.flags & identityKnown) {
        const FSCleanerServer::Expected expected{
            (planned.flags & identityFolder) != 0,
            planned.device == deviceTooWide ? ~0ULL : planned.device, planned.inode, planned.birth,
            planned.unchangedSince};
        code = remover->Remove(planned.path, planned.flags & ~(identityKnown | identityFolder),
                               &expected);
    } else {
        code = remover->Remove(planned.path, planned.flags, nullptr);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results.append(
            FSCleanerServer::Result{std::move(planned.path), code,
                                    // Gone before its turn: whatever it held was not freed here
                                    // (it may lie elsewhere, moved with its folder).
                                    code == FSCleaner::REMOVED     ? remover->GetFreed()
                                    : code == FSCleaner::NOT_FOUND ? 0
                                                                   : -1});
    }
    m_done.fetch_add(1, std::memory_order_relaxed);
    return code != FSCleaner::REMOVED && code != FSCleaner::NOT_FOUND;
}

std::size_t FSCleanerWorker::DoRunInParts(std::vector<Planned>& plan,
                                          const FSPlanSplitter::Parts& parts,
                                          FSEntryRemover* remover, const Helpers& helpers) {
    std::atomic<std::size_t> nextPart{0};
    std::atomic<std::size_t> failed{0};
    std::mutex linkLock;
    remover->ShareLinkLock(&linkLock);
    for (const auto& helper : helpers) {
        helper->ShareLinkLock(&linkLock);
    }
    const auto work = [&](FSEntryRemover* own) {
        std::size_t ownFailed = 0;
        for (std::size_t part = nextPart++; part < parts.parts.size(); part = nextPart++) {
            for (std::uint32_t position : parts.parts[part]) {
                if (m_stop.load(std::memory_order_relaxed)) {
                    break;
                }
                ownFailed += DoRemoveOne(plan[position], own) ? 1 : 0;
            }
        }
        failed += ownFailed;
    };
    std::vector<std::thread> threads;
    for (const auto& helper : helpers) {
        try {
            // It keeps the niceness of this thread.
            threads.emplace_back(work, helper.get());
        } catch (const std::system_error& e) {
            LOG(WARNING) << "The removal context " << m_context.toStdString() << " runs on "
                         << threads.size() + 1 << " threads: " << e.what();
            break;
        }
    }
    work(remover);
    for (std::thread& thread : threads) {
        thread.join();
    }
    remover->ShareLinkLock(nullptr);
    std::size_t lastFailed = 0;
    for (std::uint32_t position : parts.last) {
        if (m_stop.load(std::memory_order_relaxed)) {
            break;
        }
        lastFailed += DoRemoveOne(plan[position], remover) ? 1 : 0;
    }
    return failed + lastFailed;
}

void FSCleanerWorker::Run(Segments segments, std::size_t total, FSEntryRemover* remover,
                          Helpers helpers, std::vector<std::string> trustedLinks) {
    std::vector<Planned> plan = DoFlatten(std::move(segments), total);
    DropRepeatedPaths(&plan);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_total = plan.size();
    }
    std::size_t failed = 0;
    FSPlanSplitter::Parts parts;
    if (!helpers.empty() && DoDivide(plan, helpers.size() + 1, trustedLinks, &parts)) {
        LOG(INFO) << "The removal context " << m_context.toStdString() << " runs "
                  << parts.parts.size() << " parts of its plan on " << helpers.size() + 1
                  << " threads, then " << parts.last.size() << " folders above them";
        failed = DoRunInParts(plan, parts, remover, helpers);
    } else {
        for (Planned& planned : plan) {
            if (m_stop.load(std::memory_order_relaxed)) {
                break;
            }
            failed += DoRemoveOne(planned, remover) ? 1 : 0;
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool stopped = m_stop.load();
    LOG(INFO) << "The removal context " << m_context.toStdString()
              << (stopped ? " was stopped after " : " has finished ") << m_done.load() << " of "
              << m_total << " paths, " << failed << " failed";
    m_state = stopped ? FSCleanerServer::STOPPED : FSCleanerServer::IDLE;
    m_active = false;
}

void FSCleanerWorker::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_active) {
        m_stop = true;
    }
}

void FSCleanerWorker::Wait() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        thread.swap(m_thread);
    }
    if (thread.joinable()) {
        thread.join();
    }
}

QList<FSCleanerServer::Result> FSCleanerWorker::TakeResults() {
    QList<FSCleanerServer::Result> results;
    std::lock_guard<std::mutex> lock(m_mutex);
    results.swap(m_results);
    return results;
}

bool FSCleanerWorker::IsWorking() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_active || !m_results.isEmpty();
}

int FSCleanerWorker::GetState() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

float FSCleanerWorker::GetProgress() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_total == 0) {
        return 0.0f;
    }
    return static_cast<float>(m_done.load()) / static_cast<float>(m_total);
}

}  // namespace Varnex::Cleaner::Details
