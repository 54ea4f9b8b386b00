#pragma once

#include <QMetaObject>
#include <QObject>
#include <atomic>
#include <functional>

namespace Varnex {

// Base of AsyncCache<T>: the Ready() signal, the invalidated flag and the
// callbacks on readiness, for code that does not care about the value's type.
//
// Threads: the cache lives on the main thread. Ready() is emitted there, once
// for every run started by Refresh() that is not replaced or invalidated
// before it ends (a failed or canceled run included: ask IsReady() and
// IsFailed() in the callback). The flag queries, Cancel() and the
// invalidated flag may be used from any thread; everything else belongs to
// the main thread.
class AbstractAsyncCache : public QObject {
    Q_OBJECT

public:
    explicit AbstractAsyncCache(QObject* parent = nullptr);
    ~AbstractAsyncCache() override;

    virtual void Refresh() = 0;
    virtual void Invalidate() = 0;
    virtual void Cancel() = 0;
    virtual bool IsReady() const = 0;
    virtual bool IsRunning() const = 0;
    virtual bool IsCanceled() const = 0;
    // The current run threw (or could not start): its value is not the truth.
    virtual bool IsFailed() const = 0;

    // True when the cached value is stale: set at creation, by Invalidate()
    // and by SetInvalidated(); cleared by Refresh() before the new run starts,
    // so that a mark made while the run reads its data is never lost.
    bool IsInvalidated() const { return m_invalidated.load(); }
    // Any thread: the data behind the value has changed.
    void SetInvalidated() { m_invalidated.store(true); }

    // Runs `callback` at every Ready() from now on (not for a value that is
    // already ready). Without a context it runs on the cache's thread and lives
    // as long as the cache; with one it runs on the context's thread and is
    // dropped when the context is destroyed.
    QMetaObject::Connection CallOnReady(QObject* context, std::function<void()> callback);

signals:
    void Ready();

protected:
    void ClearInvalidated() { m_invalidated.store(false); }

private:
    std::atomic<bool> m_invalidated{true};
};

}  // namespace Varnex
