#include "CleanerWorkaround/GuiAntifreeze.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace Varnex::Util {

namespace {

bool unfreezing = false;

}  // namespace

GuiAntifreeze::Clock::time_point GuiAntifreeze::m_lastUpdatePoint = GuiAntifreeze::Clock::now();
bool GuiAntifreeze::m_recursiveGuard = false;

GuiAntifreeze::GuiAntifreeze(int intervalMs) : m_interval(intervalMs) {}

bool GuiAntifreeze::IsDue() const {
    return Clock::now() - m_lastUpdatePoint > std::chrono::milliseconds(m_interval);
}

bool GuiAntifreeze::UnfreezeIfDue() const {
    if (!IsDue() || unfreezing) {
        return false;
    }
    ForceUnfreeze();
    return true;
}

void GuiAntifreeze::ForceUnfreeze() {
    if (unfreezing) {
        return;
    }
    // Reset even if an event handler throws through the event loop.
    struct Flag {
        Flag() { unfreezing = true; }
        ~Flag() { unfreezing = false; }
    } flag;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    m_lastUpdatePoint = Clock::now();
}

bool GuiAntifreeze::IsUnfreezing() {
    return unfreezing;
}

GuiAntifreeze::BatchScope::BatchScope() : m_previousGuard(m_recursiveGuard) {
    m_lastUpdatePoint = Clock::now();
    m_recursiveGuard = true;
}

GuiAntifreeze::BatchScope::~BatchScope() {
    m_recursiveGuard = m_previousGuard;
}

}  // namespace Varnex::Util
