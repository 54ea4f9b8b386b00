#pragma once

#include <QString>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace Varnex::Cleaner::Details {

// A threaded directory scanner.
//
// Threads: every public call belongs to the owner's thread (the scopes' main
// thread), except the result filter, which runs on the walker threads.
//
// The contract every scope relies on:
//  - Paths are absolute, normalised, UTF-8, without a trailing '/'. Every root
//    reports itself (as a folder or a file); a missing root reports nothing.
//  - A folder's record is delivered before every record below it, in delivery
//    order (in an earlier batch, or earlier in the same batch).
//  - `required` counts the folder's direct children that will be reported;
//    `kept` counts its direct entries that will not be (filtered, unsafe while
//    unsafe paths are not scanned, special files, other devices, names that are
//    not valid UTF-8, entries not read because of an error). Every counted child
//    produces exactly one record, even if it vanished meanwhile. After Stop()
//    these counts may go unmet.
//  - `error` is set when a folder could not be read fully; such a folder counts
//    at least one kept entry, so it is never removed itself. A counted folder
//    that vanished before it was listed is reported empty, without error.
//    `adminRightsRequired` is the negation of CanRemove() for that path.
//  - Symbolic links below a root are reported as files (their own size) and
//    never followed; a root that is itself a link is scanned through it. The
//    walk never leaves the mount of its root: another device, a mount root, or
//    (where statx names no mount root) another or unknown mount id is kept.
//  - Names in log lines are escaped as the removal server escapes them.
//  - A name that is not valid UTF-8 is never reported: it counts as kept and is
//    logged once per folder.
//  - Scan() on a running scan appends roots; an empty list is a no-op; nested or
//    repeated roots are reported once.
//  - IsWorking() stays true until every result has been taken by GetResults(),
//    so a consumer that polls results and then IsWorking() never loses the last
//    batch. GetResults() hands over its batch in O(1).
//  - Stop() drops queued folders and releases walkers blocked on a full result
//    queue; Wait() joins; Clear() drops pending results; the destructor stops
//    and waits.
class FSScanner {
public:
    struct Result {
        std::string path;    // UTF-8, absolute, normalised; empty when decoded
        // The same path as text, when the scanner hands its paths over decoded
        // (SetPathsDecoded); null otherwise.
        QString text;
        long long size = 0;  // apparent size of a file or link; 0 for a folder
        // What the entry takes on the disk (its allocated blocks, as du counts
        // them): what removing it can free. A file with several names is
        // counted once per scan session, at the first name reported; its
        // other names get 0. A folder's are its own blocks (what du counts
        // for it), not its contents'; 0 when it could not be opened.
        long long diskSize = 0;
        bool isDirectory = false;
        std::string error;  // not empty when a folder could not be read fully
        int required = 0;   // direct children that will be reported
        int kept = 0;       // direct entries that will not be reported
        bool adminRightsRequired = false;
        // The entry's identity when it was scanned: makedev(major, minor) of
        // statx and the inode number (the link's own for a link; for a root
        // that is a link, of what it leads to, as that is what is scanned).
        // Set for every record, folders included.
        unsigned long long device = 0;
        unsigned long long inode = 0;
        // Its birth time (ns since the epoch) where the file system keeps one,
        // else 0: a freed inode number is soon given to a new entry, and only
        // this tells the new one from the one scanned. Not read for roots.
        long long birth = 0;
    };
    using Results = std::vector<Result>;
    using Filter = std::function<bool(const std::string& utf8Path)>;

    // maxThreads: the most walker threads; the pool sizes itself to the cores.
    explicit FSScanner(unsigned int maxThreads);
    ~FSScanner();
    FSScanner(const FSScanner&) = delete;
    FSScanner& operator=(const FSScanner&) = delete;

    // Set once, before the first scan. Runs on walker threads: keep it cheap and
    // thread-safe. A result passes only if every filter returns true; a folder
    // that is filtered out is not entered.
    void AddResultFilter(Filter filter);
    // Set before a scan. On: every result comes with its path decoded in
    // `text` (by the one codec of paths, Platform::DecodePathOrNull) and
    // `path` left empty. The walkers then make and free the bytes and make the
    // text, so a consumer in QString neither decodes nor frees memory of
    // theirs on its own thread (frees across threads contend for the
    // allocator's locks with the walkers themselves).
    void SetPathsDecoded(bool decoded);
    // Whether paths for which IsPathSafe() is false are scanned (off by default).
    // Off: an unsafe root is not scanned at all (it reports nothing, like a
    // missing root, and a warning is logged); an unsafe entry below a root is
    // neither reported nor entered and counts as kept in its folder.
    void SetScanUnsafePaths(bool scan);

    // Roots that are relative or contain ".." are refused (logged). A root
    // given on a running scan that contains a root of an earlier call does not
    // walk that one again: it counts as kept in its folder. Filters apply to
    // roots as well.
    void Scan(const std::list<std::string>& roots);
    Results GetResults();
    float GetProgress() const;
    bool IsWorking() const;
    void Stop();
    // Blocks until the walk is over. While it waits the result queue is not
    // bounded, so that a walk nobody consumes can still end.
    void Wait();
    void Clear();

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
