// The removal server on real files: what each flag removes, and above all what
// it must leave alone (link targets, swapped parents, mount points, kept
// contents, unsafe paths).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSMountProbe.h"
#include "CleanerFS/FSOverwrite.h"
#include "CleanerFS/FSScanner.h"
#include "CleanerFS/FSTreeRemover.h"
#include "common/ImmutableGuard.h"
#include "common/LogCapture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Cleaner::Details::CodeFromErrno;
using Varnex::Cleaner::Details::FSCleanerServer;
using Varnex::Cleaner::Details::FSEntryInfo;
using Varnex::Cleaner::Details::FSScanner;
using Varnex::Cleaner::Details::FSTreeRemover;
using Varnex::Cleaner::Details::MountProbeLimit;
using Varnex::Cleaner::Details::ShredFile;
using Varnex::Cleaner::Details::StatEntry;
namespace FSCleaner = Varnex::Cleaner::Details::FSCleaner;
using Varnex::Test::ImmutableGuard;
using Varnex::Test::LogCapture;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;
using Varnex::Test::TestHome;
using Varnex::Test::WaitUntil;

namespace {

constexpr uid_t nobody = 65534;

FSCleanerServer& Server() {
    return FSCleanerServer::GetInstance();
}

std::string Bytes(const QString& path) {
    return path.toStdString();
}

// A link that no user of the system could be mistaken for: owned by nobody.
void MakeUserLink(const QString& target, const QString& link) {
    ASSERT_EQ(::symlink(Bytes(target).c_str(), Bytes(link).c_str()), 0) << Bytes(link);
    ASSERT_EQ(::lchown(Bytes(link).c_str(), nobody, nobody), 0);
}

// Unmounts on destruction; declare it after the TempTree that holds the mount
// point, so that the tree is never removed through the mount.
class MountGuard {
public:
    bool BindMount(const QString& source, const QString& target) {
        return Mount(source, target, nullptr, MS_BIND, nullptr);
    }
    bool MountTmpfs(const QString& target) {
        return Mount("tmpfs", target, "tmpfs", 0, "size=16m");
    }
    ~MountGuard() {
        for (auto it = m_mounted.rbegin(); it != m_mounted.rend(); ++it) {
            EXPECT_EQ(::umount2(it->c_str(), MNT_DETACH), 0) << *it;
        }
    }

private:
    bool Mount(const QString& source, const QString& target, const char* type, unsigned long flags,
               const char* data) {
        if (::mount(Bytes(source).c_str(), Bytes(target).c_str(), type, flags, data) != 0) {
            return false;
        }
        m_mounted.push_back(Bytes(target));
        return true;
    }
    std::vector<std::string> m_mounted;
};

class FSCleanerServerTest : public ::testing::Test {
protected:
    FSCleanerServerTest() {
        static std::atomic<int> counter{0};
        m_context = QStringLiteral("server-test-%1").arg(counter++);
    }
    ~FSCleanerServerTest() override { Server().Release(m_context); }

    void Plan(const QString& path, int flags = 0) {
        Server().PlanToRemove(m_context, path, flags);
        m_planned.append(path);
    }
    void Plan(const QString& path, int flags, const FSCleanerServer::Expected& seen) {
        Server().PlanToRemove(m_context, path, flags, seen);
        m_planned.append(path);
    }

    // Starts the plan, collects every result and checks the contract every run
    // keeps: one result per planned path, in the planned order.
    QHash<QString, int> Run() {
        QList<FSCleanerServer::Result> results;
        EXPECT_TRUE(Server().Start(m_context));
        EXPECT_TRUE(WaitUntil([&] {
            results += Server().GetResults(m_context);
            return !Server().IsWorking(m_context);
        }));
        QHash<QString, int> codes;
        QStringList order;
        for (const auto& r : results) {
            EXPECT_FALSE(codes.contains(r.path)) << "two results for " << Bytes(r.path);
            codes.insert(r.path, r.code);
            order.append(r.path);
        }
        QStringList expected;
        for (const QString& p : m_planned) {
            if (!expected.contains(p)) {
                expected.append(p);
            }
        }
        EXPECT_EQ(order, expected);
        m_planned.clear();
        return codes;
    }

    int RunOne(const QString& path, int flags = 0) {
        Plan(path, flags);
        return Run().value(path, -1);
    }

    QString m_context;
    QStringList m_planned;
};

}  // namespace

TEST_F(FSCleanerServerTest, SingleEntriesAndTreesPlannedEntryByEntry) {
    TempTree t;
    TempTree outside;
    outside.MakeFile("keep/file", "outside");
    t.MakeFile("file", "x");
    t.MakeDir("empty");
    t.MakeFile("full/kept", "kept by the scan");
    t.MakeSymlink(outside.Path("keep"), "link-to-folder");
    t.MakeSymlink(outside.Path("keep/file"), "link-to-file");
    t.MakeSymlink("/nonexistent/target", "dangling");
    t.MakeFile("root/a/b/f1", "1");
    t.MakeFile("root/a/f2", "2");

    for (const char* name : {"file", "empty", "full", "link-to-folder", "link-to-file", "dangling",
                             "missing", "root/a/b/f1", "root/a/b", "root/a/f2", "root/a", "root"}) {
        Plan(t.Path(name));
    }
    Plan(t.Path("full"), FSCleanerServer::FLAG_RECURSIVE);  // the first flags stay
    const auto codes = Run();
    // Children planned before their folder remove the tree.
    for (const char* name : {"root/a/b/f1", "root/a/b", "root/a/f2", "root/a", "root"}) {
        EXPECT_EQ(codes.value(t.Path(name)), FSCleaner::REMOVED) << name;
    }
    EXPECT_FALSE(t.Exists("root"));
    EXPECT_EQ(codes.value(t.Path("file")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("empty")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("full")), FSCleaner::NOT_EMPTY);
    EXPECT_EQ(codes.value(t.Path("link-to-folder")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("link-to-file")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("dangling")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("missing")), FSCleaner::NOT_FOUND);
    EXPECT_FALSE(t.Exists("file"));
    EXPECT_FALSE(t.Exists("link-to-folder"));
    EXPECT_FALSE(t.Exists("dangling"));
    EXPECT_EQ(t.Read("full/kept"), "kept by the scan");
    EXPECT_EQ(outside.Read("keep/file"), "outside");
}

