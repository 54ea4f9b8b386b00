// The path codec: bytes -> QString -> bytes gives the same bytes whenever the
// decoding is accepted, and the same input read as UTF-16 text crosses back
// unchanged whenever the encoding is accepted.
#include <cstring>
#include <string>

#include "Platform/PathCodec.h"
#include "fuzz/FuzzSupport.h"

using namespace Varnex::Platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    QString decoded;
    const bool valid = IsValidUtf8(bytes, size);
    const bool accepted = DecodePath(bytes, size, &decoded);
    FUZZ_CHECK(valid == accepted);
    if (accepted) {
        std::string back;
        FUZZ_CHECK(EncodePath(decoded, &back));
        FUZZ_CHECK(back.size() == size && std::memcmp(back.data(), bytes, size) == 0);
        FUZZ_CHECK(DecodePathOrNull(back) == decoded);
    } else {
        FUZZ_CHECK(decoded.isNull());
    }

    QString text(static_cast<int>(size / 2), Qt::Uninitialized);
    std::memcpy(text.data(), data, size / 2 * 2);
    std::string encoded;
    if (EncodePath(text, &encoded)) {
        QString again;
        FUZZ_CHECK(DecodePath(encoded, &again));
        FUZZ_CHECK(again == text);
        FUZZ_CHECK(EncodePathOrEmpty(text) == encoded);
    } else {
        FUZZ_CHECK(encoded.empty());
    }
    return 0;
}
