#include "Core/details/ServerRun.h"

#include <glog/logging.h>

#include <QThread>

#include "CleanerFS/FSCleanerServer.h"

namespace Varnex::Cleaner::Details {

namespace {

FSCleanerServer& Server() {
    return FSCleanerServer::GetInstance();
}

}  // namespace

bool ServerRun::IsFree() const {
    if (!Server().IsWorking(m_context)) {
        return true;
    }
    Server().GetResults(m_context);
    if (Server().IsWorking(m_context)) {
        LOG(WARNING) << "The removal context " << m_context.toStdString()
                     << " is still finishing a stopped run; cleaning was not started";
        return false;
    }
    return true;
}

bool ServerRun::Start() {
    return Server().Start(m_context);
}

bool ServerRun::IsWorking() const {
    return Server().IsWorking(m_context);
}

bool ServerRun::HasFailed() const {
    return Server().GetState(m_context) == FSCleanerServer::RUN_FAILED;
}

bool ServerRun::WasStopped() const {
    return Server().GetState(m_context) == FSCleanerServer::STOPPED;
}

float ServerRun::GetProgress() const {
    return Server().GetProgress(m_context);
}

void ServerRun::Stop() {
    Server().Stop(m_context);
}

void ServerRun::Wait() {
    while (Server().IsWorking(m_context)) {
        Server().GetResults(m_context);
        QThread::msleep(1);
    }
}

ServerRun::Batch ServerRun::DoTakeBatch() {
    const QList<FSCleanerServer::Result> results = Server().GetResults(m_context);
    Batch batch;
    batch.reserve(static_cast<std::size_t>(results.size()));
    for (const FSCleanerServer::Result& result : results) {
        batch.push_back(CleaningResult{result.path, result.code, result.freed});
    }
    return batch;
}

void ServerRun::DoClear() {
    Server().GetResults(m_context);
}

}  // namespace Varnex::Cleaner::Details