// A file to be shredded whose folder moved away before its turn (a file now
// stands at the folder's path) was not shredded: never reported so.
TEST_F(FSCleanerServerTest, AFileGoneBeforeItsShreddingIsNotShredded) {
    TempTree t;
    t.MakeFile("moved/secret", "secret");
    Plan(t.Path("moved/secret"), FSCleanerServer::FLAG_SHRED);
    ASSERT_EQ(::rename(t.Bytes("moved").c_str(), t.Bytes("elsewhere").c_str()), 0);
    t.MakeFile("moved", "a file now");
    EXPECT_EQ(Run().value(t.Path("moved/secret")), FSCleaner::FAILED);
    EXPECT_EQ(t.Read("elsewhere/secret"), "secret");
}

TEST_F(FSCleanerServerTest, TreesNeverFollowLinksAtAnyDepth) {
    TempTree t;
    TempTree outside;
    outside.MakeFile("target/file", "outside");
    QString rel = "tree";
    for (int depth = 0; depth < 6; ++depth) {
        t.MakeFile(rel + "/file", "inside");
        t.MakeSymlink(outside.Path("target"), rel + "/link-to-folder");
        t.MakeSymlink(outside.Path("target/file"), rel + "/link-to-file");
        rel += QStringLiteral("/sub%1").arg(depth);
    }
    t.MakeFile("file", "single file with flag 2");
    t.MakeSymlink(outside.Path("target"), "planned-link");

    Plan(t.Path("tree"), FSCleanerServer::FLAG_RECURSIVE);
    Plan(t.Path("file"), FSCleanerServer::FLAG_RECURSIVE);
    Plan(t.Path("planned-link"), FSCleanerServer::FLAG_RECURSIVE | FSCleanerServer::FLAG_ADMIN);
    const auto codes = Run();
    EXPECT_EQ(codes.value(t.Path("tree")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("file")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("planned-link")), FSCleaner::REMOVED);
    EXPECT_FALSE(t.Exists("tree"));
    EXPECT_FALSE(t.Exists("planned-link"));
    EXPECT_EQ(outside.Read("target/file"), "outside");
}

