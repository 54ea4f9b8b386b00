#include "Core/AntiVirusManager.h"

#include <glog/logging.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>
#include <algorithm>
#include <array>
#include <limits>

#include "CleanerCommon/LogText.h"
#include "Core/DatabaseContext.h"
#include "Core/EngineInstaller.h"
#include "Core/EngineVersion.h"
#include "Core/FreshclamConfig.h"
#include "Core/FreshclamOutput.h"
#include "Core/UpdatePlan.h"

namespace Varnex::Cleaner {

using Details::ClamavLayout;
using Details::EngineInstaller;
using Details::FreshclamConfig;
using Details::FreshclamOutput;
using Details::UpdatePlan;

const AntiVirusManager::UpdatedItem AntiVirusManager::UpdatedItem::nullItem{};

namespace {

const QString lastEngineVersionWithoutShowProgress = QStringLiteral("0.99");
const QString databaseNames[] = {QStringLiteral("main"), QStringLiteral("daily"),
                                 QStringLiteral("bytecode")};
// The header requests' limit, and how much of an answer is ever taken.
const int headerTimeoutMs = 5000;
const int versionFileLimit = 256;

const DatabaseContext nullContext;

bool IsReadyState(AntiVirusManager::State state) {
    return state == AntiVirusManager::IDLE || state == AntiVirusManager::UPDATING ||
           state == AntiVirusManager::UNPACKING;
}

}  // namespace

class AntiVirusManager::Impl {
public:
    Impl(AntiVirusManager* owner, const Locations& where, const QString& prefix)
        : q(owner), locations(where), layout(prefix) {
        for (std::size_t i = 0; i < contexts.size(); ++i) {
            contexts[i].name = databaseNames[i];  // its address comes with the first mirror
        }
    }

    AntiVirusManager* q;
    State state = INITIALIZING;
    QString problem;
    Locations locations;
    ClamavLayout layout;

    QStringList engineVersions;
    int mirrorIndex = -1;
    // One attempt at the remote information: its number (answers of an
    // older one are ignored) and the answers still awaited.
    int attempt = 0;
    int pendingResults = 0;

    UpdatePlan plan;
    int currentItem = -1;
    float progress = 0;

    QNetworkAccessManager* network = nullptr;  // owned; gone after WaitBeforeAppQuit()
    EngineInstaller* installer = nullptr;
    QProcess* freshclam = nullptr;
    FreshclamOutput output;
    bool freshclamStopped = false;  // killed by a cancel: its end is no result

    std::array<DatabaseContext, 3> contexts;

    QString MirrorText(int index) const {
        const QList<QUrl>& mirrors = locations.databaseMirrors;
        return index >= 0 && index < mirrors.size() ? mirrors.at(index).toString() : QString();
    }

    DatabaseContext& FindDatabaseContext(const QString& name) {
        for (DatabaseContext& context : contexts) {
            if (context.name == name) {
                return context;
            }
        }
        static DatabaseContext none;
        none = DatabaseContext();
        return none;
    }

    void SetState(State next) {
        state = next;
        emit q->StateChanged(next);
    }
    // Ends an update that could not go on: the manager stays usable (IDLE)
    // while the remote information holds, and says why.
    void FailUpdate(const QString& why) {
        LOG(ERROR) << "The antivirus update failed: " << Util::LogText(why);
        problem = why;
        currentItem = -1;
        SetState(engineVersions.isEmpty() ? ERROR : IDLE);
        emit q->UpdateFinished(FAILED);
    }
    void GoToError(const QString& why) {
        LOG(ERROR) << Util::LogText(why);
        problem = why;
        SetState(ERROR);
    }

    // --- installed information

    QString FindDatabase(const QString& name) const {
        const QDir db(layout.GetDatabaseFolder());
        for (const QString& suffix : {QStringLiteral(".cvd"), QStringLiteral(".cld")}) {
            const QString path = db.absoluteFilePath(name + suffix);
            if (QFileInfo(path).isFile()) {
                return path;
            }
        }
        return QString();
    }

