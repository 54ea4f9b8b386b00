#pragma once

#include <QHash>
#include <QString>
#include <vector>

#include "CleanerFS/FSCleanerServer.h"

namespace Varnex::Cleaner::Details {

// The files of one image of a photo library on their way out: each is noted
// with what stands at its path when it is planned (type, device, inode, birth;
// never following a link), and later removed through the removal server only
// while that entry is still there. A thumbnail folder is noted like a file and
// removed (never its contents) only once it is found empty.
//
// Threads: one at a time (the photo trash cleaner's producer thread).
class iPhotoImageFiles {
public:
    enum Kind { MASTER, PREVIEW, THUMBNAIL, MINI_THUMBNAIL, THUMBNAIL_FOLDER };

    explicit iPhotoImageFiles(int imageId) : m_imageId(imageId) {}

    // `relative` (a path the library's database gives) inside `folder`: empty
    // for an empty one; null, with *hostile set, for one that could lead
    // elsewhere (absolute, a ".." component, only "." components, a NUL).
    static QString InsideFolder(const QString& folder, const QString& relative, bool* hostile);

    // Notes the entry at path (absolute, cleaned, below the library's real
    // path). Nothing there is nothing to remove; a thumbnail folder that is
    // not a folder is not noted. False (logged) when the image must not be
    // touched: a path that cannot cross to bytes, a folder where a file
    // should be, a symbolic link on the way, an entry that cannot be examined.
    bool Add(Kind kind, const QString& path);

    // Removes the noted files on the server's `context`, then the noted
    // folders found empty. Failures are logged; true when every file is gone.
    bool Remove(const QString& context) const;

private:
    struct Entry {
        Kind kind = MASTER;
        FSCleanerServer::PlanEntry plan;
    };

    // Runs the entries as one plan and waits for its end: path -> result code.
    static QHash<QString, int> DoRun(const QString& context,
                                     const std::vector<const Entry*>& entries);

    int m_imageId;
    std::vector<Entry> m_entries;
};

}  // namespace Varnex::Cleaner::Details
