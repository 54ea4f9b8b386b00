// Signature database headers: parsing hostile headers, and reading them from
// real files, a device and a FIFO without reading more than a header.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "Core/DatabaseContext.h"
#include "Core/DatabaseInfo.h"
#include "common/LogCapture.h"
#include "common/TempTree.h"

using Varnex::Cleaner::DatabaseContext;
using Varnex::Cleaner::DatabaseInfo;
using Varnex::Test::LogCapture;
using Varnex::Test::TempTree;

namespace {

const QByteArray goodHeader =
    "ClamAV-VDB:14 Dec 2016 08-18 -0500:22731:1540000:63:f1c2:X:neo:1481721480";

QDateTime Utc(int y, int mo, int d, int h, int mi) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi), Qt::UTC);
}

QByteArray Header(const QByteArray& time, const QByteArray& version, const QByteArray& count) {
    return "ClamAV-VDB:" + time + ":" + version + ":" + count + ":63:md5:dsig:neo:0";
}

// Runs ReadFile(path) on a thread and waits for it with a generous bound; a
// read that blocks is woken by opening the FIFO for writing, so a regression
// fails the test instead of hanging it.
DatabaseInfo ReadBounded(const QString& path, QString* problem, bool* returned) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    DatabaseInfo info;
    std::thread reader([&] {
        const DatabaseInfo result = DatabaseInfo::ReadFile(path, problem);
        std::lock_guard<std::mutex> lock(mutex);
        info = result;
        finished = true;
        done.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    *returned = done.wait_for(lock, std::chrono::seconds(60), [&] { return finished; });
    lock.unlock();
    if (!*returned) {
        const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    reader.join();
    return info;
}

}  // namespace

TEST(DatabaseInfoTest, TimesAreReadInTheirZoneAndKeptInUtc) {
    const DatabaseInfo info = DatabaseInfo::ParseHeader(goodHeader);
    EXPECT_EQ(info.time, Utc(2016, 12, 14, 13, 18));
    EXPECT_EQ(info.time.timeSpec(), Qt::UTC);
    // +0530 is 19800 s ahead of UTC, -0500 18000 s behind it.
    const DatabaseInfo india =
        DatabaseInfo::ParseHeader(Header("01 Jan 2020 12-00 +0530", "1", "2"));
    EXPECT_EQ(india.time.secsTo(Utc(2020, 1, 1, 12, 0)), 19800);
    const DatabaseInfo east =
        DatabaseInfo::ParseHeader(Header("01 Jan 2020 12-00 -0500", "1", "2"));
    EXPECT_EQ(east.time.secsTo(Utc(2020, 1, 1, 12, 0)), -18000);
    // A day past midnight UTC moves the date.
    const DatabaseInfo late =
        DatabaseInfo::ParseHeader(Header("31 Dec 2019 23-30 -0100", "1", "2"));
    EXPECT_EQ(late.time, Utc(2020, 1, 1, 0, 30));
}

TEST(DatabaseInfoTest, GarbageNeverLooksInstalled) {
    LogCapture log;
    const QByteArray rejected[] = {
        "ClamAV-VDB:14 Dec 2016 08-18 -0500:22731",           // two colons
        "ClamAV-VDX:14 Dec 2016 08-18 -0500:22731:1540000:",  // bad magic
        ":14 Dec 2016 08-18 -0500:22731:1540000:",
        Header("14 Dec 2016 08-18 -0500", "abc", "1"),  // not a number (not version 0)
        Header("14 Dec 2016 08-18 -0500", "", "1"),
        Header("14 Dec 2016 08-18 -0500", "-5", "1"),
        Header("14 Dec 2016 08-18 -0500", " 12", "1"),
        Header("14 Dec 2016 08-18 -0500", "12x", "1"),
        Header("14 Dec 2016 08-18 -0500", "99999999999", "1"),  // beyond an int
        Header("14 Dec 2016 08-18 -0500", "12", "lots"),
        Header("14 Dec 2016 08-18 -0500", "12", "-1"),
        QByteArray(500, 'x'),  // 500 bytes, no colon
        QByteArray(),
    };
    for (const QByteArray& header : rejected) {
        const DatabaseInfo info = DatabaseInfo::ParseHeader(header);
        EXPECT_TRUE(info.IsNull()) << header.constData();
        EXPECT_EQ(info, DatabaseInfo()) << header.constData();
    }
    EXPECT_GE(log.Count(google::WARNING, "header", "src/Libs/Core/DatabaseInfo"), 13);
}

TEST(DatabaseInfoTest, AnUnreadableTimeKeepsTheVersion) {
    const QByteArray times[] = {"garbage",
                                "14 Foo 2016 08-18 -0500",
                                "14 Dec 2016 08-18 +9999",
                                "14 Dec 2016 08-18",
                                "32 Dec 2016 08-18 -0500",
                                "14 Dec 2016 25-18 +0000",
                                "14 Dec 2016 08-18 0500",
                                ""};
    for (const QByteArray& time : times) {
        const DatabaseInfo info = DatabaseInfo::ParseHeader(Header(time, "27001", "42"));
        EXPECT_EQ(info.version, 27001) << time.constData();
        EXPECT_EQ(info.signatures, 42) << time.constData();
        EXPECT_FALSE(info.time.isValid()) << time.constData();
    }
}

TEST(DatabaseInfoTest, ReadFileTakesTheFirstFourFieldsOfARealFile) {
    TempTree tree;
    // Binary signature data follows the header in a real file.
    tree.MakeFile("db/daily.cvd", goodHeader + QByteArray(4096, '\xff') + ":::::");
    QString problem = "stale";
    const DatabaseInfo info = DatabaseInfo::ReadFile(tree.Path("db/daily.cvd"), &problem);
    EXPECT_EQ(info.version, 22731);
    EXPECT_EQ(info.signatures, 1540000);
    EXPECT_TRUE(problem.isEmpty());
}

TEST(DatabaseInfoTest, ReadFileReportsMissingTruncatedAndBadFiles) {
    TempTree tree;
    LogCapture log;
    QString problem;
    EXPECT_TRUE(DatabaseInfo::ReadFile(tree.Path("none.cvd"), &problem).IsNull());
    EXPECT_TRUE(problem.startsWith("Can't open " + tree.Path("none.cvd"))) << problem.toStdString();

    tree.MakeFile("short.cvd", "ClamAV-VDB:14 Dec 2016 08-18 -0500:22731");
    EXPECT_TRUE(DatabaseInfo::ReadFile(tree.Path("short.cvd"), &problem).IsNull());
    EXPECT_TRUE(problem.startsWith("Can't read a database header: " + tree.Path("short.cvd")));

    tree.MakeFile("bad.cvd", Header("14 Dec 2016 08-18 -0500", "x", "1"));
    EXPECT_TRUE(DatabaseInfo::ReadFile(tree.Path("bad.cvd"), &problem).IsNull());
    EXPECT_EQ(problem, "Can't parse header of a local virus database: " + tree.Path("bad.cvd"));
    EXPECT_TRUE(log.Contains(google::ERROR, problem.toStdString()));
}

TEST(DatabaseInfoTest, ReadFileStopsAtTheHeaderSizeOfAHugeFile) {
    TempTree tree;
    // 10 MB without a header; four colons only past the first 512 bytes. A
    // reader that goes on would reach them and report an unparsable header.
    QByteArray content(10 * 1024 * 1024, 'x');
    content.replace(600, 4, "::::");
    tree.MakeFile("huge.cvd", content);
    QString problem;
    EXPECT_TRUE(DatabaseInfo::ReadFile(tree.Path("huge.cvd"), &problem).IsNull());
    EXPECT_EQ(problem, "Can't read a database header: " + tree.Path("huge.cvd") +
                           " (no header in the first 512 bytes)");
}

TEST(DatabaseInfoTest, ReadFileRefusesDevicesAndFifos) {
    TempTree tree;
    QString problem;
    bool returned = false;
    EXPECT_TRUE(ReadBounded("/dev/zero", &problem, &returned).IsNull());
    EXPECT_TRUE(returned);
    EXPECT_EQ(problem, "Can't read a database header: /dev/zero (not a regular file)");

    const QString fifo = tree.Path("daily.cvd");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    EXPECT_TRUE(ReadBounded(fifo, &problem, &returned).IsNull());
    EXPECT_TRUE(returned) << "ReadFile blocked on a FIFO without a writer";
    EXPECT_EQ(problem, "Can't read a database header: " + fifo + " (not a regular file)");
}

TEST(DatabaseContextTest, UrlQueriesAndTheNullContext) {
    DatabaseContext daily("daily", "https://mirror.example.net/");
    EXPECT_EQ(daily.url.toString(), "https://mirror.example.net/daily.cvd");
    daily.UpdateUrl("http://other.example.org/clamav");
    EXPECT_EQ(daily.url.toString(), "http://other.example.org/clamav/daily.cvd");
    daily.UpdateUrl("not a mirror");
    EXPECT_TRUE(daily.url.isEmpty());
    EXPECT_TRUE(DatabaseContext().url.isEmpty());
    EXPECT_TRUE(DatabaseContext().IsNull());

    // Neither side known: not installed, so never actual.
    EXPECT_FALSE(daily.IsInstalled());
    EXPECT_FALSE(daily.IsActual());
    daily.local.version = 27000;
    EXPECT_TRUE(daily.IsActual());  // the mirror could not be asked
    daily.remote.version = 27001;
    EXPECT_FALSE(daily.IsActual());

    daily.header = "ClamAV-VDB:a:b:c:d:";
    EXPECT_FALSE(daily.GotEnoughData());
    daily.header += "e";
    EXPECT_FALSE(daily.GotEnoughData());
    daily.header += ":";
    EXPECT_TRUE(daily.GotEnoughData());
}
