// The launch agent scope against the `launchctl` stand-in: which jobs show
// loaded, that the listing is read once per scan, that switching runs the
// tool and shows the real state, and that a job file is removed only once
// its job is unloaded.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>

#include "Core/details/GarbageLaunchAgent.h"
#include "Core/details/LaunchAgentGarbageScope.h"
#include "Platform/Launchctl.h"
#include "common/FakeLaunchctl.h"
#include "common/LogCapture.h"
#include "common/PropertyListFixtures.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::FakeLaunchctl;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

const int waitMs = 60000;

// A home folder and a system root of their own, with the stand-in on PATH.
struct Machine {
    TempTree home;
    TempTree sysroot;
    ScopedEnv homeEnv{"HOME", home.Root().toUtf8()};
    ScopedEnv rootEnv{"KLARVIK_SYSROOT", sysroot.Root().toUtf8()};
    FakeLaunchctl launchctl;

    QString Agent(const QString& file, const QByteArray& content) {
        home.MakeFile("Library/LaunchAgents/" + file, content);
        return home.Path("Library/LaunchAgents/" + file);
    }
    QString Daemon(const QString& file, const QByteArray& content) {
        sysroot.MakeFile("Library/LaunchDaemons/" + file, content);
        return sysroot.Path("Library/LaunchDaemons/" + file);
    }
};

AbstractGarbageScope::FinishReason Scan(AbstractGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.size(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<AbstractGarbageScope::FinishReason>();
}

int ListCalls(const FakeLaunchctl& fake) {
    return fake.Calls().count("list");
}

// Cleans what is selected and waits for the end (the jobs are unloaded in
// the background first); FAILED also when it would not start.
AbstractGarbageScope::FinishReason Clean(AbstractGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    if (!scope.StartCleaning()) {
        return AbstractGarbageScope::FAILED;
    }
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.size(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<AbstractGarbageScope::FinishReason>();
}

QStringList Switches(const FakeLaunchctl& fake) {
    return fake.Calls().filter(QRegularExpression("^(un)?load "));
}

}  // namespace

TEST(LaunchAgentScope, ShowsTheJobsLoadedByExactLabelReadingTheListingOnce) {
    Machine m;
    const QString agent = m.Agent("com.example.agent.plist", FakeLaunchctl::JobPlist("com.example.agent"));
    const QString suffix = m.Agent("example.agent.plist", FakeLaunchctl::JobPlist("example.agent"));
    const QString dotted = m.Agent("com.exampleXagent.plist", FakeLaunchctl::JobPlist("com.exampleXagent"));
    const QString binary = m.Daemon("com.example.bin.plist",
                                    Varnex::Test::BinaryPropertyList(FakeLaunchctl::JobPlist("x(y")));
    const QString number = m.Agent("number.plist",
                                   "<plist><dict><key>Label</key><integer>7</integer></dict></plist>");
    const QString empty = m.Agent("empty.plist", FakeLaunchctl::JobPlist(""));
    const QString broken = m.Daemon("broken.plist", "<plist><dict><key>Label</key>");
    m.Agent("notes.txt", "not a job");
    m.launchctl.SetLoaded({"com.example.agent", "x(y", "com.example.agent.extra"});

    LaunchAgentGarbageScope scope;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_EQ(scope.GetRoots().size(), 7);
    EXPECT_EQ(ListCalls(m.launchctl), 1);
    GarbageLaunchAgent* a = scope.FindAgent(agent);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->GetName(), "com.example.agent");
    EXPECT_EQ(a->GetLabel(), "com.example.agent");
    EXPECT_FALSE(a->IsSelected());
    EXPECT_TRUE(a->IsEnabled());
    EXPECT_TRUE(scope.FindAgent(binary)->IsEnabled());
    // A suffix of a loaded label, a dot standing for any character: not loaded.
    EXPECT_FALSE(scope.FindAgent(suffix)->IsEnabled());
    EXPECT_FALSE(scope.FindAgent(dotted)->IsEnabled());
    // A label that is no string, an empty one, a list that does not parse: an
    // error on the item, never loaded, never switched.
    for (const QString& bad : {number, empty, broken}) {
        GarbageLaunchAgent* item = scope.FindAgent(bad);
        ASSERT_TRUE(item) << bad.toStdString();
        EXPECT_FALSE(item->IsEnabled());
        EXPECT_EQ(item->GetError(), AbstractGarbage::Error::UNKNOWN);
        EXPECT_FALSE(item->GetProblem().isEmpty());
        item->SetEnabled(true);
        EXPECT_FALSE(item->IsEnabled());
    }
    EXPECT_TRUE(scope.ContainsError());
    EXPECT_EQ(m.launchctl.Calls().size(), 1);  // the bad ones ran nothing

    // A tool that fails: nothing is guessed loaded, and it is logged.
    m.launchctl.SetFailing("list");
    Varnex::Test::LogCapture log;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(scope.FindAgent(agent)->IsEnabled());
    EXPECT_TRUE(log.Contains(google::WARNING, "Can't tell which launch jobs are loaded")) << log.Dump();
    // ... and not believed off: each item says so, the scope tells why.
    EXPECT_EQ(scope.FindAgent(agent)->GetError(), AbstractGarbage::Error::UNKNOWN);
    EXPECT_FALSE(scope.FindAgent(agent)->IsStateKnown());
    EXPECT_TRUE(scope.FindAgent(agent)->GetProblem().startsWith("whether the job is loaded is unknown"));
    EXPECT_TRUE(scope.GetListingProblem().contains("exit code 5")) << scope.GetListingProblem().toStdString();
    // A switch that tells the truth again clears it.
    m.launchctl.SetFailing("");
    scope.FindAgent(agent)->SetEnabled(true);
    EXPECT_TRUE(scope.FindAgent(agent)->IsEnabled());
    EXPECT_TRUE(scope.FindAgent(agent)->IsStateKnown());
    EXPECT_EQ(scope.FindAgent(agent)->GetError(), AbstractGarbage::Error::OK);
}

