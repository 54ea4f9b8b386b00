#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <memory>

namespace Varnex::Cleaner {

class AbstractGarbage;
class AbstractGarbageScope;
using GarbageList = QList<AbstractGarbage*>;

// The base of every garbage item: one node of a tree that a scope owns. A root's
// QObject parent is the scope; every other item's is its parent item.
//
// Threads: the scope's thread only (items are never touched by workers).
//
// Changes of clean, ready, enabled, error and check state are reported to the
// owning scope, which emits ItemChanged(item). SetKind and SetRemovable report
// nothing. The constructor reports nothing either: a half-built item must not
// reach slots that could call its virtual functions.
//
// For concrete containers: GetChildren() must list the item's children; a
// container makes itself a child's QObject parent before it lists the child,
// calls ChildAppended(child) after appending one child to that list and
// ChildListChanged() after any other change of it, and its SetSize() calls
// SizeStored() after storing. The base keeps running counts of the children's
// clean flags, check states and dirty sizes from these, so appending or
// cleaning n children costs O(n) and not O(n^2).
//
// Check states: an item whose raw state is AS_PARENT shows its parent's, so a
// change of one item's state changes what all its followers (children in
// AS_PARENT, theirs, and so on) show, and they are not notified one by one.
// Every change of check states runs inside a CheckStateChange (SetCheckState,
// Select and UpdateCheckState open one; a caller may open one around many
// changes). When the outermost one on a thread ends, every CheckStateWatcher
// of that thread hears once which items' followers show another state now.
class AbstractGarbage : public QObject {
    Q_OBJECT
public:
    enum class Status { UNKNOWN = 0, SCANNING = 1, READY = 2, CLEAN = 3, ERROR = 4 };
    Q_ENUM(Status)
    enum class Error {
        OK = 0,
        UNKNOWN = 1,
        PERMISSION_DENIED = 2,
        DOES_NOT_EXIST = 3,
        IS_NOT_EMPTY = 4,
        CHILD = 5,
        // Not removed on purpose: the entry is no longer what the scan saw
        // (swapped, changed), or it is protected.
        REFUSED = 6
    };
    Q_ENUM(Error)
    enum CheckState { UNCHECKED = 0, PARTLY_CHECKED = 1, CHECKED = 2, AS_PARENT = 3 };
    enum Kind { OTHER = 0, ARCHIVE = 1, VIDEO = 2, AUDIO = 3, IMAGE = 4, INFECTED = 5 };

    explicit AbstractGarbage(QObject* parent);
    ~AbstractGarbage() override;

    virtual QString GetName() const = 0;
    virtual QString GetPath() const = 0;
    virtual QString GetPreviewPath() const;
    virtual QString GetDescription() const;
    virtual void SetEnabled(bool enabled);
    virtual bool IsEnabled() const;
    virtual bool ShouldBeRemoved() const;
    // Whether entries that are not shown lie inside (a folder's FIFO, an
    // excluded or unreadable entry): such an item stays when everything
    // shown in it is gone, so it never becomes clean through its children.
    virtual bool HoldsHiddenEntries() const { return false; }
    virtual long long GetSize() const = 0;
    virtual QDateTime GetLastReadTime() const;
    virtual bool AreAdminRightsRequired() const = 0;
    virtual GarbageList GetChildren() const;
    virtual void UpdateSize();
    virtual void SetSize(long long size) = 0;
    virtual void OnChildReady(AbstractGarbage* child);
    virtual void SetCheckState(CheckState state);

    // Tree. GetDepth() and GetScope() are O(1) while no item anywhere gains
    // or loses a child (see GetTreeVersion()); the first call after such a
    // change climbs to the first ancestor that still knows its place.
    AbstractGarbage* GetParent();
    const AbstractGarbage* GetParent() const;
    bool IsRoot() const;
    int GetDepth() const;
    int GetIndex() const;
    AbstractGarbageScope* GetScope() const;
    // Changes whenever an item, on any thread, gains or loses a child (its
    // QObject children or its list of children) or is destroyed: what was
    // learnt about the shape of a tree under one version holds while it lasts.
    static quint64 GetTreeVersion();

    // Flags.
    bool IsClean() const { return m_word.clean; }
    bool IsReady() const { return m_word.ready; }
    bool IsRemovable() const { return m_word.removable; }
    void SetRemovable(bool removable) { m_word.removable = removable; }
    void SetKind(Kind kind) { m_word.kind = kind; }
    Kind GetKind() const { return static_cast<Kind>(m_word.kind); }
    Error GetError() const { return static_cast<Error>(m_word.error); }
    Status GetStatus() const;
    QString GetStatusString() const;
    QString GetErrorString() const;
    static QString GetStatusString(Status status);
    static QString GetErrorString(Error error);
    static QString GetCheckStateString(CheckState state);

