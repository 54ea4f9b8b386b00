// The front end as a user runs it: the real program on real temporary trees.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Test::RunProgram;
using Varnex::Test::TempTree;

namespace {

struct Outcome {
    int code;
    QByteArray out;
    QByteArray err;
    QJsonObject json;
};

Outcome Klarvik(const QStringList& args, const QByteArray& input = {}) {
    Outcome r;
    r.code = RunProgram(KLARVIK_PROGRAM, args, &r.out, &r.err, input);
    r.json = QJsonDocument::fromJson(r.out).object();
    return r;
}

// Finds an item by path anywhere in a JSON tree.
QJsonObject Find(const QJsonArray& items, const QString& path) {
    for (const QJsonValue& v : items) {
        const QJsonObject item = v.toObject();
        if (item.value("path").toString() == path) {
            return item;
        }
        const QJsonObject inner = Find(item.value("children").toArray(), path);
        if (!inner.isEmpty()) {
            return inner;
        }
    }
    return {};
}

// Every entry below `root`, relative to it; links are listed, never followed.
QSet<QString> Entries(const QString& root) {
    QSet<QString> out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        out.insert(it.next().mid(root.size() + 1));
    }
    return out;
}

QSet<QString> Strings(const QJsonArray& list) {
    QSet<QString> out;
    for (const QJsonValue& v : list) {
        out.insert(v.toString());
    }
    return out;
}

struct Sample {
    TempTree t;
    Sample() {
        t.MakeFile("Caches/com.app/data", QByteArray(1000, 'd'));
        t.MakeFile("Caches/com.app/nested/more", QByteArray(500, 'm'));
        t.MakeFile(QString::fromUtf8("Caches/caf\xc3\xa9/new\nline"), "x");
        t.MakeFile("Caches/Varnex/own", "ours");
        t.MakeFile("Caches/keep-me/k", "k");
        t.MakeFile("outside/precious", "p");
        t.MakeSymlink(t.Path("outside"), "Caches/link");
    }
};

}  // namespace

