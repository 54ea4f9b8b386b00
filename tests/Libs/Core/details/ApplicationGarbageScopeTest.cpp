#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <memory>

#include "Async/AsyncCache.h"
#include "CleanerWorkaround/GuiAntifreeze.h"
#include "Core/details/ApplicationGarbageScope.h"
#include "Core/details/ApplicationLeftovers.h"
#include "Core/details/AppsDB.h"
#include "Core/details/AppsDBConnection.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageApplication.h"
#include "Core/details/GarbageLeftover.h"
#include "Core/details/GarbageLeftoverGroup.h"
#include "Platform/SystemRoot.h"
#include "common/LogCapture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;
using Reason = AbstractGarbageScope::FinishReason;
using Apps = QList<AppsDB::Application>;
namespace L = Varnex::Cleaner::Details::ApplicationLeftovers;

namespace {

const int waitMs = 60000;

QByteArray InfoPlist(const QString& id) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>" +
           id.toUtf8() + "</string></dict></plist>\n";
}

template <class T>
std::shared_ptr<Varnex::AsyncCache<T>> Cache(std::function<T()> f, bool refresh = true) {
    auto cache = std::make_shared<Varnex::AsyncCache<T>>();
    cache->SetFunction(std::move(f));
    if (refresh) {
        cache->Refresh();
    }
    return cache;
}

std::shared_ptr<ApplicationGarbageScope::LocationsCache> Paths(const QStringList& paths) {
    return Cache<QStringList>([paths] { return paths; });
}

std::shared_ptr<ApplicationGarbageScope::ApplicationsCache> DBRows() {
    return Cache<Apps>([] { return AppsDB::LoadApplications(); });
}

std::shared_ptr<ApplicationGarbageScope::ApplicationsCache> Rows(const Apps& rows) {
    return Cache<Apps>([rows] { return rows; });
}

AppsDB::Application Row(const QString& path, const QString& id, qint64 size = 4096) {
    AppsDB::Application app;
    app.path = path;
    app.name = path.section('/', -1);
    app.bundleId = id;
    app.size = size;
    return app;
}

