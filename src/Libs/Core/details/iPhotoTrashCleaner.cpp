#include "Core/details/iPhotoTrashCleaner.h"

#include <glog/logging.h>
#include <sys/stat.h>

#include <QDebug>
#include <QFileInfo>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>
#include <chrono>
#include <thread>

#include "CleanerCommon/LogText.h"
#include "CleanerFS/FSCleanerServerContext.h"
#include "Core/details/PhotoLibrary.h"
#include "Core/details/iPhotoImageFiles.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString driverName = QStringLiteral("QSQLITE");
const QString libraryConnectionName = QStringLiteral("iPhotoLibraryCleaner");
const QString proxiesConnectionName = QStringLiteral("iPhotoImageProxiesCleaner");
// Read-write, never SQLITE_OPEN_CREATE: a missing file is not made.
const QString readWriteOptions = QStringLiteral("QSQLITE_OPEN_URI");
const QString libraryDatabase = QStringLiteral("Database/Library.apdb");
const QString proxiesDatabase = QStringLiteral("Database/ImageProxies.apdb");

const QString masterQuery =
    QStringLiteral("SELECT imagePath FROM RKMaster WHERE modelId = :modelId;");
const QString versionsQuery =
    QStringLiteral("SELECT uuid, isInTrash FROM RKVersion WHERE masterId = :masterId;");
const QString proxiesQuery = QStringLiteral(
    "SELECT fullSizePreviewPath, thumbnailPath, miniThumbnailPath FROM RKImageProxyState WHERE "
    "versionUuid = :versionUuid;");
const QString sharedMasterQuery = QStringLiteral(
    "SELECT count(*) FROM RKMaster WHERE imagePath = :imagePath AND modelId <> :modelId;");
const QString deleteMaster = QStringLiteral("DELETE FROM RKMaster WHERE modelId = :modelId;");
const QString deleteVersions = QStringLiteral("DELETE FROM RKVersion WHERE masterId = :masterId;");
const QString deleteVersion =
    QStringLiteral("DELETE FROM RKVersion WHERE masterId = :masterId AND uuid = :uuid;");
const QString deleteProxies =
    QStringLiteral("DELETE FROM RKImageProxyState WHERE versionUuid = :versionUuid;");
// Reads the schema: a file that is not a database fails here, not later.
const QString probeQuery = QStringLiteral("SELECT count(*) FROM sqlite_master;");

// Numbers the cleaners and their runs: no two share a context or connection.
std::atomic<unsigned long long> cleanerCounter{0};
std::atomic<unsigned long long> runCounter{0};

QString ErrorText(const QSqlError& error) {
    return error.text().isEmpty() ? QStringLiteral("unknown error") : error.text();
}

std::string Text(const QString& text) {
    return Util::LogText(text);
}

}  // namespace

// What one image's removal reads before it changes anything.
struct iPhotoTrashCleaner::Image {
    explicit Image(int imageId) : id(imageId), files(imageId) {}
    int id;
    QString master;
    bool allInTrash = false;
    QStringList trashedVersions;
    QStringList keptVersions;
    QSet<QString> keptFiles;  // named by what stays: never removed
    QStringList thumbnailFolders;
    iPhotoImageFiles files;
};

iPhotoTrashCleaner::Result iPhotoTrashCleaner::Task::operator()() const {
    if (m_plan != m_cleaner->m_plan.load()) {
        // Planned before a stop or a clear: never part of a later run.
        return {};
    }
    m_cleaner->DoSleep();
    return m_cleaner->DoRemove(m_modelId);
}

iPhotoTrashCleaner::iPhotoTrashCleaner(unsigned int taskInterval)
    : m_context(std::make_unique<FSCleanerServerContext>(
          QStringLiteral("iPhotoTrashCleaner-%1").arg(++cleanerCounter))),
      m_taskInterval(taskInterval),
      m_producer([this] { CloseDatabases(); },
                 [](const Result& result) { return result.id >= 0; }) {}

iPhotoTrashCleaner::~iPhotoTrashCleaner() {
    m_producer.RequestStop();
    m_producer.Wait();
}

