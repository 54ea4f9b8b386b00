// The login item scope over the session's autostart entries and its settings
// file: what shows, what is remembered, and that no failure is reported as
// success or loses what the user switched off.
#include <gtest/gtest.h>

#include <QSettings>
#include <QSignalSpy>
#include <memory>

#include "Core/details/GarbageLoginItem.h"
#include "Core/details/LoginItemGarbageScope.h"
#include "Platform/LoginItems.h"
#include "common/LogCapture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;
using Varnex::Test::WaitUntil;

namespace {

const int waitMs = 60000;

struct Session {
    TempTree t;
    ScopedEnv home{"HOME", t.Root().toUtf8()};
    ScopedEnv config{"XDG_CONFIG_HOME", QByteArray()};

    void Remove(const QString& rel) { Varnex::Test::RemoveTestTree(t.Bytes(rel.toStdString())); }
    QString App(const QString& name) {
        t.MakeFile("Applications/" + name, "#!/bin/sh\n");
        return t.Path("Applications/" + name);
    }
    void Entry(const QString& name, const QString& app) {
        t.MakeFile(".config/autostart/" + name, "[Desktop Entry]\nExec=" + app.toUtf8() + "\n");
    }
    QStringList Listed() const {
        QStringList paths;
        EXPECT_TRUE(Varnex::Platform::ListLoginItems(&paths));
        return paths;
    }
    static QStringList Remembered() {
        QSettings settings(LoginItemGarbageScope::GetSettingsPath(), QSettings::NativeFormat);
        QStringList paths;
        const int n = settings.beginReadArray("loginItems");
        for (int i = 0; i < n; ++i) {
            settings.setArrayIndex(i);
            paths.append(settings.value("path").toString());
        }
        return paths;
    }
    static void Remember(const QStringList& paths) {
        QSettings settings(LoginItemGarbageScope::GetSettingsPath(), QSettings::NativeFormat);
        settings.beginWriteArray("loginItems", paths.size());
        for (int i = 0; i < paths.size(); ++i) {
            settings.setArrayIndex(i);
            settings.setValue("path", paths.at(i));
        }
        settings.endArray();
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

AbstractGarbageScope::FinishReason Clean(AbstractGarbageScope& scope) {
    QSignalSpy finished(&scope, &AbstractGarbageScope::CleaningFinished);
    EXPECT_TRUE(scope.StartCleaning());
    EXPECT_TRUE(WaitUntil([&] { return !finished.isEmpty(); }, waitMs));
    EXPECT_EQ(finished.size(), 1);
    return finished.isEmpty() ? AbstractGarbageScope::FAILED
                              : finished.last().at(1).value<AbstractGarbageScope::FinishReason>();
}

}  // namespace

TEST(LoginItemScope, ListAndRememberedEntriesShowOnceAndVanishWithTheirApplication) {
    Session s;
    const QString editor = s.App("Editor.app");
    const QString chat = s.App("Chat");
    const QString gone = s.App("Gone.app");
    s.Entry("editor.desktop", editor);
    s.Remember({editor, chat, gone});
    s.Remove("Applications/Gone.app");

    LoginItemGarbageScope scope;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    ASSERT_EQ(scope.GetRoots().size(), 2);
    GarbageLoginItem* e = scope.FindLoginItem(editor);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->GetName(), "Editor");
    EXPECT_TRUE(e->IsEnabled());
    EXPECT_FALSE(e->IsSelected());
    EXPECT_FALSE(scope.FindLoginItem(chat)->IsEnabled());
    EXPECT_FALSE(scope.FindLoginItem(gone));
    // Two scans in a row: the same entries; the missing application is dropped.
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(Session::Remembered(), QStringList{chat});
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(Session::Remembered(), QStringList{chat});
}

TEST(LoginItemScope, AnUnreadRememberedListIsNeverOverwritten) {
    Session s;
    const QString chat = s.App("Chat");
    s.Remember({chat});
    {
        LoginItemGarbageScope scope;  // never scanned
    }
    EXPECT_EQ(Session::Remembered(), QStringList{chat});
    {
        // Scanned once, then started again and destroyed before its first tick.
        LoginItemGarbageScope scope;
        ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
        scope.StartScanning();
    }
    EXPECT_EQ(Session::Remembered(), QStringList{chat});
    {
        // The login list cannot be read: the scan fails and nothing is written.
        s.t.MakeFile(".config/autostart", "not a folder");
        LoginItemGarbageScope scope;
        EXPECT_EQ(Scan(scope), AbstractGarbageScope::FAILED);
        EXPECT_FALSE(scope.SaveDisabledLoginItems());
    }
    EXPECT_EQ(Session::Remembered(), QStringList{chat});
}

TEST(LoginItemScope, FailuresAreNeverCountedOrShownAsSuccess) {
    Session s;
    const QString editor = s.App("Editor.app");
    const QString chat = s.App("Chat");
    s.Entry("editor.desktop", editor);
    s.Remember({chat});
    LoginItemGarbageScope scope;
    ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
    GarbageLoginItem* e = scope.FindLoginItem(editor);
    GarbageLoginItem* c = scope.FindLoginItem(chat);

    // The login list breaks: a switch on fails and shows so; the item stays
    // remembered, switched off.
    s.Remove(".config/autostart/editor.desktop");
    s.Remove(".config/autostart");
    s.t.MakeFile(".config/autostart", "not a folder");
    c->SetEnabled(true);
    EXPECT_FALSE(c->IsEnabled());
    EXPECT_EQ(c->GetError(), AbstractGarbage::Error::UNKNOWN);
    EXPECT_FALSE(scope.AddLoginItem(chat));
    EXPECT_FALSE(c->IsEnabled());
    // A removal that fails is not counted as cleaned.
    e->Select(true);
    EXPECT_EQ(Clean(scope), AbstractGarbageScope::DONE);
    EXPECT_FALSE(e->IsClean());
    EXPECT_EQ(scope.GetTotalCleanedItems(), 0);
    EXPECT_EQ(e->GetError(), AbstractGarbage::Error::UNKNOWN);
    ASSERT_TRUE(scope.SaveDisabledLoginItems());
    EXPECT_EQ(Session::Remembered(), QStringList{chat});

    // Repaired: adding the switched-off item shows it on, its error gone on
    // the next switch.
    s.Remove(".config/autostart");
    ASSERT_TRUE(scope.AddLoginItem(chat));
    EXPECT_TRUE(c->IsEnabled());
    EXPECT_EQ(s.Listed(), QStringList{chat});
    c->SetEnabled(false);
    EXPECT_FALSE(c->IsEnabled());
    EXPECT_EQ(c->GetError(), AbstractGarbage::Error::OK);
    EXPECT_TRUE(s.Listed().isEmpty());
}

TEST(LoginItemScope, CleaningForgetsAndASaveThatFailsLosesNothing) {
    Session s;
    const QString editor = s.App("Editor.app");
    const QString chat = s.App("Chat");
    const QString notes = s.App("Notes.app");
    s.Entry("editor.desktop", editor);
    s.Remember({chat, notes});
    auto scope = std::make_unique<LoginItemGarbageScope>();
    ASSERT_EQ(Scan(*scope), AbstractGarbageScope::DONE);

    // Cleaning one switched on and one switched off: both out of the list
    // and out of the file, counted once each.
    scope->FindLoginItem(editor)->Select(true);
    scope->FindLoginItem(chat)->Select(true);
    EXPECT_EQ(Clean(*scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(scope->GetLastCleanedItems(), 2);
    EXPECT_TRUE(s.Listed().isEmpty());
    EXPECT_EQ(Session::Remembered(), QStringList{notes});
    ASSERT_EQ(Scan(*scope), AbstractGarbageScope::DONE);
    EXPECT_EQ(scope->GetRoots().size(), 1);

    // The settings folder cannot be written: the save says so and keeps the
    // file; the entry is written once it can be.
    scope->AddLoginItem(editor);
    scope->FindLoginItem(editor)->SetEnabled(false);
    const QString folder = "Library/Application Support/Varnex/Klarvik";
    s.Remove(folder + "/loginItems");
    s.Remove(folder);
    s.t.MakeFile(folder, "in the way");
    Varnex::Test::LogCapture log;
    EXPECT_FALSE(scope->SaveDisabledLoginItems());
    EXPECT_TRUE(log.Contains(google::ERROR, "Can't save the login items")) << log.Dump();
    s.Remove(folder);
    scope.reset();  // the destructor saves
    EXPECT_EQ(Session::Remembered(), (QStringList{notes, editor}));
}

// A remembered application whose folder is away (a volume not mounted) is
// remembered still after a scan and a save; a damaged file is left as it is.
TEST(LoginItemScope, WhatCannotBeToldIsNeverForgotten) {
    Session s;
    const QString app = s.App("Chat.app");
    const QString away = s.t.Path("Volumes/Disk/Editor.app");
    const QString gone = s.t.Path("Applications/Removed.app");  // its folder is there
    Session::Remember({app, away, gone});
    {
        LoginItemGarbageScope scope;
        ASSERT_EQ(Scan(scope), AbstractGarbageScope::DONE);
        ASSERT_EQ(scope.GetRoots().size(), 1);
        ASSERT_TRUE(scope.SaveDisabledLoginItems());
    }
    EXPECT_EQ(Session::Remembered(), (QStringList{app, away}));

    s.t.MakeFile("Library/Application Support/Varnex/Klarvik/loginItems", "[loginItems\nsize=");
    const QByteArray damaged = s.t.Read("Library/Application Support/Varnex/Klarvik/loginItems");
    {
        LoginItemGarbageScope scope;
        Scan(scope);
        EXPECT_FALSE(scope.SaveDisabledLoginItems());
    }
    EXPECT_EQ(s.t.Read("Library/Application Support/Varnex/Klarvik/loginItems"), damaged);
}
