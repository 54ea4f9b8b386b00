#pragma once

#include <QByteArray>

namespace Varnex::Test {

// An XML property list turned into a binary one by libplist itself; empty when
// the XML does not parse.
QByteArray BinaryPropertyList(const QByteArray& xml);

// Hostile property lists, written byte by byte (libplist will not write them).
// `depth` binary arrays, each holding only the next; the last is empty.
QByteArray NestedBinaryArrays(int depth);
// `levels` binary arrays, each holding the next one twice: a few bytes per
// level on disk, 2^levels values once every reference is followed.
QByteArray DoublingBinaryArrays(int levels);
// A binary array that holds itself.
QByteArray SelfContainingBinaryArray();
// `depth` nested XML arrays in an otherwise ordinary XML property list.
QByteArray NestedXmlArrays(int depth);

}  // namespace Varnex::Test
