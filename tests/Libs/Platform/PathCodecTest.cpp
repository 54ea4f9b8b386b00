#include <gtest/gtest.h>

#include <QString>
#include <string>

#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"
#include "common/ScopedEnv.h"

using namespace Varnex::Platform;

TEST(PathCodec, RoundTripsEveryValidName) {
    const char* names[] = {"/tmp/plain",
                           "/tmp/caf\xc3\xa9",
                           "/tmp/\xe6\x97\xa5\xe6\x9c\xac",
                           "/tmp/emoji \xf0\x9f\x98\x80",
                           "/tmp/new\nline",
                           "/tmp/a: b",
                           "/tmp/\xef\xbf\xbd literal replacement char",
                           "/tmp/\xef\xbf\xbf"};
    for (const char* name : names) {
        QString text;
        ASSERT_TRUE(DecodePath(std::string(name), &text)) << name;
        std::string back;
        ASSERT_TRUE(EncodePath(text, &back)) << name;
        EXPECT_EQ(back, name);
    }
}

TEST(PathCodec, RefusesBytesThatCannotComeBack) {
    const std::string bad[] = {
        std::string("/tmp/\xff"),              // never valid
        std::string("/tmp/caf\xe9"),           // Latin-1
        std::string("/tmp/\xc0\xaf"),          // overlong '/'
        std::string("/tmp/\xed\xa0\x80"),      // surrogate
        std::string("/tmp/\xf4\x90\x80\x80"),  // above U+10FFFF
        std::string("/tmp/\xe6\x97"),          // truncated
        std::string("/tmp/a\0b", 8),           // NUL
    };
    for (const std::string& b : bad) {
        QString text = QStringLiteral("untouched");
        EXPECT_FALSE(DecodePath(b, &text));
        EXPECT_EQ(text, QStringLiteral("untouched"));
        EXPECT_TRUE(DecodePathOrNull(b).isNull());
    }
}

TEST(PathCodec, RefusesTextThatCannotCross) {
    std::string out = "untouched";
    QString lone = QStringLiteral("/tmp/x");
    lone.append(QChar(0xD800));
    EXPECT_FALSE(EncodePath(lone, &out));
    EXPECT_FALSE(EncodePath(QString::fromUtf8("/tmp/a\0b", 8), &out));
    EXPECT_EQ(out, "untouched");
    EXPECT_TRUE(EncodePathOrEmpty(lone).empty());
}

TEST(SystemRoot, ResolvesFixedFoldersBelowTheConfiguredRoot) {
    const QByteArray saved = qgetenv("KLARVIK_SYSROOT");
    qputenv("KLARVIK_SYSROOT", "/srv/mac/");
    EXPECT_EQ(SystemRoot(), QStringLiteral("/srv/mac"));
    EXPECT_EQ(SystemPath("/Applications"), QStringLiteral("/srv/mac/Applications"));
    EXPECT_EQ(SystemPath("/"), QStringLiteral("/srv/mac"));
    EXPECT_EQ(SystemPath("relative"), QStringLiteral("relative"));
    qputenv("KLARVIK_SYSROOT", "");
    EXPECT_EQ(SystemPath("/Library"), QStringLiteral("/Library"));
    qputenv("KLARVIK_SYSROOT", "/");
    EXPECT_EQ(SystemPath("/Library"), QStringLiteral("/Library"));
    qputenv("KLARVIK_SYSROOT", saved);
}

TEST(SystemRoot, TheHomeFolderFallsBackToThePasswdEntryNeverToTheRoot) {
    const QByteArray saved = qgetenv("HOME");
    qputenv("HOME", "/srv/someone/");
    EXPECT_EQ(HomePath(), QStringLiteral("/srv/someone"));
    qunsetenv("HOME");
    const QString fallback = HomePath();
    EXPECT_NE(fallback, QStringLiteral("/tmp"));
    EXPECT_TRUE(fallback.isEmpty() || fallback.startsWith('/'));
    qputenv("HOME", saved);
}

TEST(SystemRoot, PathVariablesThatDoNotDecodeAreNeverApproximated) {
    const Varnex::Test::ScopedEnv home("HOME", "/srv/h\xff");
    QString value = QStringLiteral("untouched");
    EXPECT_EQ(ReadPathVariable("HOME", &value), PathVariable::UNDECODABLE);
    EXPECT_EQ(value, QStringLiteral("untouched"));
    // Neither the lossy spelling (a sibling folder) nor the passwd entry.
    EXPECT_TRUE(HomePath().isEmpty());
    EXPECT_STREQ(UndecodablePathVariable(), "HOME");
    {
        const Varnex::Test::ScopedEnv root("KLARVIK_SYSROOT", "/srv/caf\xe9");
        std::string bytes;
        EXPECT_FALSE(EncodePath(SystemPath(QStringLiteral("/Library")), &bytes));
        EXPECT_STREQ(UndecodablePathVariable(), "HOME");
        const Varnex::Test::ScopedEnv validHome("HOME", "/srv/caf\xc3\xa9");
        EXPECT_EQ(HomePath(), QString::fromUtf8("/srv/caf\xc3\xa9"));
        EXPECT_STREQ(UndecodablePathVariable(), "KLARVIK_SYSROOT");
    }
    const Varnex::Test::ScopedEnv unset("HOME", QByteArray());
    EXPECT_EQ(ReadPathVariable("HOME"), PathVariable::UNSET);
    EXPECT_EQ(UndecodablePathVariable(), nullptr);
}
