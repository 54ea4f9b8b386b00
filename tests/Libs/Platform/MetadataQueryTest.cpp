#include "Platform/MetadataQuery.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QDir>
#include <QMap>
#include <atomic>

#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Platform::MetadataItem;
using Varnex::Platform::MetadataQuery;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

const int waitMs = 60000;

QMap<QString, MetadataItem> Search(MetadataQuery& query, const QStringList& scopes) {
    query.SetSearchScopes(scopes);
    EXPECT_TRUE(query.Start());
    EXPECT_TRUE(WaitUntil([&] { return !query.IsGathering(); }, waitMs));
    EXPECT_TRUE(query.IsGatheringComplete());
    QMap<QString, MetadataItem> found;
    for (const MetadataItem& item : query.GetResults(0)) {
        EXPECT_FALSE(found.contains(item.path)) << item.path.toStdString();
        found.insert(item.path, item);
    }
    EXPECT_EQ(static_cast<std::size_t>(found.size()), query.GetResultCount());
    return found;
}

}  // namespace

// The threshold is on the length (ten million bytes, not 10 MiB); links are
// never followed, a file with two names or below two overlapping search
// folders is one result, names that are not UTF-8 are left out, depth is no
// limit.
TEST(MetadataQuery, FindsEachBigFileOnceAndNeverThroughALink) {
    TempTree t;
    TempTree outside;
    t.MakeSparseFile("home/exact.bin", 10000000);
    t.MakeSparseFile("home/short.bin", 9999999);
    t.MakeSparseFile("home/deep/er/movie.mp4", 20000000);
    t.MakeHardLink("home/deep/er/movie.mp4", "home/second-name.mp4");
    outside.MakeSparseFile("big.iso", 30000000);
    t.MakeSymlink(outside.Path("big.iso"), "home/link.iso");
    t.MakeSymlink(outside.Root(), "home/linked-folder");
    // Deeper than the folders kept open on the way down.
    t.MakeSparseFile("home/" + QString("d/").repeated(140) + "deep.bin", 20000000);
    t.MakeFileBytes("home/bad\xff/name.bin", "");
    ::truncate(t.Bytes("home/bad\xff/name.bin").c_str(), 50000000);

    MetadataQuery query;
    const auto found = Search(query, {t.Path("home"), t.Path("home/deep")});
    EXPECT_EQ(found.size(), 3) << QStringList(found.keys()).join(' ').toStdString();
    EXPECT_TRUE(found.contains(t.Path("home/" + QString("d/").repeated(140) + "deep.bin")));
    ASSERT_TRUE(found.contains(t.Path("home/exact.bin")));
    EXPECT_EQ(found[t.Path("home/exact.bin")].size, 10000000);
    const bool movieOnce = found.contains(t.Path("home/deep/er/movie.mp4")) !=
                           found.contains(t.Path("home/second-name.mp4"));
    EXPECT_TRUE(movieOnce);
    for (const MetadataItem& item : found) {
        EXPECT_FALSE(item.isPackage);
        EXPECT_TRUE(item.created.isValid());
        EXPECT_NE(item.inode, 0u);
        EXPECT_FALSE(item.lastUsed.isValid());  // nobody knows by default
    }
    const MetadataItem& movie = found.contains(t.Path("home/second-name.mp4"))
                                    ? found[t.Path("home/second-name.mp4")]
                                    : found[t.Path("home/deep/er/movie.mp4")];
    EXPECT_TRUE(movie.contentTypes.contains("public.movie"));
    EXPECT_EQ(movie.diskSize, 0);  // sparse: takes nothing on the disk
}

// A package is one result with the size of everything inside, found also when
// no single file in it is big; a small package and its files are not found.
TEST(MetadataQuery, APackageIsOneResultWithItsContents) {
    TempTree t;
    t.MakeSparseFile("Big.app/Contents/MacOS/Big", 6000000);
    t.MakeSparseFile("Big.app/Contents/Resources/data.pak", 5000000);
    t.MakeSparseFile("Photos Library.photoslibrary/originals/0/a.jpg", 40000000);
    t.MakeSparseFile("Small.app/Contents/MacOS/Small", 1000);
    t.MakeSparseFile("loose/a.mov", 12000000);

    MetadataQuery query;
    std::atomic<int> asked{0};
    query.SetLastUsedProvider([&asked](const QString& path) {
        ++asked;
        return path.endsWith("a.mov") ? QDateTime::fromSecsSinceEpoch(5000000000LL, Qt::UTC)
                                      : QDateTime();
    });
    const auto found = Search(query, {t.Root()});
    ASSERT_EQ(found.size(), 3) << QStringList(found.keys()).join(' ').toStdString();
    const MetadataItem& app = found[t.Path("Big.app")];
    EXPECT_TRUE(app.isPackage);
    EXPECT_EQ(app.size, 11000000);
    EXPECT_TRUE(app.contentTypes.contains("com.apple.application-bundle"));
    EXPECT_TRUE(found[t.Path("Photos Library.photoslibrary")].isPackage);
    // A date past 2038 survives whole.
    EXPECT_EQ(found[t.Path("loose/a.mov")].lastUsed.toSecsSinceEpoch(), 5000000000LL);
    EXPECT_EQ(asked.load(), 3);
}

// Another mount below a search folder is not entered, even one of the same
// file system (a bind mount).
TEST(MetadataQuery, NeverCrossesIntoAnotherMount) {
    TempTree t;
    TempTree other;
    other.MakeSparseFile("inside.bin", 20000000);
    t.MakeDir("mnt");
    t.MakeSparseFile("own.bin", 20000000);
    if (::mount(other.Root().toUtf8().constData(), t.Path("mnt").toUtf8().constData(), nullptr,
                MS_BIND, nullptr) != 0) {
        GTEST_SKIP() << "bind mounts need privileges";
    }
    MetadataQuery query;
    const auto found = Search(query, {t.Root()});
    ::umount2(t.Path("mnt").toUtf8().constData(), MNT_DETACH);
    EXPECT_EQ(QStringList(found.keys()), QStringList{t.Path("own.bin")});
}

// A stop ends the walk early: never complete, and a new start begins afresh.
TEST(MetadataQuery, AStopEndsTheGatheringIncomplete) {
    TempTree t;
    t.MakeSparseFile("a/one.bin", 20000000);
    t.MakeSparseFile("b/two.bin", 20000000);
    std::atomic<bool> release{false};
    MetadataQuery query;
    query.SetLastUsedProvider([&release](const QString&) {
        while (!release.load()) {
            usleep(1000);
        }
        return QDateTime();
    });
    query.SetSearchScopes({t.Root()});
    ASSERT_TRUE(query.Start());
    query.Stop();
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return !query.IsGathering(); }, waitMs));
    EXPECT_TRUE(query.WasStopped());
    EXPECT_FALSE(query.IsGatheringComplete());
    EXPECT_LE(query.GetResultCount(), 1u);

    query.SetLastUsedProvider(nullptr);
    ASSERT_TRUE(query.Start());
    ASSERT_TRUE(WaitUntil([&] { return !query.IsGathering(); }, waitMs));
    EXPECT_TRUE(query.IsGatheringComplete());
    EXPECT_EQ(query.GetResultCount(), 2u);
}
