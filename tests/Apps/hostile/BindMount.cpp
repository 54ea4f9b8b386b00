#include "BindMount.h"

#include <QStringList>

#include "common/TestEnv.h"

namespace Varnex::Test {

BindMount::BindMount(const QString& source, const QString& target) : m_target(target) {
    m_ok = RunProgram("mount", {"--bind", source, target}, nullptr, &m_error) == 0;
}

BindMount::~BindMount() {
    if (m_ok) {
        RunProgram("umount", {"-l", m_target});
    }
}

}  // namespace Varnex::Test