TEST_F(FSCleanerServerTest, DeepTreesNeedNoRecursionAndNoDescriptorPerLevel) {
    TempTree t;
    constexpr int depth = 1000;
    // Built by descriptor: the full path grows past what one call may take.
    auto build = [&](const QString& top) {
        t.MakeDir(top);
        int fd = ::open(Bytes(t.Path(top)).c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(fd, 0);
        for (int i = 0; i < depth; ++i) {
            ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
            const int file = ::openat(fd, "f", O_WRONLY | O_CREAT, 0644);
            ASSERT_GE(file, 0);
            ::close(file);
            const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = next;
            ASSERT_GE(fd, 0);
        }
        ::close(fd);
    };
    build("by-flag");
    Plan(t.Path("by-flag"), FSCleanerServer::FLAG_RECURSIVE);
    EXPECT_EQ(Run().value(t.Path("by-flag")), FSCleaner::REMOVED);
    EXPECT_FALSE(t.Exists("by-flag"));

    // The same tree planned entry by entry, deepest first, without flags: the
    // parents are resolved again and again at every depth.
    build("by-plan");
    QStringList folders;
    QString path = t.Path("by-plan");
    for (int i = 0; i < depth; ++i) {
        folders.prepend(path);
        path += "/d";
    }
    folders.prepend(path);
    for (const QString& folder : folders) {
        if (folder != path) {
            Plan(folder + "/f");
        }
        Plan(folder);
    }
    const auto codes = Run();
    EXPECT_EQ(codes.size(), 2 * depth + 1);
    for (auto it = codes.begin(); it != codes.end(); ++it) {
        ASSERT_EQ(it.value(), FSCleaner::REMOVED) << it.key().size();
    }
    EXPECT_FALSE(t.Exists("by-plan"));
}

TEST_F(FSCleanerServerTest, ParentSwappedForAUserLinkIsRefused) {
    TempTree t;
    TempTree outside;
    t.MakeFile("scanned/sub/file", "scanned");
    t.MakeFile("scanned/sub/tree/file", "scanned");
    outside.MakeFile("sub/file", "elsewhere");
    outside.MakeFile("sub/tree/file", "elsewhere");
    Plan(t.Path("scanned/sub/file"));
    Plan(t.Path("scanned/sub/tree"), FSCleanerServer::FLAG_RECURSIVE);
    Plan(t.Path("scanned/sub"));

    // Between the scan and the removal someone swaps the folder for a link.
    ASSERT_EQ(::rename(Bytes(t.Path("scanned")).c_str(), Bytes(t.Path("moved")).c_str()), 0);
    MakeUserLink(outside.Root(), t.Path("scanned"));
    LogCapture log;
    const auto codes = Run();
    EXPECT_EQ(codes.value(t.Path("scanned/sub/file")), FSCleaner::REFUSED);
    EXPECT_EQ(codes.value(t.Path("scanned/sub/tree")), FSCleaner::REFUSED);
    EXPECT_EQ(codes.value(t.Path("scanned/sub")), FSCleaner::REFUSED);
    EXPECT_EQ(outside.Read("sub/file"), "elsewhere");
    EXPECT_EQ(outside.Read("sub/tree/file"), "elsewhere");
    EXPECT_EQ(t.Read("moved/sub/file"), "scanned");
    EXPECT_TRUE(log.Contains(google::WARNING, Bytes(t.Path("scanned/sub/file")) + "\": "))
        << log.Dump();
}

TEST_F(FSCleanerServerTest, SystemLinksOnTheWayAreFollowed) {
    TempTree t;
    t.MakeFile("real/file", "x");
    t.MakeFile("real/tree/file", "x");
    // Owned by root in a folder only root may change: a link of the system,
    // like /tmp or /var on a Mac.
    t.MakeSymlink(t.Path("real"), "system-link");
    struct stat st;
    ASSERT_EQ(::lstat(Bytes(t.Path("system-link")).c_str(), &st), 0);
    if (st.st_uid != 0 || ::geteuid() != 0) {
        GTEST_SKIP() << "needs links owned by root";
    }
    Plan(t.Path("system-link/file"));
    Plan(t.Path("system-link/tree"), FSCleanerServer::FLAG_RECURSIVE);
    const auto codes = Run();
    EXPECT_EQ(codes.value(t.Path("system-link/file")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("system-link/tree")), FSCleaner::REMOVED);
    EXPECT_FALSE(t.Exists("real/file"));
    EXPECT_FALSE(t.Exists("real/tree"));
    EXPECT_TRUE(t.Exists("system-link"));

    // The same root-owned link in a folder others may write to could have been
    // planted there by anyone (moved in from elsewhere): it is not followed.
    t.MakeFile("real/second", "x");
    t.MakeDir("open");
    t.MakeSymlink(t.Path("real"), "open/link");
    ASSERT_EQ(::chmod(Bytes(t.Path("open")).c_str(), 01777), 0);
    EXPECT_EQ(RunOne(t.Path("open/link/second")), FSCleaner::REFUSED);
    EXPECT_TRUE(t.Exists("real/second"));
}

TEST_F(FSCleanerServerTest, TrustedRootLinkIsFollowedWhileItLeadsToTheSameFolder) {
    TempTree t;
    TempTree outside;
    outside.MakeFile("caches/a/file", "cache");
    outside.MakeFile("caches/b", "cache");
    outside.MakeFile("other/a/file", "other");
    t.MakeDir("Library");
    // The user's own link: never a link of the system.
    MakeUserLink(outside.Path("caches"), t.Path("Library/Caches"));

    EXPECT_EQ(RunOne(t.Path("Library/Caches/b")), FSCleaner::REFUSED);
    EXPECT_TRUE(outside.Exists("caches/b"));

    Server().AddTrustedLink(m_context, t.Path("Library/Caches"));
    Plan(t.Path("Library/Caches/a/file"));
    Plan(t.Path("Library/Caches/a"));
    Plan(t.Path("Library/Caches/b"));
    Plan(t.Path("Library/Caches"));  // the link itself: never followed
    const auto codes = Run();
    EXPECT_EQ(codes.value(t.Path("Library/Caches/a/file")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("Library/Caches/a")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("Library/Caches/b")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("Library/Caches")), FSCleaner::REMOVED);
    EXPECT_FALSE(outside.Exists("caches/a"));
    EXPECT_TRUE(outside.Exists("caches"));

    // Pointed elsewhere after it was trusted: refused.
    outside.MakeFile("caches/c", "cache");
    Server().AddTrustedLink(m_context, t.Path("Library/Caches2"));  // not a link: no trust
    MakeUserLink(outside.Path("caches"), t.Path("Library/Caches2"));
    Server().AddTrustedLink(m_context, t.Path("Library/Caches3"));
    MakeUserLink(outside.Path("caches"), t.Path("Library/Caches3"));
    Server().AddTrustedLink(m_context, t.Path("Library/Caches3"));
    ASSERT_EQ(::unlink(Bytes(t.Path("Library/Caches3")).c_str()), 0);
    MakeUserLink(outside.Path("other"), t.Path("Library/Caches3"));
    Plan(t.Path("Library/Caches2/c"));
    Plan(t.Path("Library/Caches3/a/file"));
    const auto later = Run();
    EXPECT_EQ(later.value(t.Path("Library/Caches2/c")), FSCleaner::REFUSED);
    EXPECT_EQ(later.value(t.Path("Library/Caches3/a/file")), FSCleaner::REFUSED);
    EXPECT_TRUE(outside.Exists("caches/c"));
    EXPECT_EQ(outside.Read("other/a/file"), "other");
}

TEST_F(FSCleanerServerTest, HostileNamesAreRemovedAndLoggedOnOneLine) {
    TempTree t;
    const QString names[] = {QStringLiteral("new\nline"),
                             QStringLiteral("colon: blank"),
                             QString::fromUtf8("caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac"),
                             QString(255, QLatin1Char('n')),
                             QString::fromUtf8("\xe2\x80\xa8separator"),
                             QStringLiteral("quote\" and \\ back")};
    for (const QString& name : names) {
        t.MakeFile(name, "x");
        Plan(t.Path(name));
    }
    t.MakeFile("kept\nfolder: x\u2028y\\/inside", "kept");
    Plan(t.Path("kept\nfolder: x\u2028y\\"));
    LogCapture log;
    const auto codes = Run();
    for (const QString& name : names) {
        EXPECT_EQ(codes.value(t.Path(name)), FSCleaner::REMOVED) << Bytes(name);
        EXPECT_FALSE(t.Exists(name));
    }
    EXPECT_EQ(codes.value(t.Path("kept\nfolder: x\u2028y\\")), FSCleaner::NOT_EMPTY);
    const std::string shown = Bytes(t.Path("kept")) + "\\nfolder: x\\u2028y\\\\\": ";
    EXPECT_TRUE(log.Contains(google::WARNING, shown)) << log.Dump();
    for (const auto& line : log.Lines()) {
        EXPECT_EQ(line.message.find('\n'), std::string::npos) << line.message;
    }
}

TEST_F(FSCleanerServerTest, UnsafeAndMalformedPathsAreRefused) {
    TempTree t;
    t.MakeFile("a/file", "x");
    const QString lone = t.Path("a/file") + QChar(0xDC00);
    t.MakeFile("a/file\xef\xbf\xbd", "the lossy spelling of the lone surrogate");
    const QString refused[] = {lone,
                               "a/file",
                               t.Path("a/./file"),
                               t.Path("a//file"),
                               t.Path("a/../a/file"),
                               t.Path("a/file/"),
                               TestHome(),
                               QStringLiteral("/"),
                               QStringLiteral("/tmp"),
                               QString()};
    for (const QString& path : refused) {
        Plan(path);
    }
    const auto codes = Run();
    for (const QString& path : refused) {
        EXPECT_EQ(codes.value(path, -1), FSCleaner::REFUSED) << Bytes(path);
    }
    EXPECT_TRUE(t.Exists("a/file"));
    EXPECT_TRUE(t.Exists("a/file\xef\xbf\xbd"));
    EXPECT_TRUE(QDir(TestHome()).exists());
}

TEST_F(FSCleanerServerTest, TheHomeFolderAndItsAncestorsAreRefusedInAnySpelling) {
    TempTree t;
    TempTree outside;
    t.MakeFile("real/home/Documents/letter", "precious");
    t.MakeFile("real/home/.cache/c", "cache");
    const ScopedEnv home("HOME", t.Path("real/home").toUtf8());
    // A configured root link leading above the home folder.
    MakeUserLink(t.Path("real"), t.Path("alias"));
    Server().AddTrustedLink(m_context, t.Path("alias"));
    MountGuard mounts;
    outside.MakeDir("bound");
    const bool bound = mounts.BindMount(t.Path("real"), outside.Path("bound"));
    const QString through[] = {t.Path("alias/home"), "/proc/self/root" + t.Path("real/home"),
                               "/proc/self/root" + t.Path("real"),
                               "/proc/self/cwd" + t.Path("real/home/Documents")};
    for (const QString& path : through) {
        Plan(path, FSCleanerServer::FLAG_RECURSIVE);
    }
    Plan("/proc/self/root" + t.Path("real/home/Documents/letter"));
    if (bound) {
        Plan(outside.Path("bound/home"), FSCleanerServer::FLAG_RECURSIVE);
        Plan(outside.Path("bound"), FSCleanerServer::FLAG_RECURSIVE);
    }
    Plan(t.Path("alias/home/.cache/c"));  // inside the home folder: the scopes judge
    const auto codes = Run();
    for (auto it = codes.begin(); it != codes.end(); ++it) {
        if (!it.key().endsWith("/c")) {
            EXPECT_EQ(it.value(), FSCleaner::REFUSED) << Bytes(it.key());
        }
    }
    EXPECT_EQ(codes.value(t.Path("alias/home/.cache/c")), FSCleaner::REMOVED);
    EXPECT_EQ(t.Read("real/home/Documents/letter"), "precious");

    // The home folder is a bind mount of a folder inside a planned tree: the
    // tree goes around it.
    t.MakeFile("tree/inner/precious", "home");
    t.MakeFile("tree/other", "x");
    outside.MakeDir("home2");
    if (mounts.BindMount(t.Path("tree/inner"), outside.Path("home2"))) {
        const ScopedEnv inside("HOME", outside.Path("home2").toUtf8());
        EXPECT_EQ(RunOne(t.Path("tree"), FSCleanerServer::FLAG_RECURSIVE), FSCleaner::REFUSED);
        EXPECT_EQ(t.Read("tree/inner/precious"), "home");
        EXPECT_FALSE(t.Exists("tree/other"));
    }
}

namespace {

// Makes the mount checks work as on an older kernel for the guard's life.
class ProbeLimit {
public:
    explicit ProbeLimit(MountProbeLimit limit) {
        Varnex::Cleaner::Details::LimitMountProbesForTests(limit);
    }
    ~ProbeLimit() { Varnex::Cleaner::Details::LimitMountProbesForTests(MountProbeLimit::NONE); }
};

}  // namespace

TEST_F(FSCleanerServerTest, MountPointsAreNeverCrossedNorWrittenThrough) {
    // As this kernel tells mounts, as one before statx told them, and as one
    // without file handles as well.
    for (const MountProbeLimit limit :
         {MountProbeLimit::NONE, MountProbeLimit::NO_STATX, MountProbeLimit::FDINFO_ONLY}) {
        SCOPED_TRACE(static_cast<int>(limit));
        const ProbeLimit probes(limit);
        TempTree t;
        TempTree mounted;
        mounted.MakeFile("data/file", "on the mount");
        mounted.MakeFile("single", "a file mounted on a file");
        mounted.MakeFile("secret", "outside the tree");
        t.MakeFile("tree/file", "x");
        t.MakeFile("tree/sub/file", "x");
        t.MakeDir("tree/sub/mnt");
        t.MakeFile("file-mount", "covered");
        t.MakeFile("shredded/file", "x");
        t.MakeFile("shredded/sub/mounted", "covered");
        t.MakeFile("shredded-alone", "covered");
        MountGuard mounts;
        if (!mounts.BindMount(mounted.Root(), t.Path("tree/sub/mnt"))) {
            GTEST_SKIP() << "cannot bind-mount here";
        }
        ASSERT_TRUE(mounts.BindMount(mounted.Path("single"), t.Path("file-mount")));
        ASSERT_TRUE(mounts.BindMount(mounted.Path("secret"), t.Path("shredded/sub/mounted")));
        ASSERT_TRUE(mounts.BindMount(mounted.Path("secret"), t.Path("shredded-alone")));
        // The mount points themselves, planned alone, and the trees around them.
        Plan(t.Path("file-mount"));
        Plan(t.Path("tree/sub/mnt/data/file"));  // below it: a normal path
        Plan(t.Path("tree/sub/mnt"));
        Plan(t.Path("tree/sub/mnt"), FSCleanerServer::FLAG_RECURSIVE);  // collapses into the first
        Plan(t.Path("tree"), FSCleanerServer::FLAG_RECURSIVE);
        Plan(t.Path("shredded"), FSCleanerServer::FLAG_RECURSIVE | FSCleanerServer::FLAG_SHRED);
        Plan(t.Path("shredded-alone"), FSCleanerServer::FLAG_SHRED);
        const auto codes = Run();
        EXPECT_EQ(codes.value(t.Path("file-mount")), FSCleaner::REFUSED);
        EXPECT_EQ(mounted.Read("single"), "a file mounted on a file");
        EXPECT_EQ(codes.value(t.Path("tree/sub/mnt/data/file")), FSCleaner::REMOVED);
        EXPECT_EQ(codes.value(t.Path("tree/sub/mnt")), FSCleaner::REFUSED);
        EXPECT_EQ(codes.value(t.Path("tree")), FSCleaner::REFUSED);
        EXPECT_FALSE(mounted.Exists("data/file"));
        EXPECT_TRUE(mounted.Exists("data"));
        EXPECT_FALSE(t.Exists("tree/file"));
        EXPECT_FALSE(t.Exists("tree/sub/file"));
        EXPECT_TRUE(t.Exists("tree/sub/mnt"));
        // Overwriting never writes through a file mounted into the tree.
        EXPECT_EQ(codes.value(t.Path("shredded")), FSCleaner::REFUSED);
        EXPECT_EQ(codes.value(t.Path("shredded-alone")), FSCleaner::REFUSED);
        EXPECT_EQ(mounted.Read("secret"), "outside the tree");
        EXPECT_FALSE(t.Exists("shredded/file"));
        EXPECT_TRUE(t.Exists("shredded/sub/mounted"));
    }
}

namespace {

std::map<QString, FSCleanerServer::Expected> ScanIdentities(const QString& root) {
    FSScanner scanner(4);
    scanner.Scan({Bytes(root)});
    std::map<QString, FSCleanerServer::Expected> seen;
    EXPECT_TRUE(WaitUntil([&] {
        const FSScanner::Results batch = scanner.GetResults();
        for (const FSScanner::Result& r : batch) {
            seen[QString::fromStdString(r.path)] = {r.isDirectory, r.device, r.inode, r.birth};
        }
        return batch.empty() && !scanner.IsWorking();
    }));
    return seen;
}

// Puts a new entry in the place of `path` through a rename, so that the new
// one never reuses the old inode number.
void ReplaceWithFile(TempTree& t, const QString& rel, const QByteArray& content) {
    t.MakeFile(rel + ".new", content);
    Varnex::Test::RemoveTestTree(Bytes(t.Path(rel)));
    ASSERT_EQ(::rename(Bytes(t.Path(rel + ".new")).c_str(), Bytes(t.Path(rel)).c_str()), 0);
}

}  // namespace

TEST_F(FSCleanerServerTest, OnlyWhatTheScanSawIsRemoved) {
    TempTree t;
    for (const char* rel :
         {"s/file", "s/swapped", "s/became-folder", "s/folder/inside", "s/tree/a/file",
          "s/swapped-tree/a/file", "s/twice", "s/type-only", "s/reborn"}) {
        t.MakeFile(rel, "scanned");
    }
    t.MakeDir("s/became-file");
    t.MakeSymlink("target", "s/link");
    const auto seen = ScanIdentities(t.Path("s"));
    ASSERT_EQ(seen.size(), 17u);
    const auto saw = [&](const char* rel) { return seen.at(t.Path(rel)); };
    // Unlinked and made again: ext4 gives the new file the freed inode number,
    // and only its birth time tells it from the one scanned. The same for a
    // file scanned as a root of its own.
    t.MakeFile("root-file", "scanned");
    const auto rootSeen = ScanIdentities(t.Path("root-file"));
    ASSERT_EQ(rootSeen.size(), 1u);
    for (const char* rel : {"s/reborn", "root-file"}) {
        ASSERT_EQ(::unlink(t.Bytes(rel).c_str()), 0);
        t.MakeFile(rel, "new");
    }
    Plan(t.Path("root-file"), 0, rootSeen.begin()->second);
    struct stat reborn;
    ASSERT_EQ(::lstat(t.Bytes("s/reborn").c_str(), &reborn), 0);
    if (reborn.st_ino == saw("s/reborn").inode) {
        EXPECT_NE(saw("s/reborn").birth, 0) << "no birth time on this file system";
    }

    // Between the scan and the removal.
    ReplaceWithFile(t, "s/swapped", "new");
    ReplaceWithFile(t, "s/became-file", "new");
    ReplaceWithFile(t, "s/type-only", "new");
    Varnex::Test::RemoveTestTree(Bytes(t.Path("s/became-folder")));
    t.MakeFile("s/became-folder/inside", "new");
    ASSERT_EQ(::rename(Bytes(t.Path("s/swapped-tree")).c_str(), Bytes(t.Path("moved")).c_str()), 0);
    t.MakeFile("s/swapped-tree/new", "new");

    const int tree = FSCleanerServer::FLAG_RECURSIVE;
    for (const char* rel : {"s/file", "s/link", "s/folder/inside", "s/folder", "s/swapped",
                            "s/became-file", "s/became-folder", "s/reborn"}) {
        Plan(t.Path(rel), 0, saw(rel));
    }
    Plan(t.Path("s/tree"), tree, saw("s/tree"));
    Plan(t.Path("s/swapped-tree"), tree | FSCleanerServer::FLAG_SHRED, saw("s/swapped-tree"));
    // Planned twice: the first identity stays, even a wrong one.
    Plan(t.Path("s/twice"), 0, saw("s/file"));
    Plan(t.Path("s/twice"), 0, saw("s/twice"));
    // Without an inode only the type is compared.
    Plan(t.Path("s/type-only"), 0, FSCleanerServer::Expected{false, 0, 0});
    LogCapture log;
    const auto codes = Run();
    for (const char* rel :
         {"s/file", "s/link", "s/folder/inside", "s/folder", "s/tree", "s/type-only"}) {
        EXPECT_EQ(codes.value(t.Path(rel)), FSCleaner::REMOVED) << rel;
        EXPECT_FALSE(t.Exists(rel)) << rel;
    }
    for (const char* rel : {"s/swapped", "s/became-file", "s/became-folder", "s/swapped-tree",
                            "s/twice", "s/reborn", "root-file"}) {
        EXPECT_EQ(codes.value(t.Path(rel)), FSCleaner::REFUSED) << rel;
        EXPECT_TRUE(t.Exists(rel)) << rel;
    }
    EXPECT_EQ(t.Read("s/swapped"), "new");
    EXPECT_EQ(t.Read("s/reborn"), "new");
    EXPECT_EQ(t.Read("s/became-file"), "new");
    EXPECT_EQ(t.Read("s/became-folder/inside"), "new");
    EXPECT_EQ(t.Read("s/swapped-tree/new"), "new");
    EXPECT_EQ(t.Read("moved/a/file"), "scanned");
    EXPECT_TRUE(log.Contains(google::WARNING, Bytes(t.Path("s/swapped")) + "\": another entry"))
        << log.Dump();
}

// A file judged at some moment (a virus finding confirmed) is removed only
// while nothing changed it since: rewritten in place, it keeps its inode and
// birth, and only its status change time tells.
TEST_F(FSCleanerServerTest, AFileChangedAfterItsBoundStays) {
    TempTree t;
    t.MakeFile("judged", "infected");
    t.MakeFile("rewritten", "infected");
    const auto seen = ScanIdentities(t.Path("judged"));
    const auto seen2 = ScanIdentities(t.Path("rewritten"));
    ASSERT_EQ(seen.size() + seen2.size(), 2u);
    const auto changeOf = [&](const char* rel) {
        struct statx stx {};
        EXPECT_EQ(::statx(AT_FDCWD, t.Bytes(rel).c_str(), AT_SYMLINK_NOFOLLOW, STATX_CTIME, &stx),
                  0);
        return static_cast<long long>(stx.stx_ctime.tv_sec) * 1000000000LL + stx.stx_ctime.tv_nsec;
    };
    FSCleanerServer::Expected judged = seen.begin()->second;
    judged.unchangedSince = changeOf("judged");
    FSCleanerServer::Expected rewritten = seen2.begin()->second;
    rewritten.unchangedSince = changeOf("rewritten");
    // Rewritten in place after the judgement (the clock moves on first).
    ASSERT_TRUE(WaitUntil([&] {
        QFile file(t.Path("rewritten"));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write("the user's") != 10) {
            return false;
        }
        file.close();
        return changeOf("rewritten") > rewritten.unchangedSince;
    }));
    Plan(t.Path("judged"), 0, judged);
    Plan(t.Path("rewritten"), 0, rewritten);
    const auto codes = Run();
    EXPECT_EQ(codes.value(t.Path("judged")), FSCleaner::REMOVED);
    EXPECT_FALSE(t.Exists("judged"));
    EXPECT_EQ(codes.value(t.Path("rewritten")), FSCleaner::REFUSED);
    EXPECT_EQ(t.Read("rewritten"), "the user's");
}

