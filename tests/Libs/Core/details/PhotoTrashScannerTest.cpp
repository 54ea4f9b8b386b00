#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <map>
#include <set>

#include "Core/details/GarbageIPhotoAlbum.h"
#include "Core/details/GarbageIPhotoFolder.h"
#include "Core/details/GarbageIPhotoImage.h"
#include "Core/details/iPhotoTrashScanner.h"
#include "common/LogCapture.h"
#include "common/PhotoLibraryFixture.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::LogCapture;
using Varnex::Test::PhotoLibraryFixture;
using Varnex::Test::TempTree;
using Result = iPhotoTrashScanner::Result;

namespace {

const QString libraryName = QStringLiteral("Pictures/iPhoto Library #1.photolibrary");

std::vector<Result> RunScan(iPhotoTrashScanner& scanner, const QString& library, bool readCopy = false) {
    scanner.Scan(library, readCopy);
    std::vector<Result> results;
    EXPECT_TRUE(Varnex::Test::WaitUntil([&] { return !scanner.IsWorking(); }));
    scanner.Wait();
    for (Result& r : scanner.GetResults()) {
        results.push_back(std::move(r));
    }
    return results;
}

// Every entry below root, with its size (files), links not followed.
std::map<QString, qint64> Listing(const QString& root) {
    std::map<QString, qint64> out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        out[it.filePath()] = it.fileInfo().isFile() ? it.fileInfo().size() : -1;
    }
    return out;
}

}  // namespace

TEST(PhotoItems, TypeWordsReadyMarksAndNames) {
    GarbageIPhotoAlbum trip("Trip", "2015/Trip", GarbageIPhotoAlbum::ALBUM, nullptr);
    EXPECT_EQ(trip.GetPath(), "iPhoto://2015/Trip.album");
    EXPECT_EQ(trip.GetPreviewPath(), trip.GetPath());
    EXPECT_TRUE(trip.IsReady());
    GarbageIPhotoAlbum odd("Odd", "x/Other", static_cast<GarbageIPhotoAlbum::AlbumType>(7), nullptr);
    EXPECT_EQ(odd.GetPath(), "iPhoto://x/Other.");
    EXPECT_EQ(odd.GetName(), "Odd");
    EXPECT_EQ(GarbageIPhotoAlbum("K", "K", GarbageIPhotoAlbum::KEEPSAKE, nullptr).GetPath(),
              "iPhoto://K.keepsake");

    GarbageIPhotoFolder folder("2015", "2015", nullptr);
    EXPECT_TRUE(folder.IsReady());
    EXPECT_EQ(folder.GetPath(), "iPhoto://2015");
    auto* album = new GarbageIPhotoAlbum("Trip", "2015/Trip", GarbageIPhotoAlbum::SMART, nullptr);
    EXPECT_EQ(album->parent(), nullptr);
    folder.AddChild(album);
    EXPECT_EQ(album->GetParent(), &folder);
    EXPECT_EQ(folder.GetChildren(), GarbageList{album});
    EXPECT_TRUE(GarbageIPhotoFolder().IsReady());

    TempTree tree;
    tree.MakeFile("Masters/a/IMG_1.jpg", "12345");
    tree.MakeSymlink(tree.Path("Masters/a/IMG_1.jpg"), "Masters/a/link.jpg");
    GarbageIPhotoImage present(7, tree.Path("Masters/a/IMG_1.jpg"), "/p.jpg", 99, nullptr);
    GarbageIPhotoImage link(8, tree.Path("Masters/a/link.jpg"), "", 1, nullptr);
    GarbageIPhotoImage missing(9, tree.Path("Masters/a/gone.jpg"), "", 1, nullptr);
    EXPECT_EQ(present.GetName(), "IMG_1.jpg");
    EXPECT_EQ(present.GetId(), 7);
    EXPECT_EQ(present.GetSize(), 99);
    EXPECT_NE(present.GetInode(), 0u);
    EXPECT_NE(present.GetDevice(), 0u);
    // The link's own entry, never the file it leads to.
    EXPECT_NE(link.GetInode(), 0u);
    EXPECT_NE(link.GetInode(), present.GetInode());
    EXPECT_EQ(missing.GetInode(), 0u);
    EXPECT_EQ(missing.GetDevice(), 0u);
    EXPECT_TRUE(missing.IsReady());
}