// A listing that hangs is read off the scope's thread and ends with a stop.
TEST(LaunchAgentScope, AHangingListingHoldsNeitherTheScopeNorItsStop) {
    Machine m;
    m.Agent("com.example.agent.plist", FakeLaunchctl::JobPlist("com.example.agent"));
    m.launchctl.SetHanging("list");
    LaunchAgentGarbageScope scope;
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);
    scope.StartScanning();
    ASSERT_TRUE(WaitUntil([&] { return ListCalls(m.launchctl) == 1; }, waitMs));
    // Had the listing run on this thread, the wait above would have returned
    // only after its time limit, with the scan over.
    EXPECT_TRUE(scope.IsScanning());
    EXPECT_TRUE(scope.GetRoots().isEmpty());  // no item before the listing is in
    scope.StopScanning();
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.last().at(1).value<AbstractGarbageScope::FinishReason>(),
              AbstractGarbageScope::CANCELED);
}

// launchctl acts by label, and its -w records a job switched off by label:
// with a stale copy of a job's file (or a file claiming a system job's
// label), switching either file could stop the other's job, or keep it from
// starting. Neither is ever switched; the copy goes only while its label is
// not loaded, and then without any unload.
TEST(LaunchAgentScope, AJobFileSharingItsLabelIsNeverSwitched) {
    Machine m;
    const QString live = m.Daemon("com.example.job.plist", FakeLaunchctl::JobPlist("com.example.job"));
    const QString stale = m.Agent("old-copy.plist", FakeLaunchctl::JobPlist("com.example.job"));
    const QString claimer = m.Agent("helper.plist", FakeLaunchctl::JobPlist("com.apple.core"));
    m.sysroot.MakeFile("System/Library/LaunchDaemons/com.apple.core.plist",
                       FakeLaunchctl::JobPlist("com.apple.core"));
    m.launchctl.SetLoaded({"com.example.job", "com.apple.core"});
    LaunchAgentGarbageScope scope;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    m.launchctl.ClearCalls();
    for (const QString& path : {stale, live, claimer}) {
        for (const bool on : {false, true}) {
            GarbageLaunchAgent* item = scope.FindAgent(path);
            item->SetEnabled(on);
            EXPECT_EQ(item->GetError(), AbstractGarbage::Error::REFUSED) << path.toStdString();
            EXPECT_TRUE(item->IsEnabled()) << "the listing's truth: " << path.toStdString();
        }
    }
    EXPECT_TRUE(Switches(m.launchctl).isEmpty()) << m.launchctl.Calls().join('\n').toStdString();
    EXPECT_EQ(m.launchctl.Loaded(), (QStringList{"com.example.job", "com.apple.core"}));
    EXPECT_TRUE(scope.FindAgent(stale)->GetProblem().contains(live));
    EXPECT_TRUE(scope.FindAgent(claimer)->GetProblem().contains("/System/Library/LaunchDaemons/"))
        << scope.FindAgent(claimer)->GetProblem().toStdString();

    // Loaded: the copy is refused and kept.
    scope.FindAgent(stale)->Select(true);
    Clean(scope);
    EXPECT_TRUE(Switches(m.launchctl).isEmpty()) << m.launchctl.Calls().join('\n').toStdString();
    EXPECT_EQ(m.launchctl.Loaded(), (QStringList{"com.example.job", "com.apple.core"}));
    EXPECT_TRUE(m.home.Exists("Library/LaunchAgents/old-copy.plist"));
    EXPECT_EQ(scope.FindAgent(stale)->GetError(), AbstractGarbage::Error::REFUSED);
    EXPECT_TRUE(scope.FindAgent(stale)->GetProblem().contains(live));
    // Not loaded, the copy goes alone: nothing is unloaded by its label.
    m.launchctl.SetLoaded({});
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    scope.FindAgent(stale)->Select(true);
    m.launchctl.ClearCalls();
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_TRUE(Switches(m.launchctl).isEmpty()) << m.launchctl.Calls().join('\n').toStdString();
    EXPECT_FALSE(m.home.Exists("Library/LaunchAgents/old-copy.plist"));
    EXPECT_TRUE(m.sysroot.Exists("Library/LaunchDaemons/com.example.job.plist"));
    EXPECT_TRUE(scope.FindAgent(stale)->IsClean());
}

