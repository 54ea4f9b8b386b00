#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QMetaType>
#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <deque>
#include <memory>
#include <set>

#include "Core/GarbageItemModel.h"
#include "Libs/Core/TestItems.h"
#include "common/TestEnv.h"

using namespace Varnex::Test;
using Varnex::Cleaner::GarbageItemModel;
using Model = GarbageItemModel;
using Tester = QAbstractItemModelTester;

namespace {

// A TestScope whose scan also inserts batches below items already in the tree,
// one batch per poll, the way the file-system scopes insert a folder's contents.
class ScanScope : public TestScope {
public:
    using TestScope::TestScope;
    ~ScanScope() override {
        for (const Step& step : m_steps) {
            qDeleteAll(step.items);
        }
    }

    // Queued for the next polls of a running scan; parent null: new roots.
    void Queue(TestItem* parent, const QList<TestItem*>& items) {
        m_steps.push_back({parent, items});
    }
    // One insertion now, with its signals: announce, attach, finish, mark ready.
    void InsertNow(TestItem* parent, const QList<TestItem*>& items) {
        emit ItemsAboutToBeInserted(parent, items.size());
        for (TestItem* item : items) {
            if (parent) {
                parent->Add(item);
            } else {
                AddRoot(item);
            }
        }
        emit ItemsInserted(parent, items.size());
        for (TestItem* item : items) {
            item->SetReady(true);
        }
    }
    bool StepsDone() const { return m_steps.empty(); }

protected:
    void timerEvent(QTimerEvent* event) override {
        if (event->timerId() == m_scanningTimer && IsScanning() && !m_steps.empty()) {
            const Step step = m_steps.front();
            m_steps.pop_front();
            InsertNow(step.parent, step.items);
            return;
        }
        TestScope::timerEvent(event);
    }

private:
    struct Step {
        TestItem* parent;
        QList<TestItem*> items;
    };
    std::deque<Step> m_steps;
};

TestItem* Item(const QString& name, long long size) {
    return new TestItem(name, size);
}

// A folder with leaves attached already.
TestItem* Folder(const QString& name, std::initializer_list<long long> sizes) {
    auto* folder = new TestItem(name, 0);
    int i = 0;
    for (long long size : sizes) {
        folder->Add(QStringLiteral("%1-%2").arg(name).arg(i++), size);
    }
    return folder;
}

// What a view heard about one row insertion.
struct Insertion {
    AbstractGarbage* parent;  // null: top level
    int first;
    int last;
};

class Recorder {
public:
    explicit Recorder(Model* model) : m_model(model) {
        QObject::connect(model, &Model::rowsAboutToBeInserted,
                         [this](const QModelIndex& parent, int first, int last) {
                             about.push_back({m_model->FetchGarbage(parent), first, last});
                         });
        // Every row of a range counts as changed; ranges are whole rows.
        QObject::connect(model, &Model::dataChanged,
                         [this](const QModelIndex& from, const QModelIndex& to) {
                             EXPECT_EQ(from.column(), Model::NAME_COLUMN);
                             EXPECT_EQ(to.column(), Model::VIEW_META_DATA_COLUMN);
                             ++emissions;
                             for (int row = from.row(); row <= to.row(); ++row) {
                                 changed.push_back(m_model->FetchGarbage(from.siblingAtRow(row)));
                             }
                         });
        QObject::connect(model, &Model::modelReset, [this] { ++resets; });
    }
    bool Changed(AbstractGarbage* item) const {
        return std::find(changed.begin(), changed.end(), item) != changed.end();
    }
    bool Announced(AbstractGarbage* parent) const {
        return std::any_of(about.begin(), about.end(),
                           [&](const Insertion& i) { return i.parent == parent; });
    }

