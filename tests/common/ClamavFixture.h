#pragma once

#include <QByteArray>
#include <QString>

namespace Varnex::Test {

// An antivirus engine installed below a prefix the way the manager lays it
// out, built from the real ClamAV of this machine: engine/bin/clamscan is a
// script that runs the system's clamscan (so a test may put lines of its own
// before its output), engine/version names the engine, and db/ holds one
// signature made for the tests, never a real virus: the marker below.
class ClamavFixture {
public:
    // The text the test signature matches, and the name clamscan gives it.
    static QByteArray Marker();
    static QString VirusName();
    // Whether the real clamscan is there to be wrapped.
    static bool HasClamscan();

    // Installs the engine below `prefix` (created if missing).
    explicit ClamavFixture(const QString& prefix, const QString& version = QStringLiteral("1.4.6"));

    QString Prefix() const { return m_prefix; }
    QString DatabaseFolder() const { return m_prefix + QStringLiteral("/db"); }
    QString ClamscanPath() const { return m_prefix + QStringLiteral("/engine/bin/clamscan"); }

    // Makes clamscan print `lines` (each ending in '\n') first whenever it is
    // run over a tree ("-r"), then scan as it would: output a hostile file
    // name or a broken scanner could produce. A scan of one file is left as
    // it is.
    void InjectBeforeTreeScans(const QByteArray& lines) const;
    // Replaces clamscan by a script of the test's own (a "#!/bin/sh" body).
    void ReplaceClamscan(const QByteArray& script) const;
    // Empties the database folder: clamscan then has nothing to scan with.
    void RemoveDatabases() const;

private:
    QString m_prefix;
};

}  // namespace Varnex::Test
