// The engine's version data: the installed file's text and the versions an
// information document offers, with what is refused and why.
#include <gtest/gtest.h>

#include "Core/EngineVersion.h"

using Varnex::Cleaner::EngineVersion;

TEST(EngineVersion, TheInstalledFile) {
    EXPECT_EQ(EngineVersion::FromVersionFile("0.99.2\n"), "0.99.2");
    EXPECT_EQ(EngineVersion::FromVersionFile("  1.4.6\r\n\n"), "1.4.6");
    EXPECT_EQ(EngineVersion::FromVersionFile(QByteArray("1.4\0.6\n", 7)), "1.4");
    EXPECT_EQ(EngineVersion::FromVersionFile("1.\n4\n"), "1.4");
    EXPECT_TRUE(EngineVersion::FromVersionFile(QByteArray("\0"
                                                          "1.0",
                                                          4))
                    .isEmpty());
    EXPECT_TRUE(EngineVersion::FromVersionFile(QByteArray()).isEmpty());
}

TEST(EngineVersion, SafeVersions) {
    for (const char* version : {"0.99", "1.4.6", "0.100.0-rc1", "1-beta.2", "12"}) {
        EXPECT_TRUE(EngineVersion::IsSafe(version)) << version;
    }
    for (const char* version :
         {"", "..", "1..2", "1.4/6", "../../etc", "1.4.6\n", " 1.4", "v1.4", "1.4-", "1-a..b",
          "1.4.6-rc 1", "1.2.3.4.5.6.7.8.9.10.11.12.13.14.15"}) {
        EXPECT_FALSE(EngineVersion::IsSafe(version)) << version;
    }
}

TEST(EngineVersion, TheInformationDocument) {
    QStringList versions{"stale"};
    QStringList rejected{"stale"};
    QString problem;
    EXPECT_TRUE(EngineVersion::FromInfoDocument(
        R"({"engineVersions": ["0.99", "../../etc", 7, null, "1.4.6", ""], "other": 1})", &versions,
        &rejected, &problem));
    EXPECT_EQ(versions, QStringList({"0.99", "1.4.6"}));
    EXPECT_EQ(rejected, QStringList({"../../etc", ""}));
    EXPECT_TRUE(problem.isEmpty());

    // Readable, but with nothing to offer: no versions, no problem.
    for (const char* body : {R"([{"engineVersions": ["1.0"]}])", R"({"engineVersions": "1.0"})",
                             R"({"EngineVersions": ["1.0"]})"}) {
        EXPECT_TRUE(EngineVersion::FromInfoDocument(body, &versions, &rejected, &problem)) << body;
        EXPECT_TRUE(versions.isEmpty() && rejected.isEmpty()) << body;
    }
}

TEST(EngineVersion, DocumentsThatDoNotRead) {
    QStringList versions;
    QStringList rejected;
    QString problem;
    for (const QByteArray& body :
         {QByteArray(), QByteArray("{\"engineVersions\": [\"1.0\""), QByteArray("\xff\xfe{}")}) {
        versions = rejected = QStringList{"stale"};
        problem.clear();
        EXPECT_FALSE(EngineVersion::FromInfoDocument(body, &versions, &rejected, &problem));
        EXPECT_FALSE(problem.isEmpty());
        EXPECT_TRUE(versions.isEmpty() && rejected.isEmpty());
    }

    // A version list beyond the limit is refused whole, not read in part.
    QByteArray huge = "{\"engineVersions\": [\"1.0\"";
    while (huge.size() <= EngineVersion::infoLimitBytes) {
        huge += ", \"1.0\"";
    }
    huge += "]}";
    EXPECT_FALSE(EngineVersion::FromInfoDocument(huge, &versions, &rejected, &problem));
    EXPECT_EQ(problem, "it is too large");
    EXPECT_TRUE(versions.isEmpty());
}
