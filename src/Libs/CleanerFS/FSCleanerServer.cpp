#include "CleanerFS/FSCleanerServer.h"

#include <unistd.h>

#include <QHash>
#include <memory>
#include <mutex>

#include "CleanerFS/FSCleanerWorker.h"

namespace Varnex::Cleaner::Details {

// The contexts by name. The map's lock is held only to find, create or drop a
// context; the calls on a context take its own lock, so contexts never wait
// for each other.
class FSCleanerServer::Impl {
public:
    ~Impl() {
        QHash<QString, std::shared_ptr<FSCleanerWorker>> workers;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            workers.swap(m_workers);
        }
        for (const auto& worker : workers) {
            worker->Stop();
        }
        // Each worker waits for its thread when it is destroyed.
    }

    std::shared_ptr<FSCleanerWorker> Find(const QString& context) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_workers.value(context);
    }

    std::shared_ptr<FSCleanerWorker> FindOrCreate(const QString& context) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& worker = m_workers[context];
        if (!worker) {
            worker = std::make_shared<FSCleanerWorker>(context);
        }
        return worker;
    }

    std::shared_ptr<FSCleanerWorker> Take(const QString& context) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_workers.take(context);
    }

private:
    mutable std::mutex m_mutex;
    QHash<QString, std::shared_ptr<FSCleanerWorker>> m_workers;
};

FSCleanerServer& FSCleanerServer::GetInstance() {
    static FSCleanerServer server;
    return server;
}

FSCleanerServer::FSCleanerServer() : m_impl(std::make_unique<Impl>()) {}

FSCleanerServer::~FSCleanerServer() = default;

bool FSCleanerServer::PrepareInternal(bool adminRights) {
    // Nothing here can raise the process's rights: administrator rights are
    // there only when it already runs as root.
    return !adminRights || ::geteuid() == 0;
}

void FSCleanerServer::PlanToRemove(const QString& context, const QString& path, int flags) {
    m_impl->FindOrCreate(context)->Plan(path, flags, nullptr);
}

void FSCleanerServer::PlanToRemove(const QString& context, const QString& path, int flags,
                                   const Expected& expected) {
    m_impl->FindOrCreate(context)->Plan(path, flags, &expected);
}

void FSCleanerServer::PlanToRemove(const QString& context, const std::vector<PlanEntry>& entries) {
    if (!entries.empty()) {
        m_impl->FindOrCreate(context)->Plan(entries);
    }
}

void FSCleanerServer::PlanToRemove(const QString& context, std::vector<PlanEntry>&& entries) {
    if (!entries.empty()) {
        m_impl->FindOrCreate(context)->Plan(std::move(entries));
    }
}

void FSCleanerServer::AddTrustedLink(const QString& context, const QString& linkPath) {
    m_impl->FindOrCreate(context)->AddTrustedLink(linkPath);
}

bool FSCleanerServer::Start(const QString& context) {
    const auto worker = m_impl->Find(context);
    return worker && worker->Start();
}

void FSCleanerServer::Stop(const QString& context) {
    if (const auto worker = m_impl->Find(context)) {
        worker->Stop();
    }
}

QList<FSCleanerServer::Result> FSCleanerServer::GetResults(const QString& context) {
    const auto worker = m_impl->Find(context);
    return worker ? worker->TakeResults() : QList<Result>();
}

bool FSCleanerServer::IsWorking(const QString& context) const {
    const auto worker = m_impl->Find(context);
    return worker && worker->IsWorking();
}

int FSCleanerServer::GetState(const QString& context) const {
    const auto worker = m_impl->Find(context);
    return worker ? worker->GetState() : IDLE;
}

float FSCleanerServer::GetProgress(const QString& context) const {
    const auto worker = m_impl->Find(context);
    return worker ? worker->GetProgress() : 0.0f;
}

void FSCleanerServer::Release(const QString& context) {
    if (const auto worker = m_impl->Take(context)) {
        worker->Stop();
        worker->Wait();
    }
}

}  // namespace Varnex::Cleaner::Details