Reason Scan(ApplicationGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.count(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<Reason>();
}

Reason Clean(ApplicationGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    EXPECT_TRUE(scope.StartCleaning());
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.count(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<Reason>();
}

QStringList RootPaths(const ApplicationGarbageScope& scope) {
    QStringList paths;
    for (AbstractGarbage* root : scope.GetRoots()) {
        paths.append(root->GetPath());
    }
    paths.sort();
    return paths;
}

// "group: path" of every leftover of an application, in tree order.
QStringList Leftovers(const ApplicationGarbageScope& scope, const QString& app) {
    QStringList out;
    if (GarbageApplication* item = scope.FindApplication(app)) {
        for (AbstractGarbage* group : item->GetChildren()) {
            for (AbstractGarbage* leftover : group->GetChildren()) {
                out.append(group->GetName() + ": " + leftover->GetPath());
            }
        }
    }
    return out;
}

long long Blocks(const QString& path) {
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_blocks * 512LL : -1;
}

class ApplicationScopeTest : public ::testing::Test {
protected:
    void SetUp() override {
        AppsDB::CloseConnections();
        AppsDB::ResetBackoff(AppsDB::Applications);
        // The database lives in the test's home folder, as the library's data.
        lib = Varnex::Test::TestHome() + "/Library";
        Varnex::Test::RemoveTestTree(lib.toStdString());
        t.MakeFile("bin/mdls",
                   "#!/bin/sh\necho 'kMDItemLastUsedDate = 2020-01-02 03:04:05 +0000'\n");
        QFile::setPermissions(t.Path("bin/mdls"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        foo = Bundle("A/Foo.app", "com.example.foo");
        bar = Bundle("A/Bar.app", "com.example.bar");
        t.MakeFile("A/Foo.app/Contents/MacOS/Foo", QByteArray(9000, 'f'));
        t.MakeSymlink(foo, "A/Link.app");  // a bundle that is a link
    }
    void TearDown() override {
        AppsDB::CloseConnections();
        Varnex::Test::RemoveTestTree(lib.toStdString());
    }

    QString Bundle(const QString& rel, const QString& id) {
        t.MakeFile(rel + "/Contents/Info.plist", InfoPlist(id));
        return t.Path(rel);
    }
    // A file below the Library folder; its path.
    QString Lib(const QString& rel, const QByteArray& content = QByteArray(100, 'x')) {
        const QString path = lib + "/" + rel;
        EXPECT_TRUE(QDir().mkpath(path.section('/', 0, -2)));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        return path;
    }

    TempTree t;
    QString lib, foo, bar;
    ScopedEnv m_path{"PATH", t.Path("bin").toUtf8() + ":" + qgetenv("PATH")};
    ScopedEnv m_darwin{"KLARVIK_DARWIN_USER_CACHE", QByteArray()};
};

}  // namespace

TEST(ApplicationLeftoverRules, IdentifiersNamesAndRoots) {
    for (const char* good : {"com.example.foo", "org.x-y.Z_1", "a.b"}) {
        EXPECT_TRUE(L::IsValidBundleIdentifier(good)) << good;
    }
    for (const char* bad : {"", ".", "..", "com", "com..foo", ".com.foo", "com.foo.", "com/foo",
                            "../../etc", "com.foo bar", "com.f\xc3\xb6o", "com.foo\n"}) {
        EXPECT_FALSE(L::IsValidBundleIdentifier(QString::fromUtf8(bad))) << bad;
    }
    EXPECT_TRUE(L::Matches(L::Root::GROUP, "ABCDE12345.com.example.foo", "com.example.foo"));
    EXPECT_FALSE(L::Matches(L::Root::GROUP, "abcde12345.com.example.foo", "com.example.foo"));
    EXPECT_FALSE(L::Matches(L::Root::GROUP, "group.com.example.foo", "com.example.foo"));
    EXPECT_FALSE(L::Matches(L::Root::GROUP, "ABCDE12345.xcom.example.foo", "com.example.foo"));
    EXPECT_TRUE(L::Matches(L::Root::PREFERENCES, "com.example.foo.plist", "com.example.foo"));
    EXPECT_FALSE(
        L::Matches(L::Root::PREFERENCES, "com.example.foo.helper.plist", "com.example.foo"));
    EXPECT_FALSE(L::Matches(L::Root::PLAIN, "..", ".."));
    // The longest name wins; a name two applications share is nobody's.
    EXPECT_EQ(L::CrashOwner("Foo_Bar_2020-01-01_host.crash", {"Foo", "Foo_Bar"}), "Foo_Bar");
    EXPECT_EQ(L::CrashOwner("Foo_2020-01-01_host.crash", {"Foo", "Foo_Bar"}), "Foo");
    EXPECT_EQ(L::CrashOwner("FooBar_2020.crash", {"Foo"}), "");
    EXPECT_EQ(L::CrashOwner("Foo_2020.crash", {"Foo", "Foo"}), "");
    EXPECT_EQ(L::CrashOwner("Foo-Bar-2024-03-01-101500.ips", {"Foo", "Foo-Bar"}), "Foo-Bar");
    EXPECT_EQ(L::CrashOwner("Foo-Bar-2024-03-01-101500.ips", {"Foo"}), "");
    EXPECT_EQ(L::CrashOwner("Foo-2024-03-01-101500.002.ips", {"Foo", "Foo-Bar"}), "Foo");
    EXPECT_EQ(L::CrashOwner("Foo-2024-03-01.ips", {"Foo"}), "");
    EXPECT_EQ(L::CrashOwner("Foo-2024-03-01-101500.ips", {"Foo", "Foo"}), "");
    EXPECT_TRUE(L::IsCrashReport("Foo-2024-03-01-101500.ips"));
    EXPECT_FALSE(L::IsSameOrInside("/L/Caches2/com.a.b", "/L/Caches"));
    EXPECT_TRUE(L::IsSameOrInside("/L/Caches/com.a.b", "/L/Caches"));
}

// One installed application with data in every library folder: each entry
// tied to it by its exact identifier is offered in its group, nothing else,
// and nothing is selected. Its size is recorded and taken from the
// database on the next scan.
TEST_F(ApplicationScopeTest, ShowsEachApplicationWithWhatItsIdentifierNamesAndCachesItsSize) {
    const QString caches = Lib("Caches/com.example.foo/a/b.bin", QByteArray(20000, 'c'));
    Lib("Caches/com.example.foo.helper/x");  // another identifier
    Lib("Caches2/com.example.foo/x");        // not inside Caches
    Lib("Caches/.com.example.foo/x");        // hidden
    const QString prefs = Lib("Preferences/com.example.foo.plist");
    Lib("Preferences/ByHost/com.example.foo.1234.plist");
    const QString state = Lib("Saved Application State/com.example.foo.savedState/w.data");
    const QString support = Lib("Application Support/com.example.foo/db");
    Lib("Application Support/Foo/by-name");  // never by the name
    Lib("Application Support/Foo Helper/x");
    const QString container = Lib("Containers/com.example.foo/Data/Library/Caches/c");
    const QString group = Lib("Group Containers/ABCDE12345.com.example.foo/g");
    const QString http = Lib("HTTPStorages/com.example.foo.binarycookies");
    const QString webkit = Lib("WebKit/com.example.foo/w");
    const QString logs = Lib("Logs/com.example.foo/l.log");
    const QString crash = Lib("Logs/DiagnosticReports/Foo_2020-01-01-000000_host.crash");
    Lib("Logs/DiagnosticReports/FooBar_2020-01-01-000000_host.crash");
    const QString barPrefs = Lib("Preferences/com.example.bar.plist");
    // A file also named outside frees nothing when its name inside goes.
    t.MakeFile("outside/big", QByteArray(1 << 20, 'b'));
    ::link(QFile::encodeName(t.Path("outside/big")).constData(),
           QFile::encodeName(lib + "/Caches/com.example.foo/big").constData());

    auto rows = DBRows();
    ApplicationGarbageScope scope(Paths({foo, bar, t.Path("A/Link.app")}), rows);
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);

    EXPECT_EQ(RootPaths(scope), QStringList({bar, foo}));  // never the link
    const QString f = lib + "/";
    EXPECT_EQ(
        Leftovers(scope, foo),
        QStringList(
            {"Binaries: " + foo, "Caches: " + f + "Caches/com.example.foo", "Preferences: " + prefs,
             "Saved Application State: " + f + "Saved Application State/com.example.foo.savedState",
             "Application Support: " + f + "Application Support/com.example.foo",
             "Containers: " + f + "Containers/com.example.foo",
             "Group Containers: " + f + "Group Containers/ABCDE12345.com.example.foo",
             "HTTPStorages: " + http, "WebKit: " + f + "WebKit/com.example.foo",
             "Logs: " + f + "Logs/com.example.foo", "Crashes: " + crash}));
    EXPECT_EQ(Leftovers(scope, bar), QStringList({"Binaries: " + bar, "Preferences: " + barPrefs}));
    EXPECT_FALSE(scope.IsCleaningPossible());
    for (AbstractGarbage* root : scope.GetRoots()) {
        EXPECT_EQ(root->GetCheckState(), AbstractGarbage::UNCHECKED);
        EXPECT_TRUE(root->IsReady());
    }
    GarbageLeftover* cache = scope.FindLeftover(f + "Caches/com.example.foo");
    ASSERT_NE(cache, nullptr);
    EXPECT_GE(cache->GetSize(), Blocks(caches));
    EXPECT_LT(cache->GetSize(), 1 << 20);  // the linked file is not counted
    GarbageApplication* fooItem = scope.FindApplication(foo);
    ASSERT_NE(fooItem, nullptr);
    EXPECT_EQ(fooItem->GetId(), "com.example.foo");
    EXPECT_GE(fooItem->GetBundleSize(), Blocks(foo + "/Contents/MacOS/Foo"));

    // Recorded; the next scan takes the recorded size instead of measuring.
    const Apps recorded = AppsDB::LoadApplications();
    ASSERT_EQ(recorded.size(), 2);
    EXPECT_TRUE(rows->IsInvalidated());
    ASSERT_TRUE(AppsDB::SetBundleSize(foo, 123456789));
    rows->Refresh();
    ASSERT_TRUE(WaitUntil([&] { return rows->IsReady(); }, waitMs));
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_NE(scope.FindApplication(foo), nullptr);
    EXPECT_EQ(scope.FindApplication(foo)->GetBundleSize(), 123456789);
    EXPECT_EQ(RootPaths(scope), QStringList({bar, foo}));
}

// Uninstalling removes the bundle and every leftover as whole trees, counts
// each once with the bytes really freed, keeps everything else, and drops
// the application's row.
TEST_F(ApplicationScopeTest, UninstallRemovesTheBundleAndItsLeftoversOnly) {
    Lib("Caches/com.example.foo/a/b.bin", QByteArray(20000, 'c'));
    Lib("Caches/com.example.foo.helper/x");
    Lib("Caches2/com.example.foo/x");
    Lib("Preferences/com.example.foo.plist");
    Lib("Preferences/com.example.bar.plist");
    Lib("Application Support/Foo/by-name");
    Lib("Containers/com.example.foo/Data/Library/Preferences/p.plist");
    Lib("Logs/DiagnosticReports/Foo_2020-01-01-000000_host.crash");
    ApplicationGarbageScope scope(Paths({foo, bar}), DBRows());
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    GarbageApplication* app = scope.FindApplication(foo);
    ASSERT_NE(app, nullptr);
    const QStringList planned = app->GetPaths();
    EXPECT_TRUE(planned.isEmpty());
    app->Select(true);
    const QStringList paths = app->GetPaths();
    ASSERT_EQ(paths.size(), 5);
    const long long size = app->GetSize();

    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    for (const QString& path : paths) {
        EXPECT_FALSE(PathExists(path)) << path.toStdString();
    }
    EXPECT_EQ(scope.GetTotalCleanedItems(), 5);
    EXPECT_EQ(scope.GetTotalCleanedSize(), size);
    for (const QString& kept :
         {bar, lib + "/Caches/com.example.foo.helper/x", lib + "/Caches2/com.example.foo/x",
          lib + "/Preferences/com.example.bar.plist", lib + "/Application Support/Foo/by-name"}) {
        EXPECT_TRUE(PathExists(kept)) << kept.toStdString();
    }
    const Apps rows = AppsDB::LoadApplications();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows.first().path, bar);
}

// What came into a leftover after the scan was never shown: it stays with
// the folders that hold it, that leftover is in error and not counted, and
// the rest goes.
TEST_F(ApplicationScopeTest, WhatCameIntoALeftoverAfterTheScanStays) {
    Lib("Caches/com.example.foo/a/b.bin", QByteArray(20000, 'c'));
    Lib("Preferences/com.example.foo.plist");
    ApplicationGarbageScope scope(Paths({foo, bar}), DBRows());
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    GarbageApplication* app = scope.FindApplication(foo);
    ASSERT_NE(app, nullptr);
    app->Select(true);
    ASSERT_EQ(app->GetPaths().size(), 3);
    Varnex::Test::WaitForCoarseClockToPassNow();
    const QString late = Lib("Caches/com.example.foo/a/saved-after.db", "the user's");

    Clean(scope);
    QFile kept(late);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("the user's"));
    EXPECT_FALSE(PathExists(lib + "/Caches/com.example.foo/a/b.bin"));
    EXPECT_FALSE(PathExists(foo));
    EXPECT_FALSE(PathExists(lib + "/Preferences/com.example.foo.plist"));
    EXPECT_TRUE(scope.ContainsError());
    EXPECT_EQ(scope.GetTotalCleanedItems(), 2);
}

