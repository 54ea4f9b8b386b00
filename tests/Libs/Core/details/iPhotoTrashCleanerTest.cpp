// The photo library trash cleaner on a real library (real SQLite files, real
// masters and previews) with the real removal server: what goes, what stays,
// and that a failure or a doubt changes nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <map>

#include "Core/details/iPhotoTrashCleaner.h"
#include "common/LogCapture.h"
#include "common/PhotoLibraryFixture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner::Details;
using Varnex::Test::LogCapture;
using Varnex::Test::PhotoLibraryFixture;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;
using Result = iPhotoTrashCleaner::Result;

namespace {

// A library in a temporary folder, with a `ps` stand-in first on PATH.
struct Machine {
    TempTree tree;
    TempTree bin;
    ScopedEnv pathEnv{"PATH", (bin.Root() + ":" + qgetenv("PATH")).toUtf8()};
    PhotoLibraryFixture library{tree.Path("Pictures/iPhoto Library")};

    Machine() { Processes("/sbin/init\n/usr/bin/Finder\n"); }

    // What `ps` prints, and its exit code.
    void Processes(const QByteArray& lines, int exitCode = 0) {
        bin.MakeFile("ps", "#!/bin/sh\nprintf '%s' '" + lines + "'\nexit " +
                               QByteArray::number(exitCode) + "\n");
        QFile::setPermissions(bin.Path("ps"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }

    // One number the SQL gives on the library (or proxies) database.
    int Count(const QString& sql, bool proxies = false) {
        int count = -1;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "cleaner-test");
            db.setConnectOptions("QSQLITE_OPEN_READONLY");
            db.setDatabaseName(proxies ? library.ProxiesDatabasePath()
                                       : library.LibraryDatabasePath());
            EXPECT_TRUE(db.open());
            QSqlQuery query(db);
            if (query.exec(sql) && query.next()) {
                count = query.value(0).toInt();
            }
        }
        QSqlDatabase::removeDatabase("cleaner-test");
        return count;
    }
    // Rows of every table, for "nothing changed".
    QString Rows() {
        QStringList out;
        for (const char* table : {"RKMaster", "RKVersion"}) {
            out << QString::number(Count(QString("SELECT count(*) FROM ") + table));
        }
        out << QString::number(Count("SELECT count(*) FROM RKImageProxyState", true));
        return out.join(',');
    }
};

// Every entry below root with its contents (folders: "<dir>"), links not followed.
std::map<QString, QByteArray> Listing(const QString& root) {
    std::map<QString, QByteArray> out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.filePath().contains("/Database/")) {
            continue;
        }
        QFile file(it.filePath());
        out[it.filePath()] = it.fileInfo().isSymLink()        ? QByteArray("<link>")
                             : it.fileInfo().isDir()          ? QByteArray("<dir>")
                             : file.open(QIODevice::ReadOnly) ? file.readAll()
                                                              : QByteArray("<unreadable>");
    }
    return out;
}

std::vector<Result> RunClean(iPhotoTrashCleaner& cleaner, const QString& library) {
    cleaner.Clean(library);
    EXPECT_TRUE(Varnex::Test::WaitUntil([&] { return !cleaner.IsWorking(); }));
    cleaner.Wait();
    return cleaner.GetResults();
}

}  // namespace

