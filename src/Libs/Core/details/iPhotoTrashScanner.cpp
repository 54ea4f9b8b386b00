#include "Core/details/iPhotoTrashScanner.h"

#include <glog/logging.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUrl>
#include <QVariant>
#include <algorithm>
#include <chrono>
#include <thread>

#include "Core/details/iPhotoImageFiles.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString driverName = QStringLiteral("QSQLITE");
const QString libraryConnectionName = QStringLiteral("iPhotoLibraryScanner");
const QString proxiesConnectionName = QStringLiteral("iPhotoImageProxiesScanner");
// Never SQLITE_OPEN_CREATE: a missing file is not made.
const QString readOnlyOptions = QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI");
const QString libraryDatabase = QStringLiteral("Database/Library.apdb");
const QString proxiesDatabase = QStringLiteral("Database/ImageProxies.apdb");

const QString deletedImagesQuery = QStringLiteral(
    "SELECT modelId, fileName, imagePath FROM RKMaster WHERE EXISTS (SELECT * FROM RKVersion "
    "WHERE RKVersion.masterId = RKMaster.modelId AND isInTrash);");
const QString versionsQuery = QStringLiteral(
    "SELECT name, uuid, versionNumber FROM RKVersion WHERE masterId = :masterId AND isInTrash "
    "AND showInLibrary;");
const QString proxiesQuery = QStringLiteral(
    "SELECT fullSizePreviewPath, thumbnailPath, miniThumbnailPath FROM RKImageProxyState WHERE "
    "versionUuid = :versionUuid;");
// Master files more than one image names: emptying one image's would take
// the file from the others.
const QString sharedMastersQuery = QStringLiteral(
    "SELECT imagePath FROM RKMaster GROUP BY imagePath HAVING count(*) > 1;");
// Deleted albums without a name are not shown, yet the trash holds them.
const QString unnamedAlbumsQuery =
    QStringLiteral("SELECT count(*) FROM RKAlbum WHERE name = '' AND isInTrash;");
const QString deletedAlbumsQuery = QStringLiteral(
    "SELECT name, folderUuid, albumType, albumSubclass FROM RKAlbum WHERE name <> '' AND "
    "isInTrash;");
const QString deletedFoldersQuery = QStringLiteral(
    "SELECT name, uuid, parentFolderUuid FROM RKFolder WHERE name <> '' AND isInTrash;");
// Reads the schema: a file that is not a database fails here, not later.
const QString probeQuery = QStringLiteral("SELECT count(*) FROM sqlite_master;");

const QStringList topLevelKeys = {QStringLiteral("TopLevelAlbums"),
                                  QStringLiteral("TopLevelSlideshows"),
                                  QStringLiteral("TopLevelKeepsakes")};

// Numbers the scans of every scanner: no two share a connection name.
std::atomic<unsigned long long> scanCounter{0};

struct AlbumRecord {
    QString name;
    QString folderUuid;
    QString parentUuid;  // empty until matched with a folder
    int albumType = 0;
    int albumSubclass = 0;
    int resultType = iPhotoTrashScanner::NONE;
};

int ResultTypeOf(int albumType, int albumSubclass) {
    if (albumType == 1) {
        switch (albumSubclass) {
            case 1:
                return iPhotoTrashScanner::FOLDER;
            case 2:
                return iPhotoTrashScanner::SMART_ALBUM;
            case 3:
                return iPhotoTrashScanner::ALBUM;
            default:
                return iPhotoTrashScanner::NONE;
        }
    }
    if (albumType == 8) {
        return iPhotoTrashScanner::SLIDESHOW;
    }
    if (albumType == 9) {
        return iPhotoTrashScanner::KEEPSAKE;
    }
    return iPhotoTrashScanner::NONE;
}

// `relative` (a path the database gives) inside `folder` (see iPhotoImageFiles).
QString InsideFolder(const QString& folder, const QString& relative, bool* hostile) {
    return iPhotoImageFiles::InsideFolder(folder, relative, hostile);
}

bool LStat(const QString& path, struct stat* st) {
    std::string bytes;
    return !path.isEmpty() && Platform::EncodePath(path, &bytes) && ::lstat(bytes.c_str(), st) == 0;
}