TEST_F(FSCleanerServerTest, ATreeMovedAwayOrReplacedWhileItIsRemovedIsNotRemoved) {
    TempTree t;
    t.MakeFile("away/a/file", "x");
    t.MakeFile("replaced/a/file", "x");
    t.MakeFile("kept/a/file", "x");
    int emptied = 0;
    // Runs on the worker thread, between emptying a tree and removing its top.
    FSTreeRemover::SetEmptiedHookForTests([&] {
        if (++emptied == 1) {
            ::rename(Bytes(t.Path("away")).c_str(), Bytes(t.Path("away-moved")).c_str());
        } else if (emptied == 2) {
            ::rename(Bytes(t.Path("replaced")).c_str(), Bytes(t.Path("replaced-old")).c_str());
            ::mkdir(Bytes(t.Path("replaced")).c_str(), 0755);
        }
    });
    Plan(t.Path("away"), FSCleanerServer::FLAG_RECURSIVE);
    Plan(t.Path("replaced"), FSCleanerServer::FLAG_RECURSIVE);
    Plan(t.Path("kept"), FSCleanerServer::FLAG_RECURSIVE);
    const auto codes = Run();
    FSTreeRemover::SetEmptiedHookForTests({});
    EXPECT_EQ(emptied, 3);
    EXPECT_EQ(codes.value(t.Path("away")), FSCleaner::FAILED);
    EXPECT_EQ(codes.value(t.Path("replaced")), FSCleaner::FAILED);
    EXPECT_EQ(codes.value(t.Path("kept")), FSCleaner::REMOVED);
    EXPECT_TRUE(t.Exists("away-moved"));
    EXPECT_TRUE(t.Exists("replaced"));
    EXPECT_TRUE(t.Exists("replaced-old"));
    EXPECT_FALSE(t.Exists("kept"));
}

