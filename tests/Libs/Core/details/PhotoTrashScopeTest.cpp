// The photo library's trash as a scope, on a real library, with the
// `osascript` stand-in of scripts/fake-tools playing the photo application
// (it moves the masters it lets go to ~/.Trash/iPhoto) and a `ps` stand-in.
// What must hold: the trash is emptied only as a whole and only when all of
// it is selected; only the very files the application let go are removed
// from the file-system trash, through the removal server; a failed script
// fails and cleans only what really left the library; a file that could not
// be removed is not counted.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include "Core/details/GarbageIPhotoAlbum.h"
#include "Core/details/GarbageIPhotoFolder.h"
#include "Core/details/GarbageIPhotoImage.h"
#include "Core/details/iPhotoGarbageScope.h"
#include "common/LogCapture.h"
#include "common/PhotoLibraryFixture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::PhotoLibraryFixture;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

const int waitMs = 120000;

QByteArray Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool Exists(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// A home with a photo library: three images in the trash (one with two
// versions), two kept, one image with a trashed and a kept version, a
// trashed folder holding an album, and a trashed album at the top.
struct Machine {
    TempTree tree;
    QString homePath = tree.Path("home");
    ScopedEnv homeEnv{"HOME", homePath.toUtf8()};
    ScopedEnv pathEnv{"PATH", (tree.Path("bin") + ":" KLARVIK_SOURCE_DIR "/scripts/fake-tools:" +
                               qgetenv("PATH"))
                                  .toUtf8()};
    ScopedEnv logEnv{"FAKE_OSASCRIPT_LOG", tree.Path("osascript.log").toUtf8()};
    QString library = homePath + "/Pictures/iPhoto Library";
    QString trash = homePath + "/.Trash/iPhoto";
    std::unique_ptr<PhotoLibraryFixture> lib;
    QList<PhotoLibraryFixture::Image> trashed;
    QList<PhotoLibraryFixture::Image> kept;

    Machine() {
        QDir().mkpath(tree.Path("bin"));
        Processes("/sbin/init\n/usr/bin/Finder\n");
        tree.MakeFile("home/Library/Preferences/com.apple.IPhoto.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                      "<key>RootDirectory</key><string>" +
                          library.toUtf8() + "</string></dict></plist>");
        lib = std::make_unique<PhotoLibraryFixture>(library);
        trashed << lib->AddImage("2015/05", "IMG_1.jpg", 1, true, true, 5000)
                << lib->AddImage("2015/05", "IMG_2.jpg", 2, true, true, 7000)
                << lib->AddImage("2016", "Ünïcode: name\n.jpg", 1, true, true, 9000);
        kept << lib->AddImage("2015/05", "IMG_3.jpg", 1, false) << lib->AddImage("2016", "IMG_4.jpg", 1, false);
        // One version in the trash, one not: the image stays in the library.
        PhotoLibraryFixture::Image shared = lib->AddImage("2016", "shared.jpg", 1, false);
        lib->AddVersion(shared.masterId, "shared", 1, true);
        kept << shared;
        const QString trips = lib->AddFolder("Trips", "TopLevelAlbums", true);
        lib->AddAlbum("Rome", trips, 1, 3, true);
        lib->AddAlbum("Old", "TopLevelAlbums", 1, 3, true);
        lib->Close();
    }
    void Processes(const QByteArray& lines) {
        tree.MakeFile("bin/ps", "#!/bin/sh\nprintf '%s' '" + lines + "'\n");
        QFile::setPermissions(tree.Path("bin/ps"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    QString Master(const PhotoLibraryFixture::Image& image) const {
        return library + "/Masters/" + image.master;
    }
    QByteArray ScriptLog() const { return Read(tree.Path("osascript.log")); }
};

AbstractGarbageScope::FinishReason Scan(iPhotoGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.SetScanTaskInterval(0);
    scope.StartScanning();
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    return finished.isEmpty() ? AbstractGarbageScope::CANCELED
                              : finished.last().at(1).value<AbstractGarbageScope::FinishReason>();
}

AbstractGarbageScope::FinishReason Clean(iPhotoGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    if (!scope.StartCleaning()) {
        return AbstractGarbageScope::CANCELED;
    }
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.size(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::CANCELED
                              : finished.last().at(1).value<AbstractGarbageScope::FinishReason>();
}

GarbageIPhotoImage* ImageOf(const iPhotoGarbageScope& scope, const QString& master) {
    for (AbstractGarbage* root : scope.GetRoots()) {
        if (root->GetPath() == master) {
            return qobject_cast<GarbageIPhotoImage*>(root);
        }
    }
    return nullptr;
}

long long Blocks(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_blocks * 512LL : -1;
}

}  // namespace

TEST(PhotoTrashScope, EmptiesTheTrashThroughTheApplicationAndRemovesExactlyItsFiles) {
    Machine m;
    iPhotoGarbageScope scope;
    QSignalSpy inserting(&scope, &AbstractGarbageScope::ItemsAboutToBeInserted);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE) << scope.GetScanProblem().toStdString();
    for (const QList<QVariant>& signal : inserting) {
        EXPECT_GT(signal.at(1).toInt(), 0);
    }

    // One item per image, whatever its versions; the folder holds its album.
    int images = 0;
    GarbageIPhotoFolder* trips = nullptr;
    GarbageIPhotoAlbum* old = nullptr;
    for (AbstractGarbage* root : scope.GetRoots()) {
        images += qobject_cast<GarbageIPhotoImage*>(root) != nullptr;
        if (auto* folder = qobject_cast<GarbageIPhotoFolder*>(root)) {
            trips = folder;
        }
        if (auto* album = qobject_cast<GarbageIPhotoAlbum*>(root)) {
            old = album;
        }
    }
    // The shared image shows too: one of its versions is in the trash.
    EXPECT_EQ(images, 4);
    ASSERT_TRUE(trips && old);
    ASSERT_EQ(trips->GetChildren().size(), 1);
    EXPECT_EQ(trips->GetChildren().front()->GetName(), "Rome");
    EXPECT_EQ(old->GetName(), "Old");

    // Bystanders: a file of the user's in the trash folder, and the kept images.
    QDir().mkpath(m.trash + "/2015/05");
    QFile mine(m.trash + "/2015/05/mine.jpg");
    ASSERT_TRUE(mine.open(QIODevice::WriteOnly));
    mine.write(QByteArray(5000, 'x'));  // the size of IMG_1: only its inode tells them apart
    mine.close();
    std::map<QString, QByteArray> keptBytes;
    for (const auto& image : m.kept) {
        keptBytes[m.Master(image)] = Read(m.Master(image));
    }
    long long expectedFreed = 0;
    for (const auto& image : m.trashed) {
        expectedFreed += Blocks(m.Master(image));
    }

    ASSERT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    for (const auto& image : m.trashed) {
        EXPECT_FALSE(Exists(m.Master(image))) << image.master.toStdString();
        EXPECT_FALSE(Exists(m.trash + "/" + image.master)) << image.master.toStdString();
        ASSERT_TRUE(ImageOf(scope, m.Master(image)));
        EXPECT_TRUE(ImageOf(scope, m.Master(image))->IsClean());
    }
    for (const auto& [path, bytes] : keptBytes) {
        EXPECT_EQ(Read(path), bytes) << path.toStdString();
    }
    EXPECT_EQ(Read(m.trash + "/2015/05/mine.jpg"), QByteArray(5000, 'x'));
    EXPECT_FALSE(Exists(m.trash + "/2016"));  // emptied, so removed
    EXPECT_TRUE(trips->IsClean());
    EXPECT_TRUE(old->IsClean());
    // The image that keeps a version keeps its master; its deleted version
    // left the trash, so it is clean, and none of its bytes counts.
    EXPECT_TRUE(ImageOf(scope, m.Master(m.kept.back()))->IsClean());
    EXPECT_EQ(scope.GetTotalCleanedSize(), expectedFreed);
    // The application did not run: it was started and quit for the script.
    EXPECT_TRUE(m.ScriptLog().contains("\t\t\t\t\t\trun\n")) << m.ScriptLog().toStdString();
}

TEST(PhotoTrashScope, IsEmptiedOnlyWhenEverythingInItIsSelected) {
    Machine m;
    iPhotoGarbageScope scope;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    scope.GetRoots().front()->SetCheckState(AbstractGarbage::UNCHECKED);
    EXPECT_FALSE(scope.StartCleaning());
    EXPECT_FALSE(scope.GetCleaningProblem().isEmpty());
    EXPECT_FALSE(scope.IsCleaning());
    EXPECT_EQ(m.ScriptLog(), "<missing>");  // the application was never asked
    for (const auto& image : m.trashed) {
        EXPECT_TRUE(Exists(m.Master(image)));
    }
    scope.GetRoots().front()->SetCheckState(AbstractGarbage::CHECKED);
    // A master changed since the scan: the application lets it go with the
    // rest, but what it holds now was never judged, so it is not removed.
    QFile changed(m.Master(m.trashed.front()));
    ASSERT_TRUE(changed.open(QIODevice::Append));
    changed.write("edited since");
    changed.close();
    const QByteArray edited = Read(m.Master(m.trashed.front()));
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_TRUE(scope.GetCleaningProblem().isEmpty());
    GarbageIPhotoImage* item = ImageOf(scope, m.Master(m.trashed.front()));
    EXPECT_FALSE(item->IsClean());
    EXPECT_EQ(item->GetError(), AbstractGarbage::Error::REFUSED);
    EXPECT_EQ(Read(m.trash + "/" + m.trashed.front().master), edited);
    EXPECT_TRUE(ImageOf(scope, m.Master(m.trashed.back()))->IsClean());
}

TEST(PhotoTrashScope, AFailedScriptFailsAndCleansOnlyWhatLeftTheLibrary) {
    Machine m;
    // The application runs: it is not started, nor quit, for the script.
    m.Processes("/sbin/init\n/Applications/iPhoto.app/Contents/MacOS/iPhoto -psn_0_1\n");
    ScopedEnv once("FAKE_OSASCRIPT_EMPTY_ONLY", "1");
    iPhotoGarbageScope scope;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::FAILED);
    EXPECT_FALSE(m.ScriptLog().contains("run\n")) << m.ScriptLog().toStdString();
    int clean = 0;
    for (const auto& image : m.trashed) {
        GarbageIPhotoImage* item = ImageOf(scope, m.Master(image));
        ASSERT_TRUE(item);
        EXPECT_EQ(item->IsClean(), !Exists(m.Master(image))) << image.master.toStdString();
        // What is still there is not in error: it is for another try.
        EXPECT_EQ(item->GetError(), AbstractGarbage::Error::OK);
        clean += item->IsClean();
    }
    EXPECT_EQ(clean, 1);
    for (AbstractGarbage* root : scope.GetRoots()) {
        if (!qobject_cast<GarbageIPhotoImage*>(root)) {
            EXPECT_FALSE(root->IsClean()) << root->GetName().toStdString();
        }
    }
    // The next try empties the rest.
    qunsetenv("FAKE_OSASCRIPT_EMPTY_ONLY");
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    for (const auto& image : m.trashed) {
        EXPECT_FALSE(Exists(m.Master(image)));
    }
}

TEST(PhotoTrashScope, AFileNotFoundOrNotRemovedIsNeverCountedAsFreed) {
    // The application put the files elsewhere: they are out of the library,
    // but nothing is removed there, and as their files still are somewhere
    // they are not cleaned.
    {
        Machine m;
        ScopedEnv elsewhere("FAKE_OSASCRIPT_TRASH", m.tree.Path("elsewhere").toUtf8());
        iPhotoGarbageScope scope;
        ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
        EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
        for (const auto& image : m.trashed) {
            EXPECT_FALSE(ImageOf(scope, m.Master(image))->IsClean());
            EXPECT_NE(ImageOf(scope, m.Master(image))->GetError(), AbstractGarbage::Error::OK);
            EXPECT_TRUE(Exists(m.tree.Path("elsewhere/") + image.master));
        }
        EXPECT_EQ(scope.GetTotalCleanedSize(), 0);
    }
    // The home is reached through a link anybody could have swapped: the
    // removal server refuses the files, which stay, in error and uncounted.
    {
        TempTree outer;
        QDir().mkpath(outer.Path("open"));
        ASSERT_EQ(::chmod(QFile::encodeName(outer.Path("open")).constData(), 0777), 0);
        Machine m;
        ASSERT_TRUE(QFile::link(m.homePath, outer.Path("open/home")));
        ScopedEnv linkedHome("HOME", outer.Path("open/home").toUtf8());
        iPhotoGarbageScope scope;
        ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
        EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
        for (const auto& image : m.trashed) {
            GarbageIPhotoImage* item = ImageOf(scope, m.Master(image));
            ASSERT_TRUE(item) << image.master.toStdString();
            EXPECT_FALSE(item->IsClean());
            EXPECT_NE(item->GetError(), AbstractGarbage::Error::OK);
            EXPECT_TRUE(Exists(m.trash + "/" + image.master));
        }
        EXPECT_EQ(scope.GetTotalCleanedSize(), 0);
        // Tried again once the home is reached without the link: what is in
        // error goes with the rest, and nothing is refused as unselected.
        qputenv("HOME", m.homePath.toUtf8());
        EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE) << scope.GetCleaningProblem().toStdString();
        for (const auto& image : m.trashed) {
            EXPECT_TRUE(ImageOf(scope, m.Master(image))->IsClean());
            EXPECT_FALSE(Exists(m.trash + "/" + image.master));
        }
    }
}

TEST(PhotoTrashScope, FindsOnlyTheSameFileWithoutFollowingLinks) {
    TempTree t;
    t.MakeFile("other/photo.jpg", QByteArray(300, 'p'));
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(t.Path("other/photo.jpg")).constData(), &st), 0);
    const auto dev = static_cast<unsigned long long>(st.st_dev);
    const auto ino = static_cast<unsigned long long>(st.st_ino);
    t.MakeFile("trash/copy.jpg", QByteArray(300, 'p'));  // same bytes, another file
    QDir().mkpath(t.Path("trash/a"));
    ASSERT_TRUE(QFile::link(t.Path("other"), t.Path("trash/a/linked")));
    QDir().mkpath(t.Path("trash/.hidden"));
    ASSERT_EQ(::link(QFile::encodeName(t.Path("other/photo.jpg")).constData(),
                     QFile::encodeName(t.Path("trash/.hidden/photo.jpg")).constData()),
              0);
    EXPECT_EQ(iPhotoGarbageScope::FindFirstHardLink(t.Path("trash"), dev, ino, 300), "");

    QDir().mkpath(t.Path("trash/b/c"));
    ASSERT_EQ(::link(QFile::encodeName(t.Path("other/photo.jpg")).constData(),
                     QFile::encodeName(t.Path("trash/b/c/photo.jpg")).constData()),
              0);
    EXPECT_EQ(iPhotoGarbageScope::FindFirstHardLink(t.Path("trash"), dev, ino, 300),
              t.Path("trash/b/c/photo.jpg"));
    EXPECT_EQ(iPhotoGarbageScope::FindFirstHardLink(t.Path("trash"), dev, ino, 301), "");
    EXPECT_EQ(iPhotoGarbageScope::FindFirstHardLink(t.Path("trash"), dev + 1, ino, 300), "");
    EXPECT_EQ(iPhotoGarbageScope::FindFirstHardLink(t.Path("trash"), dev, 0, 300), "");
    // Nor through a bind mount of the same file system inside the trash.
    QDir().mkpath(t.Path("trash/mounted"));
    if (::mount(QFile::encodeName(t.Path("other")).constData(),
                QFile::encodeName(t.Path("trash/mounted")).constData(), nullptr, MS_BIND, nullptr) == 0) {
        ASSERT_EQ(::unlink(QFile::encodeName(t.Path("trash/b/c/photo.jpg")).constData()), 0);
        EXPECT_EQ(iPhotoGarbageScope::FindFirstHardLink(t.Path("trash"), dev, ino, 300), "");
        ::umount2(QFile::encodeName(t.Path("trash/mounted")).constData(), MNT_DETACH);
    }
    // The trash folder itself given as a link is not searched.
    ASSERT_TRUE(QFile::link(t.Path("trash"), t.Path("trash-link")));
    EXPECT_EQ(iPhotoGarbageScope::FindFirstHardLink(t.Path("trash-link"), dev, ino, 300), "");
}

