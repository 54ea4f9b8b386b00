#include <gtest/gtest.h>

#include <QSignalSpy>
#include <random>

#include "Libs/Core/TestItems.h"

using namespace Varnex::Test;
using Cs = AbstractGarbage::CheckState;
using Err = AbstractGarbage::Error;

namespace {

// root
//  +- a (folder): a1 (10), a2 (20)
//  +- b (folder): b1 (30)
struct Tree {
    TestScope scope;
    TestItem* root = new TestItem("root", 0);
    TestItem* a;
    TestItem* b;
    TestItem* a1;
    TestItem* a2;
    TestItem* b1;
    Tree() {
        scope.Insert(root);
        a = root->Add("a", 0);
        b = root->Add("b", 0);
        a1 = a->Add("a1", 10);
        a2 = a->Add("a2", 20);
        b1 = b->Add("b1", 30);
    }
};

QList<AbstractGarbage*> Changed(const QSignalSpy& spy) {
    QList<AbstractGarbage*> out;
    for (const QList<QVariant>& args : spy) {
        out.append(args.at(0).value<AbstractGarbage*>());
    }
    return out;
}

}  // namespace

TEST(AbstractGarbage, NewItemsFollowTheirParentsUntilTheyGetAStateOfTheirOwn) {
    Tree t;
    EXPECT_EQ(t.a1->GetCheckStateRaw(), Cs::AS_PARENT);
    EXPECT_EQ(t.a1->GetCheckState(), Cs::CHECKED);
    EXPECT_TRUE(t.a1->ShouldBeRemoved());
    EXPECT_EQ(t.root->GetSize(), 60);

    t.root->Select(false);
    EXPECT_EQ(t.a1->GetCheckState(), Cs::UNCHECKED);
    EXPECT_EQ(t.a1->GetCheckStateRaw(), Cs::AS_PARENT);
    EXPECT_FALSE(t.a1->ShouldBeRemoved());
    EXPECT_EQ(t.scope.GetSelectedSize(), 0);
}

TEST(AbstractGarbage, CheckStatesPropagateAcrossThreeLevels) {
    Tree t;
    t.a1->Select(false);
    // a1's sibling was following its parent: it is pinned to what it read.
    EXPECT_EQ(t.a2->GetCheckStateRaw(), Cs::CHECKED);
    EXPECT_EQ(t.a->GetCheckState(), Cs::PARTLY_CHECKED);
    EXPECT_EQ(t.root->GetCheckState(), Cs::PARTLY_CHECKED);
    EXPECT_EQ(t.b1->GetCheckState(), Cs::CHECKED);
    EXPECT_TRUE(t.a->IsSelected());
    EXPECT_FALSE(t.a->ShouldBeRemoved()) << "a partly checked folder is never removed itself";
    EXPECT_EQ(t.scope.GetSelectedSize(), 50);
    EXPECT_EQ(t.scope.GetSelectedItemsCount(), std::make_pair(1LL, 2LL));  // b with b1; a2

    t.a2->Select(false);
    EXPECT_EQ(t.a->GetCheckState(), Cs::UNCHECKED);
    EXPECT_EQ(t.root->GetCheckState(), Cs::PARTLY_CHECKED);

    t.b1->Select(false);
    EXPECT_EQ(t.root->GetCheckState(), Cs::UNCHECKED);
    EXPECT_EQ(t.scope.GetSelectedSize(), 0);

    // Checking the root makes the whole tree follow it again.
    t.root->Select(true);
    for (AbstractGarbage* item :
         {static_cast<AbstractGarbage*>(t.a), static_cast<AbstractGarbage*>(t.a1),
          static_cast<AbstractGarbage*>(t.a2), static_cast<AbstractGarbage*>(t.b1)}) {
        EXPECT_EQ(item->GetCheckStateRaw(), Cs::AS_PARENT) << item->GetName().toStdString();
        EXPECT_EQ(item->GetCheckState(), Cs::CHECKED);
    }
    EXPECT_EQ(t.scope.GetSelectedSize(), 60);
}

TEST(AbstractGarbage, AChildArrivingUnderAPartlyCheckedFolderIsNeverPinnedHalfSelected) {
    Tree t;
    t.a1->Select(false);
    ASSERT_EQ(t.a->GetCheckState(), Cs::PARTLY_CHECKED);
    TestItem* late = t.a->Add("late", 5);
    EXPECT_EQ(late->GetCheckState(), Cs::CHECKED);
    // A change of a sibling recomputes the folder while it is mixed.
    t.a2->Select(false);
    t.a2->Select(true);
    EXPECT_NE(late->GetCheckStateRaw(), Cs::PARTLY_CHECKED);
    // What the item shows and what cleaning does must agree.
    EXPECT_EQ(late->IsSelected(), late->ShouldBeRemoved());
    EXPECT_TRUE(late->ShouldBeRemoved());
}