TEST_F(FSCleanerServerTest, NothingRunsWhileHomeOrTheSystemRootIsUnusable) {
    TempTree t;
    t.MakeFile("file", "stays");
    // The lossy spelling would name a sibling folder, "h\xEF\xBF\xBD"; a
    // relative one another folder from each working folder.
    const std::pair<const char*, QByteArray> unusable[] = {
        {"HOME", qgetenv("HOME") + "\xff"},
        {"KLARVIK_SYSROOT", qgetenv("KLARVIK_SYSROOT") + "\xff"},
        {"HOME", "home"}};
    for (const auto& [variable, value] : unusable) {
        const ScopedEnv env(variable, value);
        LogCapture log;
        Plan(t.Path("file"));
        EXPECT_FALSE(Server().Start(m_context)) << variable;
        EXPECT_EQ(Server().GetState(m_context), FSCleanerServer::RUN_FAILED);
        EXPECT_FALSE(Server().IsWorking(m_context));
        EXPECT_TRUE(
            log.Contains(google::WARNING, std::string(variable) + " is not an absolute UTF-8 path"))
            << log.Dump();
        m_planned.clear();
    }
    EXPECT_EQ(t.Read("file"), "stays");
    EXPECT_FALSE(Server().Start(m_context));  // the refused plan is gone
}

