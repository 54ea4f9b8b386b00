#include "Core/details/GarbageLaunchAgent.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QDir>
#include <QVariantMap>

#include "CleanerCommon/Checks.h"
#include "CleanerCommon/LogText.h"
#include "Core/details/LaunchAgentGarbageScope.h"
#include "Platform/Launchctl.h"
#include "Platform/PathCodec.h"
#include "Platform/PropertyList.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString plistSuffix = QStringLiteral(".plist");

// The job's label, or null with *problem.
QString ReadLabel(const QString& path, QString* problem) {
    QString error;
    const QVariant plist = Platform::ReadPropertyListFile(path, &error);
    if (!plist.isValid()) {
        *problem = error.isEmpty() ? QStringLiteral("the job file is gone")
                                   : QStringLiteral("not a property list: ") + error;
        return QString();
    }
    if (plist.userType() != QMetaType::QVariantMap) {
        *problem = QStringLiteral("the property list is not a dictionary");
        return QString();
    }
    const QVariant label = plist.toMap().value(QStringLiteral("Label"));
    if (!label.isValid()) {
        *problem = QStringLiteral("the property list has no Label");
        return QString();
    }
    if (label.userType() != QMetaType::QString) {
        *problem = QStringLiteral("the Label is not a string");
        return QString();
    }
    if (label.toString().isEmpty()) {
        *problem = QStringLiteral("the Label is empty");
        return QString();
    }
    return label.toString();
}

// Another job file of the scanned folders that names `label`, or null.
// launchctl unloads a job by its label, whichever file loaded it: with two
// such files, switching one may stop the other's job.
QString OtherFileWithLabel(const QString& label, const QString& path) {
    for (const QString& folder : LaunchAgentGarbageScope::GetJobFolders()) {
        const QStringList names =
            QDir(folder).entryList({QStringLiteral("*.plist")}, QDir::Files | QDir::System);
        for (const QString& name : names) {
            const QString other = folder + QLatin1Char('/') + name;
            std::string bytes;
            struct stat st {};
            if (other == path || !Platform::EncodePath(other, &bytes) ||
                ::lstat(bytes.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                continue;
            }
            QString ignored;
            if (ReadLabel(other, &ignored) == label) {
                return other;
            }
        }
    }
    return QString();
}

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
    m_label = ReadLabel(path, &m_problem);
    if (m_label.isNull()) {
        m_badLabel = true;
        LOG(WARNING) << "Launch job \"" << Util::LogText(path)
                     << "\": " << Util::LogText(m_problem);
    }
    if (!m_badLabel && !listing.ok) {
        // Shown off, but not believed: the next switch that works clears it.
        m_problem = QStringLiteral("whether the job is loaded is unknown: ") + listing.problem;
        m_switchFailed = true;
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

bool GarbageLaunchAgent::IsTheScannedFile(QString* problem) const {
    std::string bytes;
    struct statx stx {};
    if (!Platform::EncodePath(m_path, &bytes) ||
        ::statx(AT_FDCWD, bytes.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO | STATX_BTIME,
                &stx) != 0) {
        *problem = QStringLiteral("the job file is gone");
        return false;
    }
    const bool sameEntry =
        S_ISREG(stx.stx_mode) &&
        (m_inode == 0 || (makedev(stx.stx_dev_major, stx.stx_dev_minor) == m_device &&
                          stx.stx_ino == m_inode)) &&
        (m_birth == 0 || !(stx.stx_mask & STATX_BTIME) || stx.stx_btime.tv_sec == 0 ||
         static_cast<long long>(stx.stx_btime.tv_sec) * 1000000000LL + stx.stx_btime.tv_nsec ==
             m_birth);
    QString labelProblem;
    if (!sameEntry || ReadLabel(m_path, &labelProblem) != m_label) {
        *problem = QStringLiteral("the job file was replaced since the scan");
        return false;
    }
    return true;
}

void GarbageLaunchAgent::SetEnabled(bool on) {
    if (m_badLabel) {
        // Nobody can tell which job this is: it is left alone.
        return;
    }
    QString problem;
    if (!IsTheScannedFile(&problem)) {
        // launchctl acts on whatever file the path holds: another job would
        // be switched, and judged by this one's label.
        LOG(WARNING) << "Not switching launch job \"" << Util::LogText(m_path)
                     << "\": " << Util::LogText(problem);
        m_problem = problem;
        m_switchFailed = true;
        SetError(Error::REFUSED);
        return;
    }
    const QString other = OtherFileWithLabel(m_label, m_path);
    if (!other.isEmpty()) {
        const Platform::LaunchJobListing before = Platform::ListLaunchJobs();
        if (!before.ok || before.IsLoaded(m_label)) {
            m_problem = QStringLiteral("\"%1\" has the same label: which of the two files the "
                                       "loaded job came from cannot be told")
                            .arg(other);
            LOG(WARNING) << "Not switching launch job \"" << Util::LogText(m_path)
                         << "\": " << Util::LogText(m_problem);
            m_switchFailed = true;
            AbstractGarbage::SetEnabled(before.IsLoaded(m_label));
            SetError(Error::REFUSED);
            return;
        }
    }
    const bool ran = Platform::SwitchLaunchJob(m_path, on, &problem);
    const Platform::LaunchJobListing listing = Platform::ListLaunchJobs();
    const bool loaded = listing.IsLoaded(m_label);
    if (!listing.ok) {
        problem = listing.problem;
    } else if (!loaded && listing.badLines > 0) {
        // Its own line may be one of those that could not be read.
        problem = QStringLiteral("whether the job is still loaded is unknown: the listing had "
                                 "%1 lines that could not be read")
                      .arg(listing.badLines);
    } else if (loaded != on) {
        problem = (on ? QStringLiteral("the job is not loaded")
                      : QStringLiteral("the job is still loaded")) +
                  (ran ? QString() : QStringLiteral(" (") + problem + QLatin1Char(')'));
    } else {
        // In the state asked for: what the command said no longer matters
        // (unloading a job that was not loaded is an error to launchctl).
        problem.clear();
    }
    m_problem = problem;
    AbstractGarbage::SetEnabled(loaded);
    if (!problem.isEmpty()) {
        LOG(WARNING) << "Could not switch launch job \"" << Util::LogText(m_path) << "\" "
                     << (on ? "on" : "off") << ": " << Util::LogText(problem);
        m_switchFailed = true;
        SetError(Error::UNKNOWN);
    } else if (m_switchFailed) {
        m_switchFailed = false;
        SetError(Error::OK);
    }
}

}  // namespace Varnex::Cleaner::Details
