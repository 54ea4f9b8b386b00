// `klarvik scan|clean --kind apps|third-party-apps|leftovers`: the real program
// on a sample system root and home.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include "common/TempTree.h"

using Varnex::Test::TempTree;

namespace {

class Sample {
public:
    Sample() {
        tree.MakeFile("sys/Applications/Foo.app/Contents/Info.plist",
                      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                      "<key>CFBundleIdentifier</key><string>com.example.foo</string>"
                      "</dict></plist>\n");
        tree.MakeFile("sys/Applications/Foo.app/Contents/MacOS/Foo", QByteArray(5000, 'f'));
        tree.MakeFile("home/Library/Preferences/com.example.foo.plist", QByteArray(50, 'p'));
        tree.MakeFile("home/Library/Caches/com.example.foo/c", QByteArray(70, 'c'));
        tree.MakeFile("home/Library/Caches/com.example.other/c", QByteArray(70, 'c'));
        env.insert("HOME", tree.Path("home"));
        env.insert("KLARVIK_SYSROOT", tree.Path("sys"));
        env.insert("PATH", tree.Path("bin") + ":" + env.value("PATH"));
        tree.MakeFile("bin/mdls", "#!/bin/sh\nexit 1\n");
        QFile::setPermissions(tree.Path("bin/mdls"), QFile::ReadOwner | QFile::ExeOwner);
    }

    QJsonObject Run(const QStringList& args, int expectedCode = 0) const {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(KLARVIK_PROGRAM, args + QStringList{"--json"});
        EXPECT_TRUE(p.waitForFinished(120000));
        EXPECT_EQ(p.exitCode(), expectedCode) << p.readAllStandardError().toStdString();
        return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    }

    // "path check" of every item, depth first.
    static QStringList Items(const QJsonArray& items) {
        QStringList out;
        for (const QJsonValue& v : items) {
            const QJsonObject item = v.toObject();
            out.append(item.value("path").toString() + " " + item.value("check").toString());
            out += Items(item.value("children").toArray());
        }
        return out;
    }

    TempTree tree;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

}  // namespace

TEST(KlarvikApplications, ListsApplicationsUnselectedAndUninstallsTheSelectedOne) {
    Sample s;
    const QString app = s.tree.Path("sys/Applications/Foo.app");
    const QString prefs = s.tree.Path("home/Library/Preferences/com.example.foo.plist");
    const QString caches = s.tree.Path("home/Library/Caches/com.example.foo");
    const QJsonObject scan = s.Run({"scan", "--kind", "third-party-apps"});
    EXPECT_EQ(scan.value("finished").toString(), "done");
    const QStringList items = Sample::Items(scan.value("items").toArray());
    EXPECT_TRUE(items.contains(app + " unchecked")) << items.join('\n').toStdString();
    EXPECT_EQ(items.filter(" checked").size(), 0);
    EXPECT_FALSE(items.filter(prefs).isEmpty());
    EXPECT_EQ(items.filter("com.example.other").size(), 0);
    // Nothing selected: nothing removed.
    s.Run({"clean", "--kind", "third-party-apps", "--yes"});
    EXPECT_TRUE(s.tree.Exists("sys/Applications/Foo.app"));
    s.Run({"scan", "--kind", "apps", "--select", s.tree.Path("home/Library")}, 2);

    const QJsonObject clean =
        s.Run({"clean", "--kind", "third-party-apps", "--yes", "--select", app});
    EXPECT_EQ(clean.value("removed").toArray().size(), 3);
    EXPECT_EQ(clean.value("cleaned_items").toInt(), 3);
    EXPECT_FALSE(s.tree.Exists("sys/Applications/Foo.app"));
    EXPECT_FALSE(s.tree.Exists("home/Library/Preferences/com.example.foo.plist"));
    EXPECT_FALSE(s.tree.Exists("home/Library/Caches/com.example.foo"));
    EXPECT_TRUE(s.tree.Exists("home/Library/Caches/com.example.other/c"));
}

TEST(KlarvikApplications, LeftoversOfARemovedApplicationOneByOne) {
    Sample s;
    const QString prefs = s.tree.Path("home/Library/Preferences/com.example.foo.plist");
    // Recorded by a scan, then removed by hand.
    s.Run({"scan", "--kind", "third-party-apps"});
    EXPECT_TRUE(
        Sample::Items(s.Run({"scan", "--kind", "leftovers"}).value("items").toArray()).isEmpty());
    ASSERT_TRUE(QDir(s.tree.Path("sys/Applications/Foo.app")).removeRecursively());
    const QStringList items =
        Sample::Items(s.Run({"scan", "--kind", "leftovers"}).value("items").toArray());
    EXPECT_TRUE(items.contains(prefs + " unchecked")) << items.join('\n').toStdString();
    s.Run({"clean", "--kind", "leftovers", "--yes", "--select", prefs});
    EXPECT_FALSE(s.tree.Exists("home/Library/Preferences/com.example.foo.plist"));
    EXPECT_TRUE(s.tree.Exists("home/Library/Caches/com.example.foo/c"));
}
