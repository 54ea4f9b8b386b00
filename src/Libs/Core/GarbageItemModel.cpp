#include "Core/GarbageItemModel.h"

#include <glog/logging.h>

#include <QHash>
#include <QPointer>
#include <QSet>
#include <QVector>
#include <algorithm>
#include <utility>
#include <vector>

#include "Core/AbstractGarbageScope.h"

namespace Varnex::Cleaner {

namespace {

// Below this many siblings a linear search is cheaper than keeping a row map.
const int linearSearchLimit = 64;

}  // namespace

// Rows. parent() and every change notification need the row of an item among its
// siblings, and AbstractGarbage::GetIndex() searches the sibling list: a view
// walking a folder of n children would pay O(n) per index, O(n^2) in all. So the
// model keeps, per parent with many children, a map item -> row, filled lazily:
// - every answer is checked against the live list (siblings[row] == item), so a
//   stale entry can never produce a wrong row, only a rebuild;
// - a miss first maps the rows appended since the map was filled (scopes only
//   append during a scan), so a scan costs O(1) per inserted row;
// - anything else (an item moved or removed outside the model's signals) rebuilds
//   the map once; an item that is still not found is remembered as absent until
//   the list grows.
// The maps are dropped on every reset (scope clear, first root in hide-root mode,
// scope destroyed); keys are never dereferenced.
//
// Shown parents. An index is valid only when every ancestor of its item is
// shown, and a change below a folder n levels deep notifies all n ancestors:
// checking each of them up to the root would cost O(n^2) per change. So the
// model remembers, per folder, whether its children are rows (it is a shown
// row, or the hidden first root). What it remembers holds while the tree
// keeps its shape (AbstractGarbage::GetTreeVersion()) and the model hears no
// insertion or reset (`shapeEpoch`); then a climb stops at the first folder
// known. The row of the item itself is always checked against the live list.
//
// Changes collected during a check-state change or an insertion are whole-row
// ranges per parent, plus the sources whose followers must be walked; both are
// dropped by a reset. Items are deleted only by the scope's reset (or with the
// scope), as every index of the model already assumes.
struct GarbageItemModel::Impl : AbstractGarbage::CheckStateWatcher {
    // What the ItemsInserted that closes an ItemsAboutToBeInserted must do.
    enum class Close { NOTHING, END_INSERT, END_RESET };
    struct Insertion {
        Close close = Close::NOTHING;
        AbstractGarbage* where = nullptr;
        int first = 0;
        int count = 0;
    };
    struct RowMap {
        QHash<const AbstractGarbage*, int> rows;
        int count = 0;            // rows 0..count-1 of the list are mapped
        bool exhaustive = false;  // built from the whole list as it is now
    };
    // Rows to announce below one parent: first..last, whole rows.
    struct Range {
        QModelIndex parentIndex;  // invalid: the top level
        int first = 0;
        int last = 0;
    };
    // Ranges by parent item (null: the scope's roots), in the order first met.
    struct Ranges {
        QVector<Range> list;
        QHash<const AbstractGarbage*, int> byParent;

        bool Has(const AbstractGarbage* parent) const { return byParent.contains(parent); }
        // `parentIndex` is read only when the parent is new.
        void Add(const AbstractGarbage* parent, const QModelIndex& parentIndex, int first,
                 int last) {
            const auto it = byParent.constFind(parent);
            if (it == byParent.constEnd()) {
                byParent.insert(parent, list.size());
                list.append(Range{parentIndex, first, last});
                return;
            }
            Range& range = list[it.value()];
            range.first = std::min(range.first, first);
            range.last = std::max(range.last, last);
        }
        void Clear() {
            list.clear();
            byParent.clear();
        }
    };

    explicit Impl(GarbageItemModel* model) : q(model) {}
    void CheckStateChangeEnded(const GarbageList& sources) override {
        q->OnCheckStateChangeEnded(sources);
    }

    GarbageItemModel* q;

