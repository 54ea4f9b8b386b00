#include "Platform/BundleInfo.h"

#include <glog/logging.h>
#include <sys/stat.h>

#include <cstdio>

#include "Platform/PathCodec.h"
#include "Platform/PropertyList.h"

namespace Varnex::Platform {

namespace {

const QString bundleSuffix = QStringLiteral(".app");
const QString infoPlistPart = QStringLiteral("Contents/Info.plist");

// For log lines: a path as UTF-8 with control characters and backslashes
// escaped, as Util::LogText writes them (that library builds on this one, so
// it cannot be called from here).
std::string Printable(const QString& text) {
    std::string out;
    for (const char ch : text.toStdString()) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace

BundleInfo::BundleInfo(const QString& bundlePath) : m_bundlePath(bundlePath) {
    if (!bundlePath.startsWith(QLatin1Char('/'))) {
        return;
    }
    const QString plistPath = InfoPlistPath(bundlePath);
    QString error;
    const QVariant value = ReadPropertyListFile(plistPath, &error);
    if (!value.isValid()) {
        if (!error.isEmpty()) {
            LOG(WARNING) << "Can't read the bundle information " << Printable(plistPath) << ": "
                         << error.toStdString();
        }
        return;
    }
    if (value.type() != QVariant::Map) {
        LOG(WARNING) << "Can't read the bundle information " << Printable(plistPath)
                     << ": not a dictionary but " << value.typeName();
        return;
    }
    m_info = value.toMap();
    m_valid = true;
}

bool BundleInfo::IsBundle(const QString& path) {
    QString name = path;
    while (name.endsWith(QLatin1Char('/'))) {
        name.chop(1);
    }
    name = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
    if (name.size() <= bundleSuffix.size() || !name.endsWith(bundleSuffix)) {
        return false;
    }
    std::string bytes;
    struct stat st;
    return EncodePath(path, &bytes) && ::stat(bytes.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

QString BundleInfo::InfoPlistPath(const QString& bundlePath) {
    return bundlePath.endsWith(QLatin1Char('/')) ? bundlePath + infoPlistPart
                                                 : bundlePath + QLatin1Char('/') + infoPlistPart;
}

QString BundleInfo::GetIdentifier() const {
    return GetString(QStringLiteral("CFBundleIdentifier"));
}

QString BundleInfo::GetName() const {
    return GetString(QStringLiteral("CFBundleName"));
}

QString BundleInfo::GetString(const QString& key) const {
    const QVariant value = m_info.value(key);
    return value.type() == QVariant::String ? value.toString() : QString();
}

}  // namespace Varnex::Platform
