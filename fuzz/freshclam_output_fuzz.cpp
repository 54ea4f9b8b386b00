// The updater's console output: the same text gives the same events however
// it is cut into chunks, and every event names a plain database file.
#include <vector>

#include "Core/FreshclamOutput.h"
#include "fuzz/FuzzSupport.h"

using Varnex::Cleaner::Details::FreshclamOutput;

namespace {

using Events = std::vector<FreshclamOutput::Event>;

void Append(Events* all, Events more) {
    all->insert(all->end(), more.begin(), more.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte picks the chunk length of the second reading.
    const int step = 1 + data[0] % 17;
    const QByteArray text = Varnex::Fuzz::Bytes(data + 1, size - 1);

    FreshclamOutput whole;
    Events once = whole.Feed(text);
    Append(&once, whole.Finish());

    FreshclamOutput cut;
    Events pieces;
    for (int i = 0; i < text.size(); i += step) {
        Append(&pieces, cut.Feed(text.mid(i, step)));
    }
    Append(&pieces, cut.Finish());
    FUZZ_CHECK(once == pieces);

    for (const FreshclamOutput::Event& event : once) {
        FUZZ_CHECK(!event.name.isEmpty());
        for (const QChar c : event.name) {
            FUZZ_CHECK(c.unicode() < 0x80 && (c.isLetterOrNumber() || c == QLatin1Char('_') ||
                                              c == QLatin1Char('.') || c == QLatin1Char('-')));
        }
        FUZZ_CHECK(!event.name.startsWith(QLatin1Char('.')) &&
                   !event.name.contains(QStringLiteral("..")));
        FUZZ_CHECK(event.fraction >= 0 && event.fraction <= 1);
        if (event.kind != FreshclamOutput::Event::INCREMENTAL_FAILED) {
            FUZZ_CHECK(!FreshclamOutput::DatabaseName(event.name).isEmpty());
        }
    }
    // The same parser reads the output of another run as if new.
    Events again = whole.Feed(text);
    Append(&again, whole.Finish());
    FUZZ_CHECK(again == once);
    return 0;
}