TEST_F(FSCleanerServerTest, UnreadableFoldersFailWithPermissionDenied) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads every folder";
    }
    TempTree t;
    t.MakeFile("tree/closed/file", "x");
    t.MakeFile("tree/open", "x");
    ASSERT_EQ(::chmod(Bytes(t.Path("tree/closed")).c_str(), 0), 0);
    Plan(t.Path("tree"), FSCleanerServer::FLAG_RECURSIVE);
    Plan(t.Path("tree/closed/file"), FSCleanerServer::FLAG_ADMIN);
    const auto codes = Run();
    EXPECT_EQ(codes.value(t.Path("tree")), FSCleaner::PERMISSION_DENIED);
    EXPECT_EQ(codes.value(t.Path("tree/closed/file")), FSCleaner::PERMISSION_DENIED);
    ::chmod(Bytes(t.Path("tree/closed")).c_str(), 0755);
    EXPECT_TRUE(t.Exists("tree/closed/file"));
}

TEST_F(FSCleanerServerTest, RefusalsAreReportedAndPartTreesAreNeverRemoved) {
    TempTree t;
    t.MakeFile("tree/a/locked", "x");
    t.MakeFile("tree/a/other", "x");
    t.MakeFile("tree/b/file", "x");
    t.MakeFile("single", "x");
    ImmutableGuard lockedInTree;
    ImmutableGuard lockedAlone;
    if (!lockedInTree.Set(t.Path("tree/a/locked")) || !lockedAlone.Set(t.Path("single"))) {
        GTEST_SKIP() << "immutable files are not available here";
    }
    Plan(t.Path("tree"), FSCleanerServer::FLAG_RECURSIVE | FSCleanerServer::FLAG_ADMIN);
    Plan(t.Path("single"), FSCleanerServer::FLAG_ADMIN);
    const auto codes = Run();
    EXPECT_EQ(codes.value(t.Path("tree")), FSCleaner::PERMISSION_DENIED);
    EXPECT_EQ(codes.value(t.Path("single")), FSCleaner::PERMISSION_DENIED);
    EXPECT_TRUE(t.Exists("tree/a/locked"));
    EXPECT_TRUE(t.Exists("single"));
    // The rest of the tree went; what holds the locked file stayed.
    EXPECT_FALSE(t.Exists("tree/a/other"));
    EXPECT_FALSE(t.Exists("tree/b"));
}