void iPhotoTrashCleaner::PlanToRemove(int modelId) {
    if (modelId < 0) {
        LOG(ERROR) << "Not a photo library image: " << modelId;
        return;
    }
    m_producer.AddTask(Task(*this, modelId, m_plan.load()));
}

void iPhotoTrashCleaner::Clean(const QString& libraryPath) {
    if (m_stopped.exchange(false)) {
        // The stopped run finishes its image first; it would not take the
        // new plan.
        m_producer.Wait();
    }
    {
        boost::lock_guard<boost::mutex> lock(m_settingsLock);
        if (!m_producer.IsWorking()) {
            m_libraryPath = libraryPath;
            m_databasesOpened.store(false);
        } else if (libraryPath != m_libraryPath) {
            // Its model ids would be taken for the running library's.
            LOG(ERROR) << "The photo library cleaner is busy with " << Text(m_libraryPath)
                       << ": the plan for " << Text(libraryPath) << " is dropped";
            ++m_plan;
            return;
        }
    }
    m_producer.Start();
}

void iPhotoTrashCleaner::Stop() {
    ++m_plan;
    m_stopped.store(true);
    m_producer.RequestStop();
}

void iPhotoTrashCleaner::Clear() {
    ++m_plan;
    m_producer.Clear();
}

void iPhotoTrashCleaner::Wait() {
    m_producer.Wait();
}

std::vector<iPhotoTrashCleaner::Result> iPhotoTrashCleaner::GetResults() {
    return m_producer.TakeResults();
}

bool iPhotoTrashCleaner::IsWorking() const {
    return m_producer.IsWorking();
}

void iPhotoTrashCleaner::SetCommitObserver(CommitObserver observer) {
    boost::lock_guard<boost::mutex> lock(m_settingsLock);
    m_commitObserver = std::move(observer);
}

void iPhotoTrashCleaner::CloseDatabases() {
    if (m_libraryDb.isValid()) {
        m_libraryDb.close();
        m_libraryDb = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_libraryConnection);
    }
    if (m_proxiesDb.isValid()) {
        m_proxiesDb.close();
        m_proxiesDb = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_proxiesConnection);
    }
    // The next task opens them anew, with the library Clean() names then.
    m_databasesOpened.store(false);
}

void iPhotoTrashCleaner::DoFail() {
    // The whole plan goes, as after Stop().
    ++m_plan;
    m_stopped.store(true);
    m_producer.RequestStop();
}

void iPhotoTrashCleaner::DoSleep() const {
    const unsigned int interval = m_taskInterval.load();
    if (interval > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(interval));
    }
}

bool iPhotoTrashCleaner::DoOpen(QSqlDatabase* db, const QString& connection, const QString& file,
                                const char* failure) {
    *db = QSqlDatabase::addDatabase(driverName, connection);
    std::string bytes;
    struct stat st {};
    if (!Platform::EncodePath(file, &bytes) || ::lstat(bytes.c_str(), &st) != 0) {
        LOG(ERROR) << failure << ": there is no " << Text(file);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        LOG(ERROR) << failure << ": " << Text(file) << " is not a regular file";
        return false;
    }
    db->setConnectOptions(readWriteOptions);
    db->setDatabaseName(QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded) +
                        QStringLiteral("?mode=rw"));
    if (!db->open()) {
        LOG(ERROR) << failure << ": " << Text(file) << ": " << Text(ErrorText(db->lastError()));
        return false;
    }
    QSqlQuery probe(*db);
    if (!probe.exec(probeQuery) || !probe.next()) {
        LOG(ERROR) << failure << ": " << Text(file)
                   << " is not a database: " << Text(ErrorText(probe.lastError()));
        return false;
    }
    return true;
}