TEST(iPhotoTrashCleaner, KeepsTheMasterOfAVersionOutsideTheTrash) {
    Machine m;
    PhotoLibraryFixture& lib = m.library;
    const auto image = lib.AddImage("2020/05", "IMG_1.jpg", 1, true);
    const QString kept = lib.AddVersion(image.masterId, "IMG_1", 1, false);
    // The kept version shares the trashed one's mini thumbnail.
    lib.AddProxy(kept, "2020/05/IMG_1_kept.jpg", "2020/05/IMG_1_kept_thumb.jpg",
                 "2020/05/IMG_1_0_mini.jpg");
    lib.MakeFile("Previews/2020/05/IMG_1_kept.jpg", 77);
    lib.MakeFile("Thumbnails/2020/05/IMG_1_kept_thumb.jpg", 7);
    auto before = Listing(lib.Root());

    iPhotoTrashCleaner cleaner(0);
    cleaner.PlanToRemove(image.masterId);
    const auto results = RunClean(cleaner, lib.Root());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].id, image.masterId);
    EXPECT_FALSE(results[0].masterRemoved);
    EXPECT_TRUE(results[0].complete);

    // Only the trashed version's own proxies went; its folder still holds the kept ones.
    for (const char* gone :
         {"Previews/2020/05/IMG_1_0.jpg", "Thumbnails/2020/05/IMG_1_0_thumb.jpg"}) {
        EXPECT_EQ(before.erase(lib.Path(gone)), 1u) << gone;
    }
    EXPECT_EQ(Listing(lib.Root()), before);
    EXPECT_EQ(QFileInfo(lib.Path("Masters/2020/05/IMG_1.jpg")).size(), 1000);
    EXPECT_EQ(
        m.Count(QString("SELECT count(*) FROM RKMaster WHERE modelId = %1").arg(image.masterId)),
        1);
    EXPECT_EQ(m.Count("SELECT count(*) FROM RKVersion WHERE uuid = '" + kept + "'"), 1);
    EXPECT_EQ(
        m.Count("SELECT count(*) FROM RKVersion WHERE uuid = '" + image.versionUuids[0] + "'"), 0);
    EXPECT_EQ(
        m.Count("SELECT count(*) FROM RKImageProxyState WHERE versionUuid = '" + kept + "'", true),
        1);
    EXPECT_EQ(m.Count("SELECT count(*) FROM RKImageProxyState", true), 1);
}

TEST(iPhotoTrashCleaner, RemovesAWholeImageAndNothingOfAnyOther) {
    Machine m;
    PhotoLibraryFixture& lib = m.library;
    const auto gone = lib.AddImage("2019/a", "IMG_2.jpg", 2, true);
    const auto neighbour = lib.AddImage("2019/b", "IMG_3.jpg", 1, false, true, 333);
    const auto unplanned = lib.AddImage("2019/c", "IMG_4.jpg", 1, true, true, 444);
    lib.MakeFile("Thumbnails/2019/b/other.jpg", 5);
    auto before = Listing(lib.Root());

    LogCapture log;
    iPhotoTrashCleaner cleaner(0);
    cleaner.PlanToRemove(-1);
    cleaner.PlanToRemove(9999);                // no such image
    cleaner.PlanToRemove(neighbour.masterId);  // not in the trash
    cleaner.PlanToRemove(gone.masterId);
    const auto results = RunClean(cleaner, lib.Root());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].id, gone.masterId);
    EXPECT_TRUE(results[0].masterRemoved);
    EXPECT_TRUE(results[0].complete);
    EXPECT_TRUE(log.Contains(google::GLOG_ERROR, "No master image in the database: 9999"))
        << log.Dump();

    // The image's files and its own thumbnail folder (then empty) went; the
    // Masters and Previews folders of it stay, as does everything else.
    for (const char* rel :
         {"Masters/2019/a/IMG_2.jpg", "Previews/2019/a/IMG_2_0.jpg", "Previews/2019/a/IMG_2_1.jpg",
          "Thumbnails/2019/a/IMG_2_0_thumb.jpg", "Thumbnails/2019/a/IMG_2_0_mini.jpg",
          "Thumbnails/2019/a/IMG_2_1_thumb.jpg", "Thumbnails/2019/a/IMG_2_1_mini.jpg",
          "Thumbnails/2019/a"}) {
        EXPECT_EQ(before.erase(lib.Path(rel)), 1u) << rel;
    }
    EXPECT_EQ(Listing(lib.Root()), before);
    const QString id = QString::number(gone.masterId);
    EXPECT_EQ(m.Count("SELECT count(*) FROM RKMaster WHERE modelId = " + id), 0);
    EXPECT_EQ(m.Count("SELECT count(*) FROM RKVersion WHERE masterId = " + id), 0);
    EXPECT_EQ(m.Count("SELECT count(*) FROM RKMaster"), 2);
    EXPECT_EQ(m.Count("SELECT count(*) FROM RKVersion"), 2);
    EXPECT_EQ(m.Count("SELECT count(*) FROM RKImageProxyState WHERE versionUuid IN ('" +
                          neighbour.versionUuids[0] + "', '" + unplanned.versionUuids[0] + "')",
                      true),
              2);
    EXPECT_EQ(m.Count("SELECT count(*) FROM RKImageProxyState", true), 2);
}

