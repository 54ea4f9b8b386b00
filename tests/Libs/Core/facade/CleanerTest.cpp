// The facade on a home folder and a system root of its own: which roots each
// scope gets, the life-cycle operations' refusals and list upkeep, and a quit
// in the middle of scans.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <QSignalSpy>

#include "Core/Cleaner.h"
#include "Core/ICleaningWatcher.h"
#include "Core/details/SystemGarbageScope.h"
#include "common/ClamavFixture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using Varnex::Cleaner::Details::SystemGarbageScope;
using Varnex::Test::ClamavFixture;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

const int waitMs = 60000;

struct Machine {
    TempTree home;
    TempTree sysroot;
    ScopedEnv homeEnv{"HOME", home.Root().toUtf8()};
    ScopedEnv rootEnv{"KLARVIK_SYSROOT", sysroot.Root().toUtf8()};
    ScopedEnv cacheEnv{"XDG_CACHE_HOME", QByteArray()};
    ScopedEnv dataEnv{"XDG_DATA_HOME", QByteArray()};
    ScopedEnv darwinEnv{"KLARVIK_DARWIN_USER_CACHE", QByteArray()};
};

QStringList RootsOf(AbstractGarbageScope* scope) {
    return static_cast<SystemGarbageScope*>(scope)->GetPaths();
}

AbstractGarbageScope::FinishReason ScanOne(Cleaner& cleaner, AbstractGarbageScope* scope) {
    QSignalSpy finished(&cleaner, &Cleaner::ScanningFinished);
    EXPECT_TRUE(cleaner.StartScanning(scope));
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    return finished.isEmpty()
               ? AbstractGarbageScope::FAILED
               : finished.last().at(1).value<AbstractGarbageScope::FinishReason>();
}

class Refusing : public ICleaningWatcher {
public:
    bool CheckCleanedSize(long long) override {
        ++asked;
        return false;
    }
    int asked = 0;
};

}  // namespace

