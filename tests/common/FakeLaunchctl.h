#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <map>
#include <memory>
#include <string>

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
    // Subcommands that fail / hang / die of SIGSEGV / print garbage and exit
    // 0, from now on ("list unload"; empty: none).
    void SetFailing(const QByteArray& commands);
    void SetHanging(const QByteArray& commands);
    void SetCrashing(const QByteArray& commands);
    void SetGarbling(const QByteArray& commands);

    // An XML property list with this Label string.
    static QByteArray JobPlist(const QString& label);

private:
    TempTree m_tree;
    std::unique_ptr<ScopedEnv> m_path;
    std::unique_ptr<ScopedEnv> m_state;
    std::unique_ptr<ScopedEnv> m_log;
    // The fake's FAKE_LAUNCHCTL_... variable of each way to misbehave.
    std::map<std::string, std::unique_ptr<ScopedEnv>> m_modes;

    void SetMode(const char* variable, const QByteArray& commands);
};

}  // namespace Varnex::Test
