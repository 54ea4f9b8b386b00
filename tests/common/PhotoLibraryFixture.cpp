#include "common/PhotoLibraryFixture.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <atomic>

namespace Varnex::Test {

namespace {

std::atomic<int> fixtureCounter{0};

const char* const librarySchema[] = {
    "CREATE TABLE RKMaster (modelId INTEGER PRIMARY KEY, uuid TEXT, fileName TEXT, imagePath TEXT)",
    "CREATE TABLE RKVersion (modelId INTEGER PRIMARY KEY, uuid TEXT, masterId INTEGER, name TEXT, "
    "versionNumber INTEGER, isInTrash INTEGER, showInLibrary INTEGER)",
    "CREATE TABLE RKAlbum (modelId INTEGER PRIMARY KEY, uuid TEXT, name TEXT, folderUuid TEXT, "
    "albumType INTEGER, albumSubclass INTEGER, isInTrash INTEGER)",
    "CREATE TABLE RKFolder (modelId INTEGER PRIMARY KEY, uuid TEXT, name TEXT, "
    "parentFolderUuid TEXT, isInTrash INTEGER)",
    "INSERT INTO RKFolder (uuid, name, parentFolderUuid, isInTrash) VALUES "
    "('TopLevelAlbums', '', '', 0), ('TopLevelSlideshows', '', '', 0), "
    "('TopLevelKeepsakes', '', '', 0)",
};

}  // namespace

PhotoLibraryFixture::PhotoLibraryFixture(const QString& root, bool wal) : m_root(root) {
    for (const char* dir : {"Database", "Masters", "Previews", "Thumbnails"}) {
        if (!QDir().mkpath(Path(QString::fromLatin1(dir)))) {
            ADD_FAILURE() << "Can't make " << Path(QString::fromLatin1(dir)).toStdString();
        }
    }
    const QString n = QString::number(++fixtureCounter);
    m_libraryConnection = QStringLiteral("PhotoLibraryFixture-library#") + n;
    m_proxiesConnection = QStringLiteral("PhotoLibraryFixture-proxies#") + n;
    Exec(QStringLiteral("PRAGMA synchronous=OFF"));
    Exec(QStringLiteral("PRAGMA synchronous=OFF"), {}, true);
    if (wal) {
        Exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        Exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
    }
    for (const char* sql : librarySchema) {
        Exec(QString::fromLatin1(sql));
    }
    Exec(QStringLiteral("CREATE TABLE RKImageProxyState (modelId INTEGER PRIMARY KEY, versionUuid TEXT, "
                        "fullSizePreviewPath TEXT, thumbnailPath TEXT, miniThumbnailPath TEXT)"),
         {}, true);
}

PhotoLibraryFixture::~PhotoLibraryFixture() {
    Close();
}

QSqlDatabase& PhotoLibraryFixture::Db(bool proxies) {
    QSqlDatabase& db = proxies ? m_proxies : m_library;
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                       proxies ? m_proxiesConnection : m_libraryConnection);
        db.setDatabaseName(proxies ? ProxiesDatabasePath() : LibraryDatabasePath());
        if (!db.open()) {
            ADD_FAILURE() << "Can't open the fixture database: " << db.lastError().text().toStdString();
        }
    }
    return db;
}

void PhotoLibraryFixture::Close() {
    for (bool proxies : {false, true}) {
        QSqlDatabase& db = proxies ? m_proxies : m_library;
        if (db.isValid()) {
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(proxies ? m_proxiesConnection : m_libraryConnection);
        }
    }
}

void PhotoLibraryFixture::Exec(const QString& sql, const QVariantList& values, bool proxies) {
    QSqlQuery query(Db(proxies));
    if (!query.prepare(sql)) {
        ADD_FAILURE() << "Can't prepare " << sql.toStdString() << ": "
                      << query.lastError().text().toStdString();
        return;
    }
    for (const QVariant& value : values) {
        query.addBindValue(value);
    }
    if (!query.exec()) {
        ADD_FAILURE() << "Can't run " << sql.toStdString() << ": " << query.lastError().text().toStdString();
    }
}

