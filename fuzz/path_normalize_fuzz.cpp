// The lexical path helpers. Each input line is a path: its one spelling is
// stable (normalising it again changes nothing), has no empty, "." or ".."
// component, and splits into its parent and its name; the list without the
// entries inside others keeps no entry inside another.
#include <QStringList>

#include "CleanerCommon/Paths.h"
#include "fuzz/FuzzSupport.h"

using namespace Varnex::Cleaner;

namespace {

bool HasDotDot(const QString& path) {
    return path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

bool Inside(const QString& path, const QString& folder) {
    if (folder == QLatin1String("/")) {
        return path.startsWith(QLatin1Char('/'));
    }
    QString base = folder;
    while (base.size() > 1 && base.endsWith(QLatin1Char('/'))) {
        base.chop(1);
    }
    return path == base || path.startsWith(base + QLatin1Char('/'));
}

void CheckNormalized(const QString& path) {
    const QString normal = NormalizeAbsolutePath(path);
    FUZZ_CHECK(normal.isNull() == (!path.startsWith(QLatin1Char('/')) || HasDotDot(path)));
    if (normal.isNull()) {
        return;
    }
    FUZZ_CHECK(NormalizeAbsolutePath(normal) == normal);
    FUZZ_CHECK(!normal.contains(QStringLiteral("//")));
    FUZZ_CHECK(!normal.contains(QStringLiteral("/./")) && !normal.endsWith(QStringLiteral("/.")));
    FUZZ_CHECK(normal == QLatin1String("/") || !normal.endsWith(QLatin1Char('/')));
    if (normal != QLatin1String("/")) {
        const QString parent = ExtractParentPath(normal);
        const QString name = ExtractFileName(normal);
        FUZZ_CHECK(!name.isEmpty() && !name.contains(QLatin1Char('/')));
        FUZZ_CHECK((parent == QLatin1String("/") ? QString() : parent) + QLatin1Char('/') + name ==
                   normal);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const QStringList paths = text.split(QLatin1Char('\n'));
    for (const QString& path : paths) {
        CheckNormalized(path);
        ExtractBundlePath(path);
        ExtractBundleName(path);
        ExtractBundleIdentifier(path);
        ExtractBundleIdentifierLast(path);
        ExtractBasicLangCode(ExtractLProjName(path));
        ExtractLProjPath(path);
        IsInTrashFolder(path);
    }
    const QStringList kept = FilterSubDirs(paths);
    for (int i = 0; i < kept.size(); ++i) {
        FUZZ_CHECK(!kept[i].isEmpty() && paths.contains(kept[i]));
        for (int j = 0; j < kept.size(); ++j) {
            FUZZ_CHECK(i == j || !Inside(kept[i], kept[j]));
        }
    }
    return 0;
}