    QPointer<AbstractGarbageScope> scope;
    bool hideRoot = false;
    int resetDepth = 0;             // open beginResetModel() calls
    QVector<Insertion> insertions;  // open insertions, innermost last
    // Items changed while rows were being inserted, announced after endInsertRows:
    // proxies and views do not expect dataChanged between begin and end, and an
    // insertion re-sums its ancestors once per row, so this also folds repeats.
    QVector<QPointer<AbstractGarbage>> deferred;
    QSet<const AbstractGarbage*> deferredSet;
    // Sources of check-state changes that ended during an insertion.
    QVector<QPointer<AbstractGarbage>> deferredSources;
    // Rows changed during the open check-state change.
    Ranges pending;
    // Counts resets: ranges collected before one are void.
    quint64 generation = 0;
    mutable QHash<const AbstractGarbage*, RowMap> rowMaps;  // by parent; null: the scope's roots
    // Folders known to show their children as rows (true) or not (false),
    // learnt under `shownVersion` and `shownEpoch`; keys are never dereferenced.
    mutable QHash<const AbstractGarbage*, bool> shownParents;
    mutable quint64 shownVersion = 0;
    mutable quint64 shownEpoch = 0;
    quint64 shapeEpoch = 1;  // advanced by every insertion signal and reset

    AbstractGarbage* FirstRoot() const {
        if (!scope) {
            return nullptr;
        }
        const GarbageList roots = scope->GetRoots();
        return roots.isEmpty() ? nullptr : roots.first();
    }

    // The children of `parent`, or the scope's roots for null.
    GarbageList Siblings(const AbstractGarbage* parent) const {
        if (parent) {
            return parent->GetChildren();
        }
        return scope ? scope->GetRoots() : GarbageList();
    }

    int RowOf(const AbstractGarbage* item, const AbstractGarbage* parent) const {
        const GarbageList siblings = Siblings(parent);
        const int size = siblings.size();
        auto* key = const_cast<AbstractGarbage*>(item);
        if (size <= linearSearchLimit) {
            return siblings.indexOf(key);
        }
        auto holds = [&](int row) { return row >= 0 && row < size && siblings.at(row) == item; };
        RowMap& map = rowMaps[parent];
        int row = map.rows.value(item, -1);
        if (holds(row)) {
            return row;
        }
        if (row < 0 && map.count < size) {
            map.rows.reserve(size);
            for (int i = map.count; i < size; ++i) {
                map.rows.insert(siblings.at(i), i);
            }
            map.count = size;
            map.exhaustive = false;
            row = map.rows.value(item, -1);
            if (holds(row)) {
                return row;
            }
        }
        if (row < 0 && map.exhaustive && map.count == size) {
            return -1;
        }
        map.rows.clear();
        map.rows.reserve(size);
        for (int i = 0; i < size; ++i) {
            map.rows.insert(siblings.at(i), i);
        }
        map.count = size;
        map.exhaustive = true;
        row = map.rows.value(item, -1);
        return holds(row) ? row : -1;
    }

    // Whether the children of `node` are rows of the model: it is a shown row
    // itself, or, with hide root, the first root.
    bool IsShownParent(const AbstractGarbage* node) const {
        const quint64 version = AbstractGarbage::GetTreeVersion();
        if (shownVersion != version || shownEpoch != shapeEpoch) {
            shownParents.clear();
            shownVersion = version;
            shownEpoch = shapeEpoch;
        }
        thread_local std::vector<const AbstractGarbage*> path;
        path.clear();
        bool shown = false;
        for (;;) {
            const auto known = shownParents.constFind(node);
            if (known != shownParents.constEnd()) {
                shown = known.value();
                break;
            }
            path.push_back(node);
            const AbstractGarbage* parent = node->GetParent();
            if (!parent) {
                if (hideRoot) {
                    shown = node == FirstRoot();
                } else {
                    const int r = RowOf(node, nullptr);
                    shown = r >= 0 && !IsUnannounced(nullptr, r);
                }
                break;
            }
            const int r = RowOf(node, parent);
            if (r < 0 || IsUnannounced(parent, r)) {
                break;  // not a row: neither is anything below it
            }
            node = parent;
        }
        for (const AbstractGarbage* visited : path) {
            shownParents.insert(visited, shown);
        }
        return shown;
    }

    // The tree may have another shape than the one remembered.
    void ShapeChanged() { ++shapeEpoch; }

    // True while `row` under `parent` belongs to an insertion that has been
    // announced but not finished: views must not hear of it before rowsInserted.
    bool IsUnannounced(const AbstractGarbage* parent, int row) const {
        for (const Insertion& insertion : insertions) {
            if (insertion.close == Close::END_INSERT && insertion.where == parent &&
                row >= insertion.first) {
                return true;
            }
        }
        return false;
    }

    bool IsInserting() const {
        for (const Insertion& insertion : insertions) {
            if (insertion.close == Close::END_INSERT) {
                return true;
            }
        }
        return false;
    }