// Whether every folder from `root` down to the one holding `root`/`rel` is
// a real folder, not a symbolic link to one (looked up once per folder).
bool IsReachedWithoutLinks(const QString& root, const QString& rel, QHash<QString, bool>* known) {
    QString folder = root;
    const QStringList parts = rel.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (int i = 0; i + 1 < parts.size(); ++i) {
        folder += QLatin1Char('/') + parts.at(i);
        auto found = known->constFind(folder);
        if (found == known->constEnd()) {
            struct stat st {};
            found = known->insert(folder, LStat(folder, &st) && S_ISDIR(st.st_mode));
        }
        if (!found.value()) {
            return false;
        }
    }
    return true;
}

bool IsSymbolicLink(const QString& path) {
    struct stat st {};
    return LStat(path, &st) && S_ISLNK(st.st_mode);
}

bool IsRegularFile(const QString& path) {
    struct stat st {};
    return LStat(path, &st) && S_ISREG(st.st_mode);
}

// The bytes of the regular file at path; 0 for anything else (a link is
// never followed).
long long FileSize(const QString& path) {
    struct stat st {};
    if (!LStat(path, &st) || !S_ISREG(st.st_mode)) {
        return 0;
    }
    return static_cast<long long>(st.st_size);
}

// Whether the database's header says it is in write-ahead-log mode.
bool IsInWalMode(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray header = file.read(20);
    return header.size() == 20 && header.startsWith("SQLite format 3") && header[18] == 2 &&
           header[19] == 2;
}

QString ErrorText(const QSqlError& error) {
    return error.text().isEmpty() ? QStringLiteral("unknown error") : error.text();
}

}  // namespace

iPhotoTrashScanner::Result iPhotoTrashScanner::Task::operator()() const {
    m_scanner->DoSleep();
    if (m_result.type == NONE && !m_scanner->m_databasesOpened.load()) {
        return m_scanner->DoStart();
    }
    if (m_result.type >= ALBUM && m_result.type <= KEEPSAKE && m_result.id == -1) {
        return m_result;
    }
    if (m_result.version >= 0) {
        return m_result;
    }
    if (m_result.type == IMAGE && m_result.id >= 0) {
        return m_scanner->DoImage(m_result);
    }
    return {};
}

iPhotoTrashScanner::iPhotoTrashScanner(unsigned int taskInterval)
    : m_taskInterval(taskInterval),
      m_producer([this] { CloseDatabases(); },
                 [](const Result& result) { return result.type != NONE && !result.name.isEmpty(); }) {}

iPhotoTrashScanner::~iPhotoTrashScanner() {
    m_producer.RequestStop();
    m_producer.Wait();
}

void iPhotoTrashScanner::Scan(const QString& libraryPath, bool readCopy) {
    {
        boost::lock_guard<boost::mutex> lock(m_settingsLock);
        m_libraryPath = libraryPath;
        m_readCopy = readCopy;
        m_problem.clear();
    }
    m_failed.store(false);
    m_skipped.store(0);
    m_databasesOpened.store(false);
    m_producer.AddTask(Task(*this, Result{}));
    m_producer.Start();
}

void iPhotoTrashScanner::Stop() {
    if (m_producer.IsWorking()) {
        m_producer.RequestStop();
    }
}

void iPhotoTrashScanner::Clear() {
    m_producer.Clear();
}

void iPhotoTrashScanner::Wait() {
    m_producer.Wait();
}

std::vector<iPhotoTrashScanner::Result> iPhotoTrashScanner::GetResults() {
    return m_producer.TakeResults();
}

bool iPhotoTrashScanner::IsWorking() const {
    return m_producer.IsWorking();
}

QString iPhotoTrashScanner::GetProblem() const {
    boost::lock_guard<boost::mutex> lock(m_settingsLock);
    return m_problem;
}

void iPhotoTrashScanner::CloseDatabases() {
    // The statements go before their connections.
    m_versionsQuery.reset();
    m_proxiesQuery.reset();
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
    m_copyFolder.reset();
}