    std::vector<Insertion> about;
    std::vector<AbstractGarbage*> changed;
    int emissions = 0;  // dataChanged signals
    int resets = 0;

private:
    Model* m_model;
};

// The model shows exactly `items` below `parent`, recursively, with consistent
// indexes both ways.
void ExpectMirrors(const Model& model, const QModelIndex& parent, const GarbageList& items) {
    ASSERT_EQ(model.rowCount(parent), items.size());
    for (int row = 0; row < items.size(); ++row) {
        const QModelIndex index = model.index(row, Model::NAME_COLUMN, parent);
        ASSERT_TRUE(index.isValid());
        EXPECT_EQ(model.FetchGarbage(index), items[row]);
        EXPECT_EQ(model.parent(index), parent);
        EXPECT_EQ(model.GetIndex(items[row]), index);
        EXPECT_EQ(model.data(index).toString(), items[row]->GetName());
        ExpectMirrors(model, index, items[row]->GetChildren());
    }
}

void ExpectMirrorsScope(const Model& model, const AbstractGarbageScope& scope) {
    const GarbageList roots = scope.GetRoots();
    GarbageList top = roots;
    if (model.IsRootHidden()) {
        top = roots.isEmpty() ? GarbageList() : roots.first()->GetChildren();
    }
    ExpectMirrors(model, QModelIndex(), top);
}

QString Display(const Model& model, AbstractGarbage* item, int column) {
    return model.data(model.GetIndex(item, column)).toString();
}

class GarbageItemModelScan : public ::testing::TestWithParam<bool> {};

}  // namespace

// A whole scan, change, error and clean, followed by the model tester in fatal mode.
TEST_P(GarbageItemModelScan, FollowsScanChangesAndCleaning) {
    const bool hideRoot = GetParam();
    ScanScope scope;
    Model model(&scope, hideRoot);
    Tester tester(&model, Tester::FailureReportingMode::Fatal);
    Recorder recorder(&model);
    QSignalSpy finished(&scope, &AbstractGarbageScope::ScanningFinished);

    scope.StartScanning();
    // Roots arrive with children attached; then children below them and deeper,
    // in several polls, with names that are hard to show.
    TestItem* a = Folder("A", {10, 20});
    TestItem* b = Folder("B", {5});
    auto* a1 = static_cast<TestItem*>(a->GetChildren().at(0));
    TestItem* deep = Item(QString::fromUtf8("d\xc3\xa9j\xc3\xa0 vu: \n \xe6\x97\xa5"), 0);
    TestItem* b1 = Item("b1", 0);
    scope.Queue(nullptr, {a, b});
    scope.Queue(a, {Item("a3", 3), Item("a4", 4)});
    scope.Queue(a1, {deep, Item("x", 7)});  // a1 turns from a leaf into a folder
    scope.Queue(deep, {Item("y: 1", 11), Item("line\nbreak", 12), Item("z", 13)});
    scope.Queue(b, {b1});
    scope.Queue(b1, {Item("b1-0", 1), Item("b1-1", 2)});
    scope.Queue(deep, {Item("late", 100)});
    scope.Queue(nullptr, {Folder("C", {1, 2, 3})});
    scope.SetWorkerBusy(false);
    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 1; }));
    ASSERT_TRUE(scope.StepsDone());

    ExpectMirrorsScope(model, scope);
    // The deep insertions reached the views with the right parent: under A's
    // first child and two levels further down, whether or not the root is hidden.
    ASSERT_TRUE(recorder.Announced(a1));
    ASSERT_TRUE(recorder.Announced(deep));
    const auto late = std::find_if(recorder.about.begin(), recorder.about.end(),
                                   [&](const Insertion& i) { return i.parent == deep; });
    EXPECT_EQ(late->first, 0);
    EXPECT_EQ(late->last, 2);
    EXPECT_EQ(recorder.about.back().parent, hideRoot ? deep : nullptr)
        << "with hide root, a root after the first is not shown";
    EXPECT_EQ(recorder.Announced(b), !hideRoot);
    EXPECT_EQ(recorder.Announced(b1), !hideRoot);
    EXPECT_EQ(model.rowCount(), hideRoot ? 4 : 3);  // A's four children, or A, B, C
    EXPECT_EQ(Display(model, deep, Model::SIZE_COLUMN), "136");

    // An error: the item and its ancestors change, each on its own row.
    recorder.changed.clear();
    auto* y = static_cast<TestItem*>(deep->GetChildren().at(0));
    y->SetError(AbstractGarbage::Error::PERMISSION_DENIED);
    EXPECT_TRUE(recorder.Changed(y));
    EXPECT_TRUE(recorder.Changed(deep));
    EXPECT_TRUE(recorder.Changed(a1));
    EXPECT_EQ(recorder.Changed(a), !hideRoot) << "a hidden root has no row to change";
    EXPECT_EQ(Display(model, y, Model::ERROR_COLUMN), "Permission denied");
    EXPECT_EQ(Display(model, a1, Model::ERROR_COLUMN), "One or more children have errors");
    EXPECT_EQ(model.data(model.GetIndex(y, Model::STATUS_CODE_COLUMN)).toInt(),
              static_cast<int>(AbstractGarbage::Status::ERROR));

    // Changes below a hidden root other than the first stay silent.
    recorder.changed.clear();
    static_cast<TestItem*>(b1->GetChildren().at(0))->SetReady(true);
    EXPECT_EQ(recorder.changed.empty(), hideRoot);

    // Cleaning: several items per poll, every change followed by the tester.
    scope.ServerCleansPerPoll = 3;
    QSignalSpy cleaned(&scope, &AbstractGarbageScope::CleaningFinished);
    ASSERT_TRUE(scope.StartCleaning());
    ASSERT_TRUE(WaitUntil([&] { return cleaned.count() == 1; }));
    auto* z = static_cast<TestItem*>(deep->GetChildren().at(2));
    EXPECT_TRUE(z->IsClean());
    EXPECT_TRUE(recorder.Changed(z));
    EXPECT_EQ(Display(model, z, Model::STATUS_COLUMN), "Clean / Checked");
    EXPECT_FALSE(y->IsClean()) << "an item in error is not planned";
    ExpectMirrorsScope(model, scope);

    // A new scan clears the scope: the model resets and starts empty.
    const int resets = recorder.resets;
    finished.clear();
    scope.SetWorkerBusy(true);
    scope.StartScanning();
    EXPECT_GT(recorder.resets, resets);
    EXPECT_EQ(model.rowCount(), 0);
    scope.Queue(nullptr, {Folder("again", {1})});
    scope.SetWorkerBusy(false);
    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 1; }));
    ExpectMirrorsScope(model, scope);
    EXPECT_EQ(model.rowCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(HideRoot, GarbageItemModelScan, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Hidden") : std::string("Shown");
                         });