    void DropDeferred() {
        deferred.clear();
        deferredSet.clear();
        deferredSources.clear();
        pending.Clear();
    }

    // Before every beginResetModel(): whatever was collected is superseded.
    void Superseded() {
        ShapeChanged();
        ++generation;
        DropDeferred();
    }

    // Adds the row of `item`, when it is shown.
    void AddRow(AbstractGarbage* item, Ranges* ranges) const {
        const QModelIndex index = q->GetIndex(item, NAME_COLUMN);
        if (!index.isValid()) {
            return;
        }
        const AbstractGarbage* parent = item->GetParent();
        ranges->Add(parent, ranges->Has(parent) ? QModelIndex() : q->parent(index), index.row(),
                    index.row());
    }

    // Adds the rows of every item that follows `source` (AS_PARENT, at any
    // depth) and is shown. Each parent is walked once per `walked`, so
    // overlapping sources cost nothing more. Only while no insertion is open.
    void AddFollowers(AbstractGarbage* source, Ranges* ranges,
                      QSet<const AbstractGarbage*>* walked) const {
        if (!source || !scope || source->GetScope() != scope) {
            return;
        }
        QModelIndex sourceIndex;  // with hide root, the first root's children are the top level
        if (!(hideRoot && source == FirstRoot())) {
            sourceIndex = q->GetIndex(source, NAME_COLUMN);
            if (!sourceIndex.isValid()) {
                return;
            }
        }
        std::vector<std::pair<AbstractGarbage*, QModelIndex>> stack{{source, sourceIndex}};
        while (!stack.empty()) {
            const std::pair<AbstractGarbage*, QModelIndex> top = stack.back();
            stack.pop_back();
            if (walked->contains(top.first)) {
                continue;
            }
            walked->insert(top.first);
            const GarbageList children = top.first->GetChildren();
            int first = -1;
            int last = -1;
            for (int row = 0; row < children.size(); ++row) {
                AbstractGarbage* child = children.at(row);
                if (child->GetCheckStateRaw() != AbstractGarbage::AS_PARENT) {
                    continue;
                }
                if (first < 0) {
                    first = row;
                }
                last = row;
                if (!child->GetChildren().isEmpty()) {
                    stack.emplace_back(child, q->createIndex(row, NAME_COLUMN, child));
                }
            }
            if (first >= 0) {
                ranges->Add(top.first, top.second, first, last);
            }
        }
    }

