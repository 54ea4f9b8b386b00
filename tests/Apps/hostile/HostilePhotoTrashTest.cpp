// The photo library's trash through `klarvik clean --kind photo-trash`, with
// the `osascript` stand-in playing the photo application: a master that is a
// link to an outside file (the trash then holds what can't be shown: the run
// is refused and said so), a master that is a hard link of an outside file,
// a name with a line break, and a second process that, once the application
// has let the files go, swaps the trash folder they are in for a link to an
// outside folder with files of the same names, and a file for a hard link of
// an outside one.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <string>
#include <vector>

#include "Hostile.h"
#include "Swapper.h"
#include "common/PhotoLibraryFixture.h"
#include "common/ScopedEnv.h"
#include "common/TestEnv.h"

using namespace Varnex::Test;

namespace {

void MakeTool(Hostile& h, const QString& rel, const QByteArray& script) {
    h.t.MakeFile(rel, script);
    QFile::setPermissions(h.t.Path(rel), QFile::ReadOwner | QFile::ExeOwner);
}

// A library in the hostile home named by the photo application's
// preferences, the application not running (a `ps` stand-in), and an
// `osascript` that plays the application and then leaves a mark.
class PhotoHome {
public:
    // linkedMaster: one more trashed image, whose master is a link to an
    // outside file.
    PhotoHome(Hostile& h, bool linkedMaster)
        : m_path("PATH",
                 (h.t.Path("bin") + ":" KLARVIK_SOURCE_DIR "/scripts/fake-tools:" + qgetenv("PATH"))
                     .toUtf8()),
          library(h.t.Path("home/Pictures/iPhoto Library")),
          mark(h.t.Bytes("script-ran")),
          trash(h.t.Bytes("home/.Trash/iPhoto")) {
        MakeTool(h, "bin/ps", "#!/bin/sh\necho /sbin/init\n");
        MakeTool(h, "bin/osascript",
                 "#!/bin/sh\n" KLARVIK_SOURCE_DIR
                 "/scripts/fake-tools/osascript \"$@\"\n"
                 "code=$?\n: > '" +
                     QByteArray::fromStdString(mark) + "'\nexit $code\n");
        h.t.MakeFile("home/Library/Preferences/com.apple.IPhoto.plist",
                     "<plist version=\"1.0\"><dict><key>RootDirectory</key><string>" +
                         library.toUtf8() + "</string></dict></plist>");
        h.t.MakeFile("outside/photo.jpg", QByteArray(3000, 'o'));
        h.t.MakeFile("outside/photos/beach.jpg", QByteArray(6000, 'O'));
        h.t.MakeFile("outside/photos/odd: name\nremoved: x.jpg", QByteArray(1000, 'O'));
        PhotoLibraryFixture lib(library);
        lib.AddImage("2015", "beach.jpg", 1, true, true, 6000);
        lib.AddImage("2015", "odd: name\nremoved: x.jpg", 2, true);
        lib.AddImage("2015", "kept.jpg", 1, false);
        lib.AddImage("2015", "hl.jpg", 1, true, false);
        h.t.MakeHardLink("outside/photo.jpg", "home/Pictures/iPhoto Library/Masters/2015/hl.jpg");
        h.t.MakeFile("home/Pictures/iPhoto Library/Previews/2015/hl_0.jpg", "p");
        lib.AddFolder("Trips", "TopLevelAlbums", true);
        if (linkedMaster) {
            lib.AddImage("2016", "linked.jpg", 1, true, false);
            h.t.MakeSymlink(h.t.Path("outside/precious"),
                            "home/Pictures/iPhoto Library/Masters/2016/linked.jpg");
        }
    }

    QString Master(const QString& rel) const { return library + "/Masters/" + rel; }

private:
    ScopedEnv m_path;

public:
    const QString library;
    const std::string mark;
    const std::string trash;
};

Outcome EmptyPhotoTrash() {
    Outcome r;
    r.code =
        RunProgram(KLARVIK_PROGRAM, {"clean", "--kind", "photo-trash", "--yes"}, &r.out, &r.err);
    return r;
}

}  // namespace

