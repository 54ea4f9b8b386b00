#include "Async/AbstractAsyncCache.h"

#include <glog/logging.h>

namespace Varnex {

AbstractAsyncCache::AbstractAsyncCache(QObject* parent) : QObject(parent) {}

AbstractAsyncCache::~AbstractAsyncCache() = default;

QMetaObject::Connection AbstractAsyncCache::CallOnReady(QObject* context,
                                                        std::function<void()> callback) {
    if (!callback) {
        LOG(WARNING) << "An empty readiness callback is not connected";
        return {};
    }
    if (!context) {
        return connect(this, &AbstractAsyncCache::Ready, this, std::move(callback),
                       Qt::DirectConnection);
    }
    return connect(this, &AbstractAsyncCache::Ready, context, std::move(callback),
                   Qt::AutoConnection);
}

}  // namespace Varnex
