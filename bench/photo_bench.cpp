// The photo library's trash scan, as the application drives it: the trash
// scope of the library the preferences below HOME name, scanned with no rest
// between database steps (the product rests 5 ms after each by default, so
// that the photo application keeps its disk).
//   photo_bench
// The last line of the output is one JSON object:
//   {"images": I, "items": N, "seconds": S, "max_stall_ms": M, "max_rss_bytes": R}
#include <QCoreApplication>
#include <QEventLoop>
#include <cstdio>

#include "BenchSupport.h"
#include "CleanerCommon/Logging.h"
#include "Core/details/GarbageIPhotoImage.h"
#include "Core/details/iPhotoGarbageScope.h"
#include "StallMeter.h"

using Varnex::Bench::JsonLine;
using Varnex::Bench::StallMeter;
using Varnex::Bench::Stopwatch;
using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::Details::GarbageIPhotoImage;
using Varnex::Cleaner::Details::iPhotoGarbageScope;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], 2);
    iPhotoGarbageScope scope;
    scope.SetScanTaskInterval(0);
    QEventLoop loop;
    AbstractGarbageScope::FinishReason reason = AbstractGarbageScope::FAILED;
    QObject::connect(&scope, &AbstractGarbageScope::ScanningFinished, &loop,
                     [&](AbstractGarbageScope*, AbstractGarbageScope::FinishReason r) {
                         reason = r;
                         loop.quit();
                     });
    StallMeter stall;
    const Stopwatch watch;
    stall.Start();
    scope.StartScanning();
    loop.exec();
    stall.Stop();
    const double seconds = watch.Seconds();
    if (reason != AbstractGarbageScope::DONE) {
        std::fprintf(stderr, "the scan did not finish: %s\n",
                     scope.GetScanProblem().toUtf8().constData());
        return 1;
    }
    long long images = 0;
    for (AbstractGarbage* root : scope.GetRoots()) {
        images += qobject_cast<GarbageIPhotoImage*>(root) != nullptr;
    }
    std::printf("%s\n", JsonLine()
                            .Add("images", images)
                            .Add("items", static_cast<long long>(scope.GetRoots().size()))
                            .Add("seconds", seconds)
                            .Add("max_stall_ms", stall.MaxMs())
                            .Add("max_rss_bytes", Varnex::Bench::MaxRssBytes())
                            .Text()
                            .c_str());
    return 0;
}
