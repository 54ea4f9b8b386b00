#include "CheckBoxProxyModel.h"

#include "CleanerCommon/Sizes.h"
#include "Core/AbstractGarbage.h"
#include "Core/GarbageItemModel.h"

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::GarbageItemModel;

namespace {

QModelIndex Sibling(const QModelIndex& index, int column) {
    return index.sibling(index.row(), column);
}

}  // namespace

QVariant CheckBoxProxyModel::data(const QModelIndex& index, int role) const {
    if (role == Qt::CheckStateRole && index.column() == GarbageItemModel::NAME_COLUMN) {
        const int state = QIdentityProxyModel::data(
                              Sibling(index, GarbageItemModel::CHECK_STATE_COLUMN), Qt::DisplayRole)
                              .toInt();
        switch (state) {
            case AbstractGarbage::CHECKED:
                return Qt::Checked;
            case AbstractGarbage::PARTLY_CHECKED:
                return Qt::PartiallyChecked;
            default:
                return Qt::Unchecked;
        }
    }
    if (role == Qt::DisplayRole && index.column() == GarbageItemModel::SIZE_COLUMN) {
        return Varnex::Cleaner::FormatSize(QIdentityProxyModel::data(index, role).toLongLong(), 0);
    }
    return QIdentityProxyModel::data(index, role);
}

bool CheckBoxProxyModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role == Qt::CheckStateRole && index.column() == GarbageItemModel::NAME_COLUMN) {
        const bool on = value.toInt() != Qt::Unchecked;
        const bool done = QIdentityProxyModel::setData(
            Sibling(index, GarbageItemModel::SELECTED_COLUMN), on, Qt::EditRole);
        return done;
    }
    return QIdentityProxyModel::setData(index, value, role);
}

Qt::ItemFlags CheckBoxProxyModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QIdentityProxyModel::flags(index);
    if (index.column() == GarbageItemModel::NAME_COLUMN) {
        f |= Qt::ItemIsUserCheckable;
    }
    return f;
}
