#include "Platform/SystemVersion.h"

#include <sys/utsname.h>

#include <QVariant>
#include <QtGlobal>
#include <cstdlib>

#include "Platform/PropertyList.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Platform {

namespace {

const char systemVersionPlist[] = "/System/Library/CoreServices/SystemVersion.plist";

}  // namespace

QString ReadProductVersion(const QString& plistPath) {
    // Through the guarded reader: the file lies below a root any user may set.
    const QVariant root = ReadPropertyListFile(plistPath);
    return root.toMap().value(QStringLiteral("ProductVersion")).toString().trimmed();
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
