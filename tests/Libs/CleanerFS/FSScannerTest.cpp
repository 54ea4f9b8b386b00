// FSScanner on real trees: the delivery order, the child counts, what is
// reported and what is kept, links, odd names, deep trees and mounts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QString>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "CleanerCommon/Checks.h"
#include "CleanerFS/FSMountProbe.h"
#include "CleanerFS/FSScanner.h"
#include "Platform/PathCodec.h"
#include "common/LogCapture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

namespace Varnex::Cleaner::Details {
namespace {

using Varnex::Test::TempTree;
using Result = FSScanner::Result;

std::string Utf8(const QString& s) {
    return Platform::EncodePathOrEmpty(s);
}

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Takes results until the scanner is idle, as the scopes do: poll, then ask
// IsWorking().
FSScanner::Results ScanAll(FSScanner& scanner, const std::list<std::string>& roots) {
    scanner.Scan(roots);
    FSScanner::Results all;
    bool idle = Varnex::Test::WaitUntil([&] {
        FSScanner::Results batch = scanner.GetResults();
        all.insert(all.end(), batch.begin(), batch.end());
        return batch.empty() && !scanner.IsWorking();
    });
    EXPECT_TRUE(idle) << "scan did not finish";
    return all;
}

std::map<std::string, Result> ByPath(const FSScanner::Results& results) {
    std::map<std::string, Result> map;
    for (const Result& r : results) {
        EXPECT_TRUE(map.emplace(r.path, r).second) << "reported twice: " << r.path;
    }
    return map;
}

// The contract every scope relies on: each record's parent came before it
// (unless it is a root), and each folder's `required` equals the children
// that were reported.
void ExpectContract(const FSScanner::Results& results, const std::set<std::string>& roots) {
    std::set<std::string> seenFolders;
    std::map<std::string, int> children;
    std::map<std::string, int> required;
    for (const Result& r : results) {
        ASSERT_FALSE(r.path.empty());
        EXPECT_EQ(r.path[0], '/') << r.path;
        EXPECT_TRUE(r.path == "/" || r.path.back() != '/') << r.path;
        EXPECT_EQ(r.path.find("//"), std::string::npos) << r.path;
        EXPECT_TRUE(Platform::IsValidUtf8(r.path.data(), r.path.size())) << r.path;
        if (roots.count(r.path) == 0) {
            const std::string parent = Parent(r.path);
            EXPECT_TRUE(seenFolders.count(parent)) << "child before its folder: " << r.path;
            ++children[parent];
        }
        if (r.isDirectory) {
            seenFolders.insert(r.path);
            required[r.path] = r.required;
        } else {
            EXPECT_EQ(r.required, 0) << r.path;
            EXPECT_EQ(r.kept, 0) << r.path;
        }
    }
    for (const auto& [folder, count] : required) {
        EXPECT_EQ(children[folder], count) << "required children of " << folder;
    }
}

std::set<std::string> Roots(std::initializer_list<std::string> roots) {
    return roots;
}

TEST(FSScannerTest, ReportsTreeWithCountsSizesAndOddNames) {
    TempTree tree;
    TempTree outside;
    outside.MakeFile("secret/file", "x");
    tree.MakeSparseFile("a/big", 5000000);
    tree.MakeFile("a/b/small", "12345");
    tree.MakeDir("a/b/empty");
    tree.MakeFile(QStringLiteral("a/new\nline"), "1");
    tree.MakeFile(QStringLiteral("a/colon: name"), "12");
    tree.MakeFile(QStringLiteral("a/Gr\u00fc\u00dfe \u65e5\u672c"), "123");
    const QString longName(255, QLatin1Char('n'));
    tree.MakeFile(QStringLiteral("a/") + longName, "1234");
    // Links to an outside folder at every depth: files of their own size.
    const QString target = outside.Path("secret");
    tree.MakeSymlink(target, "link0");
    tree.MakeSymlink(target, "a/link1");
    tree.MakeSymlink(target, "a/b/link2");
    tree.MakeSymlink("missing-target", "a/b/dangling");
    ASSERT_EQ(::mkfifo(tree.Bytes("a/fifo").c_str(), 0644), 0);

    FSScanner scanner(20);
    const std::string root = Utf8(tree.Root());
    const FSScanner::Results results = ScanAll(scanner, {root});
    ExpectContract(results, Roots({root}));
    const auto map = ByPath(results);
    ASSERT_EQ(map.size(), 14u);

    EXPECT_EQ(results.front().path, root);
    EXPECT_TRUE(map.at(root).isDirectory);
    EXPECT_EQ(map.at(root).required, 2);
    EXPECT_EQ(map.at(root).kept, 0);
    const Result& a = map.at(root + "/a");
    EXPECT_EQ(a.required, 7);  // big, b, 4 odd names, link1
    EXPECT_EQ(a.kept, 1);      // the FIFO
    EXPECT_TRUE(a.error.empty());
    EXPECT_EQ(map.at(root + "/a/big").size, 5000000);
    EXPECT_EQ(map.at(root + "/a/b/small").size, 5);
    EXPECT_EQ(map.at(root + "/a/new\nline").size, 1);
    EXPECT_EQ(map.at(root + "/a/colon: name").size, 2);
    EXPECT_EQ(map.at(Utf8(tree.Path(QStringLiteral("a/Gr\u00fc\u00dfe \u65e5\u672c")))).size, 3);
    EXPECT_EQ(map.at(root + "/a/" + Utf8(longName)).size, 4);
    EXPECT_EQ(map.at(root + "/a/b/empty").required, 0);
    EXPECT_TRUE(map.at(root + "/a/b/empty").isDirectory);
    for (const char* link : {"/link0", "/a/link1", "/a/b/link2"}) {
        const Result& r = map.at(root + link);
        EXPECT_FALSE(r.isDirectory) << link;
        EXPECT_EQ(r.size, static_cast<long long>(target.toUtf8().size())) << link;
        EXPECT_EQ(map.count(root + link + "/file"), 0u) << "followed " << link;
    }
    EXPECT_EQ(map.at(root + "/a/b/dangling").size, 14);
    EXPECT_EQ(map.count(root + "/a/fifo"), 0u);
    for (const Result& r : results) {
        EXPECT_EQ(r.adminRightsRequired, !CanRemove(Platform::DecodePathOrNull(r.path))) << r.path;
        // The identity the removal server compares with, folders included.
        struct stat st;
        ASSERT_EQ(::lstat(r.path.c_str(), &st), 0) << r.path;
        EXPECT_EQ(r.device, st.st_dev) << r.path;
        EXPECT_EQ(r.inode, st.st_ino) << r.path;
    }

    // Handed over decoded: the same records, each path as text and no bytes,
    // the odd names included; filters still see the bytes.
    FSScanner decoding(20);
    decoding.SetPathsDecoded(true);
    std::atomic<int> filtered{0};
    decoding.AddResultFilter([&](const std::string& path) {
        if (!path.empty() && path[0] == '/') {
            ++filtered;
        }
        return true;
    });
    FSScanner::Results decoded = ScanAll(decoding, {root});
    EXPECT_GT(filtered.load(), 0);
    for (Result& r : decoded) {
        EXPECT_TRUE(r.path.empty()) << r.path;
        ASSERT_FALSE(r.text.isNull());
        r.path = Utf8(r.text);
    }
    ExpectContract(decoded, Roots({root}));
    const auto again = ByPath(decoded);
    ASSERT_EQ(again.size(), map.size());
    for (const auto& [path, r] : map) {
        ASSERT_EQ(again.count(path), 1u) << path;
        const Result& d = again.at(path);
        EXPECT_EQ(d.text, Platform::DecodePathOrNull(path)) << path;
        EXPECT_EQ(std::make_tuple(d.isDirectory, d.size, d.required, d.kept, d.inode),
                  std::make_tuple(r.isDirectory, r.size, r.required, r.kept, r.inode))
            << path;
    }
}

// A folder of more entries than the result queue holds comes as one batch
// larger than the queue, among the small batches of other folders: decoded,
// every record still comes once, after its folder, naming its own entry; a
// scanner that does not decode still hands over bytes.
TEST(FSScannerTest, DecodedPathsOfAFolderWiderThanTheQueueComeOnceInOrder) {
    TempTree tree;
    constexpr int wide = 70000;
    tree.MakeDir("wide/sub");
    const std::string wideBytes = tree.Bytes("wide");
    for (int i = 0; i < wide; ++i) {
        const std::string name = wideBytes + (i % 7 == 0 ? "/\xc3\xa9t\xc3\xa9 " : "/f") +
                                 std::to_string(i) + (i % 11 == 0 ? "\nx: y" : "");
        const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << name;
        ::close(fd);
    }
    tree.MakeFileBytes("wide/bad\xff", "1");
    tree.MakeFile(QStringLiteral("wide/sub/") + QString(255, QChar(0x65e5)).left(85), "1");
    for (int d = 0; d < 40; ++d) {
        for (int i = 0; i < 30; ++i) {
            tree.MakeFile(QString("small%1/n%2").arg(d).arg(i), "1");
        }
    }
    const std::string root = Utf8(tree.Root());

    FSScanner plain(20);
    const FSScanner::Results bytes = ScanAll(plain, {root});
    ExpectContract(bytes, Roots({root}));
    for (const Result& r : bytes) {
        ASSERT_TRUE(r.text.isNull()) << r.path;
    }
    const auto map = ByPath(bytes);
    const std::size_t expected = 1 + 1 + wide + 1 + 1 + 40 * 31;
    ASSERT_EQ(map.size(), expected);

    FSScanner decoding(20);
    decoding.SetPathsDecoded(true);
    decoding.Scan({root});
    FSScanner::Results decoded;
    // A consumer slower than the walkers: the queue fills and waits.
    ASSERT_TRUE(Varnex::Test::WaitUntil([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        FSScanner::Results batch = decoding.GetResults();
        decoded.insert(decoded.end(), std::make_move_iterator(batch.begin()),
                       std::make_move_iterator(batch.end()));
        return batch.empty() && !decoding.IsWorking();
    }));
    for (Result& r : decoded) {
        ASSERT_TRUE(r.path.empty()) << r.path;
        ASSERT_FALSE(r.text.isNull());
        r.path = Utf8(r.text);
        ASSERT_FALSE(r.path.empty());
    }
    ExpectContract(decoded, Roots({root}));
    const auto again = ByPath(decoded);
    ASSERT_EQ(again.size(), expected);
    for (const auto& [path, r] : map) {
        ASSERT_EQ(again.count(path), 1u) << path;
        const Result& d = again.at(path);
        EXPECT_EQ(std::make_tuple(d.isDirectory, d.required, d.kept, d.inode),
                  std::make_tuple(r.isDirectory, r.required, r.kept, r.inode))
            << path;
    }
    EXPECT_EQ(again.at(Utf8(tree.Path("wide"))).kept, 1);

    // The same scanner again, on another root.
    TempTree more;
    more.MakeFile("m/x", "1");
    FSScanner::Results second = ScanAll(decoding, {Utf8(more.Root())});
    for (Result& r : second) {
        ASSERT_TRUE(r.path.empty()) << r.path;
        r.path = Utf8(r.text);
    }
    ExpectContract(second, Roots({Utf8(more.Root())}));
    EXPECT_EQ(ByPath(second).size(), 3u);
}

TEST(FSScannerTest, NamesThatAreNotUtf8AreKeptAndLoggedOncePerFolder) {
    TempTree tree;
    // A folder name that would forge a log line of its own.
    const std::string d = "d\nE0101 00:00:00.000000 1 forged.cpp:1] forged";
    tree.MakeFileBytes(d + "/bad\xff", "1");
    tree.MakeFileBytes(d + "/also\xc0\xaf"
                           "bad",
                       "1");
    tree.MakeDirBytes(d + "/badfolder\xfe/inner");
    tree.MakeFileBytes(d + "/good", "1");
    Varnex::Test::LogCapture log;
    FSScanner scanner(4);
    const std::string root = Utf8(tree.Root());
    const FSScanner::Results results = ScanAll(scanner, {root});
    ExpectContract(results, Roots({root}));
    const auto map = ByPath(results);
    EXPECT_EQ(map.size(), 3u);
    EXPECT_EQ(map.at(root + "/" + d).required, 1);
    EXPECT_EQ(map.at(root + "/" + d).kept, 3);
    EXPECT_EQ(log.Count(google::WARNING, "not valid UTF-8"), 1) << log.Dump();
    EXPECT_EQ(log.Count(google::WARNING, root + "/d\\nE0101"), 1) << log.Dump();
    EXPECT_TRUE(ScanAll(scanner, {"relative\nE0101 forged"}).empty());
    EXPECT_EQ(log.Count(google::WARNING, "relative\\nE0101 forged"), 1) << log.Dump();
    for (const auto& line : log.Lines()) {
        EXPECT_EQ(line.message.find('\n'), std::string::npos) << line.message;
    }
}

TEST(FSScannerTest, FilteredEntriesAreKeptAndFilteredFoldersNotEntered) {
    TempTree tree;
    tree.MakeFile("keep/x", "1");
    tree.MakeFile("skip/inner/y", "1");
    tree.MakeFile("drop.log", "1");
    tree.MakeFile("take.txt", "1");
    std::atomic<int> belowSkip{0};
    // The walkers, where filters run, yield to the thread that started them.
    errno = 0;
    const int ownNice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
    std::atomic<int> walkerNice{ownNice};
    FSScanner scanner(20);
    const std::string root = Utf8(tree.Root());
    scanner.AddResultFilter([&](const std::string& path) {
        walkerNice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
        if (path.find("/skip/") != std::string::npos) {
            ++belowSkip;
        }
        return path.size() < 4 || path.compare(path.size() - 4, 4, ".log") != 0;
    });
    scanner.AddResultFilter([root](const std::string& path) { return path != root + "/skip"; });
    const FSScanner::Results results = ScanAll(scanner, {root});
    ExpectContract(results, Roots({root}));
    const auto map = ByPath(results);
    EXPECT_EQ(map.size(), 4u);
    EXPECT_EQ(map.at(root).required, 2);
    EXPECT_EQ(map.at(root).kept, 2);
    EXPECT_EQ(map.count(root + "/take.txt"), 1u);
    EXPECT_EQ(map.count(root + "/keep/x"), 1u);
    EXPECT_EQ(belowSkip.load(), 0);
    if (ownNice < 19) {
        EXPECT_GT(walkerNice.load(), ownNice);
    }
}

TEST(FSScannerTest, RootsLinksFilesMissingAndRepeated) {
    TempTree tree;
    tree.MakeFile("real/f", "abc");
    tree.MakeFile("real/sub/g", "abcd");
    tree.MakeSymlink(tree.Path("real"), "link");
    tree.MakeFile("plain", "12345");
    const std::string root = Utf8(tree.Root());
    FSScanner scanner(20);

    // A root that is a link is scanned through it, under its own name.
    FSScanner::Results results = ScanAll(scanner, {root + "/link/"});
    ExpectContract(results, Roots({root + "/link"}));
    auto map = ByPath(results);
    EXPECT_EQ(map.size(), 4u);
    EXPECT_TRUE(map.at(root + "/link").isDirectory);
    EXPECT_EQ(map.at(root + "/link/sub/g").size, 4);
    struct stat target;
    ASSERT_EQ(::stat(tree.Bytes("real").c_str(), &target), 0);
    EXPECT_EQ(map.at(root + "/link").inode, target.st_ino);  // what is scanned

    // A file root reports itself; a missing root reports nothing.
    results = ScanAll(scanner, {root + "/plain", root + "/nothing-here"});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].path, root + "/plain");
    EXPECT_FALSE(results[0].isDirectory);
    EXPECT_EQ(results[0].size, 5);

