#pragma once

#include <QSet>
#include <QString>

// The seal a code signature keeps over a bundle's resources: the property list
// "_CodeSignature/CodeResources" of the bundle's content folder, whose "files"
// and "files2" dictionaries name every sealed file (relative to that folder)
// with its hash, or with a dictionary that may say "optional" (a file that may
// be missing without breaking the signature; the system's rules make the
// localizations of most applications optional). Removing a sealed file that
// is not optional breaks the signature: the system refuses to start the
// application afterwards. Any thread.
namespace Varnex::Platform {

struct ResourceSeal {
    bool readable = false;  // the list was read; else `problem` says why
    QString problem;
    // The ".lproj" folders holding a file that must stay ("Resources/fr.lproj").
    QSet<QString> sealedLocalizations;
};

// The folder whose "_CodeSignature/CodeResources" seals `path`: the nearest
// folder above it, up to `bundlePath`, that holds one ("X.app/Contents",
// "X.framework/Versions/A"). Empty when none does (an unsigned bundle). Links
// are not followed.
QString ResourceSealRoot(const QString& path, const QString& bundlePath);

// Reads the seal of `sealRoot` (a folder ResourceSealRoot() named).
ResourceSeal ReadResourceSeal(const QString& sealRoot);

}  // namespace Varnex::Platform
