#include "Core/details/ApplicationScanProducer.h"

#include <dirent.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <atomic>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "CleanerCommon/LogText.h"
#include "Core/details/ApplicationCensus.h"
#include "Core/details/GarbageApplication.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

namespace {

// Folders deeper than this below a measured entry are not read (one
// descriptor is open a level); the size is then incomplete.
const std::size_t maxDepth = 512;
// Threads that measure (the scan's own and helpers).
const std::size_t measuringThreads = 2;

}  // namespace

ApplicationScanProducer::ApplicationScanProducer() : m_worker("The application scan") {}

ApplicationScanProducer::~ApplicationScanProducer() {
    m_worker.Stop();
    m_worker.Wait();
}

bool ApplicationScanProducer::Start() {
    m_worker.Stop();
    m_worker.Wait();
    m_worker.Clear();
    m_waiting = true;
    m_begun = false;
    m_failed = false;
    m_stopped = false;
    return true;
}

void ApplicationScanProducer::Begin(ApplicationScanInput input, bool failed) {
    if (!m_waiting) {
        return;
    }
    m_waiting = false;
    if (failed) {
        m_failed = true;
        return;
    }
    m_begun = true;
    m_worker.SetTask([input = std::move(input)](Worker::Sink& sink) { return Run(input, sink); });
    if (!m_worker.Start()) {
        m_begun = false;
        m_failed = true;
    }
}

void ApplicationScanProducer::Stop() {
    if (m_waiting) {
        m_waiting = false;
        m_stopped = true;
    }
    m_worker.Stop();
}

ApplicationScanProducer::Batch ApplicationScanProducer::DoTakeBatch() {
    if (!m_begun) {
        return {};
    }
    m_worker.TakeBatch();
    return m_worker.MoveBatch();
}

void ApplicationScanProducer::DoClear() {
    m_worker.Stop();
    m_worker.Wait();
    m_worker.Clear();
    m_waiting = false;
    m_begun = false;
}

long long ApplicationScanProducer::MeasureTree(const std::string& path,
                                               const std::function<bool()>& stop, bool* complete) {
    *complete = true;
    struct stat root;
    if (::lstat(path.c_str(), &root) != 0) {
        *complete = false;
        return 0;
    }
    // A file with several names frees its blocks only when every name goes.
    struct Linked {
        nlink_t seen = 0;
        nlink_t links = 0;
        long long bytes = 0;
    };
    std::map<std::pair<dev_t, ino_t>, Linked> linked;
    long long total = 0;
    auto count = [&](const struct stat& st) {
        // A folder's own blocks are left out, as everywhere else.
        if (S_ISDIR(st.st_mode)) {
            return;
        }
        const long long bytes = static_cast<long long>(st.st_blocks) * 512;
        if (st.st_nlink > 1) {
            Linked& l = linked[{st.st_dev, st.st_ino}];
            l.seen += 1;
            l.links = st.st_nlink;
            l.bytes = bytes;
        } else {
            total += bytes;
        }
    };
    count(root);
    if (!S_ISDIR(root.st_mode)) {
        return total;
    }
    // Depth first, each folder read through its parent's descriptor: one
    // open folder a level, and no path looked up from the top again.
    std::vector<DIR*> open;
    const int rootFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* top = rootFd >= 0 ? ::fdopendir(rootFd) : nullptr;
    if (!top) {
        if (rootFd >= 0) {
            ::close(rootFd);
        }
        *complete = false;
        return total;
    }
    open.push_back(top);
    std::size_t sinceStop = 0;
    while (!open.empty()) {
        if (++sinceStop == 256) {
            sinceStop = 0;
            if (stop && stop()) {
                *complete = false;
                break;
            }
        }
        DIR* dir = open.back();
        const dirent* d = ::readdir(dir);
        if (!d) {
            ::closedir(dir);
            open.pop_back();
            continue;
        }
        const char* name = d->d_name;
        if ((name[0] == '.' && name[1] == 0) ||
            (name[0] == '.' && name[1] == '.' && name[2] == 0)) {
            continue;
        }
        struct stat st;
        if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            *complete = false;
            continue;
        }
        if (S_ISDIR(st.st_mode) && st.st_dev != root.st_dev) {
            continue;  // another mount: never removed with the tree
        }
        count(st);
        if (!S_ISDIR(st.st_mode)) {
            continue;
        }
        const int fd =
            open.size() < maxDepth
                ? ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                : -1;
        DIR* child = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!child) {
            if (fd >= 0) {
                ::close(fd);
            }
            *complete = false;
            continue;
        }
        open.push_back(child);
    }
    for (DIR* dir : open) {
        ::closedir(dir);
    }
    for (const auto& entry : linked) {
        if (entry.second.seen >= entry.second.links) {
            total += entry.second.bytes;
        }
    }
    return total;
}

