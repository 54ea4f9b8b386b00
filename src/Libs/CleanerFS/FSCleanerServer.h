#pragma once

#include <QList>
#include <QString>
#include <memory>
#include <vector>

namespace Varnex::Cleaner::Details {

// The removal server: the only component of the library that deletes. It works
// per named context: a context gathers a plan of paths, runs it on a worker
// thread of its own, and reports one result per processed path. A large plan
// of plain removals runs on several threads, each on whole subtrees of it; a
// planned folder is still processed after everything planned inside it.
//
// Thread-safe; contexts are independent. Every call may come from any thread.
// The server is a process-wide singleton; it lives until the process exits,
// and its destructor stops and waits for every run.
//
// Flags (bits; 16 combines with any of the others). When several of 2, 4 and
// 8 are given, 4 wins (nothing is deleted), and 2 with 8 overwrites each file
// of the tree before unlinking it.
//   0  remove one entry: a file or symbolic link is unlinked (the link, never
//      its target); a folder only if it is empty (rmdir semantics, never
//      recursive: what the scan kept inside makes it NOT_EMPTY).
//   2  remove the whole tree, walking by file descriptor, never following a
//      link, never crossing a mount point (another device, a mount root or
//      another mount id, so bind mounts too). A tree that could only be partly
//      removed gets the code of its first failure, never REMOVED; one renamed
//      away or replaced while it was emptied is left and gets FAILED.
//   4  move to the freedesktop.org Trash of the entry's volume instead of
//      deleting ($XDG_DATA_HOME/Trash on the home volume, "$top/.Trash-$uid"
//      at the top of another mount), writing the .trashinfo first; if it cannot
//      be moved the result is an error and the entry stays. A folder is moved
//      whole.
//   8  overwrite a regular file's contents (flushed to the disk) before
//      unlinking it. A file with more than one link is refused (5) and stays:
//      its contents live on under its other names, so neither overwriting
//      nor unlinking it would be a shredding. A file that cannot be opened
//      for writing is an error and stays, and so is a file on another mount
//      than its folder (a file bind mount): it is never opened for writing.
//      A file gone before its turn is an error (1), never shredded.
//   16 needs administrator rights: tried as the current user; a refusal is 2.
//   32 with 2: every entry of the tree is examined before it goes, and the
//      bytes freed (Result::freed) are told: the blocks of the files whose
//      last name went and the own blocks of every folder removed, the top's
//      too (a folder has one name: its blocks go with it).
//
// Which paths are removed, and where:
//  - A path that is relative, not normalised, cannot cross to bytes (see
//    Platform/PathCodec.h), or for which IsPathSafe() is false is refused (5),
//    as is a path that is a mount point. A path that does not exist gives 3.
//  - The final component is never followed: a planned link removes the link.
//  - The parent folder is opened from "/" one component at a time with
//    O_NOFOLLOW, and the entry is then removed relative to that descriptor. A
//    symbolic link on the way is followed only if it is a link of the system
//    (owned by root, in a folder owned by root that nobody else may write to)
//    or a trusted root link of the context (AddTrustedLink); any other link,
//    such as a parent folder swapped for a link after the scan, refuses the
//    path (5). A process running as root sees its own links as the system's
//    only where root alone could have put them.
//  - Folders are checked once per run: consecutive paths that share their
//    parent folder (or its ancestors) reuse its descriptor.
//  - Where the kernel's statx tells no mount id (before Linux 5.8), the mount
//    is found by other means; an entry whose mount nobody can tell is taken to
//    be on another one.
//  - While HOME or KLARVIK_SYSROOT is set but not valid UTF-8, no run starts
//    (see Start()); while XDG_DATA_HOME is, nothing is moved to a trash.
//
// Every failure is logged at WARNING with the path (control characters
// escaped) and the reason.
namespace FSCleaner {
// Result codes of the removal server.
enum Error : int {
    FAILED = 0,  // any other failure
    REMOVED = 1,
    PERMISSION_DENIED = 2,
    NOT_FOUND = 3,  // the path did not exist: counts as cleaned
    NOT_EMPTY = 4,
    REFUSED = 5,  // unsafe path, link on the way, mount point
};
}  // namespace FSCleaner

class FSCleanerServer {
public:
    enum State {
        IDLE = 0,
        WORKING = 1,
        RUN_FAILED = 2,  // the run could not proceed at all
        STOPPED = 3,
    };
    enum Flags {
        FLAG_RECURSIVE = 2,
        FLAG_TRASH = 4,
        FLAG_SHRED = 8,
        FLAG_ADMIN = 16,
        FLAG_FOLDER_BLOCKS = 32,
    };