TEST(PhotoTrashScope, AResetDuringTheScriptEndsItAndAMissingLibraryFailsTheScan) {
    Machine m;
    {
        ScopedEnv hang("FAKE_OSASCRIPT_HANG", "1");
        iPhotoGarbageScope scope;
        ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
        QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
        ASSERT_TRUE(scope.StartCleaning());
        EXPECT_TRUE(WaitUntil([&] { return m.ScriptLog() != "<missing>"; }, waitMs));
        scope.Reset();  // returns: the script is killed, not waited for
        EXPECT_FALSE(scope.IsCleaning());
        EXPECT_TRUE(scope.GetRoots().isEmpty());
        for (const auto& image : m.trashed) {
            EXPECT_TRUE(Exists(m.Master(image)));
        }
    }
    ASSERT_TRUE(QFile::remove(m.library + "/Database/Library.apdb"));
    iPhotoGarbageScope scope;
    EXPECT_EQ(Scan(scope), AbstractGarbageScope::FAILED);
    EXPECT_FALSE(scope.GetScanProblem().isEmpty());
    EXPECT_FALSE(Exists(m.library + "/Database/Library.apdb"));
}

TEST(PhotoTrashScope, NothingIsEmptiedWhenTheTrashHoldsMoreThanWasShown) {
    // Added to the trash after the scan.
    {
        Machine m;
        iPhotoGarbageScope scope;
        ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
        m.lib->Exec("UPDATE RKVersion SET isInTrash = 1 WHERE masterId = ?", {m.kept.front().masterId});
        m.lib->Close();
        EXPECT_EQ(Clean(scope), AbstractGarbageScope::FAILED);
        EXPECT_TRUE(scope.GetCleaningProblem().contains("changed since the scan"))
            << scope.GetCleaningProblem().toStdString();
        EXPECT_EQ(m.ScriptLog(), "<missing>");
    }
    // Entries the scan could not show: a master reached through a link below
    // Masters, and a master file another image names too.
    for (int hostile = 0; hostile < 2; ++hostile) {
        Machine m;
        PhotoLibraryFixture& lib = *m.lib;
        if (hostile == 0) {
            m.tree.MakeFile("documents/2020/thesis.jpg", "the user's");
            ASSERT_TRUE(QFile::link(m.tree.Path("documents/2020"), m.library + "/Masters/2020"));
            const int id = lib.AddMaster("thesis.jpg", "2020/thesis.jpg");
            lib.AddVersion(id, "thesis", 0, true);
        } else {
            const int id = lib.AddMaster("copy.jpg", m.kept.front().master);
            lib.AddVersion(id, "copy", 0, true);
        }
        lib.Close();
        iPhotoGarbageScope scope;
        ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
        EXPECT_EQ(Clean(scope), AbstractGarbageScope::FAILED);
        EXPECT_TRUE(scope.GetCleaningProblem().contains("can't be shown"))
            << scope.GetCleaningProblem().toStdString();
        EXPECT_EQ(m.ScriptLog(), "<missing>");
        for (const auto& image : m.trashed) {
            EXPECT_TRUE(Exists(m.Master(image)));
        }
        if (hostile == 0) {
            EXPECT_EQ(Read(m.tree.Path("documents/2020/thesis.jpg")), "the user's");
        }
    }
}

