#include "QtUtil/Utf8.h"

#include "Platform/PathCodec.h"

namespace Varnex::Util {

QString Utf8ToQString(const std::string& bytes) {
    return Platform::DecodePathOrNull(bytes);
}

}  // namespace Varnex::Util