TEST(iPhotoTrashCleaner, AFailedDatabaseChangeRemovesNoFile) {
    Machine m;
    PhotoLibraryFixture& lib = m.library;
    const auto first = lib.AddImage("x", "IMG_5.jpg", 2, true);
    const auto second = lib.AddImage("y", "IMG_6.jpg", 1, true);
    // The library's change of `first` succeeds, its second version's proxy
    // entry cannot go: both databases roll back. `second` fails in the library.
    lib.Exec("CREATE TRIGGER keep BEFORE DELETE ON RKImageProxyState WHEN old.versionUuid = '" +
                 first.versionUuids[1] + "' BEGIN SELECT RAISE(ABORT, 'kept'); END",
             {}, true);
    lib.Exec(QString("CREATE TRIGGER keep BEFORE DELETE ON RKMaster WHEN old.modelId = %1 "
                     "BEGIN SELECT RAISE(ABORT, 'kept'); END")
                 .arg(second.masterId));
    lib.Close();
    const auto before = Listing(lib.Root());
    const QString rows = m.Rows();

    LogCapture log;
    iPhotoTrashCleaner cleaner(0);
    cleaner.PlanToRemove(first.masterId);
    cleaner.PlanToRemove(second.masterId);
    EXPECT_TRUE(RunClean(cleaner, lib.Root()).empty());
    EXPECT_EQ(Listing(lib.Root()), before);
    EXPECT_EQ(m.Rows(), rows);
    EXPECT_TRUE(
        log.Contains(google::GLOG_ERROR, "Can't delete an image proxy entry from the database: " +
                                             first.versionUuids[1].toStdString()))
        << log.Dump();
    EXPECT_TRUE(
        log.Contains(google::GLOG_ERROR, "Can't delete a master image entry from the database: "))
        << log.Dump();
}

TEST(iPhotoTrashCleaner, APathThatLeavesItsFolderTouchesNothing) {
    Machine m;
    PhotoLibraryFixture& lib = m.library;
    m.tree.MakeFile("outside.jpg", "precious");
    m.tree.MakeFile("elsewhere/IMG.jpg", "precious too");
    const int up = lib.AddMaster("outside.jpg", "../../outside.jpg");
    lib.AddVersion(up, "outside", 0, true);
    const int absolute = lib.AddMaster("outside.jpg", m.tree.Path("outside.jpg"));
    lib.AddVersion(absolute, "outside", 0, true);
    // A good master with a preview path that leaves Previews.
    const auto proxy = lib.AddImage("p", "IMG_7.jpg", 1, true);
    lib.Exec(
        "UPDATE RKImageProxyState SET fullSizePreviewPath = '../../../outside.jpg' WHERE "
        "versionUuid = ?",
        {proxy.versionUuids[0]}, true);
    // A link on the way out of Masters.
    ASSERT_EQ(::symlink(m.tree.Path("elsewhere").toUtf8().constData(),
                        lib.Path("Masters/linked").toUtf8().constData()),
              0);
    const int linked = lib.AddMaster("IMG.jpg", "linked/IMG.jpg");
    lib.AddVersion(linked, "IMG", 0, true);
    lib.Close();
    const auto outside = Listing(m.tree.Root());
    const QString rows = m.Rows();

    LogCapture log;
    iPhotoTrashCleaner cleaner(0);
    for (int id : {up, absolute, proxy.masterId, linked}) {
        cleaner.PlanToRemove(id);
    }
    EXPECT_TRUE(RunClean(cleaner, lib.Root()).empty());
    EXPECT_EQ(Listing(m.tree.Root()), outside);
    EXPECT_EQ(m.Rows(), rows);
    EXPECT_EQ(log.Count(google::GLOG_ERROR, "leaves the Masters folder"), 2) << log.Dump();
    EXPECT_TRUE(log.Contains(google::GLOG_ERROR, "leaves its folder: ../../../outside.jpg"))
        << log.Dump();
    EXPECT_TRUE(log.Contains(google::GLOG_ERROR, "a symbolic link is on the way")) << log.Dump();
}

