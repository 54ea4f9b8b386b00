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

// libplist 2.2 aborts the process (a failed assertion) when a dictionary key
// that was stored as UTF-16 holds a NUL character. Such a list is refused
// before libplist walks it: every UTF-16 string object is checked through the
// offset table. A table that cannot be walked is refused too, as damaged.
bool IsSafeBinaryList(const QByteArray& data, QString* why) {
    const qint64 size = data.size();
    const qint64 trailerSize = 32;
    if (size < 8 + trailerSize) {
        *why = QStringLiteral("truncated binary property list");
        return false;
    }
    const char* bytes = data.constData();
    const char* trailer = bytes + size - trailerSize;
    const int offsetSize = static_cast<unsigned char>(trailer[6]);
    const quint64 objects = BigEndian(trailer + 8, 8);
    const quint64 table = BigEndian(trailer + 24, 8);
    const qint64 end = size - trailerSize;
    if (offsetSize < 1 || offsetSize > 8 || table < 8 || table > static_cast<quint64>(end) ||
        objects > static_cast<quint64>(end - table) / offsetSize) {
        *why = QStringLiteral("damaged binary property list (offset table)");
        return false;
    }
    for (quint64 i = 0; i < objects; ++i) {
        const quint64 offset = BigEndian(bytes + table + i * offsetSize, offsetSize);
        if (offset < 8 || offset >= table) {
            *why = QStringLiteral("damaged binary property list (object offset)");
            return false;
        }
        const unsigned char marker = static_cast<unsigned char>(bytes[offset]);
        if ((marker >> 4) != 0x6) {
            continue;
        }
        quint64 count = marker & 0x0f;
        quint64 pos = offset + 1;
        if (count == 0x0f) {
            const unsigned char intMarker =
                pos < table ? static_cast<unsigned char>(bytes[pos]) : 0;
            const int intSize = 1 << (intMarker & 0x0f);
            if ((intMarker >> 4) != 0x1 || intSize > 8 || pos + 1 + intSize > table) {
                *why = QStringLiteral("damaged binary property list (string length)");
                return false;
            }
            count = BigEndian(bytes + pos + 1, intSize);
            pos += 1 + intSize;
        }
        if (count > (table - pos) / 2) {
            *why = QStringLiteral("damaged binary property list (string length)");
            return false;
        }
        for (quint64 k = 0; k < count; ++k) {
            if (bytes[pos + 2 * k] == 0 && bytes[pos + 2 * k + 1] == 0) {
                *why = QStringLiteral("binary property list with a NUL character in a string");
                return false;
            }
        }
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
    if (binary && !IsSafeBinaryList(data, &why)) {
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
        SetError(error, QStringLiteral("nested deeper than %1 levels").arg(maxPropertyListDepth));
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
    // Non-blocking, so that opening a FIFO returns at once; fstat then refuses it.
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
    struct stat st;
    QByteArray data;
    QString failure;
    if (::fstat(fd, &st) != 0) {
        failure = qt_error_string(errno);
    } else if (!S_ISREG(st.st_mode)) {
        failure = QStringLiteral("not a regular file");
    } else if (st.st_size > maxPropertyListSize) {
        failure = QStringLiteral("larger than %1 bytes").arg(maxPropertyListSize);
    } else {
        // Read up to one byte past the cap: the file may grow after fstat.
        data.resize(static_cast<int>(maxPropertyListSize) + 1);
        qint64 total = 0;
        while (total < data.size()) {
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
