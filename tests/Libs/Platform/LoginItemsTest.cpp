// The login list as the session's autostart entries: which entries count as
// on, what their application is, and that switching a user's entry off keeps
// every line of it, while only our own entries are ever deleted.
#include <gtest/gtest.h>

#include <QDir>

#include "Platform/LoginItems.h"
#include "common/FileSizeLimit.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"

using namespace Varnex::Platform;
using Varnex::Test::FileSizeLimit;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;

namespace {

// A home folder and a system root of their own with an autostart folder
// each and a few applications.
struct Session {
    TempTree t;
    TempTree sysroot;
    ScopedEnv home{"HOME", t.Root().toUtf8()};
    ScopedEnv root{"KLARVIK_SYSROOT", sysroot.Root().toUtf8()};
    ScopedEnv config{"XDG_CONFIG_HOME", QByteArray()};
    ScopedEnv dirs{"XDG_CONFIG_DIRS", QByteArray()};

    QString App(const QString& name) {
        t.MakeFile("apps/" + name, "#!/bin/sh\n");
        return t.Path("apps/" + name);
    }
    void Entry(const QString& name, const QByteArray& text) {
        t.MakeFile(".config/autostart/" + name, text);
    }
    QByteArray Read(const QString& name) const { return t.Read(".config/autostart/" + name); }
    void SystemEntry(const QString& name, const QByteArray& text) {
        sysroot.MakeFile("etc/xdg/autostart/" + name, text);
    }
    QStringList List() {
        QStringList paths;
        QString problem;
        EXPECT_TRUE(ListLoginItems(&paths, &problem)) << problem.toStdString();
        return paths;
    }
};

}  // namespace

TEST(LoginItems, WhichEntriesAreOnAndWhatTheyStart) {
    Session s;
    const QString editor = s.App("Editor.app");
    const QString spaced = s.App("My $App \"x\"");
    s.Entry("a-editor.desktop",
            "[Desktop Entry]\nType=Application\nExec=" + editor.toUtf8() + " --hidden %U\n");
    s.Entry("b-hidden.desktop", "[Desktop Entry]\nExec=/bin/hidden\nHidden=True\n");
    s.Entry("c-gnome-off.desktop",
            "[Desktop Entry]\nExec=/bin/off\nX-GNOME-Autostart-enabled=false\n");
    s.Entry("d-quoted.desktop",
            "[Desktop Entry]\nExec = \"" +
                QString(spaced).replace("$", "\\\\$").replace("\"", "\\\\\"").toUtf8() + "\" -x\n");
    s.Entry("e-other-group.desktop", "[Other]\nExec=/bin/nope\n");
    // A launcher names no application: each such entry stands for itself.
    s.Entry("f-path.desktop", "[Desktop Entry]\nExec=sh -c true\n");
    s.Entry("g-dup.desktop", "[Desktop Entry]\nExec=" + editor.toUtf8() + "\n");
    s.Entry("h-env.desktop", "[Desktop Entry]\nExec=/usr/bin/env X=1 /opt/syncer\n");
    s.Entry("i-env.desktop", "[Desktop Entry]\nExec=env LANG=C /opt/chat\n");
    s.Entry("not-an-entry.txt", "[Desktop Entry]\nExec=/bin/txt\n");
    const QString entries = s.t.Path(".config/autostart/");
    EXPECT_EQ(s.List(), (QStringList{editor, spaced, entries + "f-path.desktop",
                                     entries + "h-env.desktop", entries + "i-env.desktop"}));

    // No folder: an empty list. A file where the folder should be: a failure.
    TempTree other;
    ScopedEnv config("XDG_CONFIG_HOME", other.Root().toUtf8());
    EXPECT_TRUE(s.List().isEmpty());
    other.MakeFile("autostart", "not a folder");
    QStringList paths;
    QString problem;
    EXPECT_FALSE(ListLoginItems(&paths, &problem));
    EXPECT_FALSE(problem.isEmpty());
    EXPECT_FALSE(InsertLoginItem(s.App("Chat"), &problem));
}

