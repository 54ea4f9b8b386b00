#pragma once

#include <QMetaType>
#include <QString>

namespace Varnex::Cleaner {

// One mounted volume, as LoadDiskList() found it. A plain value.
struct StorageInfo {
    QString name;             // unique among the volumes of one list; trash scopes are keyed by it
    QString mountPath;        // the folder where the volume is mounted
    long long capacity = 0;   // bytes
    long long available = 0;  // bytes the current user may still fill

    bool operator==(const StorageInfo& other) const {
        return name == other.name && mountPath == other.mountPath && capacity == other.capacity &&
               available == other.available;
    }
    bool operator!=(const StorageInfo& other) const { return !(*this == other); }
};

}  // namespace Varnex::Cleaner

Q_DECLARE_METATYPE(Varnex::Cleaner::StorageInfo)
