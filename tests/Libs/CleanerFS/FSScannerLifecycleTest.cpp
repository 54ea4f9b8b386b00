// FSScanner's life cycle: appending roots, stopping, waiting, clearing, the
// destructor, IsWorking() and progress, with consumers that keep up and ones
// that do not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "CleanerFS/FSScanner.h"
#include "CleanerFS/ResultQueue.h"
#include "Platform/PathCodec.h"
#include "common/TempTree.h"
#include "common/TestEnv.h"

namespace Varnex::Cleaner::Details {
namespace {

using Varnex::Test::TempTree;

// More files than the scanner holds for a consumer that does not take them.
constexpr int wideFolders = 30;
constexpr int wideFiles = 700;
constexpr std::size_t wideRecords = 1 + wideFolders * (1 + wideFiles);

std::string MakeWide(TempTree& tree, const std::string& rel) {
    const std::string base = tree.Bytes(rel);
    tree.MakeDirBytes(rel);
    for (int d = 0; d < wideFolders; ++d) {
        const std::string folder = base + "/f" + std::to_string(d);
        EXPECT_EQ(::mkdir(folder.c_str(), 0755), 0);
        for (int i = 0; i < wideFiles; ++i) {
            const int fd = ::open((folder + "/n" + std::to_string(i)).c_str(),
                                  O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            EXPECT_GE(fd, 0);
            ::close(fd);
        }
    }
    return base;
}

FSScanner::Results TakeAll(FSScanner& scanner) {
    FSScanner::Results all;
    EXPECT_TRUE(Varnex::Test::WaitUntil([&] {
        FSScanner::Results batch = scanner.GetResults();
        all.insert(all.end(), batch.begin(), batch.end());
        return batch.empty() && !scanner.IsWorking();
    }));
    return all;
}

// Every record once, and each one's folder before it unless it is a root.
void ExpectOrdered(const FSScanner::Results& results, const std::set<std::string>& roots) {
    std::set<std::string> seen;
    for (const FSScanner::Result& r : results) {
        EXPECT_TRUE(seen.insert(r.path).second) << "twice: " << r.path;
        if (!roots.count(r.path)) {
            EXPECT_TRUE(seen.count(r.path.substr(0, r.path.rfind('/'))))
                << "before its folder: " << r.path;
        }
    }
}

template <typename F>
bool FinishesWithin(F&& f, int seconds = 60) {
    auto done = std::async(std::launch::async, std::forward<F>(f));
    return done.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
}

TEST(FSScannerLifecycleTest, IsWorkingUntilTheLastResultIsTakenAndClearDropsThem) {
    TempTree tree;
    tree.MakeFile("a/b", "1");
    const std::string root = tree.Bytes("");
    FSScanner scanner(20);
    EXPECT_FALSE(scanner.IsWorking());
    scanner.Scan({root});
    ASSERT_TRUE(Varnex::Test::WaitUntil([&] { return scanner.GetProgress() >= 1.0f; }));
    EXPECT_TRUE(scanner.IsWorking());
    EXPECT_EQ(scanner.GetResults().size(), 3u);
    EXPECT_FALSE(scanner.IsWorking());
    EXPECT_TRUE(scanner.GetResults().empty());

    scanner.Scan({root});
    ASSERT_TRUE(Varnex::Test::WaitUntil([&] { return scanner.GetProgress() >= 1.0f; }));
    scanner.Wait();
    EXPECT_TRUE(scanner.IsWorking());
    scanner.Clear();
    EXPECT_FALSE(scanner.IsWorking());
    EXPECT_TRUE(scanner.GetResults().empty());
}

TEST(FSScannerLifecycleTest, RootsAppendedToARunningScanAreReportedOnce) {
    TempTree tree;
    const std::string big = MakeWide(tree, "big");
    tree.MakeFile("small/x", "1");
    const std::string root = tree.Bytes("");
    FSScanner scanner(20);
    scanner.Scan({big});
    // Nobody takes results: the scan cannot end before the appends.
    ASSERT_TRUE(scanner.IsWorking());
    scanner.Scan({});
    scanner.Scan({root + "/small", big + "/f3", big});
    scanner.Scan({root});
    const FSScanner::Results results = TakeAll(scanner);
    ExpectOrdered(results, {big, root + "/small", root});
    std::map<std::string, FSScanner::Result> map;
    for (const auto& r : results) {
        map[r.path] = r;
    }
    EXPECT_EQ(results.size(), wideRecords + 3);
    EXPECT_EQ(map.count(root + "/small/x"), 1u);
    // The later, outer root does not walk the earlier roots again.
    EXPECT_EQ(map.at(root).required, 0);
    EXPECT_EQ(map.at(root).kept, 2);
    EXPECT_EQ(map.at(big + "/f3").required, wideFiles);
}

TEST(FSScannerLifecycleTest, StopReleasesAFullQueueAndDropsTheRest) {
    TempTree tree;
    const std::string big = MakeWide(tree, "big");
    std::atomic<int> seen{0};
    FSScanner scanner(20);
    scanner.AddResultFilter([&](const std::string&) {
        ++seen;
        return true;
    });
    scanner.Scan({big});
    ASSERT_TRUE(Varnex::Test::WaitUntil([&] { return seen.load() > 2000; }));
    scanner.Stop();
    EXPECT_TRUE(FinishesWithin([&] { scanner.Wait(); }));
    EXPECT_TRUE(scanner.IsWorking());  // until the last result is taken
    const FSScanner::Results results = TakeAll(scanner);
    EXPECT_LT(results.size(), wideRecords);
    EXPECT_GT(results.size(), 0u);
    ExpectOrdered(results, {big});

    // The next scan starts afresh.
    scanner.Scan({big});
    EXPECT_EQ(TakeAll(scanner).size(), wideRecords);
}

TEST(FSScannerLifecycleTest, WaitWithoutAConsumerFinishesTheWalk) {
    TempTree tree;
    const std::string big = MakeWide(tree, "big");
    FSScanner scanner(20);
    scanner.Scan({big});
    EXPECT_TRUE(FinishesWithin([&] { scanner.Wait(); }));
    EXPECT_EQ(scanner.GetResults().size(), wideRecords);
    EXPECT_FALSE(scanner.IsWorking());
    EXPECT_FLOAT_EQ(scanner.GetProgress(), 1.0f);
}

TEST(FSScannerLifecycleTest, DestructorStopsARunningScan) {
    TempTree tree;
    const std::string big = MakeWide(tree, "big");
    auto scanner = std::make_unique<FSScanner>(20);
    scanner->AddResultFilter([](const std::string& path) { return !path.empty(); });
    scanner->Scan({big});
    ASSERT_TRUE(scanner->IsWorking());
    EXPECT_TRUE(FinishesWithin([&] { scanner.reset(); }));
}

TEST(FSScannerLifecycleTest, ProgressNeverDecreasesAndEndsAtOne) {
    TempTree tree;
    const std::string big = MakeWide(tree, "big");
    tree.MakeFile("other/x", "1");
    FSScanner scanner(20);
    EXPECT_EQ(scanner.GetProgress(), 0.0f);
    scanner.Scan({big});
    std::size_t taken = 0;
    float last = 0;
    bool appended = false;
    ASSERT_TRUE(Varnex::Test::WaitUntil([&] {
        const float p = scanner.GetProgress();
        EXPECT_GE(p, last);
        EXPECT_LE(p, 1.0f);
        last = p;
        const std::size_t n = scanner.GetResults().size();
        taken += n;
        if (!appended && taken > 0) {
            // More work for a running scan must not pull the estimate back.
            scanner.Scan({tree.Bytes("other")});
            appended = true;
        }
        return n == 0 && !scanner.IsWorking();
    }));
    EXPECT_EQ(taken, wideRecords + 2);
    EXPECT_FLOAT_EQ(scanner.GetProgress(), 1.0f);
}

TEST(FSScannerLifecycleTest, ResultQueueBoundsAndReleases) {
    ResultQueue queue(4);
    FSScanner::Results batch(3);
    ASSERT_TRUE(queue.Push(&batch));
    EXPECT_TRUE(batch.empty());
    std::atomic<int> outcome{-1};
    std::thread walker([&] {
        FSScanner::Results more(2);
        outcome = queue.Push(&more) ? 1 : 0;
    });
    // 3 + 2 exceeds the bound: the walker waits; taking the records lets it in.
    EXPECT_EQ(queue.Take().size(), 3u);
    ASSERT_TRUE(Varnex::Test::WaitUntil([&] { return outcome.load() == 1; }));
    walker.join();
    EXPECT_EQ(queue.Take().size(), 2u);

    // A full queue and Stop(): the waiting walker is released, its batch dropped.
    FSScanner::Results full(4);
    ASSERT_TRUE(queue.Push(&full));
    outcome = -1;
    std::thread blocked([&] {
        FSScanner::Results more(1);
        outcome = queue.Push(&more) ? 1 : 0;
    });
    queue.Stop();
    blocked.join();
    EXPECT_EQ(outcome.load(), 0);
    EXPECT_EQ(queue.Take().size(), 4u);
    EXPECT_TRUE(queue.IsEmpty());

    // A batch larger than the bound goes in once the queue is empty.
    queue.Reset();
    FSScanner::Results huge(10);
    EXPECT_TRUE(queue.Push(&huge));
    EXPECT_EQ(queue.Take().size(), 10u);
}

}  // namespace
}  // namespace Varnex::Cleaner::Details