TEST(AbstractGarbage, ShouldBeRemovedIsTheLastGate) {
    Tree t;
    EXPECT_TRUE(t.b1->ShouldBeRemoved());
    t.b1->SetRemovable(false);
    EXPECT_FALSE(t.b1->ShouldBeRemoved());
    t.b1->SetRemovable(true);
    t.b1->SetError(Err::PERMISSION_DENIED);
    EXPECT_FALSE(t.b1->ShouldBeRemoved());
    t.b1->SetError(Err::OK);
    EXPECT_TRUE(t.b1->ShouldBeRemoved());
    t.b1->SetClean(true);
    EXPECT_FALSE(t.b1->ShouldBeRemoved());
    t.a1->Select(false);
    EXPECT_FALSE(t.a1->ShouldBeRemoved());
}

TEST(AbstractGarbage, ErrorsMarkEveryAncestorAndAreNotified) {
    Tree t;
    QSignalSpy changed(&t.scope, &AbstractGarbageScope::ItemChanged);
    EXPECT_FALSE(t.scope.ContainsError());
    t.a1->SetError(Err::DOES_NOT_EXIST);
    EXPECT_EQ(t.a1->GetError(), Err::DOES_NOT_EXIST);
    EXPECT_EQ(t.a->GetError(), Err::CHILD);
    EXPECT_EQ(t.root->GetError(), Err::CHILD);
    EXPECT_EQ(t.b->GetError(), Err::OK);
    EXPECT_EQ(t.a->GetStatus(), AbstractGarbage::Status::ERROR);
    EXPECT_EQ(t.a->GetErrorString(), "One or more children have errors");
    EXPECT_EQ(Changed(changed), (QList<AbstractGarbage*>{t.a1, t.a, t.root}));
    EXPECT_TRUE(t.scope.ContainsError());
    // Setting OK clears only the item itself.
    t.a1->SetError(Err::OK);
    EXPECT_EQ(t.a->GetError(), Err::CHILD);
}

TEST(AbstractGarbage, CleaningTheLastChildCleansTheParentAndResumsSizes) {
    Tree t;
    t.a1->SetClean(true);
    EXPECT_FALSE(t.a->IsClean());
    EXPECT_EQ(t.a->GetSize(), 20);
    EXPECT_EQ(t.root->GetSize(), 50);
    EXPECT_EQ(t.a->GetNumOfDirtyChildren(), 1);

    QSignalSpy changed(&t.scope, &AbstractGarbageScope::ItemChanged);
    t.a2->SetClean(true);
    EXPECT_TRUE(t.a->IsClean());
    EXPECT_EQ(t.a->GetSize(), 0);
    EXPECT_EQ(t.root->GetSize(), 30);
    EXPECT_EQ(t.a->GetCheckState(), Cs::CHECKED);
    EXPECT_FALSE(t.root->IsClean());
    EXPECT_GT(changed.count(), 0);

    changed.clear();
    t.a2->SetClean(true);
    EXPECT_EQ(changed.count(), 0) << "setting the current value notifies nothing";

    // Marking a child dirty again makes its ancestors dirty again.
    t.a2->SetClean(false);
    EXPECT_FALSE(t.a->IsClean());
    EXPECT_EQ(t.a->GetSize(), 20);
    EXPECT_EQ(t.root->GetSize(), 50);
}

TEST(AbstractGarbage, CleaningNotifiesInTheSameOrderAsAFullResum) {
    Tree t;
    QSignalSpy changed(&t.scope, &AbstractGarbageScope::ItemChanged);
    t.a1->SetClean(true);
    // a's size (a re-sum that climbs to root), then the check states from the
    // root down, then the item itself.
    EXPECT_EQ(Changed(changed), (QList<AbstractGarbage*>{t.a, t.root, t.root, t.a, t.a1}));
}

TEST(AbstractGarbage, AnEmptyInnerItemAndAFolderOfCleanChildrenBecomeChecked) {
    Tree t;
    t.b1->Select(false);
    ASSERT_EQ(t.b->GetCheckState(), Cs::UNCHECKED);
    t.b1->SetClean(true);
    EXPECT_EQ(t.b->GetCheckState(), Cs::CHECKED);
    TestItem lonely("lonely", 0);
    lonely.Select(false);
    lonely.UpdateCheckState();
    EXPECT_EQ(lonely.GetCheckState(), Cs::CHECKED);
}

TEST(AbstractGarbage, AChildBecomingReadyTwiceIsAnnouncedOnce) {
    Tree t;
    t.a1->SetReady(true);
    t.a1->SetReady(true);
    EXPECT_EQ(t.a->m_readyChildren, 1);
    EXPECT_EQ(t.a1->GetStatus(), AbstractGarbage::Status::READY);
    EXPECT_EQ(t.a2->GetStatus(), AbstractGarbage::Status::SCANNING);
}