// The first root arrives with its children attached: with hide root they are
// the new top level, announced by a reset; its later children are top-level
// insertions after the existing rows, and the root itself has no row.
TEST(GarbageItemModel, HideRootShowsTheFirstRootsChildren) {
    ScanScope scope;
    Model model(&scope, true);
    Tester tester(&model, Tester::FailureReportingMode::Fatal);
    Recorder recorder(&model);
    TestItem* first = Folder("first", {1, 2, 3});
    scope.InsertNow(nullptr, {first});
    EXPECT_EQ(recorder.resets, 1);
    EXPECT_EQ(model.GetRoots(), first->GetChildren());
    EXPECT_FALSE(model.GetIndex(first).isValid());

    recorder.about.clear();
    scope.InsertNow(first, {Item("n", 4)});
    ASSERT_EQ(recorder.about.size(), 1u);
    EXPECT_EQ(recorder.about[0].parent, nullptr);
    EXPECT_EQ(recorder.about[0].first, 3);
    EXPECT_EQ(recorder.about[0].last, 3);
    recorder.changed.clear();
    first->NotifyChanged();
    EXPECT_TRUE(recorder.changed.empty());
    ExpectMirrorsScope(model, scope);
}

TEST(GarbageItemModel, ColumnsRolesAndHeaders) {
    ScanScope scope;
    scope.SetItemNameFilter([](AbstractGarbage* item) { return "<" + item->GetName() + ">"; }, 1,
                            1);
    Model model(&scope, false);
    TestItem* root = Folder("r", {100, 20});
    scope.InsertNow(nullptr, {root});
    AbstractGarbage* leaf = root->GetChildren().at(0);
    leaf->SetKind(AbstractGarbage::VIDEO);
    leaf->SetViewMetaData(QStringLiteral("meta"));
    leaf->SetReady(true);
    const QModelIndex rootIndex = model.index(0, 0);
    auto at = [&](int column) { return model.index(0, column, rootIndex); };

    // Each column its own value, in its own type.
    const std::pair<int, QVariant> values[] = {
        {Model::NAME_COLUMN, "<r-0>"},  // the scope's name filter, depth 1 only
        {Model::SIZE_COLUMN, qlonglong(100)},
        {Model::ERROR_COLUMN, ""},
        {Model::STATUS_COLUMN, "Ready / Checked"},
        {Model::SELECTED_COLUMN, true},
        {Model::CHECK_STATE_COLUMN, int(AbstractGarbage::CHECKED)},
        {Model::STATUS_CODE_COLUMN, int(AbstractGarbage::Status::READY)},
        {Model::ERROR_CODE_COLUMN, int(AbstractGarbage::Error::OK)},
        {Model::PATH_COLUMN, "/test/r-0"},
        {Model::ENABLED_COLUMN, false},
        {Model::VIEW_META_DATA_COLUMN, "meta"},
    };
    for (const auto& [column, value] : values) {
        const QVariant shown = model.data(at(column));
        EXPECT_EQ(shown, value) << "column " << column;
        EXPECT_EQ(shown.userType(), value.userType()) << "column " << column;
    }
    EXPECT_EQ(model.data(at(Model::LAST_READ_TIME_COLUMN)).userType(), QMetaType::QDateTime);
    EXPECT_EQ(model.data(at(Model::KIND_COLUMN)).value<AbstractGarbage::Kind>(),
              AbstractGarbage::VIDEO);
    EXPECT_EQ(model.data(rootIndex).toString(), "r");
    EXPECT_EQ(model.data(rootIndex.siblingAtColumn(Model::SIZE_COLUMN)).toLongLong(), 120);
    for (int column = 0; column < Model::COLUMN_COUNT; ++column) {
        EXPECT_EQ(model.data(at(column), Model::ITEM_ROLE).value<AbstractGarbage*>(), leaf);
        EXPECT_EQ(model.data(at(column), Model::EDIT_ROLE).isValid(),
                  column == Model::SELECTED_COLUMN);
    }
    EXPECT_FALSE(model.data(at(0), Qt::ToolTipRole).isValid());
    EXPECT_FALSE(model.index(0, Model::COLUMN_COUNT, rootIndex).isValid());
    EXPECT_EQ(model.rowCount(rootIndex.siblingAtColumn(Model::SIZE_COLUMN)), 0)
        << "children hang below the first column only";

    // Partly checked reads as selected, in the display and the edit role.
    leaf->Select(false);
    const QModelIndex rootBox = rootIndex.siblingAtColumn(Model::SELECTED_COLUMN);
    EXPECT_TRUE(model.data(rootBox).toBool());
    EXPECT_TRUE(model.data(rootBox, Model::EDIT_ROLE).toBool());
    EXPECT_EQ(model.data(rootIndex.siblingAtColumn(Model::STATUS_COLUMN)).toString(),
              "Ready / Partly checked");

    const char* titles[] = {"Name", "Size", "Error", "Status"};
    for (int section = 0; section < 4; ++section) {
        EXPECT_EQ(model.headerData(section, Qt::Horizontal).toString(), titles[section]);
    }
    EXPECT_FALSE(model.headerData(4, Qt::Horizontal).isValid());
    EXPECT_FALSE(model.headerData(0, Qt::Vertical).isValid());
    EXPECT_FALSE(model.headerData(0, Qt::Horizontal, Qt::SizeHintRole).isValid())
        << "a header view would read a title as an empty size";
}

