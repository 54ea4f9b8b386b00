#include "Core/details/LoginItemGarbageScope.h"

#include <glog/logging.h>
#include <sys/stat.h>

#include <QFile>
#include <QSettings>
#include <functional>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "Core/details/GarbageLoginItem.h"
#include "Platform/LoginItems.h"
#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"
#include "QtUtil/SignalBlocker.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString libraryPath = QStringLiteral("Library");
const QString appSupportName = QStringLiteral("Application Support");
const QString arrayName = QStringLiteral("loginItems");
const QString pathKey = QStringLiteral("path");

// Whether an application is there (links followed, as the login list opens it).
bool ApplicationExists(const QString& path) {
    std::string bytes;
    struct stat st {};
    return Platform::EncodePath(path, &bytes) && ::stat(bytes.c_str(), &st) == 0;
}

// QSettings takes the file name as text: only a name whose bytes Qt hands the
// kernel are the path codec's is given to it.
bool QtSpellsAlike(const QString& path) {
    std::string bytes;
    return Platform::EncodePath(path, &bytes) &&
           QFile::encodeName(path) == QByteArray::fromStdString(bytes);
}

// The remembered paths. False when the file exists but cannot be read (it is
// then never overwritten); a missing file, or one that is not a settings
// file at all, remembers nothing.
bool ReadRemembered(const QString& file, QStringList* paths) {
    if (file.isEmpty() || !QtSpellsAlike(file)) {
        LOG(WARNING) << "No usable login items file: \"" << Util::LogText(file) << "\"";
        return false;
    }
    QSettings settings(file, QSettings::NativeFormat);
    if (settings.status() == QSettings::AccessError) {
        LOG(WARNING) << "Can't read the login items file \"" << Util::LogText(file) << "\"";
        return false;
    }
    if (settings.status() == QSettings::FormatError) {
        // What it held cannot be told: it is left as it is for the user.
        LOG(ERROR) << "The login items file \"" << Util::LogText(file)
                   << "\" is damaged: nothing remembered, and it is not overwritten";
        return false;
    }
    const int n = settings.beginReadArray(arrayName);
    for (int i = 0; i < n; ++i) {
        settings.setArrayIndex(i);
        const QString path = settings.value(pathKey).toString();
        if (!path.isEmpty()) {
            paths->append(path);
        }
    }
    settings.endArray();
    return true;
}

// What one scan found: each application with whether it is in the login list.
struct LoginEntry {
    QString path;
    bool enabled = false;
};

// The login list and the remembered entries, read at once when the scan
// starts (on the scope's thread: the list is not to be read elsewhere).
class LoginItemScan : public BatchProducer<LoginEntry> {
public:
    bool Start() override {
        m_entries.clear();
        QStringList enabled;
        QString problem;
        if (!Platform::ListLoginItems(&enabled, &problem)) {
            LOG(WARNING) << "Can't read the login items: " << Util::LogText(problem);
            return false;
        }
        QStringList remembered;
        m_fileRead = ReadRemembered(LoginItemGarbageScope::GetSettingsPath(), &remembered);
        QStringList joined = enabled + remembered;
        joined.removeDuplicates();
        m_carried.clear();
        for (const QString& path : joined) {
            if (ApplicationExists(path)) {
                m_entries.push_back(LoginEntry{path, enabled.contains(path)});
            } else if (!enabled.contains(path) && !ApplicationExists(ExtractParentPath(path))) {
                // Its whole folder is away (a volume not mounted now): it is
                // remembered until it can be told whether it was removed.
                m_carried.append(path);
            }
        }
        return true;
    }
    bool IsWorking() const override { return false; }
    void Stop() override {}
    void Wait() override {}
    // Whether the remembered entries could be read (so they may be rewritten).
    bool WasFileRead() const { return m_fileRead; }
    // Remembered entries not shown whose folder is away: saved again as they are.
    const QStringList& GetCarried() const { return m_carried; }

protected:
    Batch DoTakeBatch() override {
        Batch out;
        out.swap(m_entries);
        return out;
    }
    void DoClear() override { m_entries.clear(); }

private:
    Batch m_entries;
    bool m_fileRead = false;
    QStringList m_carried;
};

