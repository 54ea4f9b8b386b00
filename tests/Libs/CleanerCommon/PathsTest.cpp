#include <gtest/gtest.h>
#include <stdlib.h>

#include "CleanerCommon/CurrentUser.h"
#include "CleanerCommon/Paths.h"
#include "common/TestEnv.h"

using namespace Varnex::Cleaner;

namespace {

struct Case {
    QString path;
    QString expected;
};

// Sets KLARVIK_DARWIN_USER_CACHE for the length of a test.
class DarwinCacheEnv {
public:
    explicit DarwinCacheEnv(const char* value) { ::setenv(variable, value, 1); }
    ~DarwinCacheEnv() { ::unsetenv(variable); }

private:
    static constexpr const char* variable = "KLARVIK_DARWIN_USER_CACHE";
};

}  // namespace

TEST(BundlePaths, OutermostApplicationBundle) {
    const Case paths[] = {
        {"/Applications/Safari.app/Contents/MacOS/Safari", "/Applications/Safari.app"},
        {"/Applications/Safari.app", "/Applications/Safari.app"},
        {"/Applications/Safari.app/", "/Applications/Safari.app"},
        {"/Applications/Xcode.app/Contents/Applications/Instruments.app/Contents/Info.plist",
         "/Applications/Xcode.app"},
        {"/Applications/Foo.appx/Contents", ""},
        {"/Applications/Foo.appx/Bar.app/x", "/Applications/Foo.appx/Bar.app"},
        {"/Applications/.app/Contents", ""},
        {"/Applications/Foo.App/Contents", ""},
        {"/Apps/My.application/x", ""},
        {"/Applications/Foo.app.bak/x", ""},
        {QString::fromUtf8("/Applications/Caf\xc3\xa9 : \n.app/Contents"),
         QString::fromUtf8("/Applications/Caf\xc3\xa9 : \n.app")},
        {"", ""},
        {"/", ""},
        {"Foo.app/Contents", "Foo.app"},
    };
    for (const Case& c : paths) {
        EXPECT_EQ(ExtractBundlePath(c.path), c.expected) << c.path.toStdString();
    }
}

TEST(BundlePaths, BundleNameMatchesBundlePath) {
    const Case names[] = {
        {"/Applications/Safari.app/Contents/MacOS/Safari", "Safari"},
        {"/Applications/Utilities/Disk Utility.app", "Disk Utility"},
        {"/Applications/Xcode.app/Contents/Applications/Instruments.app", "Xcode"},
        {"/Applications/Foo.appx", ""},
        {"/Applications/Foo.app.app/x", "Foo.app"},
        {"/x/Foo.app/Contents/Resources/fr.lproj", "Foo"},
        {"", ""},
        {"/", ""},
    };
    for (const Case& c : names) {
        EXPECT_EQ(ExtractBundleName(c.path), c.expected) << c.path.toStdString();
        if (!c.expected.isEmpty()) {
            EXPECT_TRUE(ExtractBundlePath(c.path).endsWith("/" + c.expected + ".app"));
        }
    }
}

TEST(BundleIdentifier, FirstComponentBelowALibraryFolder) {
    const QString home = "/Users/me";
    const Case ids[] = {
        {home + "/Library/Caches/com.apple.Safari/x", "com.apple.Safari"},
        {home + "/Library/Caches/com.apple.Safari", "com.apple.Safari"},
        {home + "/Library/Caches/com.apple.Safari/", "com.apple.Safari"},
        {home + "/Library/Preferences/com.apple.Safari.plist", "com.apple.Safari.plist"},
        {home + "/Library/Preferences/ByHost/com.apple.Safari.1234.plist", "ByHost"},
        {home + "/Library/Saved Application State/com.apple.Safari.savedState/x",
         "com.apple.Safari.savedState"},
        {home + "/Library/Containers/com.example.App/Data/Library/Caches/a/b", "com.example.App"},
        {home + "/Library/Containers/com.example.App", "com.example.App"},
        {home + "//Library//Caches//com.x.y", "com.x.y"},
        {"/Library/Caches/com.apple.xyz", "com.apple.xyz"},
        {home + "/Library/Caches", ""},
        {home + "/Library/Caches/", ""},
        {home + "/Library/Logs/com.x.y", ""},
        {home + "/Library/CachesX/com.x.y", ""},
        {home + "/MyLibrary/Caches/com.x.y", ""},
        {home + "/Library/Application Support/com.x.y", ""},
        {"Library/Caches/com.x.y", "com.x.y"},
        {"", ""},
        {"/", ""},
    };
    for (const Case& c : ids) {
        EXPECT_EQ(ExtractBundleIdentifier(c.path), c.expected) << c.path.toStdString();
    }
}

