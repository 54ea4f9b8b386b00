#pragma once

#include <QByteArray>
#include <QString>

namespace Klarvik {

// Outside text (a path, a file or application name) as it may be shown on a
// terminal: every control character is written as an escape, so that a name
// can neither break a line, return the cursor, nor send the terminal a
// sequence. "\\" -> "\\\\"; line feed, carriage return and tab -> "\n", "\r",
// "\t"; the other C0 controls and DEL -> "\xNN"; the C1 controls, the line
// and paragraph separators and the bidirectional controls -> "\uNNNN".
// Everything else is kept, so a legible name stays legible.
QString Shown(const QString& text);

// Bytes that may not be UTF-8 (a command-line argument): the valid UTF-8 as
// Shown() writes it, every other byte as "\xNN".
QString ShownBytes(const QByteArray& bytes);

// "1 item", "2 items", "0 items".
QString Counted(long long count, const char* singular, const char* plural);

}  // namespace Klarvik
