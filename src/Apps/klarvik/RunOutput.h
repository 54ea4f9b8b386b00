#pragma once

#include <QJsonObject>
#include <QStringList>
#include <QTextStream>
#include <functional>
#include <map>

#include "Core/AbstractGarbageScope.h"
#include "JsonWriter.h"

namespace Varnex::Cleaner {
class GarbageItemModel;
}

namespace Klarvik {

struct Options;
struct TreeCensus;

// Standard output as UTF-8 text, whatever the locale; flushed by the caller.
QTextStream& Out();
// "klarvik: <text>" and a line break on standard error.
void Err(const QString& text);

// The totals of a run, as the JSON document and the summary record give them:
// kind, finished, total_items, total_size, cleaned_items, cleaned_size,
// items_in_error, skipped.
QJsonObject Summary(const Options& options, const Varnex::Cleaner::AbstractGarbageScope& scope,
                    Varnex::Cleaner::AbstractGarbageScope::FinishReason reason,
                    const TreeCensus& census);

// Members of the document too large to build in memory, written as they go.
using Streamed = std::map<QString, std::function<void(JsonWriter&)>>;

// The --json document on Out(): `summary` and `streamed` together with the
// tree of `model` as "items", every member in the order of its key, as
// QJsonDocument orders them.
void WriteDocument(const QJsonObject& summary, const Varnex::Cleaner::GarbageItemModel& model,
                   Streamed streamed);
// A list of paths as a streamed member of the document.
std::function<void(JsonWriter&)> PathList(const QStringList& paths);
// The summary record of --jsonl on Out(): the totals and `counts` after them.
void WriteSummaryRecord(const QJsonObject& summary, const JsonFields& counts);
// The items in error and what was skipped, a line each (none when neither).
void WriteCensus(const TreeCensus& census);
// The totals for people: "Total: ...", the items in error, what was skipped.
void WriteTotals(const Varnex::Cleaner::AbstractGarbageScope& scope,
                 Varnex::Cleaner::AbstractGarbageScope::FinishReason reason,
                 const TreeCensus& census);

}  // namespace Klarvik