    // Nested and repeated roots are reported once; "." and "//" are normalised.
    results = ScanAll(scanner, {root + "/real/sub", root + "/real", root + "//real/./", root});
    ExpectContract(results, Roots({root}));
    map = ByPath(results);
    EXPECT_EQ(map.size(), 7u);  // root, real, f, sub, g, link, plain
    EXPECT_EQ(map.count(root + "/real/sub/g"), 1u);

    // An empty list is a no-op; relative and ".." roots are refused.
    scanner.Scan({});
    EXPECT_FALSE(scanner.IsWorking());
    results = ScanAll(scanner, {"relative/path", root + "/real/../real"});
    EXPECT_TRUE(results.empty());
}

TEST(FSScannerTest, ProtectedRootsNeedUnsafeScanning) {
    const std::string sysroot = Utf8(Varnex::Test::TestSysRoot());
    const std::string home = Utf8(Varnex::Test::TestHome());
    ASSERT_EQ(::mkdir((sysroot + "/Library").c_str(), 0755) == 0 || errno == EEXIST, true);
    ASSERT_EQ(::mkdir((home + "/Documents").c_str(), 0755) == 0 || errno == EEXIST, true);
    FSScanner scanner(20);
    Varnex::Test::LogCapture log;
    EXPECT_TRUE(ScanAll(scanner, {sysroot, home, sysroot + "/Library"}).empty());
    EXPECT_TRUE(log.Contains(google::WARNING, "Not scanning the protected folder")) << log.Dump();

    scanner.SetScanUnsafePaths(true);
    const FSScanner::Results results = ScanAll(scanner, {home});
    ExpectContract(results, Roots({home}));
    EXPECT_EQ(ByPath(results).count(home + "/Documents"), 1u);
    ::rmdir((home + "/Documents").c_str());
    ::rmdir((sysroot + "/Library").c_str());
}

