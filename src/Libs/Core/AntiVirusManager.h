#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <memory>

#include "Core/ClamavLayout.h"

namespace Varnex::Cleaner {

class DatabaseContext;

// Keeps a private installation of the ClamAV command-line engine and its
// three signature databases ("main", "daily", "bytecode") up to date, and
// tells the antivirus scope how to run the scanner.
//
// On construction it reads the versions of what is installed and asks, over
// the network, which engine versions the engine location offers (its "/info"
// document: {"engineVersions": ["0.103.2", ...]}, oldest first) and which
// database versions the mirrors carry (the header of each ".cvd" file).
// UpdateAll() then brings the engine (a ".tgz" archive, checked and swapped in
// whole; the installed engine stays until the new one is proven good) and the
// databases (through the engine's own `freshclam`) up to date.
//
// Where it downloads from is the deployment's choice (Locations); with no
// location at all it never touches the network and stays in ERROR, yet still
// tells what is installed and lets the installed engine scan.
//
// Threads: the owner's; everything is driven by its event loop (network
// replies, child processes, timers).
class AntiVirusManager : public QObject {
    Q_OBJECT
public:
    enum State { INITIALIZING = 0, ERROR = 1, IDLE = 2, UPDATING = 3, UNPACKING = 4 };
    Q_ENUM(State)
    enum FinishReason { DONE = 0, CANCELED = 1, FAILED = 2 };
    Q_ENUM(FinishReason)

    // The entry of the update plan being downloaded.
    struct UpdatedItem {
        enum Type { INVALID = 0, ENGINE = 1, FULL_DATABASE = 2, INCREMENTAL_DATABASE = 3 };
        Type type = INVALID;
        QString name;
        float progress = 0;
        bool IsNull() const { return type == INVALID; }
        static const UpdatedItem nullItem;
    };

    // Where the engine and the signatures come from.
    struct Locations {
        QUrl engineServer;             // holds "info" and "av-<version>.tgz"
        QList<QUrl> databaseMirrors;   // tried in order; each holds "<name>.cvd"
        QString publicMirrorHost;      // written into freshclam's configuration
        bool IsEmpty() const { return engineServer.isEmpty() && databaseMirrors.isEmpty(); }
    };

    explicit AntiVirusManager(QObject* parent = nullptr);
    AntiVirusManager(const Locations& locations, const QString& prefix, QObject* parent = nullptr);
    ~AntiVirusManager() override;

    bool IsReady() const;
    State GetState() const;
    // Why the manager is in ERROR, or why the last update failed; empty otherwise.
    QString GetProblem() const;

    bool IsEngineInstalled() const;
    bool IsDatabaseInstalled() const;
    bool IsScanningPossible() const;
    QString GetInstalledEngineVersion() const;
    bool IsEngineActual() const;
    bool IsDatabaseActual() const;
    bool IsUpdateReqired() const;
    int GetNumOfNewSignatures() const;
    QString GetLastRemoteEngineVersion() const;
    QUrl GetEngineUrl() const;

    const DatabaseContext& GetMainDatabaseContext() const;
    const DatabaseContext& GetDailyDatabaseContext() const;
    const DatabaseContext& GetBytecodeDatabaseContext() const;

    UpdatedItem GetCurrentUpdatedItem() const;
    float GetProgressOfEngineUpdate() const;

    const Details::ClamavLayout& GetLayout() const;
    QString GetClamscanPath() const;
    QString GetFreshclamPath() const;

    // Starts bringing everything up to date. False while INITIALIZING or in
    // ERROR, and when there is nothing to do.
    bool UpdateAll();
    void CancelUpdate();
    // Cancels an update and lets go of the network; nothing is sent afterwards.
    void WaitBeforeAppQuit();

signals:
    void InfoUpdated();
    void StateChanged(AntiVirusManager::State state);
    void UpdateStarted();
    void UpdateFinished(AntiVirusManager::FinishReason reason);
    void Progress(float progress);

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Varnex::Cleaner
