// `klarvik scopes|scan|clean` with scope names, on one Cleaner, through the
// real program on a home folder and a system root of their own.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "common/ClamavFixture.h"
#include "common/FakeLaunchctl.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Test::ClamavFixture;
using Varnex::Test::FakeLaunchctl;
using Varnex::Test::RunProgram;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;

namespace {

int Klarvik(const QStringList& args, QByteArray* out, QByteArray* err) {
    return RunProgram(KLARVIK_PROGRAM, args, out, err);
}

}  // namespace

TEST(KlarvikFacade, ScansEveryScopeAndCleansExactlyWhatIsSelected) {
    TempTree home, sysroot;
    ScopedEnv h("HOME", home.Root().toUtf8()), r("KLARVIK_SYSROOT", sysroot.Root().toUtf8()),
        c("XDG_CACHE_HOME", QByteArray()), d("XDG_DATA_HOME", QByteArray());
    home.MakeFile("Library/Caches/com.a/one", QByteArray(5000, 'a'));
    home.MakeFile("Library/Caches/com.b/two\nlines: x", QByteArray(3000, 'b'));
    home.MakeFile(".cache/fontconfig/f", "f");
    home.MakeFile("Library/Logs/app.log", "log");
    sysroot.MakeFile("var/log/apt/history.log", "kept");
    QByteArray out, err;

    ASSERT_EQ(Klarvik({"scopes", "--json"}, &out, &err), 0) << err.data();
    QStringList names;
    for (const QJsonValue& v : QJsonDocument::fromJson(out).object().value("scopes").toArray()) {
        names << v.toObject().value("name").toString();
        EXPECT_EQ(v.toObject().value("state").toString(), "idle");
    }
    for (const char* name : {"user-caches", "system-logs", "app-languages", "launch-agents",
                             "large-old", "duplicates", "disk-usage", "shredder"}) {
        EXPECT_TRUE(names.contains(name)) << name << " in " << out.data();
    }

    ASSERT_EQ(Klarvik({"scan", "--json"}, &out, &err), 0) << err.data();
    const QJsonObject scanned = QJsonDocument::fromJson(out).object();
    long long sum = 0;
    for (const QJsonValue& v : scanned.value("scopes").toArray()) {
        EXPECT_EQ(v.toObject().value("finished").toString(), "done") << out.data();
        sum += v.toObject().value("size").toVariant().toLongLong();
    }
    EXPECT_GT(sum, 0);
    EXPECT_EQ(scanned.value("totals").toObject().value("scanned").toVariant().toLongLong(), sum);

    // A dry run and a selection outside the scopes remove nothing.
    ASSERT_EQ(Klarvik({"clean", "user-caches", "user-logs", "--dry-run"}, &out, &err), 0);
    EXPECT_TRUE(out.contains("would clean: user-caches")) << out.data();
    EXPECT_EQ(Klarvik({"clean", "user-caches", "--yes", "--select", home.Path("Library/Logs/app.log")},
                      &out, &err),
              2);
    EXPECT_TRUE(home.Exists("Library/Caches/com.a/one"));
    EXPECT_TRUE(home.Exists("Library/Logs/app.log"));
    EXPECT_EQ(Klarvik({"clean", "user-caches"}, &out, &err), 2);  // not a terminal, no --yes

    // Exactly the item named, with its odd name, and nothing else (its folder,
    // all of whose children are checked then, goes once empty).
    const QString odd = home.Path("Library/Caches/com.b/two\nlines: x");
    ASSERT_EQ(Klarvik({"clean", "user-caches", "--yes", "--select", odd}, &out, &err), 0)
        << out.data() << err.data();
    EXPECT_FALSE(home.Exists("Library/Caches/com.b/two\nlines: x"));
    EXPECT_TRUE(home.Exists("Library/Caches/com.a/one"));
    EXPECT_TRUE(home.Exists(".cache/fontconfig/f"));
    EXPECT_FALSE(home.Exists("Library/Caches/com.b"));
    EXPECT_TRUE(out.contains("user-caches: cleaned 2 items")) << out.data();

    // Everything a scope selects by default; the package manager's log stays.
    ASSERT_EQ(Klarvik({"clean", "user-logs", "system-logs", "--yes"}, &out, &err), 0) << err.data();
    EXPECT_FALSE(home.Exists("Library/Logs/app.log"));
    EXPECT_TRUE(sysroot.Exists("var/log/apt/history.log"));
}

// Launch jobs whose state launchctl could not tell are no "all off".
TEST(KlarvikFacade, ALaunchctlThatFailsIsTold) {
    TempTree home, sysroot;
    ScopedEnv h("HOME", home.Root().toUtf8()), r("KLARVIK_SYSROOT", sysroot.Root().toUtf8());
    FakeLaunchctl fake;
    home.MakeFile("Library/LaunchAgents/com.example.a.plist",
                  FakeLaunchctl::JobPlist("com.example.a"));
    fake.SetLoaded({"com.example.a"});
    QByteArray out, err;
    ASSERT_EQ(Klarvik({"scan", "launch-agents"}, &out, &err), 0) << err.data();
    fake.SetGarbling("list");
    EXPECT_EQ(Klarvik({"scan", "launch-agents"}, &out, &err), 1);
    EXPECT_TRUE(
        err.contains("launch-agents: which jobs are loaded is unknown: launchctl list "
                     "printed no listing"))
        << err.data();
}

