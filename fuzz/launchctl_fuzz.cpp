// The `launchctl list` listing: any output gives a listing whose labels are
// non-empty and answer IsLoaded().
#include "Platform/Launchctl.h"
#include "fuzz/FuzzSupport.h"

using namespace Varnex::Platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const QByteArray output = Varnex::Fuzz::Bytes(data, size);
    const LaunchJobListing listing = ParseLaunchctlList(output);
    FUZZ_CHECK(listing.ok);
    FUZZ_CHECK(listing.badLines >= 0 && listing.badLines <= output.count('\n') + 1);
    for (const QString& label : listing.labels) {
        FUZZ_CHECK(!label.isEmpty());
        FUZZ_CHECK(!label.contains(QLatin1Char('\t')) && !label.contains(QLatin1Char('\n')));
        FUZZ_CHECK(listing.IsLoaded(label));
    }
    return 0;
}
