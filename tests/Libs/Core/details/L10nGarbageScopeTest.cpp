#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <memory>

#include "Async/AsyncCache.h"
#include "CleanerCommon/Paths.h"
#include "Core/details/AppsDB.h"
#include "Core/details/AppsDBConnection.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageL10n.h"
#include "Core/details/GarbageL10nBundle.h"
#include "Core/details/L10nGarbageScope.h"
#include "Platform/SystemRoot.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::AsyncCache;
using Varnex::Platform::SystemPath;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;
using Reason = AbstractGarbageScope::FinishReason;

namespace {

const int waitMs = 60000;
const QString res = QStringLiteral("/Contents/Resources/");

std::shared_ptr<L10nGarbageScope::AppPathsCache> AppsCache(const QStringList& apps) {
    auto cache = std::make_shared<L10nGarbageScope::AppPathsCache>();
    cache->SetFunction([apps] { return apps; });
    cache->Refresh();
    return cache;
}

Reason Scan(L10nGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.count(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<Reason>();
}

Reason Clean(L10nGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    EXPECT_TRUE(scope.StartCleaning());
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.count(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<Reason>();
}

GarbageL10n* Language(const L10nGarbageScope& scope, const QString& name) {
    for (AbstractGarbage* root : scope.GetRoots()) {
        if (root->GetName() == name) {
            return qobject_cast<GarbageL10n*>(root);
        }
    }
    return nullptr;
}

QStringList Names(const L10nGarbageScope& scope) {
    QStringList names;
    for (AbstractGarbage* root : scope.GetRoots()) {
        names.append(root->GetName());
    }
    names.sort();
    return names;
}

GarbageL10nBundle* BundleAt(const L10nGarbageScope& scope, const QString& language,
                            const QString& bundlePath) {
    GarbageL10n* root = Language(scope, language);
    if (!root) {
        return nullptr;
    }
    for (AbstractGarbage* child : root->GetChildren()) {
        if (child->GetPath() == bundlePath) {
            return qobject_cast<GarbageL10nBundle*>(child);
        }
    }
    return nullptr;
}

// The blocks of a tree outside a TempTree (no hard links there), as du -s
// counts them.
long long DiskUsageOf(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
        return 0;
    }
    long long sum = static_cast<long long>(st.st_blocks) * 512;
    if (S_ISDIR(st.st_mode)) {
        for (const QString& name :
             QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
            sum += DiskUsageOf(path + "/" + name);
        }
    }
    return sum;
}

int Rows(AppsDB::DBName db) {
    return AppsDB::LoadL10ns(db).size();
}

class L10nScopeTest : public ::testing::Test {
protected:
    void SetUp() override {
        AppsDB::CloseConnections();
        AppsDB::ResetBackoff(AppsDB::Applications);
        AppsDB::ResetBackoff(AppsDB::SystemL10ns);
        Varnex::Test::RemoveTestTree(AppsDB::GetDBDirPath().toStdString());
        foo = t.Path("A/Foo.app");
        bar = t.Path("B/Bar.app");
        twin = t.Path("B/Foo.app");  // another application of the same name
        t.MakeFile("A/Foo.app" + res + "fr.lproj/a.strings", QByteArray(100, 'a'));
        t.MakeFile("A/Foo.app" + res + "fr.lproj/sub/b.nib", QByteArray(30, 'b'));
        t.MakeFile("A/Foo.app" + res + "French.lproj/c.strings", QByteArray(50, 'c'));
        t.MakeFile("A/Foo.app" + res + "en.lproj/e.strings", QByteArray(10, 'e'));
        t.MakeFile("A/Foo.app" + res + "English.lproj/e.strings", QByteArray(10, 'e'));
        t.MakeFile("A/Foo.app" + res + "en_GB.lproj/e.strings", QByteArray(10, 'e'));
        t.MakeFile("A/Foo.app" + res + "nds.lproj/n.strings", QByteArray(7, 'n'));
        t.MakeFile("A/Foo.app" + res + "Base.lproj/m.nib", QByteArray(3, 'm'));
        t.MakeFile("A/Foo.app" + res + "it.lproj/i.strings", QByteArray(9, 'i'));
        t.MakeFile("B/Bar.app" + res + "fr.lproj/a.strings", QByteArray(20, 'a'));
        t.MakeFile("B/Foo.app" + res + "fr.lproj/a.strings", QByteArray(40, 'a'));
        t.MakeFile("precious/keep", QByteArray(5, 'p'));
        // A link named like a localization: never a folder of the bundle.
        t.MakeSymlink(t.Path("precious"), "B/Bar.app" + res + "es.lproj");
        apps = AppsCache({foo, bar, twin});
    }
    void TearDown() override { AppsDB::CloseConnections(); }

    QString Res(const QString& app) const { return app + res; }
    // What the localization folder `lproj` of the application folder `app`
    // (relative) takes on the disk, as du -s counts it.
    long long Du(const QString& app, const QString& lproj) const {
        return t.DiskUsage(app + res + lproj);
    }

    TempTree t;
    QString foo, bar, twin;
    std::shared_ptr<L10nGarbageScope::AppPathsCache> apps;

    // The blocks of every folder offered by the fixture.
    long long AllOffered() const {
        long long sum = Du("B/Bar.app", "fr.lproj") + Du("B/Foo.app", "fr.lproj");
        for (const char* lproj : {"fr.lproj", "French.lproj", "nds.lproj", "it.lproj"}) {
            sum += Du("A/Foo.app", lproj);
        }
        return sum;
    }
};

TEST_F(L10nScopeTest, LanguagesGroupTheirFoldersByBundleAndEnglishIsNeverOffered) {
    L10nGarbageScope scope(apps, false);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);

    // English in every spelling, Base and the link are not offered; nds is German.
    EXPECT_EQ(Names(scope), QStringList({"French", "German", "Italian"}));
    GarbageL10nBundle* fooFrench = BundleAt(scope, "French", foo);
    ASSERT_TRUE(fooFrench);
    EXPECT_EQ(fooFrench->GetName(), "Foo");
    QStringList paths = fooFrench->GetPaths();
    paths.sort();
    EXPECT_EQ(paths, QStringList({Res(foo) + "French.lproj", Res(foo) + "fr.lproj"}));
    // Sizes are blocks, as du counts them: the folders' own (fr.lproj/sub
    // too) with their files'.
    const long long fooFr = Du("A/Foo.app", "fr.lproj");
    const long long french = fooFr + Du("A/Foo.app", "French.lproj") +
                             Du("B/Bar.app", "fr.lproj") + Du("B/Foo.app", "fr.lproj");
    EXPECT_EQ(fooFrench->GetSize(), fooFr + Du("A/Foo.app", "French.lproj"));
    EXPECT_EQ(fooFrench->GetSizeForPath(Res(foo) + "fr.lproj"), fooFr);
    // Two applications called Foo stay two bundles.
    ASSERT_TRUE(BundleAt(scope, "French", twin));
    EXPECT_EQ(BundleAt(scope, "French", twin)->GetSize(), Du("B/Foo.app", "fr.lproj"));
    EXPECT_EQ(Language(scope, "French")->GetChildren().size(), 3);
    EXPECT_EQ(Language(scope, "French")->GetSize(), french);
    ASSERT_TRUE(BundleAt(scope, "German", foo));
    EXPECT_EQ(BundleAt(scope, "German", foo)->GetPaths(), QStringList({Res(foo) + "nds.lproj"}));
    // Every bundle counted once, whatever the number of results for it.
    EXPECT_EQ(scope.GetTotalItems(), 5);
    EXPECT_EQ(scope.GetTotalSize(),
              french + Du("A/Foo.app", "nds.lproj") + Du("A/Foo.app", "it.lproj"));
    EXPECT_FALSE(Language(scope, "French")->IsSelected());  // nothing selected by default
    EXPECT_EQ(scope.FindL10nBundleForPath(Res(foo) + "fr.lproj/sub/b.nib"), fooFrench);
    EXPECT_EQ(scope.FindL10nBundleForPath(Res(bar) + "es.lproj"), nullptr);
}

TEST_F(L10nScopeTest, ASecondScanIsServedFromTheDatabase) {
    long long fooFrench = 0;
    long long total = 0;
    {
        L10nGarbageScope scope(apps, false);
        ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
        ASSERT_TRUE(WaitUntil([] { return Rows(AppsDB::Applications) == 6; }, waitMs));
        fooFrench = BundleAt(scope, "French", foo)->GetSize();
        total = scope.GetTotalSize();
    }
    for (const AppsDB::L10n& row : AppsDB::LoadL10ns(AppsDB::Applications)) {
        EXPECT_EQ(row.appPath, ExtractBundlePath(row.path));
        EXPECT_EQ(row.name, ExtractLProjName(row.path) == "nds"  ? "German"
                            : ExtractLProjName(row.path) == "it" ? "Italian"
                                                                 : "French");
    }
    EXPECT_EQ(Rows(AppsDB::SystemL10ns), 0);
    // Grown without touching the folder: only a new scan of it would see it.
    t.MakeFile("A/Foo.app" + res + "fr.lproj/a.strings", QByteArray(100000, 'a'));

    L10nGarbageScope again(apps, false);
    ASSERT_EQ(Scan(again), AbstractGarbageScope::DONE);
    EXPECT_EQ(Names(again), QStringList({"French", "German", "Italian"}));
    ASSERT_TRUE(BundleAt(again, "French", foo));
    // The rows hold what the scan showed: the same blocks.
    EXPECT_EQ(BundleAt(again, "French", foo)->GetSize(), fooFrench);
    EXPECT_EQ(again.GetTotalSize(), total);
    EXPECT_EQ(again.GetTotalItems(), 5);
}

TEST_F(L10nScopeTest, AnExcludedLanguageIsHiddenAndItsReturnClearsTheTable) {
    {
        L10nGarbageScope scope(apps, false);
        ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
        ASSERT_TRUE(WaitUntil([] { return Rows(AppsDB::Applications) == 6; }, waitMs));
    }
    L10nGarbageScope scope(apps, false);
    scope.SetExclusions({"language://Italian"});
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(Names(scope), QStringList({"French", "German"}));
    EXPECT_EQ(AppsDB::LoadL10nExclusions(AppsDB::Applications),
              QStringList({"language://Italian"}));
    // The system instance keeps its own list.
    EXPECT_TRUE(AppsDB::LoadL10nExclusions(AppsDB::SystemL10ns).isEmpty());

    scope.SetExclusions({});
    ASSERT_TRUE(WaitUntil([] { return Rows(AppsDB::Applications) == 0; }, waitMs));
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(Names(scope), QStringList({"French", "German", "Italian"}));
}

TEST_F(L10nScopeTest, CleaningRemovesOnlyPlannedFoldersAndCountsABundleWithItsLastFolder) {
    L10nGarbageScope scope(apps, false);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_TRUE(WaitUntil([] { return Rows(AppsDB::Applications) == 6; }, waitMs));
    // After the scan Foo's French.lproj became a link: it is not removed, so
    // Foo's French bundle is never clean and never counted.
    Varnex::Test::RemoveTestTree(t.Bytes(("A/Foo.app" + res + "French.lproj").toStdString()));
    t.MakeSymlink(t.Path("precious"), "A/Foo.app" + res + "French.lproj");
    Language(scope, "French")->Select(true);
    ASSERT_TRUE(scope.IsCleaningPossible());

    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(t.Exists("A/Foo.app" + res + "fr.lproj"));
    EXPECT_FALSE(t.Exists("B/Bar.app" + res + "fr.lproj"));
    EXPECT_FALSE(t.Exists("B/Foo.app" + res + "fr.lproj"));
    EXPECT_TRUE(t.Exists("A/Foo.app" + res + "French.lproj"));
    EXPECT_TRUE(t.Exists("precious/keep"));
    EXPECT_TRUE(t.Exists("A/Foo.app" + res + "it.lproj/i.strings"));
    EXPECT_TRUE(t.Exists("A/Foo.app" + res + "nds.lproj/n.strings"));
    EXPECT_TRUE(t.Exists("A/Foo.app" + res + "en.lproj/e.strings"));

    GarbageL10nBundle* fooFrench = BundleAt(scope, "French", foo);
    ASSERT_TRUE(fooFrench);
    EXPECT_FALSE(fooFrench->IsClean());
    EXPECT_TRUE(fooFrench->IsPathClean(Res(foo) + "fr.lproj"));
    EXPECT_FALSE(fooFrench->IsPathClean(Res(foo) + "French.lproj"));
    EXPECT_TRUE(BundleAt(scope, "French", bar)->IsClean());
    EXPECT_EQ(scope.GetTotalCleanedItems(), 2);
    EXPECT_EQ(scope.GetTotalCleanedSize(),
              BundleAt(scope, "French", bar)->GetSize() + BundleAt(scope, "French", twin)->GetSize());
    // The removed folders' rows go; the rest stay.
    ASSERT_TRUE(WaitUntil([] { return Rows(AppsDB::Applications) == 3; }, waitMs));
}

// What a cleaning counts is what the disk got back: the blocks of the
// folders and of the files whose last name went. A file of two folders of one
// bundle counts once; one that keeps a name outside counts when shown (the
// scan sees only this name) but frees nothing, so it is not counted cleaned.
TEST_F(L10nScopeTest, TheCleanedSizeIsWhatTheDiskGotBack) {
    t.MakeFile("A/Foo.app" + res + "fr.lproj/shared", QByteArray(50000, 's'));
    t.MakeHardLink("A/Foo.app" + res + "fr.lproj/shared", "A/Foo.app" + res + "French.lproj/shared");
    t.MakeFile("B/Bar.app" + res + "fr.lproj/held", QByteArray(70000, 'h'));
    t.MakeHardLink("B/Bar.app" + res + "fr.lproj/held", "precious/held");
    const long long shared = t.DiskUsage("A/Foo.app" + res + "fr.lproj/shared");
    const long long held = t.DiskUsage("precious/held");
    const long long fooBlocks =
        Du("A/Foo.app", "fr.lproj") + Du("A/Foo.app", "French.lproj") - shared;
    const long long barBlocks = Du("B/Bar.app", "fr.lproj");
    const long long twinBlocks = Du("B/Foo.app", "fr.lproj");
    L10nGarbageScope scope(apps, false);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(BundleAt(scope, "French", foo)->GetSize(), fooBlocks);
    EXPECT_EQ(BundleAt(scope, "French", bar)->GetSize(), barBlocks);

    const long long before = t.DiskUsage("");
    Language(scope, "French")->Select(true);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(scope.GetTotalCleanedItems(), 3);
    EXPECT_EQ(t.Read("precious/held").size(), 70000);
    const long long freed = before - t.DiskUsage("");
    EXPECT_EQ(freed, fooBlocks + barBlocks - held + twinBlocks);
    EXPECT_EQ(scope.GetTotalCleanedSize(), freed);
    EXPECT_EQ(scope.GetLastCleanedSize(), freed);
}

TEST_F(L10nScopeTest, RowsThatAreNoFolderOfAKnownBundleAreNeverRemoved) {
    t.MakeFile("C/Other.app" + res + "fr.lproj/a", QByteArray(1, 'a'));
    t.MakeFile("precious/fr.lproj/keep", QByteArray(1, 'k'));
    auto row = [](const QString& path, const QString& appPath) {
        AppsDB::L10n l10n;
        l10n.path = path;
        l10n.name = "French";
        l10n.appPath = appPath;
        l10n.size = 1;
        l10n.lastModified = QDateTime::currentDateTimeUtc().addDays(1);
        return l10n;
    };
    ASSERT_TRUE(AppsDB::SaveL10ns(
        {// outside the bundle it claims
         row(t.Path("precious/fr.lproj"), bar),
         // a bundle that is not in the list of applications
         row(t.Path("C/Other.app") + res + "fr.lproj", t.Path("C/Other.app")),
         // not a localization folder, and a spelling with ".."
         row(Res(bar) + "../Resources", bar), row(Res(bar) + "../../../../precious/fr.lproj", bar),
         // a link
         row(Res(bar) + "es.lproj", bar),
         // inside something mounted into the bundle (below)
         row(bar + "/Contents/Mounted/de.lproj", bar)},
        AppsDB::Applications));
    t.MakeFile("outside/de.lproj/notes", QByteArray(1, 'n'));
    t.MakeDir("B/Bar.app/Contents/Mounted");
    struct Unmount {
        std::string target;
        ~Unmount() { ::umount2(target.c_str(), MNT_DETACH); }
    } unmount{t.Bytes("B/Bar.app/Contents/Mounted")};
    const bool mounted =
        ::mount(t.Bytes("outside").c_str(), unmount.target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    L10nGarbageScope scope(AppsCache({bar}), false);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_TRUE(Language(scope, "Spanish"));       // the link's row is shown, never removed
    EXPECT_FALSE(BundleAt(scope, "French", bar));  // Bar was covered by rows: not scanned
    for (AbstractGarbage* root : scope.GetRoots()) {
        root->Select(true);
    }
    EXPECT_FALSE(scope.StartCleaning());  // nothing that may be planned
    EXPECT_TRUE(t.Exists("precious/keep"));
    EXPECT_TRUE(t.Exists("precious/fr.lproj/keep"));
    EXPECT_TRUE(t.Exists("C/Other.app" + res + "fr.lproj/a"));
    EXPECT_TRUE(t.Exists("B/Bar.app" + res + "es.lproj"));
    EXPECT_TRUE(!mounted || t.Exists("outside/de.lproj/notes"));
}

// A row is a hint: one of a size no folder has (negative, or near the largest
// number, where two would overflow the sums) is dropped and its bundle is
// scanned instead.
TEST_F(L10nScopeTest, RowsOfImpossibleSizesAreDropped) {
    auto row = [](const QString& path, const QString& appPath, long long size) {
        AppsDB::L10n l10n;
        l10n.path = path;
        l10n.name = "French";
        l10n.appPath = appPath;
        l10n.size = size;
        l10n.lastModified = QDateTime::currentDateTimeUtc();
        return l10n;
    };
    const long long huge = 9000000000000000000LL;
    ASSERT_TRUE(AppsDB::SaveL10ns({row(Res(bar) + "fr.lproj", bar, huge),
                                   row(Res(twin) + "fr.lproj", twin, huge),
                                   row(Res(foo) + "fr.lproj", foo, -5)},
                                  AppsDB::Applications));
    L10nGarbageScope scope(apps, false);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(BundleAt(scope, "French", bar)->GetSize(), Du("B/Bar.app", "fr.lproj"));
    EXPECT_EQ(scope.GetTotalSize(), AllOffered());
}

// What the exclusions leave out was never shown: the folder that holds it is
// kept rather than removed whole with it, also when the folder comes from the
// database of an earlier scan that knew no such exclusion. So is one that
// holds a localization folder of a language left out.
TEST_F(L10nScopeTest, AFolderHoldingAnExcludedEntryIsKept) {
    t.MakeFile("A/Foo.app" + res + "fr.lproj/sub/keep.strings", QByteArray(5, 'k'));
    t.MakeFile("B/Foo.app" + res + "fr.lproj/it.lproj/i.strings", QByteArray(5, 'i'));
    {
        L10nGarbageScope first(apps, false);
        ASSERT_EQ(Scan(first), AbstractGarbageScope::DONE);
        ASSERT_TRUE(WaitUntil([] { return Rows(AppsDB::Applications) == 7; }, waitMs));
    }
    L10nGarbageScope scope(apps, false);
    scope.AddExclusion("keep.strings");
    scope.AddExclusion("language://Italian");
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    Language(scope, "French")->Select(true);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_TRUE(t.Exists("A/Foo.app" + res + "fr.lproj/sub/keep.strings"));
    EXPECT_EQ(BundleAt(scope, "French", foo)->GetError(), AbstractGarbage::Error::REFUSED);
    EXPECT_TRUE(t.Exists("B/Foo.app" + res + "fr.lproj/it.lproj/i.strings"));
    EXPECT_FALSE(t.Exists("B/Bar.app" + res + "fr.lproj"));
}

TEST_F(L10nScopeTest, AStoppedScanWritesNoRecords) {
    L10nGarbageScope scope(apps, false);
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    QObject::connect(&scope, &AbstractGarbageScope::ItemsInserted, &scope,
                     [&scope] { scope.StopScanning(); });
    scope.StartScanning();
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.last().at(1).value<Reason>(), AbstractGarbageScope::CANCELED);
    EXPECT_FALSE(scope.GetRoots().isEmpty());
    scope.WaitBeforeAppQuit();
    QCoreApplication::processEvents();
    EXPECT_EQ(Rows(AppsDB::Applications), 0);
}

TEST_F(L10nScopeTest, ARescanBeforeTheWriterIsDoneShowsAndStoresEachFolderOnce) {
    L10nGarbageScope scope(apps, false);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    // Whether or not the writer got to the records, the next scan takes
    // what is still queued, shows it with the stored rows and queues it again.
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(scope.GetTotalItems(), 5);
    EXPECT_EQ(scope.GetTotalSize(), AllOffered());
    EXPECT_EQ(BundleAt(scope, "French", foo)->GetPaths().size(), 2);
    ASSERT_TRUE(WaitUntil([] { return Rows(AppsDB::Applications) == 6; }, waitMs));
    EXPECT_LE(scope.GetScanningProgress(), 1.0f);
    scope.WaitForCaching();
    EXPECT_EQ(Rows(AppsDB::Applications), 6);
    scope.Reset();  // what the merge reached belongs to the scan that is gone
    EXPECT_EQ(scope.GetScanningProgress(), 0.0f);
}

TEST_F(L10nScopeTest, AQuickRestartScansEveryFolderOnce) {
    L10nGarbageScope scope(apps, false);
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    scope.StopScanning();  // while it waits for the database
    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 1; }, waitMs));
    scope.StartScanning();
    apps->Refresh();  // its readiness comes again while the scan runs
    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 2; }, waitMs));
    EXPECT_EQ(finished.at(0).at(1).value<Reason>(), AbstractGarbageScope::CANCELED);
    EXPECT_EQ(finished.at(1).at(1).value<Reason>(), AbstractGarbageScope::DONE);
    QCoreApplication::processEvents();
    EXPECT_EQ(finished.count(), 2);
    EXPECT_EQ(scope.GetTotalItems(), 5);
    EXPECT_EQ(scope.GetTotalSize(), AllOffered());
    ASSERT_TRUE(BundleAt(scope, "French", foo));
    EXPECT_EQ(BundleAt(scope, "French", foo)->GetPaths().size(), 2);
}

