// `launchctl list` read by columns, and the tool run as a child process: a
// failing, hanging or missing tool never reads as "loaded".
#include <gtest/gtest.h>

#include "Platform/Launchctl.h"
#include "common/FakeLaunchctl.h"
#include "common/LogCapture.h"
#include "common/PropertyListFixtures.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"

using namespace Varnex::Platform;
using Varnex::Test::FakeLaunchctl;
using Varnex::Test::LogCapture;

TEST(Launchctl, ListingIsReadByColumnsAndLabelsCompareWhole) {
    const QByteArray output =
        "PID\tStatus\tLabel\n"
        "123\t0\tcom.example.agent\n"
        "-\t-15\tx(y\n"
        "-\t0\tcom.example.a.b\n"
        "12\t0\tbad\textra\n"      // four columns
        "-\tcom.example.two\n"     // two columns
        "pid\t0\tcom.example.pid\n"  // the PID is no number
        "-\t0\t\n"                 // no label
        "-\t0\t\xff\xfe\n"         // not UTF-8
        "  -\t0\tspaced\n";
    const LaunchJobListing listing = ParseLaunchctlList(output);
    ASSERT_TRUE(listing.ok);
    EXPECT_EQ(listing.badLines, 6);
    EXPECT_EQ(listing.labels, (QSet<QString>{"com.example.agent", "x(y", "com.example.a.b"}));
    EXPECT_TRUE(listing.IsLoaded("com.example.agent"));
    EXPECT_TRUE(listing.IsLoaded("x(y"));
    // A suffix, a prefix, a dot for any character, an empty label: not loaded.
    for (const char* label : {"example.agent", "com.example", "com.example.a", "comXexample.agent",
                                 "com.example.a.b.c", "", "bad", "extra", "spaced", ".*"}) {
        EXPECT_FALSE(listing.IsLoaded(QString::fromUtf8(label))) << label;
    }
    // Without a readable listing nothing is loaded.
    LaunchJobListing failed = listing;
    failed.ok = false;
    EXPECT_FALSE(failed.IsLoaded("com.example.agent"));
}

TEST(Launchctl, ToolThatFailsHangsOrIsMissingIsNoListing) {
    FakeLaunchctl fake;
    fake.SetLoaded({"com.example.agent"});
    LaunchJobListing listing = ListLaunchJobs();
    ASSERT_TRUE(listing.ok) << listing.problem.toStdString();
    EXPECT_EQ(listing.labels, QSet<QString>{"com.example.agent"});
    EXPECT_EQ(listing.badLines, 0);

    fake.SetFailing("list");
    listing = ListLaunchJobs();
    EXPECT_FALSE(listing.ok);
    EXPECT_FALSE(listing.IsLoaded("com.example.agent"));
    EXPECT_TRUE(listing.problem.contains("exit code 5")) << listing.problem.toStdString();

    // Exit 0 with something else than a listing, or a line of it that
    // cannot be read (a label with a tab): the job on it might be any.
    fake.SetFailing("");
    fake.SetGarbling("list");
    listing = ListLaunchJobs();
    EXPECT_FALSE(listing.ok);
    EXPECT_TRUE(listing.problem.contains("printed no listing")) << listing.problem.toStdString();
    fake.SetGarbling("");
    fake.SetLoaded({"com.example.agent", "com.example\tother"});
    listing = ListLaunchJobs();
    EXPECT_FALSE(listing.ok);
    EXPECT_FALSE(listing.IsLoaded("com.example.agent"));
    EXPECT_TRUE(listing.problem.contains("a line that cannot be read"))
        << listing.problem.toStdString();

    fake.SetHanging("list");
    listing = ListLaunchJobs(500);
    EXPECT_FALSE(listing.ok);
    EXPECT_TRUE(listing.problem.contains("timed out")) << listing.problem.toStdString();

    fake.SetHanging("");
    fake.SetCrashing("list");
    {
        LogCapture log;
        listing = ListLaunchJobs();
        EXPECT_FALSE(listing.ok);
        EXPECT_FALSE(listing.IsLoaded("com.example.agent"));
        EXPECT_TRUE(listing.problem.contains("ended by a signal")) << listing.problem.toStdString();
        EXPECT_TRUE(log.Contains(google::WARNING, "Can't tell which launch jobs are loaded"))
            << log.Dump();
    }
    // Garbage with exit code 0: no listing to believe, and it says so.
    fake.SetCrashing("");
    fake.SetGarbling("list");
    {
        LogCapture log;
        listing = ListLaunchJobs();
        EXPECT_FALSE(listing.ok);
        EXPECT_FALSE(listing.IsLoaded("com.example.agent"));
        EXPECT_TRUE(log.Contains(google::WARNING, "Can't tell which launch jobs are loaded"))
            << log.Dump();
    }
    fake.SetGarbling("");

    {
        Varnex::Test::ScopedEnv path("PATH", "/nonexistent");
        listing = ListLaunchJobs();
        EXPECT_FALSE(listing.ok);
        EXPECT_TRUE(listing.problem.contains("could not be started")) << listing.problem.toStdString();
    }
}

TEST(Launchctl, SwitchRunsLoadAndUnloadWithTheFile) {
    FakeLaunchctl fake;
    Varnex::Test::TempTree t;
    t.MakeFile("com.example.job.plist", FakeLaunchctl::JobPlist("com.example.job"));
    const QString path = t.Path("com.example.job.plist");
    QString problem;
    ASSERT_TRUE(SwitchLaunchJob(path, true, &problem)) << problem.toStdString();
    EXPECT_EQ(fake.Loaded(), QStringList{"com.example.job"});
    ASSERT_TRUE(SwitchLaunchJob(path, false, &problem)) << problem.toStdString();
    EXPECT_TRUE(fake.Loaded().isEmpty());
    EXPECT_EQ(fake.Calls(), (QStringList{"load -w " + path, "unload -w " + path}));
    // Unloading what is not loaded is the tool's error, and is answered so.
    EXPECT_FALSE(SwitchLaunchJob(path, false, &problem));
    EXPECT_TRUE(problem.contains("exit code 3")) << problem.toStdString();
    // The stand-in reads binary property lists too.
    t.MakeFile("binary.plist",
               Varnex::Test::BinaryPropertyList(FakeLaunchctl::JobPlist("com.example.binary")));
    ASSERT_TRUE(SwitchLaunchJob(t.Path("binary.plist"), true, &problem)) << problem.toStdString();
    EXPECT_EQ(fake.Loaded(), QStringList{"com.example.binary"});
}
