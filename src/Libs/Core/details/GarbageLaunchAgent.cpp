#include "Core/details/GarbageLaunchAgent.h"

#include <glog/logging.h>

#include "CleanerCommon/Checks.h"
#include "CleanerCommon/LogText.h"
#include "Platform/Launchctl.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString plistSuffix = QStringLiteral(".plist");

}  // namespace

GarbageLaunchAgent::GarbageLaunchAgent(const QString& path, long long size,
                                       const Platform::LaunchJobListing& listing, QObject* parent)
    : AbstractGarbage(parent), m_path(path), m_size(size) {
    const QString fileName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    if (!fileName.endsWith(plistSuffix)) {
        LOG(ERROR) << "A launch agent path must ends with .plist (got: " << Util::LogText(path)
                   << ")";
        m_badLabel = true;
        m_problem = QStringLiteral("not a .plist file");
        return;
    }
    m_name = fileName.chopped(plistSuffix.size());
    m_label = LaunchJobFile::ReadLabel(path, &m_problem);
    if (m_label.isNull()) {
        m_badLabel = true;
        LOG(WARNING) << "Launch job \"" << Util::LogText(path)
                     << "\": " << Util::LogText(m_problem);
    }
    if (!m_badLabel && !listing.ok) {
        // Shown off, but not believed: the next switch that works clears it.
        m_problem = QStringLiteral("whether the job is loaded is unknown: ") + listing.problem;
        m_switchFailed = true;
        m_stateKnown = false;
    }
    // Stored only: a half-built item tells nobody.
    AbstractGarbage::SetEnabled(listing.IsLoaded(m_label));
    StartReady();
    Select(false);
}

void GarbageLaunchAgent::SetSize(long long size) {
    const long long old = m_size;
    m_size = size;
    SizeStored(old, size);
    NotifyChanged();
}

bool GarbageLaunchAgent::AreAdminRightsRequired() const {
    return !CanRemove(m_path);
}

QString GarbageLaunchAgent::GetDescription() const {
    return m_problem.isEmpty() ? m_label : m_problem;
}

LaunchJobFile GarbageLaunchAgent::GetJobFile() const {
    return LaunchJobFile(m_path, m_label, m_device, m_inode, m_birth);
}

void GarbageLaunchAgent::SetEnabled(bool on) {
    if (m_badLabel) {
        // Nobody can tell which job this is: it is left alone.
        return;
    }
    const LaunchJobFile::Outcome outcome = GetJobFile().Switch(on);
    if (!outcome.problem.isEmpty()) {
        LOG(WARNING) << (outcome.refused ? "Not switching launch job \""
                                         : "Could not switch launch job \"")
                     << Util::LogText(m_path) << "\" " << (on ? "on" : "off") << ": "
                     << Util::LogText(outcome.problem);
    }
    ApplyOutcome(outcome);
}

void GarbageLaunchAgent::ApplyOutcome(const LaunchJobFile::Outcome& outcome) {
    if (m_badLabel) {
        return;
    }
    using State = LaunchJobFile::Outcome::State;
    if (outcome.state != State::UNCHANGED) {
        m_stateKnown = outcome.state == State::KNOWN;
        // Never guessed loaded: unknown shows off, with the error.
        AbstractGarbage::SetEnabled(m_stateKnown && outcome.loaded);
    }
    m_problem = outcome.problem;
    if (!outcome.problem.isEmpty()) {
        m_switchFailed = true;
        SetError(outcome.refused ? Error::REFUSED : Error::UNKNOWN);
    } else if (m_switchFailed) {
        m_switchFailed = false;
        SetError(Error::OK);
    }
}

}  // namespace Varnex::Cleaner::Details
