// The reports of `system_profiler`: any text reads into safe values; banks
// hold memory, their sizes add up, no size or speed is negative.
#include "Core/SystemInfo.h"
#include "fuzz/FuzzSupport.h"

using Varnex::Cleaner::MemoryBank;
using Varnex::Cleaner::SystemInfo;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Varnex::Fuzz::QuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const QString report =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));

    const SystemInfo::KeyValues pairs = SystemInfo::ParseKeyValues(report);
    for (const auto& pair : pairs) {
        FUZZ_CHECK(pair.first == pair.first.trimmed() && pair.second == pair.second.trimmed());
        FUZZ_CHECK(!pair.first.contains(QLatin1Char(':')) &&
                   !pair.second.contains(QLatin1Char(':')));
        FUZZ_CHECK(SystemInfo::ReadFrequency(pair.second, "speed") >= 0);
        const QString shortVersion = SystemInfo::ShortSystemVersion(pair.second);
        FUZZ_CHECK(shortVersion.size() <= pair.second.size());
    }

    const SystemInfo::MemoryReport memory = SystemInfo::ParseMemoryReport(report);
    long long sum = 0;
    for (const MemoryBank& bank : memory.banks) {
        FUZZ_CHECK(bank.size > 0 && bank.speed >= 0);
        FUZZ_CHECK(bank.size <= LLONG_MAX - sum);
        sum += bank.size;
    }
    FUZZ_CHECK(memory.size == sum);

    const SystemInfo::GraphicsReport graphics = SystemInfo::ParseGraphicsReport(pairs);
    FUZZ_CHECK(graphics.memory >= 0);
    return 0;
}
