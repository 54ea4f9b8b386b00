#include "RunOutput.h"

#include <QFile>
#include <cstdio>

#include "CleanerCommon/Sizes.h"
#include "Commands.h"
#include "ShownText.h"
#include "TreeCensus.h"
#include "TreeReport.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::GarbageItemModel;

QTextStream& Out() {
    static QFile file;
    static QTextStream stream;
    if (!file.isOpen()) {
        file.open(stdout, QIODevice::WriteOnly);
        stream.setDevice(&file);
        stream.setCodec("UTF-8");
    }
    return stream;
}

void Err(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fprintf(stderr, "klarvik: %s\n", bytes.constData());
}

QJsonObject Summary(const Options& options, const AbstractGarbageScope& scope,
                    AbstractGarbageScope::FinishReason reason, const TreeCensus& census) {
    QJsonObject doc;
    doc.insert("kind", ScopeKindName(options.kind));
    doc.insert("finished", AbstractGarbageScope::GetFinishReasonString(reason));
    doc.insert("total_items", scope.GetTotalItems());
    doc.insert("total_size", scope.GetTotalSize());
    doc.insert("cleaned_items", scope.GetTotalCleanedItems());
    doc.insert("cleaned_size", scope.GetTotalCleanedSize());
    doc.insert("items_in_error", census.inError);
    doc.insert("skipped", census.SkippedJson());
    return doc;
}

void WriteDocument(const QJsonObject& summary, const GarbageItemModel& model, Streamed streamed) {
    streamed.emplace(QStringLiteral("items"),
                     [&model](JsonWriter& json) { TreeReport(&model).WriteJson(json); });
    JsonWriter json(Out(), JsonWriter::Layout::INDENTED);
    json.BeginObject();
    auto small = summary.begin();
    auto large = streamed.cbegin();
    while (small != summary.end() || large != streamed.cend()) {
        const bool takeSmall =
            large == streamed.cend() || (small != summary.end() && small.key() < large->first);
        const QByteArray key = (takeSmall ? small.key() : large->first).toLatin1();
        json.Key(QLatin1String(key));
        if (takeSmall) {
            json.Value((small++).value());
        } else {
            (large++)->second(json);
        }
    }
    json.EndObject();
    Out() << '\n';
}

std::function<void(JsonWriter&)> PathList(const QStringList& paths) {
    return [paths](JsonWriter& json) {
        json.BeginArray();
        for (const QString& path : paths) {
            json.String(path);
        }
        json.EndArray();
    };
}

void WriteSummaryRecord(const QJsonObject& summary, const JsonFields& counts) {
    JsonFields fields;
    QList<QByteArray> keys;  // the fields hold views of these
    for (auto it = summary.begin(); it != summary.end(); ++it) {
        keys.append(it.key().toLatin1());
    }
    int k = 0;
    for (auto it = summary.begin(); it != summary.end(); ++it) {
        fields.append({QLatin1String(keys.at(k++)), it.value()});
    }
    WriteRecord(Out(), QLatin1String("summary"), fields + counts);
}

void WriteTotals(const AbstractGarbageScope& scope, AbstractGarbageScope::FinishReason reason,
                 const TreeCensus& census) {
    Out() << "Total: " << Counted(scope.GetTotalItems(), "item", "items") << ", "
          << FormatSize(scope.GetTotalSize(), 0) << " ("
          << AbstractGarbageScope::GetFinishReasonString(reason) << ")\n";
    WriteCensus(census);
}

void WriteCensus(const TreeCensus& census) {
    if (census.inError > 0) {
        Out() << Counted(census.inError, "item is", "items are") << " in error\n";
    }
    const QString skipped = census.SkippedText();
    if (!skipped.isEmpty()) {
        Out() << skipped << '\n';
    }
}

}  // namespace Klarvik