void iPhotoTrashScanner::Fail(const QString& problem) {
    LOG(ERROR) << problem.toStdString();
    {
        boost::lock_guard<boost::mutex> lock(m_settingsLock);
        if (m_problem.isEmpty()) {
            m_problem = problem;
        }
    }
    m_failed.store(true);
    m_producer.RequestStop();
}

void iPhotoTrashScanner::DoSleep() const {
    const unsigned int interval = m_taskInterval.load();
    if (interval > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(interval));
    }
}

QString iPhotoTrashScanner::MastersPath() const {
    return m_scanLibraryPath + QStringLiteral("/Masters");
}

QString iPhotoTrashScanner::PreviewsPath() const {
    return m_scanLibraryPath + QStringLiteral("/Previews");
}

QString iPhotoTrashScanner::ThumbnailsPath() const {
    return m_scanLibraryPath + QStringLiteral("/Thumbnails");
}

bool iPhotoTrashScanner::DoCopyDatabase(const QString& file, QString* copy) {
    if (!m_copyFolder) {
        m_copyFolder = std::make_unique<QTemporaryDir>();
        if (!m_copyFolder->isValid()) {
            Fail(QStringLiteral("Can't make a folder for copies of the photo library databases: ") +
                 m_copyFolder->errorString());
            return false;
        }
    }
    *copy = m_copyFolder->filePath(QFileInfo(file).fileName());
    // The database first, then its log and the log's index: a log frame
    // written meanwhile is either whole (and checksummed) or ignored.
    for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        const QString from = file + suffix;
        if (suffix.isEmpty() || IsRegularFile(from)) {
            if (!QFile::copy(from, *copy + suffix)) {
                Fail(QStringLiteral("Can't copy the photo library database ") + from);
                return false;
            }
        }
    }
    return true;
}

iPhotoTrashScanner::Opened iPhotoTrashScanner::DoOpen(QSqlDatabase* db, const QString& connection,
                                                      const QString& file, bool readCopy) {
    struct stat st {};
    if (!LStat(file, &st)) {
        return Opened::MISSING;
    }
    if (!S_ISREG(st.st_mode)) {
        Fail(QStringLiteral("The photo library database is not a regular file: ") + file);
        return Opened::FAILED;
    }
    QString target = file;
    QString query = QStringLiteral("?mode=ro");
    if (readCopy) {
        if (!DoCopyDatabase(file, &target)) {
            return Opened::FAILED;
        }
    } else if (IsInWalMode(file)) {
        // A read-only connection makes a missing -wal or -shm file beside
        // the database. With neither there, nothing is in the log: the file
        // is read as it stands, without locks or log.
        const bool hasWal = IsRegularFile(file + QStringLiteral("-wal"));
        const bool hasShm = IsRegularFile(file + QStringLiteral("-shm"));
        if (!hasWal && !hasShm) {
            query += QStringLiteral("&immutable=1");
        } else if (!hasWal || !hasShm) {
            Fail(QStringLiteral("The photo library database is being written (only one of its "
                                "-wal and -shm files is there); read a copy: ") +
                 file);
            return Opened::FAILED;
        }
    }
    *db = QSqlDatabase::addDatabase(driverName, connection);
    db->setConnectOptions(readOnlyOptions);
    db->setDatabaseName(QUrl::fromLocalFile(target).toString(QUrl::FullyEncoded) + query);
    if (!db->open()) {
        Fail(QStringLiteral("Can't open the photo library database ") + file + QStringLiteral(": ") +
             ErrorText(db->lastError()));
        return Opened::FAILED;
    }
    QSqlQuery probe(*db);
    if (!probe.exec(probeQuery) || !probe.next()) {
        Fail(QStringLiteral("Can't read the photo library database ") + file + QStringLiteral(": ") +
             ErrorText(probe.lastError()));
        return Opened::FAILED;
    }
    return Opened::YES;
}

