#include "Core/details/LaunchJobFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QDir>
#include <QVariantMap>

#include "Core/details/LaunchAgentGarbageScope.h"
#include "Platform/Launchctl.h"
#include "Platform/PathCodec.h"
#include "Platform/PropertyList.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString unknownState = QStringLiteral("whether the job is loaded is unknown: ");

// Where job files whose labels count live: the folders scanned, and the
// system's own jobs, which are never shown but share launchd's labels.
QStringList LabelFolders() {
    QStringList folders = LaunchAgentGarbageScope::GetJobFolders();
    folders.append(Platform::SystemPath(QStringLiteral("/System/Library/LaunchAgents")));
    folders.append(Platform::SystemPath(QStringLiteral("/System/Library/LaunchDaemons")));
    return folders;
}

}  // namespace

LaunchJobFile::LaunchJobFile(QString path, QString label, unsigned long long device,
                             unsigned long long inode, long long birth)
    : m_path(std::move(path)),
      m_label(std::move(label)),
      m_device(device),
      m_inode(inode),
      m_birth(birth) {}

QString LaunchJobFile::ReadLabel(const QString& path, QString* problem) {
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

bool LaunchJobFile::IsTheScannedFile(QString* problem) const {
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
        (m_inode == 0 ||
         (makedev(stx.stx_dev_major, stx.stx_dev_minor) == m_device && stx.stx_ino == m_inode)) &&
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

QString LaunchJobFile::OtherFileWithLabel() const {
    for (const QString& folder : LabelFolders()) {
        const QStringList names =
            QDir(folder).entryList({QStringLiteral("*.plist")}, QDir::Files | QDir::System);
        for (const QString& name : names) {
            const QString other = folder + QLatin1Char('/') + name;
            std::string bytes;
            struct stat st {};
            if (other == m_path || !Platform::EncodePath(other, &bytes) ||
                ::lstat(bytes.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                continue;
            }
            QString ignored;
            if (ReadLabel(other, &ignored) == m_label) {
                return other;
            }
        }
    }
    return QString();
}

QString LaunchJobFile::ReadState(Outcome* outcome, const std::atomic<bool>* cancel) const {
    const Platform::LaunchJobListing listing =
        Platform::ListLaunchJobs(Platform::launchctlTimeLimitMs, cancel);
    outcome->state = listing.ok ? Outcome::State::KNOWN : Outcome::State::UNKNOWN;
    outcome->loaded = listing.IsLoaded(m_label);
    return listing.ok ? QString() : listing.problem;
}

LaunchJobFile::Outcome LaunchJobFile::Switch(bool on, const std::atomic<bool>* cancel) const {
    Outcome outcome;
    if (!IsTheScannedFile(&outcome.problem)) {
        // launchctl acts on whatever file the path holds: another job would
        // be switched, and judged by this one's label.
        outcome.refused = true;
        return outcome;
    }
    const QString other = OtherFileWithLabel();
    if (!other.isEmpty()) {
        outcome.refused = true;
        const QString listing = ReadState(&outcome, cancel);
        outcome.problem =
            QStringLiteral("\"%1\" has the same label: launchctl would switch its job too")
                .arg(other) +
            (listing.isEmpty() ? QString() : QStringLiteral("; ") + unknownState + listing);
        return outcome;
    }
    QString ran;
    const bool worked =
        Platform::SwitchLaunchJob(m_path, on, &ran, Platform::launchctlTimeLimitMs, cancel);
    const QString listing = ReadState(&outcome, cancel);
    const QString said = worked ? QString() : QStringLiteral(" (") + ran + QLatin1Char(')');
    if (!listing.isEmpty()) {
        outcome.problem = unknownState + listing + said;
    } else if (outcome.loaded != on) {
        outcome.problem = (on ? QStringLiteral("the job is not loaded")
                              : QStringLiteral("the job is still loaded")) +
                          said;
    }
    // Otherwise it is in the state asked for, and what the command said no
    // longer matters (unloading a job that was not loaded is an error to it).
    return outcome;
}

LaunchJobFile::Outcome LaunchJobFile::PrepareRemoval(const std::atomic<bool>* cancel) const {
    QString problem;
    if (!IsTheScannedFile(&problem)) {
        Outcome refused;
        refused.refused = true;
        refused.problem = problem;
        return refused;
    }
    const QString other = OtherFileWithLabel();
    if (other.isEmpty()) {
        Outcome outcome = Switch(false, cancel);
        outcome.removable =
            outcome.problem.isEmpty() && outcome.state == Outcome::State::KNOWN && !outcome.loaded;
        return outcome;
    }
    // Nothing is unloaded by a shared label; with that label not loaded there
    // is nothing to unload, and the file goes alone.
    Outcome outcome;
    const QString listing = ReadState(&outcome, cancel);
    if (listing.isEmpty() && !outcome.loaded) {
        outcome.removable = true;
        return outcome;
    }
    outcome.refused = true;
    outcome.problem = listing.isEmpty()
                          ? QStringLiteral(
                                "\"%1\" has the same label and its job is loaded: which of the two "
                                "files it came from cannot be told")
                                .arg(other)
                          : QStringLiteral("\"%1\" has the same label, and %2%3")
                                .arg(other, unknownState, listing);
    return outcome;
}

}  // namespace Varnex::Cleaner::Details
