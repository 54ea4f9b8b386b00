#include "Core/details/iPhotoImageFiles.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "CleanerCommon/LogText.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

namespace {

const char* RemovingText(iPhotoImageFiles::Kind kind) {
    switch (kind) {
        case iPhotoImageFiles::MASTER:
            return "Removing a master image:";
        case iPhotoImageFiles::PREVIEW:
            return "Removing a full size preview: ";
        case iPhotoImageFiles::THUMBNAIL:
            return "Removing a thumbnail: ";
        case iPhotoImageFiles::MINI_THUMBNAIL:
            return "Removing a mini thumbnail: ";
        default:
            return "Removing a tumbnail directory: ";
    }
}

const char* FailureText(iPhotoImageFiles::Kind kind) {
    switch (kind) {
        case iPhotoImageFiles::MASTER:
            return "Can't remove a master image:";
        case iPhotoImageFiles::PREVIEW:
            return "Can't remove a full size preview: ";
        case iPhotoImageFiles::THUMBNAIL:
            return "Can't remove a thumbnail: ";
        case iPhotoImageFiles::MINI_THUMBNAIL:
            return "Can't remove a mini thumbnail: ";
        default:
            return "Can't remove a thumbnail directory: ";
    }
}

bool IsGone(int code) {
    return code == FSCleaner::REMOVED || code == FSCleaner::NOT_FOUND;
}

}  // namespace

QString iPhotoImageFiles::InsideFolder(const QString& folder, const QString& relative,
                                       bool* hostile) {
    if (relative.isEmpty()) {
        return QString(QLatin1String(""));
    }
    if (relative.startsWith(QLatin1Char('/')) || relative.contains(QChar(0))) {
        *hostile = true;
        return {};
    }
    const QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.contains(QStringLiteral(".."))) {
        *hostile = true;
        return {};
    }
    const QString cleaned = QDir::cleanPath(relative);
    if (cleaned.isEmpty() || cleaned == QLatin1String(".")) {
        *hostile = true;
        return {};
    }
    return folder + QLatin1Char('/') + cleaned;
}

bool iPhotoImageFiles::Add(Kind kind, const QString& path) {
    std::string bytes;
    if (!Platform::EncodePath(path, &bytes)) {
        LOG(ERROR) << "Not removing the image " << m_imageId
                   << ": a path that can't be told: " << Util::LogText(path);
        return false;
    }
    struct statx stx {};
    if (::statx(AT_FDCWD, bytes.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                STATX_TYPE | STATX_INO | STATX_BTIME, &stx) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return true;  // already gone: nothing to remove
        }
        LOG(ERROR) << "Not removing the image " << m_imageId << ": " << Util::LogText(path) << ": "
                   << std::strerror(errno);
        return false;
    }
    const bool isFolder = S_ISDIR(stx.stx_mode);
    if (kind == THUMBNAIL_FOLDER) {
        if (!isFolder) {
            return true;
        }
    } else if (isFolder) {
        LOG(ERROR) << "Not removing the image " << m_imageId << ": a folder stands at "
                   << Util::LogText(path);
        return false;
    }
    // A symbolic link on the way below the library could lead anywhere.
    const QString parent = QFileInfo(path).path();
    if (QFileInfo(parent).canonicalFilePath() != parent) {
        LOG(ERROR) << "Not removing the image " << m_imageId
                   << ": a symbolic link is on the way to " << Util::LogText(path);
        return false;
    }
    Entry entry;
    entry.kind = kind;
    entry.plan.path = path;
    entry.plan.flags = 0;  // one entry; a folder only while empty
    entry.plan.hasExpected = true;
    entry.plan.expected.isDirectory = isFolder;
    entry.plan.expected.device = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    entry.plan.expected.inode = stx.stx_ino;
    if (stx.stx_mask & STATX_BTIME) {
        entry.plan.expected.birth =
            static_cast<long long>(stx.stx_btime.tv_sec) * 1000000000LL + stx.stx_btime.tv_nsec;
    }
    m_entries.push_back(std::move(entry));
    return true;
}

bool iPhotoImageFiles::Remove(const QString& context) const {
    std::vector<const Entry*> files;
    for (const Entry& entry : m_entries) {
        if (entry.kind != THUMBNAIL_FOLDER) {
            files.push_back(&entry);
        }
    }
    bool complete = true;
    const QHash<QString, int> codes = DoRun(context, files);
    for (const Entry* file : files) {
        const int code = codes.value(file->plan.path, FSCleaner::FAILED);
        if (!IsGone(code)) {
            LOG(ERROR) << FailureText(file->kind) << Util::LogText(file->plan.path) << " (" << code
                       << ")";
            complete = false;
        } else if (file->kind == MASTER) {
            qDebug() << "A master image has been removed";
        }
    }

    std::vector<const Entry*> folders;
    for (const Entry& entry : m_entries) {
        if (entry.kind == THUMBNAIL_FOLDER &&
            QDir(entry.plan.path)
                .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
            folders.push_back(&entry);
        }
    }
    const QHash<QString, int> folderCodes = DoRun(context, folders);
    for (const Entry* folder : folders) {
        const int code = folderCodes.value(folder->plan.path, FSCleaner::FAILED);
        // Filled meanwhile (NOT_EMPTY): kept, as it should be.
        if (!IsGone(code) && code != FSCleaner::NOT_EMPTY) {
            LOG(ERROR) << FailureText(folder->kind) << Util::LogText(folder->plan.path) << " ("
                       << code << ")";
        }
    }
    return complete;
}

QHash<QString, int> iPhotoImageFiles::DoRun(const QString& context,
                                            const std::vector<const Entry*>& entries) {
    QHash<QString, int> codes;
    if (entries.empty()) {
        return codes;
    }
    FSCleanerServer& server = FSCleanerServer::GetInstance();
    std::vector<FSCleanerServer::PlanEntry> plan;
    plan.reserve(entries.size());
    for (const Entry* entry : entries) {
        qDebug() << RemovingText(entry->kind) << entry->plan.path;
        plan.push_back(entry->plan);
    }
    // Nothing of an earlier run is left to be taken for this one's.
    server.GetResults(context);
    server.PlanToRemove(context, plan);
    if (!server.Start(context)) {
        LOG(ERROR) << "Can't start the removal of photo library files";
        return codes;
    }
    // A handful of entries: the run ends on its own, soon.
    for (;;) {
        for (const FSCleanerServer::Result& result : server.GetResults(context)) {
            codes.insert(result.path, result.code);
        }
        if (!server.IsWorking(context)) {
            return codes;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace Varnex::Cleaner::Details
