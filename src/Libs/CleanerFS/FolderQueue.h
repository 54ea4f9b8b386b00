#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace Varnex::Cleaner::Details {

// One folder waiting to be listed by a walker.
struct FolderTask {
    std::string path;           // UTF-8, absolute, normalised
    dev_t device = 0;           // the device of the walk's root (unknown for a root)
    ino_t inode = 0;            // as its parent saw it (a root: once opened)
    long long birth = 0;        // as its parent saw it; 0 when unknown
    std::uint64_t mountId = 0;  // the mount of the walk's root; 0 when unknown
    double weight = 0;          // its share of the walk, for the progress estimate
    int depth = 0;              // number of components of path
    bool isRoot = false;
    long long diskSize = 0;     // its own blocks in bytes, once opened
    bool adminRightsRequired = false;  // as its parent judged it (roots: computed when listed)
};

// The folders of a walk, shared by the walker threads of one scanner.
//
// A walk is active from the first Push() until no folder is queued and no
// walker is busy with one (or until Stop()). Each walk has an epoch: walkers
// are started for one epoch and leave as soon as that walk is over, so a
// walker that is slow to notice the end never joins the next walk.
//
// Folders are taken last in, first out: the walk goes depth first, so the queue
// holds the siblings along one path rather than whole levels of the tree.
//
// Thread-safe.
class FolderQueue {
public:
    FolderQueue() = default;
    FolderQueue(const FolderQueue&) = delete;
    FolderQueue& operator=(const FolderQueue&) = delete;

    // Owner thread, while no walk is active: forgets the stop and the progress.
    void Reset();

    // Appends folders; `rootWeight` is added to the walk's total (roots only).
    // Dropped after Stop(). Returns whether a walk was active before the call;
    // when it was not, the caller starts walkers for CurrentEpoch().
    bool Push(std::vector<FolderTask>* tasks, double rootWeight = 0);
    unsigned int CurrentEpoch() const;

    // Walker threads: blocks until a folder is there (true; the caller is busy
    // until Finished()) or the walk of `epoch` is over (false).
    bool Pop(unsigned int epoch, FolderTask* task);
    // Walker threads: the folder taken by Pop() is done; `weightDone` is the part
    // of its weight not handed to subfolders pushed before this call.
    void Finished(double weightDone);

    // Drops the queued folders; busy walkers finish their folder and leave.
    void Stop();
    bool IsStopped() const;
    bool IsActive() const;
    // 0..1, never lower than a value returned earlier in the same walk series
    // (until Reset()).
    float GetProgress() const;

private:
    void EndWalkLocked();
    void UpdateProgressLocked();

    mutable std::mutex m_mutex;
    std::condition_variable m_wakeUp;
    std::vector<FolderTask> m_tasks;
    unsigned int m_epoch = 0;
    int m_busy = 0;
    bool m_active = false;
    bool m_stopped = false;
    double m_totalWeight = 0;
    double m_doneWeight = 0;
    std::atomic<float> m_progress{0.0f};
};

}  // namespace Varnex::Cleaner::Details
