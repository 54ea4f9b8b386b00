// The removal server with each of its steps made to fail on a real tree: the
// failed path is reported once, as failed, and stays; what was reported removed
// is gone; nothing outside the plan changes; no entry stays under a private
// name; the failure is logged with the path and counted when the run ends.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QHash>
#include <cerrno>
#include <string>
#include <vector>

#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSCleanerSupport.h"
#include "FaultRun.h"
#include "SystemCallFaults.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"

using Varnex::Cleaner::Details::FSCleanerServer;
using Varnex::Cleaner::Details::FSEntryInfo;
using Varnex::Cleaner::Details::ShownPath;
using Varnex::Cleaner::Details::StatEntry;
namespace FSCleaner = Varnex::Cleaner::Details::FSCleaner;
using Varnex::Test::LogCapture;
using Varnex::Test::NewFaultContext;
using Varnex::Test::PrivateNamesUnder;
using Varnex::Test::RunUnderFaults;
using Varnex::Test::SystemCallFaults;
using Varnex::Test::TempTree;

namespace {

FSCleanerServer& Server() {
    return FSCleanerServer::GetInstance();
}

// Planned, in this order: two files of one folder (the second with what the
// scan saw, so it is examined and taken aside before it goes), an empty folder
// (never recursive), a file of another folder, and a whole tree.
const QStringList planned = {"dir/a", "dir/b", "dir/empty", "other/c", "tree"};
// Never planned: must be there, unchanged, after every run.
const QStringList untouched = {"dir/unplanned", "outside/keep"};
// Inside the tree.
const QStringList treeEntries = {"tree/x/1", "tree/x/2", "tree/x/3", "tree/y/1", "tree/top"};

void MakeTree(TempTree& t) {
    for (const QString& rel : planned + untouched) {
        if (rel == "dir/empty" || rel == "tree") {
            continue;
        }
        t.MakeFile(rel, rel.toUtf8());
    }
    t.MakeDir("dir/empty");
    for (const QString& rel : treeEntries) {
        t.MakeFile(rel, rel.toUtf8());
    }
}

struct Case {
    const char* label;
    std::vector<SystemCallFaults::Rule> rules;
    // Planned paths that must fail, with their code; the others are removed.
    QHash<QString, int> failing;
    // Entries inside the tree that must stay; the others of the tree must go
    // (only checked when the tree fails).
    QStringList stayInTree;
    // Part of the warning's reason, when it must tell something particular.
    const char* why = nullptr;
};

using R = SystemCallFaults::Rule;
using C = SystemCallFaults::Call;

std::vector<Case> Cases() {
    return {
        {"the parent folder refuses its first opening",
         {R{C::OPEN_AT, "dir", 1, EACCES}},
         {{"dir/a", FSCleaner::PERMISSION_DENIED}},
         {}},
        {"the parent folder cannot be opened at all",
         {R{C::OPEN_AT, "dir", 1, EIO, true}},
         {{"dir/a", FSCleaner::FAILED},
          {"dir/b", FSCleaner::FAILED},
          {"dir/empty", FSCleaner::FAILED}},
         {}},
        {"the parent folder cannot be examined",
         {R{C::STATX, "", 1, EIO, true}},
         {{"dir/a", FSCleaner::FAILED},
          {"dir/b", FSCleaner::FAILED},
          {"dir/empty", FSCleaner::FAILED},
          {"other/c", FSCleaner::FAILED},
          {"tree", FSCleaner::FAILED}},
         treeEntries},
        {"an entry cannot be examined",
         {R{C::STATX, "b", 1, EIO}},
         {{"dir/b", FSCleaner::FAILED}},
         {}},
        {"unlinking fails on a read-only file system",
         {R{C::UNLINK_AT, "a", 1, EROFS}},
         {{"dir/a", FSCleaner::FAILED}},
         {}},
        {"unlinking is refused",
         {R{C::UNLINK_AT, "a", 1, EACCES}},
         {{"dir/a", FSCleaner::PERMISSION_DENIED}},
         {}},
        {"unlinking finds the entry busy",
         {R{C::UNLINK_AT, "c", 1, EBUSY}},
         {{"other/c", FSCleaner::REFUSED}},
         {},
         ": it is busy (a mount point, or in use) (code 5)"},
        {"taking the examined file aside fails",
         {R{C::RENAME, "b", 1, EACCES}},
         {{"dir/b", FSCleaner::PERMISSION_DENIED}},
         {}},
        {"the file taken aside cannot be unlinked: it gets its name back",
         {R{C::UNLINK_AT, ".klarvik-rm.*", 1, EIO}},
         {{"dir/b", FSCleaner::FAILED}},
         {}},
        {"an empty folder is not empty when removed",
         {R{C::REMOVE_DIR, "empty", 1, ENOTEMPTY}},
         {{"dir/empty", FSCleaner::NOT_EMPTY}},
         {}},
        {"an empty folder is busy",
         {R{C::REMOVE_DIR, "empty", 1, EBUSY}},
         {{"dir/empty", FSCleaner::REFUSED}},
         {}},
        {"the tree cannot be opened",
         {R{C::OPEN_AT, "tree", 1, EACCES}},
         {{"tree", FSCleaner::PERMISSION_DENIED}},
         treeEntries},
        {"the tree cannot be examined",
         {R{C::STATX, "tree", 1, EIO}},
         {{"tree", FSCleaner::FAILED}},
         treeEntries},
        {"a file deep in the tree cannot be unlinked",
         {R{C::UNLINK_AT, "2", 1, EIO}},
         {{"tree", FSCleaner::FAILED}},
         {"tree/x/2"},
         "\"x/2\" inside the tree: Input/output error"},
        {"a folder of the tree cannot be read",
         {R{C::GET_DENTS, "y", 1, EIO}},
         {{"tree", FSCleaner::FAILED}},
         {"tree/y/1"},
         "\"y\" inside the tree: cannot read: Input/output error"},
        {"a folder of the tree cannot be opened",
         {R{C::OPEN_AT, "x", 1, EACCES}},
         {{"tree", FSCleaner::PERMISSION_DENIED}},
         {"tree/x/1", "tree/x/2", "tree/x/3"}},
        {"an emptied folder of the tree is busy",
         {R{C::REMOVE_DIR, "x", 1, EBUSY}},
         {{"tree", FSCleaner::REFUSED}},
         {}},
        {"the emptied tree itself cannot be removed",
         {R{C::REMOVE_DIR, "tree", 1, EIO}},
         {{"tree", FSCleaner::FAILED}},
         {}},
        {"every unlinking fails from the middle of the tree on",
         // dir/a, dir/b taken aside, dir/empty and the tree first tried as
         // files, other/c, then the first entry of the tree: the rest stays.
         {R{C::UNLINK_AT, "", 7, ENOSPC, true}},
         {{"tree", FSCleaner::FAILED}},
         {"*"}},
    };
}

// Runs the plan under the case's faults; checks the contract of every run.
void RunCase(const Case& c) {
    SCOPED_TRACE(c.label);
    TempTree t;
    MakeTree(t);
    const QString context = NewFaultContext();
    for (const QString& rel : planned) {
        if (rel == "dir/b") {
            FSEntryInfo seen;
            ASSERT_EQ(StatEntry(AT_FDCWD, t.Path(rel).toStdString().c_str(), &seen), 0);
            FSCleanerServer::Expected expected;
            expected.device = seen.dev;
            expected.inode = seen.ino;
            expected.birth = seen.birth;
            Server().PlanToRemove(context, t.Path(rel), 0, expected);
        } else {
            Server().PlanToRemove(context, t.Path(rel),
                                  rel == "tree" ? FSCleanerServer::FLAG_RECURSIVE : 0);
        }
    }

    LogCapture log;
    int injected = 0;
    const QList<FSCleanerServer::Result> results = RunUnderFaults(context, c.rules, &injected);
    ASSERT_GT(injected, 0) << "the fault never struck: the case tests nothing";

    QStringList order;
    QHash<QString, int> codes;
    for (const auto& r : results) {
        order.append(r.path);
        codes.insert(r.path, r.code);
    }
    QStringList expectedOrder;
    for (const QString& rel : planned) {
        expectedOrder.append(t.Path(rel));
    }
    EXPECT_EQ(order, expectedOrder) << "every planned path exactly once, in order";

    for (const QString& rel : planned) {
        const int code = codes.value(t.Path(rel), -1);
        const int expected = c.failing.value(rel, FSCleaner::REMOVED);
        EXPECT_EQ(code, expected) << rel.toStdString();
        if (code == FSCleaner::REMOVED || code == FSCleaner::NOT_FOUND) {
            EXPECT_FALSE(t.Exists(rel)) << rel.toStdString() << " reported removed, still there";
        } else {
            EXPECT_TRUE(t.Exists(rel)) << rel.toStdString() << " reported failed, but gone";
            const std::string line = "Cannot remove \"" + ShownPath(t.Path(rel)) + "\"";
            EXPECT_TRUE(log.Contains(google::WARNING, line)) << line << "\n" << log.Dump();
        }
        if (!rel.contains('/') || rel.startsWith("dir/e")) {
            continue;
        }
        if (t.Exists(rel)) {
            EXPECT_EQ(t.Read(rel), rel.toUtf8()) << rel.toStdString() << " changed";
        }
    }
    if (c.failing.contains("tree")) {
        // What stays of a tree is what the failure kept and nothing else;
        // "*" when it depends on the order the folder lists its entries.
        int kept = 0;
        for (const QString& rel : treeEntries) {
            if (!t.Exists(rel)) {
                continue;
            }
            ++kept;
            EXPECT_EQ(t.Read(rel), rel.toUtf8()) << rel.toStdString();
        }
        if (c.stayInTree == QStringList{"*"}) {
            EXPECT_GT(kept, 0);
            EXPECT_LT(kept, treeEntries.size()) << "the tree failed halfway, not at once";
        } else {
            for (const QString& rel : treeEntries) {
                EXPECT_EQ(t.Exists(rel), c.stayInTree.contains(rel)) << rel.toStdString();
            }
        }
    }
    if (c.why) {
        EXPECT_TRUE(log.Contains(google::WARNING, c.why)) << c.why << "\n" << log.Dump();
    }
    for (const QString& rel : untouched) {
        EXPECT_EQ(t.Read(rel), rel.toUtf8()) << rel.toStdString();
    }
    EXPECT_EQ(PrivateNamesUnder(t.Root()), QStringList()) << "left aside";
    const std::string finished =
        "has finished 5 of 5 paths, " + std::to_string(c.failing.size()) + " failed";
    EXPECT_TRUE(log.Contains(google::INFO, finished)) << finished << "\n" << log.Dump();
}

}  // namespace

