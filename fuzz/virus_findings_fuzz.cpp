// The saved findings of the last virus scan: any file reads without harm, a
// path or name read is strict UTF-8, and what was read, saved again and read
// back is the same list.
#include <QFile>

#include "Core/details/VirusFindingsFile.h"
#include "Platform/PathCodec.h"
#include "fuzz/FuzzSupport.h"

using Varnex::Cleaner::Details::VirusFindingsFile;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Varnex::Fuzz::QuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const QString path = Varnex::Fuzz::ScratchFolder() + QStringLiteral("/lastViruses");
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) ==
               static_cast<qint64>(size));
    file.close();

    long long handled = 0;
    const std::vector<VirusFindingsFile::Finding> findings =
        VirusFindingsFile::Load(path, &handled);
    FUZZ_CHECK(handled >= -1);
    for (const VirusFindingsFile::Finding& finding : findings) {
        FUZZ_CHECK(!finding.path.isEmpty() && finding.size >= 0);
        // Only text that is the file's bytes unchanged is taken.
        std::string bytes;
        FUZZ_CHECK(Varnex::Platform::EncodePath(finding.path, &bytes));
        FUZZ_CHECK(finding.name.isEmpty() || Varnex::Platform::EncodePath(finding.name, &bytes));
    }

    const QString again = Varnex::Fuzz::ScratchFolder() + QStringLiteral("/saved/lastViruses");
    FUZZ_CHECK(VirusFindingsFile::Save(again, handled, findings));
    long long handledAgain = 0;
    const std::vector<VirusFindingsFile::Finding> back =
        VirusFindingsFile::Load(again, &handledAgain);
    FUZZ_CHECK(handledAgain == handled);
    FUZZ_CHECK(back.size() == findings.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
        FUZZ_CHECK(back[i].path == findings[i].path);
        FUZZ_CHECK(back[i].name == findings[i].name);
        FUZZ_CHECK(back[i].size == findings[i].size);
    }
    return 0;
}
