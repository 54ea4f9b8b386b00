#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

namespace Varnex::Platform {

// One file the metadata query found, with the attributes the file index
// answers on a Mac (kMDItemPath, kMDItemFSSize, kMDItemLastUsedDate,
// kMDItemContentTypeTree) and what the scan saw of its identity.
struct MetadataItem {
    QString path;
    // Its length in bytes; for a package, the length of everything inside.
    long long size = 0;
    // The bytes it takes on the disk (allocated blocks; a package: all of
    // them, a file with several names inside it once).
    long long diskSize = 0;
    // When it was last opened; invalid when nobody knows.
    QDateTime lastUsed;
    // When it was created, or when its status last changed where the file
    // system keeps no creation time.
    QDateTime created;
    // Its type and the types it conforms to, most specific first
    // ("public.mpeg-4", "public.movie", ..., "public.data", "public.item").
    QStringList contentTypes;
    // A folder that stands for one document (an application, a photo
    // library, a virtual machine): found as one item, never its files.
    bool isPackage = false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long birth = 0;  // ns since the epoch; 0: not known
};

// The stand-in for a live metadata query of the file index: every file of at
// least a given logical size below the search folders. A walker thread
// gathers; the result list only grows, and once the walk is over the
// gathering is complete.
//
// The walk never follows a symbolic link below a search folder (a search
// folder given through a link is searched through it), never crosses into
// another mount, and finds each file once: a file with several names, or
// below two search folders that overlap, is the first name met. A package
// (a folder whose name ends in one of the package extensions, as Finder
// shows it as one document) is one result, with the size of its contents,
// and its files are never results of their own. Names that are not valid
// UTF-8 are skipped (one WARNING per folder), as are folders that cannot be
// read (one WARNING each).
//
// Threads: every call from the owner's thread; the provider of last-used
// dates runs on the walker thread.
class MetadataQuery {
public:
    static constexpr long long defaultMinSize = 10000000;
    using LastUsedProvider = std::function<QDateTime(const QString& path)>;

    MetadataQuery();
    // Stops the walk and waits for it.
    ~MetadataQuery();
    MetadataQuery(const MetadataQuery&) = delete;
    MetadataQuery& operator=(const MetadataQuery&) = delete;

    // Where the next Start() searches: absolute folders (a relative one or one
    // with a ".." component is left out, with a WARNING). None: the home folder.
    void SetSearchScopes(const QStringList& folders);
    QStringList GetSearchScopes() const;
    // The smallest logical size found (default ten million bytes).
    void SetMinSize(long long bytes);
    long long GetMinSize() const;
    // Who knows when a file was last opened (none by default; this system
    // keeps no such record that can be trusted).
    void SetLastUsedProvider(LastUsedProvider provider);

    // Drops the results of an earlier walk and starts a new one. False when
    // no thread could be started.
    bool Start();
    // Ends the walk early: the gathering is then never complete.
    void Stop();
    void Wait();

    bool IsGathering() const;
    bool IsGatheringComplete() const;
    bool WasStopped() const;
    // Part of the search folders' top entries done, 0..1.
    float GetProgress() const;

    // What the last walk left out: names that are not UTF-8 (they can be
    // neither shown nor removed safely) and folders that could not be read.
    int GetSkippedNames() const;
    int GetUnreadableFolders() const;

    std::size_t GetResultCount() const;
    // The results from `first` on (they never move: a result has one index).
    std::vector<MetadataItem> GetResults(std::size_t first) const;

    // The content type tree of a file name, from its MIME type.
    static QStringList ContentTypesOf(const QString& path);
    // Whether a folder of this name is a package.
    static bool IsPackageName(const QString& name);

private:
    class Impl;
    std::shared_ptr<Impl> m_impl;
};

}  // namespace Varnex::Platform
