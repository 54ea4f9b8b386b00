#include "Platform/PropertyList.h"

#include <errno.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>
#include <memory>
#include <vector>

#include "Platform/PathCodec.h"

namespace Varnex::Platform {

namespace {

// Seconds between the Unix epoch and the one property lists count from (2001-01-01 UTC).
const qint64 macEpochOffsetSecs = 978307200;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

void SetError(QString* error, const QString& text) {
    if (error) {
        *error = text;
    }
}

QString StringOf(plist_t node) {
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text ? QString::fromUtf8(text, static_cast<int>(length)) : QString();
}

// Depth-limited, so that a hostile file cannot exhaust the stack here.
bool Convert(plist_t node, int depth, QVariant* out) {
    if (depth > maxPropertyListDepth) {
        return false;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            *out = QVariant(value != 0);
            return true;
        }
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            *out = QVariant(static_cast<qlonglong>(value));
            return true;
        }
        case PLIST_UID: {
            uint64_t value = 0;
            plist_get_uid_val(node, &value);
            *out = QVariant(static_cast<qulonglong>(value));
            return true;
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            *out = QVariant(value);
            return true;
        }
        case PLIST_STRING:
        case PLIST_KEY:
            *out = QVariant(StringOf(node));
            return true;
        case PLIST_DATE: {
            int32_t sec = 0;
            int32_t usec = 0;
            plist_get_date_val(node, &sec, &usec);
            const qint64 ms = (macEpochOffsetSecs + sec) * 1000 + usec / 1000;
            *out = QVariant(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC));
            return true;
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            *out = QVariant(QByteArray(bytes, static_cast<int>(length)));
            free(bytes);
            return true;
        }
        case PLIST_ARRAY: {
            QVariantList list;
            const uint32_t size = plist_array_get_size(node);
            list.reserve(static_cast<int>(size));
            for (uint32_t i = 0; i < size; ++i) {
                QVariant item;
                if (!Convert(plist_array_get_item(node, i), depth + 1, &item)) {
                    return false;
                }
                list.append(item);
            }
            *out = list;
            return true;
        }
        case PLIST_DICT: {
            QVariantMap map;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            bool ok = it != nullptr;
            while (ok) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, it, &key, &value);
                if (!key) {
                    break;
                }
                QVariant item;
                ok = value && Convert(value, depth + 1, &item);
                if (ok) {
                    map.insert(QString::fromUtf8(key), item);
                }
                free(key);
            }
            free(it);
            if (!ok) {
                return false;
            }
            *out = map;
            return true;
        }
        case PLIST_NONE:
            break;
    }
    return false;
}

quint64 BigEndian(const char* p, int size) {
    quint64 value = 0;
    for (int i = 0; i < size; ++i) {
        value = (value << 8) | static_cast<unsigned char>(p[i]);
    }
    return value;
}

QString TooDeep() {
    return QStringLiteral("nested deeper than %1 levels").arg(maxPropertyListDepth);
}

QString TooMany() {
    return QStringLiteral("more than %1 values").arg(maxPropertyListValues);
}

// libplist reads a binary list recursively, one level of the C stack per
// level of nesting, and makes a fresh copy of an object for every reference
// to it; its XML reader is iterative but frees recursively. So the raw data is
// walked first, with a stack of our own, and a list that is nested too deeply,
// holds a reference cycle or too many values (references counted each time),
// is refused before libplist sees it.

// Strings and data a binary list may expand to (UTF-16 counted at the three
// bytes its UTF-8 takes). Only repeated references take a list past this.
const quint64 maxExpandedBytes = 4 * maxPropertyListSize;

// The parts of a "bplist00" file the walk needs, from its 32-byte trailer.
struct BinaryLayout {
    const char* bytes = nullptr;
    quint64 objectsEnd = 0;  // where the offset table starts; objects lie before it
    quint64 objectCount = 0;
    quint64 topObject = 0;
    int offsetSize = 0;
    int refSize = 0;
};

