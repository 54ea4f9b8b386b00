#pragma once

#include <QString>

namespace Varnex::Cleaner::Details {

// A scope's named context on the removal server. Names are unique among the
// living contexts of the process: a second context with a name in use is
// refused with std::invalid_argument (carrying the call stack). A context that
// is destroyed releases its run and results on the server, then its name, so a
// name built from a reused object address can be taken again safely.
//
// Threads: the owner's.
class FSCleanerServerContext {
public:
    explicit FSCleanerServerContext(const QString& name);
    ~FSCleanerServerContext();
    FSCleanerServerContext(const FSCleanerServerContext&) = delete;
    FSCleanerServerContext& operator=(const FSCleanerServerContext&) = delete;

    const QString& GetName() const { return m_name; }

    // The name for an owner: its address in lower-case hexadecimal.
    static QString NameFor(const void* owner);

private:
    QString m_name;
};

}  // namespace Varnex::Cleaner::Details
