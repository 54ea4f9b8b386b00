#include "AntiVirusCommand.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include "CleanerCommon/Sizes.h"
#include "Core/AntiVirusManager.h"
#include "Core/DatabaseContext.h"
#include "Core/details/AntiVirusScope.h"
#include "FileListCommand.h"
#include "RootCheck.h"
#include "RunOutput.h"
#include "ScopeDriver.h"
#include "ShownText.h"

namespace Klarvik {

using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::AbstractGarbageScope;
using Varnex::Cleaner::AntiVirusManager;
using Varnex::Cleaner::DatabaseContext;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::Details::AntiVirusScope;

namespace {

// How long the remote information may take: every mirror's headers time out
// after a few seconds, and the engine's document after half a minute.
const int infoWaitMs = 5 * 60 * 1000;

AntiVirusManager::Locations LocationsFromEnvironment() {
    AntiVirusManager::Locations locations;
    const QString engine = QString::fromUtf8(qgetenv("KLARVIK_CLAMAV_ENGINE_URL")).trimmed();
    if (!engine.isEmpty()) {
        locations.engineServer = QUrl(engine);
    }
    for (const QString& mirror : QString::fromUtf8(qgetenv("KLARVIK_CLAMAV_MIRRORS"))
                                     .split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        locations.databaseMirrors << QUrl(mirror);
    }
    locations.publicMirrorHost = QString::fromUtf8(qgetenv("KLARVIK_CLAMAV_MIRROR_HOST")).trimmed();
    if (locations.publicMirrorHost.isEmpty() && !locations.databaseMirrors.isEmpty()) {
        locations.publicMirrorHost = locations.databaseMirrors.last().host();
    }
    return locations;
}

QString NoEngineText(const AntiVirusManager& manager) {
    return QStringLiteral(
               "no antivirus engine is installed in %1: install it with `klarvik antivirus "
               "update` (with KLARVIK_CLAMAV_ENGINE_URL and KLARVIK_CLAMAV_MIRRORS set)")
        .arg(Shown(manager.GetLayout().GetEngineFolder()));
}

class AntiVirusKind : public FileListKind {
public:
    explicit AntiVirusKind(AntiVirusManager* manager) : m_scope(manager) {}

    AbstractGarbageScope& Scope() override { return m_scope; }
    bool AddPath(const QString& path, bool cleaning, QString* refusal) override {
        *refusal = RootRefusal(path, cleaning, true);
        if (!refusal->isEmpty()) {
            return false;
        }
        if (!m_scope.AddPath(path)) {
            *refusal = QStringLiteral("given twice");
            return false;
        }
        return true;
    }
    int PathCount() const override { return m_scope.GetPaths().size(); }
    QString Verb() const override { return QStringLiteral("scanning"); }
    QString NoPathMessage() const override {
        return QStringLiteral("no path could be scanned: nothing was done");
    }
    QString Line(AbstractGarbage* item) const override {
        return FormatSize(item->GetSize(), 0) + QStringLiteral("  ") +
               Shown(item->GetDescription()) + QStringLiteral("  ") + Shown(item->GetPath());
    }
    TreeCensus Census() const override {
        TreeCensus census = TreeCensus::Of(m_scope, false);
        census.undecodableNames = m_scope.GetSkippedNames();
        return census;
    }
    QString ScanProblem() const override { return m_scope.GetScanProblem(); }

private:
    AntiVirusScope m_scope;
};

// Runs the event loop until the manager knows what the locations offer (or
// that it cannot know); false when Ctrl-C came first.
bool WaitForInfo(AntiVirusManager& manager) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (manager.GetState() != AntiVirusManager::INITIALIZING ||
            ScopeDriver::WasInterrupted()) {
            loop.quit();
        }
    });
    QTimer::singleShot(infoWaitMs, &loop, &QEventLoop::quit);
    poll.start(50);
    if (manager.GetState() == AntiVirusManager::INITIALIZING) {
        loop.exec();
    }
    return !ScopeDriver::WasInterrupted();
}

QString DatabaseLine(const DatabaseContext& context) {
    QString line = context.name.leftJustified(9);
    if (context.IsInstalled()) {
        line += QStringLiteral("version %1, %2 signatures")
                    .arg(context.local.version)
                    .arg(context.local.signatures);
        if (context.local.time.isValid()) {
            line += QStringLiteral(", built ") + context.local.time.toString(Qt::ISODate);
        }
    } else {
        line += QStringLiteral("not installed");
    }
    if (!context.remote.IsNull()) {
        line += QStringLiteral(" (mirror: version %1%2)")
                    .arg(context.remote.version)
                    .arg(context.IsActual() ? QStringLiteral(", current") : QStringLiteral(", newer"));
    }
    return line;
}

QJsonObject DatabaseJson(const DatabaseContext& context) {
    QJsonObject object{{QStringLiteral("name"), context.name},
                       {QStringLiteral("installed"), context.IsInstalled()}};
    if (context.IsInstalled()) {
        object.insert(QStringLiteral("version"), context.local.version);
        object.insert(QStringLiteral("signatures"), context.local.signatures);
    }
    if (!context.remote.IsNull()) {
        object.insert(QStringLiteral("remote_version"), context.remote.version);
    }
    return object;
}

