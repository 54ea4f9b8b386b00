#include "Core/ClamavLayout.h"

#include "Platform/LibrarySearchPath.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString pathPrefix = QStringLiteral("/Applications/ClamAV");

// Never follow a link, and keep to what was asked for.
QStringList CommonScanOptions(const ClamavLayout& layout) {
    return {QStringLiteral("-d"), layout.GetDatabaseFolder(),
            QStringLiteral("--follow-dir-symlinks=0"), QStringLiteral("--follow-file-symlinks=0")};
}

}  // namespace

QString ClamavLayout::DefaultPrefix() {
    return Platform::SystemPath(pathPrefix);
}

ClamavLayout::ClamavLayout(const QString& prefix) : m_prefix(prefix) {
    while (m_prefix.size() > 1 && m_prefix.endsWith(QLatin1Char('/'))) {
        m_prefix.chop(1);
    }
}

QStringList ClamavLayout::GetLibraryEnvironment() const {
    const QString name = Platform::LibrarySearchVariable();
    const QString previous = QString::fromUtf8(qgetenv(name.toLatin1().constData()));
    return {name + QLatin1Char('=') +
            Platform::PrependLibraryFolders({GetLibFolder(), GetLib64Folder()}, previous)};
}

ClamavLayout::Command ClamavLayout::GetScanCommand(const QStringList& paths,
                                                  const QStringList& exclusions) const {
    Command command{GetClamscanPath(), CommonScanOptions(*this), GetLibraryEnvironment()};
    command.args << QStringLiteral("-r");
    for (const QString& exclusion : exclusions) {
        if (!exclusion.isEmpty()) {
            // Folders and files alike: what contains the text is left out.
            const QString pattern = ExclusionPattern(exclusion);
            command.args << QStringLiteral("--exclude-dir=") + pattern
                         << QStringLiteral("--exclude=") + pattern;
        }
    }
    // After "--" a path that begins with '-' is a path.
    command.args << QStringLiteral("--") << paths;
    return command;
}

ClamavLayout::Command ClamavLayout::GetFileCheckCommand(const QString& path) const {
    Command command{GetClamscanPath(), CommonScanOptions(*this), GetLibraryEnvironment()};
    command.args << QStringLiteral("--no-summary") << QStringLiteral("--") << path;
    return command;
}

QString ClamavLayout::ExclusionPattern(const QString& path) {
    // The special characters of an extended regular expression; everything
    // else stands for itself (an escaped ordinary character is undefined).
    static const QString special = QStringLiteral(".[]()*+?{}|^$\\");
    QString pattern;
    for (const QChar c : path) {
        if (special.contains(c)) {
            pattern += QLatin1Char('\\');
        }
        pattern += c;
    }
    return pattern;
}

}  // namespace Varnex::Cleaner::Details