TEST(PhotoTrashScanner, ReportsExactlyTheTrashWithFoldersBeforeTheirContents) {
    TempTree tree;
    PhotoLibraryFixture lib(tree.Path(libraryName));
    lib.Exec("BEGIN");
    lib.Exec("BEGIN", {}, true);
    std::set<int> trashed;
    for (int i = 0; i < 300; ++i) {
        const bool inTrash = i % 3 == 0;
        auto image = lib.AddImage(QString("2015/%1").arg(i / 50), QString("IMG_%1.jpg").arg(i), 1, inTrash);
        if (inTrash) {
            trashed.insert(image.masterId);
        }
    }
    auto multi = lib.AddImage("2016", "multi.jpg", 3, true);
    trashed.insert(multi.masterId);
    lib.Exec("COMMIT");
    lib.Exec("COMMIT", {}, true);

    const QString y2015 = lib.AddFolder("2015", "TopLevelAlbums", true);
    const QString summer = lib.AddFolder("Summer", y2015, true);
    lib.AddAlbum("Trip", summer, 1, 3, true);
    lib.AddAlbum("Best", y2015, 1, 2, true);
    lib.AddAlbum("Show", "TopLevelSlideshows", 8, 0, true);
    lib.AddAlbum("Kept", y2015, 1, 3, false);
    const QString living = lib.AddFolder("Living", "TopLevelAlbums", false);
    lib.AddAlbum("Orphan", living, 1, 3, true);
    lib.Close();

    LogCapture log;
    iPhotoTrashScanner scanner(0);
    const auto results = RunScan(scanner, lib.Root());
    ASSERT_FALSE(scanner.HasFailed()) << scanner.GetProblem().toStdString();

    std::set<int> imageIds;
    std::vector<const Result*> multiResults;
    std::vector<QString> tree_;
    for (const Result& r : results) {
        if (r.type == iPhotoTrashScanner::IMAGE) {
            imageIds.insert(r.id);
            if (r.id == multi.masterId) {
                multiResults.push_back(&r);
            }
            EXPECT_TRUE(r.path.startsWith(lib.Path("Masters/"))) << r.path.toStdString();
        } else {
            EXPECT_EQ(r.id, -1);
            tree_.push_back(QString::number(r.type) + ":" + r.path);
        }
    }
    EXPECT_EQ(imageIds, trashed);
    ASSERT_EQ(multiResults.size(), 3u);
    std::set<int> versions;
    for (const Result* r : multiResults) {
        EXPECT_EQ(r->path, lib.Path("Masters/2016/multi.jpg"));
        versions.insert(r->version);
        EXPECT_TRUE(r->fullSizePreviewPath.startsWith(lib.Path("Previews/2016/multi_")));
        EXPECT_TRUE(r->miniThumbnailPath.startsWith(lib.Path("Thumbnails/2016/multi_")));
        // The first counts the master and its proxies, the others their proxies.
        EXPECT_EQ(r->size, r->version == 0 ? 1000 + 111 : 111) << r->version;
    }
    EXPECT_EQ(versions, (std::set<int>{0, 1, 2}));

    // Folders before their contents, every level's name path.
    const std::vector<QString> expected = {"3:2015", "3:2015/Summer", "2:2015/Summer/Trip",
                                           "4:2015/Best", "5:Show"};
    EXPECT_EQ(tree_, expected);
    EXPECT_TRUE(log.Contains(google::GLOG_ERROR, "Not reachable iPhoto albums/folders: 1")) << log.Dump();
}

TEST(PhotoTrashScanner, MissingOrCorruptDatabaseFailsAndCreatesNothing) {
    TempTree tree;
    tree.MakeDir(libraryName + "/Database");
    tree.MakeDir(libraryName + "/Masters");
    const auto before = Listing(tree.Root());
    iPhotoTrashScanner scanner(0);
    EXPECT_TRUE(RunScan(scanner, tree.Path(libraryName)).empty());
    EXPECT_TRUE(scanner.HasFailed());
    EXPECT_TRUE(scanner.GetProblem().contains("Library.apdb")) << scanner.GetProblem().toStdString();
    EXPECT_EQ(Listing(tree.Root()), before);
    // A second scan finds the same and does not trip over the first one's connections.
    RunScan(scanner, tree.Path(libraryName));
    EXPECT_TRUE(scanner.HasFailed());

    QByteArray noise;
    for (int i = 0; i < 8192; ++i) {
        noise.append(static_cast<char>((i * 7919 + 13) % 251));
    }
    tree.MakeFile(libraryName + "/Database/Library.apdb", noise);
    const auto withNoise = Listing(tree.Root());
    EXPECT_TRUE(RunScan(scanner, tree.Path(libraryName)).empty());
    EXPECT_TRUE(scanner.HasFailed());
    EXPECT_EQ(Listing(tree.Root()), withNoise);

    // An image proxies database that is there but no database fails as well.
    PhotoLibraryFixture lib(tree.Path("Other"));
    lib.AddImage("a", "x.jpg", 1, true);
    lib.Close();
    tree.MakeFile("Other/Database/ImageProxies.apdb", noise);
    RunScan(scanner, lib.Root());
    EXPECT_TRUE(scanner.HasFailed());
}