TEST_F(L10nScopeTest, AScopeDestroyedWhileItsWriterRunsLeavesAWholeRecordOrNone) {
    auto scope = std::make_unique<L10nGarbageScope>(apps, false);
    ASSERT_EQ(Scan(*scope), AbstractGarbageScope::DONE);
    scope.reset();  // the writer has just been started
    const int rows = Rows(AppsDB::Applications);
    EXPECT_TRUE(rows == 0 || rows == 6) << rows;
}

TEST_F(L10nScopeTest, DefaultSelectionSparesTheUsersLanguagesAndAnOnlyLocalization) {
    ScopedEnv language("LANGUAGE", "de:en");
    ScopedEnv lang("LANG", "de_DE.UTF-8");
    t.MakeFile("D/Solo.app" + res + "fr.lproj/a", QByteArray(1, 'a'));
    L10nGarbageScope scope(AppsCache({foo, t.Path("D/Solo.app")}), false);
    scope.SetItemsSelectedByDefault(true);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_TRUE(Language(scope, "German"));
    EXPECT_EQ(Language(scope, "German")->GetCheckState(), AbstractGarbage::UNCHECKED);
    EXPECT_EQ(Language(scope, "Italian")->GetCheckState(), AbstractGarbage::CHECKED);
    ASSERT_TRUE(BundleAt(scope, "French", t.Path("D/Solo.app")));
    EXPECT_FALSE(BundleAt(scope, "French", t.Path("D/Solo.app"))->ShouldBeRemoved());
    EXPECT_TRUE(BundleAt(scope, "French", foo)->ShouldBeRemoved());
}

