#pragma once

#include <QString>
#include <string>

namespace Varnex::Util {

// UTF-8 bytes -> QString, losslessly: a null QString when the bytes are not
// strict UTF-8 (see Platform/PathCodec.h, which this forwards to).
QString Utf8ToQString(const std::string& bytes);

}  // namespace Varnex::Util
