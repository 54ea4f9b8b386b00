#pragma once

#include <QJsonValue>
#include <QLatin1String>
#include <QPair>
#include <QString>
#include <QTextStream>
#include <QVector>

namespace Klarvik {

// Writes JSON as it goes, so that a document of any size costs only the
// nesting it is at. Indented, it lays a document out as QJsonDocument's
// Indented form does, byte for byte (four spaces a level, "key": value, an
// empty array as "[\n<indent>]"); compact, as its Compact form, for one record
// a line. Strings are escaped as QJsonDocument escapes them: quote, backslash
// and the C0 controls, a lone surrogate as "\uXXXX", so the UTF-8 out is valid.
// The caller keeps the calls balanced and gives a key before each value of an
// object; the writer does not check.
class JsonWriter {
public:
    enum class Layout { INDENTED, COMPACT };

    // `out` must write UTF-8.
    JsonWriter(QTextStream& out, Layout layout);

    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    void Key(QLatin1String key);
    void String(const QString& text);
    void Number(long long value);
    void Null();
    // A small value built in memory (a number is written as QJsonDocument does).
    void Value(const QJsonValue& value);

    // `text` as a JSON string literal, quotes included.
    static void WriteString(QTextStream& out, const QString& text);

private:
    // Before a value: the separator and indentation an array element needs.
    void BeforeValue();
    void Open(char bracket);
    void Close(char bracket);

    QTextStream& m_out;
    bool m_compact;
    QVector<int> m_counts;  // per open array or object: the entries written so far
    bool m_afterKey = false;
};

using JsonFields = QVector<QPair<QLatin1String, QJsonValue>>;

// One record of a JSON Lines stream: {"type": type, then `fields` in their
// order}, compact, and a line break.
void WriteRecord(QTextStream& out, QLatin1String type, const JsonFields& fields);

}  // namespace Klarvik
