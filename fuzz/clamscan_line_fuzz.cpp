// The scanner's output, line by line as the scope reads it: a result keeps
// the line's bytes whole (path, ": ", result), its path is absolute and free
// of zero bytes, and a virus name is only ever taken from a FOUND result.
#include <QList>

#include "Core/details/ClamscanLine.h"
#include "fuzz/FuzzSupport.h"

using Varnex::Cleaner::Details::ClamscanLine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const QByteArray output = Varnex::Fuzz::Bytes(data, size);
    bool summarySeen = false;
    for (const QByteArray& line : output.split('\n')) {
        const ClamscanLine parsed = ClamscanLine::Parse(line, summarySeen);
        switch (parsed.kind) {
            case ClamscanLine::SUMMARY:
                summarySeen = true;
                break;
            case ClamscanLine::ERRORS:
                FUZZ_CHECK(summarySeen);
                break;
            case ClamscanLine::RESULT:
                FUZZ_CHECK(parsed.path.startsWith('/') && !parsed.path.contains('\0'));
                FUZZ_CHECK(parsed.path + ": " + parsed.result == line);
                FUZZ_CHECK(!parsed.result.contains(": "));
                break;
            case ClamscanLine::OTHER:
                FUZZ_CHECK(parsed.path.isEmpty() && parsed.result.isEmpty());
                break;
        }
        const QString name = parsed.VirusName();
        FUZZ_CHECK(parsed.IsFound() != name.isNull());
        if (parsed.IsFound() && ClamscanLine::IsPlausibleVirusName(name)) {
            FUZZ_CHECK(name.size() <= ClamscanLine::maxVirusNameLength);
            FUZZ_CHECK(!name.contains(QLatin1Char('\n')) && !name.contains(QLatin1Char('\r')));
        }
    }
    return 0;
}
