#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <QDateTime>
#include <future>
#include <random>
#include <thread>

#include "Platform/BundleInfo.h"
#include "Platform/PathCodec.h"
#include "Platform/PropertyList.h"
#include "common/LogCapture.h"
#include "common/PropertyListFixtures.h"
#include "common/TempTree.h"

using namespace Varnex::Platform;
using Varnex::Test::LogCapture;
using Varnex::Test::TempTree;

namespace {

const int fuzzRounds = qEnvironmentVariableIntValue("KLARVIK_FUZZ_ROUNDS") > 0
                           ? qEnvironmentVariableIntValue("KLARVIK_FUZZ_ROUNDS")
                           : 3000;

const char infoXml[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
    <key>CFBundleIdentifier</key><string>com.example.caf&#233;</string>
    <key>CFBundleName</key><string>Caf&#233; Tool</string>
    <key>LSMinimumSystemVersion</key><string>10.9</string>
    <key>Count</key><integer>-7</integer>
    <key>Big</key><integer>5000000000</integer>
    <key>Ratio</key><real>0.5</real>
    <key>Flag</key><true/>
    <key>Blob</key><data>AAEC/w==</data>
    <key>When</key><date>2013-05-20T12:34:56Z</date>
    <key>Types</key><array><string>a</string><dict><key>k</key><string>v</string></dict></array>
    <!-- a comment, and text in CDATA: -->
    <key>Nested</key><dict><key>a</key><dict><key>b</key><dict>
        <key>c</key><string><![CDATA[<&>]]> &#x65e5;&#x672c;</string>
    </dict></dict></dict>
</dict>
</plist>
)";

// The same dictionary as a binary property list, written by libplist itself.
QByteArray ToBinary(const QByteArray& xml) {
    const QByteArray bin = Varnex::Test::BinaryPropertyList(xml);
    EXPECT_FALSE(bin.isEmpty());
    return bin;
}

void ExpectFullInfo(const BundleInfo& info) {
    EXPECT_TRUE(info.IsValid());
    EXPECT_EQ(info.GetIdentifier(), QString::fromUtf8("com.example.caf\xc3\xa9"));
    EXPECT_EQ(info.GetName(), QString::fromUtf8("Caf\xc3\xa9 Tool"));
    EXPECT_EQ(info.GetString("LSMinimumSystemVersion"), "10.9");
    EXPECT_EQ(info.GetValue("Count"), QVariant(qlonglong(-7)));
    EXPECT_EQ(info.GetValue("Big"), QVariant(qlonglong(5000000000LL)));
    EXPECT_EQ(info.GetValue("Ratio"), QVariant(0.5));
    EXPECT_EQ(info.GetValue("Flag"), QVariant(true));
    EXPECT_EQ(info.GetValue("Blob").toByteArray(), QByteArray::fromHex("000102ff"));
    EXPECT_EQ(info.GetValue("When").toDateTime(),
              QDateTime(QDate(2013, 5, 20), QTime(12, 34, 56), Qt::UTC));
    const QVariantList types = info.GetValue("Types").toList();
    ASSERT_EQ(types.size(), 2);
    EXPECT_EQ(types[0], QVariant("a"));
    EXPECT_EQ(types[1].toMap().value("k"), QVariant("v"));
    const QVariantMap nested = info.GetValue("Nested").toMap();
    EXPECT_EQ(nested.value("a").toMap().value("b").toMap().value("c"),
              QVariant(QString::fromUtf8("<&> \xe6\x97\xa5\xe6\x9c\xac")));
    EXPECT_FALSE(info.GetValue("Missing").isValid());
    EXPECT_EQ(info.GetString("Count"), QString());  // not a string
}

// Reads the bundle on a thread of its own, so that a read that blocks (a FIFO
// opened for reading waits for a writer) fails the test instead of hanging it.
bool ReadsWithinBound(const QString& bundle, BundleInfo* out) {
    auto done = std::make_shared<std::promise<BundleInfo>>();
    std::future<BundleInfo> result = done->get_future();
    std::thread([bundle, done] { done->set_value(BundleInfo(bundle)); }).detach();
    if (result.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
        return false;
    }
    *out = result.get();
    return true;
}

}  // namespace

