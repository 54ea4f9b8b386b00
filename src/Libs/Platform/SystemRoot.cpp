#include "Platform/SystemRoot.h"

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
    return QDir::homePath();
}

}  // namespace Varnex::Platform