// The freedesktop folders stand beside the Mac's; a nested root is dropped
// (the cache inside ~/Library/Caches), and so are the package managers'
// folders of /var/cache and /var/log.
TEST(Cleaner, GivesEachScopeTheFoldersOfThisMachine) {
    Machine m;
    m.home.MakeFile("Library/Caches/app/a.cache", "aaaa");
    m.home.MakeFile("Library/Caches/nested/b.cache", "bb");
    m.home.MakeFile(".local/share/Trash/files/old.txt", "old");
    m.home.MakeDir(".local/share/Trash/info");
    m.sysroot.MakeFile("var/cache/fonts/f.cache", "f");
    m.sysroot.MakeFile("var/cache/apt/archives/p.deb", "deb");
    m.sysroot.MakeFile("var/log/syslog.1", "log");
    m.sysroot.MakeFile("var/log/apt/history.log", "history");
    ScopedEnv cache("XDG_CACHE_HOME", m.home.Path("Library/Caches/nested").toUtf8());
    Cleaner cleaner;

    EXPECT_EQ(RootsOf(cleaner.GetUserCacheScope()), QStringList{m.home.Path("Library/Caches")});
    EXPECT_TRUE(RootsOf(cleaner.GetSystemCacheScope()).contains(m.sysroot.Path("var/cache")));
    // No /Library/Caches below this root: not a root.
    EXPECT_FALSE(RootsOf(cleaner.GetSystemCacheScope()).contains(m.sysroot.Path("Library/Caches")));
    EXPECT_EQ(RootsOf(cleaner.GetDiskUsageScope()), QStringList{m.home.Root()});
    EXPECT_TRUE(RootsOf(cleaner.GetShredderScope()).isEmpty());
    EXPECT_EQ(cleaner.GetLargeAndOldSearchPaths(), QStringList{m.home.Root()});

    // The home trash: the Mac's, and both halves of the freedesktop one.
    bool homeTrash = false;
    for (const QString& name : cleaner.GetTrashes()) {
        const QStringList roots = RootsOf(cleaner.GetTrashScope(name));
        if (roots.contains(m.home.Path(".Trash"))) {
            homeTrash = true;
            EXPECT_TRUE(roots.contains(m.home.Path(".local/share/Trash/files")));
            EXPECT_TRUE(roots.contains(m.home.Path(".local/share/Trash/info")));
        }
    }
    EXPECT_TRUE(homeTrash);
    EXPECT_EQ(cleaner.GetTrashScope("no such volume"), nullptr);

    ASSERT_EQ(ScanOne(cleaner, cleaner.GetUserCacheScope()), AbstractGarbageScope::DONE);
    // The root, two folders and two files: b.cache once.
    EXPECT_EQ(cleaner.GetUserCacheScope()->GetTotalItems(), 5);
    EXPECT_FALSE(cleaner.CanContinueScanning(cleaner.GetUserCacheScope()));
    ASSERT_EQ(ScanOne(cleaner, cleaner.GetSystemCacheScope()), AbstractGarbageScope::DONE);
    auto* system = static_cast<SystemGarbageScope*>(cleaner.GetSystemCacheScope());
    EXPECT_TRUE(system->FindGarbage(m.sysroot.Path("var/cache/fonts/f.cache")));
    EXPECT_FALSE(system->FindGarbage(m.sysroot.Path("var/cache/apt/archives/p.deb")));
    ASSERT_EQ(ScanOne(cleaner, cleaner.GetSystemLogsScope()), AbstractGarbageScope::DONE);
    auto* logs = static_cast<SystemGarbageScope*>(cleaner.GetSystemLogsScope());
    EXPECT_TRUE(logs->FindGarbage(m.sysroot.Path("var/log/syslog.1")));
    EXPECT_FALSE(logs->FindGarbage(m.sysroot.Path("var/log/apt/history.log")));

    // Every scanned byte is in the totals, and the garbage total leaves out
    // applications and large files (none here).
    const long long scanned = cleaner.GetUserCacheScope()->GetTotalSize() +
                              cleaner.GetSystemCacheScope()->GetTotalSize() +
                              cleaner.GetSystemLogsScope()->GetTotalSize();
    EXPECT_GT(scanned, 0);
    EXPECT_EQ(cleaner.GetTotalScannedSize(), scanned);
    EXPECT_EQ(cleaner.GetTotalLeftGarbageSize(), scanned);
}

// A cache folder variable (or ~/.thumbnails) that is a link, or names one
// with a trailing slash, is no root: cleaning it would empty the link's target.
TEST(Cleaner, NeverTakesALinkedCacheFolderAsARoot) {
    Machine m;
    TempTree elsewhere;
    elsewhere.MakeFile("passwd", "root:x:0");
    m.home.MakeSymlink(elsewhere.Root(), "cachelink");
    m.home.MakeSymlink(elsewhere.Root(), ".thumbnails");
    m.home.MakeDir("realcache");
    for (const QString& value : {m.home.Path("cachelink"), m.home.Path("cachelink") + "/",
                                 m.home.Path("cachelink") + "//"}) {
        ScopedEnv cache("XDG_CACHE_HOME", value.toUtf8());
        Cleaner cleaner;
        for (const QString& root : RootsOf(cleaner.GetUserCacheScope())) {
            EXPECT_FALSE(root.startsWith(m.home.Path("cachelink")) ||
                         root.startsWith(m.home.Path(".thumbnails")))
                << root.toStdString();
        }
    }
    ScopedEnv cache("XDG_CACHE_HOME", (m.home.Path("realcache") + "/").toUtf8());
    Cleaner cleaner;
    EXPECT_TRUE(RootsOf(cleaner.GetUserCacheScope()).contains(m.home.Path("realcache")));
}

