// A large plan runs on several threads, divided into parts by the text of its
// paths. Two spellings of one folder (a link of the system on the way) are
// two subtrees by their text but one on the disk: the division must not let
// the folder go before what is planned inside it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QHash>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "CleanerFS/FSCleanerServer.h"
#include "FaultRun.h"
#include "common/Gate.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"

using Varnex::Cleaner::Details::FSCleanerServer;
namespace FSCleaner = Varnex::Cleaner::Details::FSCleaner;
using Varnex::Test::Gate;
using Varnex::Test::LogCapture;
using Varnex::Test::NewFaultContext;
using Varnex::Test::RunUnderFaults;
using Varnex::Test::SystemCallFaults;
using Varnex::Test::TempTree;
using R = SystemCallFaults::Rule;
using C = SystemCallFaults::Call;

namespace {

// A hook for the first of two steps of a run: it waits (with a bound) for
// `second` to open, but only when the run says it is divided; on one thread
// nothing waits.
std::function<void()> WaitWhenDivided(const LogCapture& log, Gate& second) {
    return [&log, &second] {
        if (log.Contains(google::GLOG_INFO, "parts of its plan on")) {
            second.WaitOpen(std::chrono::seconds(20));
        }
    };
}

// The results of a run by their paths; on a machine with two cores or more,
// the run must have been divided, or its interleaving was never forced.
QHash<QString, FSCleanerServer::Result> ByPathOfADividedRun(
    const LogCapture& log, const QList<FSCleanerServer::Result>& results) {
    if (std::thread::hardware_concurrency() >= 2) {
        EXPECT_TRUE(log.Contains(google::GLOG_INFO, "parts of its plan on 4 threads"))
            << log.Dump();
    }
    QHash<QString, FSCleanerServer::Result> byPath;
    for (const FSCleanerServer::Result& result : results) {
        byPath.insert(result.path, result);
    }
    return byPath;
}

}  // namespace

// The files of "real/d" are planned through "link" (a link of the system, as
// /var leads to /private/var on a Mac), the folder itself after them as
// "real/d". In plan order the folder goes once its files are gone: REMOVED.
// Divided by text, the folder's part may run while another thread still
// works on the files: the folder is then reported NOT_EMPTY and stays,
// emptied.
//
// To make the interleaving certain, the first file's removal waits (with a
// bound) for the folder's removal to be tried, but only when the run says it
// runs on several threads; on one thread nothing waits.
TEST(FSCleanerThreads, AFolderPlannedAfterItsFilesGoesAfterThemWhateverLinkTheirPathsTake) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs links owned by root (a link of the system)";
    }
    TempTree t;
    constexpr int files = 5000;
    std::vector<FSCleanerServer::PlanEntry> plan;
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("f%1").arg(i, 4, 10, QLatin1Char('0'));
        t.MakeFile("real/d/" + name, "x");
        plan.push_back({t.Path("link/d/" + name), 0, false, {}});
    }
    // Owned by root in a folder only root may change: followed on the way.
    t.MakeSymlink(t.Path("real"), "link");
    struct stat st;
    ASSERT_EQ(::lstat(t.Bytes("link").c_str(), &st), 0);
    ASSERT_EQ(st.st_uid, 0u);
    plan.push_back({t.Path("real/d"), 0, false, {}});

    LogCapture log;
    Gate folderTried;
    const auto waitForFolder = WaitWhenDivided(log, folderTried);
    const QString context = NewFaultContext();
    FSCleanerServer::GetInstance().PlanToRemove(context, plan);
    int injected = 0;
    const QList<FSCleanerServer::Result> results =
        RunUnderFaults(context,
                       {R{C::UNLINK_AT, "f0000", 1, 0, false, waitForFolder},
                        R{C::REMOVE_DIR, "d", 1, 0, false, [&] { folderTried.Open(); }}},
                       &injected);

    ASSERT_EQ(results.size(), files + 1);
    QHash<QString, int> codes;
    for (const FSCleanerServer::Result& result : results) {
        ASSERT_FALSE(codes.contains(result.path)) << "twice: " << result.path.toStdString();
        codes.insert(result.path, result.code);
    }
    for (const FSCleanerServer::PlanEntry& entry : plan) {
        EXPECT_EQ(codes.value(entry.path, -1), FSCleaner::REMOVED) << entry.path.toStdString();
    }
    EXPECT_FALSE(t.Exists("real/d")) << "the folder was tried before its files were gone";
}

