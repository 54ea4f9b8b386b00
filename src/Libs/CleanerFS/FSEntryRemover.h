#pragma once

#include <QString>
#include <string>

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
    int Remove(const QString& path, int flags);

private:
    int Process(const std::string& bytes, int flags, std::string* why);
    int RemoveOne(int parentFd, const std::string& name, const std::string& bytes,
                  const FSEntryInfo& info, int flags, std::string* why);

    FSParentResolver m_resolver;
    FSTreeRemover m_tree;
    FSTrashMover m_trash;
};

}  // namespace Varnex::Cleaner::Details
