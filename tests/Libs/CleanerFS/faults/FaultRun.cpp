#include "FaultRun.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <atomic>

#include "common/TestEnv.h"

using Varnex::Cleaner::Details::FSCleanerServer;

namespace Varnex::Test {

QString NewFaultContext() {
    static std::atomic<int> counter{0};
    return QStringLiteral("fault-test-%1").arg(counter++);
}

QList<FSCleanerServer::Result> RunUnderFaults(const QString& context,
                                              std::vector<SystemCallFaults::Rule> rules,
                                              int* injected) {
    FSCleanerServer& server = FSCleanerServer::GetInstance();
    QList<FSCleanerServer::Result> results;
    {
        SystemCallFaults faults(std::move(rules));
        EXPECT_TRUE(server.Start(context));
        EXPECT_TRUE(WaitUntil(
            [&] {
                results += server.GetResults(context);
                return !server.IsWorking(context);
            },
            30000));
        *injected = faults.Injected();
    }
    server.Release(context);
    return results;
}

QStringList PrivateNamesUnder(const QString& root) {
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName().startsWith(QLatin1String(".klarvik-"))) {
            found.append(path);
        }
    }
    return found;
}

}  // namespace Varnex::Test