// What a click does to the items is the items' business; here: which columns
// take one, that the role is not examined, and that the rest refuse.
TEST(GarbageItemModel, CheckBoxClicks) {
    ScanScope scope;
    Model model(&scope, false);
    Tester tester(&model, Tester::FailureReportingMode::Fatal);
    Recorder recorder(&model);
    TestItem* root = Folder("r", {100, 20, 3});
    scope.InsertNow(nullptr, {root});
    const QModelIndex rootIndex = model.index(0, 0);
    const QModelIndex box = model.index(1, Model::SELECTED_COLUMN, rootIndex);
    AbstractGarbage* clicked = root->GetChildren().at(1);
    for (int column = 0; column < Model::COLUMN_COUNT; ++column) {
        EXPECT_EQ(bool(model.flags(box.siblingAtColumn(column)) & Qt::ItemIsEditable),
                  column == Model::SELECTED_COLUMN || column == Model::ENABLED_COLUMN ||
                      column == Model::VIEW_META_DATA_COLUMN)
            << "column " << column;
    }
    EXPECT_FALSE(model.flags(QModelIndex()) & Qt::ItemIsEditable);

    // A view's check-box click: Qt::Unchecked reads false.
    EXPECT_TRUE(model.setData(box, Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_FALSE(clicked->IsSelected());
    EXPECT_EQ(scope.GetSelectedSize(), 103);
    EXPECT_TRUE(recorder.Changed(clicked));
    EXPECT_TRUE(recorder.Changed(root)) << "the parent turned partly checked";
    EXPECT_EQ(model.data(rootIndex.siblingAtColumn(Model::CHECK_STATE_COLUMN)).toInt(),
              AbstractGarbage::PARTLY_CHECKED);

    recorder.changed.clear();
    EXPECT_FALSE(model.setData(box.siblingAtColumn(Model::NAME_COLUMN), "other"));
    EXPECT_FALSE(model.setData(box.siblingAtColumn(Model::SIZE_COLUMN), 1));
    EXPECT_FALSE(model.setData(QModelIndex(), true));
    EXPECT_TRUE(recorder.changed.empty());

    EXPECT_TRUE(model.setData(box.siblingAtColumn(Model::ENABLED_COLUMN), true));
    EXPECT_TRUE(clicked->IsEnabled());
    EXPECT_TRUE(model.setData(box.siblingAtColumn(Model::VIEW_META_DATA_COLUMN), 42));
    EXPECT_EQ(clicked->GetViewMetaData().toInt(), 42);
}

namespace {

void CollectDescendants(AbstractGarbage* item, GarbageList* out) {
    for (AbstractGarbage* child : item->GetChildren()) {
        out->append(child);
        CollectDescendants(child, out);
    }
}

// Visits every row, so that a proxy maps (and forwards the changes of) all of them.
void MapAll(const QAbstractItemModel& model, const QModelIndex& parent = QModelIndex()) {
    for (int row = 0; row < model.rowCount(parent); ++row) {
        MapAll(model, model.index(row, 0, parent));
    }
}

}  // namespace

// Items without a state of their own show their parent's: a click changes every
// row that follows the clicked item. A view behind a proxy must hear of each of
// them, and of a folder's children as one range, not as one signal per child.
TEST(GarbageItemModel, AClickAnnouncesEveryRowThatFollowsIt) {
    for (const bool hideRoot : {false, true}) {
        SCOPED_TRACE(hideRoot ? "hidden root" : "shown root");
        ScanScope scope;
        Model model(&scope, hideRoot);
        Tester tester(&model, Tester::FailureReportingMode::Fatal);
        QSortFilterProxyModel proxy;
        proxy.setSourceModel(&model);
        Tester proxyTester(&proxy, Tester::FailureReportingMode::Fatal);
        Recorder recorder(&model);
        // root: big (300 files), nested: inner: 3 files. Enough to tell one range
        // per folder from one per row; the model testers check every signal, so
        // more would only cost time (minutes under ThreadSanitizer).
        TestItem* root = Item("root", 0);
        TestItem* big = Item("big", 0);
        TestItem* nested = Item("nested", 0);
        TestItem* inner = Item("inner", 0);
        scope.InsertNow(nullptr, {root});
        scope.InsertNow(root, {big, nested});
        QList<TestItem*> files;
        for (int i = 0; i < 300; ++i) {
            files.append(Item(QString::number(i), 1));
        }
        scope.InsertNow(big, files);
        scope.InsertNow(nested, {inner});
        scope.InsertNow(inner, {Item("i0", 1), Item("i1", 1), Item("i2", 1)});
        MapAll(proxy);

        std::set<AbstractGarbage*> seen;  // rows the proxy announced to its views
        QObject::connect(
            &proxy, &QAbstractItemModel::dataChanged,
            [&](const QModelIndex& from, const QModelIndex& to) {
                for (int row = from.row(); row <= to.row(); ++row) {
                    seen.insert(model.FetchGarbage(proxy.mapToSource(from.siblingAtRow(row))));
                }
            });
        auto unseenBelow = [&](AbstractGarbage* top) {
            GarbageList below;
            CollectDescendants(top, &below);
            return std::count_if(below.begin(), below.end(),
                                 [&](AbstractGarbage* item) { return seen.count(item) == 0; });
        };
        auto proxyCheckState = [&](AbstractGarbage* item) {
            return proxy.data(proxy.mapFromSource(model.GetIndex(item, Model::CHECK_STATE_COLUMN)))
                .toInt();
        };

        // Unchecking the root: the whole tree follows it, three levels deep.
        recorder.emissions = 0;
        if (hideRoot) {
            root->Select(false);
        } else {
            ASSERT_TRUE(proxy.setData(proxy.index(0, Model::SELECTED_COLUMN), false, Qt::EditRole));
        }
        ASSERT_EQ(inner->GetChildren().at(2)->GetCheckStateRaw(), AbstractGarbage::AS_PARENT);
        EXPECT_EQ(unseenBelow(root), 0);
        EXPECT_LE(recorder.emissions, 5) << "one range per folder";
        EXPECT_EQ(proxyCheckState(files[299]), AbstractGarbage::UNCHECKED);

        // One file checked: its 299 siblings get states of their own. Checking the
        // folder then sets each of them back to following it, one ItemChanged per
        // file, and still the views get one range for the folder.
        files[0]->Select(true);
        ASSERT_EQ(files[1]->GetCheckStateRaw(), AbstractGarbage::UNCHECKED);
        seen.clear();
        recorder.emissions = 0;
        QSignalSpy itemChanges(&scope, &AbstractGarbageScope::ItemChanged);
        ASSERT_TRUE(proxy.setData(proxy.mapFromSource(model.GetIndex(big, Model::SELECTED_COLUMN)),
                                  true, Qt::EditRole));
        EXPECT_GE(itemChanges.count(), 300);
        EXPECT_EQ(unseenBelow(big), 0);
        EXPECT_TRUE(seen.count(big));
        EXPECT_LE(recorder.emissions, 3) << "the folder's children, its row, the root's row";
        EXPECT_EQ(proxyCheckState(files[1]), AbstractGarbage::CHECKED);
    }
}

TEST(GarbageItemModel, ADestroyedScopeLeavesNoRows) {
    for (const bool hideRoot : {false, true}) {
        auto scope = std::make_unique<ScanScope>();
        Model model(scope.get(), hideRoot);
        Tester tester(&model, Tester::FailureReportingMode::Fatal);
        TestItem* root = Folder("r", {1, 2});
        scope->InsertNow(nullptr, {root});
        scope->InsertNow(static_cast<TestItem*>(root->GetChildren().at(0)), {Item("deep", 3)});
        const QPersistentModelIndex kept(model.index(0, 0));
        ASSERT_TRUE(kept.isValid());
        QSignalSpy reset(&model, &Model::modelReset);

        scope.reset();
        EXPECT_EQ(reset.count(), 1);
        EXPECT_EQ(model.GetScope(), nullptr);
        EXPECT_EQ(model.rowCount(), 0);
        EXPECT_FALSE(kept.isValid());
        EXPECT_FALSE(model.index(0, 0).isValid());
    }
}

// An insertion of no rows (or a negative count) must not reach the views,
// which take first > last for an error; later insertions still pair up.
TEST(GarbageItemModel, ZeroRowInsertionsReachNoView) {
    for (const bool hideRoot : {false, true}) {
        ScanScope scope;
        Model model(&scope, hideRoot);
        Tester tester(&model, Tester::FailureReportingMode::Fatal);
        QSignalSpy about(&model, &Model::rowsAboutToBeInserted);
        QSignalSpy reset(&model, &Model::modelAboutToBeReset);
        scope.InsertNow(nullptr, {});  // no roots yet: would be the first root
        EXPECT_EQ(reset.count(), 0);
        TestItem* root = Folder("r", {1});
        scope.InsertNow(nullptr, {root});
        about.clear();
        scope.InsertNow(nullptr, {});
        scope.InsertNow(root, {});
        scope.InsertNow(static_cast<TestItem*>(root->GetChildren().at(0)), {});
        emit scope.ItemsAboutToBeInserted(root, -1);
        emit scope.ItemsInserted(root, -1);
        EXPECT_EQ(about.count(), 0);
        scope.InsertNow(root, {Item("n", 1)});
        EXPECT_EQ(about.count(), 1);
        ExpectMirrorsScope(model, scope);
    }
}

// Changes made while rows are being inserted (the ancestors' sizes grow with every
// row) reach the views after rowsInserted, once per item.
TEST(GarbageItemModel, ChangesDuringAnInsertionFollowIt) {
    ScanScope scope;
    Model model(&scope, false);
    Tester tester(&model, Tester::FailureReportingMode::Fatal);
    TestItem* root = new TestItem("root", 0);
    scope.InsertNow(nullptr, {root});
    TestItem* folder = new TestItem("folder", 0);
    scope.InsertNow(root, {folder});
    QStringList events;
    QObject::connect(&model, &Model::rowsAboutToBeInserted, [&] { events << "about"; });
    QObject::connect(&model, &Model::rowsInserted, [&] { events << "inserted"; });
    QObject::connect(&model, &Model::dataChanged, [&](const QModelIndex& from) {
        events << model.FetchGarbage(from)->GetName();
    });
    emit scope.ItemsAboutToBeInserted(folder, 3);
    for (int i = 0; i < 3; ++i) {
        folder->Add(QString::number(i), 10);
    }
    emit scope.ItemsInserted(folder, 3);
    EXPECT_EQ(events, QStringList({"about", "inserted", "folder", "root"}));
    EXPECT_EQ(model.data(model.GetIndex(root, Model::SIZE_COLUMN)).toLongLong(), 30);
}

// Rows among many siblings come from a lazily kept map; it must stay right when
// the list grows in batches and when it changes behind the model's back.
TEST(GarbageItemModel, RowsInALargeFolder) {
    ScanScope scope;
    Model model(&scope, true);
    TestItem* root = new TestItem("root", 0);
    scope.InsertNow(nullptr, {root});
    TestItem* folder = new TestItem("big", 0);
    scope.InsertNow(root, {folder});
    const int rowCount = 100000;
    for (int b = 0; b < rowCount; b += 5000) {
        QList<TestItem*> items;
        for (int i = b; i < b + 5000; ++i) {
            items.append(Item(QString::number(i), 1));
        }
        scope.InsertNow(folder, items);
    }
    const QModelIndex folderIndex = model.index(0, 0);
    ASSERT_EQ(model.rowCount(folderIndex), rowCount);
    // A grandchild under the last child: its parent() needs that child's row.
    scope.InsertNow(static_cast<TestItem*>(folder->GetChildren().last()), {Item("leaf", 1)});
    const QModelIndex leaf = model.index(0, 0, model.index(rowCount - 1, 0, folderIndex));
    EXPECT_EQ(model.parent(leaf).row(), rowCount - 1);

    // Every child's change lands on its own row, in whatever order they come.
    std::vector<int> rows;
    std::vector<int> expected;
    QObject::connect(&model, &Model::dataChanged,
                     [&](const QModelIndex& from) { rows.push_back(from.row()); });
    const GarbageList children = folder->GetChildren();
    auto notify = [&](int row) {
        expected.push_back(row);
        children[row]->NotifyChanged();
    };
    for (int row = rowCount - 1; row >= 0; row -= 2) {
        notify(row);
    }
    for (int row = 0; row < rowCount; row += 2) {
        notify(row);
    }
    EXPECT_EQ(rows, expected);
}

TEST(GarbageItemModel, RowMapHealsAfterChangesBehindTheModel) {
    // A container whose list the test rearranges without any signal.
    class Shuffled : public TestItem {
    public:
        using TestItem::TestItem;
        GarbageList GetChildren() const override { return m_list; }
        GarbageList m_list;
    };
    ScanScope scope;
    Model model(&scope, false);
    auto* folder = new Shuffled("f", 0);
    scope.InsertNow(nullptr, {folder});
    for (int i = 0; i < 300; ++i) {
        folder->m_list.append(new TestItem(QString::number(i), 1, folder));
    }
    const GarbageList items = folder->m_list;
    EXPECT_EQ(model.GetIndex(items[10]).row(), 10);
    std::reverse(folder->m_list.begin(), folder->m_list.end());
    EXPECT_EQ(model.GetIndex(items[10]).row(), 289);
    EXPECT_EQ(model.GetIndex(items[299]).row(), 0);
    folder->m_list.removeAt(0);
    EXPECT_FALSE(model.GetIndex(items[299]).isValid()) << "no longer listed";
    EXPECT_EQ(model.GetIndex(items[0]).row(), 298);
    folder->m_list.append(items[299]);
    EXPECT_EQ(model.GetIndex(items[299]).row(), 299);
}
