#include <gtest/gtest.h>

#include <QSignalSpy>

#include "Core/details/FileDates.h"
#include "Core/details/GarbageDirectory.h"
#include "Core/details/GarbageDuplicatesGroup.h"
#include "Core/details/GarbageFile.h"
#include "Core/details/GarbageFileEx.h"
#include "Core/details/GarbageLeftover.h"
#include "Core/details/GarbageLeftoverGroup.h"
#include "Core/details/SystemGarbageScope.h"
#include "common/TempTree.h"

using namespace Varnex::Cleaner;
using namespace Varnex::Cleaner::Details;
using Varnex::Test::TempTree;

TEST(GarbageFile, ShowsColonsAsSlashesAndIsReadyAtOnce) {
    GarbageFile file("/tmp/x/a:b", 12, nullptr);
    EXPECT_EQ(file.GetName(), "a/b");
    EXPECT_EQ(file.GetPath(), "/tmp/x/a:b");
    EXPECT_TRUE(file.IsReady());
    GarbageFileEx ex("/tmp/x/m.mov", 5, QDateTime::fromSecsSinceEpoch(1000), AbstractGarbage::VIDEO,
                     "desc", nullptr);
    EXPECT_EQ(ex.GetKind(), AbstractGarbage::VIDEO);
    EXPECT_EQ(ex.GetLastReadTime(), QDateTime::fromSecsSinceEpoch(1000));
    EXPECT_EQ(ex.GetDescription(), "desc");
}

TEST(GarbageDirectory, BecomesReadyWhenItsAnnouncedChildrenAreReady) {
    GarbageDirectory empty("/t/empty", false, nullptr);
    empty.SetRequiredChildren(0, 0);
    EXPECT_TRUE(empty.IsReady());

    GarbageDirectory dir("/t/d", false, nullptr);
    dir.SetRequiredChildren(2, 0);
    auto* readyFile = new GarbageFile("/t/d/f", 1, nullptr);  // ready before it arrives
    auto* sub = new GarbageDirectory("/t/d/sub", false, nullptr);
    sub->SetRequiredChildren(1, 0);
    dir.AddChild(readyFile, true);
    dir.AddChild(sub, true);
    EXPECT_FALSE(dir.IsReady());
    readyFile->SetReady(true);  // a second "ready" of the same child counts once
    EXPECT_FALSE(dir.IsReady());
    sub->AddChild(new GarbageFile("/t/d/sub/g", 2, nullptr), true);
    EXPECT_TRUE(sub->IsReady());
    EXPECT_TRUE(dir.IsReady());
    EXPECT_EQ(dir.GetSize(), 3);
    EXPECT_EQ(dir.GetName(), "d");
}

TEST(GarbageDirectory, AFolderThatKeepsEntriesIsNeverRemovedItself) {
    GarbageDirectory dir("/t/d", false, nullptr);
    dir.SetRequiredChildren(1, 1);
    auto* f = new GarbageFile("/t/d/f", 1, nullptr);
    dir.AddChild(f, true);
    EXPECT_TRUE(f->ShouldBeRemoved());
    EXPECT_FALSE(dir.ShouldBeRemoved());
}

TEST(GarbageLeftover, OnlyPositiveGrowthCountsAndNotifies) {
    SystemGarbageScope scope;
    QSignalSpy changed(&scope, &AbstractGarbageScope::ItemChanged);
    auto* group = new GarbageLeftoverGroup("/Applications/Gone.app", "Gone", nullptr);
    auto* leftover = new GarbageLeftover("/u/Library/Caches/com.gone", 10, nullptr);
    group->AddLeftover(leftover);
    group->setParent(&scope);
    EXPECT_EQ(group->GetSize(), 10);
    leftover->AddSize(0);
    leftover->AddSize(-5);
    EXPECT_EQ(changed.count(), 0);
    leftover->AddSize(5);
    EXPECT_EQ(leftover->GetSize(), 15);
    EXPECT_EQ(group->GetSize(), 15);
    EXPECT_GT(changed.count(), 0);
    EXPECT_EQ(group->GetPaths(), QStringList{"/u/Library/Caches/com.gone"});
    EXPECT_EQ(GarbageLeftover("/", 0, nullptr).GetName(), "/");
}

namespace {

// Three copies with controlled creation dates.
struct Copies {
    TempTree tree;
    GarbageDuplicatesGroup group{"/dups/a.jpg", AbstractGarbage::IMAGE, "hash", nullptr};
    GarbageFile* oldest;
    GarbageFile* middle;
    GarbageFile* newest;
    Copies() {
        for (const char* n : {"old", "mid", "new"}) {
            tree.MakeFile(n, "same");
        }
        oldest = new GarbageFile(tree.Path("old"), 4, nullptr);
        middle = new GarbageFile(tree.Path("mid"), 4, nullptr);
        newest = new GarbageFile(tree.Path("new"), 4, nullptr);
        group.AddChild(middle);
        group.AddChild(newest);
        group.AddChild(oldest);
        const QString root = tree.Root();
        SetCreationTimeReader([root](const QString& path) {
            const QString name = path.mid(root.size() + 1);
            const int day = name == "old" ? 1 : name == "mid" ? 2 : 3;
            return QDateTime(QDate(2020, 1, day), QTime(0, 0));
        });
    }
    ~Copies() { SetCreationTimeReader(nullptr); }
};

}  // namespace

