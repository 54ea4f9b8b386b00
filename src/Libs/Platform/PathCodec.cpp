#include "Platform/PathCodec.h"

#include <QByteArray>

namespace Varnex::Platform {

bool IsValidUtf8(const char* data, std::size_t size) {
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    while (i < size) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            if (c == 0) {
                return false;
            }
            ++i;
            continue;
        }
        std::size_t len;
        unsigned int cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > size) {
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            const unsigned char cc = s[i + k];
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const unsigned int minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

bool EncodePath(const QString& path, std::string* out) {
    const QByteArray bytes = path.toUtf8();
    if (!IsValidUtf8(bytes.constData(), static_cast<std::size_t>(bytes.size())) ||
        QString::fromUtf8(bytes) != path) {
        return false;
    }
    out->assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return true;
}

bool DecodePath(const char* data, std::size_t size, QString* out) {
    if (!IsValidUtf8(data, size)) {
        return false;
    }
    // Plain ASCII (no NUL, checked above) crosses unchanged either way.
    bool ascii = true;
    for (std::size_t i = 0; i < size && ascii; ++i) {
        ascii = static_cast<unsigned char>(data[i]) < 0x80;
    }
    if (ascii) {
        *out = QString::fromLatin1(data, static_cast<int>(size));
        return true;
    }
    QString text = QString::fromUtf8(data, static_cast<int>(size));
    // Qt and the validator must agree byte for byte; anything else is refused.
    const QByteArray back = text.toUtf8();
    if (static_cast<std::size_t>(back.size()) != size ||
        (size != 0 && std::char_traits<char>::compare(back.constData(), data, size) != 0)) {
        return false;
    }
    *out = std::move(text);
    return true;
}

bool DecodePath(const std::string& bytes, QString* out) {
    return DecodePath(bytes.data(), bytes.size(), out);
}

std::string EncodePathOrEmpty(const QString& path) {
    std::string out;
    EncodePath(path, &out);
    return out;
}

QString DecodePathOrNull(const std::string& bytes) {
    QString out;
    DecodePath(bytes, &out);
    return out;
}

}  // namespace Varnex::Platform
