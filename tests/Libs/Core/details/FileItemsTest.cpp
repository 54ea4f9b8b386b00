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
