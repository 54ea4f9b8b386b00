#pragma once

#include <QList>
#include <QString>
#include <memory>

namespace Varnex::Cleaner::Details {

// The removal server: the only component of the library that deletes. It works
// per named context: a context gathers a plan of paths, runs it on a worker
// thread of its own, and reports one result per processed path.
//
// Thread-safe; contexts are independent. Every call may come from any thread.
//
// Flags (bits; 16 combines with any of the others):
//   0  remove one entry: a file or symbolic link is unlinked (the link, never
//      its target); a folder only if it is empty (rmdir semantics).
//   2  remove the whole tree, walking by file descriptor, never following a
//      link, never crossing a mount point.
//   4  move to the Trash instead of deleting; if it cannot be moved the result
//      is an error and the entry stays.
//   8  overwrite a regular file's contents before unlinking it (only when it has
//      a single link); otherwise as 0.
//   16 needs administrator rights: tried as the current user; a refusal is 2.
namespace FSCleaner {
// Result codes of the removal server.
enum Error : int {
    FAILED = 0,             // any other failure
    REMOVED = 1,
    PERMISSION_DENIED = 2,
    NOT_FOUND = 3,          // the path did not exist: counts as cleaned
    NOT_EMPTY = 4,
    REFUSED = 5,            // unsafe path, link on the way, mount point
};
}  // namespace FSCleaner

class FSCleanerServer {
public:
    enum State {
        IDLE = 0,
        WORKING = 1,
        RUN_FAILED = 2,         // the run could not proceed at all
        STOPPED = 3,
    };
    enum Flags {
        FLAG_RECURSIVE = 2,
        FLAG_TRASH = 4,
        FLAG_SHRED = 8,
        FLAG_ADMIN = 16,
    };

    struct Result {
        QString path;  // exactly as planned
        int code = FSCleaner::FAILED;
    };

    static FSCleanerServer& GetInstance();

    // True unless administrator rights are asked for and cannot be had.
    bool PrepareInternal(bool adminRights);

    // Appends to the context's plan; a path planned twice collapses to one.
    void PlanToRemove(const QString& context, const QString& path, int flags);
    // Takes the plan atomically and starts. False (and the plan dropped) for an
    // empty plan, a context already running, or a failed preparation.
    bool Start(const QString& context);
    // Finishes the current path, then ends the run (state STOPPED). Paths not yet
    // processed get no result and stay untouched.
    void Stop(const QString& context);
    // Each result once, in processing order.
    QList<Result> GetResults(const QString& context);
    // True until the run is over and its last result has been taken.
    bool IsWorking(const QString& context) const;
    int GetState(const QString& context) const;
    float GetProgress(const QString& context) const;
    // Stops the context's run (waiting for it), drops its plan and results, and
    // forgets the context.
    void Release(const QString& context);

private:
    FSCleanerServer();
    ~FSCleanerServer();
    FSCleanerServer(const FSCleanerServer&) = delete;
    FSCleanerServer& operator=(const FSCleanerServer&) = delete;

    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
