#include "Core/details/ApplicationLeftovers.h"

#include <QRegularExpression>

namespace Varnex::Cleaner::Details::ApplicationLeftovers {

const QString cachesName = QStringLiteral("Caches");
const QString preferencesName = QStringLiteral("Preferences");
const QString savedStatesName = QStringLiteral("Saved Application State");
const QString crashesName = QStringLiteral("Crashes");

namespace {

bool IsIdentifierCharacter(QChar c) {
    const ushort u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.' ||
           u == '-' || u == '_';
}

bool IsTeamIdentifier(const QString& text) {
    if (text.size() != 10) {
        return false;
    }
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (!((u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsValidBundleIdentifier(const QString& id) {
    if (id.isEmpty() || id.size() > 255) {
        return false;
    }
    for (const QChar c : id) {
        if (!IsIdentifierCharacter(c)) {
            return false;
        }
    }
    const QStringList parts = id.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() < 2) {
        return false;
    }
    for (const QString& part : parts) {
        if (part.isEmpty()) {
            return false;
        }
    }
    return true;
}

std::vector<Root> MakeRoots(const QString& library, const QString& darwinCache) {
    std::vector<Root> roots;
    if (library.isEmpty()) {
        return roots;
    }
    const QString lib = library.endsWith(QLatin1Char('/')) ? library : library + QLatin1Char('/');
    roots.push_back({cachesName, lib + QStringLiteral("Caches"), Root::CACHES});
    if (!darwinCache.isEmpty()) {
        roots.push_back({cachesName, darwinCache, Root::CACHES});
    }
    roots.push_back({preferencesName, lib + QStringLiteral("Preferences"), Root::PREFERENCES});
    roots.push_back({savedStatesName, lib + savedStatesName, Root::SAVED_STATE});
    roots.push_back({QStringLiteral("Application Support"),
                     lib + QStringLiteral("Application Support"), Root::PLAIN});
    roots.push_back(
        {QStringLiteral("Containers"), lib + QStringLiteral("Containers"), Root::PLAIN});
    roots.push_back({QStringLiteral("Group Containers"), lib + QStringLiteral("Group Containers"),
                     Root::GROUP});
    roots.push_back(
        {QStringLiteral("HTTPStorages"), lib + QStringLiteral("HTTPStorages"), Root::HTTP});
    roots.push_back({QStringLiteral("WebKit"), lib + QStringLiteral("WebKit"), Root::PLAIN});
    roots.push_back({QStringLiteral("Logs"), lib + QStringLiteral("Logs"), Root::PLAIN});
    roots.push_back(
        {crashesName, lib + QStringLiteral("Application Support/CrashReporter"), Root::CRASHES});
    roots.push_back({crashesName, lib + QStringLiteral("Logs/DiagnosticReports"), Root::CRASHES});
    return roots;
}

bool Matches(Root::Rule rule, const QString& name, const QString& id) {
    if (name.startsWith(QLatin1Char('.')) || !IsValidBundleIdentifier(id)) {
        return false;
    }
    switch (rule) {
        case Root::CACHES:
            return name == id || name == id + QLatin1String(".cache") ||
                   name == id + QLatin1String(".plist");
        case Root::PREFERENCES:
            return name == id + QLatin1String(".plist");
        case Root::SAVED_STATE:
            return name == id + QLatin1String(".savedState");
        case Root::PLAIN:
            return name == id;
        case Root::GROUP:
            return name.size() == id.size() + 11 && name.endsWith(id) &&
                   name.at(10) == QLatin1Char('.') && IsTeamIdentifier(name.left(10));
        case Root::HTTP:
            return name == id || name == id + QLatin1String(".binarycookies");
        case Root::CRASHES:
            return false;
    }
    return false;
}

bool IsCrashReport(const QString& name) {
    return !name.startsWith(QLatin1Char('.')) &&
           (name.endsWith(QLatin1String(".crash")) || name.endsWith(QLatin1String(".plist")) ||
            name.endsWith(QLatin1String(".ips")));
}

namespace {

// The process name of a report named "NAME-YYYY-MM-DD-HHMMSS[.N].ips", the
// way the system names them now; empty for any other name.
QString IpsProcessName(const QString& name) {
    static const QRegularExpression stamp(
        QStringLiteral("^(.+)-\\d{4}-\\d{2}-\\d{2}-\\d{6}(?:\\.\\d+)?\\.ips$"));
    const QRegularExpressionMatch match = stamp.match(name);
    return match.hasMatch() ? match.captured(1) : QString();
}

}  // namespace

QString CrashOwner(const QString& name, const QStringList& candidates) {
    // A report of this form names its process exactly: only that name owns it
    // (a prefix would give "Foo-Bar" reports to "Foo").
    if (name.endsWith(QLatin1String(".ips"))) {
        const QString process = IpsProcessName(name);
        return !process.isEmpty() && candidates.count(process) == 1 ? process : QString();
    }
    QString best;
    bool unique = false;
    for (const QString& key : candidates) {
        if (key.isEmpty() || key.size() < best.size() || name.size() <= key.size() + 1 ||
            !name.startsWith(key) || name.at(key.size()) != QLatin1Char('_')) {
            continue;
        }
        if (key.size() > best.size()) {
            best = key;
            unique = true;
        } else {
            unique = false;  // the same length matched twice: a repeated key
        }
    }
    return unique ? best : QString();
}

bool IsSameOrInside(const QString& path, const QString& folder) {
    if (folder.isEmpty()) {
        return false;
    }
    if (path == folder) {
        return true;
    }
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.startsWith(prefix);
}

}  // namespace Varnex::Cleaner::Details::ApplicationLeftovers