// The antivirus scope scans only the folders given with --antivirus-path, and
// tells why it could not scan.
TEST(KlarvikFacade, ScansAndCleansTheAntivirusFoldersGiven) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    TempTree home, sysroot, data;
    ScopedEnv h("HOME", home.Root().toUtf8()), r("KLARVIK_SYSROOT", sysroot.Root().toUtf8()),
        c("XDG_CACHE_HOME", QByteArray()), d("XDG_DATA_HOME", QByteArray());
    data.MakeFile("in/a.exe", "x" + ClamavFixture::Marker());
    data.MakeFile("in/thesis.pdf", "my thesis");
    data.MakeFile("out/b.exe", "y" + ClamavFixture::Marker());
    const QString in = data.Path("in");
    QByteArray out, err;

    // Listed, but not scanned by default without folders; named, it is refused.
    ASSERT_EQ(Klarvik({"scopes"}, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("antivirus")) << out.data();
    EXPECT_EQ(Klarvik({"scan", "antivirus"}, &out, &err), 2);
    EXPECT_TRUE(err.contains("--antivirus-path")) << err.data();
    EXPECT_EQ(Klarvik({"scan", "antivirus", "--antivirus-path", data.Path("missing")}, &out, &err),
              2);
    EXPECT_TRUE(err.contains("missing")) << err.data();

    // No engine: the scan fails and says why.
    EXPECT_EQ(Klarvik({"scan", "antivirus", "--antivirus-path", in}, &out, &err), 1);
    EXPECT_TRUE(err.contains("antivirus: ")) << err.data();

    ClamavFixture engine{sysroot.Path("Applications/ClamAV")};
    ASSERT_EQ(Klarvik({"scan", "--json", "--antivirus-path", in}, &out, &err), 0) << err.data();
    bool seen = false;
    for (const QJsonValue& v : QJsonDocument::fromJson(out).object().value("scopes").toArray()) {
        if (v.toObject().value("name").toString() == "antivirus") {
            seen = true;
            EXPECT_EQ(v.toObject().value("items").toInt(), 1) << out.data();
        }
    }
    EXPECT_TRUE(seen) << out.data();

    ASSERT_EQ(Klarvik({"clean", "antivirus", "--yes", "--antivirus-path", in}, &out, &err), 0)
        << out.data() << err.data();
    EXPECT_FALSE(data.Exists("in/a.exe"));
    EXPECT_EQ(data.Read("in/thesis.pdf"), QByteArray("my thesis"));
    EXPECT_TRUE(data.Exists("out/b.exe"));  // not a folder given
    EXPECT_TRUE(out.contains("antivirus: cleaned 1 items")) << out.data();
}

// Cleaning the antivirus folder with another scope: an infected file outside
// it, named by a line a file name puts on the scanner's output (through a link
// inside the folder), stays; an infected file whose name is not UTF-8 is told,
// as it can be neither shown nor removed.
TEST(KlarvikFacade, TheAntivirusScopeRemovesNothingOutsideItsFoldersAndTellsWhatItLeft) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    TempTree home, sysroot, data;
    ScopedEnv h("HOME", home.Root().toUtf8()), r("KLARVIK_SYSROOT", sysroot.Root().toUtf8()),
        c("XDG_CACHE_HOME", QByteArray()), d("XDG_DATA_HOME", QByteArray());
    ClamavFixture engine{sysroot.Path("Applications/ClamAV")};
    home.MakeFile("Library/Caches/com.a/one", "cache");
    data.MakeFile("in/a.exe", "x" + ClamavFixture::Marker());
    data.MakeFileBytes("in/b\xff.exe", ("y" + ClamavFixture::Marker()).toStdString());
    data.MakeFile("samples/kept.bin", "z" + ClamavFixture::Marker());
    data.MakeSymlink(data.Path("samples"), "in/linked");
    data.MakeFile("in/x\n" + data.Path("in/linked/kept.bin") + ": " + ClamavFixture::VirusName() +
                      " FOUND\ny",
                  "innocent");
    QByteArray out, err;
    ASSERT_EQ(Klarvik({"clean", "antivirus", "user-caches", "--yes", "--antivirus-path",
                       data.Path("in")},
                      &out, &err),
              0)
        << out.data() << err.data();
    EXPECT_FALSE(data.Exists("in/a.exe"));
    EXPECT_FALSE(home.Exists("Library/Caches/com.a/one"));
    EXPECT_EQ(data.Read("samples/kept.bin"), "z" + ClamavFixture::Marker());
    EXPECT_TRUE(data.ExistsBytes("in/b\xff.exe"));
    EXPECT_TRUE(err.contains("antivirus: 1 infected file whose name is not UTF-8")) << err.data();
    EXPECT_TRUE(out.contains("antivirus: cleaned 1 items")) << out.data();
}
