#pragma once

#include <QList>
#include <QString>
#include <vector>

#include "CleanerFS/FSCleanerServer.h"
#include "SystemCallFaults.h"

namespace Varnex::Test {

// A fresh context name for one run on the removal server.
QString NewFaultContext();

// Starts the planned `context` under `rules` and collects its results until
// it stops (a generous bound); *injected tells how many calls the rules
// struck. The context is released.
QList<Cleaner::Details::FSCleanerServer::Result> RunUnderFaults(
    const QString& context, std::vector<SystemCallFaults::Rule> rules, int* injected);

// Names under the tree at `root` (any depth) that start with ".klarvik-".
QStringList PrivateNamesUnder(const QString& root);

}  // namespace Varnex::Test
