// `klarvik apps`: the real program on a sample system root and home, with a
// fake mdls first on PATH and sizes recorded in the applications database.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlQuery>

#include "common/TempTree.h"

using Varnex::Test::TempTree;

namespace {

struct Outcome {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

// A sample machine: applications below the system root and in the home
// folder, a fake mdls, and the environment klarvik runs with.
class Sample {
public:
    Sample() {
        Bundle("sys/Applications/iTunes.app", "iTunes", "com.apple.iTunes");
        Bundle("sys/Applications/Safari.app", "Safari", "com.apple.Safari");  // protected
        Bundle("sys/Applications/FooEd.app", "Foo Editor", "com.foo.editor");
        Bundle("sys/Applications/Utilities/Tool.app", "Tool", "com.example.tool");
        Bundle("sys/Users/Shared/Games/Chess Club.app", "Chess Club", "com.example.chess");
        Bundle(QString::fromUtf8("home/Applications/Caf\xc3\xa9\n: Menu.app"),
               QString::fromUtf8("Caf\xc3\xa9 Menu"), "com.example.cafe");
        tree.MakeSymlink(tree.Path("sys/Applications/FooEd.app"), "sys/Applications/FooLink.app");
        // mdls knows the last use of the editor only.
        tree.MakeFile(
            "bin/mdls",
            "#!/bin/sh\ncase \"$3\" in\n*FooEd.app) echo \"kMDItemLastUsedDate = "
            "2013-05-20 12:34:56 +0000\" ;;\n*) echo \"kMDItemLastUsedDate = (null)\" ;;\n"
            "esac\n");
        QFile::setPermissions(tree.Path("bin/mdls"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert("HOME", tree.Path("home"));
        env.insert("KLARVIK_SYSROOT", tree.Path("sys"));
        env.insert("PATH", tree.Path("bin") + ":" + env.value("PATH"));
        env.insert("TZ", "UTC");
        env.insert("LC_ALL", "C");
    }

    void Bundle(const QString& rel, const QString& name, const QString& id) {
        tree.MakeFile(rel + "/Contents/Info.plist",
                      ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                       "<key>CFBundleName</key><string>" +
                       name + "</string><key>CFBundleIdentifier</key><string>" + id +
                       "</string></dict></plist>\n")
                          .toUtf8());
    }

    Outcome Run(const QStringList& args) const {
        Outcome r;
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(KLARVIK_PROGRAM, args);
        if (!p.waitForStarted(120000) || !p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return r;
    }

    QJsonObject Json() const {
        const Outcome r = Run({"apps", "--json"});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(r.out, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << r.out.toStdString();
        return doc.object();
    }

    // Items by path.
    static QHash<QString, QJsonObject> Items(const QJsonObject& doc) {
        QHash<QString, QJsonObject> items;
        for (const QJsonValue& v : doc.value("items").toArray()) {
            items.insert(v.toObject().value("path").toString(), v.toObject());
        }
        return items;
    }

    TempTree tree;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

}  // namespace

TEST(KlarvikApps, JsonListsBothGroups) {
    Sample s;
    const QJsonObject doc = s.Json();
    EXPECT_EQ(doc.value("kind").toString(), "apps");
    EXPECT_EQ(doc.value("finished").toString(), "done");
    const auto items = Sample::Items(doc);
    const QString cafe =
        s.tree.Path(QString::fromUtf8("home/Applications/Caf\xc3\xa9\n: Menu.app"));
    ASSERT_EQ(items.keys().size(), 4) << QJsonDocument(doc).toJson().toStdString();
    EXPECT_EQ(doc.value("total_items").toInt(), 4);
    EXPECT_EQ(doc.value("total_size").toDouble(), 0);

    const QJsonObject itunes = items.value(s.tree.Path("sys/Applications/iTunes.app"));
    EXPECT_EQ(itunes.value("group").toString(), "standard");
    EXPECT_EQ(itunes.value("name").toString(), "iTunes");
    EXPECT_EQ(itunes.value("identifier").toString(), "com.apple.iTunes");
    EXPECT_FALSE(itunes.value("size_recorded").toBool());
    EXPECT_EQ(itunes.value("check").toString(), "unchecked");
    EXPECT_TRUE(itunes.value("children").isArray());

    const QJsonObject editor = items.value(s.tree.Path("sys/Applications/FooEd.app"));
    EXPECT_EQ(editor.value("group").toString(), "other");
    EXPECT_EQ(editor.value("name").toString(), "Foo Editor");
    EXPECT_EQ(editor.value("identifier").toString(), "com.foo.editor");
    EXPECT_EQ(editor.value("last_used").toString(), "2013-05-20T12:34:56");

    EXPECT_EQ(items.value(s.tree.Path("sys/Users/Shared/Games/Chess Club.app")).value("group"),
              "other");
    EXPECT_EQ(items.value(cafe).value("name").toString(), QString::fromUtf8("Caf\xc3\xa9 Menu"));
    // mdls knew no date: the bundle's creation time stands in.
    EXPECT_FALSE(items.value(cafe).value("last_used").toString().isEmpty());
    // Standard applications come first.
    EXPECT_EQ(doc.value("items").toArray().first().toObject().value("group").toString(),
              "standard");
}

// Sizes come from the applications database, as the scopes read them; the
// bundles themselves are not measured.
TEST(KlarvikApps, RecordedSizes) {
    Sample s;
    s.Json();  // creates the database in the sample home
    const QString dbPath = s.tree.Path("home/Library/Application Support/Varnex/Klarvik/apps.db");
    ASSERT_TRUE(QFile::exists(dbPath));
    const QString editor = s.tree.Path("sys/Applications/FooEd.app");
    const long long size = 5LL * 1024 * 1024 * 1024;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "apps-test");
        db.setDatabaseName(dbPath);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(
            q.prepare("INSERT INTO Application VALUES (:path, :name, :bundleId, :size, "
                      ":lastModified, 0)"));
        for (const QString& path : {editor, s.tree.Path("sys/Applications/Gone.app")}) {
            q.bindValue(":path", path);
            q.bindValue(":name", "Foo Editor");
            q.bindValue(":bundleId", "com.foo.editor");
            q.bindValue(":size", size);
            q.bindValue(":lastModified", 1900000000LL);
            ASSERT_TRUE(q.exec());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("apps-test");

    const QJsonObject doc = s.Json();
    const auto items = Sample::Items(doc);
    EXPECT_EQ(items.size(), 4);  // a recorded bundle that is gone is not listed
    EXPECT_EQ(items.value(editor).value("size").toDouble(), double(size));
    EXPECT_TRUE(items.value(editor).value("size_recorded").toBool());
    EXPECT_EQ(doc.value("total_size").toDouble(), double(size));
}

TEST(KlarvikApps, Text) {
    Sample s;
    const Outcome r = s.Run({"apps"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QString text = QString::fromUtf8(r.out);
    const int standard = text.indexOf("Standard applications:");
    const int other = text.indexOf("Other vendors' applications:");
    ASSERT_GE(standard, 0) << r.out.toStdString();
    EXPECT_GT(other, text.indexOf("iTunes (com.apple.iTunes)"));
    EXPECT_GT(text.indexOf("Foo Editor (com.foo.editor)"), other);
    EXPECT_TRUE(text.contains("last used: 2013-05-20 12:34")) << r.out.toStdString();
    EXPECT_FALSE(text.contains("Safari"));
    EXPECT_FALSE(text.contains("Tool.app"));
    EXPECT_FALSE(text.contains("FooLink"));
    EXPECT_TRUE(text.contains("Total: 4 applications")) << r.out.toStdString();
}