    void LoadInfoLocal() {
        for (DatabaseContext& context : contexts) {
            context.local.Clear();
            const QString path = FindDatabase(context.name);
            if (path.isEmpty()) {
                LOG(INFO) << "the " << context.name.toStdString()
                          << " virus database is not installed";
                continue;
            }
            context.local = DatabaseInfo::ReadFile(path);
            if (!context.local.IsNull()) {
                LOG(INFO) << context.name.toStdString()
                          << "local version: " << context.local.version;
            }
        }
        emit q->InfoUpdated();
    }

    QString InstalledEngineVersion() const {
        QFile file(layout.GetVersionPath());
        if (!file.open(QIODevice::ReadOnly)) {
            return QString();
        }
        return EngineVersion::FromVersionFile(file.read(versionFileLimit));
    }

    bool AllLocalKnown() const {
        return std::all_of(contexts.begin(), contexts.end(),
                           [](const DatabaseContext& c) { return c.IsInstalled(); });
    }
    bool AllRemoteKnown() const {
        return std::all_of(contexts.begin(), contexts.end(),
                           [](const DatabaseContext& c) { return !c.remote.IsNull(); });
    }

    // --- remote information

    void LoadInfo() {
        if (state == ERROR || !network) {
            return;
        }
        const int mirrors = locations.databaseMirrors.size();
        if (locations.engineServer.isEmpty() || mirrors == 0) {
            // A deployment without update locations: what is installed still scans.
            problem = QStringLiteral("No engine location or signature mirror is configured");
            LOG(INFO) << problem.toStdString();
            SetState(ERROR);
            return;
        }
        ++attempt;
        mirrorIndex = (mirrorIndex + 1) % mirrors;
        const QString mirror = MirrorText(mirrorIndex);
        for (DatabaseContext& context : contexts) {
            context.UpdateUrl(mirror);
        }
        engineVersions.clear();
        pendingResults = 1 + static_cast<int>(contexts.size());
        RequestEngineInfo();
        for (DatabaseContext& context : contexts) {
            RequestHeader(context, mirror);
        }
    }

    QNetworkReply* Get(const QUrl& url, const QByteArray& range = QByteArray()) {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::NoLessSafeRedirectPolicy);
        if (!range.isEmpty()) {
            request.setRawHeader("Range", range);
        }
        return network->get(request);
    }

    void RequestEngineInfo() {
        QUrl url = locations.engineServer;
        url.setPath(url.path() + QStringLiteral("/info"));
        QNetworkReply* reply = Get(url);
        const int mine = attempt;
        QObject::connect(reply, &QNetworkReply::finished, q, [this, reply, mine] {
            reply->deleteLater();
            if (mine != attempt || !network) {
                return;
            }
            const int status =
                reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (reply->error() != QNetworkReply::NoError || status != 200) {
                LOG(ERROR) << "Couldn't get the engine info from "
                           << Util::LogText(reply->url().toString()) << ": "
                           << Util::LogText(reply->error() != QNetworkReply::NoError
                                                ? reply->errorString()
                                                : QStringLiteral("HTTP status %1").arg(status));
                OnLoadInfoResult();
                return;
            }
            const QByteArray body = reply->read(EngineVersion::infoLimitBytes + 1);
            QStringList versions;
            QStringList rejected;
            QString problem;
            if (!EngineVersion::FromInfoDocument(body, &versions, &rejected, &problem)) {
                LOG(ERROR) << "Can't read the engine info: " << Util::LogText(problem);
            }
            for (const QString& version : rejected) {
                LOG(WARNING) << "Ignoring the engine version \"" << Util::LogText(version)
                             << "\": not a version";
            }
            engineVersions << versions;
            OnLoadInfoResult();
        });
    }

