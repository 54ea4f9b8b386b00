#include "Core/details/PhotoLibrary.h"

#include <QDir>
#include <QFileInfo>
#include <QVariantMap>

#include "Platform/PropertyList.h"
#include "Platform/SystemRoot.h"
#include "Platform/ToolRun.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString iPhotoPreferencesPList = QStringLiteral("Library/Preferences/com.apple.IPhoto.plist");
const QString applicationProgram = QStringLiteral("iPhoto.app/Contents/MacOS/iPhoto");
const int psTimeLimitMs = 30000;

}  // namespace

QString PhotoLibrary::GetPreferencesPath() {
    const QString home = Platform::HomePath();
    return home.isEmpty() ? QString() : QDir(home).absoluteFilePath(iPhotoPreferencesPList);
}

QString PhotoLibrary::LoadLibraryPath() {
    const QString preferences = GetPreferencesPath();
    if (preferences.isEmpty()) {
        return QString();
    }
    return Platform::ReadPropertyListFile(preferences)
        .toMap()
        .value(QStringLiteral("RootDirectory"))
        .toString();
}

bool PhotoLibrary::DoesLibraryExist() {
    const QString library = LoadLibraryPath();
    return !library.isEmpty() && QFileInfo(library).isDir();
}

QString PhotoLibrary::GetDatabasePath(const QString& libraryPath) {
    return QDir(libraryPath + QStringLiteral("/Database")).absoluteFilePath(QStringLiteral("Library.apdb"));
}

bool PhotoLibrary::IsApplicationRunning(QString* problem) {
    const Platform::ToolOutcome ps =
        Platform::RunTool(QStringLiteral("ps"), {QStringLiteral("ax"), QStringLiteral("-o"),
                                                 QStringLiteral("command=")},
                          psTimeLimitMs);
    if (!ps.Succeeded()) {
        if (problem) {
            *problem = QStringLiteral("whether the photo application runs is unknown (ps: %1)")
                           .arg(ps.Describe());
        }
        return true;
    }
    for (const QByteArray& line : ps.output.split('\n')) {
        // The program comes first, as an absolute path that may hold blanks
        // ("/Applications/Photo Apps/iPhoto.app/..."); the application's path
        // given to another program ("vim /x/iPhoto.app/...", "/usr/bin/less
        // /x/iPhoto.app/...") is an argument, not the application.
        const QString command = QString::fromUtf8(line.trimmed());
        const int end = command.indexOf(applicationProgram);
        if (end < 0 || !command.startsWith(QLatin1Char('/'))) {
            continue;
        }
        const QString program = command.left(end);
        const int after = end + applicationProgram.size();
        if (!program.contains(QStringLiteral(" /")) && program.endsWith(QLatin1Char('/')) &&
            (command.size() == after || command.at(after) == QLatin1Char(' '))) {
            if (problem) {
                *problem = QStringLiteral("the photo application runs");
            }
            return true;
        }
    }
    return false;
}

}  // namespace Varnex::Cleaner::Details
