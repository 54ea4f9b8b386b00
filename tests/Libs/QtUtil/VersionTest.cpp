#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/utsname.h>

#include <QDir>
#include <QFile>

#include "QtUtil/Version.h"
#include "common/PropertyListFixtures.h"
#include "common/ScopedEnv.h"
#include "common/TestEnv.h"

using Varnex::Util::GetSystemVersion;
using Varnex::Util::Version;

namespace {

using EnvVar = Varnex::Test::ScopedEnv;

// Writes SystemVersion.plist below the test system root; removes it at the end.
class SystemVersionPlist {
public:
    explicit SystemVersionPlist(const QByteArray& content) {
        const QString dir = Varnex::Test::TestSysRoot() + "/System/Library/CoreServices";
        QDir().mkpath(dir);
        m_path = dir + "/SystemVersion.plist";
        QFile file(m_path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    ~SystemVersionPlist() { QFile::remove(m_path); }

private:
    QString m_path;
};

QByteArray PlistWithVersion(const char* version) {
    return QByteArray(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
               "<plist version=\"1.0\"><dict>\n"
               "<key>ProductBuildVersion</key><string>19H2</string>\n"
               "<key>ProductName</key><string>Mac OS X</string>\n"
               "<key>ProductVersion</key><string>") +
           version + "</string>\n</dict></plist>\n";
}

}  // namespace

TEST(Version, ParsesLeadingNumbers) {
    EXPECT_EQ(Version("10.15.7"), Version(10, 15, 7));
    EXPECT_EQ(Version("10.9"), Version(10, 9, 0));
    EXPECT_EQ(Version("11"), Version(11, 0, 0));
    EXPECT_EQ(Version(" 13.2.1 (22D68)"), Version(13, 2, 1));
    EXPECT_EQ(Version("6.1.0-13-amd64"), Version(6, 1, 0));
    EXPECT_EQ(Version("10.15.7.1"), Version(10, 15, 7));
    EXPECT_TRUE(Version("10.15").IsValid());
    EXPECT_EQ(Version("10.15").ToString(), "10.15.0");
    for (const char* bad : {"", "v10.9", "macOS 11", ".5", "1234567890.1"}) {
        EXPECT_FALSE(Version(QString(bad)).IsValid()) << bad;
        EXPECT_EQ(Version(QString(bad)), Version(0, 0, 0)) << bad;
    }
}

TEST(Version, OrdersPartByPart) {
    EXPECT_TRUE(Version(10, 10) >= Version(10, 9));  // not a text comparison
    EXPECT_TRUE(Version(10, 9) < Version(10, 10));
    EXPECT_TRUE(Version(10, 9, 5) < Version(10, 10, 0));
    EXPECT_TRUE(Version(11, 0) > Version(10, 99, 99));
    EXPECT_TRUE(Version(10, 9) >= Version(10, 9, 0));
    EXPECT_FALSE(Version(10, 9) >= Version(10, 9, 1));
    EXPECT_TRUE(Version(10, 9, 1) <= Version(10, 9, 1));
    EXPECT_TRUE(Version(10, 9, 1) != Version(10, 9));
    EXPECT_FALSE(Version(10, 9) < Version(10, 9));
}

TEST(SystemVersion, FromEnvironmentFirst) {
    SystemVersionPlist plist(PlistWithVersion("10.14.6"));
    EnvVar env("KLARVIK_SYSTEM_VERSION", "10.13.4");
    EXPECT_EQ(GetSystemVersion(), Version(10, 13, 4));
}

TEST(SystemVersion, FromTheSystemRootsPropertyList) {
    SystemVersionPlist plist(PlistWithVersion("10.14.6"));
    EXPECT_EQ(GetSystemVersion(), Version(10, 14, 6));
    EXPECT_TRUE(GetSystemVersion() >= Version(10, 9));
}

TEST(SystemVersion, KernelReleaseWhenNothingElse) {
    struct utsname names;
    ASSERT_EQ(::uname(&names), 0);
    EXPECT_EQ(GetSystemVersion(), Version(QString::fromUtf8(names.release)));
    EXPECT_TRUE(GetSystemVersion().IsValid());
    // A property list without a usable ProductVersion does not count.
    SystemVersionPlist plist("<plist version=\"1.0\"><array><string>10.1</string></array></plist>");
    EXPECT_EQ(GetSystemVersion(), Version(QString::fromUtf8(names.release)));
    // Nor does a hostile one, which any user who sets the system root can plant.
    SystemVersionPlist deep(Varnex::Test::NestedXmlArrays(200000));
    EXPECT_EQ(GetSystemVersion(), Version(QString::fromUtf8(names.release)));
}
