#pragma once

#include <QAbstractItemModel>
#include <memory>

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner {

class AbstractGarbageScope;

// Presents the live item tree of one scope to Qt item views. The model keeps no
// copy of the tree: rows are the scope's root items and each item's children,
// looked up on demand; the model follows the scope's insertion, clear and change
// signals. With hide root, the children of the scope's first root are the
// top-level rows and the roots themselves are not shown.
//
// Threads: the scope's thread (the main thread) only; the scope's signals reach
// the model through direct connections.
//
// Ownership: the model does not own the scope. It watches it, though: when the
// scope is destroyed the model resets and shows no rows from then on.
//
// Children hang below column 0 only; an index of any other column has none.
//
// Changes: an item's ItemChanged becomes dataChanged over its whole row. During
// a check-state change (AbstractGarbage::CheckStateChange) the rows are
// collected instead, together with every row whose item follows a changed one
// (AS_PARENT, at any depth), and announced when the change ends: one whole-row
// range per parent (its first to its last changed row), so a click on a folder
// of n children costs O(n) once and a handful of signals. Changes made while
// rows are being inserted follow the insertion the same way.
class GarbageItemModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column {
        NAME_COLUMN = 0,             // display name (the scope's name filters apply), QString
        SIZE_COLUMN = 1,             // bytes, qlonglong
        ERROR_COLUMN = 2,            // error text, QString
        STATUS_COLUMN = 3,           // "<status> / <check state>", QString
        SELECTED_COLUMN = 4,         // check state is not UNCHECKED, bool; editable: Select()
        CHECK_STATE_COLUMN = 5,      // AbstractGarbage::CheckState as int
        STATUS_CODE_COLUMN = 6,      // AbstractGarbage::Status as int
        ERROR_CODE_COLUMN = 7,       // AbstractGarbage::Error as int
        PATH_COLUMN = 8,             // QString
        LAST_READ_TIME_COLUMN = 9,   // QDateTime
        KIND_COLUMN = 10,            // AbstractGarbage::Kind
        DESCRIPTION_COLUMN = 11,     // QString
        ENABLED_COLUMN = 12,         // bool; editable: SetEnabled()
        VIEW_META_DATA_COLUMN = 13,  // the item's view metadata; editable: SetViewMetaData()
        COLUMN_COUNT = 14
    };
    enum Role {
        DISPLAY_ROLE = Qt::DisplayRole,  // the column values above
        EDIT_ROLE = Qt::EditRole,        // SELECTED_COLUMN only: IsSelected()
        ITEM_ROLE = Qt::UserRole         // every column: the AbstractGarbage* of the row
    };

    GarbageItemModel(AbstractGarbageScope* scope, bool hideRoot, QObject* parent = nullptr);
    ~GarbageItemModel() override;

    // The scope shown, or null once it has been destroyed.
    AbstractGarbageScope* GetScope() const;
    bool IsRootHidden() const;

    // The item of an index of this model; null for an invalid or foreign index.
    AbstractGarbage* FetchGarbage(const QModelIndex& index) const;
    // The items shown as top-level rows.
    GarbageList GetRoots() const;
    // The index of a shown item in `column`; invalid when the item is not shown
    // (with hide root: a root item or an item below a root other than the first).
    QModelIndex GetIndex(AbstractGarbage* item, int column = NAME_COLUMN) const;

    QModelIndex index(int row, int column,
                      const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // The role is not examined: SELECTED_COLUMN calls Select(value.toBool()),
    // ENABLED_COLUMN SetEnabled(value.toBool()), VIEW_META_DATA_COLUMN
    // SetViewMetaData(value). The model emits nothing itself: the item's change
    // comes back through the scope's ItemChanged.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

public slots:
    void OnRowsAboutToBeInserted(Varnex::Cleaner::AbstractGarbage* where, int count);
    void OnRowsInserted(Varnex::Cleaner::AbstractGarbage* where, int count);
    void BeforeScopeClear();
    void AfterScopeClear();
    void OnGarbageChanged(Varnex::Cleaner::AbstractGarbage* garbage);

private:
    struct Impl;

    void OnScopeDestroyed();
    void FlushChanges();
    void EmitChanged(AbstractGarbage* garbage);
    void OnCheckStateChangeEnded(const GarbageList& sources);
    bool IsOwnIndex(const QModelIndex& index) const;

    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner
