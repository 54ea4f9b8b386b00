// The updater's configuration file written into real folders: created with
// its parents, replaced atomically, refused for injected lines, links and
// folders that can't be written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>

#include "Core/FreshclamConfig.h"
#include "common/FileSizeLimit.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"

using Varnex::Cleaner::Details::FreshclamConfig;
using Varnex::Test::FileSizeLimit;
using Varnex::Test::LogCapture;
using Varnex::Test::TempTree;

namespace {

const QString mirror = "database.clamav.net";
const unsigned nobodyId = 65534;

}  // namespace

TEST(FreshclamConfigTest, WritesTheTwoLinesCreatingTheFolders) {
    TempTree tree;
    const QString conf = tree.Path("ClamAV/engine/etc/freshclam.conf");
    QString problem = "stale";
    ASSERT_TRUE(FreshclamConfig::Write(conf, tree.Path("ClamAV/db"), mirror, &problem));
    EXPECT_TRUE(problem.isEmpty());
    EXPECT_EQ(tree.Read("ClamAV/engine/etc/freshclam.conf"),
              ("DatabaseDirectory " + tree.Path("ClamAV/db") + "\nDatabaseMirror " + mirror + "\n")
                  .toLocal8Bit());

    // Rewriting replaces the file and leaves no temporary file behind; a
    // "%2" in the folder is taken as it is.
    ASSERT_TRUE(FreshclamConfig::Write(conf, "/srv/db %2", "mirror.example.net"));
    EXPECT_EQ(tree.Read("ClamAV/engine/etc/freshclam.conf"),
              "DatabaseDirectory /srv/db %2\nDatabaseMirror mirror.example.net\n");
    EXPECT_EQ(QDir(tree.Path("ClamAV/engine/etc"))
                  .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
              QStringList{"freshclam.conf"});
}

TEST(FreshclamConfigTest, RefusesValuesThatWouldAddLines) {
    TempTree tree;
    LogCapture log;
    const QString conf = tree.Path("etc/freshclam.conf");
    tree.MakeFile("etc/freshclam.conf", "old\n");
    const std::pair<QString, QString> bad[] = {
        {"/db\nDatabaseMirror evil.example", mirror},
        {"/db\rScriptedUpdates yes", mirror},
        {"/db", mirror + "\nDatabaseMirror evil.example"},
        {"/db", mirror + "\r"},
        {"/db", "two hosts"},
        {QString("/db") + QChar(0) + "x", mirror},
        {"", mirror},
        {"/db", ""},
    };
    for (const auto& [folder, host] : bad) {
        QString problem;
        EXPECT_FALSE(FreshclamConfig::Write(conf, folder, host, &problem)) << folder.toStdString();
        EXPECT_FALSE(problem.isEmpty());
    }
    EXPECT_EQ(tree.Read("etc/freshclam.conf"), "old\n");
    EXPECT_EQ(log.Count(google::ERROR, "Can't write the updater configuration",
                        "src/Libs/Core/FreshclamConfig"),
              8);
}

