#include "CleanerCommon/LogText.h"

#include <cstdio>

namespace Varnex::Util {

std::string LogText(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string LogText(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return LogText(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

}  // namespace Varnex::Util
