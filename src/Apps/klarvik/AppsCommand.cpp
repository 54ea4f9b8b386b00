#include "AppsCommand.h"

#include <QDateTime>
#include <QEventLoop>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <cstdio>
#include <memory>
#include <optional>

#include "CleanerCommon/Sizes.h"
#include "Commands.h"
#include "Core/ApplicationInventory.h"
#include "Core/details/AppsDB.h"
#include "Core/details/AppsDBCache.h"
#include "Core/details/GarbageApplication.h"
#include "ShownText.h"
#include "TreeReport.h"

namespace Klarvik {

using Varnex::AsyncCache;
using Varnex::Cleaner::ApplicationCaches;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::MakeApplicationCaches;
using Varnex::Cleaner::Details::GarbageApplication;
namespace AppsDB = Varnex::Cleaner::Details::AppsDB;

namespace {

using LastUseCache = AsyncCache<QHash<QString, QDateTime>>;

void Print(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

// What the applications database says of a bundle's size.
enum class SizeState {
    RECORDED,      // measured, and still true
    STALE,         // recorded, but a localization went since: to be measured again
    NOT_MEASURED,  // no record
    UNAVAILABLE,   // the database could not be read
};

const char* SizeStateWord(SizeState state) {
    switch (state) {
        case SizeState::RECORDED:
            return "recorded";
        case SizeState::STALE:
            return "stale";
        case SizeState::NOT_MEASURED:
            return "not_measured";
        case SizeState::UNAVAILABLE:
            return "unavailable";
    }
    return "";
}

// One listed application as the application scopes would show it.
struct Listed {
    QString group;  // "standard" or "other"
    QString path;
    QString name;
    QString identifier;
    QDateTime lastUsed;
    qint64 size = 0;  // only for RECORDED
    SizeState sizeState = SizeState::NOT_MEASURED;
    int status = 0;
    int error = 0;
    int check = 0;
};

// The records of the database by path; none when they could not be loaded.
using Records = std::optional<QHash<QString, AppsDB::Application>>;

QList<Listed> Describe(const QStringList& paths, const QString& group, const Records& recorded,
                       const QHash<QString, QDateTime>& lastUses) {
    QList<Listed> list;
    for (const QString& path : paths) {
        const AppsDB::Application* record = nullptr;
        if (recorded) {
            const auto found = recorded->constFind(path);
            record = found != recorded->constEnd() ? &*found : nullptr;
        }
        // The item reads the bundle's Info.plist; the last use was read by mdls
        // in the background.
        const GarbageApplication item(path, record ? record->bundleId : QString(),
                                      lastUses.value(path), nullptr);
        Listed app;
        app.group = group;
        app.path = path;
        app.name = item.GetName();
        app.identifier = item.GetId();
        app.lastUsed = item.GetLastReadTime();
        if (!recorded) {
            app.sizeState = SizeState::UNAVAILABLE;
        } else if (!record) {
            app.sizeState = SizeState::NOT_MEASURED;
        } else if (record->isDirty) {
            // A dirty size is what the bundle weighed before a localization
            // was removed: not to be shown as its size.
            app.sizeState = SizeState::STALE;
        } else {
            app.sizeState = SizeState::RECORDED;
            app.size = record->size;
        }
        app.status = static_cast<int>(item.GetStatus());
        app.error = static_cast<int>(item.GetError());
        app.check = static_cast<int>(item.GetCheckState());
        list.append(app);
    }
    return list;
}

QString DateText(const QDateTime& when) {
    return when.isValid() ? when.toString(Qt::ISODate) : QString();
}

QJsonObject ToJson(const Listed& app) {
    return QJsonObject{
        {"path", app.path},
        {"name", app.name},
        {"size", app.size},
        {"status", TreeReport::StatusWord(app.status)},
        {"error", TreeReport::ErrorWord(app.error)},
        {"check", TreeReport::CheckWord(app.check)},
        {"children", QJsonArray()},
        {"group", app.group},
        {"identifier", app.identifier},
        {"last_used", app.lastUsed.isValid() ? QJsonValue(DateText(app.lastUsed)) : QJsonValue()},
        {"size_recorded", app.sizeState == SizeState::RECORDED},
        {"size_state", SizeStateWord(app.sizeState)}};
}

QString SizeText(const Listed& app) {
    switch (app.sizeState) {
        case SizeState::RECORDED:
            return FormatSize(app.size, 0);
        case SizeState::STALE:
            return QStringLiteral("pending re-measure");
        case SizeState::NOT_MEASURED:
            return QStringLiteral("not measured yet");
        case SizeState::UNAVAILABLE:
            return QStringLiteral("unavailable");
    }
    return QString();
}

QString ToText(const QList<Listed>& apps) {
    QString text;
    QString group;
    for (const Listed& app : apps) {
        if (app.group != group) {
            group = app.group;
            text += group == QLatin1String("standard")
                        ? QStringLiteral("Standard applications:\n")
                        : QStringLiteral("Other vendors' applications:\n");
        }
        text += QStringLiteral("  %1 (%2)\n    %3\n    last used: %4, size: %5\n")
                    .arg(Shown(app.name),
                         app.identifier.isEmpty() ? QStringLiteral("no identifier")
                                                  : Shown(app.identifier),
                         Shown(app.path),
                         app.lastUsed.isValid()
                             ? app.lastUsed.toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                             : QStringLiteral("unknown"),
                         SizeText(app));
    }
    return text;
}

// Runs the event loop until every cache has delivered its Ready().
template <typename... Caches>
void WaitForAll(const Caches&... caches) {
    QEventLoop loop;
    int pending = sizeof...(caches);
    const auto settled = [&loop, &pending] {
        if (--pending == 0) {
            loop.quit();
        }
    };
    (caches->CallOnReady(&loop, settled), ...);
    loop.exec();
}

}  // namespace

int RunApps(bool json) {
    // As the facade sets them up: the database's applications, the bundle
    // search and its split, each computed in the background and reported
    // through the event loop.
    const ApplicationCaches caches = MakeApplicationCaches();
    auto database = std::make_shared<AppsDB::ApplicationRecordsCache>();
    database->SetFunction(AppsDB::MakeApplicationRecordsProducer());
    database->Refresh();
    WaitForAll(caches.standard, caches.other, database);

    const bool listed = caches.standard->IsReady() && caches.other->IsReady();
    const QStringList standard = caches.standard->GetValue();
    const QStringList other = caches.other->GetValue();
    Records recorded;
    if (database->IsReady()) {
        recorded.emplace();
        for (const AppsDB::Application& app : database->GetValue()) {
            recorded->insert(app.path, app);
        }
    }

    // mdls runs off the main thread, each call bounded.
    auto lastUses = std::make_shared<LastUseCache>();
    lastUses->SetFunction([paths = standard + other](std::function<bool()> stop) {
        QHash<QString, QDateTime> dates;
        for (const QString& path : paths) {
            if (stop()) {
                break;
            }
            dates.insert(path, GarbageApplication::ReadLastUsedTime(path));
        }
        return dates;
    });
    lastUses->Refresh();
    WaitForAll(lastUses);
    const QHash<QString, QDateTime> dates = lastUses->GetValue();

    QList<Listed> apps = Describe(standard, QStringLiteral("standard"), recorded, dates);
    apps += Describe(other, QStringLiteral("other"), recorded, dates);

    qint64 totalSize = 0;
    for (const Listed& app : apps) {
        totalSize += app.size;
    }
    const bool done = listed && recorded.has_value();
    const QString finished = done ? QStringLiteral("done") : QStringLiteral("failed");
    if (json) {
        QJsonArray items;
        for (const Listed& app : apps) {
            items.append(ToJson(app));
        }
        const QJsonObject doc{{"kind", "apps"},
                              {"finished", finished},
                              {"total_items", apps.size()},
                              {"total_size", totalSize},
                              {"sizes_available", recorded.has_value()},
                              {"cleaned_items", 0},
                              {"cleaned_size", 0},
                              {"items", items}};
        Print(QString::fromUtf8(QJsonDocument(doc).toJson(QJsonDocument::Indented)));
    } else {
        const QString sizes = recorded ? FormatSize(totalSize, 0) + QStringLiteral(" recorded")
                                       : QStringLiteral("sizes unavailable");
        Print(ToText(apps) +
              QStringLiteral("Total: %1, %2 (%3)\n")
                  .arg(Counted(apps.size(), "application", "applications"), sizes, finished));
    }
    if (!listed) {
        std::fprintf(stderr, "klarvik: the list of applications could not be computed\n");
    }
    if (!recorded) {
        std::fprintf(stderr, "klarvik: the recorded sizes are unavailable: %s\n",
                     AppsDB::GetAvailability(AppsDB::Applications) == AppsDB::Availability::LOCKED
                         ? "the applications database is locked by another program"
                         : "the applications database could not be read");
    }
    return done ? EXIT_DONE : EXIT_FAILED;
}

}  // namespace Klarvik
