#include "Core/UpdatePlan.h"

#include <glog/logging.h>

#include <algorithm>
#include <cmath>

#include "CleanerCommon/LogText.h"

namespace Varnex::Cleaner::Details {

namespace {

const float otherDatabaseWeight = 0.1f;

// A weight or progress that can take part in a sum: finite and within
// [0, high].
float Sane(float value, float high) {
    if (!std::isfinite(value) || value < 0) {
        return 0;
    }
    return std::min(value, high);
}

// "daily-11.cdiff" for "daily", but not "daily2-11.cdiff" nor "daily-x.cdiff".
bool IsIncrementOf(const QString& entryName, const QString& name) {
    const QString prefix = name + QLatin1Char('-');
    const QLatin1String suffix(".cdiff");
    if (!entryName.startsWith(prefix) || !entryName.endsWith(suffix)) {
        return false;
    }
    const QStringRef version =
        entryName.midRef(prefix.size(), entryName.size() - prefix.size() - suffix.size());
    if (version.isEmpty()) {
        return false;
    }
    for (const QChar c : version) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
    }
    return true;
}

}  // namespace

float UpdatePlan::DatabaseWeight(const QString& name) {
    if (name == QLatin1String("main")) {
        return 0.4f;
    }
    if (name == QLatin1String("daily")) {
        return 0.35f;
    }
    if (name == QLatin1String("bytecode")) {
        return 0.05f;
    }
    return otherDatabaseWeight;
}

QString UpdatePlan::FullName(const QString& name) {
    return name + QStringLiteral(".cvd");
}

QString UpdatePlan::IncrementName(const QString& name, int version) {
    return QStringLiteral("%1-%2.cdiff").arg(name).arg(version);
}

int UpdatePlan::Find(const QString& name) const {
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].name == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void UpdatePlan::AddIncrements(const QString& name, int local, int remote, int cap) {
    if (local < 0 || remote < local || static_cast<long long>(remote) - local > cap) {
        if (local >= 0 && remote < local) {
            LOG(WARNING) << "The mirror's " << Util::LogText(name) << " database (version "
                         << remote << ") is older than the installed one (" << local
                         << "); fetching it whole";
        }
        m_entries.push_back({FULL_DATABASE, FullName(name), DatabaseWeight(name), false, 0});
        return;
    }
    for (int v = local + 1; v <= remote && v > local; ++v) {
        m_entries.push_back(
            {INCREMENTAL_DATABASE, IncrementName(name, v), incrementWeight, false, 0});
    }
}

int UpdatePlan::ReplaceIncrements(const QString& name, int remoteVersion, float weight,
                                  int current) {
    const QString newest = IncrementName(name, remoteVersion);
    const Entry full{FULL_DATABASE, FullName(name), weight, false, 0};
    bool replaced = false;
    std::size_t i = 0;
    while (i < m_entries.size()) {
        Entry& entry = m_entries[i];
        if (entry.type != INCREMENTAL_DATABASE || !IsIncrementOf(entry.name, name)) {
            ++i;
            continue;
        }
        if (entry.name == newest && !replaced) {
            entry = full;
            replaced = true;
            ++i;
            continue;
        }
        m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
        if (current >= 0 && static_cast<std::size_t>(current) > i) {
            --current;
        }
    }
    if (!replaced && Find(full.name) < 0) {
        m_entries.push_back(full);
    }
    return current;
}

float UpdatePlan::Progress() const {
    double done = 0;
    double total = 0;
    for (const Entry& entry : m_entries) {
        if (entry.upToDate) {
            continue;
        }
        const double weight = Sane(entry.weight, 1e6f);
        done += weight * Sane(entry.progress, 1.0f);
        total += weight;
    }
    if (total <= 0) {
        return 1.0f;
    }
    return static_cast<float>(std::min(1.0, std::max(0.0, done / total)));
}

}  // namespace Varnex::Cleaner::Details
