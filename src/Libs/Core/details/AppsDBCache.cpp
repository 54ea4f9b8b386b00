#include "Core/details/AppsDBCache.h"

#include <stdexcept>

namespace Varnex::Cleaner::Details::AppsDB {

ApplicationRecordsCache::Producer MakeApplicationRecordsProducer() {
    return [](std::function<bool()> stop) {
        QList<Application> apps;
        if (!LoadApplications(&apps, stop) && !stop()) {
            throw std::runtime_error(GetAvailability(Applications) == Availability::LOCKED
                                         ? "the applications database is locked"
                                         : "the applications database could not be read");
        }
        return apps;
    };
}

}  // namespace Varnex::Cleaner::Details::AppsDB
