// Property lists, XML and binary, through the guard: every input gives a value
// or a reason, never both, and a value never exceeds the guard's limits.
#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>

#include "Platform/PropertyList.h"
#include "fuzz/FuzzSupport.h"

using namespace Varnex::Platform;

namespace {

// Counts every value and checks the nesting; false when a limit is passed.
bool Walk(const QVariant& value, int depth, qint64* count) {
    if (++*count > maxPropertyListValues || depth > maxPropertyListDepth + 1) {
        return false;
    }
    switch (static_cast<QMetaType::Type>(value.type())) {
        case QMetaType::QVariantMap: {
            const QVariantMap map = value.toMap();
            for (auto it = map.cbegin(); it != map.cend(); ++it) {
                if (!Walk(it.value(), depth + 1, count)) {
                    return false;
                }
            }
            return true;
        }
        case QMetaType::QVariantList:
            for (const QVariant& item : value.toList()) {
                if (!Walk(item, depth + 1, count)) {
                    return false;
                }
            }
            return true;
        case QMetaType::QDateTime:
            return value.toDateTime().timeSpec() == Qt::UTC || !value.toDateTime().isValid();
        default:
            return value.isValid();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    QString error;
    const QVariant value = ParsePropertyList(Varnex::Fuzz::Bytes(data, size), &error);
    FUZZ_CHECK(value.isValid() == error.isEmpty());
    if (value.isValid()) {
        qint64 count = 0;
        FUZZ_CHECK(Walk(value, 1, &count));
    }
    return 0;
}