iPhotoTrashScanner::Result iPhotoTrashScanner::DoStart() {
    // A scan stopped before its thread ended leaves its connections.
    CloseDatabases();
    bool readCopy = false;
    {
        boost::lock_guard<boost::mutex> lock(m_settingsLock);
        m_scanLibraryPath = QDir::cleanPath(QFileInfo(m_libraryPath).absoluteFilePath());
        readCopy = m_readCopy;
    }
    const QString scanNumber = QString::number(++scanCounter);
    m_libraryConnection = libraryConnectionName + QLatin1Char('#') + scanNumber;
    m_proxiesConnection = proxiesConnectionName + QLatin1Char('#') + scanNumber;
    m_databasesOpened.store(true);

    const QString libraryFile = m_scanLibraryPath + QLatin1Char('/') + libraryDatabase;
    switch (DoOpen(&m_libraryDb, m_libraryConnection, libraryFile, readCopy)) {
        case Opened::YES:
            break;
        case Opened::MISSING:
            Fail(QStringLiteral("The photo library has no database: ") + libraryFile);
            return {};
        case Opened::FAILED:
            return {};
    }

    {
        QSqlQuery images(m_libraryDb);
        images.setForwardOnly(true);
        if (!images.exec(deletedImagesQuery)) {
            Fail(QStringLiteral("CAN'T GET DELETED IMAGES: ") + ErrorText(images.lastError()));
            return {};
        }
        QSet<QString> shared;
        {
            QSqlQuery sharedMasters(m_libraryDb);
            sharedMasters.setForwardOnly(true);
            if (!sharedMasters.exec(sharedMastersQuery)) {
                Fail(QStringLiteral("CAN'T GET DELETED IMAGES: ") + ErrorText(sharedMasters.lastError()));
                return {};
            }
            while (sharedMasters.next()) {
                shared.insert(QDir::cleanPath(sharedMasters.value(0).toString()));
            }
        }
        const QString masters = MastersPath();
        QHash<QString, bool> realFolders;
        while (images.next()) {
            const int id = images.value(0).toInt();
            const QString imagePath = images.value(2).toString();
            bool hostile = false;
            const QString path = InsideFolder(masters, imagePath, &hostile);
            const char* why = nullptr;
            if (path.isEmpty()) {
                why = hostile ? ": its path leaves the Masters folder: " : ": it has no path: ";
            } else if (images.value(1).toString().isEmpty()) {
                why = ": it has no name: ";
            } else if (shared.contains(QDir::cleanPath(imagePath))) {
                why = ": another image names its file too: ";
            } else if (!IsReachedWithoutLinks(m_scanLibraryPath, QStringLiteral("Masters/") + imagePath,
                                              &realFolders)) {
                why = ": a symbolic link is on the way to its file: ";
            } else if (IsSymbolicLink(path)) {
                // The application would let the link go, and never the file
                // it names: what it let go could not be told.
                why = ": its file is a symbolic link: ";
            }
            if (why) {
                // Not shown, yet in the trash: the trash is then not emptied whole.
                LOG(WARNING) << "Skipping the deleted image " << id << why << imagePath.toStdString();
                m_skipped.fetch_add(1);
                continue;
            }
            Result result;
            result.type = IMAGE;
            result.id = id;
            result.name = images.value(1).toString();
            result.path = path;
            m_producer.AddTask(Task(*this, result));
        }
        if (images.lastError().type() != QSqlError::NoError) {
            Fail(QStringLiteral("CAN'T GET DELETED IMAGES: ") + ErrorText(images.lastError()));
            return {};
        }
    }

    const QString proxiesFile = m_scanLibraryPath + QLatin1Char('/') + proxiesDatabase;
    switch (DoOpen(&m_proxiesDb, m_proxiesConnection, proxiesFile, readCopy)) {
        case Opened::YES:
            break;
        case Opened::MISSING:
            LOG(WARNING) << "The photo library has no image proxies database (" << proxiesFile.toStdString()
                         << "): its deleted images come without previews, its albums and folders are "
                            "not read";
            return {};
        case Opened::FAILED:
            return {};
    }
    DoAddAlbumsAndFolders();
    return {};
}

