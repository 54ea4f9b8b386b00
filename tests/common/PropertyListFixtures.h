#pragma once

#include <QByteArray>

namespace Varnex::Test {

// An XML property list turned into a binary one by libplist itself; empty when
// the XML does not parse.
QByteArray BinaryPropertyList(const QByteArray& xml);

}  // namespace Varnex::Test
