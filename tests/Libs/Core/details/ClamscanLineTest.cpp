// The scanner's lines taken apart: a path keeps every ": " but the last, the
// errors count only after the summary, and lines of no known shape are OTHER.
#include <gtest/gtest.h>

#include "Core/details/ClamscanLine.h"

using Varnex::Cleaner::Details::ClamscanLine;

namespace {

ClamscanLine Parse(const char* text, bool summarySeen = false) {
    return ClamscanLine::Parse(QByteArray(text), summarySeen);
}

}  // namespace

TEST(ClamscanLine, ResultsSplitAtTheLastSeparator) {
    const struct {
        QByteArray line;
        QByteArray path;
        QByteArray result;
        bool found;
        QString name;
    } cases[] = {
        {"/a/eicar.com: Eicar-Test-Signature FOUND", "/a/eicar.com", "Eicar-Test-Signature FOUND",
         true, "Eicar-Test-Signature"},
        {"/a/b: c.txt: OK", "/a/b: c.txt", "OK", false, QString()},
        {"/a/x: y: Win.Test FOUND", "/a/x: y", "Win.Test FOUND", true, "Win.Test"},
        {"/a/x: FOUND", "/a/x", "FOUND", false, QString()},
        {"/a/x:  FOUND", "/a/x", " FOUND", true, ""},
        {"/a/\xc3\xa9: N\xc3\xa4me FOUND", "/a/\xc3\xa9", "N\xc3\xa4me FOUND", true,
         QString::fromUtf8("N\xc3\xa4me")},
    };
    for (const auto& c : cases) {
        const ClamscanLine parsed = ClamscanLine::Parse(c.line, false);
        EXPECT_EQ(parsed.kind, ClamscanLine::RESULT) << c.line.constData();
        EXPECT_EQ(parsed.path, c.path) << c.line.constData();
        EXPECT_EQ(parsed.result, c.result) << c.line.constData();
        EXPECT_EQ(parsed.IsFound(), c.found) << c.line.constData();
        EXPECT_EQ(parsed.VirusName(), c.name) << c.line.constData();
        EXPECT_EQ(parsed.VirusName().isNull(), !c.found) << c.line.constData();
    }
}

TEST(ClamscanLine, LinesThatAreNoResult) {
    const QByteArray withZero("/a/b\0c: X FOUND", 15);
    for (const QByteArray& line :
         {QByteArray("relative/x: X FOUND"), QByteArray("/no separator FOUND"),
          QByteArray(": X FOUND"), QByteArray("/:X FOUND"), withZero, QByteArray(),
          QByteArray(" /a: X FOUND"), QByteArray("Known viruses: 8723456")}) {
        const ClamscanLine parsed = ClamscanLine::Parse(line, true);
        EXPECT_EQ(parsed.kind, ClamscanLine::OTHER) << line.constData();
        EXPECT_FALSE(parsed.IsFound());
        EXPECT_TRUE(parsed.path.isEmpty());
    }
    // "/: X FOUND" has its separator right after the root: the path is "/".
    EXPECT_EQ(Parse("/: X FOUND").path, QByteArray("/"));
}

TEST(ClamscanLine, ErrorsCountOnlyAfterTheSummary) {
    EXPECT_EQ(Parse("----------- SCAN SUMMARY -----------").kind, ClamscanLine::SUMMARY);
    EXPECT_EQ(Parse(" ----------- SCAN SUMMARY -----------").kind, ClamscanLine::OTHER);
    EXPECT_EQ(Parse("Total errors: 3").kind, ClamscanLine::OTHER);

    const ClamscanLine errors = Parse("Total errors: 3 ", true);
    EXPECT_EQ(errors.kind, ClamscanLine::ERRORS);
    EXPECT_EQ(errors.errors, 3);
    EXPECT_EQ(Parse("Total errors: many", true).errors, 0);
    EXPECT_EQ(Parse("Total errors:3", true).kind, ClamscanLine::OTHER);
}

TEST(ClamscanLine, PlausibleVirusNames) {
    EXPECT_TRUE(ClamscanLine::IsPlausibleVirusName(QStringLiteral("Win.Trojan.Agent-1 (x)")));
    EXPECT_TRUE(ClamscanLine::IsPlausibleVirusName(QString(ClamscanLine::maxVirusNameLength, 'a')));
    EXPECT_FALSE(ClamscanLine::IsPlausibleVirusName(QString()));
    EXPECT_FALSE(
        ClamscanLine::IsPlausibleVirusName(QString(ClamscanLine::maxVirusNameLength + 1, 'a')));
    EXPECT_FALSE(ClamscanLine::IsPlausibleVirusName(QStringLiteral("a\rb")));
    EXPECT_FALSE(ClamscanLine::IsPlausibleVirusName(QStringLiteral("\x1b[2Jx")));
}