bool ApplicationScanProducer::MeasureAndHandOver(ApplicationCensus::Application& app,
                                                 const AppsDB::Application* cached,
                                                 const std::function<bool()>& stopped,
                                                 Worker::Sink& sink) {
    ApplicationScanRecord record;
    record.kind = ApplicationScanRecord::APPLICATION;
    record.appPath = app.path;
    record.path = app.path;
    record.bundleId = app.id;
    if (app.exists) {
        record.isDirectory = true;
        record.device = app.device;
        record.inode = app.inode;
        record.birth = app.birth;
        if (cached && !cached->isDirty && cached->size > 0) {
            record.size = cached->size;
        } else {
            bool complete = false;
            record.size = MeasureTree(Platform::EncodePathOrEmpty(app.path), stopped, &complete);
            if (stopped()) {
                return false;
            }
            if (complete) {
                if (AppsDB::SaveApplication(app.path, app.name, app.id, record.size, QDateTime())) {
                    record.measured = true;
                } else {
                    LOG(ERROR) << "Failed to cache " << Util::LogText(app.path);
                }
            }
        }
        record.lastUsed = GarbageApplication::ReadLastUsedTime(app.path);
        if (!record.lastUsed.isValid()) {
            // No date at all: the item would ask mdls again, on the scope's thread.
            record.lastUsed = QFileInfo(app.path).lastModified();
        }
    }
    for (ApplicationScanRecord& leftover : app.leftovers) {
        bool complete = false;
        leftover.size = MeasureTree(Platform::EncodePathOrEmpty(leftover.path), stopped, &complete);
        if (stopped()) {
            return false;
        }
    }
    if (!sink.Add(std::move(record))) {
        return false;
    }
    for (ApplicationScanRecord& leftover : app.leftovers) {
        if (!sink.Add(std::move(leftover))) {
            return false;
        }
    }
    return true;
}

bool ApplicationScanProducer::Run(const ApplicationScanInput& input, Worker::Sink& sink) {
    const auto stopped = [&sink] { return sink.IsStopped(); };
    ApplicationCensus census(input);
    if (!census.Take(stopped)) {
        return false;
    }
    std::vector<ApplicationCensus::Application*> apps;
    for (ApplicationCensus::Application& app : census.GetApplications()) {
        if (!input.leftoversOnly || !app.leftovers.isEmpty()) {
            apps.push_back(&app);
        }
    }
    // Measured on two threads, each application handed over as soon as it
    // is done (its own records in order; the applications in the order they
    // finish).
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::atomic<bool> quit{false};
    const auto work = [&] {
        for (;;) {
            const std::size_t i = next++;
            if (i >= apps.size() || quit) {
                return;
            }
            if (!MeasureAndHandOver(*apps[i], census.FindRecord(apps[i]->path), stopped, sink)) {
                quit = true;
                return;
            }
            sink.SetProgress(static_cast<float>(++done) / static_cast<float>(apps.size()));
        }
    };
    std::vector<std::thread> helpers;
    for (std::size_t k = 1; k < measuringThreads && k < apps.size(); ++k) {
        helpers.emplace_back(work);
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    return !quit && !stopped();
}

}  // namespace Varnex::Cleaner::Details