    void RequestHeader(DatabaseContext& context, const QString& mirror) {
        LOG(INFO) << "Trying to get " << context.name.toStdString() << " database info from "
                  << Util::LogText(mirror);
        context.remote.Clear();
        context.header.clear();
        if (!context.url.isValid() || context.url.isEmpty()) {
            QTimer::singleShot(0, q, [this, mine = attempt] {
                if (mine == attempt) {
                    OnLoadInfoResult();
                }
            });
            return;
        }
        // Only the header is wanted; a server that sends more is cut off.
        QNetworkReply* reply =
            Get(context.url, "bytes=0-" + QByteArray::number(DatabaseInfo::headerSize - 1));
        const QString name = context.name;
        const int mine = attempt;
        auto take = [this, reply, name] {
            DatabaseContext& c = FindDatabaseContext(name);
            if (c.IsNull() || !c.remote.IsNull()) {
                return;
            }
            const qint64 room = DatabaseInfo::headerSize - c.header.size();
            if (room > 0) {
                c.header += reply->read(room);
            }
            if (c.GotEnoughData() || c.header.size() >= DatabaseInfo::headerSize) {
                reply->abort();
            }
        };
        QObject::connect(reply, &QNetworkReply::readyRead, q, [this, take, mine] {
            if (mine == attempt && network) {
                take();
            }
        });
        QObject::connect(reply, &QNetworkReply::finished, q, [this, reply, name, mine, mirror] {
            reply->deleteLater();
            if (mine != attempt || !network) {
                return;
            }
            LOG(INFO) << "Finished checking " << name.toStdString();
            DatabaseContext& c = FindDatabaseContext(name);
            const int status =
                reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const bool aborted = reply->error() == QNetworkReply::OperationCanceledError;
            if ((reply->error() != QNetworkReply::NoError && !aborted) ||
                (status != 200 && status != 206)) {
                LOG(WARNING) << "Couldn't get the " << name.toStdString() << " database info from "
                             << Util::LogText(mirror) << ": " << static_cast<int>(reply->error())
                             << " (HTTP status " << status << ")";
            } else if (c.remote.IsNull()) {
                if (!aborted && c.header.size() < DatabaseInfo::headerSize) {
                    c.header += reply->read(DatabaseInfo::headerSize - c.header.size());
                }
                const DatabaseInfo remote = DatabaseInfo::ParseHeader(c.header);
                if (remote.IsNull()) {
                    LOG(ERROR) << "Can't parse header of a remote virus database: "
                               << Util::LogText(c.url.toString());
                } else {
                    c.remote = remote;
                    LOG(INFO) << Util::LogText(c.url.toString())
                              << " remote version: " << remote.version;
                }
            }
            c.header.clear();
            OnLoadInfoResult();
        });
        QTimer::singleShot(headerTimeoutMs, reply, [reply] {
            if (reply->isRunning()) {
                reply->abort();
            }
        });
    }

    void OnLoadInfoResult() {
        if (--pendingResults > 0) {
            return;
        }
        if (!engineVersions.isEmpty() && AllRemoteKnown()) {
            if (state == ERROR) {
                LOG(ERROR) << "Couldn't get remote database and engine info. Going to the ERROR "
                              "state";
                return;
            }
            LOG(INFO) << "Got all remote database and engine info. Idling";
            problem.clear();
            SetState(IDLE);
            emit q->InfoUpdated();
        } else if (mirrorIndex + 1 < locations.databaseMirrors.size()) {
            LOG(WARNING) << "Trying to load remote database and engine info again";
            LoadInfo();
        } else {
            GoToError(QStringLiteral(
                "Have tried all the database mirrors and couldn't get required info"));
        }
    }

    // --- the update plan

    bool DownloadNextItem() {
        if (state == ERROR) {
            emit q->UpdateFinished(FAILED);
            return false;
        }
        ++currentItem;
        if (plan.IsEmpty()) {
            return false;
        }
        if (currentItem >= plan.Size()) {
            currentItem = -1;
            problem.clear();
            SetState(IDLE);
            emit q->UpdateFinished(DONE);
            return true;
        }
        const UpdatePlan::Entry& entry = plan.Entries()[static_cast<std::size_t>(currentItem)];
        bool started = false;
        switch (entry.type) {
            case UpdatePlan::FULL_DATABASE:
            case UpdatePlan::INCREMENTAL_DATABASE:
                started = DownloadDatabases();
                break;
            case UpdatePlan::ENGINE:
                started = DownloadEngine();
                break;
            default:
                LOG(ERROR) << "Invalid item type: " << static_cast<int>(entry.type);
                SetState(ERROR);
                emit q->UpdateFinished(FAILED);
                return false;
        }
        if (started && currentItem == 0) {
            emit q->UpdateStarted();
        }
        return started;
    }