// A bundle or leftover goes as a whole tree: one that holds what the
// exclusions leave out stays with it; the rest goes.
TEST_F(ApplicationScopeTest, ATreeHoldingAnExcludedEntryStays) {
    const QString cached = Lib("Caches/com.example.foo/keep.me");
    const QString prefs = Lib("Preferences/com.example.foo.plist");
    t.MakeFile("A/Foo.app/Contents/Resources/keep.me", "the user's");
    ApplicationGarbageScope scope(Paths({foo, bar}), DBRows());
    scope.AddExclusion("keep.me");
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    GarbageApplication* app = scope.FindApplication(foo);
    ASSERT_NE(app, nullptr);
    app->Select(true);
    ASSERT_EQ(app->GetPaths().size(), 3);

    Clean(scope);
    EXPECT_TRUE(PathExists(cached));
    EXPECT_TRUE(t.Exists("A/Foo.app/Contents/Resources/keep.me"));
    EXPECT_FALSE(PathExists(prefs));
    EXPECT_EQ(scope.GetTotalCleanedItems(), 1);
}

// Two bundles of one identifier share their data: neither offers it, and
// uninstalling one leaves what the other uses.
TEST_F(ApplicationScopeTest, BundlesSharingAnIdentifierNeverOfferTheirSharedData) {
    const QString copy = Bundle("B/Foo Copy.app", "com.example.foo");
    const QString prefs = Lib("Preferences/com.example.foo.plist");
    ApplicationGarbageScope scope(Paths({foo, copy}), DBRows());
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(Leftovers(scope, foo), QStringList({"Binaries: " + foo}));
    EXPECT_EQ(Leftovers(scope, copy), QStringList({"Binaries: " + copy}));
    scope.FindApplication(copy)->Select(true);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(PathExists(copy));
    EXPECT_TRUE(PathExists(prefs));
    EXPECT_TRUE(PathExists(foo));
}