// A cleaning run on the scope's own thread: the first take cleans every
// planned item, the next one saves the settings file, and the run is over
// once that is done (failed when the save failed: the items would come back).
class LoginItemRun : public BatchProducer<CleaningResult> {
public:
    LoginItemRun(std::function<CleaningResult(const QString&)> clean, std::function<bool()> save)
        : m_clean(std::move(clean)), m_save(std::move(save)) {}

    void SetPaths(QStringList paths) { m_paths = std::move(paths); }

    bool Start() override {
        m_cleaned = m_saved = m_failed = m_stopped = false;
        return true;
    }
    bool IsWorking() const override { return !m_saved; }
    bool HasFailed() const override { return m_failed; }
    bool WasStopped() const override { return m_stopped; }
    float GetProgress() const override { return m_cleaned ? 1.0f : 0.0f; }
    // Before the items are cleaned nothing is; afterwards only the save is left.
    void Stop() override {
        if (!m_cleaned) {
            m_stopped = true;
            m_cleaned = true;
        }
    }
    void Wait() override {}

protected:
    Batch DoTakeBatch() override {
        Batch batch;
        if (!m_cleaned) {
            m_cleaned = true;
            for (const QString& path : m_paths) {
                batch.push_back(m_clean(path));
            }
        } else if (!m_saved) {
            m_failed = !m_save();
            m_saved = true;
        }
        return batch;
    }
    void DoClear() override { m_paths.clear(); }

private:
    std::function<CleaningResult(const QString&)> m_clean;
    std::function<bool()> m_save;
    QStringList m_paths;
    bool m_cleaned = true;
    bool m_saved = true;
    bool m_failed = false;
    bool m_stopped = false;
};

}  // namespace

class LoginItemGarbageScope::Impl {
public:
    explicit Impl(LoginItemGarbageScope* scope)
        : run([scope](const QString& path) { return scope->DoCleanItem(path); },
              [scope] { return scope->SaveDisabledLoginItems(); }) {}

    LoginItemScan scan;
    LoginItemRun run;
    // The roots show what this session read of the login list and of the
    // settings file: only then may the file be rewritten.
    bool shownFromFile = false;
};

LoginItemGarbageScope::LoginItemGarbageScope(QObject* parent)
    : CleaningRunScope(parent), m_impl(std::make_unique<Impl>(this)) {
    SetProducer(&m_impl->scan);
}

LoginItemGarbageScope::~LoginItemGarbageScope() {
    InvalidateBatches();
    SaveDisabledLoginItems();
    DeleteRoots();
}

QString LoginItemGarbageScope::GetSettingsPath() {
    const QString home = Platform::HomePath();
    if (home.isEmpty()) {
        return QString();
    }
    const QString appSupportPath =
        home + QLatin1Char('/') + libraryPath + QLatin1Char('/') + appSupportName;
    return appSupportPath + QStringLiteral("/Varnex/Klarvik/loginItems");
}

bool LoginItemGarbageScope::SaveDisabledLoginItems() {
    if (!m_impl->shownFromFile) {
        return false;  // what the file holds was never read and shown: it stays
    }
    QStringList paths;
    for (const AbstractGarbage* root : m_roots) {
        if (!root->IsEnabled() && !root->IsClean() && !paths.contains(root->GetPath())) {
            paths.append(root->GetPath());
        }
    }
    for (const QString& path : m_impl->scan.GetCarried()) {
        if (!paths.contains(path)) {
            paths.append(path);
        }
    }
    const QString file = GetSettingsPath();
    if (file.isEmpty() || !QtSpellsAlike(file)) {
        LOG(ERROR) << "Can't save the login items: no usable file \"" << Util::LogText(file)
                   << "\"";
        return false;
    }
    QSettings settings(file, QSettings::NativeFormat);
    settings.clear();
    settings.beginWriteArray(arrayName, paths.size());
    for (int i = 0; i < paths.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(pathKey, paths.at(i));
    }
    settings.endArray();
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        // The file was replaced atomically or not at all; the entries stay
        // here for the next save.
        LOG(ERROR) << "Can't save the login items to \"" << Util::LogText(file) << "\" ("
                   << paths.size() << " switched off)";
        return false;
    }
    return true;
}

