#include "TreeReport.h"

#include <algorithm>
#include <vector>

#include "CleanerCommon/Sizes.h"
#include "Core/GarbageItemModel.h"
#include "Core/details/GarbageFile.h"
#include "JsonWriter.h"
#include "ShownText.h"

namespace Klarvik {

using Varnex::Cleaner::GarbageItemModel;

namespace {

QVariant Cell(const GarbageItemModel* model, const QModelIndex& row, int column) {
    return model->data(model->index(row.row(), column, row.parent()), Qt::DisplayRole);
}

// A file's length in bytes, where it differs from what it takes on the disk
// (the "size"): a sparse file, a further name of a hard-linked file. -1 for
// anything else.
long long ApparentSize(const GarbageItemModel* model, const QModelIndex& row) {
    auto* item = model->data(row, GarbageItemModel::ITEM_ROLE).value<Varnex::Cleaner::AbstractGarbage*>();
    auto* file = qobject_cast<Varnex::Cleaner::Details::GarbageFile*>(item);
    return file ? file->GetApparentSize() : -1;
}

long long ItemsBelow(const GarbageItemModel* model, const QModelIndex& row) {
    long long n = 0;
    const int rows = model->rowCount(row);
    for (int r = 0; r < rows; ++r) {
        n += 1 + ItemsBelow(model, model->index(r, GarbageItemModel::NAME_COLUMN, row));
    }
    return n;
}

QString CheckBox(int check) {
    switch (check) {
        case 2:
            return QStringLiteral("[x]");
        case 1:
            return QStringLiteral("[-]");
        default:
            return QStringLiteral("[ ]");
    }
}

}  // namespace

TreeReport::TreeReport(const GarbageItemModel* model) : m_model(model) {}

QString TreeReport::StatusWord(int status) {
    static const char* const words[] = {"unknown", "scanning", "ready", "clean", "error"};
    return status >= 0 && status < 5 ? QLatin1String(words[status]) : QStringLiteral("unknown");
}

QString TreeReport::ErrorWord(int error) {
    static const char* const words[] = {
        "ok", "unknown", "permission_denied", "does_not_exist", "is_not_empty", "child",
        "refused"};
    return error >= 0 && error < 7 ? QLatin1String(words[error]) : QStringLiteral("unknown");
}

QString TreeReport::CheckWord(int check) {
    static const char* const words[] = {"unchecked", "partly_checked", "checked", "as_parent"};
    return check >= 0 && check < 4 ? QLatin1String(words[check]) : QStringLiteral("unknown");
}

void TreeReport::WriteText(QTextStream& out) const {
    WriteText(out, QModelIndex(), 0);
}

void TreeReport::WriteText(QTextStream& out, const QModelIndex& parent, int depth) const {
    const int rows = m_model->rowCount(parent);
    std::vector<QModelIndex> order;
    order.reserve(static_cast<std::size_t>(rows));
    for (int r = 0; r < rows; ++r) {
        order.push_back(m_model->index(r, GarbageItemModel::NAME_COLUMN, parent));
    }
    if (m_order != Order::TREE) {
        const bool bySize = m_order == Order::SIZE;
        std::stable_sort(order.begin(), order.end(), [this, bySize](const QModelIndex& a,
                                                                    const QModelIndex& b) {
            if (bySize) {
                return Cell(m_model, a, GarbageItemModel::SIZE_COLUMN).toLongLong() >
                       Cell(m_model, b, GarbageItemModel::SIZE_COLUMN).toLongLong();
            }
            return Cell(m_model, a, GarbageItemModel::NAME_COLUMN).toString() <
                   Cell(m_model, b, GarbageItemModel::NAME_COLUMN).toString();
        });
    }
    const bool last = m_maxDepth >= 0 && depth >= m_maxDepth;
    for (const QModelIndex& row : order) {
        const int check = Cell(m_model, row, GarbageItemModel::CHECK_STATE_COLUMN).toInt();
        const int status = Cell(m_model, row, GarbageItemModel::STATUS_CODE_COLUMN).toInt();
        const QString error = Cell(m_model, row, GarbageItemModel::ERROR_COLUMN).toString();
        // Names may hold line breaks and terminal sequences: one item, one
        // line, and nothing that paints the terminal.
        const QString name = Shown(Cell(m_model, row, GarbageItemModel::NAME_COLUMN).toString());
        const QString size = Varnex::Cleaner::FormatSize(
            Cell(m_model, row, GarbageItemModel::SIZE_COLUMN).toLongLong(), 0);
        out << CheckBox(check) << ' ' << size.rightJustified(8) << "  "
            << QString(depth * 2, QLatin1Char(' ')) << name << "  " << StatusWord(status);
        if (!error.isEmpty()) {
            out << " (" << error << ')';
        }
        if (last && m_model->rowCount(row) > 0) {
            out << "  " << Counted(ItemsBelow(m_model, row), "item", "items") << " below";
        }
        out << '\n';
        if (!last) {
            WriteText(out, row, depth + 1);
        }
    }
}

void TreeReport::WriteJson(JsonWriter& json) const {
    WriteJson(json, QModelIndex());
}

void TreeReport::WriteJson(JsonWriter& json, const QModelIndex& parent) const {
    json.BeginArray();
    const int rows = m_model->rowCount(parent);
    for (int r = 0; r < rows; ++r) {
        const QModelIndex row = m_model->index(r, GarbageItemModel::NAME_COLUMN, parent);
        json.BeginObject();
        const long long apparent = ApparentSize(m_model, row);
        if (apparent >= 0) {
            json.Key(QLatin1String("apparent_size"));
            json.Number(apparent);
        }
        json.Key(QLatin1String("check"));
        json.String(CheckWord(Cell(m_model, row, GarbageItemModel::CHECK_STATE_COLUMN).toInt()));
        json.Key(QLatin1String("children"));
        WriteJson(json, row);
        json.Key(QLatin1String("error"));
        json.String(ErrorWord(Cell(m_model, row, GarbageItemModel::ERROR_CODE_COLUMN).toInt()));
        json.Key(QLatin1String("name"));
        json.String(Cell(m_model, row, GarbageItemModel::NAME_COLUMN).toString());
        json.Key(QLatin1String("path"));
        json.String(Cell(m_model, row, GarbageItemModel::PATH_COLUMN).toString());
        json.Key(QLatin1String("size"));
        json.Number(Cell(m_model, row, GarbageItemModel::SIZE_COLUMN).toLongLong());
        json.Key(QLatin1String("status"));
        json.String(StatusWord(Cell(m_model, row, GarbageItemModel::STATUS_CODE_COLUMN).toInt()));
        json.EndObject();
    }
    json.EndArray();
}

void TreeReport::WriteRecords(QTextStream& out) const {
    WriteRecords(out, QModelIndex(), QString(), 0);
}

void TreeReport::WriteRecords(QTextStream& out, const QModelIndex& parent,
                              const QString& parentPath, int depth) const {
    const int rows = m_model->rowCount(parent);
    for (int r = 0; r < rows; ++r) {
        const QModelIndex row = m_model->index(r, GarbageItemModel::NAME_COLUMN, parent);
        const QString path = Cell(m_model, row, GarbageItemModel::PATH_COLUMN).toString();
        JsonWriter json(out, JsonWriter::Layout::COMPACT);
        json.BeginObject();
        json.Key(QLatin1String("type"));
        json.String(QStringLiteral("item"));
        json.Key(QLatin1String("path"));
        json.String(path);
        json.Key(QLatin1String("name"));
        json.String(Cell(m_model, row, GarbageItemModel::NAME_COLUMN).toString());
        json.Key(QLatin1String("size"));
        json.Number(Cell(m_model, row, GarbageItemModel::SIZE_COLUMN).toLongLong());
        const long long apparent = ApparentSize(m_model, row);
        if (apparent >= 0) {
            json.Key(QLatin1String("apparent_size"));
            json.Number(apparent);
        }
        json.Key(QLatin1String("check"));
        json.String(CheckWord(Cell(m_model, row, GarbageItemModel::CHECK_STATE_COLUMN).toInt()));
        json.Key(QLatin1String("status"));
        json.String(StatusWord(Cell(m_model, row, GarbageItemModel::STATUS_CODE_COLUMN).toInt()));
        json.Key(QLatin1String("error"));
        json.String(ErrorWord(Cell(m_model, row, GarbageItemModel::ERROR_CODE_COLUMN).toInt()));
        json.Key(QLatin1String("depth"));
        json.Number(depth);
        json.Key(QLatin1String("parent"));
        depth == 0 ? json.Null() : json.String(parentPath);
        json.EndObject();
        out << '\n';
        WriteRecords(out, row, path, depth + 1);
    }
}

}  // namespace Klarvik
