#include <gtest/gtest.h>

#include <climits>

#include "CleanerCommon/Sizes.h"

using namespace Varnex::Cleaner;

namespace {

const long long KiB = 1024;
const long long MiB = 1024 * KiB;
const long long GiB = 1024 * MiB;
const long long TiB = 1024 * GiB;

}  // namespace

TEST(ParseSize, ReadsReportValues) {
    const struct {
        const char* text;
        long long bytes;
    } cases[] = {
        {"8 GB", 8 * GiB},
        {"512 MB", 512 * MiB},
        {"1,5 TB", TiB + TiB / 2},
        {"1.5 TB", TiB + TiB / 2},
        {"1536 MB", 1536 * MiB},
        {"512MB", 512 * MiB},
        {"  4 gb  ", 4 * GiB},
        {"16 GiB", 16 * GiB},
        {"256 KB", 256 * KiB},
        {"100 bytes", 100},
        {"4096", 4096},
        {"0 MB", 0},
        {"2.25 KB", 2304},
        {"7 B", 7},
        {"1 PB", 1024 * TiB},
        {"0,5 MB", MiB / 2},
        {"1\tGB", GiB},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseSize(QString::fromUtf8(c.text)), c.bytes) << c.text;
    }
}

TEST(ParseSize, RefusesTextItCannotRead) {
    // -1 is what makes the system information fall back to a second key.
    const char* const bad[] = {
        "",        "Empty", "GB",    "-1 GB", "8 GB RAM", "1,024.5 MB",  "8 XB",
        "1..5 GB", ".5 GB", "5. GB", "8 G B", "0x10 MB",  "99999999 PB", "9223372036854775807 KB",
        "nan GB",  "1e3 MB"};
    for (const char* text : bad) {
        EXPECT_EQ(ParseSize(QString::fromUtf8(text)), -1) << text;
    }
    EXPECT_EQ(ParseSize(QString()), -1);
}

TEST(ParseSize, RoundTripsThroughFormatSize) {
    for (long long bytes : {0LL, 512LL, 8 * GiB, 512 * MiB, 3 * TiB, 1023 * KiB}) {
        EXPECT_EQ(ParseSize(FormatSize(bytes, 0)), bytes) << bytes;
    }
}

TEST(FormatSize, PicksUnitAndPrecision) {
    const struct {
        long long bytes;
        int precision;
        const char* text;
    } cases[] = {
        {0, 0, "0 B"},
        {1, 2, "1 B"},
        {1023, 0, "1023 B"},
        {1024, 0, "1 KB"},
        {1536, 0, "2 KB"},
        {1536, 1, "1.5 KB"},
        {8 * GiB, 0, "8 GB"},
        {8 * GiB, 2, "8.00 GB"},
        {MiB - 1, 0, "1 MB"},  // rounds to 1024 KB: shown in the next unit
        {MiB - 1, 3, "1023.999 KB"},
        {MiB - 600, 0, "1023 KB"},
        {3 * TiB + TiB / 4, 2, "3.25 TB"},
        {LLONG_MAX, 0, "8 EB"},
        {-1536, 1, "-1.5 KB"},
        {LLONG_MIN, 0, "-8 EB"},
        {1536, -3, "2 KB"},  // precision is clamped
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatSize(c.bytes, c.precision).toStdString(), c.text) << c.bytes;
    }
    EXPECT_EQ(FormatSize(2 * MiB).toStdString(), "2 MB");  // precision 0 by default
}

TEST(Frequency, ParsesReportValues) {
    EXPECT_EQ(ParseFrequency("2.4 GHz"), 2400000000LL);
    EXPECT_EQ(ParseFrequency("2,66 GHz"), 2660000000LL);
    EXPECT_EQ(ParseFrequency("1600 MHz"), 1600000000LL);
    EXPECT_EQ(ParseFrequency("1867MHz"), 1867000000LL);
    EXPECT_EQ(ParseFrequency("800 kHz"), 800000LL);
    EXPECT_EQ(ParseFrequency("50 Hz"), 50LL);
    EXPECT_EQ(ParseFrequency("3 ghz"), 3000000000LL);
    for (const char* bad : {"", "Empty", "GHz", "2.4 GB", "-2 GHz", "2.4 GHz x"}) {
        EXPECT_EQ(ParseFrequency(QString::fromUtf8(bad)), -1) << bad;
    }
}

TEST(Frequency, FormatsGigaAndMegahertz) {
    EXPECT_EQ(FormatFrequencyGHz(2400000000LL).toStdString(), "2.4 GHz");
    EXPECT_EQ(FormatFrequencyGHz(2660000000LL, 2).toStdString(), "2.66 GHz");
    EXPECT_EQ(FormatFrequencyGHz(2660000000LL, 0).toStdString(), "3 GHz");
    EXPECT_EQ(FormatFrequencyGHz(0).toStdString(), "0.0 GHz");
    EXPECT_EQ(FormatFrequencyMHz(1600000000LL).toStdString(), "1600 MHz");
    EXPECT_EQ(FormatFrequencyMHz(1066666666LL).toStdString(), "1067 MHz");
    EXPECT_EQ(FormatFrequencyMHz(0).toStdString(), "0 MHz");
    // What the processor line shows for a parsed report value.
    EXPECT_EQ(FormatFrequencyGHz(ParseFrequency("2,3 GHz")).toStdString(), "2.3 GHz");
}

TEST(RoundSize4K, RoundsUpToWholeBlocks) {
    EXPECT_EQ(RoundSize4K(0), 0);
    EXPECT_EQ(RoundSize4K(1), 4096);
    EXPECT_EQ(RoundSize4K(4095), 4096);
    EXPECT_EQ(RoundSize4K(4096), 4096);
    EXPECT_EQ(RoundSize4K(4097), 8192);
    EXPECT_EQ(RoundSize4K(10 * GiB + 1), 10 * GiB + 4096);
    EXPECT_EQ(RoundSize4K(-5), 0);
    EXPECT_EQ(RoundSize4K(LLONG_MAX), (LLONG_MAX / 4096) * 4096);
    EXPECT_EQ(RoundSize4K(LLONG_MAX) % 4096, 0);
}
