// The path index grows while a scan fills it: entries move to the larger
// table a few at a time, so every look-up must see both tables, removals must
// not cut probe chains, and the first item of a path must stay.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Core/details/GarbageDirectory.h"
#include "Core/details/GarbageFile.h"
#include "Core/details/PathItemIndex.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;

namespace {

QString PathOf(int i) { return QString("/c/d%1/f%2").arg(i % 97).arg(i); }

}  // namespace

TEST(PathItemIndex, FindsEveryEntryWhileGrowingAndAfterRemovals) {
    std::vector<std::unique_ptr<GarbageFile>> items;
    const int n = 50000;
    PathItemIndex index;
    for (int i = 0; i < n; ++i) {
        items.push_back(std::make_unique<GarbageFile>(PathOf(i), i, nullptr));
        ASSERT_TRUE(index.Insert(items.back().get()));
        // Every few insertions, look back over entries that may sit in
        // either table or half-way through a move.
        if (i % 997 == 0) {
            for (int j = 0; j <= i; j += 13) {
                ASSERT_EQ(index.Find(PathOf(j)), items[j].get()) << i << " " << j;
            }
        }
    }
    EXPECT_EQ(index.Size(), n);

    // A second item for a taken path is refused; the first stays.
    GarbageFile again(PathOf(7), 1, nullptr);
    EXPECT_FALSE(index.Insert(&again));
    EXPECT_FALSE(index.Insert(nullptr));
    EXPECT_EQ(index.Find(PathOf(7)), items[7].get());

    // Removing every third entry keeps the rest reachable (removed slots do
    // not end a probe), and a removed path can be entered again.
    for (int i = 0; i < n; i += 3) {
        index.Remove(PathOf(i));
    }
    index.Remove("/not/there");
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(index.Find(PathOf(i)), i % 3 == 0 ? nullptr : items[i].get()) << i;
    }
    EXPECT_EQ(index.Size(), n - (n + 2) / 3);
    EXPECT_TRUE(index.Insert(items[0].get()));
    index.Reserve(4 * n);  // moves everything at once
    EXPECT_EQ(index.Find(PathOf(0)), items[0].get());
    EXPECT_EQ(index.Find(PathOf(n - 1)), items[n - 1].get());

    index.Clear();
    EXPECT_EQ(index.Size(), 0);
    EXPECT_EQ(index.Find(PathOf(1)), nullptr);
}

TEST(PathItemIndex, FindNearestWalksUpToTheClosestIndexedFolder) {
    GarbageDirectory root("/", false, nullptr);
    GarbageDirectory caches("/c", false, nullptr);
    PathItemIndex index;
    index.Insert(&caches);
    EXPECT_EQ(index.FindNearest("/c/d1/f2"), &caches);
    EXPECT_EQ(index.FindNearest("/c"), &caches);
    EXPECT_EQ(index.FindNearest("/cc/x"), nullptr);  // whole components only
    index.Insert(&root);
    EXPECT_EQ(index.FindNearest("/cc/x"), &root);
}
