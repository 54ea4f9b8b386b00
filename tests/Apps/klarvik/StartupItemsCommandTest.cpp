// `klarvik scan|clean --kind launch-agents|login-items` through the real
// program, with the `launchctl` stand-in on PATH.
#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include "Platform/Launchctl.h"
#include "common/FakeLaunchctl.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Platform::launchctlTimeLimitMs;
using Varnex::Test::FakeLaunchctl;
using Varnex::Test::RunProgram;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;

namespace {

int Klarvik(const QStringList& args, QByteArray* out, QByteArray* err) {
    return RunProgram(KLARVIK_PROGRAM, args, out, err);
}

// Starts klarvik, waits until `launchctl` was called as `call` begins, then
// presses Ctrl-C: the exit code, -1 when it did not end in time.
int InterruptedAt(const QStringList& args, const FakeLaunchctl& fake, const QString& call,
                  QByteArray* out, qint64* elapsedMs) {
    QProcess klarvik;
    klarvik.setStandardInputFile(QProcess::nullDevice());
    klarvik.start(KLARVIK_PROGRAM, args);
    EXPECT_TRUE(klarvik.waitForStarted());
    QElapsedTimer clock;
    clock.start();
    while (fake.Calls().filter(QRegularExpression("^" + call)).isEmpty() &&
           klarvik.state() == QProcess::Running && clock.elapsed() < 60000) {
        klarvik.waitForFinished(20);
    }
    EXPECT_EQ(klarvik.state(), QProcess::Running)
        << "it ended before the call " << call.toStdString();
    clock.restart();
    ::kill(static_cast<pid_t>(klarvik.processId()), SIGINT);
    const bool ended = klarvik.waitForFinished(60000);
    *elapsedMs = clock.elapsed();
    *out = klarvik.readAllStandardOutput();
    if (!ended) {
        klarvik.kill();
        klarvik.waitForFinished();
        return -1;
    }
    return klarvik.exitStatus() == QProcess::NormalExit ? klarvik.exitCode() : -1;
}

}  // namespace