bool iPhotoTrashCleaner::DoOpenDatabases() {
    if (m_databasesOpened.load()) {
        return m_libraryDb.isOpen() && m_proxiesDb.isOpen();
    }
    // A run stopped before its thread ended leaves its connections.
    CloseDatabases();
    QString library;
    {
        boost::lock_guard<boost::mutex> lock(m_settingsLock);
        library = m_libraryPath;
    }
    const QString run = QString::number(++runCounter);
    m_libraryConnection = libraryConnectionName + QLatin1Char('#') + run;
    m_proxiesConnection = proxiesConnectionName + QLatin1Char('#') + run;
    m_databasesOpened.store(true);
    // Every path is formed below the library's real path: the removal server
    // then meets no symbolic link on the way to the library.
    m_runLibraryPath = QFileInfo(library).canonicalFilePath();
    const QString base = m_runLibraryPath.isEmpty() ? library : m_runLibraryPath;
    return DoOpen(&m_libraryDb, m_libraryConnection, base + QLatin1Char('/') + libraryDatabase,
                  "Can't open the library database") &&
           DoOpen(&m_proxiesDb, m_proxiesConnection, base + QLatin1Char('/') + proxiesDatabase,
                  "Can't open the image proxies database");
}

iPhotoTrashCleaner::Result iPhotoTrashCleaner::DoRemove(int modelId) {
    if (!DoOpenDatabases()) {
        DoFail();
        return {};
    }
    if (modelId < 0) {
        return {};
    }
    QString problem;
    if (PhotoLibrary::IsApplicationRunning(&problem)) {
        LOG(ERROR) << "Not removing images from the photo library while the photo application "
                      "may run: "
                   << Text(problem);
        DoFail();
        return {};
    }

    Image image(modelId);
    if (!m_libraryDb.transaction()) {
        LOG(ERROR) << "Can't begin a transaction on the library database: "
                   << Text(ErrorText(m_libraryDb.lastError()));
        return {};
    }
    if (!m_proxiesDb.transaction()) {
        LOG(ERROR) << "Can't begin a transaction on the image proxies database: "
                   << Text(ErrorText(m_proxiesDb.lastError()));
        m_libraryDb.rollback();
        return {};
    }
    if (!DoReadImage(&image) || !DoChangeDatabases(image)) {
        m_proxiesDb.rollback();
        m_libraryDb.rollback();
        return {};
    }
    if (!m_libraryDb.commit()) {
        LOG(ERROR) << "Can't commit the removal of the image " << modelId
                   << " to the library database: " << Text(ErrorText(m_libraryDb.lastError()));
        m_proxiesDb.rollback();
        m_libraryDb.rollback();
        return {};
    }
    if (!m_proxiesDb.commit()) {
        // The library no longer knows the image; its files stay, unknown to
        // it, rather than be removed while its proxy entries still name them.
        LOG(ERROR) << "Can't commit the removal of the image " << modelId
                   << " to the image proxies database (its files are kept): "
                   << Text(ErrorText(m_proxiesDb.lastError()));
        m_proxiesDb.rollback();
        return {};
    }

    CommitObserver observer;
    {
        boost::lock_guard<boost::mutex> lock(m_settingsLock);
        observer = m_commitObserver;
    }
    if (observer) {
        observer(modelId);
    }
    Result result;
    result.id = modelId;
    result.masterRemoved = image.allInTrash && !image.keptFiles.contains(image.master);
    result.complete = image.files.Remove(m_context->GetName());
    return result;
}

