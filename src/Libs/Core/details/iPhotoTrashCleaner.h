#pragma once

#include <QSqlDatabase>
#include <QString>
#include <atomic>
#include <boost/function.hpp>
#include <boost/thread/mutex.hpp>
#include <memory>
#include <vector>

#include "Core/details/Producer.h"

namespace Varnex::Cleaner::Details {

class FSCleanerServerContext;

// Removes deleted images from a photo library (an iPhoto library folder)
// directly, without the photo application, on one background thread (a
// Producer): for each planned image the versions in the trash, with their
// entries in Database/Library.apdb, their proxy entries in
// Database/ImageProxies.apdb and their preview and thumbnail files, and the
// master (its file and its RKMaster entry) when every version of it is in the
// trash. A master that still has a version outside the trash is kept, and so
// is every file that an entry which stays still names.
//
// The order for one image is: read and check everything, change both
// databases (each in a transaction; a failure rolls both back and removes no
// file), and only then remove the files, through the removal server on this
// cleaner's own context, each with the identity (device, inode, birth) seen
// before the change: a file replaced meanwhile is left alone.
//
// The library belongs to another application: the databases are opened
// read-write but never created (a missing one fails the run), and nothing is
// done while the photo application runs or may run. Every path the database
// gives must stay inside its folder (Masters, Previews, Thumbnails), with no
// symbolic link on the way: an image with one that leaves is not touched.
//
// Threads: every call from the owner's thread; all database and file work on
// the producer's, where the connections (named for this cleaner and run alone)
// are made and, when the thread ends, removed.
class iPhotoTrashCleaner {
public:
    struct Result {
        int id = -1;  // the image's modelId in RKMaster; -1 for a failure (never kept)
        // Every version was in the trash: the master's entry went and its file
        // was removed (when it was there). False: the master's file and its
        // bytes stay, because a version outside the trash still shows it (the
        // master's entry stays too, and only the trashed versions went) or
        // another image's entry names the same file.
        bool masterRemoved = false;
        // Every file planned for the image is gone. False: the database no
        // longer knows the image's entries, but some files were refused or
        // failed (logged) and are still there.
        bool complete = false;
    };

    // One planned image of a plan; tasks of a plan that was stopped or
    // cleared do nothing.
    class Task {
    public:
        Task(iPhotoTrashCleaner& cleaner, int modelId, unsigned long long plan)
            : m_cleaner(&cleaner), m_modelId(modelId), m_plan(plan) {}
        Result operator()() const;

    private:
        iPhotoTrashCleaner* m_cleaner;
        int m_modelId;
        unsigned long long m_plan;
    };

    // Called on the producer's thread once an image's database entries are
    // gone for good, before its files are removed.
    using CommitObserver = boost::function<void(int modelId)>;

    // taskInterval: microseconds every task sleeps first (keeps the cleaning
    // from hogging the disk and the databases).
    explicit iPhotoTrashCleaner(unsigned int taskInterval);
    ~iPhotoTrashCleaner();
    iPhotoTrashCleaner(const iPhotoTrashCleaner&) = delete;
    iPhotoTrashCleaner& operator=(const iPhotoTrashCleaner&) = delete;

    // Adds the image with this modelId to the plan; a negative id is refused
    // (logged).
    void PlanToRemove(int modelId);
    // Starts removing the planned images from the library folder. After a
    // Stop() it first waits for the stopped run's current image. While a run
    // works on another library, the plan is dropped (logged).
    // Throws boost::thread_resource_error when no thread can be made.
    void Clean(const QString& libraryPath);
    // Ends the run after the current image; the rest of the plan is dropped.
    void Stop();
    void Clear();
    void Wait();
    // The results kept so far (moved out).
    std::vector<Result> GetResults();
    bool IsWorking() const;

    unsigned int GetTaskInterval() const { return m_taskInterval.load(); }
    void SetTaskInterval(unsigned int interval) { m_taskInterval.store(interval); }
    // Set it before Clean(); see CommitObserver.
    void SetCommitObserver(CommitObserver observer);

    // Removes this cleaner's connections, when there are any. The producer's
    // thread calls it when it ends.
    void CloseDatabases();

private:
    struct Image;

    Result DoRemove(int modelId);
    bool DoOpenDatabases();
    bool DoOpen(QSqlDatabase* db, const QString& connection, const QString& file,
                const char* failure);
    bool DoReadImage(Image* image);
    bool DoChangeDatabases(const Image& image);
    bool DoReadKeptFiles(Image* image, const QString& imagePath);
    void DoFail();
    void DoSleep() const;

    // Set by the owner's thread, taken over by the first task of a run.
    mutable boost::mutex m_settingsLock;
    QString m_libraryPath;
    CommitObserver m_commitObserver;

    // The producer's thread only, but for the reset in Clean().
    std::atomic<bool> m_databasesOpened{false};
    QString m_runLibraryPath;
    QSqlDatabase m_libraryDb;
    QSqlDatabase m_proxiesDb;
    QString m_libraryConnection;
    QString m_proxiesConnection;

    std::atomic<unsigned long long> m_plan{0};  // tasks of an older plan do nothing
    std::atomic<bool> m_stopped{false};         // stopped or failed since the last Clean()
    std::unique_ptr<FSCleanerServerContext> m_context;
    std::atomic<unsigned int> m_taskInterval;
    Producer<Task, Result> m_producer;
};

}  // namespace Varnex::Cleaner::Details
