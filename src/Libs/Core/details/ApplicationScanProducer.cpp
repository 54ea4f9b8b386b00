#include "Core/details/ApplicationScanProducer.h"

#include <dirent.h>
#include <glog/logging.h>
#include <sys/stat.h>

#include <QFileInfo>
#include <map>
#include <utility>
#include <vector>

#include "CleanerCommon/LogText.h"
#include "Core/details/ApplicationCensus.h"
#include "Core/details/GarbageApplication.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

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
    std::vector<std::string> folders;
    if (S_ISDIR(root.st_mode)) {
        folders.push_back(path);
    }
    while (!folders.empty()) {
        if (stop && stop()) {
            *complete = false;
            return total;
        }
        const std::string folder = std::move(folders.back());
        folders.pop_back();
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) {
            *complete = false;
            continue;
        }
        while (const dirent* d = ::readdir(dir)) {
            const char* name = d->d_name;
            if ((name[0] == '.' && name[1] == 0) ||
                (name[0] == '.' && name[1] == '.' && name[2] == 0)) {
                continue;
            }
            std::string child = folder + "/" + name;
            struct stat st;
            if (::lstat(child.c_str(), &st) != 0) {
                *complete = false;
                continue;
            }
            if (S_ISDIR(st.st_mode) && st.st_dev != root.st_dev) {
                continue;  // another mount: never removed with the tree
            }
            count(st);
            if (S_ISDIR(st.st_mode)) {
                folders.push_back(std::move(child));
            }
        }
        ::closedir(dir);
    }
    for (const auto& entry : linked) {
        if (entry.second.seen >= entry.second.links) {
            total += entry.second.bytes;
        }
    }
    return total;
}

bool ApplicationScanProducer::Run(const ApplicationScanInput& input, Worker::Sink& sink) {
    const auto stopped = [&sink] { return sink.IsStopped(); };
    ApplicationCensus census(input);
    if (!census.Take(stopped)) {
        return false;
    }
    std::vector<ApplicationCensus::Application>& apps = census.GetApplications();
    // Measure and hand over, application by application.
    for (std::size_t i = 0; i < apps.size(); ++i) {
        ApplicationCensus::Application& app = apps[i];
        if (input.leftoversOnly && app.leftovers.isEmpty()) {
            continue;
        }
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
            const AppsDB::Application* cached = census.FindRecord(app.path);
            if (cached && !cached->isDirty && cached->size > 0) {
                record.size = cached->size;
            } else {
                bool complete = false;
                record.size =
                    MeasureTree(Platform::EncodePathOrEmpty(app.path), stopped, &complete);
                if (stopped()) {
                    return false;
                }
                if (complete) {
                    if (AppsDB::SaveApplication(app.path, app.name, app.id, record.size,
                                                QDateTime())) {
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
            leftover.size =
                MeasureTree(Platform::EncodePathOrEmpty(leftover.path), stopped, &complete);
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
        sink.SetProgress(static_cast<float>(i + 1) / static_cast<float>(apps.size()));
    }
    return true;
}

}  // namespace Varnex::Cleaner::Details