bool iPhotoTrashCleaner::DoReadImage(Image* image) {
    const QString masters = m_runLibraryPath + QStringLiteral("/Masters");
    const QString previews = m_runLibraryPath + QStringLiteral("/Previews");
    const QString thumbnails = m_runLibraryPath + QStringLiteral("/Thumbnails");

    QSqlQuery master(m_libraryDb);
    master.setForwardOnly(true);
    if (!master.prepare(masterQuery)) {
        LOG(ERROR) << "Can't select a master image from the database";
        return false;
    }
    master.bindValue(QStringLiteral(":modelId"), image->id);
    if (!master.exec()) {
        LOG(ERROR) << "Can't select a master image from the database";
        return false;
    }
    if (!master.next()) {
        LOG(ERROR) << "No master image in the database: " << image->id;
        return false;
    }
    const QString imagePath = master.value(0).toString();
    master.finish();
    bool hostile = false;
    image->master = iPhotoImageFiles::InsideFolder(masters, imagePath, &hostile);
    if (image->master.isEmpty()) {
        LOG(ERROR) << "Not removing the image " << image->id
                   << (hostile ? ": its path leaves the Masters folder: " : ": it has no path: ")
                   << Text(imagePath);
        return false;
    }
    qDebug() << "Master image path:" << image->master;

    QSqlQuery versions(m_libraryDb);
    versions.setForwardOnly(true);
    if (!versions.prepare(versionsQuery)) {
        LOG(ERROR) << "Can't select an image version entry from the database";
        return false;
    }
    versions.bindValue(QStringLiteral(":masterId"), image->id);
    if (!versions.exec()) {
        LOG(ERROR) << "Can't select an image version entry from the database";
        return false;
    }
    int versionCount = 0;
    while (versions.next()) {
        ++versionCount;
        (versions.value(1).toInt() != 0 ? image->trashedVersions : image->keptVersions)
            << versions.value(0).toString();
    }
    if (versions.lastError().type() != QSqlError::NoError) {
        LOG(ERROR) << "Can't select an image version entry from the database";
        return false;
    }
    versions.finish();
    if (image->trashedVersions.isEmpty()) {
        LOG(ERROR) << "Not removing the image " << image->id
                   << ": none of its versions is in the trash";
        return false;
    }
    // The master goes only with its last version: the others still show it.
    image->allInTrash = image->trashedVersions.size() == versionCount;
    if (!DoReadKeptFiles(image, imagePath)) {
        return false;
    }
    if (image->allInTrash && !image->keptFiles.contains(image->master) &&
        !image->files.Add(iPhotoImageFiles::MASTER, image->master)) {
        return false;
    }

    for (const QString& uuid : image->trashedVersions) {
        qDebug() << "----" << uuid << "----";
        QSqlQuery proxies(m_proxiesDb);
        proxies.setForwardOnly(true);
        if (!proxies.prepare(proxiesQuery)) {
            LOG(ERROR) << "Can't select an image proxy entry from the database";
            return false;
        }
        proxies.bindValue(QStringLiteral(":versionUuid"), uuid);
        if (!proxies.exec()) {
            LOG(ERROR) << "Can't select an image proxy entry from the database";
            return false;
        }
        while (proxies.next()) {
            const QString columns[3] = {proxies.value(0).toString(), proxies.value(1).toString(),
                                        proxies.value(2).toString()};
            const QString paths[3] = {
                iPhotoImageFiles::InsideFolder(previews, columns[0], &hostile),
                iPhotoImageFiles::InsideFolder(thumbnails, columns[1], &hostile),
                iPhotoImageFiles::InsideFolder(thumbnails, columns[2], &hostile)};
            if (hostile) {
                LOG(ERROR) << "Not removing the image " << image->id
                           << ": a proxy path of its version " << Text(uuid)
                           << " leaves its folder: " << Text(columns[0]) << "; " << Text(columns[1])
                           << "; " << Text(columns[2]);
                return false;
            }
            const iPhotoImageFiles::Kind kinds[3] = {iPhotoImageFiles::PREVIEW,
                                                     iPhotoImageFiles::THUMBNAIL,
                                                     iPhotoImageFiles::MINI_THUMBNAIL};
            for (int i = 0; i < 3; ++i) {
                if (!paths[i].isEmpty() && !image->keptFiles.contains(paths[i]) &&
                    !image->files.Add(kinds[i], paths[i])) {
                    return false;
                }
            }
            // The thumbnail's own folder, never the Thumbnails folder itself.
            const QString folder = QFileInfo(paths[1]).path();
            if (!paths[1].isEmpty() && folder != thumbnails &&
                !image->thumbnailFolders.contains(folder)) {
                image->thumbnailFolders << folder;
            }
        }
        if (proxies.lastError().type() != QSqlError::NoError) {
            LOG(ERROR) << "Can't select an image proxy entry from the database";
            return false;
        }
    }
    for (const QString& folder : image->thumbnailFolders) {
        if (!image->files.Add(iPhotoImageFiles::THUMBNAIL_FOLDER, folder)) {
            return false;
        }
    }
    return true;
}

