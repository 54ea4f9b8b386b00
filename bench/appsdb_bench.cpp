// The applications database's insert rate:
//   appsdb_bench [COUNT]
// inserts COUNT (default 10,000) applications in one transaction into a fresh
// apps.db below a temporary HOME, then reads them back to check they are all
// there. Before that it times single inserts, each committed by itself (at
// most 1,000), for comparison. The last line of the output is one JSON object:
//   {"inserts": N, "seconds": S, "rate_per_s": R}
#include <glog/logging.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QDir>
#include <cstdio>
#include <string>

#include "BenchSupport.h"
#include "CleanerCommon/Logging.h"
#include "Core/details/AppsDB.h"

namespace {

using Varnex::Bench::JsonLine;
using Varnex::Bench::Stopwatch;
namespace AppsDB = Varnex::Cleaner::Details::AppsDB;

AppsDB::Application MakeApp(const QString& prefix, int i) {
    AppsDB::Application app;
    app.path = QStringLiteral("/Applications/%1 %2.app").arg(prefix).arg(i);
    app.name = QStringLiteral("%1 %2").arg(prefix).arg(i);
    app.bundleId = QStringLiteral("com.example.%1.app%2").arg(prefix.toLower()).arg(i);
    app.size = 5000000000LL + i;
    app.lastModified = QDateTime::fromSecsSinceEpoch(1600000000 + i, Qt::UTC);
    return app;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    std::string home = QDir::tempPath().toStdString() + "/appsdb-bench-XXXXXX";
    if (count <= 0 || !::mkdtemp(home.data())) {
        std::fprintf(stderr, "usage: appsdb_bench [COUNT > 0]\n");
        return 2;
    }
    // Never the real home folder: the database goes below the temporary one.
    ::setenv("HOME", home.c_str(), 1);
    QCoreApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], google::WARNING);

    int rc = 0;
    {
        const int single = count < 1000 ? count : 1000;
        Stopwatch singleClock;
        for (int i = 0; i < single; ++i) {
            if (!AppsDB::SaveApplication(MakeApp(QStringLiteral("Single"), i))) {
                std::fprintf(stderr, "single insert %d failed\n", i);
                rc = 1;
                break;
            }
        }
        const double singleSeconds = singleClock.Seconds();
        std::printf("single inserts, each committed: %d in %.3f s (%.0f/s)\n", single,
                    singleSeconds, single / singleSeconds);

        QList<AppsDB::Application> apps;
        apps.reserve(count);
        for (int i = 0; i < count; ++i) {
            apps.append(MakeApp(QStringLiteral("Batch"), i));
        }
        Stopwatch clock;
        const bool saved = AppsDB::SaveApplications(apps);
        const double seconds = clock.Seconds();
        const int loaded = AppsDB::LoadApplications().size();
        if (!saved || loaded != single + count) {
            std::fprintf(stderr, "batch insert failed (saved %d, rows %d)\n", saved, loaded);
            rc = 1;
        }
        AppsDB::CloseConnections();
        std::printf("%s\n", JsonLine()
                                .Add("inserts", static_cast<long long>(count))
                                .Add("seconds", seconds)
                                .Add("rate_per_s", count / seconds)
                                .Text()
                                .c_str());
    }
    QDir(QString::fromStdString(home)).removeRecursively();
    return rc;
}