// ~/Library/Caches and ~/Library/Logs, or the Library above them, as links
// to the user's documents: no root, nothing of the documents cleaned.
TEST(Cleaner, NeverTakesALibraryFolderReachedThroughALinkAsARoot) {
    Machine m;
    TempTree elsewhere;
    elsewhere.MakeFile("Documents/d", "mine");
    elsewhere.MakeFile("Library/Logs/l", "mine too");
    m.home.MakeDir("Library");
    m.home.MakeSymlink(elsewhere.Path("Documents"), "Library/Caches");
    m.home.MakeSymlink(elsewhere.Path("Documents"), "Library/Logs");
    {
        Cleaner cleaner;
        EXPECT_TRUE(RootsOf(cleaner.GetUserCacheScope()).isEmpty())
            << RootsOf(cleaner.GetUserCacheScope()).join(' ').toStdString();
        EXPECT_TRUE(RootsOf(cleaner.GetUserLogsScope()).isEmpty());
    }
    Varnex::Test::RemoveTestTree(m.home.Bytes("Library"));
    m.home.MakeSymlink(elsewhere.Path("Library"), "Library");
    Cleaner cleaner;
    EXPECT_TRUE(RootsOf(cleaner.GetUserLogsScope()).isEmpty());
    ASSERT_EQ(ScanOne(cleaner, cleaner.GetUserLogsScope()), AbstractGarbageScope::DONE);
    EXPECT_EQ(elsewhere.Read("Library/Logs/l"), QByteArray("mine too"));
}

// The home trash and the machine's /var/cache and /var/log are roots only
// where they are folders of their own: a link would empty what it leads to.
TEST(Cleaner, NeverTakesALinkedTrashOrVarFolderAsARoot) {
    Machine m;
    TempTree elsewhere;
    elsewhere.MakeFile("Documents/thesis.txt", "thesis");
    elsewhere.MakeFile("data/Trash/files/f", "f");
    elsewhere.MakeFile("data/Trash/info/f.trashinfo", "i");
    m.home.MakeSymlink(elsewhere.Path("Documents"), ".Trash");
    m.home.MakeSymlink(elsewhere.Path("data/Trash"), ".local/share/Trash");
    m.sysroot.MakeDir("var");
    m.sysroot.MakeSymlink(elsewhere.Path("Documents"), "var/cache");
    m.sysroot.MakeSymlink(elsewhere.Path("Documents"), "var/log");
    Cleaner cleaner;
    auto linked = [&](const QString& root) {
        return root.startsWith(m.home.Path(".Trash")) ||
               root.startsWith(m.home.Path(".local/share/Trash")) ||
               root.startsWith(m.sysroot.Path("var"));
    };
    for (const QString& name : cleaner.GetTrashes()) {
        for (const QString& root : RootsOf(cleaner.GetTrashScope(name))) {
            EXPECT_FALSE(linked(root)) << root.toStdString();
        }
    }
    for (AbstractGarbageScope* scope : {cleaner.GetSystemCacheScope(), cleaner.GetSystemLogsScope()}) {
        for (const QString& root : RootsOf(scope)) {
            EXPECT_FALSE(linked(root)) << root.toStdString();
        }
    }
}

