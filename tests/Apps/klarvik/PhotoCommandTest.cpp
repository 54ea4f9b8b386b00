// `klarvik scan|clean --kind photo-trash` through the real program, with the
// `osascript` stand-in playing the photo application and a `ps` stand-in.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <map>

#include "common/PhotoLibraryFixture.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

using Varnex::Test::PhotoLibraryFixture;
using Varnex::Test::RunProgram;
using Varnex::Test::ScopedEnv;
using Varnex::Test::TempTree;

namespace {

int Klarvik(const QStringList& args, QByteArray* out, QByteArray* err) {
    return RunProgram(KLARVIK_PROGRAM, args, out, err);
}

// Every file below root with its bytes.
std::map<QString, QByteArray> Contents(const QString& root) {
    std::map<QString, QByteArray> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        out[it.filePath()] = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("?");
    }
    return out;
}

}  // namespace

// The trash is emptied whole or not at all; what the application let go
// leaves the file-system trash, and nothing else of the home changes.
TEST(KlarvikPhotoTrash, EmptiesTheWholeTrashOrNothing) {
    TempTree tree;
    const QString home = tree.Path("home");
    ScopedEnv h("HOME", home.toUtf8());
    ScopedEnv path("PATH", (tree.Path("bin") + ":" KLARVIK_SOURCE_DIR "/scripts/fake-tools:" +
                            qgetenv("PATH"))
                               .toUtf8());
    tree.MakeFile("bin/ps", "#!/bin/sh\necho /sbin/init\n");
    QFile::setPermissions(tree.Path("bin/ps"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QString library = home + "/Pictures/iPhoto Library";
    tree.MakeFile("home/Library/Preferences/com.apple.IPhoto.plist",
                  "<plist version=\"1.0\"><dict><key>RootDirectory</key><string>" +
                      library.toUtf8() + "</string></dict></plist>");
    PhotoLibraryFixture lib(library);
    const auto gone = lib.AddImage("2015", "beach.jpg", 1, true, true, 6000);
    const auto kept = lib.AddImage("2015", "kept.jpg", 1, false);
    const QString trips = lib.AddFolder("Trips", "TopLevelAlbums", true);
    lib.AddAlbum("Rome", trips, 1, 3, true);
    lib.Close();
    tree.MakeFile("home/.Trash/iPhoto/2015/mine.jpg", QByteArray(6000, 'm'));
    QByteArray out, err;

    ASSERT_EQ(Klarvik({"scan", "--kind", "photo-trash"}, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("beach.jpg  " + lib.Path("Masters/2015/beach.jpg").toUtf8())) << out.data();
    EXPECT_TRUE(out.contains("  -  Rome  iPhoto://Trips/Rome.album")) << out.data();
    EXPECT_TRUE(out.contains("3 items")) << out.data();
    EXPECT_EQ(Klarvik({"scan", "--kind", "photo-trash", "/tmp"}, &out, &err), 2);

    // One album selected: refused before the application is asked.
    const auto before = Contents(home);
    EXPECT_EQ(Klarvik({"clean", "--kind", "photo-trash", "--yes", "--select", "iPhoto://Trips/Rome.album"},
                      &out, &err),
              2);
    EXPECT_TRUE(err.contains("emptied as a whole")) << err.data();
    EXPECT_EQ(Klarvik({"clean", "--kind", "photo-trash", "--yes", "--select", "iPhoto://Nope"}, &out, &err), 2);
    EXPECT_EQ(Klarvik({"clean", "--kind", "photo-trash", "--dry-run"}, &out, &err), 0);
    EXPECT_EQ(Contents(home), before);

    ASSERT_EQ(Klarvik({"clean", "--kind", "photo-trash", "--yes"}, &out, &err), 0)
        << out.data() << err.data();
    EXPECT_TRUE(out.contains("Emptied: 3 of 3 items")) << out.data();
    auto after = before;
    after.erase(lib.Path("Masters/" + gone.master));
    for (const QString& proxy : {"Previews/2015/beach_0.jpg", "Thumbnails/2015/beach_0_thumb.jpg",
                                 "Thumbnails/2015/beach_0_mini.jpg"}) {
        after.erase(lib.Path(proxy));  // the application's own doing
    }
    auto now = Contents(home);
    // The databases changed (the application's doing); everything else is as it was.
    for (const char* db : {"Database/Library.apdb", "Database/ImageProxies.apdb"}) {
        now.erase(lib.Path(db));
        after.erase(lib.Path(db));
    }
    EXPECT_EQ(now, after);
    EXPECT_FALSE(QFile::exists(home + "/.Trash/iPhoto/2015/beach.jpg"));
    EXPECT_TRUE(QFile::exists(lib.Path("Masters/" + kept.master)));
}
