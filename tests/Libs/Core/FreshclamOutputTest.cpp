// The updater's console output: the same events however the output is cut
// into chunks, both spellings of "up to date", and hostile lines.
#include <gtest/gtest.h>

#include <random>

#include "Core/FreshclamOutput.h"
#include "common/LogCapture.h"

using Varnex::Cleaner::Details::FreshclamOutput;
using Varnex::Test::LogCapture;
using Event = FreshclamOutput::Event;

namespace {

// What freshclam prints during a run (progress redraws with "\r"), hostile
// lines between, and a last line without a line end.
const char transcriptText[] =
    "ClamAV update process started at Tue Dec  8 08:00:00 2026\n"
    "Downloading daily-27001.cdiff [  0%]\rDownloading daily-27001.cdiff [ 42%]\r"
    "Downloading daily-27001.cdiff [100%]\r\n"
    "WARNING: Incremental update failed, trying to download daily.cvd\n"
    "Downloading daily.cvd [ 7%]\n"
    "main.cvd is up to date (version: 62, sigs: 6647427, f-level: 90, builder: sigmgr)\n"
    "bytecode.cld database is up-to-date (version: 334, sigs: 91, f-level: 90, builder: anvilleg)\n"
    "daily.cld updated (version: 27001, sigs: 2000000, f-level: 90, builder: raynman)\n"
    // Hostile or unknown lines: none gives an event.
    "Downloading [ 42%]\n"
    "Downloading daily.cvd [1e2%]\n"
    "Downloading daily.cvd [101%]\n"
    "Downloading daily.cvd [-5%]\n"
    "Downloading daily.cvd [%]\n"
    "Downloading daily.cvd 42%]\n"
    "Downloading ../../etc/passwd [ 42%]\n"
    "DownloadingX daily.cvd [ 42%]\n"
    "%]\n"
    "is up to date\n"
    "/tmp/x.cvd is up to date\n"
    "Incremental update failed\n"
    "Incremental update failed for .cvd\n"
    " updated\n"
    "Database updated (2000000 signatures) from database.clamav.net\n"
    "daily.cvd updat\xff\xfe\n"
    "\xff\xfe\xfd[%]:\n"
    "Downloading bytecode.cvd [ 9\0%]\n"
    "main.cvd updated";
// A zero byte ends a line too, so the text is taken whole, not up to it.
const QByteArray transcript(transcriptText, sizeof transcriptText - 1);

std::vector<Event> Expected() {
    return {
        {Event::PROGRESS, "daily-27001.cdiff", 0.0f},
        {Event::PROGRESS, "daily-27001.cdiff", 0.42f},
        {Event::PROGRESS, "daily-27001.cdiff", 1.0f},
        {Event::INCREMENTAL_FAILED, "daily", 0},
        {Event::PROGRESS, "daily.cvd", 0.07f},
        {Event::UP_TO_DATE, "main.cvd", 0},
        {Event::UP_TO_DATE, "bytecode.cld", 0},
        {Event::UPDATED, "daily.cld", 0},
        {Event::UPDATED, "main.cvd", 0},
    };
}

void Append(std::vector<Event>* to, const std::vector<Event>& events) {
    to->insert(to->end(), events.begin(), events.end());
}

std::vector<Event> ParseAll(const std::vector<QByteArray>& chunks) {
    FreshclamOutput parser;
    std::vector<Event> events;
    for (const QByteArray& chunk : chunks) {
        Append(&events, parser.Feed(chunk));
    }
    Append(&events, parser.Finish());
    return events;
}

}  // namespace

namespace Varnex::Cleaner::Details {
void PrintTo(const FreshclamOutput::Event& e, std::ostream* os) {
    *os << "{" << e.kind << " " << e.name.toStdString() << " " << e.fraction << "}";
}
}  // namespace Varnex::Cleaner::Details

TEST(FreshclamOutputTest, RecognisesTheTranscript) {
    const std::vector<Event> events = ParseAll({transcript});
    EXPECT_EQ(events, Expected());
}

TEST(FreshclamOutputTest, SameEventsAtEveryChunkBoundary) {
    const std::vector<Event> expected = Expected();
    for (int cut = 0; cut <= transcript.size(); ++cut) {
        const std::vector<Event> events = ParseAll({transcript.left(cut), transcript.mid(cut)});
        ASSERT_EQ(events, expected) << "cut at " << cut << "\n";
    }
    std::vector<QByteArray> bytes;
    for (const char c : transcript) {
        bytes.emplace_back(1, c);
    }
    EXPECT_EQ(ParseAll(bytes), expected);
}

TEST(FreshclamOutputTest, AnUnfinishedChunkWaitsForItsLine) {
    FreshclamOutput parser;
    EXPECT_TRUE(parser.Feed("Downloading daily.cvd [ 5").empty());
    EXPECT_TRUE(parser.Feed("").empty());
    const std::vector<Event> events = parser.Feed("0%]\n");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (Event{Event::PROGRESS, "daily.cvd", 0.5f}));
    // Finish() ends one run: a tail is not glued to the next run's output.
    EXPECT_TRUE(parser.Feed("daily.cvd upd").empty());
    EXPECT_TRUE(parser.Finish().empty());
    EXPECT_TRUE(parser.Feed("ated\n").empty());
}

TEST(FreshclamOutputTest, ALineOverTheLimitIsDroppedWhole) {
    LogCapture log;
    const int limit = static_cast<int>(FreshclamOutput::lineLimit);
    // Would read as an update if it were cut to the limit.
    const QByteArray tooLong = "daily.cvd updated " + QByteArray(limit, 'x') + "\n";
    QByteArray atLimit = "bytecode.cvd updated ";
    atLimit += QByteArray(limit - atLimit.size(), 'y') + "\n";
    const QByteArray text = tooLong + "main.cvd updated\n" + tooLong + atLimit;
    const std::vector<Event> expected = {{Event::UPDATED, "main.cvd", 0},
                                         {Event::UPDATED, "bytecode.cvd", 0}};
    EXPECT_EQ(ParseAll({text}), expected);
    std::vector<QByteArray> chunks;
    for (int i = 0; i < text.size(); i += 1000) {
        chunks.push_back(text.mid(i, 1000));
    }
    EXPECT_EQ(ParseAll(chunks), expected);
    // Without a line end the over-long tail is still dropped at Finish().
    EXPECT_TRUE(ParseAll({tooLong.left(tooLong.size() - 1)}).empty());
    EXPECT_EQ(log.Count(google::WARNING, "longer than", "src/Libs/Core/FreshclamOutput"), 3);
}

TEST(FreshclamOutputTest, RandomBytesAreHarmlessAndCutIndependent) {
    std::mt19937 random(20261208);
    const char alphabet[] = "Downloading daily.cvd [ 42%]\r\n\0:updated is up to date-\xff";
    for (int round = 0; round < 50; ++round) {
        QByteArray noise;
        for (int i = 0; i < 400; ++i) {
            noise.append(alphabet[random() % (sizeof alphabet - 1)]);
        }
        const std::vector<Event> whole = ParseAll({noise});
        for (const Event& e : whole) {
            EXPECT_GE(e.fraction, 0.0f);
            EXPECT_LE(e.fraction, 1.0f);
            EXPECT_FALSE(e.name.isEmpty());
        }
        const int cut = static_cast<int>(random() % noise.size());
        EXPECT_EQ(ParseAll({noise.left(cut), noise.mid(cut)}), whole) << round;
    }
}
