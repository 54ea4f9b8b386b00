#include "Core/details/L10nStore.h"

#include <glog/logging.h>

#include <QSet>
#include <chrono>
#include <thread>

namespace Varnex::Cleaner::Details {

namespace {

const int writeAttempts = 20;

}  // namespace

void L10nStore::Plan(const QList<AppsDB::L10n>& l10ns) {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_queue.append(l10ns);
}

QList<AppsDB::L10n> L10nStore::TakeAll() {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    ++m_taken;
    QList<AppsDB::L10n> out;
    out.swap(m_queue);
    return out;
}

void L10nStore::PlanRemoval(const QString& path) {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_removals.append(path);
    for (int i = m_queue.size() - 1; i >= 0; --i) {
        if (m_queue.at(i).path == path) {
            m_queue.removeAt(i);
        }
    }
}

bool L10nStore::HasWork() const {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return !m_queue.isEmpty() || !m_removals.isEmpty();
}

void L10nStore::SetExclusions(const QStringList& exclusions) {
    std::lock_guard<std::mutex> lock(m_exclusionsMutex);
    m_exclusions = exclusions;
}

QStringList L10nStore::GetExclusions() const {
    std::lock_guard<std::mutex> lock(m_exclusionsMutex);
    return m_exclusions;
}

QList<AppsDB::L10n> L10nStore::Load(const std::function<bool()>& stop) {
    const QStringList current = GetExclusions();
    const QStringList stored = AppsDB::LoadL10nExclusions(m_db);
    for (const QString& name : stored) {
        if (!current.contains(name)) {
            AppsDB::DeleteAllL10ns(m_db);
            break;
        }
    }
    if (stored != current) {
        AppsDB::SaveL10nExclusions(current, m_db);
    }
    if (stop && stop()) {
        return {};
    }
    AppsDB::ClearRemovedL10ns(m_db);
    return AppsDB::LoadL10ns(m_db);
}

bool L10nStore::Write(const std::function<bool()>& stop) {
    QStringList removals;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        removals.swap(m_removals);
    }
    for (const QString& path : removals) {
        AppsDB::RemoveL10nByPath(path, m_db);
        m_changed = true;
    }
    // Records queued while a batch is written form the next batch.
    for (;;) {
        QList<AppsDB::L10n> batch;
        std::uint64_t taken = 0;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            batch = m_queue;
            taken = m_taken;
        }
        if (batch.isEmpty()) {
            return true;
        }
        // Dated here, off the scope's thread: a stat per folder (in UTC: a
        // local time would read the time zone for every one).
        for (AppsDB::L10n& l10n : batch) {
            if (!l10n.lastModified.isValid()) {
                l10n.lastModified = AppsDB::ModificationTime(l10n.path);
            }
        }
        bool written = false;
        for (int attempt = 0; attempt < writeAttempts && !written; ++attempt) {
            if (stop && stop()) {
                return true;  // the queue stays for the next writer or scan
            }
            written = AppsDB::SaveL10ns(batch, m_db);
            if (!written) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        if (written) {
            m_changed = true;
        } else {
            LOG(ERROR) << "Failed to cache " << batch.size() << " l10ns";
        }
        QSet<QString> done;
        for (const AppsDB::L10n& l10n : batch) {
            done.insert(l10n.path);
        }
        std::lock_guard<std::mutex> lock(m_queueMutex);
        // A scan that took the queue meanwhile owns the batch now.
        if (taken == m_taken) {
            for (int i = m_queue.size() - 1; i >= 0; --i) {
                if (done.contains(m_queue.at(i).path)) {
                    m_queue.removeAt(i);
                }
            }
        }
        if (!written) {
            return false;
        }
    }
}

}  // namespace Varnex::Cleaner::Details