TEST(Klarvik, ScanPrintsTheTreeAsJson) {
    Sample s;
    const Outcome r = Klarvik({"scan", "--kind", "caches", "--json", s.t.Path("Caches")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.json.value("kind").toString(), "caches");
    EXPECT_EQ(r.json.value("finished").toString(), "done");
    EXPECT_EQ(r.json.value("cleaned_items").toInt(), 0);
    const QJsonArray items = r.json.value("items").toArray();
    ASSERT_EQ(items.size(), 1);
    const QJsonObject root = items.at(0).toObject();
    EXPECT_EQ(root.value("name").toString(), s.t.Path("Caches")) << "cache roots are named by path";
    EXPECT_EQ(root.value("check").toString(), "checked");
    EXPECT_EQ(root.value("status").toString(), "ready");
    const QJsonObject data = Find(items, s.t.Path("Caches/com.app/data"));
    EXPECT_EQ(data.value("size").toInt(), 1000);
    EXPECT_EQ(data.value("error").toString(), "ok");
    EXPECT_TRUE(Find(items, s.t.Path("Caches/Varnex")).isEmpty())
        << "the application's own folder is excluded";
    EXPECT_FALSE(Find(items, QString::fromUtf8("%1/caf\xc3\xa9/new\nline").arg(s.t.Path("Caches")))
                     .isEmpty());
    EXPECT_EQ(r.json.value("total_items").toInt(), 10);
    EXPECT_TRUE(s.t.Exists("Caches/com.app/data")) << "a scan removes nothing";
}

TEST(Klarvik, CleanRemovesWhatIsSelectedAndKeepsTheRest) {
    Sample s;
    const Outcome r = Klarvik({"clean", "--kind", "caches", "--yes", "--json", "--exclude",
                               "keep-me", s.t.Path("Caches")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.json.value("finished").toString(), "done");
    // Exactly what was planned went, and everything else is as it was.
    const QString cafe = QString::fromUtf8("Caches/caf\xc3\xa9");
    const QSet<QString> kept{"Caches",          "Caches/Varnex",    "Caches/Varnex/own",
                             "Caches/keep-me",  "Caches/keep-me/k", "outside",
                             "outside/precious"};
    EXPECT_EQ(Entries(s.t.Root()), kept);
    EXPECT_EQ(s.t.Read("outside/precious"), "p");
    QSet<QString> removed;
    for (const QString& rel :
         {QString("Caches/com.app/data"), QString("Caches/com.app/nested/more"),
          QString("Caches/com.app/nested"), QString("Caches/com.app"), cafe + "/new\nline", cafe,
          QString("Caches/link")}) {
        removed.insert(s.t.Path(rel));
    }
    EXPECT_EQ(Strings(r.json.value("removed").toArray()), removed);
    EXPECT_TRUE(r.json.value("failed").toArray().isEmpty());
    const long long linkSize = s.t.Path("outside").toUtf8().size();
    EXPECT_EQ(r.json.value("cleaned_size").toInt(), 1000 + 500 + 1 + linkSize);
    EXPECT_EQ(Find(r.json.value("items").toArray(), s.t.Path("Caches/com.app"))
                  .value("status")
                  .toString(),
              "clean");
}

TEST(Klarvik, AnExcludedPathIsKeptInAnySpellingAndDotDotIsRefused) {
    Sample s;
    const Outcome dotDot = Klarvik({"clean", "--kind", "caches", "--yes", "--exclude",
                                    s.t.Path("Caches/com.app/../keep-me"), s.t.Path("Caches")});
    EXPECT_EQ(dotDot.code, 2);
    EXPECT_TRUE(dotDot.err.contains("--exclude")) << dotDot.err.toStdString();
    EXPECT_TRUE(s.t.Exists("Caches/com.app/data"));

    const Outcome r = Klarvik({"clean", "--kind", "caches", "--yes", "--exclude",
                               s.t.Root() + "//Caches/./keep-me/.", s.t.Path("Caches")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(s.t.Exists("Caches/keep-me/k"));
    EXPECT_FALSE(s.t.Exists("Caches/com.app"));
}

TEST(Klarvik, CleanRefusesWithoutConsentWhenNotOnATerminal) {
    Sample s;
    const Outcome r = Klarvik({"clean", "--kind", "caches", s.t.Path("Caches")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("--yes")) << r.err.toStdString();
    EXPECT_TRUE(s.t.Exists("Caches/com.app/data"));

    const Outcome dry = Klarvik({"clean", "--kind", "caches", "--dry-run", s.t.Path("Caches")});
    EXPECT_EQ(dry.code, 0);
    EXPECT_TRUE(dry.out.contains(("would remove: " + s.t.Path("Caches/com.app/data")).toUtf8()));
    EXPECT_TRUE(s.t.Exists("Caches/com.app/data"));
}

TEST(Klarvik, DiskUsageSelectsNothingByDefaultAndTheShredderOverwrites) {
    Sample s;
    const Outcome usage = Klarvik({"clean", "--kind", "disk-usage", "--yes", s.t.Path("Caches")});
    EXPECT_EQ(usage.code, 0) << usage.err.toStdString();
    EXPECT_TRUE(s.t.Exists("Caches/com.app/data")) << "nothing is selected in the disk-usage view";

    const Outcome shred =
        Klarvik({"clean", "--kind", "shredder", "--yes", "--json", s.t.Path("Caches/com.app")});
    EXPECT_EQ(shred.code, 0) << shred.err.toStdString();
    EXPECT_FALSE(s.t.Exists("Caches/com.app/data"));
}

TEST(Klarvik, BadUsageIsExitTwoInPlainWords) {
    EXPECT_EQ(Klarvik({}).code, 2);
    const Outcome kind = Klarvik({"scan", "--kind", "everything", "/tmp"});
    EXPECT_EQ(kind.code, 2);
    EXPECT_TRUE(kind.err.contains("unknown kind"));
    EXPECT_EQ(Klarvik({"scan"}).code, 2);
    EXPECT_EQ(Klarvik({"frobnicate", "/tmp"}).code, 2);
    const Outcome version = Klarvik({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_TRUE(version.out.startsWith("klarvik "));
}
