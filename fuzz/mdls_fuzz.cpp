// The output of `mdls -name kMDItemLastUsedDate`: a date only from the one
// expected line, and then a valid local time that reads back the same.
#include "Core/details/MdlsOutput.h"
#include "fuzz/FuzzSupport.h"

using Varnex::Cleaner::Details::MdlsOutput;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const QString output =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const QDateTime when = MdlsOutput::ParseLastUsedDate(output);
    if (when.isNull()) {
        return 0;
    }
    FUZZ_CHECK(when.isValid());
    FUZZ_CHECK(output.trimmed().startsWith(QLatin1String("kMDItemLastUsedDate")));
    FUZZ_CHECK(!output.trimmed().contains(QLatin1Char('\n')));
    // The same moment written as mdls writes it, in UTC, reads back the same.
    const QString again = QStringLiteral("kMDItemLastUsedDate = ") +
                          when.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
                          QStringLiteral(" +0000");
    FUZZ_CHECK(MdlsOutput::ParseLastUsedDate(again) == when);

    int seconds = 0;
    const QString zone = output.trimmed().section(QLatin1Char(' '), -1);
    if (MdlsOutput::ParseUtcOffset(zone, &seconds)) {
        FUZZ_CHECK(seconds >= -(14 * 3600 + 59 * 60) && seconds <= 14 * 3600 + 59 * 60);
    }
    return 0;
}
