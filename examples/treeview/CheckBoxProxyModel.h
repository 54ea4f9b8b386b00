#pragma once

#include <QIdentityProxyModel>

// Shows the item model's selection as check boxes in the name column, which
// stock views draw from Qt::CheckStateRole, and turns a click on one into the
// model's selection edit; sizes are shown as people read them.
class CheckBoxProxyModel : public QIdentityProxyModel {
    Q_OBJECT
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
};
