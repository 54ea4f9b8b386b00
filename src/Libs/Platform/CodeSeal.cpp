#include "Platform/CodeSeal.h"

#include <sys/stat.h>

#include <QVariantMap>

#include "Platform/PathCodec.h"
#include "Platform/PropertyList.h"

namespace Varnex::Platform {

namespace {

const QString sealFile = QStringLiteral("/_CodeSignature/CodeResources");
const QString lprojMark = QStringLiteral(".lproj/");

bool IsRegularFile(const QString& path) {
    std::string bytes;
    struct stat st {};
    return EncodePath(path, &bytes) && ::lstat(bytes.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A file entry that must be there: a hash (data), or a dictionary that does
// not say optional. Anything else is taken as sealed too.
bool IsRequired(const QVariant& entry) {
    if (entry.userType() == QMetaType::QVariantMap) {
        const QVariant optional = entry.toMap().value(QStringLiteral("optional"));
        return !(optional.userType() == QMetaType::Bool && optional.toBool());
    }
    return true;
}

}  // namespace

QString ResourceSealRoot(const QString& path, const QString& bundlePath) {
    if (bundlePath.isEmpty() || !path.startsWith(bundlePath + QLatin1Char('/'))) {
        return QString();
    }
    QString folder = path.left(path.lastIndexOf(QLatin1Char('/')));
    while (folder.size() >= bundlePath.size()) {
        if (IsRegularFile(folder + sealFile)) {
            return folder;
        }
        if (IsRegularFile(folder + QStringLiteral("/Contents") + sealFile)) {
            return folder + QStringLiteral("/Contents");
        }
        if (folder == bundlePath) {
            break;
        }
        folder = folder.left(folder.lastIndexOf(QLatin1Char('/')));
    }
    return QString();
}

ResourceSeal ReadResourceSeal(const QString& sealRoot) {
    ResourceSeal seal;
    QString error;
    const QVariant list = ReadPropertyListFile(sealRoot + sealFile, &error);
    if (list.userType() != QMetaType::QVariantMap) {
        seal.problem = error.isEmpty() ? QStringLiteral("it is not a dictionary") : error;
        return seal;
    }
    const QVariantMap top = list.toMap();
    for (const char* table : {"files", "files2"}) {
        const QVariant files = top.value(QLatin1String(table));
        if (!files.isValid()) {
            continue;
        }
        if (files.userType() != QMetaType::QVariantMap) {
            seal.problem = QStringLiteral("its \"%1\" is not a dictionary").arg(QLatin1String(table));
            return seal;
        }
        const QVariantMap entries = files.toMap();
        for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
            if (!IsRequired(it.value())) {
                continue;
            }
            // Every folder on the way named like a localization holds the
            // file: "Resources/Old.lproj/fr.lproj/x" seals both.
            for (int mark = it.key().indexOf(lprojMark); mark >= 0;
                 mark = it.key().indexOf(lprojMark, mark + 1)) {
                seal.sealedLocalizations.insert(it.key().left(mark + lprojMark.size() - 1));
            }
        }
    }
    seal.readable = true;
    return seal;
}

}  // namespace Varnex::Platform
