#include "common/PropertyListFixtures.h"

#include <plist/plist.h>

#include <vector>

namespace Varnex::Test {

namespace {

QByteArray BigEndian(quint64 value, int size) {
    QByteArray out(size, '\0');
    for (int i = size - 1; i >= 0; --i, value >>= 8) {
        out[i] = static_cast<char>(value & 0xff);
    }
    return out;
}

int BytesFor(quint64 value) {
    int size = 1;
    while (size < 8 && (value >> (8 * size)) != 0) {
        ++size;
    }
    return size;
}

// An array object whose elements are the object indexes in `refs`.
QByteArray ArrayObject(const std::vector<quint64>& refs, int refSize) {
    QByteArray out;
    if (refs.size() < 15) {
        out += static_cast<char>(0xa0 | refs.size());
    } else {
        out += static_cast<char>(0xaf);
        out += static_cast<char>(0x13);  // an 8-byte integer follows
        out += BigEndian(refs.size(), 8);
    }
    for (const quint64 ref : refs) {
        out += BigEndian(ref, refSize);
    }
    return out;
}

// A "bplist00" file of the encoded `objects`, the first being the top one.
QByteArray BinaryList(const std::vector<QByteArray>& objects, int refSize) {
    QByteArray out("bplist00");
    std::vector<quint64> offsets;
    offsets.reserve(objects.size());
    for (const QByteArray& object : objects) {
        offsets.push_back(static_cast<quint64>(out.size()));
        out += object;
    }
    const quint64 table = static_cast<quint64>(out.size());
    const int offsetSize = BytesFor(table);
    for (const quint64 offset : offsets) {
        out += BigEndian(offset, offsetSize);
    }
    out += QByteArray(6, '\0');
    out += static_cast<char>(offsetSize);
    out += static_cast<char>(refSize);
    out += BigEndian(objects.size(), 8);
    out += BigEndian(0, 8);  // top object
    out += BigEndian(table, 8);
    return out;
}

}  // namespace

QByteArray BinaryPropertyList(const QByteArray& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &root);
    if (!root) {
        return QByteArray();
    }
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    plist_free(root);
    QByteArray out(bin, static_cast<int>(length));
    plist_to_bin_free(bin);
    return out;
}

QByteArray NestedBinaryArrays(int depth) {
    const int refSize = BytesFor(static_cast<quint64>(depth));
    std::vector<QByteArray> objects;
    objects.reserve(static_cast<size_t>(depth));
    for (int i = 0; i + 1 < depth; ++i) {
        objects.push_back(ArrayObject({static_cast<quint64>(i + 1)}, refSize));
    }
    objects.push_back(ArrayObject({}, refSize));
    return BinaryList(objects, refSize);
}

QByteArray DoublingBinaryArrays(int levels) {
    const int refSize = BytesFor(static_cast<quint64>(levels));
    std::vector<QByteArray> objects;
    for (int i = 0; i + 1 < levels; ++i) {
        const quint64 next = static_cast<quint64>(i + 1);
        objects.push_back(ArrayObject({next, next}, refSize));
    }
    objects.push_back(ArrayObject({}, refSize));
    return BinaryList(objects, refSize);
}

QByteArray SelfContainingBinaryArray() {
    return BinaryList({ArrayObject({0}, 1)}, 1);
}

QByteArray NestedXmlArrays(int depth) {
    QByteArray out(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict><key>CFBundleIdentifier</key><string>x.deep</string>"
        "<key>Deep</key>");
    out.reserve(out.size() + depth * 15 + 32);
    for (int i = 0; i < depth; ++i) {
        out += "<array>";
    }
    for (int i = 0; i < depth; ++i) {
        out += "</array>";
    }
    out += "</dict>\n</plist>\n";
    return out;
}

}  // namespace Varnex::Test
