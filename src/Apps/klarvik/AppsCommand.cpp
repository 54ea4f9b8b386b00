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

#include "CleanerCommon/Sizes.h"
#include "Commands.h"
#include "Core/ApplicationInventory.h"
#include "Core/details/AppsDB.h"
#include "Core/details/GarbageApplication.h"
#include "TreeReport.h"

namespace Klarvik {

using Varnex::AsyncCache;
using Varnex::Cleaner::AbstractGarbage;
using Varnex::Cleaner::ApplicationCaches;
using Varnex::Cleaner::ApplicationPathsCache;
using Varnex::Cleaner::FormatSize;
using Varnex::Cleaner::MakeApplicationCaches;
using Varnex::Cleaner::Details::GarbageApplication;
namespace AppsDB = Varnex::Cleaner::Details::AppsDB;

namespace {

using DatabaseCache = AsyncCache<QList<AppsDB::Application>>;

void Print(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

// One listed application as the application scopes would show it.
struct Listed {
    QString group;  // "standard" or "other"
    QString path;
    QString name;
    QString identifier;
    QDateTime lastUsed;
    qint64 size = 0;
    bool sizeRecorded = false;
    int status = 0;
    int error = 0;
    int check = 0;
};

QList<Listed> Describe(const QStringList& paths, const QString& group,
                       const QHash<QString, AppsDB::Application>& recorded) {
    QList<Listed> list;
    for (const QString& path : paths) {
        const auto record = recorded.constFind(path);
        const bool known = record != recorded.constEnd();
        // The item reads the bundle's Info.plist and asks mdls for the last use.
        const GarbageApplication item(path, known ? record->bundleId : QString(), nullptr);
        Listed app;
        app.group = group;
        app.path = path;
        app.name = item.GetName();
        app.identifier = item.GetId();
        app.lastUsed = item.GetLastReadTime();
        app.sizeRecorded = known;
        app.size = known ? record->size : 0;
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
        {"size_recorded", app.sizeRecorded}};
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
        text +=
            QStringLiteral("  %1 (%2)\n    %3\n    last used: %4, size: %5\n")
                .arg(app.name,
                     app.identifier.isEmpty() ? QStringLiteral("no identifier") : app.identifier,
                     app.path,
                     app.lastUsed.isValid()
                         ? app.lastUsed.toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                         : QStringLiteral("unknown"),
                     app.sizeRecorded ? FormatSize(app.size, 0)
                                      : QStringLiteral("not measured yet"));
    }
    return text;
}

}  // namespace

int RunApps(bool json) {
    // As the facade sets them up: the database's applications, the bundle
    // search and its split, each computed in the background and reported
    // through the event loop.
    const ApplicationCaches caches = MakeApplicationCaches();
    auto database = std::make_shared<DatabaseCache>();
    database->SetFunction(std::function<QList<AppsDB::Application>()>(&AppsDB::LoadApplications));
    database->Refresh();

    QEventLoop loop;
    int pending = 3;
    const auto settled = [&loop, &pending] {
        if (--pending == 0) {
            loop.quit();
        }
    };
    caches.standard->CallOnReady(&loop, settled);
    caches.other->CallOnReady(&loop, settled);
    database->CallOnReady(&loop, settled);
    loop.exec();

    const bool done = caches.standard->IsReady() && caches.other->IsReady();
    QHash<QString, AppsDB::Application> recorded;
    for (const AppsDB::Application& app : database->GetValue()) {
        recorded.insert(app.path, app);
    }
    QList<Listed> apps =
        Describe(caches.standard->GetValue(), QStringLiteral("standard"), recorded);
    apps += Describe(caches.other->GetValue(), QStringLiteral("other"), recorded);

    qint64 totalSize = 0;
    for (const Listed& app : apps) {
        totalSize += app.size;
    }
    const QString finished = done ? QStringLiteral("done") : QStringLiteral("failed");
    if (json) {
        QJsonArray items;
        for (const Listed& app : apps) {
            items.append(ToJson(app));
        }
        const QJsonObject doc{
            {"kind", "apps"},          {"finished", finished}, {"total_items", apps.size()},
            {"total_size", totalSize}, {"cleaned_items", 0},   {"cleaned_size", 0},
            {"items", items}};
        Print(QString::fromUtf8(QJsonDocument(doc).toJson(QJsonDocument::Indented)));
    } else {
        Print(ToText(apps) + QStringLiteral("Total: %1 applications, %2 recorded (%3)\n")
                                 .arg(apps.size())
                                 .arg(FormatSize(totalSize, 0), finished));
    }
    if (!done) {
        std::fprintf(stderr, "klarvik: the list of applications could not be computed\n");
        return EXIT_FAILED;
    }
    return EXIT_DONE;
}

}  // namespace Klarvik
