#pragma once

#include <QString>
#include <QStringList>

namespace Klarvik {

// The spellings under which the scan of `roots` would name the entry at the
// absolute path `exclusion`: the path itself, and for each root that holds
// the entry through a link or a bind mount, the root followed by the rest of
// the entry's path. Exclusions are matched as text against the scan's
// spelling, so "--exclude /real/keep" must also hold when the root is given
// as "/link" (a link to /real) or as a bind mount of /real.
QStringList ExclusionSpellings(const QString& exclusion, const QStringList& roots);

// False for a relative exclusion that names a path in a spelling the scan
// never uses: an empty, "." or ".." component ("./keep", "keep/.", "a//b").
bool IsUsableRelativeExclusion(const QString& exclusion);

}  // namespace Klarvik