    struct Result {
        QString path;  // exactly as planned
        int code = FSCleaner::FAILED;
        // The bytes the removal gave back to the disk, where the server knows
        // them: a file's blocks when its last name was removed (or shredded),
        // 0 when another name still holds them; for a tree removed with a
        // bound (Expected::unchangedSince), the blocks of its files whose last
        // name went, and with flag 32 those and its folders' own; -1 when not
        // known (a folder, another tree, a move to the Trash, a path not
        // examined first).
        long long freed = -1;
    };

    // What the scan saw at a planned path. When the entry found at removal
    // time is not of that type (a folder where a file was, or the reverse) or,
    // with a known identity (inode not 0), is another (device, inode), the path
    // is refused (5) and the entry is left as it is: it was never scanned.
    // The device is encoded as makedev(major, minor) of statx. A known birth
    // time (not 0) must match as well where the file system tells one: an
    // inode number freed after the scan is soon reused for a new entry.
    struct Expected {
        bool isDirectory = false;
        unsigned long long device = 0;
        unsigned long long inode = 0;
        long long birth = 0;  // ns since the epoch, statx's btime
        // For a tree (flag 2), ns since the epoch: an entry inside whose status
        // changed later (written, renamed, linked) or a folder made later is
        // kept, and the tree fails as not all removed. 0: no such bound. What
        // came into a package after it was measured is never removed with it.
        // For anything but a folder, an entry whose status changed later is
        // refused (5) and stays: it was rewritten since it was judged.
        long long unchangedSince = 0;
    };

    static FSCleanerServer& GetInstance();

    // True unless administrator rights are asked for and cannot be had: this
    // server cannot raise the process's rights, so they can be had only when
    // the process already runs as root (effective user id 0).
    bool PrepareInternal(bool adminRights);

    // Appends to the context's next plan (also while a run is under way); a
    // path planned twice keeps its first place, its first flags and its first
    // Expected (or none). The path is checked when it is processed, and gets
    // its result then. Without Expected nothing is compared.
    void PlanToRemove(const QString& context, const QString& path, int flags);
    // The same, with what the scan saw at the path (see Expected).
    void PlanToRemove(const QString& context, const QString& path, int flags,
                      const Expected& expected);
    // One path of a plan handed over with others.
    struct PlanEntry {
        QString path;
        int flags = 0;
        bool hasExpected = false;
        Expected expected;
    };
    // Many paths at once, exactly as if planned one by one in this order: one
    // look-up of the context and one lock for the whole list.
    void PlanToRemove(const QString& context, const std::vector<PlanEntry>& entries);
    // The same, taking the entries over (no copy: for plans of a million).
    void PlanToRemove(const QString& context, std::vector<PlanEntry>&& entries);
    // Trusts the symbolic link at linkPath (absolute, as planned paths spell it)
    // on the way to the context's planned paths: the link through which a scan
    // root was configured. The folder it leads to now is recorded; the link is
    // followed later only while it still leads there. Call it before the scan
    // of that root; a path that is not a link to a folder now removes the trust.
    // Kept until Release().
    void AddTrustedLink(const QString& context, const QString& linkPath);
    // Takes the plan atomically and starts. False (and the plan dropped, never
    // to run later) for an empty plan, a context already running, or a failed
    // preparation (state RUN_FAILED; among them HOME or KLARVIK_SYSROOT that is
    // not valid UTF-8, logged at WARNING with the variable's name).
    bool Start(const QString& context);
    // Finishes the current path (of each thread), then ends the run (state STOPPED). Paths not
    // yet processed get no result and stay untouched. A tree removal (flag 2)
    // under way is finished first.
    void Stop(const QString& context);
    // Each result once, in processing order (plan order but for the
    // threads of a large plan), with the path exactly as planned.
    // Every processed path has exactly one result.
    QList<Result> GetResults(const QString& context);
    // True until the run is over and its last result has been taken.
    bool IsWorking(const QString& context) const;
    // WORKING during a run; afterwards STOPPED when it was stopped, RUN_FAILED
    // when it could not proceed at all, IDLE otherwise.
    int GetState(const QString& context) const;
    // Processed paths / planned paths of the current or last run.
    float GetProgress(const QString& context) const;
    // Stops the context's run (waiting for it), drops its plan, its results and
    // its trusted links, and forgets the context.
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
