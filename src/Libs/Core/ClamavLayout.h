#pragma once

#include <QString>
#include <QStringList>

namespace Varnex::Cleaner::Details {

// Where the private ClamAV installation lies ("/Applications/ClamAV" below
// the system root unless told otherwise) and how its tools are run:
//
//   engine/bin/{clamscan,freshclam}   the tools
//   engine/lib, engine/lib/x86_64     their libraries
//   engine/etc/freshclam.conf         the updater's configuration
//   engine/version                    the installed engine's version
//   db/                               the signature databases
//
// Any thread: it only builds paths and command lines.
class ClamavLayout {
public:
    // A tool's command line: the program, its arguments and the variables
    // ("NAME=value") it needs beyond the caller's environment.
    struct Command {
        QString program;
        QStringList args;
        QStringList environment;
    };

    // The prefix of the installation on this machine.
    static QString DefaultPrefix();

    explicit ClamavLayout(const QString& prefix = DefaultPrefix());

    QString GetPrefix() const { return m_prefix; }
    QString GetEngineFolder() const { return m_prefix + QStringLiteral("/engine"); }
    QString GetBinFolder() const { return GetEngineFolder() + QStringLiteral("/bin"); }
    QString GetLibFolder() const { return GetEngineFolder() + QStringLiteral("/lib"); }
    QString GetLib64Folder() const { return GetLibFolder() + QStringLiteral("/x86_64"); }
    QString GetEtcFolder() const { return GetEngineFolder() + QStringLiteral("/etc"); }
    QString GetConfigPath() const { return GetEtcFolder() + QStringLiteral("/freshclam.conf"); }
    QString GetVersionPath() const { return GetEngineFolder() + QStringLiteral("/version"); }
    QString GetDatabaseFolder() const { return m_prefix + QStringLiteral("/db"); }
    QString GetClamscanPath() const { return GetBinFolder() + QStringLiteral("/clamscan"); }
    QString GetFreshclamPath() const { return GetBinFolder() + QStringLiteral("/freshclam"); }

    // The library search variable with the engine's folders first (the
    // caller's own value after them; never an empty entry).
    QStringList GetLibraryEnvironment() const;

    // A recursive scan of `paths` with the installed databases. Symbolic
    // links are never followed (not even one named on the command line), so
    // every file reported lies below a path given. An exclusion leaves out
    // every path that contains it, as the scopes' exclusions do, and is text,
    // never a pattern: "a.b" does not exclude "aXb".
    Command GetScanCommand(const QStringList& paths, const QStringList& exclusions) const;
    // A scan of the one file `path`, without the summary: its only line of
    // output is "<path>: <result>".
    Command GetFileCheckCommand(const QString& path) const;

    // The regular expression clamscan is given for an exclusion: the text
    // with every special character escaped, so it matches where the text
    // stands anywhere in a path.
    static QString ExclusionPattern(const QString& path);

private:
    QString m_prefix;
};

}  // namespace Varnex::Cleaner::Details