void iPhotoTrashScanner::DoAddAlbumsAndFolders() {
    std::vector<AlbumRecord> records;
    {
        QSqlQuery albums(m_libraryDb);
        albums.setForwardOnly(true);
        if (!albums.exec(deletedAlbumsQuery)) {
            Fail(QStringLiteral("CAN'T GET DELETED ALBUMS: ") + ErrorText(albums.lastError()));
            return;
        }
        while (albums.next()) {
            AlbumRecord record;
            record.name = albums.value(0).toString();
            record.folderUuid = albums.value(1).toString();
            record.albumType = albums.value(2).toInt();
            record.albumSubclass = albums.value(3).toInt();
            record.resultType = ResultTypeOf(record.albumType, record.albumSubclass);
            records.push_back(record);
        }
        if (albums.lastError().type() != QSqlError::NoError) {
            Fail(QStringLiteral("CAN'T GET DELETED ALBUMS: ") + ErrorText(albums.lastError()));
            return;
        }
    }
    {
        QSqlQuery folders(m_libraryDb);
        folders.setForwardOnly(true);
        if (!folders.exec(deletedFoldersQuery)) {
            Fail(QStringLiteral("CAN'T GET DELETED FOLDERS: ") + ErrorText(folders.lastError()));
            return;
        }
        while (folders.next()) {
            const QString name = folders.value(0).toString();
            const QString uuid = folders.value(1).toString();
            auto match = std::find_if(records.begin(), records.end(), [&](const AlbumRecord& r) {
                return r.name == name && r.folderUuid == uuid;
            });
            if (match != records.end() && match->resultType != NONE && !match->name.isEmpty()) {
                match->parentUuid = folders.value(2).toString();
                match->resultType = FOLDER;
            } else {
                LOG(ERROR) << "No album for the folder: " << name.toStdString()
                           << "; UUID: " << uuid.toStdString();
            }
        }
        if (folders.lastError().type() != QSqlError::NoError) {
            Fail(QStringLiteral("CAN'T GET DELETED FOLDERS: ") + ErrorText(folders.lastError()));
            return;
        }
    }

    {
        QSqlQuery unnamed(m_libraryDb);
        if (unnamed.exec(unnamedAlbumsQuery) && unnamed.next() && unnamed.value(0).toInt() > 0) {
            LOG(WARNING) << "Deleted iPhoto albums without a name: " << unnamed.value(0).toInt();
            m_skipped.fetch_add(unnamed.value(0).toInt());
        }
    }
    // Albums of no type this scan knows are not shown.
    const auto unknown = std::remove_if(records.begin(), records.end(), [](const AlbumRecord& r) {
        return r.resultType == NONE;
    });
    if (unknown != records.end()) {
        LOG(WARNING) << "Deleted iPhoto albums of an unknown type: " << (records.end() - unknown);
        m_skipped.fetch_add(static_cast<int>(records.end() - unknown));
        records.erase(unknown, records.end());
    }

    // Pass over the records until a pass places none: a record goes out when
    // it is at the top or its folder went out before it.
    std::vector<Result> produced;
    QHash<QString, QString> folderPaths;  // folder uuid -> its name path
    bool placed = true;
    while (placed && !records.empty()) {
        placed = false;
        for (auto it = records.begin(); it != records.end();) {
            const QString& key = it->parentUuid.isEmpty() ? it->folderUuid : it->parentUuid;
            QString path;
            if (topLevelKeys.contains(key)) {
                path = it->name;
            } else {
                const auto folder = folderPaths.constFind(key);
                if (folder == folderPaths.constEnd()) {
                    ++it;
                    continue;
                }
                path = folder.value() + QLatin1Char('/') + it->name;
            }
            Result result;
            result.type = it->resultType;
            result.name = it->name;
            result.path = path;
            result.uuid = it->folderUuid;
            if (result.type == FOLDER && !folderPaths.contains(result.uuid)) {
                folderPaths.insert(result.uuid, path);
            }
            produced.push_back(result);
            it = records.erase(it);
            placed = true;
        }
    }
    if (!records.empty()) {
        LOG(ERROR) << "Not reachable iPhoto albums/folders: " << records.size();
        m_skipped.fetch_add(static_cast<int>(records.size()));
    } else {
        LOG(INFO) << "Not reachable iPhoto albums/folders: 0";
    }
    for (const Result& result : produced) {
        m_producer.AddTask(Task(*this, result));
    }
}