TEST(iPhotoTrashCleaner, AMasterReplacedBeforeItsRemovalIsKept) {
    Machine m;
    PhotoLibraryFixture& lib = m.library;
    const auto image = lib.AddImage("r", "IMG_8.jpg", 1, true);
    const QString master = lib.Path("Masters/r/IMG_8.jpg");
    LogCapture log;
    iPhotoTrashCleaner cleaner(0);
    // After the commit, before the removal: another file takes the name.
    cleaner.SetCommitObserver([&](int) {
        lib.MakeFile("Masters/r/new.jpg", 12);
        ::rename(lib.Path("Masters/r/new.jpg").toUtf8().constData(), master.toUtf8().constData());
    });
    cleaner.PlanToRemove(image.masterId);
    const auto results = RunClean(cleaner, lib.Root());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].masterRemoved);
    EXPECT_FALSE(results[0].complete);
    EXPECT_EQ(QFileInfo(master).size(), 12);
    EXPECT_FALSE(QFileInfo::exists(lib.Path("Previews/r/IMG_8_0.jpg")));
    EXPECT_TRUE(
        log.Contains(google::GLOG_ERROR, "Can't remove a master image:" + master.toStdString()))
        << log.Dump();
}

TEST(iPhotoTrashCleaner, AMissingDatabaseIsNotMadeAndStopsTheRun) {
    for (const char* missing : {"Database/Library.apdb", "Database/ImageProxies.apdb"}) {
        Machine m;
        PhotoLibraryFixture& lib = m.library;
        const auto first = lib.AddImage("m", "IMG_9.jpg", 1, true);
        const auto second = lib.AddImage("m", "IMG_10.jpg", 1, true);
        lib.Close();
        ASSERT_TRUE(QFile::remove(lib.Path(missing)));
        const auto before = Listing(lib.Root());
        const QStringList databases = QDir(lib.Path("Database")).entryList(QDir::Files);

        LogCapture log;
        iPhotoTrashCleaner cleaner(0);
        cleaner.PlanToRemove(first.masterId);
        cleaner.PlanToRemove(second.masterId);
        EXPECT_TRUE(RunClean(cleaner, lib.Root()).empty());
        EXPECT_EQ(Listing(lib.Root()), before);
        EXPECT_EQ(QDir(lib.Path("Database")).entryList(QDir::Files), databases) << missing;
        EXPECT_EQ(log.Count(google::GLOG_ERROR, "Can't open the"), 1)
            << log.Dump();  // once: stopped
    }
}

