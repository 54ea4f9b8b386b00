#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>

#include "common/ScopedEnv.h"
#include "common/TempTree.h"

namespace Varnex::Test {

// Puts the `launchctl` stand-in of scripts/fake-tools first on PATH for as
// long as it lives, with a state file and a call log of its own.
class FakeLaunchctl {
public:
    FakeLaunchctl();
    ~FakeLaunchctl();

    // The labels loaded now, in the order they were loaded.
    QStringList Loaded() const;
    void SetLoaded(const QStringList& labels);
    // One line per call: "list", "unload -w /path", ...
    QStringList Calls() const;
    void ClearCalls();
    // Subcommands that fail / hang from now on ("list unload"; empty: none).
    void SetFailing(const QByteArray& commands);
    void SetHanging(const QByteArray& commands);
    // ... print something else than their output and exit with 0.
    void SetGarbled(const QByteArray& commands);

    // An XML property list with this Label string.
    static QByteArray JobPlist(const QString& label);

private:
    TempTree m_tree;
    std::unique_ptr<ScopedEnv> m_path;
    std::unique_ptr<ScopedEnv> m_state;
    std::unique_ptr<ScopedEnv> m_log;
    std::unique_ptr<ScopedEnv> m_fail;
    std::unique_ptr<ScopedEnv> m_hang;
    std::unique_ptr<ScopedEnv> m_garble;
};

}  // namespace Varnex::Test