bool ReadBinaryTrailer(const QByteArray& data, BinaryLayout* layout, QString* why) {
    const quint64 trailerSize = 32;
    const quint64 size = static_cast<quint64>(data.size());
    if (size < 8 + trailerSize) {
        *why = QStringLiteral("truncated binary property list");
        return false;
    }
    const char* trailer = data.constData() + size - trailerSize;
    layout->bytes = data.constData();
    layout->offsetSize = static_cast<unsigned char>(trailer[6]);
    layout->refSize = static_cast<unsigned char>(trailer[7]);
    layout->objectCount = BigEndian(trailer + 8, 8);
    layout->topObject = BigEndian(trailer + 16, 8);
    layout->objectsEnd = BigEndian(trailer + 24, 8);
    const quint64 end = size - trailerSize;
    if (layout->offsetSize < 1 || layout->offsetSize > 8 || layout->refSize < 1 ||
        layout->refSize > 8 || layout->objectsEnd < 8 || layout->objectsEnd > end ||
        layout->objectCount == 0 ||
        layout->objectCount > (end - layout->objectsEnd) / layout->offsetSize ||
        layout->topObject >= layout->objectCount) {
        *why = QStringLiteral("damaged binary property list (offset table)");
        return false;
    }
    return true;
}

// The element count of the object at `offset` (the low half of its marker, or
// the integer object after it) and where its contents start.
bool ReadBinaryCount(const BinaryLayout& layout, quint64 offset, quint64* count, quint64* start) {
    const unsigned low = static_cast<unsigned char>(layout.bytes[offset]) & 0x0f;
    quint64 pos = offset + 1;
    if (low != 0x0f) {
        *count = low;
        *start = pos;
        return true;
    }
    if (pos >= layout.objectsEnd) {
        return false;
    }
    const unsigned char marker = static_cast<unsigned char>(layout.bytes[pos]);
    const quint64 size = quint64(1) << (marker & 0x0f);
    if ((marker >> 4) != 0x1 || size > 8 || size > layout.objectsEnd - pos - 1) {
        return false;
    }
    *count = BigEndian(layout.bytes + pos + 1, static_cast<int>(size));
    *start = pos + 1 + size;
    return true;
}

bool WalkBinaryList(const QByteArray& data, QString* why) {
    BinaryLayout layout;
    if (!ReadBinaryTrailer(data, &layout, why)) {
        return false;
    }
    const char* bytes = layout.bytes;
    // One container being walked: where its next reference lies, how many are left.
    struct Frame {
        quint64 object;
        quint64 nextRef;
        quint64 refsLeft;
    };
    std::vector<Frame> stack;
    std::vector<bool> onPath(layout.objectCount, false);
    qint64 values = 0;
    quint64 expanded = 0;
    quint64 object = layout.topObject;
    for (;;) {
        if (++values > maxPropertyListValues) {
            *why = TooMany();
            return false;
        }
        const quint64 offset =
            BigEndian(bytes + layout.objectsEnd + object * layout.offsetSize, layout.offsetSize);
        if (offset < 8 || offset >= layout.objectsEnd) {
            *why = QStringLiteral("damaged binary property list (object offset)");
            return false;
        }
        const unsigned type = static_cast<unsigned char>(bytes[offset]) >> 4;
        quint64 count = 0;
        quint64 start = 0;
        switch (type) {
            case 0x0:  // null, false, true, fill
            case 0x1:  // integer
            case 0x2:  // real
            case 0x3:  // date
            case 0x8:  // uid
                break;
            case 0x4:  // data
            case 0x5:  // ASCII string
            case 0x6:  // UTF-16 string
            case 0x7: {
                const quint64 unit = type == 0x6 ? 2 : 1;
                if (!ReadBinaryCount(layout, offset, &count, &start) ||
                    count > (layout.objectsEnd - start) / unit) {
                    *why = QStringLiteral("damaged binary property list (object length)");
                    return false;
                }
                expanded += type == 0x6 ? 3 * count : count;
                if (expanded > maxExpandedBytes) {
                    *why = QStringLiteral("expands to more than %1 bytes").arg(maxExpandedBytes);
                    return false;
                }
                // libplist 2.2 aborts the process (a failed assertion) on a
                // dictionary key stored as UTF-16 that holds a NUL character.
                for (quint64 k = 0; type == 0x6 && k < count; ++k) {
                    if (bytes[start + 2 * k] == 0 && bytes[start + 2 * k + 1] == 0) {
                        *why =
                            QStringLiteral("binary property list with a NUL character in a string");
                        return false;
                    }
                }
                break;
            }
            case 0xa:    // array
            case 0xb:    // ordered set
            case 0xc:    // set
            case 0xd: {  // dictionary: its keys, then its values
                const quint64 perEntry = type == 0xd ? 2 : 1;
                if (!ReadBinaryCount(layout, offset, &count, &start) ||
                    count > (layout.objectsEnd - start) / layout.refSize / perEntry) {
                    *why = QStringLiteral("damaged binary property list (object length)");
                    return false;
                }
                if (stack.size() >= static_cast<size_t>(maxPropertyListDepth)) {
                    *why = TooDeep();
                    return false;
                }
                stack.push_back({object, start, count * perEntry});
                onPath[object] = true;
                break;
            }
            default:
                *why = QStringLiteral("damaged binary property list (object type)");
                return false;
        }
        while (!stack.empty() && stack.back().refsLeft == 0) {
            onPath[stack.back().object] = false;
            stack.pop_back();
        }
        if (stack.empty()) {
            return true;
        }
        Frame& frame = stack.back();
        object = BigEndian(bytes + frame.nextRef, layout.refSize);
        frame.nextRef += layout.refSize;
        --frame.refsLeft;
        if (object >= layout.objectCount) {
            *why = QStringLiteral("damaged binary property list (reference)");
            return false;
        }
        if (onPath[object]) {
            *why = QStringLiteral("binary property list with a reference cycle");
            return false;
        }
    }
}

