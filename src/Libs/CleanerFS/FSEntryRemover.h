#pragma once

#include <QString>
#include <mutex>
#include <string>

#include "CleanerCommon/ProtectedFolders.h"
#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSParentResolver.h"
#include "CleanerFS/FSTrashMover.h"
#include "CleanerFS/FSTreeRemover.h"

namespace Varnex::Cleaner::Details {

// Processes planned paths one at a time for one run of a context: checks the
// path, opens its parent folder safely, examines the entry without following
// it, and removes, overwrites or trashes it as its flags say. Every failure is
// logged at WARNING with the path and the reason.
//
// One per run; belongs to the worker thread.
class FSEntryRemover {
public:
    FSEntryRemover(FSCleanerFd root, FSParentResolver::TrustedLinks trustedLinks);

    // Returns the result code (FSCleaner::Error) for one planned path.
    // `expected`, when given, is what the scan saw there: an entry of another
    // type or, with a known inode, another entry is refused (5) and left.
    int Remove(const QString& path, int flags, const FSCleanerServer::Expected* expected);
    // What the last Remove() gave back to the disk (FSCleanerServer::Result).
    long long GetFreed() const { return m_freed; }
    // For a run on several threads, one lock for all: a file examined with other
    // names is removed under it and examined again first, so that of two
    // names taken at once the last one tells that the blocks came back.
    // Trees removed whole take it too, for each file with other names.
    void ShareLinkLock(std::mutex* lock) {
        m_linkLock = lock;
        m_tree.ShareLinkLock(lock);
    }

private:
    int Process(const std::string& bytes, int flags, const FSCleanerServer::Expected* expected,
                std::string* why);
    // `identityKnown`: the entry was checked against what the scan saw, so it
    // is taken aside and checked again before it goes, never unlinked by name.
    // `unchangedSince`: Expected::unchangedSince for a tree.
    int RemoveOne(int parentFd, const std::string& name, const std::string& bytes,
                  const FSEntryInfo& info, int flags, bool plannedAsFile, bool identityKnown,
                  std::string* why, long long unchangedSince);

    FSParentResolver m_resolver;
    // Known when the run starts: a planned folder that is one of them is
    // refused however its path spells it.
    const ProtectedFolders m_protected;
    FSTreeRemover m_tree;
    FSTrashMover m_trash;
    long long m_freed = -1;
    std::mutex* m_linkLock = nullptr;
};

}  // namespace Varnex::Cleaner::Details
