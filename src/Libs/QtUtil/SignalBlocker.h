#pragma once

#include <QObject>
#include <QPointer>

namespace Varnex::Util {

// Blocks (or, with block = false, unblocks) an object's signals for a stretch
// of code. revert() puts back the state the object had when the blocker was
// made, so blockers nest: an inner one leaves an outer one's block in place.
// The destructor reverts unless revert() already ran. An object deleted in the
// meantime is left alone. Use on the object's thread.
class SignalBlocker {
public:
    explicit SignalBlocker(QObject* object, bool block = true);
    ~SignalBlocker();

    SignalBlocker(const SignalBlocker&) = delete;
    SignalBlocker& operator=(const SignalBlocker&) = delete;

    // Restores the previous state; later calls do nothing.
    void revert();

private:
    QPointer<QObject> m_object;
    bool m_previous = false;
    bool m_reverted = false;
};

}  // namespace Varnex::Util
