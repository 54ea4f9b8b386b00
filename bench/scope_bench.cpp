// The system junk scope on a large tree, as the application drives it:
//   scope_bench scan DIR [--model]    scans DIR (its only root)
//   scope_bench clean DIR [--model]   scans DIR, then cleans everything below it
//   scope_bench gen-flat DIR N        creates one folder of N empty files
//   scope_bench reset DIR             shreds DIR (filled files, flag 8) and
//                                     resets the scope as soon as the first
//                                     result is in: "reset_ms" is how long the
//                                     reset kept the scope's thread
// With --model a GarbageItemModel follows the scope, as a view would.
// The last line of the output is one JSON object:
//   {"items": N, "bytes": B, "seconds": S, "max_stall_ms": M, "max_rss_bytes": R}
// and, for clean, "plan_ms": the synchronous planning inside StartCleaning(),
// and "total_seconds": the scan and the cleaning together.
// seconds covers the scan (scan) or the cleaning run (clean); max_stall_ms is
// the longest gap between two ticks of a 10 ms timer on the scope's thread
// during that run.
#include <fcntl.h>
#include <glog/logging.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <string>

#include "BenchSupport.h"
#include "StallMeter.h"
#include "CleanerCommon/Logging.h"
#include "Core/GarbageItemModel.h"
#include "Core/details/SystemGarbageScope.h"

namespace {

using Varnex::Bench::JsonLine;
using Varnex::Bench::StallMeter;
using Varnex::Bench::Stopwatch;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::GarbageItemModel;
using Varnex::Cleaner::Details::SystemGarbageScope;

// Runs the event loop until `signal` of the scope fires.
template <typename Signal>
void WaitFor(SystemGarbageScope& scope, Signal signal) {
    QEventLoop loop;
    QObject::connect(&scope, signal, &loop, &QEventLoop::quit);
    loop.exec();
}

int GenerateFlat(const std::string& dir, long long count) {
    if (::mkdir(dir.c_str(), 0755) != 0) {
        std::perror(dir.c_str());
        return 1;
    }
    for (long long i = 0; i < count; ++i) {
        const std::string path = dir + "/file-" + std::to_string(i);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            std::perror(path.c_str());
            return 1;
        }
        ::close(fd);
    }
    std::printf("%s\n", JsonLine().Add("entries", count + 1).Text().c_str());
    return 0;
}

// Shreds every file below dir, then resets the scope once the removal server
// works on it: the reset must not wait for the overwriting to end.
int ResetDuringShredding(const QString& dir) {
    SystemGarbageScope scope({dir});
    scope.EnableFillingFilesWithGarbage(true);
    scope.StartScanning();
    WaitFor(scope, &AbstractGarbageScope::ScanningFinished);
    int finishes = 0;
    QObject::connect(&scope, &AbstractGarbageScope::CleaningFinished, [&] { ++finishes; });
    if (!scope.StartCleaning()) {
        std::fprintf(stderr, "cleaning did not start\n");
        return 1;
    }
    // Give the server a moment to be inside the first large file.
    QEventLoop loop;
    QTimer::singleShot(50, &loop, &QEventLoop::quit);
    loop.exec();
    Stopwatch watch;
    scope.Reset();
    const double resetMs = watch.Seconds() * 1000;
    if (finishes != 1) {
        std::fprintf(stderr, "%d cleaning finishes\n", finishes);
        return 1;
    }
    std::printf("%s\n", JsonLine().Add("reset_ms", resetMs).Text().c_str());
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: scope_bench scan|clean DIR [--model] | gen-flat DIR N | reset DIR\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    QCoreApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], google::WARNING);
    const std::string mode = argv[1];
    const QString dir = QString::fromUtf8(argv[2]);
    if (mode == "gen-flat") {
        return argc == 4 ? GenerateFlat(argv[2], std::atoll(argv[3])) : Usage();
    }
    if (mode == "reset") {
        return argc == 3 && dir.startsWith('/') ? ResetDuringShredding(dir) : Usage();
    }
    const bool withModel = argc == 4 && std::string(argv[3]) == "--model";
    if ((mode != "scan" && mode != "clean") || (argc == 4 && !withModel) || !dir.startsWith('/')) {
        return Usage();
    }

    SystemGarbageScope scope({dir});
    std::unique_ptr<GarbageItemModel> model;
    if (withModel) {
        model = std::make_unique<GarbageItemModel>(&scope, false);
    }
    StallMeter stall;
    JsonLine line;

    QObject::connect(&scope, &AbstractGarbageScope::ScanningStarted, [&] {
        if (mode == "scan") {
            stall.Start();
        }
    });
    Stopwatch scanWatch;
    scope.StartScanning();
    WaitFor(scope, &AbstractGarbageScope::ScanningFinished);
    const double scanSeconds = scanWatch.Seconds();
    if (mode == "scan") {
        stall.Stop();
        line.Add("items", scope.GetTotalItems())
            .Add("bytes", scope.GetTotalSize())
            .Add("seconds", scanSeconds)
            .Add("max_stall_ms", stall.MaxMs());
    } else {
        // The root folder stays; everything below it is selected by default.
        QObject::connect(&scope, &AbstractGarbageScope::CleaningStarted, [&] { stall.Start(); });
        Stopwatch cleanWatch;
        if (!scope.StartCleaning()) {
            std::fprintf(stderr, "cleaning did not start\n");
            return 1;
        }
        const double planMs = cleanWatch.Seconds() * 1000;
        WaitFor(scope, &AbstractGarbageScope::CleaningFinished);
        stall.Stop();
        const double cleanSeconds = cleanWatch.Seconds();
        if (scope.ContainsError() || scope.GetLastCleanedItems() + 1 != scope.GetTotalItems()) {
            std::fprintf(stderr, "cleaned %lld of %lld items\n", scope.GetLastCleanedItems(),
                         scope.GetTotalItems() - 1);
            return 1;
        }
        line.Add("items", scope.GetTotalItems())
            .Add("bytes", scope.GetLastCleanedSize())
            .Add("seconds", cleanSeconds)
            .Add("max_stall_ms", stall.MaxMs())
            .Add("plan_ms", planMs)
            .Add("total_seconds", scanSeconds + cleanSeconds);
    }
    line.Add("max_rss_bytes", Varnex::Bench::MaxRssBytes());
    std::printf("%s\n", line.Text().c_str());
    return 0;
}
