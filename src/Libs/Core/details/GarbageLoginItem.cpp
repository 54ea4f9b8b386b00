#include "Core/details/GarbageLoginItem.h"

#include <glog/logging.h>

#include "CleanerCommon/LogText.h"
#include "Platform/LoginItems.h"

namespace Varnex::Cleaner::Details {

GarbageLoginItem::GarbageLoginItem(const QString& path, bool enabled, QObject* parent)
    : AbstractGarbage(parent), m_path(path) {
    m_name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    if (m_name.endsWith(QLatin1String(".app"))) {
        m_name.chop(4);
    }
    // Stored only: a half-built item tells nobody.
    AbstractGarbage::SetEnabled(enabled);
    StartReady();
    Select(false);
}

void GarbageLoginItem::SetEnabled(bool on) {
    QString problem;
    const bool changed = on ? Platform::InsertLoginItem(m_path, &problem)
                            : Platform::RemoveLoginItem(m_path, &problem);
    QStringList list;
    QString listProblem;
    const bool listed = Platform::ListLoginItems(&list, &listProblem);
    // Where it really is; when the list cannot be read, what the change said.
    const bool now = listed ? list.contains(m_path) : (changed ? on : IsEnabled());
    // An item asked to go where it already is has nothing to change.
    const bool ok = listed ? now == on : changed;
    if (ok) {
        problem.clear();
    } else if (!listed && problem.isEmpty()) {
        problem = listProblem;
    } else if (listed) {
        problem = (on ? QStringLiteral("not in the login list afterwards")
                      : QStringLiteral("still in the login list")) +
                  (problem.isEmpty() ? QString() : QStringLiteral(" (") + problem + QLatin1Char(')'));
    }
    m_problem = problem;
    AbstractGarbage::SetEnabled(now);
    if (!problem.isEmpty()) {
        LOG(WARNING) << "Could not switch login item \"" << Util::LogText(m_path) << "\" "
                     << (on ? "on" : "off") << ": " << Util::LogText(problem);
        m_switchFailed = true;
        SetError(Error::UNKNOWN);
    } else if (m_switchFailed) {
        m_switchFailed = false;
        SetError(Error::OK);
    }
}

}  // namespace Varnex::Cleaner::Details