// What the facade refuses, and what it forwards exactly once.
TEST(Cleaner, RefusesWhatCannotBeDoneAndConnectsAScopeOnce) {
    Machine m;
    m.home.MakeFile("Library/Caches/app/a.cache", "aaaa");
    Cleaner cleaner;
    EXPECT_FALSE(cleaner.StartScanning(nullptr));
    EXPECT_FALSE(cleaner.StartCleaning(nullptr));
    EXPECT_FALSE(cleaner.StopScanning(nullptr));  // nothing scans
    EXPECT_FALSE(cleaner.StopCleaning(nullptr));
    EXPECT_EQ(cleaner.GetExtraScope("none"), nullptr);
    EXPECT_EQ(cleaner.GetExtraScope("none"), nullptr);
    EXPECT_FALSE(cleaner.AddPathsToShredder({}));

    // A scope of the application's, registered twice: one forwarded signal.
    auto* extra = new SystemGarbageScope(QStringList{m.home.Path("Library/Caches")});
    cleaner.SetExtraScope("mine", extra);
    cleaner.SetExtraScope("mine", extra);
    EXPECT_EQ(extra->parent(), &cleaner);
    EXPECT_EQ(cleaner.GetExtraScope("mine"), extra);
    EXPECT_EQ(cleaner.GetScopes().count(extra), 1);
    QSignalSpy started(&cleaner, &Cleaner::ScanningStarted);
    ASSERT_EQ(ScanOne(cleaner, extra), AbstractGarbageScope::DONE);
    EXPECT_EQ(started.size(), 1);
    EXPECT_TRUE(cleaner.GetScannedScopes().isEmpty());

    // A scope that refuses to clean (nothing selected) is not said to clean.
    extra->GetRoots().first()->Select(false);
    EXPECT_FALSE(cleaner.StartCleaning(extra));
    EXPECT_TRUE(cleaner.GetCleanedScopes().isEmpty());

    // Scanning: no cleaning starts.
    QSignalSpy finished(&cleaner, &Cleaner::ScanningFinished);
    ASSERT_TRUE(cleaner.StartScanning(extra));
    ASSERT_TRUE(extra->IsScanning());
    EXPECT_FALSE(cleaner.StartCleaning(extra));
    EXPECT_FALSE(extra->IsCleaning());
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));

    // The application's watcher, installed after the scopes were built, is asked.
    auto refusing = std::make_shared<Refusing>();
    cleaner.SetCleaningWatcher(refusing);
    QSignalSpy cleaned(&cleaner, &Cleaner::CleaningFinished);
    extra->GetRoots().first()->Select(true);
    ASSERT_TRUE(cleaner.StartCleaning(extra));
    EXPECT_EQ(cleaner.GetCleanedScopes(), QVector<AbstractGarbageScope*>{extra});
    ASSERT_TRUE(WaitUntil([&] { return !cleaned.isEmpty(); }, waitMs));
    EXPECT_GE(refusing->asked, 1);
    EXPECT_TRUE(cleaner.GetCleanedScopes().isEmpty());
    EXPECT_FALSE(cleaner.IsBusy());
}

// Stopping everything while several scopes scan, then quitting: every scan
// finishes once, the lists empty, nothing is left running.
TEST(Cleaner, StopsEveryScanAndQuitsCleanly) {
    Machine m;
    for (int i = 0; i < 2000; ++i) {
        m.home.MakeFile(QString("Library/Caches/c%1/f%2").arg(i % 40).arg(i), "x");
    }
    m.home.MakeFile("Library/Logs/l.log", "log");
    auto cleaner = std::make_unique<Cleaner>();
    QSignalSpy finished(cleaner.get(), &Cleaner::ScanningFinished);
    const QVector<AbstractGarbageScope*> scopes = {cleaner->GetUserCacheScope(),
                                                   cleaner->GetUserLogsScope(),
                                                   cleaner->GetDiskUsageScope()};
    for (AbstractGarbageScope* scope : scopes) {
        ASSERT_TRUE(cleaner->StartScanning(scope));
    }
    EXPECT_TRUE(cleaner->IsBusy());
    const int running = cleaner->GetScannedScopes().size();
    EXPECT_EQ(cleaner->StopScanning(nullptr), running > 0);
    ASSERT_TRUE(WaitUntil([&] { return finished.size() == scopes.size(); }, waitMs));
    EXPECT_TRUE(cleaner->GetScannedScopes().isEmpty());
    EXPECT_FALSE(cleaner->IsBusy());

    // A quit in the middle of scans.
    for (AbstractGarbageScope* scope : scopes) {
        ASSERT_TRUE(cleaner->StartScanning(scope));
    }
    finished.clear();
    cleaner->WaitBeforeAppQuit();
    // Every scan told its end before the quit returned.
    EXPECT_FALSE(cleaner->IsBusy());
    EXPECT_EQ(finished.size(), scopes.size());
    cleaner.reset();
}

