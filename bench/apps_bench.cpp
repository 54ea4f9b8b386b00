// The search for application bundles on a large tree:
//   apps_bench gen DIR   lays out 100,000 folders (40 x 25 x 100) with 2,000
//                        fake bundles among them below DIR (which must not exist)
//   apps_bench DIR       times GetApplications over DIR (three runs, the best kept)
//   apps_bench           both, in a temporary folder removed afterwards
// The last line of the output is one JSON object:
//   {"bundles": N, "folders": F, "seconds": S}
#include <fcntl.h>
#include <ftw.h>
#include <glog/logging.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <cstdio>
#include <string>

#include "BenchSupport.h"
#include "CleanerCommon/Logging.h"
#include "Core/ApplicationInventory.h"
#include "Platform/PathCodec.h"

namespace {

using Varnex::Bench::JsonLine;
using Varnex::Bench::Stopwatch;

const int topFolders = 40;
const int middleFolders = 25;
const int leafFolders = 100;
const int bundleEvery = 50;  // one bundle in every 50th leaf: 2,000

bool MakeDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0) {
        std::perror(path.c_str());
        return false;
    }
    return true;
}

bool MakeBundle(const std::string& path, int n) {
    if (!MakeDir(path) || !MakeDir(path + "/Contents") || !MakeDir(path + "/Contents/MacOS")) {
        return false;
    }
    const std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>com.example.app" +
        std::to_string(n) + "</string></dict></plist>\n";
    const int fd =
        ::open((path + "/Contents/Info.plist").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, plist.data(), plist.size()) == static_cast<ssize_t>(plist.size());
    ::close(fd);
    return ok;
}

bool Generate(const std::string& dir) {
    if (!MakeDir(dir)) {
        return false;
    }
    int leaf = 0;
    for (int a = 0; a < topFolders; ++a) {
        const std::string top = dir + "/vendor" + std::to_string(a);
        if (!MakeDir(top)) {
            return false;
        }
        for (int b = 0; b < middleFolders; ++b) {
            const std::string middle = top + "/group" + std::to_string(b);
            if (!MakeDir(middle)) {
                return false;
            }
            for (int c = 0; c < leafFolders; ++c, ++leaf) {
                const std::string folder = middle + "/item" + std::to_string(c);
                if (!MakeDir(folder)) {
                    return false;
                }
                if (leaf % bundleEvery == 0 &&
                    !MakeBundle(folder + "/App " + std::to_string(leaf) + ".app", leaf)) {
                    return false;
                }
            }
        }
    }
    return true;
}

// Folders the search walks: every folder that is not a bundle or inside one.
long long folderCount = 0;
int CountFolder(const char* path, const struct stat*, int type, struct FTW*) {
    if (type == FTW_D) {
        const std::string p(path);
        if (p.find(".app") == std::string::npos) {
            ++folderCount;
        }
    }
    return 0;
}

int Remove(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

int Run(const std::string& dir) {
    QString root;
    if (!Varnex::Platform::DecodePath(dir, &root) || !QDir::isAbsolutePath(root)) {
        std::fprintf(stderr, "not an absolute UTF-8 path: %s\n", dir.c_str());
        return 2;
    }
    folderCount = 0;
    ::nftw(dir.c_str(), CountFolder, 64, FTW_PHYS);
    const std::function<bool()> never = [] { return false; };
    double best = -1;
    int bundles = 0;
    for (int run = 0; run < 3; ++run) {
        Stopwatch clock;
        const QStringList found = Varnex::Cleaner::GetApplications(never, {root}, 0);
        const double seconds = clock.Seconds();
        bundles = found.size();
        std::printf("run %d: %d bundles in %.3f s\n", run + 1, bundles, seconds);
        if (best < 0 || seconds < best) {
            best = seconds;
        }
    }
    std::printf("%s\n", JsonLine()
                            .Add("bundles", static_cast<long long>(bundles))
                            .Add("folders", folderCount)
                            .Add("seconds", best)
                            .Text()
                            .c_str());
    return bundles > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], google::WARNING);
    if (argc == 3 && std::string(argv[1]) == "gen") {
        Stopwatch clock;
        if (!Generate(argv[2])) {
            return 1;
        }
        std::printf("generated in %.1f s\n", clock.Seconds());
        return 0;
    }
    if (argc == 2) {
        return Run(argv[1]);
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: apps_bench [gen DIR | DIR]\n");
        return 2;
    }
    std::string temp = QDir::tempPath().toStdString() + "/apps-bench-XXXXXX";
    if (!::mkdtemp(temp.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = temp + "/tree";
    int rc = Generate(dir) ? Run(dir) : 1;
    ::nftw(temp.c_str(), Remove, 64, FTW_DEPTH | FTW_PHYS);
    return rc;
}