// The leftovers of applications the database recorded and that are gone;
// never those of an identifier still installed somewhere, nor of bad rows.
TEST_F(ApplicationScopeTest, LeftoversOnlyOfIdentifiersNoInstalledBundleHas) {
    const QString gone = t.Path("A/Gone.app");
    const QString moved = t.Path("A/Old/Moved.app");  // now in C/, A/Old gone too
    const QString movedNow = Bundle("C/Moved.app", "com.example.moved");
    const QString far = Varnex::Platform::SystemPath("/Volumes/Ext/Far.app");
    const QString lost = t.Path("A/Deleted/Lost.app");  // its folder went with it
    const QString lostPrefs = Lib("Preferences/com.example.lost.plist");
    const QString goneCache = Lib("Caches/com.example.gone/c");
    const QString gonePrefs = Lib("Preferences/com.example.gone.plist");
    const QString goneCrash = Lib("Logs/DiagnosticReports/Gone_2020-01-01-000000_host.crash");
    const QString movedPrefs = Lib("Preferences/com.example.moved.plist");
    const QString farPrefs = Lib("Preferences/com.example.far.plist");
    const QString fooPrefs = Lib("Preferences/com.example.foo.plist");
    const QString evil = Lib("Caches/x/keep");
    Lib("Preferences/..plist");
    Apps rows{
        Row(gone, "com.example.gone"),      Row(moved, "com.example.moved"),
        Row(lost, "com.example.lost"),      Row(far, "com.example.far"),
        Row(foo, "com.example.foo"),        Row(t.Path("A/Nothing.app"), "com.example.nothing"),
        Row(t.Path("A/E1.app"), "../../x"), Row(t.Path("A/E2.app"), "com/evil"),
        Row(t.Path("A/E3.app"), "."),       Row("rel/E4.app", "com.example.rel"),
        Row(t.Path("A/E5.app"), "x")};
    Varnex::Test::LogCapture log;
    ApplicationGarbageScope scope(nullptr, Rows(rows));
    scope.SetInstalledApplicationsCache(Paths({foo, movedNow}));
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);

    EXPECT_EQ(RootPaths(scope), QStringList({lost, gone}));
    EXPECT_EQ(Leftovers(scope, lost), QStringList({"Preferences: " + lostPrefs}));
    EXPECT_EQ(Leftovers(scope, gone),
              QStringList({"Caches: " + lib + "/Caches/com.example.gone",
                           "Preferences: " + gonePrefs, "Crashes: " + goneCrash}));
    EXPECT_TRUE(log.Contains(google::GLOG_WARNING, "Ignored a bad application record: \"" +
                                                       t.Path("A/E1.app").toStdString()));
    scope.FindApplication(gone)->Select(true);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(PathExists(lib + "/Caches/com.example.gone"));
    EXPECT_FALSE(PathExists(gonePrefs));
    EXPECT_FALSE(PathExists(goneCrash));
    for (const QString& kept : {movedPrefs, farPrefs, fooPrefs, evil}) {
        EXPECT_TRUE(PathExists(kept)) << kept.toStdString();
    }
    EXPECT_EQ(scope.GetTotalCleanedItems(), 3);

    // Without the list of installed bundles nothing is offered at all.
    auto failing = Cache<QStringList>([]() -> QStringList { throw std::runtime_error("no list"); });
    ApplicationGarbageScope blind(nullptr, Rows(rows));
    blind.SetInstalledApplicationsCache(failing);
    EXPECT_EQ(Scan(blind), AbstractGarbageScope::FAILED);
    EXPECT_TRUE(blind.GetRoots().isEmpty());
}

