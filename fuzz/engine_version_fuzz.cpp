// The engine's version data: the installed "version" file and the engine
// information document. Every version taken is a safe name (no path, no
// "..", short), and one is taken only from a document that reads.
#include "Core/EngineVersion.h"
#include "fuzz/FuzzSupport.h"

using Varnex::Cleaner::EngineVersion;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const QByteArray bytes = Varnex::Fuzz::Bytes(data, size);

    const QString installed = EngineVersion::FromVersionFile(bytes);
    FUZZ_CHECK(!installed.contains(QLatin1Char('\n')) && !installed.contains(QChar(0)));
    FUZZ_CHECK(installed == installed.trimmed());

    QStringList versions;
    QStringList rejected;
    QString problem;
    const bool read = EngineVersion::FromInfoDocument(bytes, &versions, &rejected, &problem);
    FUZZ_CHECK(read == problem.isEmpty());
    FUZZ_CHECK(read || (versions.isEmpty() && rejected.isEmpty()));
    for (const QString& version : versions) {
        FUZZ_CHECK(EngineVersion::IsSafe(version));
        FUZZ_CHECK(!version.contains(QLatin1Char('/')) && !version.contains(QLatin1String("..")));
        FUZZ_CHECK(version.size() <= 32);
    }
    for (const QString& version : rejected) {
        FUZZ_CHECK(!EngineVersion::IsSafe(version));
    }
    return 0;
}