TEST_F(FSCleanerServerTest, OverwriteDestroysTheContentsOfASingleLinkFile) {
    TempTree t;
    const QByteArray secret(100000, 's');
    t.MakeFile("single", secret);
    t.MakeFile("shared", "shared contents");
    t.MakeHardLink("shared", "other-name");
    TempTree outside;
    outside.MakeFile("target", "target contents");
    t.MakeSymlink(outside.Path("target"), "link");
    t.MakeFile("tree/inner", secret);

    // A descriptor kept open reads what becomes of the inode.
    const int single = ::open(Bytes(t.Path("single")).c_str(), O_RDONLY);
    const int inner = ::open(Bytes(t.Path("tree/inner")).c_str(), O_RDONLY);
    ASSERT_GE(single, 0);
    ASSERT_GE(inner, 0);
    Plan(t.Path("single"), FSCleanerServer::FLAG_SHRED | FSCleanerServer::FLAG_ADMIN);
    Plan(t.Path("shared"), FSCleanerServer::FLAG_SHRED);
    Plan(t.Path("link"), FSCleanerServer::FLAG_SHRED);
    Plan(t.Path("tree"), FSCleanerServer::FLAG_SHRED | FSCleanerServer::FLAG_RECURSIVE);
    const auto codes = Run();
    EXPECT_EQ(codes.value(t.Path("single")), FSCleaner::REMOVED);
    // Its contents live on under the other name: neither shredded nor removed.
    EXPECT_EQ(codes.value(t.Path("shared")), FSCleaner::REFUSED);
    EXPECT_EQ(codes.value(t.Path("link")), FSCleaner::REMOVED);
    EXPECT_EQ(codes.value(t.Path("tree")), FSCleaner::REMOVED);
    for (const int fd : {single, inner}) {
        QByteArray after(secret.size(), 'x');
        EXPECT_EQ(::pread(fd, after.data(), after.size(), 0), secret.size());
        EXPECT_EQ(after, QByteArray(secret.size(), '\0'));
        ::close(fd);
    }
    EXPECT_FALSE(t.Exists("single"));
    EXPECT_EQ(t.Read("shared"), "shared contents");
    EXPECT_EQ(t.Read("other-name"), "shared contents");
    EXPECT_EQ(outside.Read("target"), "target contents");
}

