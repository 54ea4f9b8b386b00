#pragma once

#include <QJsonArray>
#include <QModelIndex>
#include <QString>
#include <QTextStream>

namespace Varnex::Cleaner {
class GarbageItemModel;
}

namespace Klarvik {

// Writes a scope's tree as the application's views see it: through the item
// model, so names follow the scope's name filters. Text for people, JSON for
// programs; enumeration values are lower-case words in both.
class TreeReport {
public:
    explicit TreeReport(const Varnex::Cleaner::GarbageItemModel* model);

    // One line an item, indented by depth: check box, name, size, status, error.
    void WriteText(QTextStream& out) const;
    // [{"path", "name", "size", "status", "error", "check", "children": [...]}]
    QJsonArray ToJson() const;

    static QString StatusWord(int status);
    static QString ErrorWord(int error);
    static QString CheckWord(int check);

private:
    void WriteText(QTextStream& out, const QModelIndex& parent, int depth) const;
    QJsonArray ToJson(const QModelIndex& parent) const;

    const Varnex::Cleaner::GarbageItemModel* m_model;
};

}  // namespace Klarvik
