#pragma once

#include <QString>
#include <memory>

#include "Core/details/CleaningRunScope.h"

namespace Varnex::Cleaner::Details {

// The trash of the user's photo library (the iPhoto library the photo
// application's preferences name): the deleted images, albums and folders of
// albums, read from the library's databases (iPhotoTrashScanner) on a worker
// thread, as GarbageIPhotoImage roots and GarbageIPhotoFolder trees of
// GarbageIPhotoAlbum items. Every image is one item, whatever the number of
// its deleted versions.
//
// Cleaning does not touch the library: the photo application is asked,
// through AppleScript, to empty its trash (started for it and quit again when
// it did not run). The application moves the image files it lets go to the
// file-system trash (FindTrashPath()); once the script returned, each image
// whose file left the library has that file (the same device, inode and
// size, birth and mount) looked for there and removed through the removal
// server, and empty folders it leaves there are removed one by one. Only then
// is the image cleaned, counting the bytes the removal gave back; an image
// whose file is not found there stays in error. Albums and folders are
// cleaned when a new read of the trash no longer holds them. The application
// empties its trash as a whole: cleaning starts only when every item not
// clean is selected, and the script runs only while the trash holds just what
// the scan showed (nothing it could not show, nothing added since);
// otherwise it is refused and GetCleaningProblem() says why. A script that
// fails ends the cleaning FAILED, and what it did remove still counts; a
// stop during the script leaves everything in the trash.
//
// While the photo application runs, the scan reads copies of its databases.
//
// Threads: the scope's; the scan and the cleaning run on worker threads.
class iPhotoGarbageScope : public CleaningRunScope {
    Q_OBJECT
public:
    explicit iPhotoGarbageScope(QObject* parent = nullptr);
    ~iPhotoGarbageScope() override;

    static QString LoadLibraryPath();
    static bool DoesLibraryExist();
    // Where the photo application puts the files of its emptied trash: the
    // home folder's ".Trash/iPhoto" when the library is on the home folder's
    // volume (as the two really are, links followed), else
    // "<volume>/.Trashes/<user id>/iPhoto". Empty when that cannot be told.
    static QString FindTrashPath(const QString& libraryPath);
    // The first regular file below `folder` (hidden entries left out) with
    // this device, inode, size and birth time (0: not compared), found
    // without following a link or leaving the folder's mount; empty when
    // there is none, and for inode 0.
    static QString FindFirstHardLink(const QString& folder, unsigned long long device,
                                     unsigned long long inode, long long size,
                                     long long birth = 0);

    // Why the last StartCleaning() was refused; empty when it was not.
    QString GetCleaningProblem() const;
    // Why the last scan failed; empty when it did not.
    QString GetScanProblem() const;
    // Microseconds the scan rests after every database step (default 5000:
    // the photo application's library is not to be hogged).
    void SetScanTaskInterval(unsigned int microseconds);
    // The time the AppleScript may take (default one hour).
    void SetScriptTimeLimit(int ms);

    void Reset() override;
    void ResetCleaning() override;
    bool IsCleaningPossible() const override;
    void WaitBeforeAppQuit() override;

public slots:
    void DoStartScanning() override;

protected:
    bool InsertBatch(const RunGeneration::Ticket& ticket) override;
    BatchProducer<CleaningResult>* PrepareCleaningRun(long long* count) override;
    AbstractGarbage* FindItemForPath(const QString& path) const override;
    // What a removal gave back is reported with each image; albums and
    // folders free nothing.
    long long GetCleanedSize(AbstractGarbage*) const override { return 0; }

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner::Details