TEST(BundleInfo, ReadsXmlAndBinaryInfoPlists) {
    TempTree tree;
    tree.MakeFile("Xml.app/Contents/Info.plist", infoXml);
    tree.MakeFile(QString::fromUtf8("B\xc3\xafn\nary: x.app/Contents/Info.plist"),
                  ToBinary(infoXml));
    ExpectFullInfo(BundleInfo(tree.Path("Xml.app")));
    ExpectFullInfo(BundleInfo(tree.Path("Xml.app/")));
    const BundleInfo binary(tree.Path(QString::fromUtf8("B\xc3\xafn\nary: x.app")));
    ExpectFullInfo(binary);
    EXPECT_EQ(binary.GetBundlePath(), tree.Path(QString::fromUtf8("B\xc3\xafn\nary: x.app")));
    EXPECT_EQ(BundleInfo::InfoPlistPath("/A/X.app/"), "/A/X.app/Contents/Info.plist");
}

TEST(BundleInfo, MissingBundlesAndRelativePathsReadNothingQuietly) {
    TempTree tree;
    tree.MakeDir("NoPlist.app/Contents");
    LogCapture log;
    EXPECT_FALSE(BundleInfo(tree.Path("Gone.app")).IsValid());
    EXPECT_FALSE(BundleInfo(tree.Path("NoPlist.app")).IsValid());
    EXPECT_FALSE(BundleInfo().IsValid());
    // "" and a relative path would read Contents/Info.plist of the current folder.
    tree.MakeFile("Contents/Info.plist", infoXml);
    const QByteArray cwd = qgetenv("PWD");
    ASSERT_EQ(::chdir(EncodePathOrEmpty(tree.Root()).c_str()), 0);
    const BundleInfo empty(QString{});
    const BundleInfo relative(QStringLiteral("."));
    ASSERT_EQ(::chdir("/"), 0);
    EXPECT_FALSE(empty.IsValid());
    EXPECT_TRUE(empty.GetIdentifier().isEmpty());
    EXPECT_FALSE(relative.IsValid());
    EXPECT_EQ(log.Count(google::GLOG_WARNING, "bundle information"), 0) << log.Dump();
}

TEST(BundleInfo, UnusableInfoPlistsWarnAndGiveNothing) {
    TempTree tree;
    const QByteArray binary = ToBinary(infoXml);
    tree.MakeFile("Garbage.app/Contents/Info.plist", "this is not a property list \x01\x02");
    tree.MakeFile("TruncXml.app/Contents/Info.plist", QByteArray(infoXml).left(300));
    tree.MakeFile("TruncBin.app/Contents/Info.plist", binary.left(binary.size() - 20));
    tree.MakeFile("Empty.app/Contents/Info.plist", "");
    tree.MakeFile("Array.app/Contents/Info.plist",
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string>"
                  "</array></plist>");
    tree.MakeSparseFile("Huge.app/Contents/Info.plist", maxPropertyListSize + 1);
    tree.MakeDir("Dir.app/Contents/Info.plist");
    tree.MakeDir("Fifo.app/Contents");
    ASSERT_EQ(::mkfifo(EncodePathOrEmpty(tree.Path("Fifo.app/Contents/Info.plist")).c_str(), 0600),
              0);
    tree.MakeFile("Deep.app/Contents/Info.plist",
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>" +
                      QByteArray(4000, 'x').replace("x", "<array>") +
                      QByteArray(4000, 'x').replace("x", "</array>") + "</dict></plist>");
    tree.MakeFile("Line\nBreak.app/Contents/Info.plist", "junk");
    tree.MakeSymlink("/dev/zero", "Zero.app/Contents/Info.plist");
    tree.MakeSymlink(tree.Path("Fifo.app/Contents/Info.plist"), "FifoLink.app/Contents/Info.plist");

    for (const char* name : {"Garbage", "TruncXml", "TruncBin", "Empty", "Array", "Huge", "Dir",
                             "Fifo", "Deep", "Line\nBreak", "Zero", "FifoLink"}) {
        LogCapture log;
        BundleInfo info;
        ASSERT_TRUE(ReadsWithinBound(tree.Path(QString::fromUtf8(name) + ".app"), &info)) << name;
        EXPECT_FALSE(info.IsValid()) << name;
        EXPECT_TRUE(info.GetInfoDictionary().isEmpty()) << name;
        EXPECT_TRUE(info.GetIdentifier().isEmpty()) << name;
        ASSERT_EQ(log.Count(google::GLOG_WARNING, "Can't read the bundle information"), 1)
            << name << "\n"
            << log.Dump();
        const std::string message = log.Lines().front().message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        if (std::string(name) == "Line\nBreak") {
            // Escaped, in either of the forms the log escapers write.
            EXPECT_TRUE(message.find("/Line\\nBreak.app/Contents/Info.plist") != std::string::npos ||
                        message.find("/Line\\x0aBreak.app/Contents/Info.plist") != std::string::npos)
                << message;
        }
    }
}

