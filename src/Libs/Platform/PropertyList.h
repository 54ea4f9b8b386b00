#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

// Property lists (XML or binary, told apart by their first bytes) turned into
// Qt values, the stand-in for the Foundation and CoreFoundation readers:
//   dict -> QVariantMap, array -> QVariantList, string -> QString,
//   integer -> qlonglong (libplist keeps every integer as 64 bits; values
//   above the signed range read as negative, which is what a negative XML
//   integer is stored as), real -> double, true/false -> bool,
//   date -> QDateTime in UTC, data -> QByteArray, uid -> qulonglong.
// Any thread; nothing is shared.
namespace Varnex::Platform {

// Larger property lists are refused unread (an Info.plist is a few KiB).
constexpr qint64 maxPropertyListSize = 8 * 1024 * 1024;

// Containers nested deeper than this are refused as a whole (a real Info.plist
// nests three or four levels).
constexpr int maxPropertyListDepth = 128;

// A list holding more values than this is refused as a whole. Every value is
// counted each time it is reached: a binary list may reference one object from
// many places, and each reference becomes a copy of its own when read, so a
// few hundred bytes whose arrays reference the next level twice would expand
// to billions of values.
constexpr qint64 maxPropertyListValues = 100000;

// The value of a property list held in memory. An invalid QVariant, and a
// reason in *error, when `data` is empty, larger than maxPropertyListSize, not
// a property list, truncated, nested too deeply, holding too many values or a
// reference cycle. The limits are checked by a walk over the raw data that
// follows at most maxPropertyListValues references and keeps its own stack,
// before any recursive reader sees the data. Never logs.
QVariant ParsePropertyList(const QByteArray& data, QString* error = nullptr);

// The same for a file. Links are followed; only a regular file is read (a FIFO
// or a device never blocks the caller). A file that does not exist gives an
// invalid QVariant and leaves *error empty: that is an answer, not a fault.
// Every other failure sets *error. Never logs.
QVariant ReadPropertyListFile(const QString& path, QString* error = nullptr);

}  // namespace Varnex::Platform