    void CalculateProgress() {
        const float now = plan.Progress();
        if (now != progress) {
            progress = now;
            emit q->Progress(progress);
        }
    }

    // --- the engine

    bool DownloadEngine() {
        const QUrl url = q->GetEngineUrl();
        if (!installer || !url.isValid() || url.isEmpty()) {
            LOG(WARNING) << "Can't update the antivirus engine due to the engine URL isn't valid";
            problem = QStringLiteral("The engine's address is not valid");
            return false;
        }
        if (installer->IsRunning()) {
            LOG(WARNING) << "Can't update the antivirus engine due to connection is busy";
            problem = QStringLiteral("An engine download is under way");
            return false;
        }
        if (!installer->Start(url, layout.GetPrefix(), engineVersions.last())) {
            problem = QStringLiteral("The engine download could not start");
            return false;
        }
        SetState(UPDATING);
        return true;
    }

    void OnEngineProgress(qint64 received, qint64 total) {
        const int index = plan.Find(tr("the AntiVirus Engine"));
        if (index >= 0 && total > 0) {
            plan.Entries()[static_cast<std::size_t>(index)].progress =
                static_cast<float>(std::min(received, total)) / static_cast<float>(total);
            CalculateProgress();
        }
    }

    void OnEngineFinished(bool installed, bool canceled, const QString& why) {
        if (state != UPDATING && state != UNPACKING) {
            return;  // canceled: CancelUpdate() has told it
        }
        if (canceled || !installed) {
            FailUpdate(canceled ? QStringLiteral("The engine download was stopped")
                                : QStringLiteral("The engine was not installed: ") + why);
            return;
        }
        LOG(INFO) << "The engine has been installed: "
                  << Util::LogText(InstalledEngineVersion());
        const int index = plan.Find(tr("the AntiVirus Engine"));
        if (index >= 0) {
            plan.Entries()[static_cast<std::size_t>(index)].progress = 1;
        }
        CalculateProgress();
        emit q->InfoUpdated();
        SetState(UPDATING);
        if (!DownloadNextItem() && state == UPDATING) {
            FailUpdate(problem.isEmpty() ? QStringLiteral("The next step did not start") : problem);
        }
    }

    static QString tr(const char* text) { return AntiVirusManager::tr(text); }

    // --- the databases

