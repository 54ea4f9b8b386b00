// Unused localizations through `klarvik clean --kind app-languages` and
// `--kind system-languages` on hostile bundles: ".lproj" folders that are
// links to outside folders of that name, bundles that are links to outside
// bundles, links and hard links at every depth inside the folders removed,
// undecodable and multi-line bundle names, and a second process swapping the
// Resources folder for a link to an outside one holding the same languages.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <string>
#include <vector>

#include "BindMount.h"
#include "Hostile.h"
#include "Swapper.h"

using namespace Varnex::Test;

namespace {

const char bundlePlist[] =
    "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleName</key>"
    "<string>Foo</string></dict></plist>\n";

// Foo.app with French (garbage at every depth inside, an undecodable name)
// and German, an Italian folder that is a link to an outside one, an
// application that is a link to an outside bundle with French, and two
// bundles with odd names. The outside holds folders of the same languages.
void MakeApplications(Hostile& h) {
    const QString res = "sys/Applications/Foo.app/Contents/Resources/";
    h.t.MakeFile("sys/Applications/Foo.app/Contents/Info.plist", bundlePlist);
    h.Garbage(res + "fr.lproj", 3);
    h.t.MakeFileBytes("sys/Applications/Foo.app/Contents/Resources/fr.lproj/n\xfe\xfe.strings", "n");
    h.t.MakeFileBytes("sys/Applications/Foo.app/Contents/Resources/it\xff.lproj/i", "i");
    h.t.MakeFile(res + "de.lproj/a.strings", QByteArray(20, 'd'));
    h.t.MakeFile(res + "en.lproj/a.strings", "e");
    h.t.MakeFile("outside/it.lproj/x.strings", "outside italian");
    h.t.MakeSymlink(h.t.Path("outside/it.lproj"), res + "it.lproj");
    h.t.MakeFile("outside/Other.app/Contents/Resources/fr.lproj/y.strings", "outside french");
    h.t.MakeSymlink(h.t.Path("outside/Other.app"), "sys/Applications/Linked.app");
    h.t.MakeFile("outside/res/fr.lproj/z.strings", "swapped-in french");
    h.t.MakeFile("outside/res/de.lproj/z.strings", "swapped-in german");
    h.t.MakeFileBytes("sys/Applications/Bad\xff.app/Contents/Resources/es.lproj/s", "s");
    h.t.MakeFile("sys/Applications/New\nline.app/Contents/Resources/pt.lproj/q", "q");
}

QStringList Strings(const QJsonArray& array) {
    QStringList out;
    for (const QJsonValue& v : array) {
        out.append(v.toString());
    }
    return out;
}

}  // namespace

// Without swaps: what is a real folder of a real bundle goes, links to
// outside bundles and folders are refused and told so, names that cannot
// cross stay.
TEST(HostileLanguages, LinkedBundlesAndFoldersAreRefusedAndToldSo) {
    Hostile h;
    MakeApplications(h);
    const Checksums before = h.Snapshot();
    const Outcome r = Clean({"--kind", "app-languages", "--select", "language://French", "--select",
                             "language://German", "--select", "language://Portuguese"});
    h.Verify(before, r);
    const QString res = "sys/Applications/Foo.app/Contents/Resources/";
    EXPECT_FALSE(h.t.Exists(res + "fr.lproj"));
    EXPECT_FALSE(h.t.Exists(res + "de.lproj"));
    EXPECT_TRUE(h.t.Exists(res + "en.lproj/a.strings"));
    EXPECT_TRUE(h.t.Exists(res + "it.lproj"));
    EXPECT_FALSE(h.t.Exists("sys/Applications/New\nline.app/Contents/Resources/pt.lproj"));
    EXPECT_TRUE(h.t.ExistsBytes("sys/Applications/Bad\xff.app/Contents/Resources/es.lproj/s"));
    EXPECT_TRUE(h.t.ExistsBytes("sys/Applications/Foo.app/Contents/Resources/it\xff.lproj/i"));
    // The linked bundle's French is outside: refused, so the run is no success.
    const QString linked = h.t.Path("sys/Applications/Linked.app/Contents/Resources/fr.lproj");
    EXPECT_EQ(r.code, 1) << r.err.toStdString();
    EXPECT_EQ(Strings(r.json.value("failed").toArray()), QStringList{linked});
    EXPECT_EQ(r.json.value("items_in_error").toInt(), 1) << r.out.toStdString();
    EXPECT_FALSE(Strings(r.json.value("removed").toArray()).contains(linked));
}

