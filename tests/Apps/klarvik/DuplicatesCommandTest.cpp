// `klarvik scan|clean --kind duplicates` through the real program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QSet>

#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Test::RunProgram;
using Varnex::Test::TempTree;

namespace {

int Klarvik(const QStringList& args, QByteArray* out, QByteArray* err) {
    return RunProgram(KLARVIK_PROGRAM, args, out, err);
}

QByteArray Content(char seed) {
    QByteArray bytes(1100000, 0);
    for (int i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(seed + i % 253);
    }
    return bytes;
}

// The distinct files (by inode) of `paths` that are still there.
int DistinctLeft(const TempTree& t, const QStringList& paths) {
    QSet<qulonglong> inodes;
    for (const QString& p : paths) {
        struct stat st {};
        if (::lstat(t.Path(p).toUtf8().constData(), &st) == 0) {
            inodes.insert(st.st_ino);
        }
    }
    return inodes.size();
}

int TrashCount() {
    return QDir(Varnex::Test::TestHome() + "/.local/share/Trash/files")
        .entryList(QDir::Files | QDir::NoDotAndDotDot)
        .size();
}

}  // namespace

// Nested roots and a hard link show one physical file once; a --select of
// every copy is refused with nothing moved; a cleaning keeps exactly one
// distinct copy, to the Trash by default, deleted with --delete.
TEST(KlarvikDuplicates, KeepsOneCopyRefusesTakingAllAndUsesTheTrash) {
    TempTree t;
    t.MakeFile("r/a", Content('a'));
    t.MakeHardLink("r/a", "r/a-link");
    t.MakeFile("r/b", Content('a'));
    t.MakeFile("r/sub/c: é\nx", Content('a'));
    t.MakeFile("r/other", Content('o'));
    const QString r = QDir(t.Path("r")).canonicalPath();
    const QStringList copies{"r/a", "r/a-link", "r/b", "r/sub/c: é\nx"};
    QByteArray out, err;

    ASSERT_EQ(Klarvik({"scan", "--kind", "duplicates", r, r + "/sub"}, &out, &err), 0)
        << err.data();
    EXPECT_TRUE(out.contains("3 copies of")) << out.data();
    EXPECT_TRUE(out.contains("Total: 1 group, 3 copies")) << out.data();
    EXPECT_EQ(out.count("  keep   "), 1);

    QStringList refused{"clean", "--kind", "duplicates", "--yes"};
    for (const QString& c : {QString("/a"), QString("/b"), QString("/sub/c: é\nx")}) {
        refused << "--select" << r + c;
    }
    refused << r;
    // One name of the hard link is the group's copy, the other is not in the
    // scan: both selections are refused.
    QStringList withLink = refused;
    withLink.replace(withLink.indexOf(r + "/a"), r + "/a-link");
    QByteArray linkErr;
    EXPECT_EQ(Klarvik(withLink, &out, &linkErr), 2);
    EXPECT_EQ(Klarvik(refused, &out, &err), 2);
    EXPECT_TRUE((err + linkErr).contains("one must stay")) << (err + linkErr).data();
    EXPECT_EQ(DistinctLeft(t, copies), 3) << "refused before anything moved";

    const int trashBefore = TrashCount();
    ASSERT_EQ(
        Klarvik({"clean", "--kind", "duplicates", "--yes", "--keep", "oldest", r}, &out, &err), 0)
        << err.data();
    EXPECT_EQ(DistinctLeft(t, copies), 1);
    EXPECT_TRUE(t.Exists("r/other"));
    EXPECT_EQ(TrashCount(), trashBefore + 2);

    t.MakeFile("s/x", Content('x'));
    t.MakeFile("s/y", Content('x'));
    ASSERT_EQ(
        Klarvik({"clean", "--kind", "duplicates", "--yes", "--delete", t.Path("s")}, &out, &err), 0)
        << err.data();
    EXPECT_EQ(t.Exists("s/x") + t.Exists("s/y"), 1);
    EXPECT_EQ(TrashCount(), trashBefore + 2) << "--delete: nothing more in the Trash";
}
