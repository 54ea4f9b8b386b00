// The application inventory on real temporary trees: the search for bundles,
// the split into standard and other vendors' applications, sandbox folders,
// the user's Library folder without a usable home, and the producers run
// through real caches.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "Core/ApplicationInventory.h"
#include "common/LogCapture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using Varnex::Test::LogCapture;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

// Sets (or, with a null value, unsets) an environment variable for the life
// of the object. Only while no background run reads the environment.
using EnvOverride = Varnex::Test::ScopedEnv;

// Changes the current folder for the life of the object.
class CurrentFolder {
public:
    explicit CurrentFolder(const QString& path) : m_old(QDir::currentPath()) {
        EXPECT_TRUE(QDir::setCurrent(path));
    }
    ~CurrentFolder() { QDir::setCurrent(m_old); }

private:
    QString m_old;
};

const std::function<bool()> never = [] { return false; };

void MakeBundle(TempTree& tree, const QString& rel, const QByteArray& id = "com.example.app") {
    tree.MakeFile(rel + "/Contents/Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>CFBundleIdentifier</key><string>" +
                      id + "</string></dict></plist>\n");
}

QStringList Sorted(QStringList list) {
    list.sort();
    return list;
}

QStringList Under(const TempTree& tree, const QStringList& rels) {
    QStringList paths;
    for (const QString& rel : rels) {
        paths.append(tree.Path(rel));
    }
    return Sorted(paths);
}

}  // namespace

TEST(ApplicationInventory, ApplicationName) {
    EXPECT_EQ(ExtarctApplicationName("/Applications/Safari.app"), "Safari");
    EXPECT_EQ(ExtarctApplicationName("/Applications/Foo.Bar.app"), "Foo");
    EXPECT_EQ(ExtarctApplicationName("/Applications/No Dots"), "No Dots");
    EXPECT_EQ(ExtarctApplicationName("/Applications/Foo.app/"), "");
    EXPECT_EQ(ExtarctApplicationName("Caf\u00e9: 2\n.app"), "Caf\u00e9: 2\n");
}

// Depth limit, protected names, bundles not entered, hidden and plain files,
// links, odd names and loops, all in one tree.
TEST(ApplicationInventory, SearchesTheTree) {
    TempTree tree;
    MakeBundle(tree, "A.app");
    MakeBundle(tree, "1/2/3/4/5/6/Seven.app");    // seven levels below the root
    MakeBundle(tree, "1/2/3/4/5/6/7/Eight.app");  // one too deep
    MakeBundle(tree, "Safari.app");               // protected
    MakeBundle(tree, "sub/Calculator.app");
    MakeBundle(tree, "A.app/Contents/Helpers/Inner.app");  // inside a bundle
    MakeBundle(tree, ".hidden/Hidden.app");
    MakeBundle(tree, ".Dot.app");
    tree.MakeFile("File.app", "not a folder");
    tree.MakeDir("Lower.App");  // the suffix is case-sensitive
    MakeBundle(tree, QString::fromUtf8("caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac: x\ny.app"));
    tree.MakeDirBytes("bad\xff/Inside.app");
    // Links: to a listed bundle (dropped), to a bundle outside the root (kept),
    // to a folder with a bundle (logged, not followed), loops, dangling.
    TempTree outside;
    MakeBundle(outside, "Outside.app");
    MakeBundle(outside, "folder/Behind.app");
    tree.MakeSymlink(tree.Path("A.app"), "sub/LinkToA.app");
    tree.MakeSymlink(outside.Path("Outside.app"), "LinkOut.app");
    tree.MakeSymlink(outside.Path("folder"), "linkdir");
    tree.MakeSymlink(".", "sub/loop");
    tree.MakeSymlink("..", "sub/up.app");
    tree.MakeSymlink("/nonexistent/Gone.app", "Gone.app");

    LogCapture log;
    const QStringList found = GetApplications(never, {tree.Root()}, 0);
    EXPECT_EQ(Sorted(found),
              Under(tree, {"A.app", "1/2/3/4/5/6/Seven.app", "LinkOut.app",
                           QString::fromUtf8("caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac: x\ny.app"),
                           "sub/up.app"}));
    EXPECT_EQ(QStringList(found).removeDuplicates(), 0);
    for (const char* link : {"linkdir", "sub/loop", "sub/LinkToA.app"}) {
        EXPECT_EQ(log.Count(google::INFO, "PASSING SYMLINK: " + tree.Path(link).toStdString()), 1)
            << link << "\n"
            << log.Dump();
    }
    EXPECT_EQ(log.Count(google::WARNING, "not UTF-8"), 1) << log.Dump();

    // A root given at depth 6 is searched one level deep only; at 7 not at all.
    EXPECT_EQ(Sorted(GetApplications(never, {tree.Root()}, 6)),
              Under(tree, {"A.app", "LinkOut.app"}));
    EXPECT_TRUE(GetApplications(never, {tree.Root()}, 7).isEmpty());
}