    bool DownloadDatabases() {
        if (freshclam->state() != QProcess::NotRunning) {
            return true;  // one run serves every database entry
        }
        QString why;
        if (!FreshclamConfig::Write(layout.GetConfigPath(), layout.GetDatabaseFolder(),
                                    locations.publicMirrorHost, &why)) {
            problem = QStringLiteral("The updater's configuration can't be written: ") + why;
            return false;
        }
        QStringList args;
        const QString installed = InstalledEngineVersion();
        if (installed != lastEngineVersionWithoutShowProgress) {
            const int old = engineVersions.indexOf(lastEngineVersionWithoutShowProgress);
            const int mine = engineVersions.indexOf(installed);
            if (old >= 0 && mine > old) {
                args << QStringLiteral("--show-progress");
            }
        }
        args << QStringLiteral("--config-file=%1").arg(layout.GetConfigPath());
        QDir().mkpath(layout.GetDatabaseFolder());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString& variable : layout.GetLibraryEnvironment()) {
            const int equals = variable.indexOf(QLatin1Char('='));
            environment.insert(variable.left(equals), variable.mid(equals + 1));
        }
        freshclam->setProcessEnvironment(environment);
        freshclam->setStandardInputFile(QProcess::nullDevice());
        freshclamStopped = false;
        output.Finish();
        // UPDATING first: a start that fails at once is told while updating.
        SetState(UPDATING);
        freshclam->start(layout.GetFreshclamPath(), args, QIODevice::ReadOnly | QIODevice::Unbuffered);
        return true;  // a failed start is told by errorOccurred
    }

    void OnFreshclamOutput(const QByteArray& bytes) {
        for (const FreshclamOutput::Event& event : output.Feed(bytes)) {
            OnFreshclamEvent(event);
        }
    }

    void MarkDatabase(const QString& database, bool upToDate) {
        for (UpdatePlan::Entry& entry : plan.Entries()) {
            if ((entry.type == UpdatePlan::FULL_DATABASE ||
                 entry.type == UpdatePlan::INCREMENTAL_DATABASE) &&
                FreshclamOutput::DatabaseName(entry.name) == database) {
                if (upToDate) {
                    entry.upToDate = true;
                } else {
                    entry.progress = 1;
                }
            }
        }
    }

    void OnFreshclamEvent(const FreshclamOutput::Event& event) {
        switch (event.kind) {
            case FreshclamOutput::Event::PROGRESS: {
                const int index = plan.Find(event.name);
                if (index >= 0) {
                    plan.Entries()[static_cast<std::size_t>(index)].progress = event.fraction;
                    // The updater has moved on to this entry; the plan ends
                    // only with the updater itself.
                    currentItem = index;
                }
                break;
            }
            case FreshclamOutput::Event::UP_TO_DATE:
                MarkDatabase(FreshclamOutput::DatabaseName(event.name), true);
                break;
            case FreshclamOutput::Event::UPDATED:
                MarkDatabase(FreshclamOutput::DatabaseName(event.name), false);
                break;
            case FreshclamOutput::Event::INCREMENTAL_FAILED: {
                const DatabaseContext& context = FindDatabaseContext(event.name);
                if (!context.IsNull()) {
                    currentItem = plan.ReplaceIncrements(event.name, context.remote.version,
                                                         UpdatePlan::DatabaseWeight(event.name),
                                                         currentItem);
                }
                break;
            }
        }
        CalculateProgress();
    }

    void OnFreshclamFinished(int exitCode, QProcess::ExitStatus status) {
        for (const FreshclamOutput::Event& event : output.Finish()) {
            OnFreshclamEvent(event);
        }
        LOG(INFO) << "freshclam has been finished";
        LoadInfoLocal();
        if (freshclamStopped || (state != UPDATING && state != UNPACKING)) {
            return;  // canceled: nothing more is started
        }
        if (status != QProcess::NormalExit || exitCode != 0) {
            FailUpdate(status != QProcess::NormalExit ? QStringLiteral("freshclam crashed")
                                                      : FreshclamConfig::DescribeExit(exitCode));
            return;
        }
        QStringList behind;
        for (const DatabaseContext& context : contexts) {
            if (!context.IsActual()) {
                behind << QStringLiteral("%1 (%2 installed, %3 on the mirror)")
                              .arg(context.name)
                              .arg(context.local.version)
                              .arg(context.remote.version);
            }
        }
        if (!behind.isEmpty()) {
            FailUpdate(QStringLiteral("freshclam ended, yet the databases are behind: ") +
                       behind.join(QStringLiteral(", ")));
            return;
        }
        // One run of the updater did every database entry.
        for (UpdatePlan::Entry& entry : plan.Entries()) {
            entry.progress = 1;
        }
        CalculateProgress();
        currentItem = plan.Size() - 1;
        DownloadNextItem();
    }

    void OnFreshclamError(QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && (state == UPDATING || state == UNPACKING)) {
            FailUpdate(QStringLiteral("freshclam could not be started: ") + freshclam->errorString());
        }
    }
};

AntiVirusManager::AntiVirusManager(QObject* parent)
    : AntiVirusManager(Locations{}, ClamavLayout::DefaultPrefix(), parent) {}