iPhotoTrashScanner::Result iPhotoTrashScanner::DoImage(Result result) {
    // Prepared once a scan: most of a scan is these two statements.
    if (!m_versionsQuery) {
        m_versionsQuery = std::make_unique<QSqlQuery>(m_libraryDb);
        m_versionsQuery->setForwardOnly(true);
        if (!m_versionsQuery->prepare(versionsQuery)) {
            Fail(QStringLiteral("CAN'T GET VERSIONS OF DELETED IMAGES: ") +
                 ErrorText(m_versionsQuery->lastError()));
            m_versionsQuery.reset();
            return {};
        }
    }
    if (!m_proxiesQuery && m_proxiesDb.isOpen()) {
        m_proxiesQuery = std::make_unique<QSqlQuery>(m_proxiesDb);
        m_proxiesQuery->setForwardOnly(true);
        if (!m_proxiesQuery->prepare(proxiesQuery)) {
            Fail(QStringLiteral("CAN'T GET IMAGE PROXIES: ") + ErrorText(m_proxiesQuery->lastError()));
            m_proxiesQuery.reset();
            return {};
        }
    }
    QSqlQuery& versions = *m_versionsQuery;
    versions.bindValue(QStringLiteral(":masterId"), result.id);
    if (!versions.exec()) {
        Fail(QStringLiteral("CAN'T GET VERSIONS OF DELETED IMAGES: ") + ErrorText(versions.lastError()));
        return {};
    }
    const QString previews = PreviewsPath();
    const QString thumbnails = ThumbnailsPath();
    const Result image = result;
    bool first = true;
    while (versions.next()) {
        const QString uuid = versions.value(1).toString();
        const int versionNumber = versions.value(2).toInt();
        QString preview;
        QString thumbnail;
        QString miniThumbnail;
        if (m_proxiesQuery) {
            QSqlQuery& proxies = *m_proxiesQuery;
            proxies.bindValue(QStringLiteral(":versionUuid"), uuid);
            if (!proxies.exec()) {
                Fail(QStringLiteral("CAN'T GET IMAGE PROXIES: ") + ErrorText(proxies.lastError()));
                return {};
            }
            if (proxies.next()) {
                bool hostile = false;
                preview = InsideFolder(previews, proxies.value(0).toString(), &hostile);
                thumbnail = InsideFolder(thumbnails, proxies.value(1).toString(), &hostile);
                miniThumbnail = InsideFolder(thumbnails, proxies.value(2).toString(), &hostile);
                if (hostile) {
                    LOG(WARNING) << "Skipping the image proxies of the version " << uuid.toStdString()
                                 << " of the deleted image " << result.id
                                 << ": a path leaves its folder: "
                                 << proxies.value(0).toString().toStdString() << "; "
                                 << proxies.value(1).toString().toStdString() << "; "
                                 << proxies.value(2).toString().toStdString();
                    preview.clear();
                    thumbnail.clear();
                    miniThumbnail.clear();
                }
            }
        }
        const long long proxiesSize = FileSize(preview) + FileSize(thumbnail) + FileSize(miniThumbnail);
        if (first) {
            first = false;
            result.version = versionNumber;
            result.fullSizePreviewPath = preview;
            result.thumbnailPath = thumbnail;
            result.miniThumbnailPath = miniThumbnail;
            result.size = FileSize(result.path) + proxiesSize;
        } else {
            Result extra = image;
            extra.version = versionNumber;
            extra.fullSizePreviewPath = preview;
            extra.thumbnailPath = thumbnail;
            extra.miniThumbnailPath = miniThumbnail;
            extra.size = proxiesSize;
            m_producer.AddTask(Task(*this, extra));
        }
    }
    if (versions.lastError().type() != QSqlError::NoError) {
        Fail(QStringLiteral("CAN'T GET VERSIONS OF DELETED IMAGES: ") + ErrorText(versions.lastError()));
        return {};
    }
    // Nothing of either statement is held open between images.
    versions.finish();
    if (m_proxiesQuery) {
        m_proxiesQuery->finish();
    }
    return result;
}

}  // namespace Varnex::Cleaner::Details
