// The application folders and the user's Library folder as the search-path
// look-ups answer them below the system root and the home folder.
#include <gtest/gtest.h>

#include <QByteArray>

#include "Platform/SearchPaths.h"
#include "common/ScopedEnv.h"

using namespace Varnex::Platform;

namespace {

using Env = Varnex::Test::ScopedEnv;

}  // namespace

TEST(SearchPaths, ApplicationFoldersOfEveryDomain) {
    Env root("KLARVIK_SYSROOT", "/sr/");
    Env home("HOME", "/h/me/");
    EXPECT_EQ(AllApplicationsDirectories(),
              (QStringList{"/h/me/Applications", "/h/me/Applications/Utilities",
                           "/h/me/Developer/Applications", "/h/me/Applications/Demos",
                           "/sr/Applications", "/sr/Applications/Utilities",
                           "/sr/Developer/Applications", "/sr/Applications/Demos",
                           "/sr/Network/Applications", "/sr/Network/Applications/Utilities",
                           "/sr/Network/Developer/Applications", "/sr/Network/Applications/Demos",
                           "/sr/System/Applications", "/sr/System/Applications/Utilities",
                           "/sr/System/Developer/Applications", "/sr/System/Applications/Demos"}));
    EXPECT_EQ(UserApplicationsDirectories(), AllApplicationsDirectories().mid(0, 4));
    EXPECT_EQ(UserLibraryDirectory(), "/h/me/Library");
}

TEST(SearchPaths, NoUserFoldersWithoutAUsableHome) {
    Env root("KLARVIK_SYSROOT", QByteArray());
    // (Without HOME the passwd entry is the home folder.)
    for (const QByteArray& value : {QByteArray("/"), QByteArray("relative/home")}) {
        Env home("HOME", value);
        EXPECT_EQ(UserLibraryDirectory(), QString()) << value.toStdString();
        EXPECT_TRUE(UserApplicationsDirectories().isEmpty()) << value.toStdString();
        EXPECT_EQ(AllApplicationsDirectories().first(), "/Applications") << value.toStdString();
        EXPECT_EQ(AllApplicationsDirectories().size(), 12) << value.toStdString();
    }
}