AntiVirusManager::AntiVirusManager(const Locations& locations, const QString& prefix,
                                   QObject* parent)
    : QObject(parent), m_impl(std::make_unique<Impl>(this, locations, prefix)) {
    // For queued connections and signal spies.
    qRegisterMetaType<AntiVirusManager::State>("AntiVirusManager::State");
    qRegisterMetaType<AntiVirusManager::FinishReason>("AntiVirusManager::FinishReason");
    Impl& impl = *m_impl;
    impl.network = new QNetworkAccessManager(this);
    impl.installer = new EngineInstaller(impl.network, this);
    impl.freshclam = new QProcess(this);
    connect(impl.installer, &EngineInstaller::DownloadProgress, this,
            [this](qint64 received, qint64 total) { m_impl->OnEngineProgress(received, total); });
    connect(impl.installer, &EngineInstaller::UnpackingStarted, this, [this] {
        if (m_impl->state == UPDATING) {
            m_impl->SetState(UNPACKING);
        }
    });
    connect(impl.installer, &EngineInstaller::Finished, this,
            [this](bool installed, bool canceled, const QString& why) {
                m_impl->OnEngineFinished(installed, canceled, why);
            });
    connect(impl.freshclam, &QProcess::readyReadStandardOutput, this,
            [this] { m_impl->OnFreshclamOutput(m_impl->freshclam->readAllStandardOutput()); });
    connect(impl.freshclam, &QProcess::readyReadStandardError, this,
            [this] { m_impl->OnFreshclamOutput(m_impl->freshclam->readAllStandardError()); });
    connect(impl.freshclam, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this](int code, QProcess::ExitStatus status) {
                m_impl->OnFreshclamFinished(code, status);
            });
    connect(impl.freshclam, &QProcess::errorOccurred, this,
            [this](QProcess::ProcessError error) { m_impl->OnFreshclamError(error); });

    impl.LoadInfo();
    impl.LoadInfoLocal();
    if (impl.state != ERROR) {
        impl.SetState(INITIALIZING);
    }
}

AntiVirusManager::~AntiVirusManager() {
    WaitBeforeAppQuit();
}

bool AntiVirusManager::IsReady() const {
    return IsReadyState(m_impl->state);
}

AntiVirusManager::State AntiVirusManager::GetState() const {
    return m_impl->state;
}

QString AntiVirusManager::GetProblem() const {
    return m_impl->problem;
}

bool AntiVirusManager::IsEngineInstalled() const {
    return QFileInfo(m_impl->layout.GetClamscanPath()).isFile();
}

bool AntiVirusManager::IsDatabaseInstalled() const {
    return IsEngineInstalled() && m_impl->AllLocalKnown();
}

bool AntiVirusManager::IsScanningPossible() const {
    return IsEngineInstalled() && IsDatabaseInstalled();
}

QString AntiVirusManager::GetInstalledEngineVersion() const {
    return m_impl->InstalledEngineVersion();
}

bool AntiVirusManager::IsEngineActual() const {
    const Impl& impl = *m_impl;
    if (impl.state == INITIALIZING || impl.state == ERROR) {
        return false;
    }
    const QString installed = GetInstalledEngineVersion();
    return !installed.isEmpty() && !impl.engineVersions.isEmpty() &&
           installed == impl.engineVersions.last();
}

bool AntiVirusManager::IsDatabaseActual() const {
    const Impl& impl = *m_impl;
    return IsEngineInstalled() && impl.AllLocalKnown() && impl.state != INITIALIZING &&
           impl.state != ERROR &&
           std::all_of(impl.contexts.begin(), impl.contexts.end(),
                       [](const DatabaseContext& c) { return c.IsActual(); });
}

bool AntiVirusManager::IsUpdateReqired() const {
    if (!IsEngineInstalled() || !m_impl->AllLocalKnown()) {
        return true;
    }
    if (m_impl->state == INITIALIZING || m_impl->state == ERROR) {
        return false;
    }
    return !IsEngineActual() || !IsDatabaseActual();
}

int AntiVirusManager::GetNumOfNewSignatures() const {
    if (!IsEngineInstalled() || !m_impl->AllLocalKnown()) {
        return 0;
    }
    long long sum = 0;
    for (const DatabaseContext& context : m_impl->contexts) {
        if (!context.remote.IsNull()) {
            sum += static_cast<long long>(context.remote.signatures) - context.local.signatures;
        }
    }
    return static_cast<int>(std::clamp<long long>(sum, 0, std::numeric_limits<int>::max()));
}

QString AntiVirusManager::GetLastRemoteEngineVersion() const {
    return IsReady() && !m_impl->engineVersions.isEmpty() ? m_impl->engineVersions.last()
                                                          : QString();
}

QUrl AntiVirusManager::GetEngineUrl() const {
    const Impl& impl = *m_impl;
    if (impl.engineVersions.isEmpty() || impl.locations.engineServer.isEmpty()) {
        return QUrl();
    }
    QUrl url = impl.locations.engineServer;
    url.setPath(url.path() + QStringLiteral("/av-%1.tgz").arg(impl.engineVersions.last()));
    return url;
}

