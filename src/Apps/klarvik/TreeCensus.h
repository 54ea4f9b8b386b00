#pragma once

#include <QJsonObject>
#include <QString>

namespace Varnex::Cleaner {
class AbstractGarbageScope;
}

namespace Klarvik {

// What a scope's tree holds besides its items: how many items are in error
// anywhere below the roots, and how many entries the scan skipped and why.
struct TreeCensus {
    int inError = 0;            // items with an error of their own
    int unreadableFolders = 0;  // folders whose contents could not be listed
    int undecodableNames = 0;   // entries whose names are not UTF-8

    // Walks every item. With `countNames`, each folder that kept entries out
    // of the tree is listed again to count the names that are not UTF-8: the
    // scan leaves them out (they can be neither shown nor removed safely)
    // without telling why.
    static TreeCensus Of(const Varnex::Cleaner::AbstractGarbageScope& scope, bool countNames);

    // "Skipped: 1 unreadable folder (...), 2 names that are not UTF-8 (...)";
    // empty when nothing was skipped.
    QString SkippedText() const;
    // {"unreadable_folders": n, "not_utf8_names": m}
    QJsonObject SkippedJson() const;
};

}  // namespace Klarvik
