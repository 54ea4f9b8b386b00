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

    QJsonObject Json(int expectedCode = 0, QByteArray* err = nullptr) const {
        const Outcome r = Run({"apps", "--json"});
        EXPECT_EQ(r.code, expectedCode) << r.err.toStdString();
        if (err) {
            *err = r.err;
        }
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

    QString DbPath() const {
        return tree.Path("home/Library/Application Support/Varnex/Klarvik/apps.db");
    }

    TempTree tree;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

// A connection of the test's own to the sample's database.
class SampleDb {
public:
    explicit SampleDb(const QString& path) {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "apps-test");
        db.setDatabaseName(path);
        EXPECT_TRUE(db.open());
    }
    ~SampleDb() {
        QSqlDatabase::database("apps-test", false).close();
        QSqlDatabase::removeDatabase("apps-test");
    }
    void Exec(const QString& sql) {
        QSqlQuery q(QSqlDatabase::database("apps-test", false));
        EXPECT_TRUE(q.exec(sql)) << sql.toStdString();
    }
    void Record(const QString& path, long long size, bool dirty) {
        Exec(QString("INSERT INTO Application VALUES ('%1', 'n', 'id', %2, 1900000000, %3)")
                 .arg(path)
                 .arg(size)
                 .arg(dirty ? 1 : 0));
    }
};

}  // namespace

TEST(KlarvikApps, ListsBothGroupsAsJsonAndText) {
    Sample s;
    const QJsonObject doc = s.Json();
    EXPECT_EQ(doc.value("kind").toString(), "apps");
    EXPECT_EQ(doc.value("finished").toString(), "done");
    EXPECT_TRUE(doc.value("sizes_available").toBool());
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
    EXPECT_EQ(itunes.value("size_state").toString(), "not_measured");
    EXPECT_EQ(itunes.value("check").toString(), "unchecked");

    const QJsonObject editor = items.value(s.tree.Path("sys/Applications/FooEd.app"));
    EXPECT_EQ(editor.value("group").toString(), "other");
    EXPECT_EQ(editor.value("name").toString(), "Foo Editor");
    EXPECT_EQ(editor.value("last_used").toString(), "2013-05-20T12:34:56");
    EXPECT_EQ(items.value(s.tree.Path("sys/Users/Shared/Games/Chess Club.app")).value("group"),
              "other");
    EXPECT_EQ(items.value(cafe).value("name").toString(), QString::fromUtf8("Caf\xc3\xa9 Menu"));
    // mdls knew no date: the bundle's creation time stands in.
    EXPECT_FALSE(items.value(cafe).value("last_used").toString().isEmpty());
    // Standard applications come first.
    EXPECT_EQ(doc.value("items").toArray().first().toObject().value("group").toString(),
              "standard");

    const Outcome r = s.Run({"apps"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QString text = QString::fromUtf8(r.out);
    const int other = text.indexOf("Other vendors' applications:");
    ASSERT_GT(other, text.indexOf("Standard applications:")) << r.out.toStdString();
    EXPECT_GT(other, text.indexOf("iTunes (com.apple.iTunes)"));
    EXPECT_GT(text.indexOf("Foo Editor (com.foo.editor)"), other);
    EXPECT_TRUE(text.contains("last used: 2013-05-20 12:34, size: not measured yet"))
        << r.out.toStdString();
    EXPECT_FALSE(text.contains("Safari"));
    EXPECT_FALSE(text.contains("Tool.app"));
    EXPECT_FALSE(text.contains("FooLink"));
    EXPECT_TRUE(text.contains("Total: 4 applications, 0 B recorded (done)")) << r.out.toStdString();
}

// Sizes come from the applications database, as the scopes read them; the
// bundles themselves are not measured. A record marked dirty is stale: its
// size is not shown as the bundle's, nor counted.
TEST(KlarvikApps, RecordedSizesAndStaleOnes) {
    Sample s;
    s.Json();  // creates the database in the sample home
    const QString editor = s.tree.Path("sys/Applications/FooEd.app");
    const QString chess = s.tree.Path("sys/Users/Shared/Games/Chess Club.app");
    const long long size = 5LL * 1024 * 1024 * 1024;
    {
        SampleDb db(s.DbPath());
        db.Record(editor, size, false);
        db.Record(chess, 7 * size, true);
        db.Record(s.tree.Path("sys/Applications/Gone.app"), size, false);
    }
    const QJsonObject doc = s.Json();
    const auto items = Sample::Items(doc);
    EXPECT_EQ(items.size(), 4);  // a recorded bundle that is gone is not listed
    EXPECT_EQ(items.value(editor).value("size").toDouble(), double(size));
    EXPECT_EQ(items.value(editor).value("size_state").toString(), "recorded");
    EXPECT_TRUE(items.value(editor).value("size_recorded").toBool());
    EXPECT_EQ(items.value(chess).value("size").toDouble(), 0);
    EXPECT_EQ(items.value(chess).value("size_state").toString(), "stale");
    EXPECT_FALSE(items.value(chess).value("size_recorded").toBool());
    EXPECT_EQ(doc.value("total_size").toDouble(), double(size));
    const Outcome r = s.Run({"apps"});
    EXPECT_TRUE(r.out.contains("size: pending re-measure")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Total: 4 applications, 5 GB recorded (done)"))
        << r.out.toStdString();
}

// Another program holds the database locked: the list is still shown, but
// the sizes are unavailable and the run does not claim success.
TEST(KlarvikApps, ALockedDatabaseLeavesTheSizesUnavailable) {
    Sample s;
    s.Json();
    SampleDb db(s.DbPath());
    db.Record(s.tree.Path("sys/Applications/FooEd.app"), 1000, false);
    db.Exec("BEGIN EXCLUSIVE");
    QByteArray err;
    const QJsonObject doc = s.Json(1, &err);
    EXPECT_EQ(doc.value("finished").toString(), "failed");
    EXPECT_FALSE(doc.value("sizes_available").toBool());
    const auto items = Sample::Items(doc);
    ASSERT_EQ(items.size(), 4);
    for (const QJsonObject& item : items) {
        EXPECT_EQ(item.value("size_state").toString(), "unavailable");
    }
    EXPECT_TRUE(
        err.contains("the recorded sizes are unavailable: the applications database is "
                     "locked by another program"))
        << err.toStdString();
    const Outcome r = s.Run({"apps"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.contains("size: unavailable"));
    EXPECT_TRUE(r.out.contains("Total: 4 applications, sizes unavailable (failed)"))
        << r.out.toStdString();
    db.Exec("ROLLBACK");
}