TEST(AbstractGarbage, TreeQueries) {
    Tree t;
    EXPECT_TRUE(t.root->IsRoot());
    EXPECT_FALSE(t.a1->IsRoot());
    EXPECT_EQ(t.a1->GetDepth(), 2);
    EXPECT_EQ(t.a2->GetIndex(), 1);
    EXPECT_EQ(t.root->GetIndex(), -1);
    EXPECT_EQ(t.a1->GetScope(), &t.scope);
    EXPECT_EQ(t.a1->GetParent(), t.a);
    t.a1->SetViewMetaData(QVariant(42));
    EXPECT_EQ(t.a1->GetViewMetaData().toInt(), 42);
    TestItem orphan("orphan", 1);
    EXPECT_EQ(orphan.GetScope(), nullptr);
    orphan.SetClean(true);  // no scope: nothing to notify, nothing to crash
    EXPECT_EQ(orphan.GetStatus(), AbstractGarbage::Status::CLEAN);
}

TEST(AbstractGarbage, EnumerationTexts) {
    EXPECT_EQ(AbstractGarbage::GetStatusString(AbstractGarbage::Status::SCANNING), "Scanning");
    EXPECT_EQ(AbstractGarbage::GetErrorString(Err::IS_NOT_EMPTY), "Directory is not empty");
    EXPECT_EQ(AbstractGarbage::GetErrorString(Err::OK), "");
    EXPECT_EQ(AbstractGarbage::GetCheckStateString(Cs::PARTLY_CHECKED), "Partly checked");
    EXPECT_EQ(AbstractGarbage::GetCheckStateString(static_cast<Cs>(7)), "");
    EXPECT_EQ(AbstractGarbage::GetStatusString(static_cast<AbstractGarbage::Status>(9)), "");
}

TEST(AbstractGarbage, CheckKindUsesTypeIdentifiersFirstThenTheLastSuffix) {
    struct Case {
        const char* path;
        QStringList utis;
        AbstractGarbage::Kind kind;
    } cases[] = {
        {"/m/Movie.MP4", {}, AbstractGarbage::VIDEO},
        {"/m/a.tar.gz", {}, AbstractGarbage::ARCHIVE},
        {"/m/noext", {}, AbstractGarbage::OTHER},
        {"/m/a.jpg", {"public.archive"}, AbstractGarbage::ARCHIVE},
        {"/m/a.3gp", {}, AbstractGarbage::AUDIO},
        {"/m/a.3g2", {}, AbstractGarbage::VIDEO},
        {"/m/a.mp2", {}, AbstractGarbage::VIDEO},
        {"/m/a.txt", {"public.image"}, AbstractGarbage::IMAGE},
        {"/m/a.txt", {"Public.Image"}, AbstractGarbage::OTHER},
        {"/m.zip/file", {}, AbstractGarbage::OTHER},
        {"/m/x.PNG", {}, AbstractGarbage::IMAGE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AbstractGarbage::CheckKind(c.path, c.utis), c.kind) << c.path;
    }
}

// The running counts must always equal what a full re-read of the children gives.
TEST(AbstractGarbage, RunningCountsMatchAFullReread) {
    TestScope scope;
    auto* root = new TestItem("root", 0);
    scope.Insert(root);
    std::vector<TestItem*> all{root};
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
        TestItem* parent = all[rng() % all.size()];
        all.push_back(parent->Add(QString("n%1").arg(i), static_cast<long long>(rng() % 100)));
    }
    for (int step = 0; step < 3000; ++step) {
        TestItem* item = all[rng() % all.size()];
        switch (rng() % 5) {
            case 0:
                item->Select(rng() % 2);
                break;
            case 1:
                item->SetClean(rng() % 2);
                break;
            case 2:
                if (item->GetChildren().isEmpty())
                    item->SetSize(rng() % 100);
                break;
            case 3: {
                if (item->GetChildren().isEmpty()) {
                    break;
                }
                int total = 0, checked = 0, unchecked = 0;
                for (AbstractGarbage* c : item->GetChildren()) {
                    if (!c->IsClean()) {
                        ++total;
                        checked += c->GetCheckState() == Cs::CHECKED;
                        unchecked += c->GetCheckState() == Cs::UNCHECKED;
                    }
                }
                const Cs expected = checked >= total     ? Cs::CHECKED
                                    : unchecked == total ? Cs::UNCHECKED
                                                         : Cs::PARTLY_CHECKED;
                item->UpdateCheckState();
                ASSERT_EQ(item->GetCheckStateRaw(), expected) << "step " << step;
                break;
            }
            case 4:
                all.push_back(item->Add(QString("m%1").arg(step), rng() % 100));
                break;
        }
        for (TestItem* x : all) {
            int dirty = 0;
            long long size = 0;
            for (AbstractGarbage* c : x->GetChildren()) {
                if (!c->IsClean()) {
                    ++dirty;
                    size += c->GetSize();
                }
            }
            ASSERT_EQ(x->GetNumOfDirtyChildren(), dirty) << "step " << step;
            if (!x->GetChildren().isEmpty()) {
                // A leaf's size may be set freely; a folder's follows its children.
                x->AbstractGarbage::UpdateSize();
                ASSERT_EQ(x->GetSize(), size) << "step " << step;
            }
        }
    }
}