// A trashed image whose master is a link to an outside file can't be shown:
// the application is never asked, nothing changes, and the run says so.
TEST(HostilePhotoTrash, ALinkedMasterRefusesTheRunAndSaysSo) {
    Hostile h;
    PhotoHome home(h, true);
    const Checksums before = h.Snapshot();
    const Checksums library = Take({h.t.Bytes("home/Pictures")});
    const Outcome r = EmptyPhotoTrash();
    EXPECT_EQ(r.code, 1) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("the trash was not emptied")) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Emptied: 0 of 4 items, freed 0 B (failed)")) << r.out.toStdString();
    EXPECT_FALSE(Lexists(home.mark)) << "the application was asked";
    h.VerifyOutside(before);
    const Checksums after = Take({h.t.Bytes("home/Pictures")});
    EXPECT_TRUE(library == after) << Diff(library, after);
}

// Once the application let the files go, their trash folder swapped for a
// link to an outside folder with files of the same names, and a file for a
// hard link of an outside one: what is removed is the file the scan saw, or
// nothing, and a file not removed is never told emptied.
TEST(HostilePhotoTrash, TrashSwappedAfterTheApplicationNeverReachesTheOutside) {
    for (const uint64_t seed : kSeeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Hostile h;
        PhotoHome home(h, false);
        const Checksums before = h.Snapshot();
        Swapper swapper(
            {{Swap::ParentToLink, home.trash + "/2015", h.OutPath("photos")},
             {Swap::FileToHardLink, home.trash + "/2015/beach.jpg", h.OutPath("photo.jpg")}},
            seed, home.mark);
        const Outcome r = EmptyPhotoTrash();
        swapper.Stop();
        EXPECT_TRUE(Lexists(home.mark)) << "the application was never asked";
        h.VerifyOutside(before);
        const int notEmptied = r.out.count("not emptied: ");
        EXPECT_TRUE(r.code == 0 || r.code == 1) << r.code << r.err.toStdString();
        EXPECT_EQ(r.code == 0, notEmptied == 0) << r.out.toStdString() << r.err.toStdString();
        const QRegularExpressionMatch emptied =
            QRegularExpression("Emptied: (\\d+) of (\\d+) items").match(QString::fromUtf8(r.out));
        ASSERT_TRUE(emptied.hasMatch()) << r.out.toStdString() << r.err.toStdString();
        EXPECT_EQ(emptied.captured(1).toInt() + notEmptied, emptied.captured(2).toInt());
        // Told emptied: gone from the library (and, unless swapped, the trash).
        for (const QString& rel :
             {QStringLiteral("2015/beach.jpg"), QStringLiteral("2015/hl.jpg")}) {
            if (!r.out.contains("not emptied: " + home.Master(rel).toUtf8())) {
                EXPECT_FALSE(Lexists(home.Master(rel).toStdString())) << rel.toStdString();
            }
        }
        EXPECT_TRUE(Lexists(home.Master("2015/kept.jpg").toStdString()));
    }
}

// Without swaps: the trash is emptied whole, the hard link of the outside
// file leaves the trash and the outside file keeps its bytes.
TEST(HostilePhotoTrash, AHardLinkedMasterLeavesTheOutsideFileAsItWas) {
    Hostile h;
    PhotoHome home(h, false);
    const Checksums before = h.Snapshot();
    const Outcome r = EmptyPhotoTrash();
    EXPECT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Emptied: 4 of 4 items")) << r.out.toStdString();
    h.VerifyOutside(before);
    h.VerifyGone(
        {home.Master("2015/beach.jpg"), home.Master("2015/hl.jpg"),
         h.t.Path("home/.Trash/iPhoto/2015/beach.jpg"), h.t.Path("home/.Trash/iPhoto/2015/hl.jpg"),
         h.t.Path("home/.Trash/iPhoto/2015/odd: name\nremoved: x.jpg")},
        {});
}