TEST(LoginItems, UsersEntriesAreSwitchedOffAndOnAndOursComeAndGo) {
    Session s;
    const QString chat = s.App("Chat");
    const QByteArray users = "# mine\n[Desktop Entry]\nName=Chat\nExec=" + chat.toUtf8() +
                             " --tray\n\n[Desktop Action x]\nHidden=false\n";
    s.Entry("chat.desktop", users);
    QString problem;
    ASSERT_TRUE(RemoveLoginItem(chat, &problem)) << problem.toStdString();
    EXPECT_TRUE(s.List().isEmpty());
    // Switched off, not deleted: every line is still there, the other group untouched.
    EXPECT_EQ(s.Read("chat.desktop"),
              "# mine\n[Desktop Entry]\nHidden=true\nName=Chat\nExec=" + chat.toUtf8() +
                  " --tray\n\n[Desktop Action x]\nHidden=false\n");
    EXPECT_FALSE(RemoveLoginItem(chat, &problem));  // not in the list any more
    ASSERT_TRUE(InsertLoginItem(chat, &problem)) << problem.toStdString();
    EXPECT_EQ(s.List(), QStringList{chat});
    EXPECT_EQ(QDir(s.t.Path(".config/autostart")).entryList(QDir::Files),
              QStringList{"chat.desktop"});

    // An application with no entry gets one of ours, switched off (never
    // deleted) when removed and on again when inserted; a name with a quote,
    // a dollar, a backslash and a percent comes back whole.
    const QString odd = s.App("odd \"$\\%.app");
    ASSERT_TRUE(InsertLoginItem(odd, &problem)) << problem.toStdString();
    EXPECT_EQ(s.List(), (QStringList{chat, odd}));
    ASSERT_TRUE(InsertLoginItem(odd, &problem));  // already in
    EXPECT_EQ(QDir(s.t.Path(".config/autostart")).entryList(QDir::Files).size(), 2);
    ASSERT_TRUE(RemoveLoginItem(odd, &problem)) << problem.toStdString();
    EXPECT_EQ(s.List(), QStringList{chat});
    EXPECT_EQ(QDir(s.t.Path(".config/autostart")).entryList(QDir::Files).size(), 2);
    ASSERT_TRUE(InsertLoginItem(odd, &problem)) << problem.toStdString();
    EXPECT_EQ(s.List(), (QStringList{chat, odd}));
    EXPECT_EQ(QDir(s.t.Path(".config/autostart")).entryList(QDir::Files).size(), 2);
    ASSERT_TRUE(RemoveLoginItem(odd, &problem));

    // An entry that is a link is read, never changed.
    const QString tool = s.App("Tool");
    s.t.MakeFile("elsewhere/tool.desktop", "[Desktop Entry]\nExec=" + tool.toUtf8() + "\n");
    s.t.MakeSymlink(s.t.Path("elsewhere/tool.desktop"), ".config/autostart/tool.desktop");
    EXPECT_TRUE(s.List().contains(tool));
    EXPECT_FALSE(RemoveLoginItem(tool, &problem));
    EXPECT_TRUE(problem.contains("symbolic link")) << problem.toStdString();
    EXPECT_TRUE(s.List().contains(tool));
    EXPECT_EQ(s.t.Read("elsewhere/tool.desktop"), "[Desktop Entry]\nExec=" + tool.toUtf8() + "\n");

    EXPECT_FALSE(InsertLoginItem("relative/app", &problem));
    EXPECT_FALSE(InsertLoginItem("/a\nb", &problem));
}

