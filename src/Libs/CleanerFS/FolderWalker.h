#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "CleanerCommon/ProtectedFolders.h"
#include "CleanerFS/FSScanner.h"
#include "CleanerFS/FolderQueue.h"

namespace Varnex::Cleaner::Details {

class ResultQueue;

// What every walker of one scanner reads. The owner changes it only while no
// walk is active, except the atomics.
struct WalkSettings {
    std::vector<FSScanner::Filter> filters;
    std::atomic<bool> scanUnsafe{false};
    std::atomic<bool> decodePaths{false};  // FSScanner::SetPathsDecoded
    // Paths deeper than this many components are never unsafe (checked with
    // IsPathSafe() only up to it: the unsafe folders all lie near "/", the
    // system root and the home folder).
    int unsafeDepth = 0;
    // The same folders known by identity, whatever the spelling that reaches
    // them: neither a root nor a folder inside one is walked when it is one
    // of them (unless unsafe paths are scanned).
    ProtectedFolders protectedFolders;
    uid_t euid = 0;

    // Roots of earlier Scan() calls that a later root contains: the later walk
    // does not enter them again (they were reported as roots of their own).
    // Besides by path, a root is known by its identity, so that a folder
    // reached both as a root and inside another root (a bind mount, a root
    // given through a link) is walked once.
    void AddSkippedRoot(const std::string& path);
    void AddRootIdentity(dev_t device, ino_t inode);
    void ClearSkippedRoots();
    // Whether the folder at path is a skipped root or has a root's identity.
    bool IsOtherRoot(const std::string& path, dev_t device, ino_t inode) const;
    bool HasSkippedRoots() const { return m_hasSkippedRoots.load(); }

    bool Accepts(const std::string& path) const;

    // For a file with more than one name: true for the first name that asks
    // in this session, false for every later one (its blocks count once).
    bool IsFirstName(dev_t device, ino_t inode) const;
    void ClearNames();

private:
    struct IdentityHash {
        std::size_t operator()(const std::pair<dev_t, ino_t>& id) const {
            return std::hash<unsigned long long>()(id.second * 0x9E3779B97F4A7C15ull ^ id.first);
        }
    };
    mutable std::mutex m_namesMutex;
    mutable std::unordered_set<std::pair<dev_t, ino_t>, IdentityHash> m_linkedFiles;
    mutable std::mutex m_rootsMutex;
    std::unordered_set<std::string> m_skippedRoots;
    std::vector<std::pair<dev_t, ino_t>> m_rootIds;
    std::atomic<bool> m_hasSkippedRoots{false};
};

// One walker thread's work: takes folders from the queue, lists each one with
// getdents64, and hands the folder's record followed by its files' records to
// the result queue before queueing its subfolders, so that a folder's record
// is always delivered before anything below it.
class FolderWalker {
public:
    FolderWalker(const WalkSettings& settings, FolderQueue* folders, ResultQueue* results);
    ~FolderWalker();
    FolderWalker(const FolderWalker&) = delete;
    FolderWalker& operator=(const FolderWalker&) = delete;

    // Walks until the walk of `epoch` is over.
    void Run(unsigned int epoch);

private:
    // Lists the task's folder; false when nothing is to be listed (the records
    // that are due are in the batch).
    bool Open(FolderTask* task, int* fd, struct stat* st);
    void List(int fd, const FolderTask& task, const struct stat& st);
    void Walk(FolderTask* task);
    // The bytes a file's blocks take, or 0 for a name of a file whose blocks
    // another name of this session already counted.
    long long DiskSizeOf(unsigned long long blocks, nlink_t links, dev_t device, ino_t inode) const;

    const WalkSettings& m_settings;
    FolderQueue* const m_folders;
    ResultQueue* const m_results;
    std::unique_ptr<char[]> m_buffer;
    FSScanner::Results m_batch;
    std::vector<FolderTask> m_children;
    std::string m_path;
};

}  // namespace Varnex::Cleaner::Details
