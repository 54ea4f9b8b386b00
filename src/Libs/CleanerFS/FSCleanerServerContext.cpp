#include "CleanerFS/FSCleanerServerContext.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <boost/throw_exception.hpp>
#include <stdexcept>

#include "CleanerFS/FSCleanerServer.h"
#include "CoreInt/CallStack.h"

namespace Varnex::Cleaner::Details {

namespace {

QMutex usedNamesMutex;

QStringList& UsedNames() {
    static QStringList usedNames;
    return usedNames;
}

}  // namespace

FSCleanerServerContext::FSCleanerServerContext(const QString& name) : m_name(name) {
    {
        QMutexLocker lock(&usedNamesMutex);
        if (UsedNames().contains(name)) {
            BOOST_THROW_EXCEPTION(std::invalid_argument(
                "Not a unique name for a cleaner server context\n" + Varnex::GetCallStack()));
        }
        UsedNames().append(name);
    }
    FSCleanerServer::GetInstance();
}

FSCleanerServerContext::~FSCleanerServerContext() {
    FSCleanerServer::GetInstance().Release(m_name);
    QMutexLocker lock(&usedNamesMutex);
    UsedNames().removeAll(m_name);
}

QString FSCleanerServerContext::NameFor(const void* owner) {
    return QString::number(reinterpret_cast<quintptr>(owner), 16);
}

}  // namespace Varnex::Cleaner::Details
