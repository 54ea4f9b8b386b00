#pragma once

#include <QHash>
#include <QList>
#include <QStringList>

#include "Core/AbstractGarbage.h"

namespace Varnex::Cleaner::Details {

// The name a GarbageL10nBundle built from `path` gets: "System" for an empty
// path or a system path, else ExtractBundleName(path). Any thread.
QString GetL10nBundleName(const QString& path);

// Whether `path` is one of GetSystemLibraryPrefixes() or lies below one
// (whole components, letter case matters). Any thread.
bool IsSystemBundle(const QString& path);

// The localization folders of one language inside one application bundle, or
// inside the system when built from an empty or system path (then named
// "System", with an empty path). A child of a GarbageL10n.
//
// Every operation on one path costs the same however many folders the
// bundle holds (the system's bundle of a language holds thousands).
//
// Threads: the scope's thread.
class GarbageL10nBundle : public AbstractGarbage {
    Q_OBJECT
public:
    struct Path {
        QString path;
        bool isClean = false;
        long long size = 0;
    };

    GarbageL10nBundle(const QString& path, QObject* parent);

    // Appends a folder (repeats are kept; an empty path is refused: it would
    // contain every path and name the current folder).
    void AddPath(const QString& path);
    QStringList GetPaths() const;
    // True when `path` is a stored folder or lies inside one, by whole
    // components: "…/fr.lproj/x.strings" is inside "…/fr.lproj", "…/fr.lprojX" is not.
    bool ContainsPath(const QString& path) const;
    // Marks every entry equal to `path`, then the item is clean exactly when all are.
    void SetPathClean(const QString& path, bool clean);
    // The flag of the first entry equal to `path`; true when there is none.
    bool IsPathClean(const QString& path) const;
    // Adds `size` to every entry equal to `path`, and to this item (notifying,
    // and re-summing the parent) when one matched. Sizes below 1 are ignored.
    void AddSizeForPath(const QString& path, long long size);
    // The size of the first entry equal to `path`, 0 when there is none.
    long long GetSizeForPath(const QString& path) const;

    // Why these folders cannot go (a seal of the application's code
    // signature holds them); empty when they can. The scope refuses such a
    // bundle (REFUSED) and never plans it.
    void SetProblem(const QString& problem) { m_problem = problem; }
    QString GetProblem() const { return m_problem; }
    QString GetDescription() const override { return m_problem; }

    QString GetName() const override { return m_name; }
    QString GetPath() const override { return m_path; }
    long long GetSize() const override { return m_size; }
    bool AreAdminRightsRequired() const override { return false; }
    // Stores; notifies when the size changed.
    void SetSize(long long size) override;

    static const QString systemBundleName;

private:
    QString m_name;
    QString m_path;
    QString m_problem;
    long long m_size = 0;
    // Applies `f` to every entry equal to `path`; how many there were.
    template <class F>
    int ForEachEntry(const QString& path, F&& f);

    QList<Path> m_paths;
    QHash<QString, int> m_firstEntry;  // path -> index of its first entry
    bool m_hasRepeats = false;         // some path was added twice
    bool m_hasSlashEnded = false;      // some path was added with a trailing '/'
    int m_cleanEntries = 0;
};

}  // namespace Varnex::Cleaner::Details
