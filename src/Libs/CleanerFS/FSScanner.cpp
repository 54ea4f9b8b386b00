#include "CleanerFS/FSScanner.h"

#include <glog/logging.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QString>
#include <algorithm>
#include <memory>
#include <thread>

#include "CleanerCommon/Checks.h"
#include "CleanerCommon/Paths.h"
#include "CleanerFS/FSCleanerSupport.h"
#include "CleanerFS/FSThreadPriority.h"
#include "CleanerFS/FolderQueue.h"
#include "CleanerFS/FolderWalker.h"
#include "CleanerFS/ResultQueue.h"
#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner::Details {

namespace {

// Records found but not taken yet; walkers wait beyond this. The scopes take
// results every 40 ms, so this also caps the scan at capacity / 40 ms records
// a second: 65,536 lets a scope take 1.6 million a second, for about 8 MB.
constexpr std::size_t resultCapacity = 65536;

int Depth(const std::string& path) {
    return path == "/" ? 0 : static_cast<int>(std::count(path.begin(), path.end(), '/'));
}

int Depth(const QString& path) {
    const QString clean = path.isEmpty() ? QString() : QDir::cleanPath(path);
    return clean.isEmpty() || clean == QLatin1String("/") ? 0 : clean.count(QLatin1Char('/'));
}

// Absolute, without "." components, repeated or trailing slashes. ".." is
// refused rather than resolved: resolving it by text could name another
// folder than the kernel would.
bool NormaliseRoot(const std::string& root, std::string* out) {
    if (root.empty() || root[0] != '/') {
        return false;
    }
    std::string result;
    std::size_t pos = 0;
    while (pos < root.size()) {
        const std::size_t next = std::min(root.find('/', pos), root.size());
        const std::string part = root.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            return false;
        }
        result += '/';
        result += part;
    }
    *out = result.empty() ? std::string("/") : result;
    return true;
}

bool IsSameOrBelow(const std::string& path, const std::string& folder) {
    if (folder == "/") {
        return true;
    }
    return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

// A root as given (normalised), and where its links lead.
struct Root {
    std::string path;
    std::string real;
    bool known = false;  // device and inode were read
    dev_t device = 0;
    ino_t inode = 0;

    bool SameFolder(const Root& other) const {
        return known && other.known && device == other.device && inode == other.inode;
    }
};

// `real` (below root.real) as the walk of `root` spells it.
std::string SpelledBelow(const Root& root, const std::string& real) {
    const std::string rest = root.real == "/" ? real : real.substr(root.real.size());
    if (root.path == "/") {
        return rest.empty() ? std::string("/") : rest;
    }
    return rest == "/" ? root.path : root.path + rest;
}

}  // namespace

class FSScanner::Impl {
public:
    explicit Impl(unsigned int maxThreads) : m_results(resultCapacity) {
        const unsigned int cores = std::max(1u, std::thread::hardware_concurrency());
        m_threadCount = std::max(1u, std::min(maxThreads, cores));
        m_settings.euid = ::geteuid();
    }

    bool IsWorking() const {
        // The walk first: a walker hands over its last records before the walk
        // ends, so an idle walk seen here means its records are already visible.
        return m_folders.IsActive() || !m_results.IsEmpty();
    }

    void StartSession() {
        m_roots.clear();
        m_settings.ClearSkippedRoots();
        m_settings.ClearNames();
        m_folders.Reset();
        m_results.Reset();
        m_settings.unsafeDepth =
            std::max({3, Depth(Platform::SystemRoot()) + 3, Depth(Platform::HomePath())}) + 1;
        m_settings.protectedFolders = ProtectedFolders::Current();
    }

