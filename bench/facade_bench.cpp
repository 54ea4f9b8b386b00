// The whole product as the application drives it: one Cleaner, every scope
// but the shredder scanned at once, on the home folder and system root the
// environment names (HOME, KLARVIK_SYSROOT).
//   facade_bench
// The last line of the output is one JSON object:
//   {"scopes": N, "items": I, "bytes": B, "seconds": S, "max_stall_ms": M, "max_rss_bytes": R}
// max_stall_ms is the longest gap between two ticks of a 2 ms timer on the
// main thread from the first start to the last finish.
#include <QCoreApplication>
#include <QEventLoop>
#include <cstdio>

#include "BenchSupport.h"
#include "CleanerCommon/Logging.h"
#include "Core/Cleaner.h"
#include "StallMeter.h"

using Varnex::Bench::JsonLine;
using Varnex::Bench::StallMeter;
using Varnex::Bench::Stopwatch;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::Cleaner;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], 2);
    Cleaner cleaner;
    QVector<AbstractGarbageScope*> scopes;
    for (AbstractGarbageScope* scope : cleaner.GetScopes()) {
        // The shredder and the virus scan have no paths until the user gives some.
        if (scope != cleaner.GetShredderScope() && scope != cleaner.GetAntiVirusScope()) {
            scopes.append(scope);
        }
    }
    int finished = 0;
    QEventLoop loop;
    QObject::connect(&cleaner, &Cleaner::ScanningFinished, &loop, [&] {
        if (++finished == scopes.size()) {
            loop.quit();
        }
    });
    StallMeter stall;
    const Stopwatch watch;
    stall.Start();
    for (AbstractGarbageScope* scope : scopes) {
        cleaner.StartScanning(scope);
    }
    if (finished < scopes.size()) {
        loop.exec();
    }
    stall.Stop();
    const double seconds = watch.Seconds();
    long long items = 0;
    for (AbstractGarbageScope* scope : scopes) {
        items += scope->GetTotalItems();
    }
    std::printf("%s\n", JsonLine()
                            .Add("scopes", static_cast<long long>(scopes.size()))
                            .Add("items", items)
                            .Add("bytes", cleaner.GetTotalScannedSize())
                            .Add("seconds", seconds)
                            .Add("max_stall_ms", stall.MaxMs())
                            .Add("max_rss_bytes", Varnex::Bench::MaxRssBytes())
                            .Text()
                            .c_str());
    cleaner.WaitBeforeAppQuit();
    return 0;
}