TEST(BundleIdentifier, LastAgreesOnlyForTopEntries) {
    const QString prefs = "/Users/me/Library/Preferences/";
    const QString top = prefs + "com.apple.Safari.plist";
    EXPECT_EQ(ExtractBundleIdentifierLast(top), "com.apple.Safari.plist");
    EXPECT_EQ(ExtractBundleIdentifierLast(top), ExtractBundleIdentifier(top));

    const QString deep = prefs + "ByHost/com.apple.Safari.1234.plist";
    EXPECT_EQ(ExtractBundleIdentifierLast(deep), "com.apple.Safari.1234.plist");
    EXPECT_NE(ExtractBundleIdentifierLast(deep), ExtractBundleIdentifier(deep));

    EXPECT_EQ(ExtractBundleIdentifierLast("/Users/me/Documents/com.x.plist"), "");
    EXPECT_EQ(ExtractBundleIdentifierLast("/Users/me/Library/Preferences"), "");
    EXPECT_EQ(ExtractBundleIdentifierLast(""), "");
}

TEST(BundleIdentifier, DarwinUserCacheFolder) {
    const QString cache = "/private/var/folders/zz/abc123/C";
    EXPECT_EQ(ExtractBundleIdentifier(cache + "/com.apple.Safari/fsCachedData"), "");
    EXPECT_EQ(GetDarwinUserCachePath(), "");
    DarwinCacheEnv env("/private/var/folders/zz/abc123/C/");
    EXPECT_EQ(GetDarwinUserCachePath(), cache);
    EXPECT_EQ(ExtractBundleIdentifier(cache + "/com.apple.Safari/fsCachedData"),
              "com.apple.Safari");
    EXPECT_EQ(ExtractBundleIdentifier(cache + "/com.apple.Safari"), "com.apple.Safari");
    EXPECT_EQ(ExtractBundleIdentifier(cache), "");
    EXPECT_EQ(ExtractBundleIdentifier(cache + "X/com.apple.Safari"), "");
    EXPECT_EQ(ExtractBundleIdentifierLast(cache + "/com.apple.Safari/a/b.db"), "b.db");
}

TEST(DarwinUserCache, OnlyAbsoluteSettingsCount) {
    {
        DarwinCacheEnv env("relative/C");
        EXPECT_EQ(GetDarwinUserCachePath(), "");
    }
    {
        DarwinCacheEnv env("/var/folders/x/../y/C");
        EXPECT_EQ(GetDarwinUserCachePath(), "/var/folders/y/C");
    }
    EXPECT_EQ(GetDarwinUserCachePath(), "");
}

TEST(LProj, InnermostLocalizationFolder) {
    const QString res = "/x/Foo.app/Contents/Resources/";
    const struct {
        QString path;
        QString lprojPath;
        QString name;
    } cases[] = {
        {res + "fr_CA.lproj/Localizable.strings", res + "fr_CA.lproj", "fr_CA"},
        {res + "fr_CA.lproj", res + "fr_CA.lproj", "fr_CA"},
        {res + "fr_CA.lproj/", res + "fr_CA.lproj", "fr_CA"},
        {res + "English.lproj/Main.nib/keyedobjects.nib", res + "English.lproj", "English"},
        {res + "en.lproj/x/de.lproj/y", res + "en.lproj/x/de.lproj", "de"},
        {res + "zh-Hans.lproj/a", res + "zh-Hans.lproj", "zh-Hans"},
        {res + "fr.lprojX/a", "", ""},
        {res + ".lproj/a", "", ""},
        {res + "fr.LPROJ/a", "", ""},
        {res + "fr.lproj.bak", "", ""},
        {QString::fromUtf8("/x/\xc3\xa9 :\n.lproj/a"), QString::fromUtf8("/x/\xc3\xa9 :\n.lproj"),
         QString::fromUtf8("\xc3\xa9 :\n")},
        {"", "", ""},
        {"/", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtractLProjPath(c.path), c.lprojPath) << c.path.toStdString();
        EXPECT_EQ(ExtractLProjName(c.path), c.name) << c.path.toStdString();
    }
}