TEST(FSScannerTest, DeepTreesWithoutRecursionAndBeyondPathMax) {
    TempTree tree;
    // Depth 1000 with one-letter names, then a chain whose paths pass PATH_MAX.
    std::string rel = "deep";
    for (int i = 0; i < 1000; ++i) {
        rel += "/d";
    }
    tree.MakeFileBytes(rel + "/leaf", "xy");
    const std::string root = Utf8(tree.Root());
    FSScanner scanner(20);
    FSScanner::Results results = ScanAll(scanner, {root + "/deep"});
    ExpectContract(results, Roots({root + "/deep"}));
    EXPECT_EQ(results.size(), 1002u);
    EXPECT_EQ(results.back().path, root + "/" + rel + "/leaf");

    // Paths longer than PATH_MAX: built and removed through descriptors.
    const std::string name(200, 'L');
    const int levels = 30;
    int fd = ::open(tree.Bytes("").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::mkdirat(fd, "long", 0755), 0);
    int dir = ::openat(fd, "long", O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < levels; ++i) {
        ASSERT_EQ(::mkdirat(dir, name.c_str(), 0755), 0);
        const int next = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(dir);
        dir = next;
    }
    const int leaf = ::openat(dir, "leaf", O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(::write(leaf, "abc", 3), 3);
    ::close(leaf);
    ::close(dir);
    results = ScanAll(scanner, {root + "/long"});
    ExpectContract(results, Roots({root + "/long"}));
    ASSERT_EQ(results.size(), static_cast<std::size_t>(levels + 2));
    EXPECT_GT(results.back().path.size(), 4096u);
    EXPECT_EQ(results.back().size, 3);
    for (const Result& r : results) {
        EXPECT_TRUE(r.error.empty()) << r.error;
    }
    // Cleanup for paths the usual helper cannot reach.
    std::vector<int> chain{::openat(fd, "long", O_RDONLY | O_DIRECTORY)};
    for (int i = 0; i < levels; ++i) {
        chain.push_back(::openat(chain.back(), name.c_str(), O_RDONLY | O_DIRECTORY));
    }
    ::unlinkat(chain.back(), "leaf", 0);
    for (int i = levels; i > 0; --i) {
        ::close(chain[i]);
        ::unlinkat(chain[i - 1], name.c_str(), AT_REMOVEDIR);
    }
    ::close(chain[0]);
    ::unlinkat(fd, "long", AT_REMOVEDIR);
    ::close(fd);
}

// Run by root, the test runs itself again as "nobody" (root reads every
// folder and may remove anything), with a root-owned tree prepared for the
// rules that only another user sees: a sticky folder and a read-only one.
constexpr char sharedTreeVariable[] = "KLARVIK_TEST_SCANNER_SHARED_TREE";

TEST(FSScannerTest, UnreadableFoldersAndRightsOfAnotherUser) {
    if (::geteuid() == 0) {
        Varnex::Test::TempTree shared;
        ASSERT_EQ(::chmod(shared.Bytes("").c_str(), 0755), 0);
        shared.MakeFile("sticky/roots", "1");
        shared.MakeFile("plain/file", "1");
        ASSERT_EQ(::chmod(shared.Bytes("sticky").c_str(), 01777), 0);
        qputenv(sharedTreeVariable, shared.Root().toUtf8());
        QByteArray out;
        QByteArray err;
        const int rc = Varnex::Test::RunProgram(
            QStringLiteral("setpriv"),
            {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
             QStringLiteral("--clear-groups"), QStringLiteral("--"),
             QCoreApplication::applicationFilePath(),
             QStringLiteral(
                 "--gtest_filter=FSScannerTest.UnreadableFoldersAndRightsOfAnotherUser")},
            &out, &err);
        qunsetenv(sharedTreeVariable);
        if (rc == -1 || err.contains("setpriv:")) {
            GTEST_SKIP() << "cannot run as another user: " << err.toStdString();
        }
        EXPECT_EQ(rc, 0) << out.toStdString() << err.toStdString();
        EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
        return;
    }
    Varnex::Test::TempTree tree;
    tree.MakeFile("locked/inside", "1");
    tree.MakeFile("listonly/inside", "1");
    tree.MakeFile("open/f", "1");
    ASSERT_EQ(::chmod(tree.Bytes("locked").c_str(), 0), 0);
    ASSERT_EQ(::chmod(tree.Bytes("listonly").c_str(), 0444), 0);
    const std::string root = Utf8(tree.Root());
    FSScanner scanner(20);
    FSScanner::Results results = ScanAll(scanner, {root});
    ExpectContract(results, Roots({root}));
    auto map = ByPath(results);
    const Result& locked = map.at(root + "/locked");
    EXPECT_FALSE(locked.error.empty());
    EXPECT_EQ(locked.kept, 1);
    EXPECT_EQ(locked.required, 0);
    const Result& listOnly = map.at(root + "/listonly");
    EXPECT_FALSE(listOnly.error.empty());
    EXPECT_EQ(listOnly.kept, 1);
    EXPECT_EQ(map.count(root + "/open/f"), 1u);

    const std::string shared = qgetenv(sharedTreeVariable).toStdString();
    if (shared.empty()) {
        return;
    }
    const int mine = ::open((shared + "/sticky/mine").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(mine, 0);
    ::close(mine);
    results = ScanAll(scanner, {shared});
    ExpectContract(results, Roots({shared}));
    map = ByPath(results);
    ASSERT_EQ(map.size(), 6u);
    EXPECT_TRUE(map.at(shared + "/sticky/roots").adminRightsRequired);
    EXPECT_FALSE(map.at(shared + "/sticky/mine").adminRightsRequired);
    EXPECT_TRUE(map.at(shared + "/plain/file").adminRightsRequired);
    for (const Result& r : results) {
        EXPECT_EQ(r.adminRightsRequired, !CanRemove(Platform::DecodePathOrNull(r.path))) << r.path;
    }
    ::unlink((shared + "/sticky/mine").c_str());
}

TEST(FSScannerTest, EntriesVanishingDuringTheScan) {
    TempTree tree;
    for (int i = 0; i < 50; ++i) {
        tree.MakeFile(QStringLiteral("files/f%1").arg(i), "1");
    }
    tree.MakeDir("folders/gone");
    tree.MakeFile("folders/stays/x", "1");
    const std::string root = Utf8(tree.Root());
    std::atomic<bool> deletedFiles{false};
    FSScanner scanner(20);
    scanner.AddResultFilter([&](const std::string& path) {
        // The first file seen removes all its siblings: those listed but not
        // yet looked at must not be counted.
        if (path.find("/files/f") != std::string::npos && !deletedFiles.exchange(true)) {
            for (int i = 0; i < 50; ++i) {
                const std::string other = root + "/files/f" + std::to_string(i);
                if (other != path) {
                    ::unlink(other.c_str());
                }
            }
        }
        // A folder that is counted and then disappears still gets its record.
        if (path == root + "/folders/gone") {
            ::rmdir(path.c_str());
        }
        return true;
    });
    const FSScanner::Results results = ScanAll(scanner, {root});
    ExpectContract(results, Roots({root}));
    const auto map = ByPath(results);
    EXPECT_EQ(map.at(root + "/files").required, 1);
    const Result& gone = map.at(root + "/folders/gone");
    EXPECT_TRUE(gone.isDirectory);
    EXPECT_TRUE(gone.error.empty());
    EXPECT_EQ(gone.required + gone.kept, 0);
    EXPECT_EQ(map.count(root + "/folders/stays/x"), 1u);
}

// Mounts a folder or file over another for the test's duration, when allowed.
class BindMount {
public:
    BindMount(const std::string& source, const std::string& target) : m_target(target) {
        m_mounted = ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    ~BindMount() {
        if (m_mounted) {
            ::umount2(m_target.c_str(), MNT_DETACH);
        }
    }
    bool Mounted() const { return m_mounted; }

private:
    std::string m_target;
    bool m_mounted = false;
};

TEST(FSScannerTest, NeverEntersAMountPoint) {
    // As this kernel tells mounts, and as kernels before statx's mount id do.
    for (const MountProbeLimit limit :
         {MountProbeLimit::NONE, MountProbeLimit::NO_STATX, MountProbeLimit::FDINFO_ONLY}) {
        SCOPED_TRACE(static_cast<int>(limit));
        LimitMountProbesForTests(limit);
        TempTree tree;
        TempTree other;
        other.MakeFile("mounted-file", "1");
        tree.MakeDir("mnt");
        tree.MakeFile("sub/file-mnt", "covered");
        tree.MakeFile("local", "1");
        const std::string root = Utf8(tree.Root());
        BindMount mount(Utf8(other.Root()), root + "/mnt");
        BindMount fileMount(Utf8(other.Path("mounted-file")), root + "/sub/file-mnt");
        if (!mount.Mounted() || !fileMount.Mounted()) {
            LimitMountProbesForTests(MountProbeLimit::NONE);
            GTEST_SKIP() << "mount --bind is not allowed here: " << std::strerror(errno);
        }
        FSScanner scanner(20);
        const FSScanner::Results results = ScanAll(scanner, {root});
        LimitMountProbesForTests(MountProbeLimit::NONE);
        ExpectContract(results, Roots({root}));
        const auto map = ByPath(results);
        EXPECT_EQ(map.size(), 3u);
        EXPECT_EQ(map.at(root).required, 2);
        EXPECT_EQ(map.at(root).kept, 1);
        EXPECT_EQ(map.at(root + "/sub").kept, 1);
        EXPECT_EQ(map.count(root + "/mnt/mounted-file"), 0u);
    }
}

TEST(FSScannerTest, ProtectedFoldersAndRepeatedRootsAreCaughtInAnySpelling) {
    TempTree t;
    t.MakeFile("real/home/Documents/letter", "precious");
    t.MakeFile("caches/c", "1");
    t.MakeFile("caches/sub/d", "2");
    t.MakeSymlink(t.Path("real"), "up");              // above the home folder
    t.MakeSymlink(t.Path("real/home"), "home-link");  // the home folder itself
    t.MakeSymlink(t.Path("caches"), "caches-link");   // a root again
    t.MakeSymlink(t.Path("caches/sub"), "sub-link");  // a folder inside a root
    const Varnex::Test::ScopedEnv home("HOME", t.Path("real/home").toUtf8());
    const std::string caches = Utf8(t.Path("caches"));
    const std::list<std::string> roots = {Utf8(t.Path("up")),
                                          Utf8(t.Path("home-link")),
                                          "/proc/self/root" + Utf8(t.Path("real/home")),
                                          caches,
                                          Utf8(t.Path("caches-link")),
                                          Utf8(t.Path("sub-link"))};
    for (const bool later : {false, true}) {
        SCOPED_TRACE(later ? "the link roots in a later call" : "all roots in one call");
        FSScanner scanner(4);
        FSScanner::Results results;
        if (later) {
            // The links first, the real folder afterwards: still once.
            scanner.Scan({Utf8(t.Path("sub-link"))});
            results = ScanAll(scanner, roots);
        } else {
            results = ScanAll(scanner, roots);
        }
        std::set<std::string> files;
        for (const Result& r : results) {
            EXPECT_EQ(r.path.find("letter"), std::string::npos) << r.path;
            if (!r.isDirectory) {
                EXPECT_TRUE(files.insert(r.path.substr(r.path.rfind('/'))).second)
                    << "counted twice: " << r.path;
            }
        }
        EXPECT_EQ(files, (std::set<std::string>{"/c", "/d"}));
    }

    // A bind mount of the home folder is the home folder too.
    t.MakeDir("bound");
    BindMount mount(Utf8(t.Path("real/home")), Utf8(t.Path("bound")));
    if (mount.Mounted()) {
        FSScanner scanner(4);
        EXPECT_TRUE(ScanAll(scanner, {Utf8(t.Path("bound"))}).empty());
    }
}

}  // namespace
}  // namespace Varnex::Cleaner::Details
