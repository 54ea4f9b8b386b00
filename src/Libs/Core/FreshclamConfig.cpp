#include "Core/FreshclamConfig.h"

#include <glog/logging.h>

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include "CleanerCommon/LogText.h"

namespace Varnex::Cleaner::Details {

namespace {

bool HasLineBreak(const QString& text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')) ||
           text.contains(QChar(0));
}

// True when `text` survives the trip to local 8-bit and back unchanged.
bool EncodesLosslessly(const QString& text) {
    return QString::fromLocal8Bit(text.toLocal8Bit()) == text;
}

}  // namespace

bool FreshclamConfig::Write(const QString& confPath, const QString& dbFolder,
                            const QString& mirrorHost, QString* problem) {
    auto fail = [&](const QString& text) {
        LOG(ERROR) << Util::LogText(text);
        if (problem) {
            *problem = text;
        }
        return false;
    };
    if (problem) {
        problem->clear();
    }
    if (confPath.isEmpty() || dbFolder.isEmpty() || mirrorHost.isEmpty()) {
        return fail(
            QStringLiteral("Can't write the updater configuration: a path or the mirror is empty"));
    }
    if (HasLineBreak(dbFolder) || HasLineBreak(mirrorHost) || HasLineBreak(confPath)) {
        return fail(QStringLiteral("Can't write the updater configuration: a line break in \"") +
                    dbFolder + QStringLiteral("\" or \"") + mirrorHost + QStringLiteral("\""));
    }
    if (mirrorHost.contains(QLatin1Char(' ')) || mirrorHost.contains(QLatin1Char('\t'))) {
        return fail(
            QStringLiteral("Can't write the updater configuration: a blank in the mirror \"") +
            mirrorHost + QStringLiteral("\""));
    }
    if (!EncodesLosslessly(dbFolder) || !EncodesLosslessly(mirrorHost) ||
        !EncodesLosslessly(confPath)) {
        return fail(QStringLiteral("Can't write the updater configuration: \"") + dbFolder +
                    QStringLiteral("\" can't be written as local 8-bit text"));
    }
    const QFileInfo info(confPath);
    if (info.isSymLink()) {
        return fail(QStringLiteral("Can't write ") + confPath +
                    QStringLiteral(": it is a symbolic link"));
    }
    if (info.exists() && !info.isFile()) {
        return fail(QStringLiteral("Can't write ") + confPath + QStringLiteral(": not a file"));
    }
    const QString folder = info.absolutePath();
    // The engine's own folders (etc and the engine folder holding it) are
    // never reached through a link: the file would be written where the link
    // leads.
    for (const QString& own : {folder, QFileInfo(folder).absolutePath()}) {
        if (QFileInfo(own).isSymLink()) {
            return fail(QStringLiteral("Can't write ") + confPath + QStringLiteral(": ") + own +
                        QStringLiteral(" is a symbolic link"));
        }
    }
    if (!QDir().mkpath(folder)) {
        return fail(QStringLiteral("Can't create the folder ") + folder);
    }
    QSaveFile file(confPath);
    if (!file.open(QIODevice::WriteOnly)) {
        return fail(QStringLiteral("Can't write ") + confPath + QStringLiteral(": ") +
                    file.errorString());
    }
    const QByteArray text = QStringLiteral("DatabaseDirectory %1\nDatabaseMirror %2\n")
                                .arg(dbFolder, mirrorHost)
                                .toLocal8Bit();
    // commit() does not see a failure of the last buffered write: flush() does.
    if (file.write(text) != text.size() || !file.flush()) {
        const QString why = file.errorString();
        file.cancelWriting();
        return fail(QStringLiteral("Can't write ") + confPath + QStringLiteral(": ") + why);
    }
    if (!file.commit()) {
        return fail(QStringLiteral("Can't write ") + confPath + QStringLiteral(": ") +
                    file.errorString());
    }
    return true;
}

QString FreshclamConfig::DescribeExit(int code) {
    switch (code) {
        case 0:
            return QStringLiteral("done");
        case 52:
            return QStringLiteral("can't connect to the mirror");
        case 54:
            return QStringLiteral("the downloaded database could not be verified");
        case 59:
            return QStringLiteral("the mirrors are not in step yet");
        default:
            return QStringLiteral("failed with exit code %1").arg(code);
    }
}

}  // namespace Varnex::Cleaner::Details