QString PhotoLibraryFixture::NewUuid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

int PhotoLibraryFixture::AddMaster(const QString& fileName, const QString& imagePath) {
    const int id = m_nextId++;
    Exec(QStringLiteral("INSERT INTO RKMaster (modelId, uuid, fileName, imagePath) VALUES (?, ?, ?, ?)"),
         {id, NewUuid(), fileName, imagePath});
    return id;
}

QString PhotoLibraryFixture::AddVersion(int masterId, const QString& name, int versionNumber,
                                        bool inTrash, bool showInLibrary) {
    const QString uuid = NewUuid();
    Exec(QStringLiteral("INSERT INTO RKVersion (uuid, masterId, name, versionNumber, isInTrash, "
                        "showInLibrary) VALUES (?, ?, ?, ?, ?, ?)"),
         {uuid, masterId, name, versionNumber, inTrash ? 1 : 0, showInLibrary ? 1 : 0});
    return uuid;
}

void PhotoLibraryFixture::AddProxy(const QString& versionUuid, const QString& preview,
                                   const QString& thumbnail, const QString& miniThumbnail) {
    Exec(QStringLiteral("INSERT INTO RKImageProxyState (versionUuid, fullSizePreviewPath, "
                        "thumbnailPath, miniThumbnailPath) VALUES (?, ?, ?, ?)"),
         {versionUuid, preview, thumbnail, miniThumbnail}, true);
}

PhotoLibraryFixture::Image PhotoLibraryFixture::AddImage(const QString& folder, const QString& fileName,
                                                         int versions, bool inTrash, bool withFiles,
                                                         int masterBytes) {
    Image image;
    image.master = folder + QLatin1Char('/') + fileName;
    image.masterId = AddMaster(fileName, image.master);
    if (withFiles) {
        MakeFile(QStringLiteral("Masters/") + image.master, masterBytes);
    }
    const QString base = QFileInfo(fileName).completeBaseName();
    for (int v = 0; v < versions; ++v) {
        const QString uuid = AddVersion(image.masterId, base, v, inTrash);
        image.versionUuids << uuid;
        const QString stem = folder + QLatin1Char('/') + base + QLatin1Char('_') + QString::number(v);
        AddProxy(uuid, stem + QStringLiteral(".jpg"), stem + QStringLiteral("_thumb.jpg"),
                 stem + QStringLiteral("_mini.jpg"));
        if (withFiles) {
            MakeFile(QStringLiteral("Previews/") + stem + QStringLiteral(".jpg"), 100);
            MakeFile(QStringLiteral("Thumbnails/") + stem + QStringLiteral("_thumb.jpg"), 10);
            MakeFile(QStringLiteral("Thumbnails/") + stem + QStringLiteral("_mini.jpg"), 1);
        }
    }
    return image;
}

void PhotoLibraryFixture::AddAlbum(const QString& name, const QString& folderUuid, int albumType,
                                   int albumSubclass, bool inTrash) {
    Exec(QStringLiteral("INSERT INTO RKAlbum (uuid, name, folderUuid, albumType, albumSubclass, "
                        "isInTrash) VALUES (?, ?, ?, ?, ?, ?)"),
         {NewUuid(), name, folderUuid, albumType, albumSubclass, inTrash ? 1 : 0});
}

QString PhotoLibraryFixture::AddFolder(const QString& name, const QString& parentUuid, bool inTrash) {
    const QString uuid = NewUuid();
    Exec(QStringLiteral("INSERT INTO RKFolder (uuid, name, parentFolderUuid, isInTrash) VALUES (?, ?, ?, ?)"),
         {uuid, name, parentUuid, inTrash ? 1 : 0});
    AddAlbum(name, uuid, 1, 1, inTrash);
    return uuid;
}

void PhotoLibraryFixture::MakeFile(const QString& rel, int bytes) {
    const QString path = Path(rel);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(bytes, 'x')) != bytes) {
        ADD_FAILURE() << "Can't write " << path.toStdString();
    }
}

}  // namespace Varnex::Test
