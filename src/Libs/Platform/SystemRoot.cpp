#include "Platform/SystemRoot.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QtGlobal>

namespace Varnex::Platform {

QString SystemRoot() {
    QString root = qEnvironmentVariable("KLARVIK_SYSROOT");
    while (root.size() > 1 && root.endsWith(QLatin1Char('/'))) {
        root.chop(1);
    }
    if (root == QLatin1String("/")) {
        return QString();
    }
    return root;
}

QString SystemPath(const QString& macPath) {
    if (!macPath.startsWith(QLatin1Char('/'))) {
        return macPath;
    }
    const QString root = SystemRoot();
    if (root.isEmpty()) {
        return macPath;
    }
    if (macPath == QLatin1String("/")) {
        return root;
    }
    return root + macPath;
}

QString HomePath() {
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty()) {
        return QDir::cleanPath(home);
    }
    // No HOME: the passwd entry, never "/" by default.
    if (const passwd* entry = ::getpwuid(::geteuid())) {
        if (entry->pw_dir && entry->pw_dir[0] == '/') {
            return QDir::cleanPath(QString::fromUtf8(entry->pw_dir));
        }
    }
    return QString();
}

}  // namespace Varnex::Platform