// The Resources folder swapped for a link to an outside one with the same
// languages, a folder for a file, a file for a hard link of an outside one,
// while the program runs.
TEST(HostileLanguages, ApplicationLanguagesUnderSwapsNeverReachTheOutside) {
    for (const uint64_t seed : kSeeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Hostile h;
        MakeApplications(h);
        const Checksums before = h.Snapshot();
        const std::string res = h.t.Bytes("sys/Applications/Foo.app/Contents/Resources");
        Swapper swapper({{Swap::ParentToLink, res, h.OutPath("res")},
                         {Swap::ParentToLink, res + "/fr.lproj/d0", h.OutPath("docs")},
                         {Swap::FolderToFile, res + "/de.lproj", ""},
                         {Swap::FileToHardLink, res + "/fr.lproj/d0/junk", h.OutPath("precious")}},
                        seed);
        const Outcome r = Clean({"--kind", "app-languages", "--select", "language://French",
                                 "--select", "language://German"});
        swapper.Stop();
        h.Verify(before, r, {res}, true);
        EXPECT_NE(r.code, 0) << "the linked bundle's French cannot have gone";
    }
}

// The system's localizations: a framework that is a link to an outside one,
// an ".lproj" that is a link to an outside folder, the folder above swapped.
TEST(HostileLanguages, SystemLanguagesUnderSwapsNeverReachTheOutside) {
    for (const uint64_t seed : {kSeeds[0], kSeeds[2]}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Hostile h;
        const QString res = "sys/Library/Frameworks/X.framework/Resources/";
        h.Garbage(res + "it.lproj", 3);
        h.t.MakeFile(res + "fr.lproj/f", QByteArray(9, 'f'));
        h.t.MakeFile("outside/Y.framework/Resources/it.lproj/y", "outside italian");
        h.t.MakeSymlink(h.t.Path("outside/Y.framework"), "sys/Library/Frameworks/Y.framework");
        h.t.MakeFile("outside/fr.lproj/f", "outside french");
        h.t.MakeSymlink(h.t.Path("outside/fr.lproj"),
                        "sys/System/Library/Frameworks/Z.framework/Resources/fr.lproj");
        h.t.MakeFile("outside/res/it.lproj/z", "swapped-in italian");
        const Checksums before = h.Snapshot();
        const std::string r0 = h.t.Bytes(res.toStdString());
        Swapper swapper({{Swap::ParentToLink, r0.substr(0, r0.size() - 1), h.OutPath("res")},
                         {Swap::ParentToLink, r0 + "it.lproj/d0", h.OutPath("docs")},
                         {Swap::FolderToFile, r0 + "fr.lproj", ""}},
                        seed);
        const Outcome r = Clean({"--kind", "system-languages", "--select", "language://Italian",
                                 "--select", "language://French"});
        swapper.Stop();
        h.Verify(before, r, {r0.substr(0, r0.size() - 1)}, true);
    }
}

// An outside folder bound inside a French folder, and an outside German
// folder bound over the bundle's own: the removal of a whole folder never
// crosses into a mount, and what stays is told.
TEST(HostileLanguages, ABindMountIsNeverCrossed) {
    Hostile h;
    MakeApplications(h);
    const QString res = "sys/Applications/Foo.app/Contents/Resources/";
    h.t.MakeDir(res + "fr.lproj/d0/mnt");
    BindMount inside(h.t.Path("outside/docs"), h.t.Path(res + "fr.lproj/d0/mnt"));
    if (!inside.Ok()) {
        GTEST_SKIP() << "mount --bind failed: " << inside.Error();
    }
    BindMount over(h.t.Path("outside/res/de.lproj"), h.t.Path(res + "de.lproj"));
    ASSERT_TRUE(over.Ok()) << over.Error();
    const Checksums before = h.Snapshot();
    // German lies only on the mount: not a language of the scan.
    EXPECT_EQ(Clean({"--kind", "app-languages", "--select", "language://German"}).code, 2);
    const Outcome r = Clean({"--kind", "app-languages", "--select", "language://French"});
    h.Verify(before, r);
    EXPECT_EQ(r.code, 1) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(Strings(r.json.value("failed").toArray()).contains(h.t.Path(res + "fr.lproj")))
        << r.out.toStdString();
    h.VerifyOutside(before);
}
