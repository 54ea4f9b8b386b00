// Item containers with many children:
//   items_bench [N]   (default 100000)
// appends N files to a duplicates group and N files to a folder, reading the
// counts (dirty children, size) after every append, as a scan's batches do;
// then, with an item model following a scope that holds a folder of N files,
// checks the folder while every file has a state of its own (N ItemChanged)
// and unchecks it again (N followers, no ItemChanged of theirs).
// The last line of the output is one JSON object:
//   {"children": N, "group_seconds": S, "folder_seconds": S, "click_ms": M,
//    "click_signals": K, "unclick_ms": M, "unclick_signals": K}
// *_signals counts the model's dataChanged signals for one click.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchSupport.h"
#include "CleanerCommon/Logging.h"
#include "Core/AbstractGarbageScope.h"
#include "Core/GarbageItemModel.h"
#include "Core/details/GarbageDirectory.h"
#include "Core/details/GarbageDuplicatesGroup.h"
#include "Core/details/GarbageFile.h"

namespace {

using Varnex::Bench::JsonLine;
using Varnex::Bench::Stopwatch;
using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::GarbageItemModel;
using Varnex::Cleaner::Details::GarbageDirectory;
using Varnex::Cleaner::Details::GarbageDuplicatesGroup;
using Varnex::Cleaner::Details::GarbageFile;

// A scope that only holds a tree: no scanning, no cleaning.
class HoldingScope : public AbstractGarbageScope {
public:
    ~HoldingScope() override { DeleteRoots(); }
    void Insert(AbstractGarbage* root) {
        emit ItemsAboutToBeInserted(nullptr, 1);
        AddRoot(root);
        emit ItemsInserted(nullptr, 1);
    }
    void Reset() override {}
    void ResetCleaning() override {}
    bool IsCleaningPossible() const override { return false; }

protected:
    void DoStartScanning() override {}
    void DoStopScanning() override {}
    bool DoStartCleaning() override { return false; }
    void DoStopCleaning() override {}
};

QString FilePath(const char* dir, int i) {
    return QStringLiteral("%1/f%2").arg(QLatin1String(dir)).arg(i);
}

// Keeps the reads from being optimised away and checks them.
long long g_checksum = 0;

double AppendToGroup(int n) {
    GarbageDuplicatesGroup group("/dups/a", AbstractGarbage::OTHER, "hash", nullptr);
    const Stopwatch clock;
    for (int i = 0; i < n; ++i) {
        group.AddChild(new GarbageFile(FilePath("/dups", i), 1, nullptr));
        g_checksum += group.GetNumOfDirtyChildren() + group.GetSize();
    }
    return clock.Seconds();
}

double AppendToFolder(int n) {
    GarbageDirectory folder("/d", false, nullptr);
    const Stopwatch clock;
    for (int i = 0; i < n; ++i) {
        folder.AddChild(new GarbageFile(FilePath("/d", i), 1, nullptr), true);
        g_checksum += folder.GetNumOfDirtyChildren() + folder.GetSize();
    }
    return clock.Seconds();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Varnex::Util::InitLogging(argv[0], 2);
    const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
    if (n < 2) {
        std::fprintf(stderr, "usage: items_bench [N >= 2]\n");
        return 2;
    }
    const double group = AppendToGroup(n);
    const double folder = AppendToFolder(n);

    HoldingScope scope;
    auto* root = new GarbageDirectory("/r", false, nullptr);
    for (int i = 0; i < n; ++i) {
        root->AddChild(new GarbageFile(FilePath("/r", i), 1, nullptr), true);
    }
    scope.Insert(root);
    GarbageItemModel model(&scope, false);
    long long emitted = 0;
    QObject::connect(&model, &GarbageItemModel::dataChanged, [&] { ++emitted; });
    root->GetChildren().at(0)->Select(false);  // every other file gets a state of its own
    emitted = 0;
    Stopwatch clock;
    root->Select(true);
    const double clickMs = clock.Seconds() * 1e3;
    const long long clickSignals = emitted;
    emitted = 0;
    clock = Stopwatch();
    root->Select(false);
    const double unclickMs = clock.Seconds() * 1e3;
    const long long unclickSignals = emitted;
    if (g_checksum <= 0 || root->GetChildren().at(n - 1)->IsSelected()) {
        std::fprintf(stderr, "items_bench: wrong counts or selection\n");
        return 1;
    }

    std::printf(
        "%d children: group %.3f s, folder %.3f s, click %.1f ms (%lld signals), "
        "unclick %.1f ms (%lld signals)\n",
        n, group, folder, clickMs, clickSignals, unclickMs, unclickSignals);
    std::printf("%s\n", JsonLine()
                            .Add("children", static_cast<long long>(n))
                            .Add("group_seconds", group)
                            .Add("folder_seconds", folder)
                            .Add("click_ms", clickMs)
                            .Add("click_signals", clickSignals)
                            .Add("unclick_ms", unclickMs)
                            .Add("unclick_signals", unclickSignals)
                            .Text()
                            .c_str());
    return 0;
}
