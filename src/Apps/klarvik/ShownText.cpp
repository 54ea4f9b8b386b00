#include "ShownText.h"

#include "Platform/PathCodec.h"

namespace Klarvik {

namespace {

bool IsInvisibleControl(char16_t c) {
    return (c >= 0x80 && c <= 0x9f) || c == 0x2028 || c == 0x2029 || c == 0x200e || c == 0x200f ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

void AppendHex(QString* out, const char* prefix, unsigned int value, int digits) {
    *out += QLatin1String(prefix);
    *out += QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0'));
}

// The length of the UTF-8 sequence a lead byte starts; 0 for a byte that
// cannot start one.
int SequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xc2 && lead <= 0xdf) {
        return 2;
    }
    if (lead >= 0xe0 && lead <= 0xef) {
        return 3;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        return 4;
    }
    return 0;
}

}  // namespace

QString Shown(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        switch (c) {
            case u'\\':
                out += QLatin1String("\\\\");
                break;
            case u'\n':
                out += QLatin1String("\\n");
                break;
            case u'\r':
                out += QLatin1String("\\r");
                break;
            case u'\t':
                out += QLatin1String("\\t");
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    AppendHex(&out, "\\x", c, 2);
                } else if (IsInvisibleControl(c)) {
                    AppendHex(&out, "\\u", c, 4);
                } else {
                    out += ch;
                }
        }
    }
    return out;
}

QString ShownBytes(const QByteArray& bytes) {
    QString out;
    const char* data = bytes.constData();
    const int size = bytes.size();
    for (int i = 0; i < size;) {
        const int length = SequenceLength(static_cast<unsigned char>(data[i]));
        QString decoded;
        if (length > 0 && i + length <= size &&
            Varnex::Platform::DecodePath(data + i, static_cast<std::size_t>(length), &decoded)) {
            out += Shown(decoded);
            i += length;
        } else {
            AppendHex(&out, "\\x", static_cast<unsigned char>(data[i]), 2);
            ++i;
        }
    }
    return out;
}

QString Counted(long long count, const char* singular, const char* plural) {
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? singular : plural));
}

}  // namespace Klarvik
