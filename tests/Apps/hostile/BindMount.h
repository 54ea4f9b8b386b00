#pragma once

#include <QByteArray>
#include <QString>
#include <string>

namespace Varnex::Test {

// A folder bound over another for the life of the object (root only).
class BindMount {
public:
    BindMount(const QString& source, const QString& target);
    ~BindMount();
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;
    bool Ok() const { return m_ok; }
    std::string Error() const { return m_error.toStdString(); }

private:
    QString m_target;
    QByteArray m_error;
    bool m_ok = false;
};

}  // namespace Varnex::Test