    void EmitRanges(const QVector<Range>& ranges) {
        // A slot may reset the scope: what is left then belongs to a tree that is gone.
        const quint64 start = generation;
        for (const Range& range : ranges) {
            if (generation != start || !scope) {
                return;
            }
            const QModelIndex from = q->index(range.first, NAME_COLUMN, range.parentIndex);
            const QModelIndex to = q->index(range.last, VIEW_META_DATA_COLUMN, range.parentIndex);
            if (from.isValid() && to.isValid()) {
                emit q->dataChanged(from, to, QVector<int>());
            }
        }
    }
};

GarbageItemModel::GarbageItemModel(AbstractGarbageScope* scope, bool hideRoot, QObject* parent)
    : QAbstractItemModel(parent), m_impl(std::make_unique<Impl>(this)) {
    m_impl->scope = scope;
    m_impl->hideRoot = hideRoot;
    if (!scope) {
        return;
    }
    connect(scope, &AbstractGarbageScope::ItemsAboutToBeInserted, this,
            &GarbageItemModel::OnRowsAboutToBeInserted, Qt::DirectConnection);
    connect(scope, &AbstractGarbageScope::ItemsInserted, this, &GarbageItemModel::OnRowsInserted,
            Qt::DirectConnection);
    connect(scope, &AbstractGarbageScope::BeforeClear, this, &GarbageItemModel::BeforeScopeClear,
            Qt::DirectConnection);
    connect(scope, &AbstractGarbageScope::AfterClear, this, &GarbageItemModel::AfterScopeClear,
            Qt::DirectConnection);
    connect(scope, &AbstractGarbageScope::ItemChanged, this, &GarbageItemModel::OnGarbageChanged,
            Qt::DirectConnection);
    connect(
        scope, &QObject::destroyed, this, [this] { OnScopeDestroyed(); }, Qt::DirectConnection);
    AbstractGarbage::AddCheckStateWatcher(m_impl.get());
}

GarbageItemModel::~GarbageItemModel() {
    AbstractGarbage::RemoveCheckStateWatcher(m_impl.get());
}

AbstractGarbageScope* GarbageItemModel::GetScope() const {
    return m_impl->scope.data();
}

bool GarbageItemModel::IsRootHidden() const {
    return m_impl->hideRoot;
}

bool GarbageItemModel::IsOwnIndex(const QModelIndex& index) const {
    // An index outliving its scope may point at deleted items: never follow it.
    return index.row() >= 0 && index.column() >= 0 && index.column() < COLUMN_COUNT &&
           index.model() == this && index.internalPointer() && m_impl->scope;
}

AbstractGarbage* GarbageItemModel::FetchGarbage(const QModelIndex& index) const {
    return IsOwnIndex(index) ? static_cast<AbstractGarbage*>(index.internalPointer()) : nullptr;
}

GarbageList GarbageItemModel::GetRoots() const {
    if (!m_impl->hideRoot) {
        return m_impl->Siblings(nullptr);
    }
    const AbstractGarbage* first = m_impl->FirstRoot();
    return first ? first->GetChildren() : GarbageList();
}

QModelIndex GarbageItemModel::GetIndex(AbstractGarbage* item, int column) const {
    const Impl& d = *m_impl;
    if (!item || !d.scope || column < 0 || column >= COLUMN_COUNT) {
        return QModelIndex();
    }
    // The item must be in its parent's list and announced, and the parent
    // must show its children (every ancestor shown, up to a shown root or,
    // with hide root, the first root).
    const AbstractGarbage* parent = item->GetParent();
    if (!parent && d.hideRoot) {
        return QModelIndex();
    }
    if (parent && !d.IsShownParent(parent)) {
        return QModelIndex();
    }
    const int row = d.RowOf(item, parent);
    if (row < 0 || d.IsUnannounced(parent, row)) {
        return QModelIndex();
    }
    return createIndex(row, column, item);
}

QModelIndex GarbageItemModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column >= COLUMN_COUNT || !m_impl->scope) {
        return QModelIndex();
    }
    GarbageList items;
    if (parent.isValid()) {
        const AbstractGarbage* item = FetchGarbage(parent);
        if (!item || parent.column() != NAME_COLUMN) {
            return QModelIndex();
        }
        items = item->GetChildren();
    } else {
        items = GetRoots();
    }
    if (row >= items.size()) {
        return QModelIndex();
    }
    return createIndex(row, column, items.at(row));
}

QModelIndex GarbageItemModel::parent(const QModelIndex& index) const {
    const AbstractGarbage* item = FetchGarbage(index);
    if (!item) {
        return QModelIndex();
    }
    const AbstractGarbage* parentItem = item->GetParent();
    if (!parentItem) {
        return QModelIndex();
    }
    const AbstractGarbage* grandParent = parentItem->GetParent();
    // With hide root the first root's children are the top level. The index came
    // from this model, so its item is shown and needs no further check.
    if (m_impl->hideRoot && !grandParent) {
        return QModelIndex();
    }
    const int row = m_impl->RowOf(parentItem, grandParent);
    if (row < 0) {
        return QModelIndex();
    }
    return createIndex(row, NAME_COLUMN, const_cast<AbstractGarbage*>(parentItem));
}

int GarbageItemModel::rowCount(const QModelIndex& parent) const {
    if (!m_impl->scope) {
        return 0;
    }
    if (parent.isValid()) {
        // Children hang below the first column only, as views and
        // QAbstractItemModelTester expect.
        const AbstractGarbage* item = FetchGarbage(parent);
        return item && parent.column() == NAME_COLUMN ? item->GetChildren().size() : 0;
    }
    return GetRoots().size();
}

int GarbageItemModel::columnCount(const QModelIndex&) const {
    return COLUMN_COUNT;
}

