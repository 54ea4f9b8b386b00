#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include "Core/DatabaseInfo.h"

namespace Varnex::Cleaner {

// One signature database ("main", "daily" or "bytecode"): where a mirror
// keeps it, the first bytes of the mirror's file as they arrive, and what the
// installed and the mirror's headers say. A plain value; the context with an
// empty name is the null context that failed look-ups return.
struct DatabaseContext {
    // More ':' than this in the collected bytes and the remote header's used
    // fields are complete.
    static constexpr int enoughColons = 5;

    QString name;
    QUrl url;           // mirror + "/" + name + ".cvd"; empty for the null context
    QByteArray header;  // first bytes of the mirror's file
    DatabaseInfo local;
    DatabaseInfo remote;

    DatabaseContext() = default;
    // The context of `name` at `mirror` (a base address such as
    // "https://database.clamav.net").
    DatabaseContext(const QString& name, const QString& mirror);

    bool IsNull() const { return name.isEmpty(); }
    // An installed database has a readable local header.
    bool IsInstalled() const { return local.version >= 0; }
    // Installed and not older than the mirror's (a mirror that could not be
    // asked leaves nothing newer known). Never true when not installed.
    bool IsActual() const { return IsInstalled() && local.version >= remote.version; }
    bool GotEnoughData() const { return header.count(':') > enoughColons; }

    // Points `url` at another mirror. An address that gives no valid URL
    // leaves `url` empty (a WARNING); so does the null context.
    void UpdateUrl(const QString& mirror);
};

}  // namespace Varnex::Cleaner
