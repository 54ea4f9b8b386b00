#pragma once

#include <sys/stat.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "Core/details/IScanProducer.h"
#include "Core/details/Producer.h"

namespace Varnex::Cleaner::Details {

// One file of the scanner: its record while a candidate, and a result.
struct DuplicatesScannerFile {
    QString path;        // empty in a result that carries nothing
    long long size = 0;  // raw while a candidate; RoundSize4K in a result
    QByteArray hash;     // SHA-1 of the whole contents
    // The set of copies compared equal byte for byte that the file belongs
    // to (1, 2, ... in a scan): what groups copies, never the hash, as two
    // different contents may share a SHA-1.
    long long group = 0;
    QByteArray sampleHash;
    bool failed = false;
    QString errorText;
    // What the scan saw, for the checks before removal.
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long rawSize = 0;
    long long mtimeNs = 0;
    bool inTrash = false;
};

// Finds files with identical contents below a list of search folders, on one
// background thread (a Producer).
//
// The walk gathers the regular files the user may remove whose rounded size is
// above the minimum, each physical file once: the search folders are taken by
// their real path, one inside another is dropped, a folder or file met again
// through another path (hard link, bind mount) counts once by (device, inode).
// Once the walk is over, files are grouped by size; only sizes held by two
// files or more are read: first a 1024-byte sample from the middle of each
// file (SHA-1 of the sample and the size), then, for files sharing a sample,
// the whole contents in reads growing from 64 KiB to 1 MiB, all files of a
// sample read side by side and compared byte for byte while the SHA-1 of the
// contents is computed (one hash for each set of files equal so far).
// Reads go in the order of the inode number. Only files whose bytes are equal
// are reported, each group as one run of results with the same group number.
//
// A group whose copies all lie in a Trash folder is not reported: files in
// the Trash pair only with files outside it.
//
// A file that cannot be opened or read is dropped once, with a WARNING; it is
// never tried again within the scan.
//
// Threads: every call from the owner's thread; the work on the producer's.
class DuplicatesScanner : public BatchProducer<DuplicatesScannerFile> {
public:
    using File = DuplicatesScannerFile;

    // A path task (walk one entry) or a report task (hand one confirmed copy
    // over); the grouping runs as a task of its own once the walk is done.
    class Task {
    public:
        enum Kind { PATH, GROUP, REPORT };
        Task(DuplicatesScanner& scanner, Kind kind, QString path);
        Task(DuplicatesScanner& scanner, const File& file);
        File operator()() const;

    private:
        DuplicatesScanner* m_scanner;
        Kind m_kind;
        QString m_path;
        std::shared_ptr<const File> m_file;
    };

    DuplicatesScanner(unsigned int taskInterval, long long minSize);
    ~DuplicatesScanner() override;

    // Appends an acceptance test for folder entries (before the first scan).
    void AddResultFilter(std::function<bool(const QString&)> filter);
    // True when any filter refuses the path.
    bool IsExclusion(const QString& path) const;

    // The pause at the start of every path task, in microseconds (0: none).
    void SetTaskInterval(unsigned int us) { m_taskInterval.store(us); }
    unsigned int GetTaskInterval() const { return m_taskInterval.load(); }
    // Files whose rounded size is not above it are ignored.
    void SetMinSize(long long bytes) { m_minSize.store(bytes); }
    long long GetMinSize() const { return m_minSize.load(); }

    // The search folders of the next Start().
    void SetRoots(QStringList roots) { m_roots = std::move(roots); }
    // The search folders as the last Start() took them: real paths, nested
    // ones dropped.
    QStringList GetScannedRoots() const { return m_scannedRoots; }
    void Scan(const QString& root) { Scan(QStringList{root}); }
    void Scan(const QStringList& roots);

    bool Start() override;
    void Stop() override;
    void Wait() override { m_producer.Wait(); }
    bool IsWorking() const override { return m_producer.IsWorking(); }
    bool WasStopped() const override { return m_stop.load(); }
    float GetProgress() const override;
    std::vector<File> GetResults() { return m_producer.TakeResults(); }

    // Bytes read from files so far (samples and contents).
    long long GetBytesRead() const { return m_bytesRead.load(); }

    // The real paths of `roots` (those that do not resolve dropped) without
    // the ones inside another, in their first order.
    static QStringList CanonicalRoots(const QStringList& roots);

protected:
    Batch DoTakeBatch() override { return m_producer.TakeResults(); }
    void DoClear() override;

private:
    struct Candidate;
    File DoPathTask(const QString& path);
    File DoGroupTask();
    void DoAddCandidate(const QString& path, const struct stat& st);
    // Reads the samples of every file of a size held more than once.
    void DoSample(std::vector<Candidate*>* files);
    // Reads a set of files with equal samples side by side; appends each set
    // of equal files (two or more) to *groups with its hash.
    void DoCompare(std::vector<Candidate*> files,
                   std::vector<std::pair<QByteArray, std::vector<Candidate*>>>* groups);
    void DoQueue(Task task);

    std::vector<std::function<bool(const QString&)>> m_filters;
    std::atomic<unsigned int> m_taskInterval;
    std::atomic<long long> m_minSize;
    Producer<Task, File> m_producer;
    QStringList m_roots;
    QStringList m_scannedRoots;
    std::atomic<int> m_totalTasks{0};
    std::atomic<int> m_handledTasks{0};
    int m_pathsLeft = 0;
    std::set<std::pair<unsigned long long, unsigned long long>> m_seen;
    std::map<long long, std::vector<Candidate>> m_bySize;
    std::atomic<long long> m_bytesToRead{0};
    std::atomic<long long> m_bytesRead{0};
    std::atomic<bool> m_stop{false};
    std::vector<std::unique_ptr<char[]>> m_buffers;  // the worker's read buffers
};

}  // namespace Varnex::Cleaner::Details
