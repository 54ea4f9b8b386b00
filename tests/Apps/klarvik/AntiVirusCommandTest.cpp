// `klarvik scan|clean --kind antivirus` and `klarvik antivirus` through the
// real program, with the sample engine below the test's system root.
#include <gtest/gtest.h>

#include <QDir>

#include "common/ClamavFixture.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Test::ClamavFixture;
using Varnex::Test::RunProgram;
using Varnex::Test::TempTree;
using Varnex::Test::TestSysRoot;

namespace {

int Klarvik(const QStringList& args, QByteArray* out, QByteArray* err) {
    return RunProgram(KLARVIK_PROGRAM, args, out, err);
}

// The engine below the system root the program is given, gone afterwards.
struct InstalledEngine {
    ClamavFixture engine{TestSysRoot() + "/Applications/ClamAV"};
    ~InstalledEngine() { QDir(engine.Prefix()).removeRecursively(); }
};

}  // namespace

TEST(KlarvikAntiVirus, RemovesOnlyConfirmedFindingsAndSaysWhenThereIsNoEngine) {
    if (!ClamavFixture::HasClamscan()) {
        GTEST_SKIP() << "clamscan is not installed";
    }
    TempTree t;
    t.MakeFile("r/été, 2: x.exe", "x" + ClamavFixture::Marker());
    t.MakeFile("r/thesis.pdf", "my thesis");
    // Found, but neither shown nor removable: the list tells it was left.
    t.MakeFileBytes("r/b\xff.exe", ("y" + ClamavFixture::Marker()).toStdString());
    const QString r = t.Path("r");
    QByteArray out, err;

    EXPECT_EQ(Klarvik({"scan", "--kind", "antivirus", r}, &out, &err), 1);
    EXPECT_TRUE(err.contains("no antivirus engine is installed")) << err.data();
    EXPECT_TRUE(err.contains("klarvik antivirus update")) << err.data();

    InstalledEngine installed;
    ASSERT_EQ(Klarvik({"scan", "--kind", "antivirus", r}, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("Total: 1 file")) << out.data();
    EXPECT_TRUE(out.contains("Skipped: 1 name that cannot be read as UTF-8")) << out.data();
    EXPECT_TRUE(out.contains(ClamavFixture::VirusName().toUtf8())) << out.data();
    EXPECT_EQ(Klarvik({"clean", "--kind", "antivirus", r}, &out, &err), 2);  // no terminal, no --yes
    EXPECT_TRUE(t.Exists("r/été, 2: x.exe"));

    // A scanner that names an innocent file: it is shown, never removed.
    installed.engine.InjectBeforeTreeScans(t.Path("r/thesis.pdf").toUtf8() + ": Evil FOUND\n");
    EXPECT_EQ(Klarvik({"clean", "--kind", "antivirus", "--yes", r}, &out, &err), 1);
    EXPECT_EQ(t.Read("r/thesis.pdf"), QByteArray("my thesis"));
    EXPECT_FALSE(t.Exists("r/été, 2: x.exe"));
    EXPECT_TRUE(out.contains("1 not removed")) << out.data();

    ASSERT_EQ(Klarvik({"antivirus", "status"}, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("Engine: 1.4.6")) << out.data();
    EXPECT_TRUE(out.contains("main     not installed")) << out.data();
    EXPECT_EQ(Klarvik({"antivirus", "update"}, &out, &err), 1);
    EXPECT_TRUE(err.contains("No engine location or signature mirror is configured")) << err.data();
    EXPECT_EQ(Klarvik({"antivirus", "rm"}, &out, &err), 2);
}