// A scan waits for its caches; a stop before they are ready ends it once
// and nothing of it runs later, and the next start scans once, not twice. A start inside another
// batch's turn of the event loop still scans.
TEST_F(ApplicationScopeTest, WaitsForItsCachesAndStartsOncePerScan) {
    Lib("Preferences/com.example.foo.plist");
    auto rows = Cache<Apps>([] { return Apps(); }, false);
    ApplicationGarbageScope scope(Paths({foo}), rows);
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    EXPECT_TRUE(scope.IsScanning());
    scope.StopScanning();
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.last().at(1).value<Reason>(), AbstractGarbageScope::CANCELED);
    EXPECT_FALSE(scope.IsScanning());
    scope.StartScanning();
    scope.StopScanning();
    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 2; }, waitMs));
    EXPECT_EQ(finished.last().at(1).value<Reason>(), AbstractGarbageScope::CANCELED);
    scope.StartScanning();
    rows->Refresh();
    ASSERT_TRUE(WaitUntil([&] { return finished.count() >= 3; }, waitMs));
    QCoreApplication::processEvents();
    EXPECT_EQ(finished.count(), 3);
    EXPECT_EQ(finished.last().at(1).value<Reason>(), AbstractGarbageScope::DONE);
    EXPECT_EQ(scope.GetRoots().size(), 1);
    EXPECT_EQ(Leftovers(scope, foo).size(), 2);
    EXPECT_FALSE(scope.IsScanning());

    {
        Varnex::Util::GuiAntifreeze::BatchScope guard;
        scope.StartScanning();
    }
    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 4; }, waitMs));
    EXPECT_EQ(finished.last().at(1).value<Reason>(), AbstractGarbageScope::DONE);
    EXPECT_EQ(scope.GetRoots().size(), 1);
}

