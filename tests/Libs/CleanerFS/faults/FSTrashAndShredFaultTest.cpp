// The trash mover and the shredder with each of their steps made to fail: the
// file keeps its name (its contents too, unless the overwrite had begun), the
// trash keeps no information for a file it did not take, and the path is
// reported failed with the reason.
#include <gtest/gtest.h>

#include <QDir>
#include <cerrno>

#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSCleanerSupport.h"
#include "FaultRun.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Cleaner::Details::FSCleanerServer;
using Varnex::Cleaner::Details::ShownPath;
namespace FSCleaner = Varnex::Cleaner::Details::FSCleaner;
using Varnex::Test::LogCapture;
using Varnex::Test::NewFaultContext;
using Varnex::Test::PrivateNamesUnder;
using Varnex::Test::RunUnderFaults;
using Varnex::Test::SystemCallFaults;
using Varnex::Test::TempTree;
using R = SystemCallFaults::Rule;
using C = SystemCallFaults::Call;

namespace {

struct Case {
    const char* label;
    int flags;
    R rule;
    int code;
    const char* why;
    // False once the overwrite has begun: only the name and length stay.
    bool contentsKept;
};

const QByteArray contents(200000, 's');  // several chunks of the overwrite

}  // namespace

TEST(FSTrashAndShredFaults, AFailingStepLeavesTheFileUnderItsNameAndSaysSo) {
    const int trash = FSCleanerServer::FLAG_TRASH;
    const int shred = FSCleanerServer::FLAG_SHRED;
    const std::vector<Case> cases = {
        {"the trash information cannot be created", trash, R{C::OPEN_AT, "f.trashinfo", 1, EACCES},
         FSCleaner::PERMISSION_DENIED, "cannot write its trash information: Permission denied",
         true},
        {"the trash information cannot be written", trash, R{C::WRITE, "f.trashinfo", 1, ENOSPC},
         FSCleaner::FAILED, "cannot write its trash information: No space left on device", true},
        {"the move into the trash fails", trash, R{C::RENAME, "f", 1, EIO}, FSCleaner::FAILED,
         "cannot move it to the trash: Input/output error", true},
        {"the file cannot be taken aside", shred, R{C::RENAME, "f", 1, EACCES},
         FSCleaner::PERMISSION_DENIED,
         "it cannot be removed, so it is not overwritten: Permission denied", true},
        {"the file cannot be opened to overwrite", shred, R{C::OPEN_AT, ".klarvik-shred.*", 1, EIO},
         FSCleaner::FAILED, "cannot open it to overwrite: Input/output error", true},
        {"the overwrite fails halfway", shred, R{C::WRITE, ".klarvik-shred.*", 2, ENOSPC},
         FSCleaner::FAILED, "cannot overwrite it: No space left on device", false},
        {"the overwritten file cannot be unlinked", shred,
         R{C::UNLINK_AT, ".klarvik-shred.*", 1, EIO}, FSCleaner::FAILED,
         "overwritten, but cannot be removed: Input/output error", false},
    };
    const QString trashFolder = Varnex::Test::TestHome() + "/.local/share/Trash";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempTree t;
        t.MakeFile("dir/f", contents);
        t.MakeFile("dir/other", "other");
        const QString context = NewFaultContext();
        FSCleanerServer::GetInstance().PlanToRemove(context, t.Path("dir/f"), c.flags);
        LogCapture log;
        int injected = 0;
        const auto results = RunUnderFaults(context, {c.rule}, &injected);
        ASSERT_EQ(injected, 1) << "the fault never struck";
        ASSERT_EQ(results.size(), 1);
        EXPECT_EQ(results[0].code, c.code);
        ASSERT_TRUE(t.Exists("dir/f")) << "reported failed, but gone";
        if (c.contentsKept) {
            EXPECT_EQ(t.Read("dir/f"), contents);
        } else {
            EXPECT_EQ(t.Read("dir/f").size(), contents.size());
        }
        EXPECT_EQ(t.Read("dir/other"), "other");
        EXPECT_EQ(PrivateNamesUnder(t.Root()), QStringList());
        EXPECT_TRUE(QDir(trashFolder + "/info").entryList(QDir::Files | QDir::Hidden).isEmpty())
            << "trash information left for a file the trash did not take";
        EXPECT_FALSE(QDir(trashFolder + "/files").exists("f"));
        const std::string line =
            "Cannot remove \"" + ShownPath(t.Path("dir/f")) + "\": " + c.why;
        EXPECT_TRUE(log.Contains(google::WARNING, line)) << line << "\n" << log.Dump();
        EXPECT_TRUE(log.Contains(google::INFO, "has finished 1 of 1 paths, 1 failed"))
            << log.Dump();
    }
}