const DatabaseContext& AntiVirusManager::GetMainDatabaseContext() const {
    return m_impl->contexts[0];
}

const DatabaseContext& AntiVirusManager::GetDailyDatabaseContext() const {
    return m_impl->contexts[1];
}

const DatabaseContext& AntiVirusManager::GetBytecodeDatabaseContext() const {
    return m_impl->contexts[2];
}

AntiVirusManager::UpdatedItem AntiVirusManager::GetCurrentUpdatedItem() const {
    const Impl& impl = *m_impl;
    if (impl.currentItem < 0 || impl.currentItem >= impl.plan.Size()) {
        return UpdatedItem::nullItem;
    }
    const UpdatePlan::Entry& entry = impl.plan.Entries()[static_cast<std::size_t>(impl.currentItem)];
    return {static_cast<UpdatedItem::Type>(entry.type), entry.name, entry.progress};
}

float AntiVirusManager::GetProgressOfEngineUpdate() const {
    return m_impl->progress;
}

const ClamavLayout& AntiVirusManager::GetLayout() const {
    return m_impl->layout;
}

QString AntiVirusManager::GetClamscanPath() const {
    return m_impl->layout.GetClamscanPath();
}

QString AntiVirusManager::GetFreshclamPath() const {
    return m_impl->layout.GetFreshclamPath();
}

bool AntiVirusManager::UpdateAll() {
    Impl& impl = *m_impl;
    if (impl.state != IDLE) {
        return false;  // not ready, broken, or an update is under way
    }
    impl.plan.Clear();
    impl.progress = 0;
    emit Progress(0);
    if (!IsEngineActual()) {
        impl.plan.Append({UpdatePlan::ENGINE, tr("the AntiVirus Engine"), 0.1f, false, 0});
    }
    if (!IsDatabaseActual()) {
        for (const DatabaseContext& context : impl.contexts) {
            if (impl.FindDatabase(context.name).isEmpty()) {
                impl.plan.Append({UpdatePlan::FULL_DATABASE, UpdatePlan::FullName(context.name),
                                  UpdatePlan::DatabaseWeight(context.name), false, 0});
            } else {
                impl.plan.AddIncrements(context.name, context.local.version,
                                        context.remote.version);
            }
        }
    }
    if (impl.plan.IsEmpty()) {
        impl.problem = QStringLiteral("The engine and the databases are up to date");
        return false;
    }
    impl.problem.clear();
    impl.currentItem = -1;
    if (!impl.DownloadNextItem()) {
        const QString why =
            impl.problem.isEmpty() ? QStringLiteral("The update did not start") : impl.problem;
        LOG(ERROR) << "The antivirus update did not start: " << Util::LogText(why);
        impl.problem = why;
        impl.currentItem = -1;
        return false;
    }
    return true;
}

void AntiVirusManager::CancelUpdate() {
    Impl& impl = *m_impl;
    if (impl.state != UPDATING && impl.state != UNPACKING) {
        return;
    }
    impl.currentItem = -1;
    impl.SetState(IDLE);  // first: what the canceled work reports now is no result
    if (impl.installer) {
        impl.installer->Cancel();
    }
    if (impl.freshclam->state() != QProcess::NotRunning) {
        impl.freshclamStopped = true;
        impl.freshclam->kill();
        // Its end is taken now: what it installed before is known at once.
        impl.freshclam->waitForFinished(30000);
    }
    emit UpdateFinished(CANCELED);
}

void AntiVirusManager::WaitBeforeAppQuit() {
    Impl& impl = *m_impl;
    CancelUpdate();
    if (impl.freshclam && impl.freshclam->state() != QProcess::NotRunning) {
        impl.freshclamStopped = true;
        impl.freshclam->kill();
        impl.freshclam->waitForFinished(30000);
    }
    delete impl.installer;
    impl.installer = nullptr;
    QNetworkAccessManager* network = impl.network;
    impl.network = nullptr;  // answers still arriving are no longer taken
    delete network;
}

}  // namespace Varnex::Cleaner