bool LoginItemGarbageScope::AddLoginItem(const QString& path) {
    QString problem;
    if (!Platform::InsertLoginItem(path, &problem)) {
        LOG(WARNING) << "Could not add login item \"" << Util::LogText(path)
                     << "\": " << Util::LogText(problem);
        return false;
    }
    if (GarbageLoginItem* item = FindLoginItem(path)) {
        item->StoreEnabled(true);
        return true;
    }
    emit ItemsAboutToBeInserted(nullptr, 1);
    AddRoot(new GarbageLoginItem(path, true, nullptr));
    emit ItemsInserted(nullptr, 1);
    return true;
}

GarbageLoginItem* LoginItemGarbageScope::FindLoginItem(const QString& path) const {
    for (AbstractGarbage* root : m_roots) {
        if (root->GetPath() == path) {
            return qobject_cast<GarbageLoginItem*>(root);
        }
    }
    return nullptr;
}

void LoginItemGarbageScope::Reset() {
    // What the user switched off is written before it is dropped.
    SaveDisabledLoginItems();
    ResetScope([this] {
        m_impl->shownFromFile = false;
        DeleteRoots();
    });
}

void LoginItemGarbageScope::ResetCleaning() {
    ResetCleaningRun();
}

bool LoginItemGarbageScope::IsCleaningPossible() const {
    for (const AbstractGarbage* root : m_roots) {
        if (root->ShouldBeRemoved()) {
            return true;
        }
    }
    return false;
}

void LoginItemGarbageScope::DoStartScanning() {
    if (IsScanning()) {
        return;
    }
    Reset();  // saves what is switched off first
    SetAdminRightsRequired(false);
    StartProducerScan();
}

bool LoginItemGarbageScope::InsertBatch(const RunGeneration::Ticket& ticket) {
    const LoginItemScan::Batch entries = m_impl->scan.MoveBatch();
    GarbageList items;
    for (const LoginEntry& entry : entries) {
        items.append(new GarbageLoginItem(entry.path, entry.enabled, nullptr));
    }
    const bool inserted = InsertGroup(
        nullptr, items, ticket,
        [this](AbstractGarbage* item) {
            ++m_totalItems;
            AddRoot(item);
        },
        [] {});
    if (inserted) {
        m_impl->shownFromFile = m_impl->scan.WasFileRead();
    }
    return inserted;
}

BatchProducer<CleaningResult>* LoginItemGarbageScope::PrepareCleaningRun(long long* count) {
    QStringList paths;
    for (const AbstractGarbage* root : m_roots) {
        if (root->ShouldBeRemoved()) {
            paths.append(root->GetPath());
        }
    }
    *count = paths.size();
    m_impl->run.SetPaths(paths);
    return &m_impl->run;
}

AbstractGarbage* LoginItemGarbageScope::FindItemForPath(const QString& path) const {
    return FindLoginItem(path);
}

CleaningResult LoginItemGarbageScope::DoCleanItem(const QString& path) {
    CleaningResult result{path, 0};
    GarbageLoginItem* item = FindLoginItem(path);
    if (!item) {
        return result;
    }
    if (item->IsEnabled()) {
        item->SetEnabled(false);
    }
    // Counted only when it is really out of the list.
    result.code = !item->IsEnabled() && item->GetError() == AbstractGarbage::Error::OK ? 1 : 0;
    return result;
}

}  // namespace Varnex::Cleaner::Details
