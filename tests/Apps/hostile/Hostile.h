#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QStringList>
#include <string>
#include <vector>

#include "TreeSnapshot.h"
#include "common/ScopedEnv.h"
#include "common/TempTree.h"

namespace Varnex::Test {

// What one run of the program gave.
struct Outcome {
    int code = -1;
    QByteArray out;
    QByteArray err;
    QJsonObject json;
};

// `klarvik clean --yes --json` with the arguments given.
Outcome Clean(const QStringList& args);

// A fake home and system root with an outside area: the user's documents,
// link targets and hard-link sources that no cleaning may ever change.
class Hostile {
public:
    Hostile();

    std::string Out() const { return t.Bytes("outside"); }
    std::string OutPath(const std::string& rel) const { return t.Bytes("outside/" + rel); }

    // Garbage below `rel` with links to the outside at every depth (to the
    // folder and to a file), a newline and ": " name, and a hard link of an
    // outside file.
    void Garbage(const QString& rel, int depth = 4);

    Checksums Snapshot() const { return Take({Out()}); }

    // Asserts the outside unchanged and no reported removal still there
    // (places the swapper puts back are not asked about).
    // refusable: a selection the swapper took away may be refused (exit 2),
    // or the removal not started at all (exit 1, said so).
    void Verify(const Checksums& before, const Outcome& r,
                const std::vector<std::string>& swapped = {}, bool refusable = false) const;
    // The outside as it was before.
    void VerifyOutside(const Checksums& before) const;
    // Nothing told removed is still there, but below the places swapped.
    void VerifyGone(const QStringList& told, const std::vector<std::string>& swapped) const;

    TempTree t;

private:
    ScopedEnv m_home;
    ScopedEnv m_sysroot;
};

}  // namespace Varnex::Test
