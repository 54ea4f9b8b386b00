// Signature database headers, in memory and from a file: an accepted header
// has a version, a count and a time in UTC or none; fields after the fourth
// are never looked at; the file reader agrees with the parser.
#include <QFile>

#include "Core/DatabaseInfo.h"
#include "fuzz/FuzzSupport.h"

using Varnex::Cleaner::DatabaseInfo;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Varnex::Fuzz::QuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const QByteArray bytes = Varnex::Fuzz::Bytes(data, size);
    const DatabaseInfo info = DatabaseInfo::ParseHeader(bytes);
    if (info.IsNull()) {
        FUZZ_CHECK(info == DatabaseInfo());
    } else {
        FUZZ_CHECK(info.version >= 0 && info.signatures >= 0);
        FUZZ_CHECK(!info.time.isValid() || info.time.timeSpec() == Qt::UTC);
    }

    // What the reader takes of a file: up to the fourth ':' in the first
    // headerSize bytes, or nothing.
    QByteArray head;
    int colons = 0;
    for (int i = 0; i < bytes.size() && i < DatabaseInfo::headerSize && colons < 4; ++i) {
        head.append(bytes[i]);
        colons += bytes[i] == ':';
    }
    if (colons == 4) {
        FUZZ_CHECK(DatabaseInfo::ParseHeader(head) == info);
    }

    const QString path = Varnex::Fuzz::ScratchFolder() + QStringLiteral("/daily.cvd");
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
    file.close();
    QString problem;
    const DatabaseInfo read = DatabaseInfo::ReadFile(path, &problem);
    FUZZ_CHECK(read == (colons == 4 ? info : DatabaseInfo()));
    FUZZ_CHECK(read.IsNull() != problem.isEmpty());
    return 0;
}