TEST(FSOverwrite, NothingIsWrittenThatWouldNotGoOrWouldStayReadableElsewhere) {
    // What the remover saw a moment ago was a regular file; by the time it
    // opens it for writing, a link or a FIFO is there. Nothing may be written
    // and the entry must be refused (code 5) and left, never unlinked.
    TempTree t;
    TempTree outside;
    outside.MakeFile("target", "target contents");
    t.MakeFile("seen", "scanned");
    const int dir = ::open(Bytes(t.Root()).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    FSEntryInfo seen;
    ASSERT_EQ(StatEntry(dir, "seen", &seen), 0);
    for (const bool fifo : {false, true}) {
        ASSERT_EQ(::unlink(Bytes(t.Path("seen")).c_str()), 0);
        if (fifo) {
            ASSERT_EQ(::mkfifo(Bytes(t.Path("seen")).c_str(), 0600), 0);
        } else {
            t.MakeSymlink(outside.Path("target"), "seen");
        }
        std::string why;
        const int err = ShredFile(dir, "seen", seen, &why);
        EXPECT_EQ(err, ESTALE) << why;
        EXPECT_EQ(CodeFromErrno(err, false), FSCleaner::REFUSED);
        EXPECT_TRUE(t.Exists("seen")) << "left under its own name";
    }
    EXPECT_EQ(outside.Read("target"), "target contents");

    // A file that could not be removed afterwards (its folder is immutable,
    // as a sticky or foreign folder would be to a user) is never written.
    t.MakeFile("locked/file", "kept whole");
    FSEntryInfo locked;
    const int lockedDir = ::open(t.Bytes("locked").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(StatEntry(lockedDir, "file", &locked), 0);
    {
        ImmutableGuard immutable;
        if (immutable.Set(t.Path("locked"))) {
            std::string why;
            EXPECT_NE(ShredFile(lockedDir, "file", locked, &why), 0);
            EXPECT_EQ(t.Read("locked/file"), "kept whole") << why;
        }
    }
    // Mounted elsewhere too: the contents would stay readable there.
    outside.MakeFile("bound", "");
    MountGuard mounts;
    if (mounts.BindMount(t.Path("locked/file"), outside.Path("bound"))) {
        std::string why;
        EXPECT_EQ(ShredFile(lockedDir, "file", locked, &why), EMLINK);
        EXPECT_EQ(outside.Read("bound"), "kept whole") << why;
        EXPECT_EQ(t.Read("locked/file"), "kept whole");
    }
    ::close(lockedDir);
    ::close(dir);
}

namespace {

// The home trash of the test home, emptied before and after.
class TrashTest : public FSCleanerServerTest {
protected:
    TrashTest() : m_trash(TestHome() + "/.local/share/Trash") { Clean(); }
    ~TrashTest() override { Clean(); }
    void Clean() { Varnex::Test::RemoveTestTree(Bytes(TestHome() + "/.local")); }
    QByteArray Info(const QString& name) const {
        QFile f(m_trash + "/info/" + name + ".trashinfo");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    const QString m_trash;
};

const QRegularExpression infoFormat(
    "^\\[Trash Info\\]\nPath=([^\n]*)\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n$");

}  // namespace

TEST_F(TrashTest, MovesToTheHomeTrashWithItsInformation) {
    TempTree t;
    const QString odd = QString::fromUtf8("a b%\ncaf\xc3\xa9");
    t.MakeFile("one/same", "first");
    t.MakeFile("two/same", "second");
    t.MakeFile(odd, "odd");
    t.MakeFile("folder/inside", "whole folder");
    for (const QString& rel :
         {QStringLiteral("one/same"), QStringLiteral("two/same"), odd, QStringLiteral("folder")}) {
        Plan(t.Path(rel), FSCleanerServer::FLAG_TRASH);
    }
    const auto codes = Run();
    for (auto it = codes.begin(); it != codes.end(); ++it) {
        EXPECT_EQ(it.value(), FSCleaner::REMOVED) << Bytes(it.key());
    }
    EXPECT_FALSE(t.Exists("one/same"));
    EXPECT_FALSE(t.Exists(odd));
    QFile first(m_trash + "/files/same");
    QFile second(m_trash + "/files/same.2");
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    ASSERT_TRUE(second.open(QIODevice::ReadOnly));
    EXPECT_EQ(first.readAll(), "first");
    EXPECT_EQ(second.readAll(), "second");
    EXPECT_TRUE(QFile::exists(m_trash + "/files/folder/inside"));

    const auto match = infoFormat.match(QString::fromUtf8(Info("same.2")));
    ASSERT_TRUE(match.hasMatch()) << Info("same.2").toStdString();
    EXPECT_EQ(match.captured(1), t.Path("two/same"));
    const auto oddMatch = infoFormat.match(QString::fromUtf8(Info(odd)));
    ASSERT_TRUE(oddMatch.hasMatch()) << Info(odd).toStdString();
    EXPECT_TRUE(oddMatch.captured(1).endsWith("/a%20b%25%0Acaf%C3%A9"))
        << oddMatch.captured(1).toStdString();
    EXPECT_EQ(QByteArray::fromPercentEncoding(oddMatch.captured(1).toLatin1()),
              t.Path(odd).toUtf8());
}

TEST_F(TrashTest, AFolderWithSomethingMountedInsideStaysWhereItIs) {
    TempTree t;
    TempTree outside;
    outside.MakeFile("data", "mounted, not ours");
    t.MakeFile("holder/file", "x");
    t.MakeDir("holder/deep/mnt");
    MountGuard mounts;
    if (!mounts.BindMount(outside.Root(), t.Path("holder/deep/mnt"))) {
        GTEST_SKIP() << "cannot bind-mount here";
    }
    EXPECT_EQ(RunOne(t.Path("holder"), FSCleanerServer::FLAG_TRASH), FSCleaner::REFUSED);
    EXPECT_EQ(t.Read("holder/deep/mnt/data"), "mounted, not ours");
    EXPECT_TRUE(t.Exists("holder/file"));
    EXPECT_FALSE(QFile::exists(m_trash + "/files/holder"));
}

TEST_F(TrashTest, AnUnusableTrashLeavesTheFile) {
    TempTree t;
    t.MakeFile("file", "stays");
    QDir().mkpath(TestHome() + "/.local/share");
    {
        QFile blocker(m_trash);  // a file where the trash folder should be
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    for (const bool undecodable : {false, true}) {
        // A data folder whose name is not UTF-8 is not taken in any spelling,
        // nor the default one instead.
        if (undecodable) {
            ASSERT_TRUE(QFile::remove(m_trash));
        }
        const ScopedEnv env("XDG_DATA_HOME",
                            undecodable ? t.Root().toUtf8() + "/data\xff" : QByteArray());
        LogCapture log;
        const int code = RunOne(t.Path("file"), FSCleanerServer::FLAG_TRASH);
        EXPECT_NE(code, FSCleaner::REMOVED);
        EXPECT_NE(code, FSCleaner::NOT_FOUND);
        EXPECT_EQ(t.Read("file"), "stays");
        EXPECT_TRUE(log.Contains(
            google::WARNING, undecodable ? "XDG_DATA_HOME is not valid UTF-8" : "the home trash"))
            << log.Dump();
        EXPECT_FALSE(t.ExistsBytes("data\xff") || t.Exists("data\xef\xbf\xbd"));
    }
    EXPECT_FALSE(QFile::exists(m_trash));
}

TEST_F(TrashTest, OtherVolumesUseTheTrashAtTheirTop) {
    TempTree t;
    t.MakeDir("volume");
    MountGuard mounts;
    if (!mounts.MountTmpfs(t.Path("volume"))) {
        GTEST_SKIP() << "cannot mount a file system here";
    }
    const QString uid = QString::number(::geteuid());
    t.MakeFile("volume/sub/file", "on another volume");
    EXPECT_EQ(RunOne(t.Path("volume/sub/file"), FSCleanerServer::FLAG_TRASH), FSCleaner::REMOVED);
    EXPECT_FALSE(t.Exists("volume/sub/file"));
    EXPECT_EQ(t.Read("volume/.Trash-" + uid + "/files/file"), "on another volume");
    const auto match = infoFormat.match(
        QString::fromUtf8(t.Read("volume/.Trash-" + uid + "/info/file.trashinfo")));
    ASSERT_TRUE(match.hasMatch());
    EXPECT_EQ(match.captured(1), "sub/file");
    EXPECT_FALSE(QFile::exists(m_trash + "/files/file"));

    // A volume whose trash cannot be made: the file stays.
    t.MakeDir("volume2");
    if (!mounts.MountTmpfs(t.Path("volume2"))) {
        GTEST_SKIP() << "cannot mount a second file system";
    }
    t.MakeFile("volume2/.Trash-" + uid, "not a folder");
    t.MakeFile("volume2/file", "stays");
    LogCapture log;
    const int code = RunOne(t.Path("volume2/file"), FSCleanerServer::FLAG_TRASH);
    EXPECT_TRUE(log.Contains(google::WARNING, "/volume2/.Trash-" + uid.toStdString()))
        << log.Dump();
    EXPECT_NE(code, FSCleaner::REMOVED);
    EXPECT_NE(code, FSCleaner::NOT_FOUND);
    EXPECT_EQ(t.Read("volume2/file"), "stays");
}

TEST(FSCleanerServerPrepare, AdministratorRightsOnlyAsRoot) {
    EXPECT_TRUE(Server().PrepareInternal(false));
    EXPECT_EQ(Server().PrepareInternal(true), ::geteuid() == 0);
}
