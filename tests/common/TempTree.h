#pragma once

#include <sys/types.h>

#include <QString>
#include <string>

namespace Varnex::Test {

// A temporary folder for hostile trees. Helpers take paths relative to the
// folder, as QString or as raw bytes (for names that are not UTF-8), create
// missing parents, and fail the current test on error. The destructor removes
// everything, unreadable folders and non-UTF-8 names included.
class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const QString& Root() const { return m_root; }
    QString Path(const QString& rel) const;
    std::string Bytes(const std::string& rel) const;

    void MakeDir(const QString& rel);
    void MakeFile(const QString& rel, const QByteArray& content);
    // A sparse file of `size` bytes (its apparent size is `size`).
    void MakeSparseFile(const QString& rel, long long size);
    void MakeSymlink(const QString& target, const QString& rel);
    void MakeHardLink(const QString& existingRel, const QString& rel);
    void MakeDirBytes(const std::string& rel);
    void MakeFileBytes(const std::string& rel, const std::string& content);

    bool Exists(const QString& rel) const;  // lstat: a dangling link exists
    bool ExistsBytes(const std::string& rel) const;
    QByteArray Read(const QString& rel) const;
    // What the entry at rel and all below it take on the disk, as du -s
    // counts them: allocated blocks, folders' own included, a file with
    // several names once. Links are not followed.
    long long DiskUsage(const QString& rel) const;
    // The same without rel's own blocks: what a root folder holds.
    long long ContentsDiskUsage(const QString& rel) const;

private:
    QString m_root;
};

// Removes a tree the way a test cleans up after itself: never following links.
void RemoveTestTree(const std::string& path);

}  // namespace Varnex::Test
