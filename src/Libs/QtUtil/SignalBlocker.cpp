#include "QtUtil/SignalBlocker.h"

namespace Varnex::Util {

SignalBlocker::SignalBlocker(QObject* object, bool block) : m_object(object) {
    if (object) {
        m_previous = object->blockSignals(block);
    }
}

SignalBlocker::~SignalBlocker() {
    revert();
}

void SignalBlocker::revert() {
    if (m_reverted) {
        return;
    }
    m_reverted = true;
    if (m_object) {
        m_object->blockSignals(m_previous);
    }
}

}  // namespace Varnex::Util
