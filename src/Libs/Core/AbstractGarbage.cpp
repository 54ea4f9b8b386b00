#include "Core/AbstractGarbage.h"

#include <QChildEvent>
#include <QFileInfo>
#include <QPointer>
#include <QSet>
#include <QVector>
#include <algorithm>
#include <atomic>
#include <vector>

#include "Core/AbstractGarbageScope.h"

namespace Varnex::Cleaner {

namespace {

const char viewMetaDataProperty[] = "$$VIEWMETADATA$$";

QSet<QString> MakeSet(std::initializer_list<const char*> list) {
    QSet<QString> set;
    set.reserve(static_cast<int>(list.size()));
    for (const char* s : list) {
        set.insert(QString::fromLatin1(s));
    }
    return set;
}

QSet<QString> InitArchiveExts() {
    return MakeSet({"zip",  "zipx", "rar", "7z",      "s7z",  "tar",   "gz",   "tgz", "bz2",
                    "tbz2", "lzma", "tlz", "a",       "ar",   "cpio",  "shar", "lbr", "iso",
                    "mar",  "f",    "lz",  "lzo",     "rz",   "sfark", "?q?",  "?z?", "xz",
                    "z",    "infl", "??_", "ace",     "afa",  "alz",   "apk",  "arc", "arj",
                    "b1",   "ba",   "bh",  "cab",     "cfs",  "cpt",   "dar",  "dd",  "dgc",
                    "dmg",  "ear",  "gca", "ha",      "hki",  "ice",   "jar",  "kgb", "lzh",
                    "lha",  "lzx",  "pak", "partimg", "paq6", "paq7",  "paq8", "pea", "pim",
                    "pit",  "qda",  "rk",  "sda",     "sea",  "sen",   "sfx",  "sit", "sitx",
                    "sqx",  "uc",   "uc0", "uc2",     "ucn",  "ur2",   "ue2",  "uca", "uha",
                    "war",  "wim",  "xar", "xp3",     "yz1",  "zoo",   "zpaq", "zz"});
}

QSet<QString> InitVideoExts() {
    return MakeSet({"mkv",  "wtv",  "drc",  "mp4", "ts",   "3g2",  "vro", "vob",  "asf",
                    "3gp2", "mng",  "mxf",  "wmv", "webm", "qt",   "ogv", "mts",  "mpg",
                    "mp2",  "mpeg", "mpe",  "mpv", "mov",  "mod",  "m4v", "m2ts", "m2t",
                    "m1v",  "flv",  "divx", "avi", "tod",  "rmvb", "yuv", "roq",  "nsv"});
}

QSet<QString> InitAudioExts() {
    return MakeSet({"3gp", "act", "aiff", "aac", "amr",   "au",  "awb",  "dct",
                    "dss", "dvf", "flac", "gsm", "iklax", "ivs", "m4a",  "m4p",
                    "mmf", "mp3", "mpc",  "msv", "ogg",   "oga", "opus", "ra",
                    "rm",  "tta", "vox",  "wav", "wave",  "wma", "ape",  "wv"});
}

QSet<QString> InitImageExts() {
    return MakeSet({"jpeg", "jpg", "tiff", "tif", "3fr", "ari", "arw", "bay", "crw", "cr2", "cap",
                    "dcs",  "dcr", "dng",  "drf", "eip", "erf", "fff", "iiq", "k25", "kdc", "mdc",
                    "mef",  "mos", "mrw",  "nef", "nrw", "obm", "orf", "pef", "ptx", "pxn", "r3d",
                    "raf",  "raw", "rwl",  "rw2", "rwz", "sr2", "srf", "srw", "x3f", "gif", "bmp",
                    "png",  "ppm", "pgm",  "pbm", "pnm", "bpg", "tga", "img", "exr"});
}

const QSet<QString> archiveExts = InitArchiveExts();
const QSet<QString> videoExts = InitVideoExts();
const QSet<QString> audioExts = InitAudioExts();
const QSet<QString> imageExts = InitImageExts();

const int registeredKind = qRegisterMetaType<AbstractGarbage::Kind>("Kind");
const int registeredList = qRegisterMetaType<GarbageList>("GarbageList");

AbstractGarbage::CheckState Inherited(AbstractGarbage::CheckState parentState) {
    return parentState == AbstractGarbage::PARTLY_CHECKED ? AbstractGarbage::CHECKED : parentState;
}

// The open check-state changes of one thread.
struct CheckStateChanges {
    int depth = 0;
    std::vector<AbstractGarbage*> sources;  // items whose followers show another state
    std::vector<AbstractGarbage::CheckStateWatcher*> watchers;
};

CheckStateChanges& ThreadChanges() {
    thread_local CheckStateChanges changes;
    return changes;
}

// See AbstractGarbage::GetTreeVersion(). Starts above 0, the mark of an item
// that has learnt nothing yet.
std::atomic<quint64> treeVersion{1};

void TreeChanged() {
    treeVersion.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

// Running counts over the listed children that are not clean, kept so that a
// change of one child does not re-read all of its siblings. A child is in them
// when its `counted` bit is set: an append counts the child at once; any other
// change of the list, or a QObject child removed, invalidates them, and the
// next read rebuilds them from GetChildren(). A child that is a QObject child
// but not listed yet is not counted, and its changes are not passed on.
struct AbstractGarbage::ChildCounts {
    bool valid = false;
    int dirty = 0;
    int dirtyByState[4] = {0, 0, 0, 0};  // by raw check state
    long long dirtySize = 0;
};

AbstractGarbage::AbstractGarbage(QObject* parent) : QObject(parent), m_word{} {
    m_word.removable = 1;
    m_word.error = static_cast<std::uint32_t>(Error::OK);
    m_word.check = AS_PARENT;
    m_word.kind = OTHER;
    Q_UNUSED(registeredKind);
    Q_UNUSED(registeredList);
}

AbstractGarbage::~AbstractGarbage() {
    // Whoever learnt something about this item's tree must look again: it may
    // have been the top or an ancestor of what they remember.
    TreeChanged();
    if (m_word.changeSource) {
        std::vector<AbstractGarbage*>& sources = ThreadChanges().sources;
        sources.erase(std::remove(sources.begin(), sources.end(), this), sources.end());
    }
}

QString AbstractGarbage::GetPreviewPath() const {
    return GetPath();
}
QString AbstractGarbage::GetDescription() const {
    return QString();
}

void AbstractGarbage::SetEnabled(bool enabled) {
    m_word.enabled = enabled;
    NotifyChanged();
}

bool AbstractGarbage::IsEnabled() const {
    return m_word.enabled;
}

bool AbstractGarbage::ShouldBeRemoved() const {
    return IsRemovable() && GetCheckState() == CHECKED && !IsClean() && GetError() == Error::OK;
}

QDateTime AbstractGarbage::GetLastReadTime() const {
    return QDateTime();
}
GarbageList AbstractGarbage::GetChildren() const {
    return GarbageList();
}

void AbstractGarbage::UpdateSize() {
    SetSize(SumOfDirtyChildren());
}

void AbstractGarbage::OnChildReady(AbstractGarbage*) {}

void AbstractGarbage::SetCheckState(CheckState state) {
    const CheckStateChange change;
    StoreCheckState(state);
    AbstractGarbage* parent = GetParent();
    if (state != AS_PARENT && parent) {
        parent->UpdateCheckState();
    }
    const GarbageList children = GetChildren();
    for (AbstractGarbage* child : children) {
        if (child->GetCheckStateRaw() != AS_PARENT) {
            child->SetCheckState(AS_PARENT);
        }
    }
    NotifyChanged();
}

AbstractGarbage* AbstractGarbage::GetParent() {
    return qobject_cast<AbstractGarbage*>(parent());
}

const AbstractGarbage* AbstractGarbage::GetParent() const {
    return qobject_cast<const AbstractGarbage*>(parent());
}

bool AbstractGarbage::IsRoot() const {
    return GetParent() == nullptr;
}

quint64 AbstractGarbage::GetTreeVersion() {
    return treeVersion.load(std::memory_order_relaxed);
}

void AbstractGarbage::LearnPlace() const {
    const quint64 version = GetTreeVersion();
    if (m_placeVersion == version) {
        return;
    }
    // Every item of a deep tree asks (each change notifies its scope): one
    // climb learns the whole path, so that the next items stop early.
    thread_local std::vector<const AbstractGarbage*> path;
    path.clear();
    const AbstractGarbage* known = nullptr;
    for (const AbstractGarbage* node = this; node;) {
        if (node->m_placeVersion == version) {
            known = node;
            break;
        }
        path.push_back(node);
        node = node->GetParent();
    }
    const AbstractGarbage* top = known ? known->m_top : path.back();
    int depth = known ? known->m_depth + 1 : 0;
    for (auto it = path.rbegin(); it != path.rend(); ++it, ++depth) {
        (*it)->m_top = top;
        (*it)->m_depth = depth;
        (*it)->m_placeVersion = version;
    }
}

int AbstractGarbage::GetDepth() const {
    LearnPlace();
    return m_depth;
}

int AbstractGarbage::GetIndex() const {
    const AbstractGarbage* parent = GetParent();
    if (!parent) {
        return -1;
    }
    return parent->GetChildren().indexOf(const_cast<AbstractGarbage*>(this));
}

AbstractGarbageScope* AbstractGarbage::GetScope() const {
    LearnPlace();
    // The top's own parent is read now: a root handed to a scope (or taken
    // from it) changes no item's children.
    return qobject_cast<AbstractGarbageScope*>(m_top->parent());
}

AbstractGarbage::Status AbstractGarbage::GetStatus() const {
    if (GetError() != Error::OK) {
        return Status::ERROR;
    }
    if (IsClean()) {
        return Status::CLEAN;
    }
    return IsReady() ? Status::READY : Status::SCANNING;
}

QString AbstractGarbage::GetStatusString(Status status) {
    switch (status) {
        case Status::UNKNOWN:
            return QStringLiteral("Unknown");
        case Status::SCANNING:
            return QStringLiteral("Scanning");
        case Status::READY:
            return QStringLiteral("Ready");
        case Status::CLEAN:
            return QStringLiteral("Clean");
        case Status::ERROR:
            return QStringLiteral("Error");
    }
    return QString();
}

QString AbstractGarbage::GetErrorString(Error error) {
    switch (error) {
        case Error::OK:
            return QString();
        case Error::UNKNOWN:
            return QStringLiteral("Unknown");
        case Error::PERMISSION_DENIED:
            return QStringLiteral("Permission denied");
        case Error::DOES_NOT_EXIST:
            return QStringLiteral("Does not exist");
        case Error::IS_NOT_EMPTY:
            return QStringLiteral("Directory is not empty");
        case Error::CHILD:
            return QStringLiteral("One or more children have errors");
        case Error::REFUSED:
            return QStringLiteral("Refused: not what the scan saw, or protected");
    }
    return QString();
}

QString AbstractGarbage::GetCheckStateString(CheckState state) {
    switch (state) {
        case UNCHECKED:
            return QStringLiteral("Unchecked");
        case PARTLY_CHECKED:
            return QStringLiteral("Partly checked");
        case CHECKED:
            return QStringLiteral("Checked");
        case AS_PARENT:
            return QStringLiteral("As parent");
    }
    return QString();
}

QString AbstractGarbage::GetStatusString() const {
    return GetStatusString(GetStatus());
}
QString AbstractGarbage::GetErrorString() const {
    return GetErrorString(GetError());
}
QString AbstractGarbage::GetCheckStateString() const {
    return GetCheckStateString(GetCheckState());
}

void AbstractGarbage::Select(bool on) {
    SetCheckState(on ? CHECKED : UNCHECKED);
}

bool AbstractGarbage::IsSelected() const {
    const CheckState state = GetCheckState();
    return state == PARTLY_CHECKED || state == CHECKED;
}

AbstractGarbage::CheckState AbstractGarbage::GetCheckState() const {
    // Climb to the first ancestor with a state of its own; a partly checked
    // ancestor counts as checked for the items that follow it.
    const AbstractGarbage* item = this;
    bool inherited = false;
    while (item->GetCheckStateRaw() == AS_PARENT) {
        const AbstractGarbage* parent = item->GetParent();
        if (!parent) {
            return CHECKED;
        }
        item = parent;
        inherited = true;
    }
    const CheckState state = item->GetCheckStateRaw();
    return inherited ? Inherited(state) : state;
}

void AbstractGarbage::UpdateCheckState() {
    const CheckStateChange change;
    const GarbageList children = GetChildren();
    if (children.isEmpty()) {
        StoreCheckState(CHECKED);
    } else {
        const ChildCounts& counts = Counts();
        const int total = counts.dirty;
        const int asParent = counts.dirtyByState[AS_PARENT];
        // What the children without a state of their own read now.
        const CheckState inherited = Inherited(GetCheckState());
        const int checked = counts.dirtyByState[CHECKED] + (inherited == CHECKED ? asParent : 0);
        const int unchecked =
            counts.dirtyByState[UNCHECKED] + (inherited == UNCHECKED ? asParent : 0);
        if (checked >= total) {
            StoreCheckState(CHECKED);
        } else if (unchecked == total) {
            StoreCheckState(UNCHECKED);
        } else {
            // Mixed: pin the children that follow this item to what they read
            // now, so they keep it when this item becomes partly checked. A
            // partly checked state is never pinned on a child: it would look
            // selected without being removable.
            if (asParent > 0) {
                for (AbstractGarbage* child : children) {
                    if (!child->IsClean() && child->GetCheckStateRaw() == AS_PARENT) {
                        child->StoreCheckState(inherited);
                    }
                }
            }
            StoreCheckState(PARTLY_CHECKED);
        }
    }
    if (AbstractGarbage* parent = GetParent()) {
        parent->UpdateCheckState();
    }
    NotifyChanged();
}

void AbstractGarbage::SetClean(bool clean) {
    if (static_cast<bool>(m_word.clean) == clean) {
        return;
    }
    m_word.clean = clean;
    if (AbstractGarbage* parent = GetParent()) {
        parent->ChildCleanChanged(this, clean);
        if (!clean) {
            parent->SetClean(false);
        } else if (parent->GetNumOfDirtyChildren() == 0 &&
                   (parent->IsRoot() || !parent->HoldsHiddenEntries())) {
            parent->SetClean(true);
        }
        parent->UpdateSize();
        parent->UpdateCheckState();
    }
    NotifyChanged();
}

void AbstractGarbage::SetReady(bool ready) {
    m_word.ready = ready;
    // A child is announced to its parent once, so that the parent's ready count
    // cannot run past its number of children.
    if (ready && !m_word.readyAnnounced) {
        if (AbstractGarbage* parent = GetParent()) {
            m_word.readyAnnounced = 1;
            parent->OnChildReady(this);
        }
    }
    NotifyChanged();
}

bool AbstractGarbage::ClaimReadyChild(AbstractGarbage* child) {
    if (!child || !child->IsReady() || child->m_word.readyAnnounced) {
        return false;
    }
    child->m_word.readyAnnounced = 1;
    return true;
}

void AbstractGarbage::SetError(Error error) {
    m_word.error = static_cast<std::uint32_t>(error);
    NotifyChanged();
    if (error == Error::OK) {
        return;
    }
    for (AbstractGarbage* p = GetParent(); p; p = p->GetParent()) {
        p->m_word.error = static_cast<std::uint32_t>(Error::CHILD);
        p->NotifyChanged();
    }
}

void AbstractGarbage::NotifyChanged() {
    if (AbstractGarbageScope* scope = GetScope()) {
        scope->NotifyChanged(this);
    }
}

void AbstractGarbage::UpdateSizeAfterChildAdded(long long delta) {
    for (AbstractGarbage* item = this; item; item = item->GetParent()) {
        item->SetSize(item->GetSize() + delta);
    }
}

int AbstractGarbage::GetNumOfDirtyChildren() const {
    return Counts().dirty;
}

void AbstractGarbage::SetViewMetaData(const QVariant& data) {
    setProperty(viewMetaDataProperty, data);
}

QVariant AbstractGarbage::GetViewMetaData() const {
    return property(viewMetaDataProperty);
}

AbstractGarbage::Kind AbstractGarbage::CheckKind(const QString& path, const QStringList& utis) {
    const QString ext = QFileInfo(path).suffix().toLower();
    if (utis.contains(QStringLiteral("public.archive")) || archiveExts.contains(ext)) {
        return ARCHIVE;
    }
    if (utis.contains(QStringLiteral("public.movie")) ||
        utis.contains(QStringLiteral("public.video")) || videoExts.contains(ext)) {
        return VIDEO;
    }
    if (utis.contains(QStringLiteral("public.audio")) || audioExts.contains(ext)) {
        return AUDIO;
    }
    if (utis.contains(QStringLiteral("public.image")) || imageExts.contains(ext)) {
        return IMAGE;
    }
    return OTHER;
}

AbstractGarbage::CheckStateChange::CheckStateChange() {
    ++ThreadChanges().depth;
}

AbstractGarbage::CheckStateChange::~CheckStateChange() {
    CheckStateChanges& changes = ThreadChanges();
    if (--changes.depth > 0) {
        return;
    }
    std::vector<AbstractGarbage*> sources;
    sources.swap(changes.sources);
    for (AbstractGarbage* item : sources) {
        item->m_word.changeSource = 0;
    }
    if (changes.watchers.empty()) {
        return;
    }
    // A watcher may run code that deletes items (a view's slot resetting the
    // scope) or removes watchers: each one gets the items still alive, and a
    // watcher removed meanwhile is skipped.
    QVector<QPointer<AbstractGarbage>> alive;
    alive.reserve(static_cast<int>(sources.size()));
    for (AbstractGarbage* item : sources) {
        alive.append(item);
    }
    const std::vector<CheckStateWatcher*> watchers = changes.watchers;
    for (CheckStateWatcher* watcher : watchers) {
        const std::vector<CheckStateWatcher*>& now = ThreadChanges().watchers;
        if (std::find(now.begin(), now.end(), watcher) == now.end()) {
            continue;
        }
        GarbageList list;
        list.reserve(alive.size());
        for (const QPointer<AbstractGarbage>& item : alive) {
            if (item) {
                list.append(item.data());
            }
        }
        watcher->CheckStateChangeEnded(list);
    }
}

bool AbstractGarbage::CheckStateChange::IsOpen() {
    return ThreadChanges().depth > 0;
}

void AbstractGarbage::AddCheckStateWatcher(CheckStateWatcher* watcher) {
    std::vector<CheckStateWatcher*>& watchers = ThreadChanges().watchers;
    if (watcher && std::find(watchers.begin(), watchers.end(), watcher) == watchers.end()) {
        watchers.push_back(watcher);
    }
}

void AbstractGarbage::RemoveCheckStateWatcher(CheckStateWatcher* watcher) {
    std::vector<CheckStateWatcher*>& watchers = ThreadChanges().watchers;
    watchers.erase(std::remove(watchers.begin(), watchers.end(), watcher), watchers.end());
}

void AbstractGarbage::ChildAppended(AbstractGarbage* child) {
    TreeChanged();
    if (!child || !m_counts || !m_counts->valid) {
        return;  // the next read counts the whole list
    }
    if (child->m_word.counted) {
        ChildListChanged();  // listed twice, or counted elsewhere: count again
        return;
    }
    child->m_word.counted = 1;
    if (!child->IsClean()) {
        ChildCounts& c = *m_counts;
        ++c.dirty;
        ++c.dirtyByState[child->GetCheckStateRaw() & 3];
        c.dirtySize += child->GetSize();
    }
}

void AbstractGarbage::ChildListChanged() {
    TreeChanged();
    if (m_counts) {
        m_counts->valid = false;
    }
}

AbstractGarbage::ChildCounts* AbstractGarbage::CountsHolding(const AbstractGarbage* child) {
    if (!child->m_word.counted) {
        return nullptr;
    }
    const AbstractGarbage* parent = child->GetParent();
    if (!parent || !parent->m_counts || !parent->m_counts->valid) {
        return nullptr;
    }
    return parent->m_counts.get();
}

void AbstractGarbage::SizeStored(long long oldSize, long long newSize) {
    if (IsClean()) {
        return;
    }
    if (ChildCounts* c = CountsHolding(this)) {
        c->dirtySize += newSize - oldSize;
    }
}

long long AbstractGarbage::SumOfDirtyChildren() const {
    return Counts().dirtySize;
}

void AbstractGarbage::childEvent(QChildEvent* event) {
    // A child that arrives is counted when it is listed (ChildAppended or
    // ChildListChanged); one that leaves takes the counts with it. A child
    // still under construction or destruction is no AbstractGarbage to
    // qobject_cast, and its bit is clear or no longer read.
    if (event->added() || event->removed()) {
        TreeChanged();
        if (auto* item = qobject_cast<AbstractGarbage*>(event->child())) {
            item->m_word.counted = 0;
        }
        if (event->removed()) {
            ChildListChanged();
        }
    }
    QObject::childEvent(event);
}

void AbstractGarbage::StoreCheckState(CheckState state) {
    const CheckState from = GetCheckStateRaw();
    if (from == state) {
        return;
    }
    // Followers show Inherited() of this item's state: if that changes, the
    // watchers hear of this item once the change ends.
    const CheckStateChanges& changes = ThreadChanges();
    const bool watched = changes.depth > 0 && !changes.watchers.empty() && !m_word.changeSource &&
                         !GetChildren().isEmpty();
    const CheckState before = watched ? Inherited(GetCheckState()) : CHECKED;
    m_word.check = state;
    if (watched && Inherited(GetCheckState()) != before) {
        m_word.changeSource = 1;
        ThreadChanges().sources.push_back(this);
    }
    if (IsClean()) {
        return;
    }
    if (AbstractGarbage* parent = GetParent()) {
        parent->ChildCheckStateChanged(this, from, state);
    }
}

AbstractGarbage::ChildCounts& AbstractGarbage::Counts() const {
    if (!m_counts) {
        m_counts = std::make_unique<ChildCounts>();
    }
    ChildCounts& c = *m_counts;
    if (!c.valid) {
        c = ChildCounts();
        const GarbageList children = GetChildren();
        for (AbstractGarbage* child : children) {
            child->m_word.counted = 1;
            if (!child->IsClean()) {
                ++c.dirty;
                ++c.dirtyByState[child->GetCheckStateRaw() & 3];
                c.dirtySize += child->GetSize();
            }
        }
        c.valid = true;
    }
    return c;
}

void AbstractGarbage::ChildCleanChanged(AbstractGarbage* child, bool clean) {
    ChildCounts* c = CountsHolding(child);
    if (!c) {
        return;
    }
    const int sign = clean ? -1 : 1;
    c->dirty += sign;
    c->dirtyByState[child->GetCheckStateRaw() & 3] += sign;
    c->dirtySize += sign * child->GetSize();
}

void AbstractGarbage::ChildCheckStateChanged(AbstractGarbage* child, CheckState from,
                                             CheckState to) {
    ChildCounts* c = CountsHolding(child);
    if (!c || child->IsClean()) {
        return;
    }
    --c->dirtyByState[from & 3];
    ++c->dirtyByState[to & 3];
}

}  // namespace Varnex::Cleaner
