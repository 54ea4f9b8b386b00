// Another process acting between two system calls of the removal server, made
// to happen exactly there: a file saved over a planned name after it was
// examined, a tree top swapped before it is opened, a file put under the
// shredder's private name. What was not examined is never removed nor
// overwritten, and the path is reported refused, with a line saying why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>

#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSCleanerSupport.h"
#include "FaultRun.h"
#include "common/LogCapture.h"
#include "common/TestEnv.h"
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
using R = SystemCallFaults::Rule;
using C = SystemCallFaults::Call;

namespace {

FSCleanerServer::Expected Seen(const TempTree& t, const QString& rel) {
    FSEntryInfo info;
    EXPECT_EQ(StatEntry(AT_FDCWD, t.Path(rel).toStdString().c_str(), &info), 0);
    FSCleanerServer::Expected expected;
    expected.isDirectory = S_ISDIR(info.mode);
    expected.device = info.dev;
    expected.inode = info.ino;
    expected.birth = info.birth;
    return expected;
}

// What an editor does on saving: a new file renamed over the old name.
void SaveOver(TempTree& t, const QString& rel, const QByteArray& content) {
    t.MakeFile(rel + ".saving", content);
    ASSERT_EQ(::rename(t.Path(rel + ".saving").toStdString().c_str(),
                       t.Path(rel).toStdString().c_str()),
              0);
}

struct Outcome {
    int code = -1;
    int runs = 0;
    int injected = 0;
};

Outcome RunOne(const QString& path, int flags, const FSCleanerServer::Expected& seen,
               std::vector<R> rules) {
    const QString context = NewFaultContext();
    FSCleanerServer::GetInstance().PlanToRemove(context, path, flags, seen);
    Outcome out;
    for (const auto& r : RunUnderFaults(context, std::move(rules), &out.injected)) {
        EXPECT_EQ(r.path, path);
        out.code = r.code;
        ++out.runs;
    }
    return out;
}

void ExpectRefusedWithLine(const LogCapture& log, const TempTree& t, const QString& rel,
                           const std::string& why) {
    const std::string line = "Cannot remove \"" + ShownPath(t.Path(rel)) + "\": " + why;
    EXPECT_TRUE(log.Contains(google::WARNING, line)) << line << "\n" << log.Dump();
    EXPECT_TRUE(log.Contains(google::INFO, "has finished 1 of 1 paths, 1 failed")) << log.Dump();
}

}  // namespace

TEST(FSCleanerRace, AFileSavedOverThePlannedNameAfterItWasExaminedStays) {
    TempTree t;
    t.MakeFile("dir/doc", "as scanned");
    const auto seen = Seen(t, "dir/doc");
    LogCapture log;
    // The entry passed the identity check; just before it is taken aside, the
    // user's editor saves a new version under its name.
    const Outcome out =
        RunOne(t.Path("dir/doc"), 0, seen,
               {R{C::RENAME, "doc", 1, 0, false, [&] { SaveOver(t, "dir/doc", "saved since"); }}});
    ASSERT_EQ(out.injected, 1);
    EXPECT_EQ(out.runs, 1);
    EXPECT_EQ(out.code, FSCleaner::REFUSED);
    EXPECT_EQ(t.Read("dir/doc"), "saved since") << "the new version was removed";
    EXPECT_EQ(PrivateNamesUnder(t.Root()), QStringList()) << "the new version kept aside";
    ExpectRefusedWithLine(log, t, "dir/doc", "it was replaced while it was examined (code 5)");
}

TEST(FSCleanerRace, AFileSavedOverThePlannedNameBeforeItGoesToTheTrashStaysWhereItWas) {
    TempTree t;
    t.MakeFile("dir/doc", "as scanned");
    const auto seen = Seen(t, "dir/doc");
    const QString trash = Varnex::Test::TestHome() + "/.local/share/Trash";
    LogCapture log;
    const Outcome out =
        RunOne(t.Path("dir/doc"), FSCleanerServer::FLAG_TRASH, seen,
               {R{C::RENAME, "doc", 1, 0, false, [&] { SaveOver(t, "dir/doc", "saved since"); }}});
    ASSERT_EQ(out.injected, 1);
    EXPECT_EQ(out.code, FSCleaner::REFUSED);
    EXPECT_EQ(t.Read("dir/doc"), "saved since") << "the new version went to the trash";
    EXPECT_FALSE(QFileInfo::exists(trash + "/files/doc"));
    EXPECT_FALSE(QFileInfo::exists(trash + "/info/doc.trashinfo"));
    ExpectRefusedWithLine(log, t, "dir/doc", "it was replaced while it was examined (code 5)");
}

TEST(FSCleanerRace, ATreeTopSwappedBeforeItIsOpenedIsLeftWhole) {
    TempTree t;
    t.MakeFile("tree/scanned/file", "old");
    const auto seen = Seen(t, "tree");
    LogCapture log;
    const auto swap = [&] {
        ASSERT_EQ(::rename(t.Path("tree").toStdString().c_str(),
                           t.Path("tree.old").toStdString().c_str()),
                  0);
        t.MakeFile("tree/new/file", "new");
    };
    const Outcome out = RunOne(t.Path("tree"), FSCleanerServer::FLAG_RECURSIVE, seen,
                               {R{C::OPEN_AT, "tree", 1, 0, false, swap}});
    ASSERT_EQ(out.injected, 1);
    EXPECT_EQ(out.runs, 1);
    EXPECT_EQ(out.code, FSCleaner::REFUSED);
    EXPECT_EQ(t.Read("tree/new/file"), "new");
    EXPECT_EQ(t.Read("tree.old/scanned/file"), "old");
    ExpectRefusedWithLine(log, t, "tree", "it was replaced while it was examined (code 5)");
}

TEST(FSCleanerRace, AFilePutUnderTheShreddersPrivateNameIsNeitherOverwrittenNorRemoved) {
    TempTree t;
    t.MakeFile("dir/secret", QByteArray(100000, 's'));
    t.MakeFile("dir/theirs", "another process's file");
    const auto seen = Seen(t, "dir/secret");
    LogCapture log;
    QString privatePath;
    // The secret is under its private name; before it is opened, another
    // process moves its own file onto that name.
    const auto intrude = [&] {
        const QStringList aside = PrivateNamesUnder(t.Root());
        ASSERT_EQ(aside.size(), 1);
        privatePath = aside.first();
        ASSERT_EQ(::rename(t.Path("dir/theirs").toStdString().c_str(),
                           privatePath.toStdString().c_str()),
                  0);
    };
    const Outcome out = RunOne(t.Path("dir/secret"), FSCleanerServer::FLAG_SHRED, seen,
                               {R{C::OPEN_AT, ".klarvik-shred.*", 1, 0, false, intrude}});
    ASSERT_EQ(out.injected, 1);
    EXPECT_EQ(out.runs, 1);
    EXPECT_EQ(out.code, FSCleaner::REFUSED);
    QFile theirs(privatePath);
    ASSERT_TRUE(theirs.open(QIODevice::ReadOnly)) << "their file was removed";
    EXPECT_EQ(theirs.readAll(), "another process's file") << "their file was overwritten";
    EXPECT_FALSE(t.Exists("dir/secret")) << "their file was given the planned name";
    ExpectRefusedWithLine(log, t, "dir/secret",
                          "another entry was put under its private name \"" +
                              QFileInfo(privatePath).fileName().toStdString() +
                              "\" while it was overwritten; that one is left there");
}
