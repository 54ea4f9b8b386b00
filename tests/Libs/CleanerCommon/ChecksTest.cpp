#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CleanerCommon/Checks.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using Varnex::Test::TempTree;
using Varnex::Test::TestHome;
using Varnex::Test::TestSysRoot;

TEST(IsPathSafe, RefusesHostilePaths) {
    const QString home = TestHome();
    const QString sys = TestSysRoot();
    const QString unsafe[] = {"",
                              "/",
                              "relative/path",
                              "./x",
                              "~/Library",
                              "/tmp/a/../b",
                              "/tmp/./a",
                              "/tmp//a",
                              "/tmp/a/",
                              "/tmp/a/.",
                              "/tmp/a/..",
                              "/bin",
                              "/etc",
                              "/usr",
                              "/lib64",
                              "/proc",
                              "/sys",
                              "/System",
                              "/Library",
                              "/Applications",
                              "/private",
                              "/private/var",
                              "/Users",
                              "/Volumes",
                              sys,
                              sys + "/Library",
                              sys + "/System/Library",
                              sys + "/Applications",
                              sys + "/Users",
                              sys + "/Users/someone",
                              sys + "/private/var",
                              home,
                              home + "/",
                              "/home/someone",
                              QString::fromUtf8("/tmp/a\0b", 8),
                              QString("/tmp/x") + QChar(0xDC00)};
    for (const QString& p : unsafe) {
        EXPECT_FALSE(IsPathSafe(p)) << p.toStdString();
    }
    // Ancestors of the home folder and of the system root.
    for (QString p = home.section('/', 0, -2); !p.isEmpty(); p = p.section('/', 0, -2)) {
        EXPECT_FALSE(IsPathSafe(p)) << p.toStdString();
    }
}

TEST(IsPathSafe, AcceptsPathsInsideProtectedFolders) {
    const QString home = TestHome();
    const QString sys = TestSysRoot();
    const QString safe[] = {home + "/Library/Caches",
                            home + "/Library/Caches/com.example.app",
                            sys + "/Library/Caches",
                            sys + "/Applications/Foo.app",
                            sys + "/Users/someone/Library",
                            "/tmp/klarvik-x/a b/c\nd",
                            home + "x" /* a sibling that only shares a prefix */,
                            "/Library/Caches/x",
                            QString::fromUtf8("/tmp/caf\xc3\xa9")};
    for (const QString& p : safe) {
        EXPECT_TRUE(IsPathSafe(p)) << p.toStdString();
    }
}

TEST(IsPathSafe, NothingIsSafeWhileHomeOrTheSystemRootDoesNotDecode) {
    const QString inside = "/tmp/klarvik-x/a";
    ASSERT_TRUE(IsPathSafe(inside));
    for (const char* variable : {"HOME", "KLARVIK_SYSROOT"}) {
        const QByteArray real = qgetenv(variable);
        const Varnex::Test::ScopedEnv env(variable, real + "\xff");
        // Not the folder itself, nor the sibling that a lossy decoding names.
        for (const QString& p :
             {inside, QString::fromUtf8(real), QString::fromUtf8(real + "\xff")}) {
            EXPECT_FALSE(IsPathSafe(p)) << variable << " " << p.toStdString();
        }
    }
    EXPECT_TRUE(IsPathSafe(inside));
    // A relative home is no home: nothing is safe either.
    const Varnex::Test::ScopedEnv relative("HOME", "home");
    EXPECT_FALSE(IsPathSafe(inside));
}

TEST(IsPathSafe, AHomeWithDotDotAfterALinkIsWhereTheKernelFindsIt) {
    TempTree t;
    t.MakeDir("deep/a");
    t.MakeFile("deep/home/Documents/thesis", "x");
    t.MakeFile("home/other", "x");  // where the text alone would lead
    t.MakeSymlink(t.Path("deep/a"), "link");
    const Varnex::Test::ScopedEnv home("HOME", t.Path("link/../home").toUtf8());
    EXPECT_FALSE(IsPathSafe(t.Path("deep/home")));
    EXPECT_FALSE(IsPathSafe(t.Path("deep")));
    EXPECT_TRUE(IsPathSafe(t.Path("deep/home/Documents")));
}

TEST(CanRemove, FollowsTheParentFoldersRights) {
    TempTree t;
    t.MakeFile("open/file", "x");
    t.MakeFile("closed/file", "x");
    EXPECT_TRUE(CanRemove(t.Path("open/file")));
    EXPECT_TRUE(CanRemove(t.Path("open/missing")));
    EXPECT_TRUE(CanWrite(t.Path("open/file")));
    EXPECT_FALSE(CanRemove("relative"));
    EXPECT_FALSE(CanRemove("/"));
    if (::geteuid() != 0) {
        ::chmod(t.Path("closed").toUtf8().constData(), 0555);
        EXPECT_FALSE(CanRemove(t.Path("closed/file")));
        ::chmod(t.Path("closed").toUtf8().constData(), 0755);
    }
}