TEST(FSCleanerFaults, EveryStepFailingLeavesItsPathAndSaysSo) {
    for (const Case& c : Cases()) {
        RunCase(c);
    }
}

TEST(FSCleanerFaults, AnEntryRemovedByAnotherMeanwhileCountsAsGone) {
    // Someone else unlinks the file first: the kernel's ENOENT is the truth.
    TempTree t;
    t.MakeFile("dir/a", "a");
    t.MakeFile("dir/keep", "keep");
    const QString context = NewFaultContext();
    Server().PlanToRemove(context, t.Path("dir/a"), 0);
    ASSERT_EQ(::unlink(t.Path("dir/a").toStdString().c_str()), 0);
    int injected = 0;
    const auto results = RunUnderFaults(context, {R{C::UNLINK_AT, "a", 1, ENOENT}}, &injected);
    ASSERT_EQ(results.size(), 1);
    EXPECT_EQ(results[0].code, FSCleaner::NOT_FOUND);
    EXPECT_EQ(results[0].freed, 0);
    EXPECT_EQ(t.Read("dir/keep"), "keep");
}

TEST(FSCleanerFaults, ARunThatCannotOpenTheRootFailsAndRemovesNothing) {
    TempTree t;
    t.MakeFile("dir/a", "a");
    const QString context = NewFaultContext();
    Server().PlanToRemove(context, t.Path("dir/a"), 0);
    LogCapture log;
    {
        SystemCallFaults faults({R{C::OPEN_AT, "/", 1, EMFILE}});
        EXPECT_FALSE(Server().Start(context));
        EXPECT_EQ(faults.Injected(), 1);
    }
    EXPECT_EQ(Server().GetState(context), FSCleanerServer::RUN_FAILED);
    EXPECT_FALSE(Server().IsWorking(context));
    EXPECT_TRUE(Server().GetResults(context).isEmpty());
    EXPECT_TRUE(log.Contains(google::WARNING, "cannot start: Too many open files")) << log.Dump();
    EXPECT_EQ(t.Read("dir/a"), "a");
    // The plan was dropped: a later start has nothing to run.
    EXPECT_FALSE(Server().Start(context));
    EXPECT_EQ(t.Read("dir/a"), "a");
    Server().Release(context);
}