    void Scan(const std::list<std::string>& roots) {
        const bool scanUnsafe = m_settings.scanUnsafe.load();
        std::vector<Root> fresh;
        for (const std::string& given : roots) {
            Root root;
            if (!NormaliseRoot(given, &root.path) ||
                !Platform::IsValidUtf8(root.path.data(), root.path.size())) {
                LOG(WARNING) << "Not scanning \"" << EscapeForLog(given)
                             << "\": not an absolute UTF-8 path";
                continue;
            }
            // Nesting and protection are judged where the links lead: a root
            // given through a link to the home folder is the home folder.
            root.real = ResolveLinks(root.path);
            if (root.real.empty()) {
                root.real = root.path;
            }
            if (!scanUnsafe && (!IsPathSafe(Platform::DecodePathOrNull(root.path)) ||
                                !IsPathSafe(Platform::DecodePathOrNull(root.real)))) {
                LOG(WARNING) << "Not scanning the protected folder \"" << EscapeForLog(root.path)
                             << "\"";
                continue;
            }
            struct stat st;
            root.known = ::stat(root.path.c_str(), &st) == 0;
            root.device = root.known ? st.st_dev : 0;
            root.inode = root.known ? st.st_ino : 0;
            fresh.push_back(std::move(root));
        }
        if (fresh.empty()) {
            return;
        }
        const bool stopped = m_folders.IsStopped();
        if (stopped) {
            Wait();
        }
        if (stopped || !IsWorking()) {
            StartSession();
        }

        // Roots inside another (or the same folder again, by another path or
        // a bind mount) are dropped; the first one given stays.
        std::vector<Root> accepted;
        for (std::size_t i = 0; i < fresh.size(); ++i) {
            bool inside = false;
            for (std::size_t j = 0; j < fresh.size() && !inside; ++j) {
                inside = i != j && IsSameOrBelow(fresh[i].real, fresh[j].real) &&
                         (fresh[i].real != fresh[j].real || j < i);
            }
            for (const Root& earlier : m_roots) {
                inside = inside || IsSameOrBelow(fresh[i].real, earlier.real);
            }
            for (const Root& other : accepted) {
                inside = inside || other.SameFolder(fresh[i]);
            }
            for (const Root& earlier : m_roots) {
                inside = inside || earlier.SameFolder(fresh[i]);
            }
            if (inside) {
                LOG(INFO) << "\"" << EscapeForLog(fresh[i].path)
                          << "\" is scanned with another root that holds it";
            } else {
                accepted.push_back(fresh[i]);
            }
        }
        // A root around an earlier one: the earlier tree is not walked twice.
        std::vector<FolderTask> tasks;
        for (const Root& root : accepted) {
            for (const Root& earlier : m_roots) {
                if (IsSameOrBelow(earlier.real, root.real)) {
                    m_settings.AddSkippedRoot(SpelledBelow(root, earlier.real));
                }
            }
            if (root.known) {
                m_settings.AddRootIdentity(root.device, root.inode);
            }
            FolderTask task;
            task.path = root.path;
            task.weight = 1.0;
            task.depth = Depth(root.path);
            task.isRoot = true;
            tasks.push_back(std::move(task));
        }
        m_roots.insert(m_roots.end(), accepted.begin(), accepted.end());
        if (tasks.empty()) {
            return;
        }
        const double weight = static_cast<double>(tasks.size());
        if (!m_folders.Push(&tasks, weight)) {
            // No walk was running: the walkers of the last one are leaving.
            JoinThreads();
            StartThreads(m_folders.CurrentEpoch());
        }
    }

    void Stop() {
        m_folders.Stop();
        m_results.Stop();
    }

    void Wait() {
        // Nobody takes results while the owner waits here: the bound would
        // keep the walkers from ever finishing.
        m_results.SetUnbounded(true);
        JoinThreads();
        m_results.SetUnbounded(false);
    }

    void StartThreads(unsigned int epoch) {
        for (unsigned int i = 0; i < m_threadCount; ++i) {
            m_threads.emplace_back([this, epoch] {
                LowerThreadPriority(walkerNiceSteps);
                FolderWalker walker(m_settings, &m_folders, &m_results);
                walker.Run(epoch);
            });
        }
    }

    void JoinThreads() {
        for (std::thread& thread : m_threads) {
            thread.join();
        }
        m_threads.clear();
    }

    unsigned int m_threadCount = 1;
    WalkSettings m_settings;
    FolderQueue m_folders;
    ResultQueue m_results;
    std::vector<std::thread> m_threads;
    std::vector<Root> m_roots;  // of the current walk series
};

FSScanner::FSScanner(unsigned int maxThreads) : m_impl(std::make_unique<Impl>(maxThreads)) {}

FSScanner::~FSScanner() {
    m_impl->Stop();
    m_impl->Wait();
}

void FSScanner::AddResultFilter(Filter filter) {
    if (m_impl->IsWorking()) {
        LOG(ERROR) << "A result filter cannot be added while a scan runs";
        return;
    }
    // Walkers of a finished walk may still be leaving; they no longer read it.
    m_impl->JoinThreads();
    m_impl->m_settings.filters.push_back(std::move(filter));
}

void FSScanner::SetPathsDecoded(bool decoded) {
    m_impl->m_settings.decodePaths.store(decoded);
}

void FSScanner::SetScanUnsafePaths(bool scan) {
    m_impl->m_settings.scanUnsafe.store(scan);
}

void FSScanner::Scan(const std::list<std::string>& roots) {
    m_impl->Scan(roots);
}

FSScanner::Results FSScanner::GetResults() {
    return m_impl->m_results.Take();
}

float FSScanner::GetProgress() const {
    return m_impl->m_folders.GetProgress();
}

bool FSScanner::IsWorking() const {
    return m_impl->IsWorking();
}

void FSScanner::Stop() {
    m_impl->Stop();
}

void FSScanner::Wait() {
    m_impl->Wait();
}

void FSScanner::Clear() {
    m_impl->m_results.Clear();
}

}  // namespace Varnex::Cleaner::Details
