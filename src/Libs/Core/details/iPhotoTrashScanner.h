#pragma once

#include <QSqlDatabase>
#include <QString>
#include <atomic>
#include <boost/thread/mutex.hpp>
#include <memory>
#include <vector>

#include "Core/details/Producer.h"

class QSqlQuery;
class QTemporaryDir;

namespace Varnex::Cleaner::Details {

// Reads the trash of a photo library (an iPhoto library folder) from its two
// SQLite databases, Database/Library.apdb and Database/ImageProxies.apdb, on
// one background thread (a Producer), and hands over one Result per deleted
// image version, album and folder of albums. Albums and folders come in an
// order where every folder precedes what it holds, each with the path of
// names that places it in the folder tree.
//
// The library belongs to another application: the databases are opened
// read-only and only when they are there as regular files, so nothing is ever
// created inside the library. With readCopy the scan reads copies of the
// databases, with their -wal and -shm files, made in a temporary folder
// (while the photo application runs, its live files are never opened). Every
// path the database gives (masters, previews, thumbnails) must stay inside
// its folder of the library: an absolute one or one with a ".." component is
// logged and dropped.
//
// A library database that is missing or cannot be opened or read, an image
// proxies database that is there but cannot be opened or read, and a failed
// statement end the scan as failed (HasFailed(), GetProblem()); a library
// without an image proxies database gives its images without previews and no
// albums or folders.
//
// Threads: every call from the owner's thread; all database work on the
// producer's, where the connections (named for this scanner and scan alone)
// are made and, when the thread ends, removed.
class iPhotoTrashScanner {
public:
    enum ResultType {
        NONE = 0,
        IMAGE = 1,
        ALBUM = 2,
        FOLDER = 3,
        SMART_ALBUM = 4,
        SLIDESHOW = 5,
        KEEPSAKE = 6
    };

    struct Result {
        int type = NONE;
        int id = -1;       // the image's modelId in RKMaster; -1 for albums and folders
        int version = -1;  // the version's versionNumber; -1 while not known
        QString name;      // the image's file name, the album's or folder's name
        // The master file (absolute, inside Masters), or the names of an
        // album's or folder's enclosing folders and its own, joined with '/'.
        QString path;
        QString fullSizePreviewPath;  // absolute, inside Previews; empty: none
        QString thumbnailPath;        // absolute, inside Thumbnails; empty: none
        QString miniThumbnailPath;    // absolute, inside Thumbnails; empty: none
        QString uuid;                 // the folder uuid of an album or folder
        long long size = 0;           // bytes of the files the result stands for
    };

    // One piece of work: the start of a scan, an image to complete, or a
    // result to hand over as it is.
    class Task {
    public:
        Task(iPhotoTrashScanner& scanner, Result result)
            : m_scanner(&scanner), m_result(std::move(result)) {}
        Result operator()() const;

    private:
        iPhotoTrashScanner* m_scanner;
        Result m_result;
    };

    // taskInterval: microseconds every task sleeps first (keeps the scan from
    // hogging the disk and the databases).
    explicit iPhotoTrashScanner(unsigned int taskInterval);
    ~iPhotoTrashScanner();
    iPhotoTrashScanner(const iPhotoTrashScanner&) = delete;
    iPhotoTrashScanner& operator=(const iPhotoTrashScanner&) = delete;

    // Starts a scan of the library folder (call it when no scan is working).
    // Throws boost::thread_resource_error when no thread can be made.
    void Scan(const QString& libraryPath, bool readCopy = false);
    void Stop();
    void Clear();
    void Wait();
    // The results kept so far (moved out).
    std::vector<Result> GetResults();
    bool IsWorking() const;

    // Whether the last scan failed, and why; to be read once it ended.
    bool HasFailed() const { return m_failed.load(); }
    // How many entries of the trash the last scan did not give (a path that
    // leaves its folder or passes a link, a file other images name too, no
    // name, an album of no known kind or out of reach); to be read once it
    // ended. The photo application empties them all the same.
    int GetSkippedCount() const { return m_skipped.load(); }
    QString GetProblem() const;

    unsigned int GetTaskInterval() const { return m_taskInterval.load(); }
    void SetTaskInterval(unsigned int interval) { m_taskInterval.store(interval); }

    // Removes this scanner's connections (and the copies read), when there
    // are any. The producer's thread calls it when it ends.
    void CloseDatabases();

private:
    Result DoStart();
    Result DoImage(Result result);
    enum class Opened { YES, MISSING, FAILED };
    Opened DoOpen(QSqlDatabase* db, const QString& connection, const QString& file,
                  bool readCopy);
    bool DoCopyDatabase(const QString& file, QString* copy);
    void DoAddAlbumsAndFolders();
    void Fail(const QString& problem);
    void DoSleep() const;
    QString MastersPath() const;
    QString PreviewsPath() const;
    QString ThumbnailsPath() const;

    // Set by Scan() on the owner's thread, taken over by the start task.
    mutable boost::mutex m_settingsLock;
    QString m_libraryPath;
    bool m_readCopy = false;
    QString m_problem;  // under m_settingsLock

    // The producer's thread only, but for the reset in Scan().
    std::atomic<bool> m_databasesOpened{false};
    std::atomic<bool> m_failed{false};
    std::atomic<int> m_skipped{0};
    QString m_scanLibraryPath;
    QSqlDatabase m_libraryDb;
    QSqlDatabase m_proxiesDb;
    std::unique_ptr<QSqlQuery> m_versionsQuery;
    std::unique_ptr<QSqlQuery> m_proxiesQuery;
    QString m_libraryConnection;
    QString m_proxiesConnection;
    std::unique_ptr<QTemporaryDir> m_copyFolder;

    std::atomic<unsigned int> m_taskInterval;
    Producer<Task, Result> m_producer;
};

}  // namespace Varnex::Cleaner::Details