// A signed application: its seal names each resource file; a localization the
// seal needs is shown but kept, one it marks optional can go, and a seal that
// cannot be read keeps them all.
TEST_F(L10nScopeTest, LocalizationsSealedInACodeSignatureAreShownAndKept) {
    const QString seal = "/Contents/_CodeSignature/CodeResources";
    t.MakeFile("B/Bar.app" + res + "it.lproj/i.strings", QByteArray(9, 'i'));
    // Sealed inside a folder that is named like a localization too.
    t.MakeFile("B/Bar.app" + res + "Legacy.lproj/de.lproj/g.strings", QByteArray(9, 'g'));
    t.MakeFile("B/Bar.app" + seal,
               "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>files</key><dict>"
               "<key>Resources/fr.lproj/a.strings</key><data>AAAA</data>"
               "<key>Resources/Legacy.lproj/de.lproj/g.strings</key><data>AAAA</data></dict>"
               "<key>files2</key><dict><key>Resources/it.lproj/i.strings</key>"
               "<dict><key>hash2</key><data>AAAA</data><key>optional</key><true/></dict>"
               "</dict></dict></plist>");
    t.MakeFile("B/Foo.app" + seal, "not a property list");
    L10nGarbageScope scope(apps, false);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    GarbageL10nBundle* sealed = BundleAt(scope, "French", bar);
    ASSERT_TRUE(sealed);
    EXPECT_EQ(sealed->GetError(), AbstractGarbage::Error::REFUSED);
    EXPECT_TRUE(sealed->GetDescription().contains("code signature")) << sealed->GetDescription().toStdString();
    EXPECT_EQ(BundleAt(scope, "French", twin)->GetError(), AbstractGarbage::Error::REFUSED);
    EXPECT_EQ(BundleAt(scope, "Italian", bar)->GetError(), AbstractGarbage::Error::OK);
    EXPECT_EQ(BundleAt(scope, "German", bar)->GetError(), AbstractGarbage::Error::REFUSED);

    Language(scope, "French")->Select(true);
    Language(scope, "Italian")->Select(true);
    Language(scope, "German")->Select(true);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_TRUE(t.Exists("B/Bar.app" + res + "fr.lproj/a.strings"));
    EXPECT_TRUE(t.Exists("B/Foo.app" + res + "fr.lproj/a.strings"));
    EXPECT_FALSE(t.Exists("A/Foo.app" + res + "fr.lproj"));  // not signed
    EXPECT_FALSE(t.Exists("B/Bar.app" + res + "it.lproj"));  // optional in the seal
    EXPECT_TRUE(t.Exists("B/Bar.app" + res + "Legacy.lproj/de.lproj/g.strings"));
}

