#pragma once

#include <QList>

#include "Async/AsyncCache.h"
#include "Core/details/AppsDB.h"

namespace Varnex::Cleaner::Details::AppsDB {

// The facade's cache of every recorded application, reloaded while nothing
// is scanned.
using ApplicationRecordsCache = AsyncCache<QList<Application>>;

// Its producer: LoadApplications() with the run's stop predicate, so that a
// run replaced by a newer Refresh() gives up its wait for a locked file at
// once instead of piling up behind it. A load that fails throws, so the cache
// ends failed (IsFailed(), GetAvailability() tells why) and no reader takes
// "nothing recorded" for the truth; a stopped run ends canceled.
ApplicationRecordsCache::Producer MakeApplicationRecordsProducer();

}  // namespace Varnex::Cleaner::Details::AppsDB
