#include "Platform/SystemRoot.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <cstdlib>
#include <cstring>

#include "Platform/PathCodec.h"

namespace Varnex::Platform {

namespace {

// ".." after a link leads where the kernel says, not where the text says: such
// a home is resolved by the kernel (where it exists).
QString CleanHome(const QString& home) {
    const QString clean = QDir::cleanPath(home);
    if (!home.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
        return clean;
    }
    std::string bytes;
    if (!EncodePath(home, &bytes)) {
        return clean;
    }
    char* real = ::realpath(bytes.c_str(), nullptr);
    QString resolved;
    const bool decoded = real && DecodePath(real, std::strlen(real), &resolved);
    std::free(real);
    return decoded ? resolved : clean;
}

}  // namespace

PathVariable ReadPathVariable(const char* name, QString* value) {
    const char* bytes = PathVariableBytes(name);
    if (!bytes || bytes[0] == '\0') {
        return PathVariable::UNSET;
    }
    QString text;
    // A relative one would name another folder from every working folder.
    if (bytes[0] != '/' || !DecodePath(bytes, std::strlen(bytes), &text)) {
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
            return CleanHome(home);
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