// The jobs are unloaded off the scope's thread: a launchctl that hangs holds
// neither the start of the cleaning nor its stop, which kills it and
// finishes CANCELED, the file kept and its job's state told unknown.
TEST(LaunchAgentScope, AStopDuringAHangingUnloadKillsItAndFinishesCanceled) {
    Machine m;
    const QString agent = m.Agent("com.example.a.plist", FakeLaunchctl::JobPlist("com.example.a"));
    m.launchctl.SetLoaded({"com.example.a"});
    LaunchAgentGarbageScope scope;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    scope.FindAgent(agent)->Select(true);
    m.launchctl.SetHanging("unload");
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(scope.StartCleaning());
    EXPECT_TRUE(scope.IsCleaning());
    ASSERT_TRUE(WaitUntil([&] { return !Switches(m.launchctl).isEmpty(); }, waitMs));
    EXPECT_TRUE(finished.isEmpty());
    scope.StopCleaning();
    ASSERT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_LT(clock.elapsed(), Varnex::Platform::launchctlTimeLimitMs) << "the tool was waited for";
    EXPECT_EQ(finished.size(), 1);
    EXPECT_EQ(finished.last().at(1).value<AbstractGarbageScope::FinishReason>(),
              AbstractGarbageScope::CANCELED);
    EXPECT_TRUE(m.home.Exists("Library/LaunchAgents/com.example.a.plist"));
    EXPECT_FALSE(scope.FindAgent(agent)->IsStateKnown());
    EXPECT_EQ(scope.FindAgent(agent)->GetError(), AbstractGarbage::Error::UNKNOWN);
    EXPECT_EQ(scope.GetTotalCleanedItems(), 0);
}

TEST(LaunchAgentScope, SwitchingRunsTheToolAndShowsTheRealState) {
    Machine m;
    const QString path = m.Agent("com.example.agent.plist", FakeLaunchctl::JobPlist("com.example.agent"));
    LaunchAgentGarbageScope scope;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    GarbageLaunchAgent* item = scope.FindAgent(path);
    ASSERT_TRUE(item);
    EXPECT_FALSE(item->IsEnabled());
    QSignalSpy changed(&scope, &AbstractGarbageScope::ItemChanged);
    m.launchctl.ClearCalls();

    item->SetEnabled(true);
    EXPECT_TRUE(item->IsEnabled());
    item->SetEnabled(false);
    EXPECT_FALSE(item->IsEnabled());
    item->SetEnabled(true);
    EXPECT_EQ(m.launchctl.Calls(), (QStringList{"load -w " + path, "list", "unload -w " + path,
                                                "list", "load -w " + path, "list"}));
    EXPECT_EQ(m.launchctl.Loaded(), QStringList{"com.example.agent"});
    EXPECT_GE(changed.size(), 3);
    EXPECT_EQ(item->GetError(), AbstractGarbage::Error::OK);

    // An unload that fails leaves the job loaded: the flag says so, with an error.
    m.launchctl.SetFailing("unload");
    item->SetEnabled(false);
    EXPECT_TRUE(item->IsEnabled());
    EXPECT_EQ(item->GetError(), AbstractGarbage::Error::UNKNOWN);
    EXPECT_TRUE(item->GetProblem().contains("still loaded")) << item->GetProblem().toStdString();
    // A listing that fails after a load that worked: not shown loaded.
    m.launchctl.SetFailing("list");
    item->SetEnabled(true);
    EXPECT_FALSE(item->IsEnabled());
    EXPECT_EQ(item->GetError(), AbstractGarbage::Error::UNKNOWN);
    // Once it works again the error goes.
    m.launchctl.SetFailing("");
    item->SetEnabled(false);
    EXPECT_FALSE(item->IsEnabled());
    EXPECT_EQ(item->GetError(), AbstractGarbage::Error::OK);
}