    // Check state.
    void Select(bool on);
    bool IsSelected() const;
    CheckState GetCheckState() const;
    CheckState GetCheckStateRaw() const { return static_cast<CheckState>(m_word.check); }
    QString GetCheckStateString() const;
    void UpdateCheckState();

    // Changes.
    void SetClean(bool clean);
    void SetReady(bool ready);
    void SetError(Error error);
    void NotifyChanged();

    // Sizes.
    void UpdateSizeAfterChildAdded(long long delta);
    int GetNumOfDirtyChildren() const;

    void SetViewMetaData(const QVariant& data);
    QVariant GetViewMetaData() const;

    static Kind CheckKind(const QString& path, const QStringList& utis);

    // Groups check-state changes (nests; the scope's thread only). Items must
    // not be deleted while one is open, except through the scope's reset.
    class CheckStateChange {
    public:
        CheckStateChange();
        ~CheckStateChange();
        CheckStateChange(const CheckStateChange&) = delete;
        CheckStateChange& operator=(const CheckStateChange&) = delete;
        // Whether one is open on this thread.
        static bool IsOpen();
    };

    // Told when the outermost CheckStateChange of its thread ends, after every
    // ItemChanged of it. `sources` are the items whose followers show another
    // check state than before, each once, in the order they changed; a
    // follower of a source may be a source itself. Register and unregister on
    // the thread that changes the items; unregister before destruction.
    class CheckStateWatcher {
    public:
        virtual ~CheckStateWatcher() = default;
        virtual void CheckStateChangeEnded(const GarbageList& sources) = 0;
    };
    static void AddCheckStateWatcher(CheckStateWatcher* watcher);
    static void RemoveCheckStateWatcher(CheckStateWatcher* watcher);

signals:
    void SizeChanged(int);
    void Cleaned();
    void Rejected();
    void ChildrenChanged(Varnex::Cleaner::GarbageList children);

protected:
    // For containers: `child` was appended to the list GetChildren() returns
    // (after the container became its QObject parent). O(1).
    void ChildAppended(AbstractGarbage* child);
    // For containers: the list GetChildren() returns has changed otherwise; the
    // next read of the counts re-reads the list.
    void ChildListChanged();
    // For SetSize() implementations: called after the new size is stored.
    void SizeStored(long long oldSize, long long newSize);
    // The default re-summing: the sum of GetSize() over the children that are not clean.
    long long SumOfDirtyChildren() const;
    // For containers that count ready children: true when `child` is ready and
    // has not been counted before (by OnChildReady or an earlier claim); the
    // child is then marked as counted. Keeps a child from being counted twice.
    static bool ClaimReadyChild(AbstractGarbage* child);
    // For constructors: the item starts ready, and nobody is told (the
    // container it is added to counts it through ClaimReadyChild).
    void StartReady() { m_word.ready = 1; }

    void childEvent(QChildEvent* event) override;

private:
    struct ChildCounts;

    void StoreCheckState(CheckState state);
    ChildCounts& Counts() const;
    void ChildCleanChanged(AbstractGarbage* child, bool clean);
    void ChildCheckStateChanged(AbstractGarbage* child, CheckState from, CheckState to);
    // The running counts of `child`'s parent, when they are kept and include it.
    static ChildCounts* CountsHolding(const AbstractGarbage* child);

    struct Word {
        std::uint32_t clean : 1;
        std::uint32_t ready : 1;
        std::uint32_t removable : 1;
        std::uint32_t enabled : 1;
        std::uint32_t error : 3;
        std::uint32_t check : 3;
        std::uint32_t kind : 3;
        std::uint32_t readyAnnounced : 1;  // this item was counted by its parent as ready
        std::uint32_t counted : 1;         // in its parent's running counts
        std::uint32_t changeSource : 1;    // listed as a source of the open CheckStateChange
    };
    // Fills in the top and depth of this item and of its ancestors up to the
    // first one that knows them under the current tree version.
    void LearnPlace() const;

    Word m_word;
    mutable int m_depth = 0;                        // learnt under m_placeVersion
    mutable std::unique_ptr<ChildCounts> m_counts;  // only for items that have children
    mutable const AbstractGarbage* m_top = nullptr;  // the root item of its tree
    mutable quint64 m_placeVersion = 0;             // 0: nothing learnt
};

}  // namespace Varnex::Cleaner

Q_DECLARE_METATYPE(Varnex::Cleaner::AbstractGarbage::Kind)
Q_DECLARE_METATYPE(Varnex::Cleaner::GarbageList)
