// The file-system service on a large tree:
//   fs_bench gen DIR [SCALE]  creates the benchmark tree at DIR (SCALE times the
//                        top folders: 1 gives 200,000 files, 5 a million)
//   fs_bench scan DIR    scans DIR with FSScanner, taking results as they come
//   fs_bench remove DIR  scans DIR, plans everything below it on the removal
//                        server (children before their folders, no flags) and
//                        removes it
// The last line of the output is one JSON object:
//   {"entries": N, "bytes": B, "seconds": S, "max_rss_bytes": R}
// entries: records reported, DIR included (gen: entries created); bytes: the
// apparent sizes of files and links; seconds: the whole run.
#include <glog/logging.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QString>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "CleanerCommon/Logging.h"
#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSScanner.h"
#include "Platform/PathCodec.h"

namespace {

using Varnex::Bench::JsonLine;
using Varnex::Bench::Stopwatch;
using Varnex::Cleaner::Details::FSCleanerServer;
using Varnex::Cleaner::Details::FSScanner;

// As the scopes construct it.
constexpr unsigned int scannerThreads = 20;
// How long the consumer sleeps when a poll brought nothing.
constexpr auto idlePoll = std::chrono::microseconds(500);

struct ScanTotals {
    long long entries = 0;
    long long bytes = 0;
    long long errors = 0;
};

// Takes results until the scanner is idle. `keep` receives the paths below
// the root in delivery order when given.
ScanTotals Scan(const std::string& dir, std::vector<std::string>* keep) {
    ScanTotals totals;
    FSScanner scanner(scannerThreads);
    scanner.Scan({dir});
    for (;;) {
        FSScanner::Results batch = scanner.GetResults();
        if (batch.empty()) {
            if (!scanner.IsWorking()) {
                break;
            }
            std::this_thread::sleep_for(idlePoll);
            continue;
        }
        for (FSScanner::Result& r : batch) {
            ++totals.entries;
            if (!r.isDirectory) {
                totals.bytes += r.size;
            }
            if (!r.error.empty()) {
                ++totals.errors;
            }
            if (keep && r.path != dir) {
                keep->push_back(std::move(r.path));
            }
        }
    }
    return totals;
}

int Remove(const std::string& dir, ScanTotals* totals) {
    std::vector<std::string> paths;
    *totals = Scan(dir, &paths);
    FSCleanerServer& server = FSCleanerServer::GetInstance();
    const QString context = QStringLiteral("fs_bench");
    // A folder's record comes before everything below it: backwards, every
    // entry comes before its folder.
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
        server.PlanToRemove(context, Varnex::Platform::DecodePathOrNull(*it), 0);
    }
    const long long planned = static_cast<long long>(paths.size());
    paths.clear();
    paths.shrink_to_fit();
    if (!server.Start(context)) {
        std::fprintf(stderr, "the removal server did not start\n");
        return 1;
    }
    long long done = 0;
    long long failed = 0;
    for (;;) {
        const QList<FSCleanerServer::Result> results = server.GetResults(context);
        if (results.isEmpty()) {
            if (!server.IsWorking(context)) {
                break;
            }
            std::this_thread::sleep_for(idlePoll);
            continue;
        }
        for (const FSCleanerServer::Result& r : results) {
            ++done;
            if (r.code != 1 && r.code != 3) {
                if (++failed <= 10) {
                    std::fprintf(stderr, "failed (%d): %s\n", r.code, r.path.toUtf8().constData());
                }
            }
        }
    }
    server.Release(context);
    std::printf("planned %lld, results %lld, failed %lld\n", planned, done, failed);
    return failed == 0 && done == planned ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr, "usage: fs_bench gen DIR [SCALE] | scan|remove DIR\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const bool gen = argc >= 2 && std::strcmp(argv[1], "gen") == 0;
    if (argc != 3 && !(gen && argc == 4)) {
        return Usage();
    }
    const int scale = argc == 4 ? std::atoi(argv[3]) : 1;
    if (scale < 1 || scale > 100) {
        return Usage();
    }
    const Stopwatch watch;
    QCoreApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], google::WARNING);
    const std::string mode = argv[1];
    std::string dir = argv[2];
    if (dir.empty() || dir[0] != '/') {
        // The scanner takes absolute paths only.
        char cwd[4096];
        if (!::getcwd(cwd, sizeof(cwd))) {
            return Usage();
        }
        dir = std::string(cwd) + "/" + dir;
    }
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }

    int rc = 0;
    long long entries = 0;
    long long bytes = 0;
    if (mode == "gen") {
        Varnex::Bench::TreeStats stats;
        rc = Varnex::Bench::GenerateFsTree(dir, &stats, scale) ? 0 : 1;
        entries = stats.entries;
        bytes = stats.bytes;
    } else if (mode == "scan") {
        const ScanTotals totals = Scan(dir, nullptr);
        entries = totals.entries;
        bytes = totals.bytes;
        if (totals.errors > 0) {
            std::printf("folders not read fully: %lld\n", totals.errors);
        }
    } else if (mode == "remove") {
        ScanTotals totals;
        rc = Remove(dir, &totals);
        entries = totals.entries;
        bytes = totals.bytes;
    } else {
        return Usage();
    }
    std::printf("%s\n", JsonLine()
                            .Add("entries", entries)
                            .Add("bytes", bytes)
                            .Add("seconds", watch.Seconds())
                            .Add("max_rss_bytes", Varnex::Bench::MaxRssBytes())
                            .Text()
                            .c_str());
    return rc;
}