TEST(LoginItems, AnEntryThatCannotBeRewrittenOnAFullDiskStaysAsItWas) {
    Session s;
    const QString chat = s.App("Chat");
    const QByteArray users = "[Desktop Entry]\nName=Chat\nExec=" + chat.toUtf8() + "\n";
    s.Entry("chat.desktop", users);
    QString problem;
    bool removed = true;
    {
        FileSizeLimit full(8);
        removed = RemoveLoginItem(chat, &problem);
    }
    EXPECT_FALSE(removed);
    EXPECT_TRUE(problem.contains("chat.desktop")) << problem.toStdString();
    EXPECT_EQ(s.Read("chat.desktop"), users);
    EXPECT_EQ(s.List(), QStringList{chat});
    EXPECT_EQ(QDir(s.t.Path(".config/autostart"))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"chat.desktop"});
}

// The system's entries count unless the user's entry of the same name
// overrides them; one is switched off, and on again, by the user's entry of
// its name, a copy that names its application, and never by changing the
// system's file. XDG_CONFIG_DIRS names the system's folders, the first first.
TEST(LoginItems, SystemEntriesAreOverriddenAndSwitchedByTheUsersEntry) {
    Session s;
    const QString tray = s.App("Tray");
    const QString mail = s.App("Mail");
    const QByteArray trayEntry = "[Desktop Entry]\nName=Tray\nExec=" + tray.toUtf8() + " -q\n";
    s.SystemEntry("tray.desktop", trayEntry);
    s.SystemEntry("mail.desktop", "[Desktop Entry]\nExec=" + mail.toUtf8() + "\n");
    s.Entry("mail.desktop", "[Desktop Entry]\nExec=" + mail.toUtf8() + "\nHidden=true\n");
    s.SystemEntry("shell.desktop", "[Desktop Entry]\nExec=sh -c 'sleep 1'\n");
    const QString shell = s.sysroot.Path("etc/xdg/autostart/shell.desktop");
    EXPECT_EQ(s.List(), (QStringList{shell, tray}));

    QString problem;
    for (const QString& app : {tray, shell}) {
        ASSERT_TRUE(RemoveLoginItem(app, &problem)) << problem.toStdString();
    }
    EXPECT_TRUE(s.List().isEmpty());
    EXPECT_EQ(s.sysroot.Read("etc/xdg/autostart/tray.desktop"), trayEntry);
    EXPECT_TRUE(s.Read("tray.desktop").contains("\nHidden=true\n"))
        << s.Read("tray.desktop").data();
    EXPECT_TRUE(s.Read("tray.desktop").contains("Exec=" + tray.toUtf8() + " -q\n"));
    // Switched on again: the same entry of the user's, standing for the same application.
    for (const QString& app : {tray, shell}) {
        ASSERT_TRUE(InsertLoginItem(app, &problem)) << problem.toStdString();
    }
    EXPECT_EQ(s.List(), (QStringList{shell, tray}));
    EXPECT_EQ(QDir(s.t.Path(".config/autostart")).entryList(QDir::Files | QDir::Hidden),
              (QStringList{"mail.desktop", "shell.desktop", "tray.desktop"}));
    EXPECT_EQ(s.sysroot.Read("etc/xdg/autostart/tray.desktop"), trayEntry);

    // XDG_CONFIG_DIRS instead of the system root's folder, the first one winning.
    TempTree first, second;
    first.MakeFile("autostart/mail.desktop", "[Desktop Entry]\nExec=" + mail.toUtf8() + "\n");
    second.MakeFile("autostart/mail.desktop", "[Desktop Entry]\nExec=/bin/other\n");
    second.MakeFile("autostart/clock.desktop",
                    "[Desktop Entry]\nExec=" + s.App("Clock").toUtf8() + "\n");
    ScopedEnv dirs("XDG_CONFIG_DIRS", (first.Root() + ":relative:" + second.Root()).toUtf8());
    QDir(s.t.Path(".config/autostart")).removeRecursively();
    EXPECT_EQ(s.List(), (QStringList{s.t.Path("apps/Clock"), mail}));
}