// A file with two names, both planned with what the scan saw, in parts two
// threads run at the same time. Its blocks come back with the last name
// that goes, and that name's result says so; removed one after the other,
// one of the two results tells them. If both names are examined before either
// goes, each sees another name still holding the blocks and both say 0.
//
// As above, the first name's removal waits (with a bound, and only on
// several threads) until another thread is about to take the second name aside.
TEST(FSCleanerThreads, TheBlocksOfAFileWithTwoPlannedNamesAreToldOnce) {
    TempTree t;
    constexpr int files = 5000;
    std::vector<FSCleanerServer::PlanEntry> plan;
    const auto planSeen = [&](const QString& rel) {
        struct stat st;
        ASSERT_EQ(::lstat(t.Bytes(rel.toStdString()).c_str(), &st), 0);
        FSCleanerServer::Expected seen;
        seen.isDirectory = S_ISDIR(st.st_mode);
        seen.device = st.st_dev;
        seen.inode = st.st_ino;
        plan.push_back({t.Path(rel), 0, true, seen});
    };
    t.MakeFile("d/x", QByteArray(64 * 1024, 'x'));
    t.MakeHardLink("d/x", "d/y");
    struct stat st;
    ASSERT_EQ(::lstat(t.Bytes("d/x").c_str(), &st), 0);
    const long long blocks = static_cast<long long>(st.st_blocks) * 512;
    ASSERT_GT(blocks, 0);
    planSeen("d/x");
    for (int i = 1; i < files; ++i) {
        const QString name = QStringLiteral("d/f%1").arg(i, 4, 10, QLatin1Char('0'));
        t.MakeFile(name, "x");
        planSeen(name);
        if (i == 1000) {
            planSeen("d/y");  // a part of its own, well after the first
        }
    }

    LogCapture log;
    Gate secondExamined;
    const auto waitForSecond = WaitWhenDivided(log, secondExamined);
    const QString context = NewFaultContext();
    FSCleanerServer::GetInstance().PlanToRemove(context, plan);
    int injected = 0;
    const QList<FSCleanerServer::Result> results =
        RunUnderFaults(context,
                       {R{C::RENAME, "x", 1, 0, false, waitForSecond},
                        R{C::RENAME, "y", 1, 0, false, [&] { secondExamined.Open(); }}},
                       &injected);

    ASSERT_EQ(static_cast<std::size_t>(results.size()), plan.size());
    const QHash<QString, FSCleanerServer::Result> byPath = ByPathOfADividedRun(log, results);
    const FSCleanerServer::Result x = byPath.value(t.Path("d/x"));
    const FSCleanerServer::Result y = byPath.value(t.Path("d/y"));
    EXPECT_EQ(x.code, FSCleaner::REMOVED);
    EXPECT_EQ(y.code, FSCleaner::REMOVED);
    EXPECT_FALSE(t.Exists("d/x"));
    EXPECT_FALSE(t.Exists("d/y"));
    EXPECT_EQ(x.freed + y.freed, blocks) << "x told " << x.freed << ", y told " << y.freed;
}

// The same file, its two names in two planned trees (flag 2 with 32) that
// two threads remove at the same time. The tree that removes the last name
// must tell the file's blocks; in plan order the second tree finds it with one
// name and does. If each tree examines its name while the other still stands
// and counts by what it saw then, each sees another name holding the blocks
// and neither tells them: freed space goes unreported.
//
// The first name's unlink waits (with a bound, and only when the run is
// divided) until the other tree has examined the second name: both are
// examined before either goes.
TEST(FSCleanerThreads, TheBlocksOfAFileWithNamesInTwoPlannedTreesAreToldOnce) {
    TempTree t;
    constexpr int files = 4100;  // with the trees, enough to divide
    t.MakeFile("a/x", QByteArray(64 * 1024, 'x'));
    t.MakeHardLink("a/x", "b/y");
    struct stat st;
    ASSERT_EQ(::lstat(t.Bytes("a/x").c_str(), &st), 0);
    const long long blocks = static_cast<long long>(st.st_blocks) * 512;
    ASSERT_GT(blocks, 0);
    ASSERT_EQ(::lstat(t.Bytes("a").c_str(), &st), 0);
    long long folders = static_cast<long long>(st.st_blocks) * 512;
    ASSERT_EQ(::lstat(t.Bytes("b").c_str(), &st), 0);
    folders += static_cast<long long>(st.st_blocks) * 512;

    const int tree = FSCleanerServer::FLAG_RECURSIVE | FSCleanerServer::FLAG_FOLDER_BLOCKS;
    std::vector<FSCleanerServer::PlanEntry> plan;
    plan.push_back({t.Path("a"), tree, false, {}});
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("d/f%1").arg(i, 4, 10, QLatin1Char('0'));
        t.MakeFile(name, "x");
        plan.push_back({t.Path(name), 0, false, {}});
    }
    plan.push_back({t.Path("b"), tree, false, {}});  // a part well after the first

    LogCapture log;
    Gate secondExamined;
    const auto waitForSecond = WaitWhenDivided(log, secondExamined);
    const QString context = NewFaultContext();
    FSCleanerServer::GetInstance().PlanToRemove(context, plan);
    int injected = 0;
    const QList<FSCleanerServer::Result> results =
        RunUnderFaults(context,
                       {R{C::UNLINK_AT, "x", 1, 0, false, waitForSecond},
                        R{C::STATX, "y", 1, 0, false, nullptr, [&] { secondExamined.Open(); }}},
                       &injected);

    ASSERT_EQ(static_cast<std::size_t>(results.size()), plan.size());
    const QHash<QString, FSCleanerServer::Result> byPath = ByPathOfADividedRun(log, results);
    const FSCleanerServer::Result a = byPath.value(t.Path("a"));
    const FSCleanerServer::Result b = byPath.value(t.Path("b"));
    ASSERT_EQ(a.code, FSCleaner::REMOVED);
    ASSERT_EQ(b.code, FSCleaner::REMOVED);
    EXPECT_FALSE(t.Exists("a"));
    EXPECT_FALSE(t.Exists("b"));
    EXPECT_EQ(a.freed + b.freed, blocks + folders)
        << "a told " << a.freed << ", b told " << b.freed << "; the file's blocks are " << blocks
        << ", the folders' " << folders;
}