TEST(LaunchAgentScope, CleaningUnloadsFirstAndKeepsAFileWhoseJobStaysLoaded) {
    Machine m;
    const QString on = m.Agent("com.example.on.plist", FakeLaunchctl::JobPlist("com.example.on"));
    const QString off = m.Agent("com.example.off.plist", FakeLaunchctl::JobPlist("com.example.off"));
    const QString stuck = m.Daemon("com.example.stuck.plist", FakeLaunchctl::JobPlist("com.example.stuck"));
    m.launchctl.SetLoaded({"com.example.on", "com.example.stuck"});
    LaunchAgentGarbageScope scope;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(scope.IsCleaningPossible());  // nothing selected by default
    for (const QString& p : {on, off}) {
        scope.FindAgent(p)->Select(true);
    }
    ASSERT_TRUE(scope.IsCleaningPossible());

    m.launchctl.ClearCalls();
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(m.launchctl.Calls().first(), "unload -w " + on);
    EXPECT_EQ(m.launchctl.Loaded(), QStringList{"com.example.stuck"});
    EXPECT_FALSE(m.home.Exists("Library/LaunchAgents/com.example.on.plist"));
    EXPECT_FALSE(m.home.Exists("Library/LaunchAgents/com.example.off.plist"));
    EXPECT_TRUE(scope.FindAgent(on)->IsClean());
    EXPECT_EQ(scope.GetLastCleanedItems(), 2);

    // A job that will not unload keeps its file, with an error saying so.
    scope.FindAgent(stuck)->Select(true);
    m.launchctl.SetFailing("unload");
    Clean(scope);
    EXPECT_TRUE(m.sysroot.Exists("Library/LaunchDaemons/com.example.stuck.plist"));
    EXPECT_TRUE(scope.FindAgent(stuck)->IsEnabled());
    EXPECT_EQ(scope.FindAgent(stuck)->GetError(), AbstractGarbage::Error::UNKNOWN);
    EXPECT_EQ(scope.GetTotalCleanedItems(), 2);
}

// A job that will not unload, followed by a listing that dies or is garbage:
// its absence from what could not be read is no proof it is unloaded, so its
// file stays, in error.
TEST(LaunchAgentScope, AStuckJobKeepsItsFileWhateverTheListingAfterTheUnload) {
    for (const char* listing : {"crash", "garble"}) {
        SCOPED_TRACE(listing);
        Machine m;
        const QString stuck =
            m.Daemon("com.example.stuck.plist", FakeLaunchctl::JobPlist("com.example.stuck"));
        m.launchctl.SetLoaded({"com.example.stuck"});
        LaunchAgentGarbageScope scope;
        ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
        scope.FindAgent(stuck)->Select(true);
        if (std::string(listing) == "crash") {
            m.launchctl.SetCrashing("unload list");
        } else {
            m.launchctl.SetCrashing("unload");
            m.launchctl.SetGarbling("list");
        }
        Varnex::Test::LogCapture log;
        EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
        EXPECT_EQ(m.sysroot.Read("Library/LaunchDaemons/com.example.stuck.plist"),
                  FakeLaunchctl::JobPlist("com.example.stuck"));
        EXPECT_EQ(scope.FindAgent(stuck)->GetError(), AbstractGarbage::Error::UNKNOWN);
        EXPECT_FALSE(scope.FindAgent(stuck)->IsClean());
        EXPECT_EQ(scope.GetTotalCleanedItems(), 0);
        EXPECT_TRUE(log.Contains(google::WARNING, "\"" + stuck.toStdString() + "\"")) << log.Dump();
    }
}

// A job file replaced after the scan by another job's file is neither
// switched (launchctl would act on the other job) nor removed.
TEST(LaunchAgentScope, AJobFileReplacedSinceTheScanIsNeitherSwitchedNorRemoved) {
    Machine m;
    const QString agent = m.Agent("com.example.a.plist", FakeLaunchctl::JobPlist("com.example.a"));
    m.launchctl.SetLoaded({"com.example.important"});
    LaunchAgentGarbageScope scope;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_EQ(::unlink(agent.toUtf8().constData()), 0);
    m.Agent("com.example.a.plist", FakeLaunchctl::JobPlist("com.example.important"));
    scope.FindAgent(agent)->Select(true);
    m.launchctl.ClearCalls();
    Clean(scope);
    EXPECT_TRUE(m.launchctl.Calls().filter("unload").isEmpty()) << m.launchctl.Calls().join('\n').toStdString();
    EXPECT_EQ(m.launchctl.Loaded(), QStringList{"com.example.important"});
    EXPECT_TRUE(m.home.Exists("Library/LaunchAgents/com.example.a.plist"));
    EXPECT_EQ(scope.FindAgent(agent)->GetError(), AbstractGarbage::Error::REFUSED);
}
