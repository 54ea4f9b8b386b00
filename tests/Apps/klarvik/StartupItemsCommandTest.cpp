// `klarvik scan|clean --kind launch-agents|login-items` through the real
// program, with the `launchctl` stand-in on PATH.
#include <gtest/gtest.h>

#include "common/FakeLaunchctl.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Test::FakeLaunchctl;
using Varnex::Test::RunProgram;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;

namespace {

int Klarvik(const QStringList& args, QByteArray* out, QByteArray* err) {
    return RunProgram(KLARVIK_PROGRAM, args, out, err);
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
