#include "Core/EngineVersion.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace Varnex::Cleaner {

namespace {

const int versionLengthLimit = 32;

}  // namespace

bool EngineVersion::IsSafe(const QString& version) {
    static const QRegularExpression pattern(
        QStringLiteral("\\A[0-9]+(\\.[0-9A-Za-z]+)*(-[0-9A-Za-z.]+)?\\z"));
    return !version.isEmpty() && version.size() <= versionLengthLimit &&
           !version.contains(QLatin1String("..")) && pattern.match(version).hasMatch();
}

QString EngineVersion::FromVersionFile(QByteArray bytes) {
    const int zero = bytes.indexOf('\0');
    if (zero >= 0) {
        bytes.truncate(zero);
    }
    return QString::fromLocal8Bit(bytes).remove(QLatin1Char('\n')).trimmed();
}

bool EngineVersion::FromInfoDocument(const QByteArray& body, QStringList* versions,
                                     QStringList* rejected, QString* problem) {
    versions->clear();
    rejected->clear();
    if (body.size() > infoLimitBytes) {
        *problem = QStringLiteral("it is too large");
        return false;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (document.isNull()) {
        *problem = error.errorString();
        return false;
    }
    for (const QJsonValue& value :
         document.object().value(QStringLiteral("engineVersions")).toArray()) {
        const QString version = value.toString();
        if (IsSafe(version)) {
            versions->append(version);
        } else if (value.isString()) {
            rejected->append(version);
        }
    }
    return true;
}

}  // namespace Varnex::Cleaner
