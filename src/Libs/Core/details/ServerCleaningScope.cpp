#include "Core/details/ServerCleaningScope.h"

#include <glog/logging.h>

#include <QThread>

#include "CleanerCommon/LogText.h"
#include "CleanerFS/FSCleanerServerContext.h"
#include "Core/details/ServerPlanning.h"

namespace Varnex::Cleaner::Details {

ServerCleaningScope::ServerCleaningScope(QObject* parent) : AbstractGarbageScope(parent) {}

ServerCleaningScope::~ServerCleaningScope() = default;

void ServerCleaningScope::CreateRemovalContext(const void* owner) {
    m_context = std::make_unique<FSCleanerServerContext>(FSCleanerServerContext::NameFor(owner));
}

QString ServerCleaningScope::GetContextName() const {
    return m_context ? m_context->GetName() : QString();
}

long long ServerCleaningScope::GetCleanedSize(AbstractGarbage* item) const {
    return item->GetSize();
}

bool ServerCleaningScope::DoStartCleaning() {
    // Cleaning while a scan still adds items would plan half a tree and leave
    // the scan without its finish: refused, as the facade refuses it.
    if (IsCleaning() || IsScanning() || !m_context) {
        return false;
    }
    ResetCleaning();
    const long long count = PlanItems();
    if (count == 0) {
        return false;
    }
    // A refused start drops the plan on the server: nothing stale runs later.
    if (!FSCleanerServer::GetInstance().Start(m_context->GetName())) {
        LOG(WARNING) << "The removal server did not start cleaning";
        return false;
    }
    m_state = CLEANING;
    StartCleaningTimer();
    LOG(INFO) << "PLANNED TO REMOVE: " << count;
    emit CleaningStarted(this);
    return true;
}

void ServerCleaningScope::DoStopCleaning() {
    if (!IsCleaning()) {
        return;
    }
    if (m_cleaningTimer == 0) {
        FinishCleaning(CANCELED);
        return;
    }
    m_state = STOPPING_CLEANING;
    FSCleanerServer::GetInstance().Stop(m_context->GetName());
}

void ServerCleaningScope::ProcessCleaningResults() {
    if (!IsCleaning()) {
        return;
    }
    FSCleanerServer& server = FSCleanerServer::GetInstance();
    const QString& name = m_context->GetName();
    const QList<FSCleanerServer::Result> results = server.GetResults(name);
    const long long cleaned = ApplyResults(results);
    CheckCleanedSize(cleaned);
    if (results.isEmpty() && !server.IsWorking(name)) {
        const int serverState = server.GetState(name);
        FinishReason reason = DONE;
        if (serverState == FSCleanerServer::RUN_FAILED) {
            reason = FAILED;
        } else if (serverState == FSCleanerServer::STOPPED || m_state == STOPPING_CLEANING) {
            reason = CANCELED;
        }
        FinishCleaning(reason);
    }
}

long long ServerCleaningScope::ApplyResults(const QList<FSCleanerServer::Result>& results) {
    long long cleaned = 0;
    for (const FSCleanerServer::Result& result : results) {
        AbstractGarbage* item = FindItemForPath(result.path);
        if (!item) {
            continue;
        }
        if (IsCleanedCode(result.code)) {
            // A folder may already show clean (its last child was); it still
            // counts once. An item reported twice does not count twice.
            if (m_countedPaths.contains(item->GetPath())) {
                continue;
            }
            m_countedPaths.insert(item->GetPath());
            const long long size = GetCleanedSize(item);
            ++m_totalCleanedItems;
            ++m_lastCleanedItems;
            m_totalCleanedSize += size;
            m_lastCleanedSize += size;
            cleaned += size;
            item->SetClean(true);
        } else {
            LOG(ERROR) << "ERROR WHILE CLEANING \"" << Util::LogText(result.path)
                       << "\": " << result.code;
            item->SetError(ConvertErrorCode(result.code));
        }
    }
    return cleaned;
}

void ServerCleaningScope::AbortCleaningRun() {
    if (!IsCleaning()) {
        return;
    }
    FSCleanerServer& server = FSCleanerServer::GetInstance();
    const QString& name = m_context->GetName();
    server.Stop(name);
    // The server finishes the path it is on; what it reports is still true and
    // is shown before the run ends.
    for (;;) {
        const QList<FSCleanerServer::Result> results = server.GetResults(name);
        ApplyResults(results);
        if (results.isEmpty() && !server.IsWorking(name)) {
            break;
        }
        if (results.isEmpty()) {
            QThread::msleep(1);
        }
    }
    FinishCleaning(CANCELED);
}

void ServerCleaningScope::ResetCleaningRun() {
    if (IsCleaning()) {
        AbortCleaningRun();
    }
    m_lastCleanedItems = 0;
    m_lastCleanedSize = 0;
    m_countedPaths.clear();
    m_cleaningStartTime = QDateTime();
    m_cleaningStopTime = QDateTime();
}

}  // namespace Varnex::Cleaner::Details