bool StartsAt(const QByteArray& data, int pos, const char* text) {
    return qstrncmp(data.constData() + pos, text, qstrlen(text)) == 0;
}

// Whether the tag in data[from, to), up to its first '>', ends there for
// readers that skip quoted text as well as for those that do not: its double
// quotes pair up and it holds no '<'. libplist skips quoted text inside tags,
// processing instructions and DOCTYPEs, so a '>' in quotes is no end for it.
bool IsPlainTag(const QByteArray& data, int from, int to) {
    int quotes = 0;
    for (int i = from; i < to; ++i) {
        if (data[i] == '<') {
            return false;
        }
        quotes += data[i] == '"' ? 1 : 0;
    }
    return quotes % 2 == 0;
}

// The nesting and size of an XML list, counted in one pass over its tags, as
// libplist reads them: comments and CDATA sections are skipped to their ends
// (anywhere; libplist refuses CDATA between elements), "<?...?>" and a DOCTYPE
// are skipped, and a tag ends at its '>'. Where libplist could see a tag end
// elsewhere (quotes left open, a '<' inside a tag, an inner DTD, NUL bytes)
// the list is refused rather than guessed at, so that the count is never lower
// than what libplist builds.
bool CheckXmlList(const QByteArray& data, QString* why) {
    const QString unterminated =
        QStringLiteral("truncated XML property list (a tag, comment or CDATA section never ends)");
    const QString ambiguous =
        QStringLiteral("XML property list with a quote left open or a '<' inside a tag");
    if (data.contains('\0')) {
        *why = QStringLiteral("XML property list with a NUL byte");
        return false;
    }
    int depth = 0;
    qint64 values = 0;
    bool sawValue = false;
    int pos = 0;
    while ((pos = data.indexOf('<', pos)) >= 0) {
        int end = -1;
        if (StartsAt(data, pos, "<!--")) {
            end = data.indexOf("-->", pos + 4);
            if (end < 0) {
                *why = unterminated;
                return false;
            }
            pos = end + 3;
            continue;
        }
        if (StartsAt(data, pos, "<![CDATA[")) {
            end = data.indexOf("]]>", pos + 9);
            if (end < 0) {
                *why = unterminated;
                return false;
            }
            pos = end + 3;
            continue;
        }
        if (StartsAt(data, pos, "<?")) {
            end = data.indexOf("?>", pos + 1);
            if (end < 0 || !IsPlainTag(data, pos + 1, end)) {
                *why = end < 0 ? unterminated : ambiguous;
                return false;
            }
            pos = end + 2;
            continue;
        }
        end = data.indexOf('>', pos + 1);
        if (end < 0 || !IsPlainTag(data, pos + 1, end)) {
            *why = end < 0 ? unterminated : ambiguous;
            return false;
        }
        if (StartsAt(data, pos, "<!")) {
            const int bracket = data.indexOf('[', pos);
            if (!StartsAt(data, pos, "<!DOCTYPE") || (bracket >= 0 && bracket < end)) {
                *why = QStringLiteral("XML property list with an inner DTD or unknown markup");
                return false;
            }
            pos = end + 1;
            continue;
        }
        // An element: its name runs to the first blank, as libplist reads it.
        int nameEnd = pos + 1;
        while (nameEnd < end && data[nameEnd] != ' ' && data[nameEnd] != '\t' &&
               data[nameEnd] != '\r' && data[nameEnd] != '\n') {
            ++nameEnd;
        }
        QByteArray name = data.mid(pos + 1, nameEnd - pos - 1);
        const bool empty = end - 1 > pos && data[end - 1] == '/';
        if (empty && nameEnd == end) {
            name.chop(1);
        }
        if (name.contains('"')) {
            *why = ambiguous;
            return false;
        }
        if (name == "array" || name == "dict") {
            // libplist fills even an empty container when it is the top value.
            if (!empty || !sawValue) {
                if (++depth > maxPropertyListDepth) {
                    *why = TooDeep();
                    return false;
                }
            }
            ++values;
            sawValue = true;
        } else if (name == "/array" || name == "/dict") {
            if (depth == 0) {
                *why = QStringLiteral("XML property list with an unmatched </%1>")
                           .arg(QString::fromLatin1(name.mid(1)));
                return false;
            }
            --depth;
        } else if (!name.startsWith('/') && name != "plist") {
            ++values;
            sawValue = true;
        }
        if (values > maxPropertyListValues) {
            *why = TooMany();
            return false;
        }
        pos = end + 1;
    }
    return true;
}

}  // namespace