TEST(FreshclamConfigTest, FailsCleanlyWhereItCantWrite) {
    TempTree tree;
    QString problem;
    // A file where the etc folder should be: no folder can be made.
    tree.MakeFile("engine/etc", "not a folder");
    EXPECT_FALSE(
        FreshclamConfig::Write(tree.Path("engine/etc/freshclam.conf"), "/db", mirror, &problem));
    EXPECT_EQ(problem, "Can't create the folder " + tree.Path("engine/etc"));
    EXPECT_EQ(tree.Read("engine/etc"), "not a folder");

    // A folder in the file's place.
    tree.MakeDir("etc2/freshclam.conf");
    EXPECT_FALSE(FreshclamConfig::Write(tree.Path("etc2/freshclam.conf"), "/db", mirror, &problem));

    // A link in the file's place is not written through.
    tree.MakeFile("elsewhere/target", "keep");
    tree.MakeSymlink(tree.Path("elsewhere/target"), "etc3/freshclam.conf");
    EXPECT_FALSE(FreshclamConfig::Write(tree.Path("etc3/freshclam.conf"), "/db", mirror, &problem));
    EXPECT_TRUE(problem.contains("symbolic link"));
    EXPECT_EQ(tree.Read("elsewhere/target"), "keep");
    // Nor is a file in a folder reached through a link, at either level.
    tree.MakeDir("outside");
    tree.MakeSymlink(tree.Path("outside"), "engine4/etc");
    tree.MakeSymlink(tree.Path("outside"), "engine5");
    for (const QString& conf :
         {tree.Path("engine4/etc/freshclam.conf"), tree.Path("engine5/etc/freshclam.conf")}) {
        EXPECT_FALSE(FreshclamConfig::Write(conf, "/db", mirror, &problem)) << conf.toStdString();
        EXPECT_TRUE(problem.contains("is a symbolic link")) << problem.toStdString();
    }
    EXPECT_TRUE(QDir(tree.Path("outside")).isEmpty());

    // A folder nobody can create files in, root included.
    ASSERT_TRUE(QFileInfo("/proc/self").isDir());
    EXPECT_FALSE(FreshclamConfig::Write("/proc/self/freshclam.conf", "/db", mirror, &problem));
    EXPECT_TRUE(problem.startsWith("Can't write /proc/self/freshclam.conf: "))
        << problem.toStdString();
    EXPECT_FALSE(QFileInfo::exists("/proc/self/freshclam.conf"));
}

TEST(FreshclamConfigTest, ReadOnlyFolderKeepsTheOldFile) {
    TempTree tree;
    tree.MakeFile("etc/freshclam.conf", "old\n");
    const QByteArray root = tree.Root().toLocal8Bit();
    const QByteArray etc = tree.Path("etc").toLocal8Bit();
    ASSERT_EQ(::chmod(root.constData(), 0755), 0);
    ASSERT_EQ(::chmod(etc.constData(), 0555), 0);
    const QString conf = tree.Path("etc/freshclam.conf");
    // Permissions do not bind root: root writes as "nobody", in a child.
    const bool asRoot = ::geteuid() == 0;
    bool written = true;
    QString problem;
    if (!asRoot) {
        written = FreshclamConfig::Write(conf, "/db", mirror, &problem);
        EXPECT_TRUE(problem.startsWith("Can't write " + conf)) << problem.toStdString();
    } else {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setgid(nobodyId) != 0 || ::setuid(nobodyId) != 0) {
                ::_exit(2);
            }
            ::_exit(FreshclamConfig::Write(conf, "/db", mirror) ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 2) << "could not become nobody";
        written = WEXITSTATUS(status) == 1;
    }
    ::chmod(etc.constData(), 0755);
    EXPECT_FALSE(written);
    EXPECT_EQ(tree.Read("etc/freshclam.conf"), "old\n");
    EXPECT_EQ(
        QDir(tree.Path("etc")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
        QStringList{"freshclam.conf"});
}

TEST(FreshclamConfigTest, AFullDiskKeepsTheOldFile) {
    TempTree tree;
    tree.MakeFile("etc/freshclam.conf", "old\n");
    const QString conf = tree.Path("etc/freshclam.conf");
    QString problem;
    bool written = true;
    {
        FileSizeLimit full(8);
        written = FreshclamConfig::Write(conf, "/a/long/enough/database/folder", mirror, &problem);
    }
    EXPECT_FALSE(written);
    EXPECT_TRUE(problem.startsWith("Can't write " + conf + ": ")) << problem.toStdString();
    EXPECT_EQ(tree.Read("etc/freshclam.conf"), "old\n");
    EXPECT_EQ(
        QDir(tree.Path("etc")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
        QStringList{"freshclam.conf"});
}

TEST(FreshclamConfigTest, DescribesExitCodes) {
    EXPECT_EQ(FreshclamConfig::DescribeExit(0), "done");
    EXPECT_EQ(FreshclamConfig::DescribeExit(52), "can't connect to the mirror");
    EXPECT_EQ(FreshclamConfig::DescribeExit(54), "the downloaded database could not be verified");
    EXPECT_EQ(FreshclamConfig::DescribeExit(59), "the mirrors are not in step yet");
    EXPECT_EQ(FreshclamConfig::DescribeExit(1), "failed with exit code 1");
}
