#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <functional>
#include <vector>

#include "Core/details/ApplicationScanRecord.h"

namespace Varnex::Cleaner::Details {

// The first half of an application scan (ApplicationScanProducer): which
// applications a scan shows and which entries of the library folders are
// theirs, before anything is measured. The rules are those the producer's
// comment lists.
//
// Threads: any one; it reads the file system and the bundles' Info.plist.
class ApplicationCensus {
public:
    struct Application {
        QString path;
        QString id;        // valid or empty
        QString name;      // to record
        QString fileName;  // without ".app", for crash reports
        bool exists = false;
        unsigned long long device = 0;
        unsigned long long inode = 0;
        long long birth = 0;
        QList<ApplicationScanRecord> leftovers;  // not measured yet
    };

    explicit ApplicationCensus(const ApplicationScanInput& input) : m_input(input) {}

    // False when `stop` turned true on the way.
    bool Take(const std::function<bool()>& stop);

    std::vector<Application>& GetApplications() { return m_apps; }
    // The usable database row of a bundle path, or null.
    const AppsDB::Application* FindRecord(const QString& path) const;

private:
    void DoReadRecords();
    bool DoFindInstalled(const std::function<bool()>& stop);
    void DoListApplications();
    void DoCollectCrashKeys();
    bool DoFindLeftovers(const std::function<bool()>& stop);
    void AddInstalled(const QString& path);
    bool IsExcluded(const QString& path) const;
    // Whether removing `path` would take an installed bundle with it.
    bool HoldsBundle(const QString& path) const;
    bool OverlapsTaken(const QString& path) const;
    // The application an entry of a root belongs to, or -1.
    int OwnerOf(int rule, const QString& name) const;

    const ApplicationScanInput& m_input;
    QList<AppsDB::Application> m_records;
    QHash<QString, int> m_recordByPath;
    QHash<QString, QSet<QString>> m_installedById;  // identifier -> bundles
    QSet<QString> m_installedPaths;
    QList<AppsDB::Application> m_gone;
    std::vector<Application> m_apps;
    QHash<QString, int> m_appById;    // only identifiers whose data is offered
    QHash<QString, int> m_crashKeys;  // name or identifier -> application, -1: nobody's
    QStringList m_crashCandidates;
    QStringList m_taken;
};

}  // namespace Varnex::Cleaner::Details
