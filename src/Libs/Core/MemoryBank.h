#pragma once

#include <QMetaType>
#include <QString>

namespace Varnex::Cleaner {

// One installed memory module, as the memory report lists it. A plain value;
// SystemInfo keeps only banks that hold memory (empty slots are left out).
struct MemoryBank {
    QString type;         // the report's "Type" ("DDR3"); null when it gives none
    long long size = 0;   // bytes, always > 0
    long long speed = 0;  // hertz; 0 when the report gives none or an unreadable one

    bool operator==(const MemoryBank& other) const {
        return type == other.type && size == other.size && speed == other.speed;
    }
    bool operator!=(const MemoryBank& other) const { return !(*this == other); }
};

}  // namespace Varnex::Cleaner

Q_DECLARE_METATYPE(Varnex::Cleaner::MemoryBank)
