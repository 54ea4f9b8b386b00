#include "QtUtil/Version.h"

#include <QRegularExpression>

#include "Platform/SystemVersion.h"

namespace Varnex::Util {

Version::Version(int major, int minor, int patch)
    : m_major(major), m_minor(minor), m_patch(patch), m_valid(true) {}

Version::Version(const QString& text) {
    // Nine digits at most per part, so that every part fits an int.
    static const QRegularExpression pattern(
        QStringLiteral("^\\s*(\\d{1,9})(?:\\.(\\d{1,9}))?(?:\\.(\\d{1,9}))?(?!\\d)"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        return;
    }
    m_major = match.capturedRef(1).toInt();
    m_minor = match.capturedRef(2).toInt();  // 0 when the part is missing
    m_patch = match.capturedRef(3).toInt();
    m_valid = true;
}

QString Version::ToString() const {
    return QStringLiteral("%1.%2.%3").arg(m_major).arg(m_minor).arg(m_patch);
}

int Version::Compare(const Version& other) const {
    if (m_major != other.m_major) {
        return m_major < other.m_major ? -1 : 1;
    }
    if (m_minor != other.m_minor) {
        return m_minor < other.m_minor ? -1 : 1;
    }
    if (m_patch != other.m_patch) {
        return m_patch < other.m_patch ? -1 : 1;
    }
    return 0;
}

Version GetSystemVersion() {
    return Version(Platform::SystemVersionText());
}

}  // namespace Varnex::Util
