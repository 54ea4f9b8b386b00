#include "Platform/SystemRoot.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <cstdlib>
#include <cstring>

#include "Platform/PathCodec.h"

namespace Varnex::Platform {

PathVariable ReadPathVariable(const char* name, QString* value) {
    const char* bytes = PathVariableBytes(name);
    if (!bytes || bytes[0] == '\0') {
        return PathVariable::UNSET;
    }
    QString text;
    if (!DecodePath(bytes, std::strlen(bytes), &text)) {
        return PathVariable::UNDECODABLE;
    }
    if (value) {
        *value = text;
    }
    return PathVariable::VALID;
}

const char* PathVariableBytes(const char* name) {
    return std::getenv(name);
}

const char* UndecodablePathVariable() {
    for (const char* name : {"HOME", "KLARVIK_SYSROOT"}) {
        if (ReadPathVariable(name) == PathVariable::UNDECODABLE) {
            return name;
        }
    }
    return nullptr;
}

QString SystemRoot() {
    QString root;
    if (ReadPathVariable("KLARVIK_SYSROOT", &root) == PathVariable::UNDECODABLE) {
        return QStringLiteral("/") + QChar(0xDC00);
    }
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
    QString home;
    switch (ReadPathVariable("HOME", &home)) {
        case PathVariable::VALID:
            return QDir::cleanPath(home);
        case PathVariable::UNDECODABLE:
            return QString();
        case PathVariable::UNSET:
            break;
    }
    // No HOME: the passwd entry, never "/" by default.
    if (const passwd* entry = ::getpwuid(::geteuid())) {
        if (entry->pw_dir && entry->pw_dir[0] == '/') {
            QString dir;
            if (DecodePath(entry->pw_dir, std::strlen(entry->pw_dir), &dir)) {
                return QDir::cleanPath(dir);
            }
        }
    }
    return QString();
}

}  // namespace Varnex::Platform