TEST(Cleaner, ScansForVirusesInThePathsGivenAndLeavesNoScannerBehind) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    Machine m;
    ClamavFixture engine(m.sysroot.Path("Applications/ClamAV"));
    m.home.MakeFile("Downloads/tool.exe", "x" + ClamavFixture::Marker());
    m.home.MakeFile("Downloads/notes.txt", "nothing");
    auto cleaner = std::make_unique<Cleaner>();
    AbstractGarbageScope* scope = cleaner->GetAntiVirusScope();
    ASSERT_NE(scope, nullptr);
    EXPECT_TRUE(cleaner->GetAntiVirusManager()->IsEngineInstalled());
    QSignalSpy paths(cleaner.get(), &Cleaner::AntiVirusPathsChanged);
    ASSERT_TRUE(cleaner->AddPathToAntiVirus(m.home.Path("Downloads")));
    ASSERT_EQ(paths.size(), 1);
    EXPECT_EQ(paths.last().at(0).toStringList(), QStringList{m.home.Path("Downloads")});

    QSignalSpy finished(cleaner.get(), &Cleaner::ScanningFinished);
    ASSERT_TRUE(cleaner->StartScanning(scope));
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.last().at(1).value<AbstractGarbageScope::FinishReason>(),
              AbstractGarbageScope::DONE);
    ASSERT_EQ(scope->GetRoots().size(), 1);
    EXPECT_EQ(scope->GetRoots().front()->GetPath(), m.home.Path("Downloads/tool.exe"));

    // A scan held by a stop is ended with the facade: no scanner stays.
    const QString pidFile = m.home.Path("scanner.pid");
    engine.ReplaceClamscan("echo $$ > '" + pidFile.toUtf8() + "'\nwhile :; do sleep 0.05; done\n");
    finished.clear();
    ASSERT_TRUE(cleaner->StartScanning(scope));
    ASSERT_TRUE(WaitUntil([&] { return QFile(pidFile).size() > 0; }, waitMs));
    ASSERT_TRUE(cleaner->StopScanning(scope));
    EXPECT_TRUE(cleaner->CanContinueScanning(scope));
    QFile file(pidFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const pid_t pid = file.readAll().trimmed().toInt();
    ASSERT_GT(pid, 0);
    cleaner->WaitBeforeAppQuit();
    cleaner.reset();
    EXPECT_NE(::kill(pid, 0), 0);
}

TEST(Cleaner, OffersThePhotoLibraryScopesOnlyWithALibrary) {
    Machine m;
    EXPECT_EQ(Cleaner().GetIPhotoVacuumScope(), nullptr);
    EXPECT_EQ(Cleaner().GetIPhotoTrashScope(), nullptr);
    const QString library = m.home.Path("Pictures/iPhoto Library");
    m.home.MakeFile("Pictures/iPhoto Library/Database/Library.apdb", "");
    m.home.MakeFile("Library/Preferences/com.apple.IPhoto.plist",
                    "<plist version=\"1.0\"><dict><key>RootDirectory</key><string>" +
                        library.toUtf8() + "</string></dict></plist>");
    Cleaner cleaner;
    AbstractGarbageScope* vacuum = cleaner.GetIPhotoVacuumScope();
    ASSERT_NE(vacuum, nullptr);
    EXPECT_TRUE(cleaner.GetScopes().contains(vacuum));
    ASSERT_EQ(vacuum->GetRoots().size(), 1);
    EXPECT_EQ(vacuum->GetRoots().front()->GetPath(), library + "/Database/Library.apdb");
    AbstractGarbageScope* trash = cleaner.GetIPhotoTrashScope();
    ASSERT_NE(trash, nullptr);
    EXPECT_TRUE(cleaner.GetScopes().contains(trash));
}