QVariant ParsePropertyList(const QByteArray& data, QString* error) {
    if (data.isEmpty()) {
        SetError(error, QStringLiteral("empty"));
        return QVariant();
    }
    if (data.size() > maxPropertyListSize) {
        SetError(error, QStringLiteral("larger than %1 bytes").arg(maxPropertyListSize));
        return QVariant();
    }
    const bool binary = plist_is_binary(data.constData(), static_cast<uint32_t>(data.size()));
    QString why;
    if (binary ? !WalkBinaryList(data, &why) : !CheckXmlList(data, &why)) {
        SetError(error, why);
        return QVariant();
    }
    plist_t raw = nullptr;
    plist_from_memory(data.constData(), static_cast<uint32_t>(data.size()), &raw);
    const PlistPtr root(raw);
    if (!root) {
        SetError(error, binary ? QStringLiteral("not a valid binary property list")
                               : QStringLiteral("not a valid XML property list"));
        return QVariant();
    }
    QVariant value;
    if (!Convert(root.get(), 0, &value)) {
        SetError(error, TooDeep());
        return QVariant();
    }
    return value;
}

QVariant ReadPropertyListFile(const QString& path, QString* error) {
    std::string bytes;
    if (!EncodePath(path, &bytes)) {
        SetError(error, QStringLiteral("the path cannot be encoded"));
        return QVariant();
    }
    // Only a regular file is opened: opening a device can have effects of its
    // own, and a FIFO would wait for a writer.
    struct stat st;
    if (::stat(bytes.c_str(), &st) != 0) {
        const int code = errno;
        if (code != ENOENT && code != ENOTDIR) {
            SetError(error, qt_error_string(code));
        } else if (error) {
            error->clear();
        }
        return QVariant();
    }
    if (!S_ISREG(st.st_mode)) {
        SetError(error, QStringLiteral("not a regular file"));
        return QVariant();
    }
    // Non-blocking, so that what replaced the file since (a FIFO) cannot make
    // the open wait; fstat then refuses it.
    const int fd = ::open(bytes.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        if (code != ENOENT && code != ENOTDIR) {
            SetError(error, qt_error_string(code));
        } else if (error) {
            error->clear();
        }
        return QVariant();
    }
    QByteArray data;
    QString failure;
    if (::fstat(fd, &st) != 0) {
        failure = qt_error_string(errno);
    } else if (!S_ISREG(st.st_mode)) {
        failure = QStringLiteral("not a regular file");
    } else if (st.st_size > maxPropertyListSize) {
        failure = QStringLiteral("larger than %1 bytes").arg(maxPropertyListSize);
    } else {
        // One byte more than fstat told, to see growth since; a file that grew
        // is read on up to one byte past the cap, which the parser refuses.
        data.resize(static_cast<int>(st.st_size) + 1);
        qint64 total = 0;
        for (;;) {
            if (total == data.size()) {
                if (total > maxPropertyListSize) {
                    break;
                }
                data.resize(static_cast<int>(qMin(2 * total, maxPropertyListSize + 1)));
            }
            const ssize_t n = ::read(fd, data.data() + total, data.size() - total);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                failure = qt_error_string(errno);
                break;
            }
            if (n == 0) {
                break;
            }
            total += n;
        }
        data.truncate(static_cast<int>(total));
    }
    ::close(fd);
    if (!failure.isEmpty()) {
        SetError(error, failure);
        return QVariant();
    }
    return ParsePropertyList(data, error);
}

}  // namespace Varnex::Platform