TEST(L10nSystemScope, SystemFoldersFormOneSystemBundlePerLanguage) {
    AppsDB::CloseConnections();
    Varnex::Test::RemoveTestTree(AppsDB::GetDBDirPath().toStdString());
    const QString framework = SystemPath("/Library/Frameworks/KlarvikL10n.framework/Resources");
    const QString finder =
        SystemPath("/System/Library/CoreServices/KlarvikL10n.app/Contents/Resources");
    TempTree scratch;
    const auto make = [](const QString& path, int size) {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(size, 'x'));
    };
    make(framework + "/fr.lproj/a.strings", 11);
    make(finder + "/French.lproj/b.strings", 13);
    make(finder + "/en.lproj/b.strings", 17);
    // A signed framework: its German folder is sealed, so the system's German
    // bundle is refused.
    const QString signedFramework =
        SystemPath("/Library/Frameworks/KlarvikL10nSigned.framework/Versions/A");
    make(signedFramework + "/Resources/de.lproj/c.strings", 19);
    {
        make(signedFramework + "/_CodeSignature/CodeResources", 0);
        QFile seal(signedFramework + "/_CodeSignature/CodeResources");
        ASSERT_TRUE(seal.open(QIODevice::WriteOnly));
        seal.write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>files2</key><dict>"
                   "<key>Resources/de.lproj/c.strings</key><dict><key>hash2</key><data>AAAA</data>"
                   "</dict></dict></dict></plist>");
    }
    const long long blocks =
        DiskUsageOf(framework + "/fr.lproj") + DiskUsageOf(finder + "/French.lproj");
    L10nGarbageScope scope(AppsCache({}), true);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(Names(scope), QStringList({"French", "German"}));
    EXPECT_EQ(BundleAt(scope, "German", QString())->GetError(), AbstractGarbage::Error::REFUSED);
    GarbageL10nBundle* system = BundleAt(scope, "French", QString());
    ASSERT_TRUE(system);
    EXPECT_EQ(system->GetName(), "System");
    EXPECT_EQ(system->GetPaths().size(), 2);
    EXPECT_EQ(system->GetSize(), blocks);
    ASSERT_TRUE(WaitUntil([] { return Rows(AppsDB::SystemL10ns) == 3; }, waitMs));
    EXPECT_EQ(Rows(AppsDB::Applications), 0);

    Language(scope, "French")->Select(true);
    Language(scope, "German")->Select(true);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(QFileInfo::exists(framework + "/fr.lproj"));
    EXPECT_FALSE(QFileInfo::exists(finder + "/French.lproj"));
    EXPECT_TRUE(QFileInfo::exists(finder + "/en.lproj/b.strings"));
    EXPECT_TRUE(QFileInfo::exists(signedFramework + "/Resources/de.lproj/c.strings"));
    EXPECT_EQ(scope.GetTotalCleanedItems(), 1);
    EXPECT_EQ(scope.GetTotalCleanedSize(), blocks);
    Varnex::Test::RemoveTestTree(
        SystemPath("/Library/Frameworks/KlarvikL10n.framework").toStdString());
    Varnex::Test::RemoveTestTree(
        SystemPath("/Library/Frameworks/KlarvikL10nSigned.framework").toStdString());
    Varnex::Test::RemoveTestTree(
        SystemPath("/System/Library/CoreServices/KlarvikL10n.app").toStdString());
    AppsDB::CloseConnections();
}

}  // namespace
