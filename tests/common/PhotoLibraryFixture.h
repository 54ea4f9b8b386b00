#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

namespace Varnex::Test {

// A real photo (iPhoto) library in a folder: Database/Library.apdb with
// RKMaster, RKVersion, RKAlbum and RKFolder, Database/ImageProxies.apdb with
// RKImageProxyState, and the Masters, Previews and Thumbnails folders. The
// top-level folders (TopLevelAlbums, ...) are there, not in the trash. Paths
// given to helpers are relative to the library; files are made on request.
// Failures fail the current test.
class PhotoLibraryFixture {
public:
    struct Image {
        int masterId = 0;
        QString master;          // relative to Masters
        QStringList versionUuids;
    };

    // Builds the library at `root` (created with its parents); wal: the
    // library database in write-ahead-log mode, its log kept unmerged while
    // the fixture holds it open.
    explicit PhotoLibraryFixture(const QString& root, bool wal = false);
    ~PhotoLibraryFixture();
    PhotoLibraryFixture(const PhotoLibraryFixture&) = delete;
    PhotoLibraryFixture& operator=(const PhotoLibraryFixture&) = delete;

    const QString& Root() const { return m_root; }
    QString Path(const QString& rel) const { return m_root + QLatin1Char('/') + rel; }
    QString LibraryDatabasePath() const { return Path(QStringLiteral("Database/Library.apdb")); }
    QString ProxiesDatabasePath() const { return Path(QStringLiteral("Database/ImageProxies.apdb")); }

    // A master row; imagePath is taken as given (relative to Masters).
    int AddMaster(const QString& fileName, const QString& imagePath);
    QString AddVersion(int masterId, const QString& name, int versionNumber, bool inTrash,
                       bool showInLibrary = true);
    void AddProxy(const QString& versionUuid, const QString& preview, const QString& thumbnail,
                  const QString& miniThumbnail);
    // A master at Masters/<folder>/<fileName> with `versions` versions (each
    // with a preview, thumbnail and mini thumbnail row), all in the trash or
    // none; withFiles: the master (masterBytes) and proxy files (100, 10 and
    // 1 bytes) made on disk.
    Image AddImage(const QString& folder, const QString& fileName, int versions, bool inTrash,
                   bool withFiles = true, int masterBytes = 1000);
    void AddAlbum(const QString& name, const QString& folderUuid, int albumType, int albumSubclass,
                  bool inTrash);
    // A folder row and the album row it is shown by; returns its uuid.
    QString AddFolder(const QString& name, const QString& parentUuid, bool inTrash);

    void MakeFile(const QString& rel, int bytes);
    // Runs a statement on the library (or proxies) database.
    void Exec(const QString& sql, const QVariantList& values = {}, bool proxies = false);
    // Closes the fixture's connections (a WAL log is then merged).
    void Close();

private:
    QSqlDatabase& Db(bool proxies);
    QString NewUuid();

    QString m_root;
    QString m_libraryConnection;
    QString m_proxiesConnection;
    QSqlDatabase m_library;
    QSqlDatabase m_proxies;
    int m_nextId = 1;
};

}  // namespace Varnex::Test