TEST(ApplicationInventory, RootsAreCleanedAndNeverRelative) {
    TempTree tree;
    MakeBundle(tree, "apps/X.app");
    MakeBundle(tree, "rel/Rel.app");
    CurrentFolder cwd(tree.Root());
    LogCapture log;
    EXPECT_EQ(GetApplications(never, {tree.Root() + "//apps/"}, 0),
              QStringList{tree.Path("apps/X.app")});
    EXPECT_TRUE(GetApplications(never, {"rel", "", "."}, 0).isEmpty());
    EXPECT_EQ(log.Count(google::WARNING, "relative folder"), 3) << log.Dump();
}

TEST(ApplicationInventory, UnreadableFolderIsSkipped) {
    TempTree tree;
    MakeBundle(tree, "open/Open.app");
    MakeBundle(tree, "closed/Closed.app");
    QFile::setPermissions(tree.Path("closed"), QFileDevice::Permissions());
    const QStringList found = GetApplications(never, {tree.Root()}, 0);
    QFile::setPermissions(tree.Path("closed"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_TRUE(found.contains(tree.Path("open/Open.app")));
    if (::geteuid() != 0) {  // root reads it all the same
        EXPECT_FALSE(found.contains(tree.Path("closed/Closed.app")));
    }
}

// A stop request at any point of the search, the link pass included, gives
// nothing at all, never a part of the list.
TEST(ApplicationInventory, StopAnywhereGivesNothing) {
    TempTree tree;
    for (int i = 0; i < 5; ++i) {
        MakeBundle(tree, QStringLiteral("d%1/e/App%1.app").arg(i));
    }
    tree.MakeSymlink(tree.Path("d0/e/App0.app"), "Link.app");
    int calls = 0;
    const QStringList all = GetApplications(
        [&calls] {
            ++calls;
            return false;
        },
        {tree.Root()}, 0);
    ASSERT_EQ(all.size(), 5);
    ASSERT_GT(calls, 10);
    for (int stopAt = 1; stopAt <= calls; ++stopAt) {
        int n = 0;
        const QStringList part =
            GetApplications([&n, stopAt] { return ++n >= stopAt; }, {tree.Root()}, 0);
        EXPECT_TRUE(part.isEmpty())
            << "stopped at call " << stopAt << ": " << part.join(", ").toStdString();
    }
}

// Without roots: every domain's application folders below the system root,
// the home folder's, and every user's home below "/Users".
TEST(ApplicationInventory, DefaultRoots) {
    TempTree tree;
    MakeBundle(tree, "sys/Applications/Local.app");
    MakeBundle(tree, "sys/Applications/Utilities/Util.app");
    MakeBundle(tree, "sys/System/Applications/Sys.app");
    MakeBundle(tree, "sys/Network/Applications/Net.app");
    MakeBundle(tree, "sys/Users/Shared/Tools/Shared.app");
    MakeBundle(tree, "sys/Users/bob/Applications/Bob.app");
    MakeBundle(tree, "home/Applications/Mine.app");
    MakeBundle(tree, "sys/Library/NotAnApplicationFolder.app");
    EnvOverride sysroot("KLARVIK_SYSROOT", tree.Path("sys").toUtf8());
    {
        EnvOverride home("HOME", tree.Path("home").toUtf8());
        const QStringList found = GetApplications(never, {}, 0);
        EXPECT_EQ(QStringList(found).removeDuplicates(), 0);
        EXPECT_EQ(
            Sorted(found),
            Under(tree, {"sys/Applications/Local.app", "sys/Applications/Utilities/Util.app",
                         "sys/System/Applications/Sys.app", "sys/Network/Applications/Net.app",
                         "sys/Users/Shared/Tools/Shared.app", "sys/Users/bob/Applications/Bob.app",
                         "home/Applications/Mine.app"}));
        // The per-user folders go first, "/Users" last.
        EXPECT_EQ(found.first(), tree.Path("home/Applications/Mine.app"));
    }
    {
        // A home below "/Users" is searched once, through "/Users".
        EnvOverride home("HOME", tree.Path("sys/Users/bob").toUtf8());
        const QStringList found = GetApplications(never, {}, 0);
        EXPECT_EQ(found.count(tree.Path("sys/Users/bob/Applications/Bob.app")), 1);
        EXPECT_EQ(found.last().left(tree.Path("sys/Users/").size()), tree.Path("sys/Users/"));
    }
}

TEST(ApplicationInventory, ExclusionAndSplit) {
    TempTree tree;
    EnvOverride sysroot("KLARVIK_SYSROOT", tree.Path("sys").toUtf8());
    const QString apps = tree.Path("sys/Applications");
    const QStringList paths = {apps + "/Calculator.app",
                               apps + "/iTunes.app",
                               apps + "/Xcode.app",
                               apps + "/Utilities/Tool.app",
                               apps + "/Utilities/Sub/Deep.app",
                               apps + "/Utilities Pro.app",
                               apps + "/Varnex Klarvik 2.app",
                               apps + "/Font Book.app",
                               apps + "/DigitalColor Meter.app",
                               "/Applications/Utilities/Mac.app",
                               apps + "/X11.app",
                               apps + "/Caf\u00e9.app"};
    EXPECT_TRUE(IsAppExcluded(apps + "/Utilities/Tool.app"));
    EXPECT_TRUE(IsAppExcluded(apps + "/Utilities"));
    EXPECT_FALSE(IsAppExcluded(apps + "/Utilities Pro.app"));
    // Only the folder below the system root counts.
    EXPECT_FALSE(IsAppExcluded("/Applications/Utilities/Mac.app"));
    EXPECT_TRUE(IsAppExcluded("/anywhere/Calculator.app"));
    EXPECT_EQ(
        SplitApplications(paths, ApplicationGroup::STANDARD),
        (QStringList{apps + "/iTunes.app", apps + "/DigitalColor Meter.app", apps + "/X11.app"}));
    EXPECT_EQ(SplitApplications(paths, ApplicationGroup::OTHER),
              (QStringList{apps + "/Xcode.app", apps + "/Utilities Pro.app",
                           "/Applications/Utilities/Mac.app", apps + "/Caf\u00e9.app"}));
}

TEST(ApplicationInventory, SandboxPaths) {
    TempTree tree;
    EnvOverride home("HOME", tree.Path("home").toUtf8());
    const QString containers = "home/Library/Containers/";
    tree.MakeDir(containers + "com.a/Data/Library/Caches/x");
    tree.MakeDir(containers + "com.a/Data/Library/Logs");
    tree.MakeDir(containers + "com.b/Data/Library");
    tree.MakeFile(containers + "com.c/Data/Library/Caches", "a file");
    tree.MakeSymlink(tree.Path(containers + "com.a"), containers + "com.d");
    tree.MakeDir("elsewhere/Data/Library/Caches");
    tree.MakeDir(containers + "com.e");
    tree.MakeSymlink(tree.Path("elsewhere/Data"), containers + "com.e/Data");
    tree.MakeDir(containers + "com.f/Data/Library");
    tree.MakeSymlink(tree.Path("elsewhere/Data/Library/Caches"),
                     containers + "com.f/Data/Library/Caches");
    tree.MakeDir(containers + ".com.g/Data/Library/Caches");
    tree.MakeDir(containers + QString::fromUtf8("com.\xc3\xa9\n: x/Data/Library/Caches"));
    tree.MakeFile(containers + "plain-file", "x");

    EXPECT_EQ(
        Sorted(GetSandboxPaths("Caches")),
        Under(tree, {containers + "com.a/Data/Library/Caches",
                     containers + QString::fromUtf8("com.\xc3\xa9\n: x/Data/Library/Caches")}));
    EXPECT_EQ(GetSandboxPaths("Logs"),
              QStringList{tree.Path(containers + "com.a/Data/Library/Logs")});
    EXPECT_TRUE(GetSandboxPaths("").isEmpty());
    EXPECT_TRUE(GetSandboxPaths("../../../../elsewhere").isEmpty());
    EXPECT_TRUE(GetSandboxPaths(tree.Path("elsewhere")).isEmpty());
}

// Without a usable home there is no user Library folder, and nothing is
// built on the empty answer: the current folder is never searched.
TEST(ApplicationInventory, NoUsableHomeGivesNoLibrary) {
    TempTree tree;
    tree.MakeDir("home/Library/Containers/com.a/Data/Library/Caches");
    tree.MakeDir("Containers/com.b/Data/Library/Caches");
    tree.MakeDir("Library/Containers/com.c/Data/Library/Caches");
    tree.MakeDir("rel/Library/Containers/com.d/Data/Library/Caches");
    MakeBundle(tree, "Applications/Relative.app");
    MakeBundle(tree, "rel/Applications/RelativeHome.app");
    EnvOverride sysroot("KLARVIK_SYSROOT", tree.Path("sys").toUtf8());
    CurrentFolder cwd(tree.Root());
    {
        EnvOverride home("HOME", tree.Path("home/").toUtf8());
        EXPECT_EQ(GetPathUserLibrary(), tree.Path("home/Library"));
        EXPECT_EQ(GetSandboxPaths("Caches"),
                  QStringList{tree.Path("home/Library/Containers/com.a/Data/Library/Caches")});
    }
    // (Without HOME the passwd entry is the home folder: not tried here, so
    // that no test reaches the real home folder.)
    for (const QByteArray& value : {QByteArray("rel"), QByteArray("/"), QByteArray("//")}) {
        EnvOverride home("HOME", value);
        EXPECT_EQ(GetPathUserLibrary(), QString()) << "HOME=" << value.toStdString();
        EXPECT_TRUE(GetSandboxPaths("Caches").isEmpty()) << "HOME=" << value.toStdString();
        EXPECT_TRUE(GetApplications(never, {}, 0).isEmpty()) << "HOME=" << value.toStdString();
    }
}

TEST(ApplicationInventory, ExclusionCheckers) {
    EXPECT_TRUE(
        IsL10nOfProtectedApplication("/Applications/Safari.app/Contents/Resources/fr.lproj"));
    EXPECT_TRUE(IsL10nOfProtectedApplication("/Applications/Utilities/Terminal.app/x"));
    EXPECT_FALSE(
        IsL10nOfProtectedApplication("/Applications/Xcode.app/Contents/Resources/fr.lproj"));
    EXPECT_FALSE(IsL10nOfProtectedApplication("/Applications/Safari/fr.lproj"));

    TempTree tree;
    EnvOverride home("HOME", tree.Path("home").toUtf8());
    EXPECT_TRUE(IsLargeAndOldExcluded(tree.Path("home/Library/Varnex/Klarvik/apps.db")));
    EXPECT_TRUE(IsLargeAndOldExcluded("/Volumes/Disk/VARNEX Klarvik.app/Contents/big.dmg"));
    EXPECT_FALSE(IsLargeAndOldExcluded("/Volumes/Disk/varnex/backup.dmg"));
    EXPECT_FALSE(IsLargeAndOldExcluded(tree.Path("home/Library/Caches/big.bin")));
    EXPECT_FALSE(IsLargeAndOldExcluded(tree.Path("home/Movies/Some.app/big.mov")));
}

// The producers run through real caches, as the facade installs them.
class ApplicationCachesTest : public ::testing::Test {
protected:
    void SetUp() override {
        MakeBundle(tree, "sys/Applications/iTunes.app");
        MakeBundle(tree, "sys/Applications/Safari.app");
        MakeBundle(tree, "sys/Applications/Xcode.app");
        MakeBundle(tree, "sys/Applications/Utilities/Tool.app");
        MakeBundle(tree, "sys/Users/Shared/Game.app");
        tree.MakeSymlink(tree.Path("sys/Applications/Xcode.app"), "sys/Applications/XcodeLink.app");
    }

    static bool Settled(const std::shared_ptr<ApplicationPathsCache>& cache) {
        return cache->IsReady() || cache->IsFailed() || !cache->IsRunning();
    }

    TempTree tree;
    // Both are read by the background runs: they stay put while these run.
    EnvOverride sysroot{"KLARVIK_SYSROOT", tree.Path("sys").toUtf8()};
    EnvOverride home{"HOME", tree.Path("home").toUtf8()};
};

TEST_F(ApplicationCachesTest, SplitReadsThePathsCache) {
    LogCapture log;
    ApplicationCaches caches = MakeApplicationCaches();
    int readyCalls = 0;
    QObject context;
    caches.other->CallOnReady(&context, [&readyCalls] { ++readyCalls; });
    ASSERT_TRUE(WaitUntil([&] { return caches.standard->IsReady() && caches.other->IsReady(); }));
    EXPECT_EQ(Sorted(caches.paths->GetValue()),
              Under(tree, {"sys/Applications/iTunes.app", "sys/Applications/Xcode.app",
                           "sys/Applications/Utilities/Tool.app", "sys/Users/Shared/Game.app"}));
    EXPECT_EQ(caches.standard->GetValue(), QStringList{tree.Path("sys/Applications/iTunes.app")});
    EXPECT_EQ(Sorted(caches.other->GetValue()),
              Under(tree, {"sys/Applications/Xcode.app", "sys/Users/Shared/Game.app"}));
    ASSERT_TRUE(WaitUntil([&] { return readyCalls == 1; }));
    // The ready lines are written by callbacks delivered on this thread, after
    // the values are ready: wait for them, then check each came once.
    const char* const loaded[] = {"A list of all applications has been loaded",
                                  "A list of strandard applications has been loaded",
                                  "A list of third party applications has been loaded"};
    for (const char* line : loaded) {
        ASSERT_TRUE(WaitUntil([&] { return log.Count(google::INFO, line) > 0; })) << line;
    }
    QCoreApplication::processEvents();
    for (const char* line : loaded) {
        EXPECT_EQ(log.Count(google::INFO, line), 1) << line;
    }
}

// A split whose paths are not ready fails instead of answering "none".
TEST_F(ApplicationCachesTest, SplitFailsWithoutPaths) {
    auto paths = std::make_shared<ApplicationPathsCache>();
    auto split = std::make_shared<ApplicationPathsCache>();
    split->SetFunction(MakeApplicationSplitProducer(paths, ApplicationGroup::OTHER));

    LogCapture log;
    split->Refresh();  // the paths were never computed
    ASSERT_TRUE(WaitUntil([&] { return !split->IsRunning(); }));
    EXPECT_TRUE(split->IsFailed());
    EXPECT_FALSE(split->IsReady());
    EXPECT_GE(log.Count(google::ERROR, "has not been computed"), 1) << log.Dump();
}

// While the search runs the split waits; when the paths cache replaces its
// run the split's snapshot ends canceled and the split fails; a split that is
// dropped while it waits gives up at once.
TEST_F(ApplicationCachesTest, SplitWaitsAndStops) {
    std::atomic<bool> release{false};
    auto paths = std::make_shared<ApplicationPathsCache>();
    paths->SetFunction([&release](std::function<bool()> stop) {
        while (!release.load() && !stop()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return GetApplications(stop, {}, 0);
    });
    paths->Refresh();
    auto split = std::make_shared<ApplicationPathsCache>();
    split->SetFunction(MakeApplicationSplitProducer(paths, ApplicationGroup::STANDARD));
    const ApplicationPathsCache::FuturePtr first = paths->GetFuture();
    split->Refresh();
    // Until the split holds its own snapshot of the first run.
    ASSERT_TRUE(WaitUntil([&] { return first.use_count() >= 3; }));
    EXPECT_TRUE(split->IsRunning());

    // Replaced under the waiting split.
    paths->Refresh();
    ASSERT_TRUE(WaitUntil([&] { return !split->IsRunning(); }));
    EXPECT_TRUE(split->IsFailed());

    // Waiting on the new run, then released.
    split->Refresh();
    EXPECT_TRUE(split->IsRunning());
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return split->IsReady(); }));
    EXPECT_EQ(split->GetValue(), QStringList{tree.Path("sys/Applications/iTunes.app")});

    // Dropped while waiting: the destructor waits for a run that stops at once.
    release = false;
    paths->Refresh();
    split->Refresh();
    ASSERT_TRUE(split->IsRunning());
    split.reset();
    paths->Cancel();
    paths.reset();
}
