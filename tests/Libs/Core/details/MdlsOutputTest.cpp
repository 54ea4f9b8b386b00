// The last-use date mdls prints: only the one expected line gives a date, at
// its zone offset; every other output gives none.
#include <gtest/gtest.h>

#include "Core/details/MdlsOutput.h"

using Varnex::Cleaner::Details::MdlsOutput;

TEST(MdlsOutput, TheExpectedLineAtItsOffset) {
    const QDateTime utc(QDate(2013, 5, 20), QTime(12, 34, 56), Qt::UTC);
    EXPECT_EQ(MdlsOutput::ParseLastUsedDate("kMDItemLastUsedDate = 2013-05-20 12:34:56 +0000\n"),
              utc);
    EXPECT_EQ(MdlsOutput::ParseLastUsedDate("  kMDItemLastUsedDate  =  2013-05-20 14:04:56 +0130 "),
              utc);
    EXPECT_EQ(MdlsOutput::ParseLastUsedDate("kMDItemLastUsedDate = 2013-05-19 22:34:56 -1400"),
              utc);
    EXPECT_EQ(
        MdlsOutput::ParseLastUsedDate("kMDItemLastUsedDate = 2013-05-20 12:34:56 +0000").timeSpec(),
        Qt::LocalTime);
}

TEST(MdlsOutput, AnythingElseGivesNoDate) {
    for (const char* output : {
             "",
             "kMDItemLastUsedDate = (null)",
             "kMDItemLastUsedDate = 2013-05-20 12:34:56",
             "kMDItemLastUsedDate = 2013-05-20 12:34:56 +0000 extra",
             "kMDItemLastUsedDate = 2013-05-20 12:34:56 +0000\nkMDItemLastUsedDate = (null)",
             "kMDItemLastUsedDate = 2013-05-20\r12:34:56 +0000",
             "kMDItemContentCreationDate = 2013-05-20 12:34:56 +0000",
             "kMDItemLastUsedDate : 2013-05-20 12:34:56 +0000",
             "kMDItemLastUsedDate = 2013-02-30 12:34:56 +0000",
             "kMDItemLastUsedDate = 2013-05-20 24:00:00 +0000",
             "kMDItemLastUsedDate = 2013-05-20 12:34:56 +1500",
             "kMDItemLastUsedDate = 2013-05-20 12:34:56 +0060",
             "kMDItemLastUsedDate = 2013-05-20 12:34:56 0000",
             "kMDItemLastUsedDate = 2013-05-20 12:34:56 +00:00",
             "kMDItemLastUsedDate = 2013-05-20 12:34:56 +\xd9\xa0\xd9\xa0\xd9\xa0\xd9\xa0",
         }) {
        EXPECT_TRUE(MdlsOutput::ParseLastUsedDate(QString::fromUtf8(output)).isNull()) << output;
    }
}

TEST(MdlsOutput, UtcOffsets) {
    int seconds = 1;
    EXPECT_TRUE(MdlsOutput::ParseUtcOffset("+0000", &seconds));
    EXPECT_EQ(seconds, 0);
    EXPECT_TRUE(MdlsOutput::ParseUtcOffset("-0130", &seconds));
    EXPECT_EQ(seconds, -5400);
    EXPECT_TRUE(MdlsOutput::ParseUtcOffset("+1459", &seconds));
    EXPECT_EQ(seconds, 14 * 3600 + 59 * 60);
    seconds = 7;
    for (const char* text : {"+1500", "-0099", "0100", "+100", "+01000", "", "+01a0"}) {
        EXPECT_FALSE(MdlsOutput::ParseUtcOffset(text, &seconds)) << text;
    }
    EXPECT_EQ(seconds, 7);
}