TEST(iPhotoTrashCleaner, NothingChangesWhileTheApplicationMayRun) {
    Machine m;
    PhotoLibraryFixture& lib = m.library;
    const auto image = lib.AddImage("z", "IMG_11.jpg", 1, true);
    lib.Close();
    const auto before = Listing(lib.Root());
    const QString rows = m.Rows();
    iPhotoTrashCleaner cleaner(0);

    m.Processes("/Applications/iPhoto.app/Contents/MacOS/iPhoto -psn_0_1\n");
    cleaner.PlanToRemove(image.masterId);
    EXPECT_TRUE(RunClean(cleaner, lib.Root()).empty());
    m.Processes("", 1);  // ps fails: whether it runs is unknown
    cleaner.PlanToRemove(image.masterId);
    EXPECT_TRUE(RunClean(cleaner, lib.Root()).empty());
    EXPECT_EQ(Listing(lib.Root()), before);
    EXPECT_EQ(m.Rows(), rows);

    // A plan stopped before its run is dropped, not run by the next one.
    m.Processes("/sbin/init\n");
    cleaner.PlanToRemove(image.masterId);
    cleaner.Stop();
    EXPECT_TRUE(RunClean(cleaner, lib.Root()).empty());
    EXPECT_EQ(m.Rows(), rows);
    cleaner.PlanToRemove(image.masterId);
    const auto results = RunClean(cleaner, lib.Root());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].complete);
    EXPECT_FALSE(QFileInfo::exists(lib.Path("Masters/z/IMG_11.jpg")));
}

TEST(iPhotoTrashCleaner, AStoppedRunLeavesTheRestOfItsPlanForGood) {
    Machine m;
    PhotoLibraryFixture& lib = m.library;
    const auto first = lib.AddImage("s", "IMG_12.jpg", 1, true);
    const auto second = lib.AddImage("s", "IMG_13.jpg", 1, true);
    const auto third = lib.AddImage("s", "IMG_14.jpg", 1, true);
    lib.Close();
    iPhotoTrashCleaner cleaner(0);
    // Planned while the run works, then the run is stopped: that image
    // waits in the queue, and belongs to no later run.
    cleaner.SetCommitObserver([&](int id) {
        if (id == first.masterId) {
            cleaner.PlanToRemove(second.masterId);
            cleaner.Stop();
        }
    });
    cleaner.PlanToRemove(first.masterId);
    auto results = RunClean(cleaner, lib.Root());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].id, first.masterId);
    EXPECT_TRUE(results[0].complete);  // the image under way is finished

    cleaner.PlanToRemove(third.masterId);
    results = RunClean(cleaner, lib.Root());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].id, third.masterId);
    EXPECT_TRUE(QFileInfo::exists(lib.Path("Masters/s/IMG_13.jpg")));
    EXPECT_EQ(
        m.Count(QString("SELECT count(*) FROM RKVersion WHERE masterId = %1").arg(second.masterId)),
        1);
    EXPECT_FALSE(QFileInfo::exists(lib.Path("Masters/s/IMG_14.jpg")));
}

TEST(iPhotoTrashCleaner, AMasterFileAnotherImageNamesStays) {
    Machine m;
    PhotoLibraryFixture& lib = m.library;
    const auto image = lib.AddImage("d", "IMG_15.jpg", 1, true);
    const int twin = lib.AddMaster("IMG_15.jpg", image.master);
    lib.AddVersion(twin, "IMG_15", 0, false);
    lib.Close();
    iPhotoTrashCleaner cleaner(0);
    cleaner.PlanToRemove(image.masterId);
    const auto results = RunClean(cleaner, lib.Root());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].masterRemoved);  // its bytes are not given back
    EXPECT_TRUE(results[0].complete);
    EXPECT_EQ(QFileInfo(lib.Path("Masters/d/IMG_15.jpg")).size(), 1000);
    EXPECT_FALSE(QFileInfo::exists(lib.Path("Previews/d/IMG_15_0.jpg")));
    EXPECT_EQ(
        m.Count(QString("SELECT count(*) FROM RKMaster WHERE modelId = %1").arg(image.masterId)),
        0);
    EXPECT_EQ(m.Count(QString("SELECT count(*) FROM RKMaster WHERE modelId = %1").arg(twin)), 1);
}