bool iPhotoTrashCleaner::DoReadKeptFiles(Image* image, const QString& imagePath) {
    // Another image's entry with the same master file.
    QSqlQuery sharing(m_libraryDb);
    sharing.setForwardOnly(true);
    if (!sharing.prepare(sharedMasterQuery)) {
        LOG(ERROR) << "Can't select a master image from the database";
        return false;
    }
    sharing.bindValue(QStringLiteral(":imagePath"), imagePath);
    sharing.bindValue(QStringLiteral(":modelId"), image->id);
    if (!sharing.exec() || !sharing.next()) {
        LOG(ERROR) << "Can't select a master image from the database";
        return false;
    }
    if (sharing.value(0).toInt() > 0) {
        LOG(WARNING) << "The master image file of the image " << image->id
                     << " is kept: another image names it too: " << Text(image->master);
        image->keptFiles.insert(image->master);
    }
    sharing.finish();

    // The previews of the versions that stay.
    const QString previews = m_runLibraryPath + QStringLiteral("/Previews");
    const QString thumbnails = m_runLibraryPath + QStringLiteral("/Thumbnails");
    for (const QString& uuid : image->keptVersions) {
        QSqlQuery proxies(m_proxiesDb);
        proxies.setForwardOnly(true);
        if (!proxies.prepare(proxiesQuery)) {
            LOG(ERROR) << "Can't select an image proxy entry from the database";
            return false;
        }
        proxies.bindValue(QStringLiteral(":versionUuid"), uuid);
        if (!proxies.exec()) {
            LOG(ERROR) << "Can't select an image proxy entry from the database";
            return false;
        }
        while (proxies.next()) {
            bool hostile = false;
            image->keptFiles << iPhotoImageFiles::InsideFolder(
                                    previews, proxies.value(0).toString(), &hostile)
                             << iPhotoImageFiles::InsideFolder(
                                    thumbnails, proxies.value(1).toString(), &hostile)
                             << iPhotoImageFiles::InsideFolder(
                                    thumbnails, proxies.value(2).toString(), &hostile);
        }
        if (proxies.lastError().type() != QSqlError::NoError) {
            LOG(ERROR) << "Can't select an image proxy entry from the database";
            return false;
        }
    }
    return true;
}

bool iPhotoTrashCleaner::DoChangeDatabases(const Image& image) {
    QSqlQuery query(m_libraryDb);
    if (image.allInTrash) {
        if (!query.prepare(deleteMaster)) {
            LOG(ERROR) << "Can't delete a master image entry from the database: "
                       << Text(ErrorText(query.lastError()));
            return false;
        }
        query.bindValue(QStringLiteral(":modelId"), image.id);
        if (!query.exec()) {
            LOG(ERROR) << "Can't delete a master image entry from the database: "
                       << Text(ErrorText(query.lastError()));
            return false;
        }
        if (!query.prepare(deleteVersions)) {
            LOG(ERROR) << "Can't delete an image version entry from the database: " << image.id;
            return false;
        }
        query.bindValue(QStringLiteral(":masterId"), image.id);
        if (!query.exec()) {
            LOG(ERROR) << "Can't delete an image version entry from the database: " << image.id;
            return false;
        }
    } else {
        for (const QString& uuid : image.trashedVersions) {
            if (!query.prepare(deleteVersion)) {
                LOG(ERROR) << "Can't delete an image version entry from the database: " << image.id;
                return false;
            }
            query.bindValue(QStringLiteral(":masterId"), image.id);
            query.bindValue(QStringLiteral(":uuid"), uuid);
            if (!query.exec()) {
                LOG(ERROR) << "Can't delete an image version entry from the database: " << image.id;
                return false;
            }
        }
    }
    query.finish();

    QSqlQuery proxies(m_proxiesDb);
    for (const QString& uuid : image.trashedVersions) {
        if (!proxies.prepare(deleteProxies)) {
            LOG(ERROR) << "Can't delete an image proxy entry from the database: " << Text(uuid);
            return false;
        }
        proxies.bindValue(QStringLiteral(":versionUuid"), uuid);
        if (!proxies.exec()) {
            LOG(ERROR) << "Can't delete an image proxy entry from the database: " << Text(uuid);
            return false;
        }
    }
    proxies.finish();
    return true;
}

}  // namespace Varnex::Cleaner::Details