TEST(PhotoTrashScope, AStopDuringTheScriptLeavesEverythingInTheTrash) {
    Machine m;
    // The application lets go of the images, then takes its time to answer.
    m.tree.MakeFile("bin/osascript",
                    "#!/bin/sh\n" KLARVIK_SOURCE_DIR "/scripts/fake-tools/osascript \"$@\" || exit $?\n"
                    "touch \"" + m.tree.Path("emptied").toUtf8() + "\"\n"
                    "while [ ! -e \"" + m.tree.Path("go").toUtf8() + "\" ]; do sleep 0.05; done\n");
    QFile::setPermissions(m.tree.Path("bin/osascript"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    iPhotoGarbageScope scope;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    ASSERT_TRUE(scope.StartCleaning());
    ASSERT_TRUE(WaitUntil([&] { return Exists(m.tree.Path("emptied")); }, waitMs));
    scope.StopCleaning();
    m.tree.MakeFile("go", "");
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.last().at(1).value<AbstractGarbageScope::FinishReason>(),
              AbstractGarbageScope::CANCELED);
    for (const auto& image : m.trashed) {
        EXPECT_TRUE(Exists(m.trash + "/" + image.master)) << image.master.toStdString();
    }
    EXPECT_EQ(scope.GetTotalCleanedSize(), 0);
}

// The photo application holding its database locked: the scan fails once,
// saying so, shows nothing and changes nothing; once the lock is gone the
// library is read again.
TEST(PhotoTrashScope, ALockedDatabaseFailsTheScanOnceAndShowsNothing) {
    Machine m;
    const QString before = QString::fromUtf8(Read(m.library + "/Database/Library.apdb").toHex());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "photo-application");
        db.setDatabaseName(m.library + "/Database/Library.apdb");
        ASSERT_TRUE(db.open());
        QSqlQuery lock(db);
        ASSERT_TRUE(lock.exec("BEGIN EXCLUSIVE")) << lock.lastError().text().toStdString();
        iPhotoGarbageScope scope;
        QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
        Varnex::Test::LogCapture log;
        EXPECT_EQ(Scan(scope), AbstractGarbageScope::FAILED);
        EXPECT_TRUE(log.Contains(google::GLOG_ERROR, "database is locked")) << log.Dump();
        EXPECT_EQ(finished.size(), 1);
        EXPECT_TRUE(scope.GetScanProblem().contains("locked")) << scope.GetScanProblem().toStdString();
        EXPECT_TRUE(scope.GetRoots().isEmpty());
        EXPECT_FALSE(scope.IsCleaningPossible());
        ASSERT_TRUE(lock.exec("ROLLBACK"));
    }
    QSqlDatabase::removeDatabase("photo-application");
    EXPECT_EQ(QString::fromUtf8(Read(m.library + "/Database/Library.apdb").toHex()), before);
    for (const auto& image : m.trashed + m.kept) {
        EXPECT_TRUE(Exists(m.Master(image)));
    }
    iPhotoGarbageScope scope;
    EXPECT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_NE(ImageOf(scope, m.Master(m.trashed.first())), nullptr);
}