TEST(PhotoTrashScanner, HostilePathsAreSkippedAndMissingMastersKeepInodeZero) {
    TempTree tree;
    PhotoLibraryFixture lib(tree.Path(libraryName));
    tree.MakeFile("outside.jpg", "secret");
    const int absolute = lib.AddMaster("abs.jpg", tree.Path("outside.jpg"));
    lib.AddVersion(absolute, "abs", 0, true);
    const int up = lib.AddMaster("up.jpg", "../../outside.jpg");
    lib.AddVersion(up, "up", 0, true);
    auto badPreview = lib.AddImage("a", "badpreview.jpg", 0, true);
    const QString uuid = lib.AddVersion(badPreview.masterId, "badpreview", 0, true);
    lib.AddProxy(uuid, "../../../outside.jpg", "a/t.jpg", "a/m.jpg");
    auto gone = lib.AddImage("a", "gone.jpg", 1, true, false);
    lib.Close();

    LogCapture log;
    iPhotoTrashScanner scanner(0);
    const auto results = RunScan(scanner, lib.Root());
    ASSERT_FALSE(scanner.HasFailed()) << scanner.GetProblem().toStdString();
    std::map<int, Result> byId;
    for (const Result& r : results) {
        byId[r.id] = r;
    }
    EXPECT_EQ(byId.count(absolute), 0u);
    EXPECT_EQ(byId.count(up), 0u);
    ASSERT_EQ(byId.count(badPreview.masterId), 1u);
    EXPECT_TRUE(byId[badPreview.masterId].fullSizePreviewPath.isEmpty());
    EXPECT_TRUE(byId[badPreview.masterId].thumbnailPath.isEmpty());
    EXPECT_EQ(log.Count(google::GLOG_WARNING, "leaves"), 3) << log.Dump();

    ASSERT_EQ(byId.count(gone.masterId), 1u);
    const Result& r = byId[gone.masterId];
    EXPECT_EQ(r.size, 0);
    GarbageIPhotoImage item(r.id, r.path, r.fullSizePreviewPath, r.size, nullptr);
    EXPECT_EQ(item.GetInode(), 0u);
    EXPECT_EQ(item.GetName(), "gone.jpg");
}

TEST(PhotoTrashScanner, ReadsACopyThatSeesRowsOnlyInTheLog) {
    TempTree tree;
    PhotoLibraryFixture lib(tree.Path(libraryName), true);
    auto image = lib.AddImage("a", "walonly.jpg", 1, true);
    // The fixture stays open: the rows are in Library.apdb-wal only.
    ASSERT_TRUE(tree.Exists(libraryName + "/Database/Library.apdb-wal"));
    tree.MakeDir("mainonly");
    ASSERT_TRUE(QFile::copy(lib.LibraryDatabasePath(), tree.Path("mainonly/Library.apdb")));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "mainonly");
        db.setDatabaseName(tree.Path("mainonly/Library.apdb"));
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        // The main file alone does not even hold the tables yet, let alone the row.
        EXPECT_FALSE(q.exec("SELECT count(*) FROM RKMaster") && q.next() && q.value(0).toInt() > 0);
    }
    QSqlDatabase::removeDatabase("mainonly");

    const auto before = Listing(lib.Root());
    iPhotoTrashScanner scanner(0);
    const auto results = RunScan(scanner, lib.Root(), true);
    ASSERT_FALSE(scanner.HasFailed()) << scanner.GetProblem().toStdString();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].id, image.masterId);
    EXPECT_EQ(results[0].path, lib.Path("Masters/a/walonly.jpg"));
    EXPECT_EQ(Listing(lib.Root()), before);
}

TEST(PhotoTrashScanner, ClosedWalLibraryIsReadWithoutMakingLogFiles) {
    TempTree tree;
    PhotoLibraryFixture lib(tree.Path(libraryName), true);
    auto image = lib.AddImage("a", "x.jpg", 1, true);
    lib.Close();
    const auto before = Listing(lib.Root());
    ASSERT_FALSE(tree.Exists(libraryName + "/Database/Library.apdb-wal"));
    iPhotoTrashScanner first(0);
    iPhotoTrashScanner second(0);
    first.Scan(lib.Root());
    second.Scan(lib.Root());
    ASSERT_TRUE(Varnex::Test::WaitUntil([&] { return !first.IsWorking() && !second.IsWorking(); }));
    first.Wait();
    second.Wait();
    for (auto* s : {&first, &second}) {
        EXPECT_FALSE(s->HasFailed()) << s->GetProblem().toStdString();
        const auto results = s->GetResults();
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].id, image.masterId);
    }
    EXPECT_EQ(Listing(lib.Root()), before);
    EXPECT_TRUE(QSqlDatabase::connectionNames().filter("iPhoto").isEmpty());
}