// Jobs show on or off by their exact label; --disable / --enable switch them;
// clean takes only what --select names, unloads it and removes its file, and
// refuses to remove a file whose job stays loaded.
TEST(KlarvikStartupItems, LaunchAgentsAreSwitchedAndRemovedOnlyOnceUnloaded) {
    TempTree home, sysroot;
    ScopedEnv h("HOME", home.Root().toUtf8()), r("KLARVIK_SYSROOT", sysroot.Root().toUtf8());
    FakeLaunchctl fake;
    home.MakeFile("Library/LaunchAgents/com.example.a.plist", FakeLaunchctl::JobPlist("com.example.a"));
    sysroot.MakeFile("Library/LaunchDaemons/example.a.plist", FakeLaunchctl::JobPlist("example.a"));
    const QString a = home.Path("Library/LaunchAgents/com.example.a.plist");
    const QString d = sysroot.Path("Library/LaunchDaemons/example.a.plist");
    fake.SetLoaded({"com.example.a"});
    QByteArray out, err;

    ASSERT_EQ(Klarvik({"scan", "--kind", "launch-agents"}, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("on   com.example.a  " + a.toUtf8())) << out.data();
    EXPECT_TRUE(out.contains("off  example.a  " + d.toUtf8())) << out.data();
    EXPECT_TRUE(out.contains("Total: 2 items, 1 on (done)")) << out.data();
    EXPECT_EQ(Klarvik({"scan", "--kind", "launch-agents", "/tmp"}, &out, &err), 2);
    // A listing that fails is no "all off".
    fake.SetFailing("list");
    EXPECT_EQ(Klarvik({"scan", "--kind", "launch-agents"}, &out, &err), 1);
    EXPECT_TRUE(err.contains("which jobs are loaded is unknown: launchctl list exit code 5"))
        << err.data();
    EXPECT_TRUE(out.contains("error: whether the job is loaded is unknown")) << out.data();
    fake.SetFailing("");
    // Nor is one that exits with 0 having printed something else: the state
    // is shown unknown, not off.
    fake.SetGarbling("list");
    EXPECT_EQ(Klarvik({"scan", "--kind", "launch-agents"}, &out, &err), 1);
    EXPECT_TRUE(err.contains("which jobs are loaded is unknown: launchctl list printed no listing"))
        << err.data();
    EXPECT_TRUE(out.contains("?    com.example.a  " + a.toUtf8())) << out.data();
    EXPECT_EQ(Klarvik({"scan", "--kind", "launch-agents", "--json"}, &out, &err), 1);
    EXPECT_TRUE(QJsonDocument::fromJson(out)
                    .object()
                    .value("jobs")
                    .toArray()
                    .at(0)
                    .toObject()
                    .value("enabled")
                    .isNull())
        << out.data();
    fake.SetGarbling("");

    ASSERT_EQ(Klarvik({"scan", "--kind", "launch-agents", "--disable", a, "--enable", d}, &out, &err), 0)
        << err.data();
    EXPECT_EQ(fake.Loaded(), QStringList{"example.a"});
    EXPECT_EQ(Klarvik({"scan", "--kind", "launch-agents", "--enable", a + "x"}, &out, &err), 2);
    EXPECT_EQ(fake.Loaded(), QStringList{"example.a"});

    // Nothing is cleaned without --select; a job that will not unload stays.
    EXPECT_EQ(Klarvik({"clean", "--kind", "launch-agents", "--yes"}, &out, &err), 2);
    fake.SetFailing("unload");
    EXPECT_EQ(Klarvik({"clean", "--kind", "launch-agents", "--yes", "--select", d}, &out, &err), 1);
    EXPECT_TRUE(out.contains("failed: " + d.toUtf8())) << out.data();
    EXPECT_TRUE(sysroot.Exists("Library/LaunchDaemons/example.a.plist"));
    fake.SetFailing("");
    ASSERT_EQ(Klarvik({"clean", "--kind", "launch-agents", "--yes", "--select", d}, &out, &err), 0)
        << out.data() << err.data();
    EXPECT_TRUE(out.contains("removed: " + d.toUtf8())) << out.data();
    EXPECT_FALSE(sysroot.Exists("Library/LaunchDaemons/example.a.plist"));
    EXPECT_TRUE(fake.Loaded().isEmpty());
    EXPECT_TRUE(home.Exists("Library/LaunchAgents/com.example.a.plist"));
}

// Ctrl-C ends the run at once, whichever launchctl call hangs: the tool is
// killed (not waited for its 30 s), nothing is removed, exit 130.
TEST(KlarvikStartupItems, CtrlCKillsAHangingLaunchctl) {
    TempTree home, sysroot;
    ScopedEnv h("HOME", home.Root().toUtf8()), r("KLARVIK_SYSROOT", sysroot.Root().toUtf8());
    FakeLaunchctl fake;
    home.MakeFile("Library/LaunchAgents/com.example.a.plist",
                  FakeLaunchctl::JobPlist("com.example.a"));
    const QString a = home.Path("Library/LaunchAgents/com.example.a.plist");
    fake.SetLoaded({"com.example.a"});
    struct Case {
        const char* hangs;
        QStringList args;
    };
    for (const Case& c :
         {Case{"list", {"scan", "--kind", "launch-agents"}},
          Case{"unload", {"scan", "--kind", "launch-agents", "--disable", a}},
          Case{"unload", {"clean", "--kind", "launch-agents", "--yes", "--select", a}}}) {
        fake.SetHanging(c.hangs);
        fake.ClearCalls();
        QByteArray out;
        qint64 elapsed = 0;
        EXPECT_EQ(InterruptedAt(c.args, fake, c.hangs, &out, &elapsed), 130)
            << c.args.join(' ').toStdString() << "\n"
            << out.data();
        EXPECT_LT(elapsed, launchctlTimeLimitMs / 2) << c.args.join(' ').toStdString();
        EXPECT_TRUE(home.Exists("Library/LaunchAgents/com.example.a.plist"));
        if (c.args.first() == "clean") {
            EXPECT_TRUE(out.contains("failed: " + a.toUtf8())) << out.data();
            EXPECT_TRUE(out.contains("(canceled)")) << out.data();
        }
    }
}

// Login items: switched off they stay listed (remembered), clean takes one
// out of the list and forgets it.
TEST(KlarvikStartupItems, LoginItemsAreSwitchedRememberedAndForgotten) {
    TempTree home;
    ScopedEnv h("HOME", home.Root().toUtf8()), c("XDG_CONFIG_HOME", QByteArray());
    home.MakeFile("Applications/Chat", "#!/bin/sh\n");
    const QString chat = home.Path("Applications/Chat");
    home.MakeFile(".config/autostart/chat.desktop", "[Desktop Entry]\nExec=" + chat.toUtf8() + " -m\n");
    QByteArray out, err;

    ASSERT_EQ(Klarvik({"scan", "--kind", "login-items", "--disable", chat}, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("off  Chat  " + chat.toUtf8())) << out.data();
    EXPECT_TRUE(home.Read(".config/autostart/chat.desktop").contains("Hidden=true"));
    ASSERT_EQ(Klarvik({"scan", "--kind", "login-items"}, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("off  Chat  " + chat.toUtf8())) << out.data();
    ASSERT_EQ(Klarvik({"clean", "--kind", "login-items", "--yes", "--select", chat}, &out, &err), 0)
        << out.data() << err.data();
    EXPECT_TRUE(out.contains("removed: " + chat.toUtf8())) << out.data();
    ASSERT_EQ(Klarvik({"scan", "--kind", "login-items"}, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("Total: 0 items, 0 on (done)")) << out.data();
    // The user's entry is still there, switched off.
    EXPECT_TRUE(home.Exists(".config/autostart/chat.desktop"));
}

// The system's autostart entries are login items too: one is switched off
// and on again by the user's entry of its name, the system's file untouched.
TEST(KlarvikStartupItems, SystemLoginItemsAreSwitchedByTheUsersEntry) {
    TempTree home, sysroot;
    ScopedEnv h("HOME", home.Root().toUtf8()), r("KLARVIK_SYSROOT", sysroot.Root().toUtf8()),
        c("XDG_CONFIG_HOME", QByteArray()), d("XDG_CONFIG_DIRS", QByteArray());
    home.MakeFile("Applications/Tray", "#!/bin/sh\n");
    const QString tray = home.Path("Applications/Tray");
    const QByteArray system = "[Desktop Entry]\nName=Tray\nExec=" + tray.toUtf8() + " --quiet\n";
    sysroot.MakeFile("etc/xdg/autostart/tray.desktop", system);
    QByteArray out, err;

    ASSERT_EQ(Klarvik({"scan", "--kind", "login-items"}, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("on   Tray  " + tray.toUtf8())) << out.data();
    ASSERT_EQ(Klarvik({"scan", "--kind", "login-items", "--disable", tray}, &out, &err), 0)
        << err.data();
    EXPECT_TRUE(out.contains("off  Tray  " + tray.toUtf8())) << out.data();
    EXPECT_TRUE(home.Read(".config/autostart/tray.desktop").contains("\nHidden=true\n"));
    ASSERT_EQ(Klarvik({"scan", "--kind", "login-items", "--enable", tray}, &out, &err), 0)
        << err.data();
    EXPECT_TRUE(out.contains("on   Tray  " + tray.toUtf8())) << out.data();
    EXPECT_EQ(sysroot.Read("etc/xdg/autostart/tray.desktop"), system);
}