QVariant GarbageItemModel::data(const QModelIndex& index, int role) const {
    AbstractGarbage* item = FetchGarbage(index);
    if (!item) {
        return QVariant();
    }
    if (role == ITEM_ROLE) {
        return QVariant::fromValue(item);
    }
    if (role == EDIT_ROLE) {
        return index.column() == SELECTED_COLUMN ? QVariant(item->IsSelected()) : QVariant();
    }
    if (role != DISPLAY_ROLE) {
        return QVariant();
    }
    switch (static_cast<Column>(index.column())) {
        case NAME_COLUMN:
            return m_impl->scope->GetItemName(item);
        case SIZE_COLUMN:
            return static_cast<qlonglong>(item->GetSize());
        case ERROR_COLUMN:
            return item->GetErrorString();
        case STATUS_COLUMN:
            return item->GetStatusString() + QStringLiteral(" / ") + item->GetCheckStateString();
        case SELECTED_COLUMN:
            return item->GetCheckState() != AbstractGarbage::UNCHECKED;
        case CHECK_STATE_COLUMN:
            return static_cast<int>(item->GetCheckState());
        case STATUS_CODE_COLUMN:
            return static_cast<int>(item->GetStatus());
        case ERROR_CODE_COLUMN:
            return static_cast<int>(item->GetError());
        case PATH_COLUMN:
            return item->GetPath();
        case LAST_READ_TIME_COLUMN:
            return item->GetLastReadTime();
        case KIND_COLUMN:
            return QVariant::fromValue(item->GetKind());
        case DESCRIPTION_COLUMN:
            return item->GetDescription();
        case ENABLED_COLUMN:
            return item->IsEnabled();
        case VIEW_META_DATA_COLUMN:
            return item->GetViewMetaData();
        case COLUMN_COUNT:
            break;
    }
    return QVariant();
}

bool GarbageItemModel::setData(const QModelIndex& index, const QVariant& value, int) {
    AbstractGarbage* item = FetchGarbage(index);
    if (!item) {
        return false;
    }
    switch (index.column()) {
        case SELECTED_COLUMN:
            item->Select(value.toBool());
            return true;
        case ENABLED_COLUMN:
            item->SetEnabled(value.toBool());
            return true;
        case VIEW_META_DATA_COLUMN:
            item->SetViewMetaData(value);
            return true;
        default:
            return false;
    }
}

QVariant GarbageItemModel::headerData(int section, Qt::Orientation orientation, int role) const {
    // Titles answer the text roles only: a header view also asks for size hints,
    // fonts and icons, and a string there would be converted into nonsense.
    if (orientation != Qt::Horizontal || (role != Qt::DisplayRole && role != Qt::EditRole)) {
        return QVariant();
    }
    switch (section) {
        case NAME_COLUMN:
            return tr("Name");
        case SIZE_COLUMN:
            return tr("Size");
        case ERROR_COLUMN:
            return tr("Error");
        case STATUS_COLUMN:
            return tr("Status");
        default:
            return QVariant();
    }
}

Qt::ItemFlags GarbageItemModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags result = QAbstractItemModel::flags(index);
    const int column = index.column();
    if (FetchGarbage(index) && (column == SELECTED_COLUMN || column == ENABLED_COLUMN ||
                                column == VIEW_META_DATA_COLUMN)) {
        result |= Qt::ItemIsEditable;
    }
    return result;
}

void GarbageItemModel::OnRowsAboutToBeInserted(AbstractGarbage* where, int count) {
    Impl& d = *m_impl;
    d.ShapeChanged();
    Impl::Insertion insertion;
    insertion.where = where;
    insertion.count = count;
    // Nothing to announce: no scope, no rows, or a reset in progress (its end
    // shows whatever arrived meanwhile).
    if (!d.scope || count <= 0 || d.resetDepth > 0) {
        d.insertions.append(insertion);
        return;
    }
    QModelIndex parentIndex;
    if (d.hideRoot) {
        AbstractGarbage* first = d.FirstRoot();
        if (!where) {
            // New roots are never rows themselves; but the first root brings its
            // children (possibly attached already) as the new top level, which
            // cannot be announced before it exists: reset around it.
            if (!first) {
                ++d.resetDepth;
                if (d.resetDepth == 1) {
                    d.Superseded();
                    beginResetModel();
                }
                insertion.close = Impl::Close::END_RESET;
            }
            d.insertions.append(insertion);
            return;
        }
        if (where != first) {
            parentIndex = GetIndex(where, NAME_COLUMN);
            if (!parentIndex.isValid()) {
                d.insertions.append(insertion);  // below another root: not shown
                return;
            }
        }
    } else if (where) {
        parentIndex = GetIndex(where, NAME_COLUMN);
        if (!parentIndex.isValid()) {
            d.insertions.append(insertion);  // its parent is not shown yet
            return;
        }
    }
    insertion.first = d.Siblings(where).size();
    insertion.close = Impl::Close::END_INSERT;
    d.insertions.append(insertion);
    beginInsertRows(parentIndex, insertion.first, insertion.first + count - 1);
}

