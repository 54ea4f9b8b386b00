#include "JsonWriter.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>
#include <algorithm>
#include <cmath>

namespace Klarvik {

namespace {

const char hexDigits[] = "0123456789abcdef";

// A line break and the indentation of `levels`, in one write: most of an
// indented document is this.
void NewLine(QTextStream& out, int levels) {
    static const QString spaces = QLatin1Char('\n') + QString(4 * 32, QLatin1Char(' '));
    constexpr int perWrite = 32;
    out << QStringView(spaces).left(1 + 4 * std::min(levels, perWrite));
    for (levels -= perWrite; levels > 0; levels -= perWrite) {
        out << QStringView(spaces).mid(1, 4 * std::min(levels, perWrite));
    }
}

// Nothing in it needs an escape: written as it is.
bool IsPlain(QLatin1String text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == '"' || u == '\\' || u >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace

JsonWriter::JsonWriter(QTextStream& out, Layout layout)
    : m_out(out), m_compact(layout == Layout::COMPACT) {}

void JsonWriter::BeforeValue() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_counts.isEmpty()) {
        return;
    }
    if (m_counts.last()++ > 0) {
        m_out << ',';
    }
    if (!m_compact) {
        NewLine(m_out, m_counts.size());
    }
}

void JsonWriter::Open(char bracket) {
    BeforeValue();
    m_out << bracket;
    m_counts.append(0);
}

void JsonWriter::Close(char bracket) {
    m_counts.removeLast();
    if (!m_compact) {
        NewLine(m_out, m_counts.size());
    }
    m_out << bracket;
}

void JsonWriter::BeginObject() {
    Open('{');
}

void JsonWriter::EndObject() {
    Close('}');
}

void JsonWriter::BeginArray() {
    Open('[');
}

void JsonWriter::EndArray() {
    Close(']');
}

void JsonWriter::Key(QLatin1String key) {
    BeforeValue();
    if (IsPlain(key)) {
        m_out << '"' << key << (m_compact ? QLatin1String("\":") : QLatin1String("\": "));
    } else {
        WriteString(m_out, key);
        m_out << (m_compact ? ":" : ": ");
    }
    m_afterKey = true;
}

void JsonWriter::String(const QString& text) {
    BeforeValue();
    WriteString(m_out, text);
}

void JsonWriter::Number(long long value) {
    BeforeValue();
    m_out << value;
}

void JsonWriter::Null() {
    BeforeValue();
    m_out << "null";
}

void JsonWriter::Value(const QJsonValue& value) {
    switch (value.type()) {
        case QJsonValue::Bool:
            BeforeValue();
            m_out << (value.toBool() ? "true" : "false");
            break;
        case QJsonValue::Double: {
            BeforeValue();
            const double d = value.toDouble();
            if (!std::isfinite(d)) {
                m_out << "null";
                break;
            }
            // As QJsonDocument: a whole number without a fraction or exponent.
            const double magnitude = std::abs(d);
            m_out << QByteArray::number(
                d,
                magnitude < 1e19 &&
                        magnitude == static_cast<double>(static_cast<quint64>(magnitude))
                    ? 'f'
                    : 'g',
                QLocale::FloatingPointShortest);
            break;
        }
        case QJsonValue::String:
            String(value.toString());
            break;
        case QJsonValue::Array:
            BeginArray();
            for (const QJsonValue& element : value.toArray()) {
                Value(element);
            }
            EndArray();
            break;
        case QJsonValue::Object: {
            BeginObject();
            const QJsonObject object = value.toObject();
            for (auto it = object.begin(); it != object.end(); ++it) {
                const QByteArray key = it.key().toLatin1();
                Key(QLatin1String(key));
                Value(it.value());
            }
            EndObject();
            break;
        }
        default:
            Null();
    }
}

void JsonWriter::WriteString(QTextStream& out, const QString& text) {
    // Runs of plain characters go out in one piece; only what needs an escape
    // is written by itself.
    const QChar* const begin = text.constData();
    const int size = text.size();
    out << '"';
    int plain = 0;
    auto flush = [&](int upTo) {
        if (upTo > plain) {
            out << QStringView(begin + plain, upTo - plain);
        }
    };
    for (int i = 0; i < size; ++i) {
        const ushort u = begin[i].unicode();
        char escape = 0;
        bool hex = false;
        if (u < 0x20 || u == '"' || u == '\\') {
            switch (u) {
                case '"':
                    escape = '"';
                    break;
                case '\\':
                    escape = '\\';
                    break;
                case '\b':
                    escape = 'b';
                    break;
                case '\f':
                    escape = 'f';
                    break;
                case '\n':
                    escape = 'n';
                    break;
                case '\r':
                    escape = 'r';
                    break;
                case '\t':
                    escape = 't';
                    break;
                default:
                    hex = true;
            }
        } else if (QChar::isHighSurrogate(u) && i + 1 < size &&
                   QChar::isLowSurrogate(begin[i + 1].unicode())) {
            ++i;  // a pair: one character, written as UTF-8
            continue;
        } else if (QChar::isSurrogate(u)) {
            hex = true;  // alone it has no UTF-8 form
        } else {
            continue;
        }
        flush(i);
        plain = i + 1;
        if (hex) {
            out << "\\u" << hexDigits[u >> 12] << hexDigits[(u >> 8) & 0xf]
                << hexDigits[(u >> 4) & 0xf] << hexDigits[u & 0xf];
        } else {
            out << '\\' << escape;
        }
    }
    flush(size);
    out << '"';
}

void WriteRecord(QTextStream& out, QLatin1String type, const JsonFields& fields) {
    JsonWriter json(out, JsonWriter::Layout::COMPACT);
    json.BeginObject();
    json.Key(QLatin1String("type"));
    json.String(type);
    for (const auto& field : fields) {
        json.Key(field.first);
        json.Value(field.second);
    }
    json.EndObject();
    out << '\n';
}

}  // namespace Klarvik
