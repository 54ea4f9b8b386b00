#pragma once

#include <QModelIndex>
#include <QString>
#include <QTextStream>

namespace Varnex::Cleaner {
class GarbageItemModel;
}

namespace Klarvik {

class JsonWriter;

// Writes a scope's tree as the application's views see it: through the item
// model, so names follow the scope's name filters. Text for people, JSON for
// programs; enumeration values are lower-case words in both.
class TreeReport {
public:
    // The order of siblings in the text: the tree's, largest first, or by name.
    enum class Order { TREE, SIZE, NAME };

    explicit TreeReport(const Varnex::Cleaner::GarbageItemModel* model);

    // How much of the tree the text shows: items down to `maxDepth` (0: the
    // roots; negative: all), siblings in `order`. An item whose children are
    // not shown tells how many items lie below it.
    void SetTextShape(int maxDepth, Order order) {
        m_maxDepth = maxDepth;
        m_order = order;
    }

    // One line an item: check box, size (right-aligned), name indented by depth,
    // status, error.
    void WriteText(QTextStream& out) const;
    // The items as a JSON array, written as it goes: [{"check", "children":
    // [...], "error", "name", "path", "size", "status"}], the keys in that
    // order (QJsonDocument's, which scripts read).
    void WriteJson(JsonWriter& json) const;
    // One compact JSON record a line an item, parents first: {"type": "item",
    // "path", "name", "size", "check", "status", "error", "depth" (0 for a
    // root), "parent" (its path; null for a root)}.
    void WriteRecords(QTextStream& out) const;

    static QString StatusWord(int status);
    static QString ErrorWord(int error);
    static QString CheckWord(int check);

private:
    void WriteText(QTextStream& out, const QModelIndex& parent, int depth) const;
    void WriteJson(JsonWriter& json, const QModelIndex& parent) const;
    void WriteRecords(QTextStream& out, const QModelIndex& parent, const QString& parentPath,
                      int depth) const;

    const Varnex::Cleaner::GarbageItemModel* m_model;
    int m_maxDepth = -1;
    Order m_order = Order::TREE;
};

}  // namespace Klarvik
