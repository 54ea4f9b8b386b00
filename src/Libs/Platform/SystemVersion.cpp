#include "Platform/SystemVersion.h"

#include <plist/plist.h>
#include <sys/utsname.h>

#include <QFile>
#include <QtGlobal>
#include <cstdlib>

#include "Platform/SystemRoot.h"

namespace Varnex::Platform {

namespace {

const char systemVersionPlist[] = "/System/Library/CoreServices/SystemVersion.plist";
// A real SystemVersion.plist is well under a kilobyte; anything huge is not one.
const qint64 maxPlistSize = 1 << 20;

}  // namespace

QString ReadProductVersion(const QString& plistPath) {
    QFile file(plistPath);
    if (file.size() > maxPlistSize || !file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    const QByteArray data = file.read(maxPlistSize);
    if (data.isEmpty()) {
        return QString();
    }
    plist_t root = nullptr;
    plist_from_memory(data.constData(), static_cast<uint32_t>(data.size()), &root);
    if (!root) {
        return QString();
    }
    QString version;
    if (plist_get_node_type(root) == PLIST_DICT) {
        plist_t item = plist_dict_get_item(root, "ProductVersion");
        if (item && plist_get_node_type(item) == PLIST_STRING) {
            char* text = nullptr;
            plist_get_string_val(item, &text);
            if (text) {
                version = QString::fromUtf8(text).trimmed();
                std::free(text);
            }
        }
    }
    plist_free(root);
    return version;
}

QString SystemVersionText() {
    const QString fromEnv = qEnvironmentVariable("KLARVIK_SYSTEM_VERSION").trimmed();
    if (!fromEnv.isEmpty()) {
        return fromEnv;
    }
    const QString fromPlist =
        ReadProductVersion(SystemPath(QString::fromLatin1(systemVersionPlist)));
    if (!fromPlist.isEmpty()) {
        return fromPlist;
    }
    struct utsname names;
    if (::uname(&names) == 0) {
        return QString::fromUtf8(names.release);
    }
    return QString();
}

}  // namespace Varnex::Platform