// Lists that would make libplist recurse without bound or expand references
// without bound are refused after a walk that follows no more than the limits.
TEST(BundleInfo, RefusesHostileNestingAndExpansion) {
    using namespace Varnex::Test;
    TempTree tree;
    QByteArray quoted;  // every close hidden, for a quote-aware reader, inside an attribute
    for (int i = 0; i < 200000; ++i) {
        quoted += "<array x=\"></array>\">";
    }
    const struct {
        const char* name;
        QByteArray content;
        const char* reason;
    } cases[] = {
        {"DeepBinary", NestedBinaryArrays(100000), "nested deeper than"},
        {"DeepXml", NestedXmlArrays(200000), "nested deeper than"},
        {"Doubling", DoublingBinaryArrays(40), "more than"},
        {"Cycle", SelfContainingBinaryArray(), "cycle"},
        {"Quoted", "<?xml version=\"1.0\"?><plist version=\"1.0\">" + quoted, "quote left open"},
    };
    for (const auto& c : cases) {
        const QString bundle = tree.Path(QString::fromUtf8(c.name) + ".app");
        tree.MakeFile(c.name + QStringLiteral(".app/Contents/Info.plist"), c.content);
        LogCapture log;
        const BundleInfo info(bundle);
        EXPECT_FALSE(info.IsValid()) << c.name;
        const std::string path = BundleInfo::InfoPlistPath(bundle).toStdString();
        EXPECT_EQ(log.Count(google::GLOG_WARNING, "Can't read the bundle information " + path), 1)
            << c.name << "\n"
            << log.Dump();
        EXPECT_TRUE(log.Contains(google::GLOG_WARNING, c.reason)) << c.name << "\n" << log.Dump();
    }

    // Just inside the limits still reads; one level or one doubling more does not.
    const QVariantMap deepest =
        ParsePropertyList(NestedXmlArrays(maxPropertyListDepth - 1)).toMap();
    EXPECT_EQ(deepest.value("CFBundleIdentifier"), QVariant("x.deep"));
    EXPECT_FALSE(ParsePropertyList(NestedXmlArrays(maxPropertyListDepth)).isValid());
    EXPECT_TRUE(ParsePropertyList(NestedBinaryArrays(maxPropertyListDepth)).isValid());
    EXPECT_FALSE(ParsePropertyList(NestedBinaryArrays(maxPropertyListDepth + 1)).isValid());
    int levels = 1;
    while ((qint64(2) << levels) - 1 <= maxPropertyListValues) {
        ++levels;
    }
    // 2^levels - 1 values: the most that fit, then twice as many.
    EXPECT_TRUE(ParsePropertyList(DoublingBinaryArrays(levels)).isValid()) << levels;
    EXPECT_FALSE(ParsePropertyList(DoublingBinaryArrays(levels + 1)).isValid()) << levels;
}