TEST(GarbageDuplicatesGroup, CheckingTheGroupKeepsOneCopyByTheTrait) {
    Copies c;
    c.group.Select(true);
    EXPECT_FALSE(c.newest->IsSelected());
    EXPECT_TRUE(c.oldest->ShouldBeRemoved());
    EXPECT_TRUE(c.middle->ShouldBeRemoved());

    c.group.SetSelectionTrait(KEEP_OLDEST);
    EXPECT_FALSE(c.oldest->IsSelected());
    EXPECT_TRUE(c.newest->ShouldBeRemoved());

    c.group.Select(false);
    EXPECT_FALSE(c.oldest->IsSelected());
    EXPECT_FALSE(c.newest->IsSelected());
}

TEST(GarbageDuplicatesGroup, NeverKeepsACopyThatIsGoneAndNeverSelectsTheLastOne) {
    Copies c;
    // The newest copy is already clean: the copy kept must be one still there.
    c.newest->SetClean(true);
    c.group.Select(true);
    const int selectedLive = c.oldest->ShouldBeRemoved() + c.middle->ShouldBeRemoved();
    EXPECT_EQ(selectedLive, 1) << "one live copy stays";
    EXPECT_FALSE(c.middle->IsSelected()) << "the newest of the live copies";

    // Only one live copy left on disk: it is never selected.
    Varnex::Test::RemoveTestTree(c.tree.Path("old").toStdString());
    c.group.Select(false);
    c.group.Select(true);
    EXPECT_FALSE(c.middle->ShouldBeRemoved());
}

namespace {

// Containers that count how often their child lists are read.
class CountingGroup : public GarbageDuplicatesGroup {
public:
    using GarbageDuplicatesGroup::GarbageDuplicatesGroup;
    GarbageList GetChildren() const override {
        ++reads;
        return GarbageDuplicatesGroup::GetChildren();
    }
    mutable int reads = 0;
};

class CountingDirectory : public GarbageDirectory {
public:
    using GarbageDirectory::GarbageDirectory;
    GarbageList GetChildren() const override {
        ++reads;
        return GarbageDirectory::GetChildren();
    }
    mutable int reads = 0;
};

}  // namespace

// Appends with reads of the sums between them (what a scan does) must not re-read
// the whole child list each time: that made n appends cost O(n^2).
TEST(GarbageDuplicatesGroup, AppendingChildrenKeepsTheCountsWithoutRereadingThem) {
    const int n = 2000;
    CountingGroup group("/dups/x", AbstractGarbage::OTHER, "h", nullptr);
    CountingDirectory dir("/d", false, nullptr);
    long long size = 0;
    for (int i = 0; i < n; ++i) {
        group.AddChild(new GarbageFile(QString("/dups/x%1").arg(i), i, nullptr));
        dir.AddChild(new GarbageFile(QString("/d/f%1").arg(i), i, nullptr), true);
        size += i;
        ASSERT_EQ(group.GetNumOfDirtyChildren(), i + 1);
        ASSERT_EQ(dir.GetNumOfDirtyChildren(), i + 1);
        ASSERT_EQ(group.GetSize(), size);
        ASSERT_EQ(dir.GetSize(), size);
    }
    EXPECT_LE(group.reads, 2);
    EXPECT_LE(dir.reads, 2);

    // Children made with the container as their parent before they are added,
    // two at a time, a clean one among them: still counted exactly.
    auto* a = new GarbageFile("/d/a", 5, &dir);
    auto* b = new GarbageFile("/d/b", 7, &dir);
    b->SetClean(true);
    dir.AddChild(a, true);
    dir.AddChild(b, true);
    EXPECT_EQ(dir.GetNumOfDirtyChildren(), n + 1);
    dir.AbstractGarbage::UpdateSize();
    EXPECT_EQ(dir.GetSize(), size + 5);
    // A child that changes between becoming a QObject child and being listed.
    auto* c = new GarbageFile("/dups/c", 9, &group);
    c->SetClean(true);
    group.AddChild(c);
    EXPECT_EQ(group.GetNumOfDirtyChildren(), n);
    EXPECT_EQ(group.GetSize(), size);
    c->SetClean(false);
    EXPECT_EQ(group.GetNumOfDirtyChildren(), n + 1);
    EXPECT_EQ(group.GetSize(), size + 9);

    // And they keep following cleaning and check states.
    group.GetChildren().at(3)->SetClean(true);
    EXPECT_EQ(group.GetNumOfDirtyChildren(), n);
    EXPECT_EQ(group.GetSize(), size + 9 - 3);
    dir.GetChildren().at(0)->Select(false);
    EXPECT_EQ(dir.GetCheckState(), AbstractGarbage::PARTLY_CHECKED);
    for (AbstractGarbage* child : dir.GetChildren()) {
        child->Select(false);
    }
    EXPECT_EQ(dir.GetCheckState(), AbstractGarbage::UNCHECKED);
}