// What is gone before the removal frees nothing, and an entry put in the
// place of a scanned one after the scan is left as it is, in error.
TEST_F(ApplicationScopeTest, CountsOnlyWhatTheRemovalFreedAndOnlyTheEntryScanned) {
    const QString prefs = Lib("Preferences/com.example.foo.plist", QByteArray(9000, 'p'));
    Lib("Caches/com.example.foo/old", QByteArray(9000, 'o'));
    ApplicationGarbageScope scope(Paths({foo}), DBRows());
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    GarbageApplication* app = scope.FindApplication(foo);
    ASSERT_NE(app, nullptr);
    app->Select(true);
    GarbageLeftover* prefsItem = scope.FindLeftover(prefs);
    GarbageLeftover* cacheItem = scope.FindLeftover(lib + "/Caches/com.example.foo");
    ASSERT_NE(prefsItem, nullptr);
    ASSERT_NE(cacheItem, nullptr);
    const long long bundleSize = app->GetBundleSize();
    ASSERT_TRUE(QFile::remove(prefs));
    ASSERT_TRUE(QDir(lib + "/Caches/com.example.foo").removeRecursively());
    const QString swapped = Lib("Caches/com.example.foo/new", QByteArray(100, 'n'));

    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(PathExists(foo));
    EXPECT_TRUE(PathExists(swapped));
    EXPECT_TRUE(prefsItem->IsClean());
    EXPECT_FALSE(cacheItem->IsClean());
    EXPECT_NE(cacheItem->GetError(), AbstractGarbage::Error::OK);
    EXPECT_EQ(scope.GetTotalCleanedItems(), 2);
    EXPECT_EQ(scope.GetTotalCleanedSize(), bundleSize);
    // The bundle went but something of it is left: its row stays, to be
    // measured anew, for the leftovers.
    const Apps rows = AppsDB::LoadApplications();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_TRUE(rows.first().isDirty);
}

// A stop while the scan's thread works ends the scan once, CANCELED, with
// nothing of the interrupted application shown.
TEST_F(ApplicationScopeTest, AStopWhileMeasuringEndsTheScanOnceCanceled) {
    Lib("Preferences/com.example.foo.plist");
    t.MakeFile("bin/mdls", "#!/bin/sh\ntouch '" + t.Path("mdls-ran").toUtf8() + "'\nsleep 300\n");
    ApplicationGarbageScope scope(Paths({foo}), Rows({}));
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    ASSERT_TRUE(WaitUntil([&] { return t.Exists("mdls-ran"); }, waitMs));
    scope.StopScanning();
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    QCoreApplication::processEvents();
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.first().at(1).value<Reason>(), AbstractGarbageScope::CANCELED);
    EXPECT_TRUE(scope.GetRoots().isEmpty());
    EXPECT_FALSE(scope.IsScanning());
}
