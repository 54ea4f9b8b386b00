#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

#include "Core/details/AppsDB.h"

namespace Varnex::Cleaner::Details {

// What the application scan hands the scope: an application (always before
// its leftovers), then each of its leftovers.
struct ApplicationScanRecord {
    enum Kind { APPLICATION, LEFTOVER };
    Kind kind = APPLICATION;
    QString appPath;   // the application's bundle path, its key
    QString bundleId;  // valid or empty
    QDateTime lastUsed;
    bool measured = false;  // APPLICATION: its size was measured (and cached) by this scan
    QString group;          // LEFTOVER: the group's name
    QString path;           // the entry (the bundle itself for an APPLICATION)
    long long size = 0;     // the bytes its removal frees
    bool isDirectory = false;
    unsigned long long device = 0;  // makedev(major, minor) of statx
    unsigned long long inode = 0;
    long long birth = 0;
};

// What one scan works from, taken on the scope's thread when it begins.
struct ApplicationScanInput {
    // The bundles of the scope (folders, not links); unused for leftovers.
    QStringList locations;
    bool leftoversOnly = false;
    QList<AppsDB::Application> records;  // the applications database
    // Every installed bundle the inventory found (may be empty).
    QStringList installed;
    // The scope's exclusions (a snapshot safe on any thread; may be empty).
    std::function<bool(const QString&)> excluded;
    // The user's Library folder and the per-user Darwin cache folder.
    QString library;
    QString darwinCache;
};

}  // namespace Varnex::Cleaner::Details