TEST(BundleInfo, TellsBundlesByTheirFolderName) {
    TempTree tree;
    tree.MakeDir("Foo.app");
    tree.MakeDir(".app");
    tree.MakeDir("Foo.App");
    tree.MakeDir("Foo.appx");
    tree.MakeFile("File.app", "x");
    tree.MakeSymlink(tree.Path("Foo.app"), "Link.app");
    EXPECT_TRUE(BundleInfo::IsBundle(tree.Path("Foo.app")));
    EXPECT_TRUE(BundleInfo::IsBundle(tree.Path("Foo.app/")));
    EXPECT_TRUE(BundleInfo::IsBundle(tree.Path("Link.app")));
    EXPECT_FALSE(BundleInfo::IsBundle(tree.Path(".app")));
    EXPECT_FALSE(BundleInfo::IsBundle(tree.Path("Foo.App")));
    EXPECT_FALSE(BundleInfo::IsBundle(tree.Path("Foo.appx")));
    EXPECT_FALSE(BundleInfo::IsBundle(tree.Path("File.app")));
    EXPECT_FALSE(BundleInfo::IsBundle(tree.Path("Missing.app")));
    EXPECT_FALSE(BundleInfo::IsBundle(QString()));
}

TEST(PropertyList, RefusesWhatIsNotOneAndSurvivesDamagedInput) {
    QString error;
    EXPECT_FALSE(ParsePropertyList(QByteArray(), &error).isValid());
    EXPECT_FALSE(error.isEmpty());
    error.clear();
    EXPECT_FALSE(ParsePropertyList(QByteArray(maxPropertyListSize + 1, ' '), &error).isValid());
    EXPECT_TRUE(error.contains("larger")) << error.toStdString();
    EXPECT_EQ(ParsePropertyList("<plist><string>x</string></plist>").toString(), "x");

    // Every truncation and many random damages of a binary list: answers, never crashes.
    const QByteArray binary = ToBinary(infoXml);
    for (int n = 0; n < binary.size(); ++n) {
        ParsePropertyList(binary.left(n));
    }
    std::mt19937 random(7);
    for (int round = 0; round < fuzzRounds; ++round) {
        QByteArray damaged = binary;
        for (int k = 0; k < 3; ++k) {
            damaged[static_cast<int>(random() % damaged.size())] = static_cast<char>(random());
        }
        const QVariant value = ParsePropertyList(damaged);
        EXPECT_TRUE(!value.isValid() || value.type() == QVariant::Map ||
                    value.type() == QVariant::List || value.canConvert<QString>());
    }
    // A NUL inside a UTF-16 key makes libplist 2.2 abort the process; refused first.
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "aQ\xc3\xa9", plist_new_string("v"));
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bin, &length);
    plist_free(dict);
    QByteArray nulKey(bin, static_cast<int>(length));
    plist_to_bin_free(bin);
    EXPECT_EQ(ParsePropertyList(nulKey).toMap().keys(),
              QStringList{QString::fromUtf8("aQ\xc3\xa9")});
    const int q = nulKey.indexOf(QByteArray("\0Q", 2));
    ASSERT_GT(q, 0);
    nulKey[q + 1] = '\0';
    error.clear();
    EXPECT_FALSE(ParsePropertyList(nulKey, &error).isValid());
    EXPECT_TRUE(error.contains("NUL")) << error.toStdString();

    const QByteArray xml(infoXml);
    // Cut anywhere before the dictionary closes (libplist forgives a missing </plist>).
    for (int n = 0; n < xml.lastIndexOf("</dict>"); n += 7) {
        EXPECT_FALSE(ParsePropertyList(xml.left(n)).toMap().contains("Types")) << n;
    }
}