void GarbageItemModel::OnRowsInserted(AbstractGarbage* where, int count) {
    Impl& d = *m_impl;
    d.ShapeChanged();
    if (d.insertions.isEmpty()) {
        LOG(WARNING) << "Item model: ItemsInserted(" << count << ") without ItemsAboutToBeInserted";
        return;
    }
    const Impl::Insertion insertion = d.insertions.takeLast();
    if (insertion.where != where || insertion.count != count) {
        LOG(WARNING) << "Item model: ItemsInserted(" << count
                     << ") does not match ItemsAboutToBeInserted(" << insertion.count << ")";
    }
    switch (insertion.close) {
        case Impl::Close::NOTHING:
            return;
        case Impl::Close::END_RESET:
            AfterScopeClear();
            return;
        case Impl::Close::END_INSERT:
            break;
    }
    endInsertRows();
    if (!d.IsInserting()) {
        FlushChanges();
    }
    // A scope that appended another number of rows than it announced leaves the
    // views out of step; a reset brings them back to what the tree holds.
    const int rows = d.Siblings(insertion.where).size();
    if (rows != insertion.first + insertion.count) {
        LOG(WARNING) << "Item model: " << insertion.count << " rows announced, "
                     << rows - insertion.first << " inserted; resetting";
        BeforeScopeClear();
        AfterScopeClear();
    }
}

void GarbageItemModel::BeforeScopeClear() {
    if (m_impl->resetDepth++ == 0) {
        m_impl->Superseded();
        beginResetModel();
    }
}

void GarbageItemModel::AfterScopeClear() {
    Impl& d = *m_impl;
    if (d.resetDepth == 0) {
        return;
    }
    if (--d.resetDepth == 0) {
        d.ShapeChanged();
        d.rowMaps.clear();
        d.DropDeferred();
        endResetModel();
    }
}

void GarbageItemModel::OnGarbageChanged(AbstractGarbage* garbage) {
    Impl& d = *m_impl;
    if (!garbage || d.resetDepth > 0) {
        return;
    }
    if (d.IsInserting()) {
        if (!d.deferredSet.contains(garbage)) {
            d.deferredSet.insert(garbage);
            d.deferred.append(garbage);
        }
        return;
    }
    if (AbstractGarbage::CheckStateChange::IsOpen()) {
        d.AddRow(garbage, &d.pending);
        return;
    }
    EmitChanged(garbage);
}

void GarbageItemModel::OnCheckStateChangeEnded(const GarbageList& sources) {
    Impl& d = *m_impl;
    if (!d.scope || d.resetDepth > 0) {
        d.pending.Clear();
        return;
    }
    if (d.IsInserting()) {
        // Announced with the insertion's other changes, after rowsInserted.
        for (AbstractGarbage* source : sources) {
            d.deferredSources.append(source);
        }
        return;
    }
    Impl::Ranges ranges = std::move(d.pending);
    d.pending.Clear();
    QSet<const AbstractGarbage*> walked;
    for (AbstractGarbage* source : sources) {
        d.AddFollowers(source, &ranges, &walked);
    }
    d.EmitRanges(ranges.list);
}

void GarbageItemModel::FlushChanges() {
    Impl& d = *m_impl;
    const QVector<QPointer<AbstractGarbage>> items = std::move(d.deferred);
    const QVector<QPointer<AbstractGarbage>> sources = std::move(d.deferredSources);
    Impl::Ranges ranges = std::move(d.pending);
    d.DropDeferred();
    for (const QPointer<AbstractGarbage>& item : items) {
        if (item) {
            d.AddRow(item.data(), &ranges);
        }
    }
    QSet<const AbstractGarbage*> walked;
    for (const QPointer<AbstractGarbage>& source : sources) {
        d.AddFollowers(source.data(), &ranges, &walked);
    }
    d.EmitRanges(ranges.list);
}

void GarbageItemModel::EmitChanged(AbstractGarbage* garbage) {
    const QModelIndex from = GetIndex(garbage, NAME_COLUMN);
    if (!from.isValid()) {
        return;
    }
    emit dataChanged(from, from.siblingAtColumn(VIEW_META_DATA_COLUMN), QVector<int>());
}

void GarbageItemModel::OnScopeDestroyed() {
    // The scope's items are gone (or going) already; every index must go too.
    // Open insertions are dropped without rowsInserted: the reset supersedes them.
    Impl& d = *m_impl;
    d.scope.clear();
    d.insertions.clear();
    d.rowMaps.clear();
    d.Superseded();
    if (d.resetDepth == 0) {
        beginResetModel();
    }
    d.resetDepth = 0;
    endResetModel();
}

}  // namespace Varnex::Cleaner