int WriteStatus(const AntiVirusManager& manager, bool json) {
    const QList<const DatabaseContext*> databases{&manager.GetMainDatabaseContext(),
                                                  &manager.GetDailyDatabaseContext(),
                                                  &manager.GetBytecodeDatabaseContext()};
    const bool known = manager.IsReady();
    const bool installed = manager.IsEngineInstalled();
    if (json) {
        QJsonArray list;
        for (const DatabaseContext* context : databases) {
            list.append(DatabaseJson(*context));
        }
        QJsonObject status{
            {QStringLiteral("prefix"), manager.GetLayout().GetPrefix()},
            {QStringLiteral("engine_installed"), installed},
            {QStringLiteral("engine_version"), manager.GetInstalledEngineVersion()},
            {QStringLiteral("newest_engine"), manager.GetLastRemoteEngineVersion()},
            {QStringLiteral("databases"), list},
            {QStringLiteral("remote_known"), known},
            {QStringLiteral("update_required"), manager.IsUpdateReqired()},
            {QStringLiteral("problem"), manager.GetProblem()}};
        Out() << QJsonDocument(status).toJson(QJsonDocument::Indented);
    } else {
        if (installed) {
            Out() << "Engine: " << Shown(manager.GetInstalledEngineVersion()) << " in "
                  << Shown(manager.GetLayout().GetEngineFolder());
            if (known) {
                Out() << (manager.IsEngineActual() ? " (current)" : " (newest offered: ")
                      << (manager.IsEngineActual() ? QString()
                                                   : Shown(manager.GetLastRemoteEngineVersion()) +
                                                         QStringLiteral(")"));
            }
            Out() << '\n';
        } else {
            Out() << "Engine: not installed in " << Shown(manager.GetLayout().GetEngineFolder())
                  << '\n';
        }
        Out() << "Databases in " << Shown(manager.GetLayout().GetDatabaseFolder()) << ":\n";
        for (const DatabaseContext* context : databases) {
            Out() << "  " << DatabaseLine(*context) << '\n';
        }
        if (!known) {
            Out() << "What is newest is not known: " << Shown(manager.GetProblem()) << '\n';
        } else {
            Out() << (manager.IsUpdateReqired() ? "An update is required.\n" : "Up to date.\n");
        }
    }
    Out().flush();
    if (!installed) {
        Err(NoEngineText(manager));
        return EXIT_FAILED;
    }
    return EXIT_DONE;
}

int Update(AntiVirusManager& manager, bool json) {
    if (!manager.IsReady()) {
        Err(QStringLiteral("can't update: ") + Shown(manager.GetProblem()));
        return EXIT_FAILED;
    }
    if (!manager.IsUpdateReqired()) {
        WriteStatus(manager, json);
        return EXIT_DONE;
    }
    const bool showProgress = ::isatty(STDERR_FILENO) != 0 && !json;
    QEventLoop loop;
    AntiVirusManager::FinishReason reason = AntiVirusManager::FAILED;
    QObject::connect(&manager, &AntiVirusManager::UpdateFinished, &loop,
                     [&](AntiVirusManager::FinishReason r) {
                         reason = r;
                         loop.quit();
                     });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (ScopeDriver::WasInterrupted()) {
            manager.CancelUpdate();
        }
        if (showProgress) {
            const AntiVirusManager::UpdatedItem item = manager.GetCurrentUpdatedItem();
            std::fprintf(stderr, "\r\033[KUpdating: %d%%%s",
                         static_cast<int>(manager.GetProgressOfEngineUpdate() * 100),
                         item.IsNull() ? ""
                                       : (QStringLiteral(" (") + Shown(item.name) +
                                          QStringLiteral(")"))
                                             .toUtf8()
                                             .constData());
        }
    });
    if (!manager.UpdateAll()) {
        Err(QStringLiteral("the update did not start: ") + Shown(manager.GetProblem()));
        return EXIT_FAILED;
    }
    poll.start(200);
    loop.exec();
    poll.stop();
    if (showProgress) {
        std::fprintf(stderr, "\r\033[K");
    }
    if (reason != AntiVirusManager::DONE) {
        Err(reason == AntiVirusManager::CANCELED
                ? QStringLiteral("the update was canceled")
                : QStringLiteral("the update failed: ") + Shown(manager.GetProblem()));
    }
    WriteStatus(manager, json);
    if (ScopeDriver::WasInterrupted()) {
        return EXIT_INTERRUPTED;
    }
    return reason == AntiVirusManager::DONE ? EXIT_DONE : EXIT_FAILED;
}

}  // namespace

int RunAntiVirusScan(const Options& options) {
    // Only what is installed counts here: the scan needs no network.
    AntiVirusManager manager(AntiVirusManager::Locations{},
                             Varnex::Cleaner::Details::ClamavLayout::DefaultPrefix());
    if (!manager.IsEngineInstalled()) {
        Err(NoEngineText(manager));
        return EXIT_FAILED;
    }
    AntiVirusKind kind(&manager);
    return RunFileList(options, kind);
}

int RunAntiVirus(const QString& action, bool json) {
    ScopeDriver::InstallInterruptHandler();
    AntiVirusManager manager(LocationsFromEnvironment(),
                             Varnex::Cleaner::Details::ClamavLayout::DefaultPrefix());
    if (!WaitForInfo(manager)) {
        return EXIT_INTERRUPTED;
    }
    if (action == QLatin1String("status")) {
        return WriteStatus(manager, json);
    }
    return Update(manager, json);
}

}  // namespace Klarvik
