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

// Containers nested deeper than this are refused as a whole.
constexpr int maxPropertyListDepth = 256;

// The value of a property list held in memory. An invalid QVariant, and a
// reason in *error, when `data` is empty, larger than maxPropertyListSize, not
// a property list, truncated, or nested too deeply. Never logs.
QVariant ParsePropertyList(const QByteArray& data, QString* error = nullptr);

// The same for a file. Links are followed; only a regular file is read (a FIFO
// or a device never blocks the caller). A file that does not exist gives an
// invalid QVariant and leaves *error empty: that is an answer, not a fault.
// Every other failure sets *error. Never logs.
QVariant ReadPropertyListFile(const QString& path, QString* error = nullptr);

}  // namespace Varnex::Platform
