#include "common/PropertyListFixtures.h"

#include <plist/plist.h>

namespace Varnex::Test {

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

}  // namespace Varnex::Test