TEST(LProj, BasicLanguageCode) {
    const Case codes[] = {{"fr_CA", "fr"},  {"zh-Hans", "zh"}, {"zh_Hant_TW", "zh"},
                          {"pt-BR", "pt"},  {"fr", "fr"},      {"English", "English"},
                          {"Base", "Base"}, {"", ""},          {"_CA", ""},
                          {"en-GB_x", "en"}};
    for (const Case& c : codes) {
        EXPECT_EQ(ExtractBasicLangCode(c.path), c.expected) << c.path.toStdString();
    }
    EXPECT_EQ(ExtractBasicLangCode(ExtractLProjName("/a/B.app/pt_PT.lproj/x")), "pt");
}

TEST(PathParts, ParentAndFileName) {
    const struct {
        QString path;
        QString parent;
        QString name;
    } cases[] = {
        {"/a/b/c", "/a/b", "c"},
        {"/a/b/c/", "/a/b", "c"},
        {"/a", "/", "a"},
        {"/", "", ""},
        {"", "", ""},
        {"//a//b", "/a", "b"},
        {"a/b", "a", "b"},
        {"a", "", "a"},
        {"/a/file: with colon", "/a", "file: with colon"},
        {"/a/new\nline", "/a", "new\nline"},
        {QString::fromUtf8("/\xc3\xa9t\xc3\xa9/x"), QString::fromUtf8("/\xc3\xa9t\xc3\xa9"), "x"},
        {"iPhoto://2015/Trip.album", "iPhoto://2015", "Trip.album"},
        {"iPhoto://2015/Summer/Trip.album", "iPhoto://2015/Summer", "Trip.album"},
        {"iPhoto://2015", "", "2015"},
        {"language://French", "", "French"},
        {"/tmp/odd://name", "/tmp/odd:", "name"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtractParentPath(c.path), c.parent) << c.path.toStdString();
        EXPECT_EQ(ExtractFileName(c.path), c.name) << c.path.toStdString();
    }
}

TEST(FilterSubDirs, WholeComponentsOnly) {
    EXPECT_EQ(FilterSubDirs({"/a/b", "/a/bc", "/a/b/c"}), QStringList({"/a/b", "/a/bc"}));
    EXPECT_EQ(FilterSubDirs({"/a/bc", "/a/b"}), QStringList({"/a/bc", "/a/b"}));
    EXPECT_EQ(FilterSubDirs({"/a/b/c", "/a"}), QStringList({"/a"}));
    EXPECT_EQ(FilterSubDirs({"/a/b c", "/a/b"}), QStringList({"/a/b c", "/a/b"}));
    EXPECT_EQ(FilterSubDirs({"/a/b-c/d", "/a/b"}), QStringList({"/a/b-c/d", "/a/b"}));
}

TEST(FilterSubDirs, DuplicatesSpellingsAndOrder) {
    EXPECT_EQ(FilterSubDirs({"/x", "/a", "/x", "/b"}), QStringList({"/x", "/a", "/b"}));
    EXPECT_EQ(FilterSubDirs({"/a/", "/a", "/a/b"}), QStringList({"/a/"}));
    EXPECT_EQ(FilterSubDirs({"/a//b", "/a/b/c"}), QStringList({"/a//b"}));
    EXPECT_EQ(FilterSubDirs({"/a/b", "/a/"}), QStringList({"/a/"}));
    EXPECT_EQ(FilterSubDirs({"", "/a", ""}), QStringList({"/a"}));
    EXPECT_EQ(FilterSubDirs({"/home/u/x", "/", "/tmp"}), QStringList({"/"}));
    EXPECT_EQ(FilterSubDirs({}), QStringList());
    // ".." is a name here, not a step up.
    EXPECT_EQ(FilterSubDirs({"/a/../b", "/b"}), QStringList({"/a/../b", "/b"}));
    const QString odd = QString::fromUtf8("/t/caf\xc3\xa9 : \nx");
    EXPECT_EQ(FilterSubDirs({odd + "/y", odd, "/t/caf"}), QStringList({odd, "/t/caf"}));
}

TEST(SystemLibraryPrefixes, BelowTheSystemRoot) {
    const QString sys = Varnex::Test::TestSysRoot();
    EXPECT_EQ(GetSystemLibraryPrefixes(), QStringList({sys + "/System/Library", sys + "/Library"}));
}

TEST(CurrentUser, UserIdIsDecimal) {
    const QString uid = GetUserIdString();
    bool ok = false;
    EXPECT_EQ(uid.toULongLong(&ok), static_cast<qulonglong>(::getuid()));
    EXPECT_TRUE(ok);
    EXPECT_FALSE(uid.startsWith('+'));
}
