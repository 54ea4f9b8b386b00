#include "Core/AbstractGarbageScope.h"

#include <glog/logging.h>

#include <algorithm>
#include <vector>

namespace Varnex::Cleaner {

namespace {

const int registeredReason = qRegisterMetaType<AbstractGarbageScope::FinishReason>("FinishReason");

const int timerIntervalMs = 40;

long long SelectedSize(const AbstractGarbage* item) {
    if (item->IsClean()) {
        return 0;
    }
    switch (item->GetCheckState()) {
        case AbstractGarbage::CHECKED:
            return item->GetSize();
        case AbstractGarbage::PARTLY_CHECKED: {
            long long sum = 0;
            for (const AbstractGarbage* child : item->GetChildren()) {
                sum += SelectedSize(child);
            }
            return sum;
        }
        default:
            return 0;
    }
}

std::pair<long long, long long> SelectedCount(const AbstractGarbage* item) {
    if (item->IsClean()) {
        return {0, 0};
    }
    const AbstractGarbage::CheckState state = item->GetCheckState();
    if (state != AbstractGarbage::CHECKED && state != AbstractGarbage::PARTLY_CHECKED) {
        return {0, 0};
    }
    const GarbageList children = item->GetChildren();
    if (state == AbstractGarbage::CHECKED && children.isEmpty()) {
        return {0, 1};
    }
    std::pair<long long, long long> sum{state == AbstractGarbage::CHECKED ? 1 : 0, 0};
    for (const AbstractGarbage* child : children) {
        const auto c = SelectedCount(child);
        sum.first += c.first;
        sum.second += c.second;
    }
    return sum;
}

}  // namespace

AbstractGarbageScope::AbstractGarbageScope(QObject* parent)
    : QObject(parent), m_exclusions(std::make_shared<const Exclusions>()) {
    Q_UNUSED(registeredReason);
    connect(
        this, &AbstractGarbageScope::ScanningStarted, this,
        [this](AbstractGarbageScope*) { m_containsError = false; }, Qt::DirectConnection);
    connect(
        this, &AbstractGarbageScope::ScanningFinished, this,
        [this](AbstractGarbageScope*, FinishReason reason) {
            m_wasScanned = true;
            LOG(INFO) << "SCANNING HAS FINISHED ("
                      << GetFinishReasonString(reason).toUpper().toStdString() << ")";
        },
        Qt::DirectConnection);
    connect(
        this, &AbstractGarbageScope::CleaningFinished, this,
        [](AbstractGarbageScope*, FinishReason reason) {
            LOG(INFO) << "CLEANING HAS FINISHED ("
                      << GetFinishReasonString(reason).toUpper().toStdString() << ")";
        },
        Qt::DirectConnection);
}

AbstractGarbageScope::~AbstractGarbageScope() = default;

QString AbstractGarbageScope::GetFinishReasonString(FinishReason reason) {
    switch (reason) {
        case DONE:
            return QStringLiteral("done");
        case CANCELED:
            return QStringLiteral("canceled");
        case FAILED:
            return QStringLiteral("failed");
    }
    return QStringLiteral("unknown");
}

long long AbstractGarbageScope::GetLastCleanedSize() const {
    return m_lastCleanedSize;
}

long long AbstractGarbageScope::GetSelectedSizeBeforeCleaning() const {
    return IsCleaning() ? m_selectedSizeBeforeCleaning : GetSelectedSize();
}

bool AbstractGarbageScope::AreAdminRightsRequired() const {
    return m_adminRightsRequired;
}

float AbstractGarbageScope::GetScanningProgress() const {
    long long units = 0;
    long long ready = 0;
    for (const AbstractGarbage* root : m_roots) {
        const GarbageList children = root->GetChildren();
        if (children.isEmpty() || root->IsReady()) {
            ++units;
            ready += root->IsReady() ? 1 : 0;
            continue;
        }
        for (const AbstractGarbage* child : children) {
            const GarbageList grandChildren = child->GetChildren();
            if (!grandChildren.isEmpty() && !child->IsReady()) {
                for (const AbstractGarbage* g : grandChildren) {
                    ++units;
                    ready += g->IsReady() ? 1 : 0;
                }
            } else {
                ++units;
                ready += child->IsReady() ? 1 : 0;
            }
        }
    }
    return units == 0 ? 0.0f : static_cast<float>(ready) / static_cast<float>(units);
}

float AbstractGarbageScope::GetCleaningProgress() const {
    // Measured against the selection taken when the run started: the current
    // selection falls as items become clean.
    if (m_selectedSizeBeforeCleaning < 1) {
        return 0.0f;
    }
    const float p =
        static_cast<float>(GetLastCleanedSize()) / static_cast<float>(m_selectedSizeBeforeCleaning);
    return std::clamp(p, 0.0f, 1.0f);
}

namespace {

bool HasNonAscii(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0x80; });
}

}  // namespace

void AbstractGarbageScope::Exclusions::Compose() {
    composed.clear();
    for (const QString& s : strings) {
        if (HasNonAscii(s)) {
            composed.append(s.normalized(QString::NormalizationForm_C));
        }
    }
}

bool AbstractGarbageScope::Exclusions::Match(const QString& path) const {
    for (const ExclusionChecker& checker : checkers) {
        if (checker(path)) {
            return true;
        }
    }
    for (const QString& s : strings) {
        if (path.contains(s)) {
            return true;
        }
    }
    if (composed.isEmpty() || !HasNonAscii(path)) {
        return false;
    }
    const QString nfc = path.normalized(QString::NormalizationForm_C);
    for (const QString& s : composed) {
        if (nfc.contains(s)) {
            return true;
        }
    }
    return false;
}

bool AbstractGarbageScope::IsExclusion(const QString& path) const {
    return ExclusionSnapshot()->Match(path);
}

AbstractGarbageScope::ExclusionChecker AbstractGarbageScope::GetExclusionTest() const {
    std::shared_ptr<const Exclusions> exclusions = ExclusionSnapshot();
    if (exclusions->checkers.isEmpty() && exclusions->strings.isEmpty()) {
        return {};
    }
    return [exclusions = std::move(exclusions)](const QString& path) {
        return exclusions->Match(path);
    };
}

void AbstractGarbageScope::WaitBeforeAppQuit() {}

bool AbstractGarbageScope::IsEmpty() const {
    return std::all_of(m_roots.begin(), m_roots.end(),
                       [](const AbstractGarbage* root) { return root->IsClean(); });
}

long long AbstractGarbageScope::GetSelectedSize() const {
    long long sum = 0;
    for (const AbstractGarbage* root : m_roots) {
        sum += SelectedSize(root);
    }
    return sum;
}

std::pair<long long, long long> AbstractGarbageScope::GetSelectedItemsCount() const {
    std::pair<long long, long long> sum{0, 0};
    for (const AbstractGarbage* root : m_roots) {
        const auto c = SelectedCount(root);
        sum.first += c.first;
        sum.second += c.second;
    }
    return sum;
}

void AbstractGarbageScope::SetCleaningWatcher(std::shared_ptr<ICleaningWatcher> watcher) {
    m_cleaningWatcher = std::move(watcher);
}

void AbstractGarbageScope::SetItemNameFilter(NameFilter filter, int fromDepth, int toDepth) {
    if (toDepth < 0) {
        m_itemNameFilters[-1] = filter;
    }
    if (fromDepth < 0) {
        fromDepth = 0;
    }
    if (toDepth >= 1 && fromDepth <= toDepth) {
        for (int depth = fromDepth; depth <= toDepth; ++depth) {
            m_itemNameFilters[depth] = filter;
        }
    } else {
        m_itemNameFilters[fromDepth] = filter;
    }
}

QString AbstractGarbageScope::GetItemName(AbstractGarbage* item) const {
    auto it = m_itemNameFilters.constFind(item->GetDepth());
    if (it == m_itemNameFilters.constEnd() || !*it) {
        it = m_itemNameFilters.constFind(-1);
    }
    if (it == m_itemNameFilters.constEnd() || !*it) {
        return item->GetName();
    }
    return (*it)(item);
}

void AbstractGarbageScope::AddExclusion(const QString& exclusion) {
    const std::shared_ptr<const Exclusions> current = ExclusionSnapshot();
    if (current->strings.contains(exclusion)) {
        return;
    }
    auto next = std::make_shared<Exclusions>(*current);
    next->strings.append(exclusion);
    next->Compose();
    SetExclusionSnapshot(std::move(next));
    emit ExclusionsChanged();
}

void AbstractGarbageScope::SetExclusions(const QStringList& exclusions) {
    const std::shared_ptr<const Exclusions> current = ExclusionSnapshot();
    if (current->strings == exclusions) {
        return;
    }
    auto next = std::make_shared<Exclusions>(*current);
    next->strings = exclusions;
    next->Compose();
    SetExclusionSnapshot(std::move(next));
    emit ExclusionsChanged();
}

QStringList AbstractGarbageScope::GetExclusions() const {
    return ExclusionSnapshot()->strings;
}

void AbstractGarbageScope::AddExclusionChecker(ExclusionChecker checker) {
    if (!checker) {
        LOG(ERROR) << "An empty exclusion checker was refused";
        return;
    }
    auto next = std::make_shared<Exclusions>(*ExclusionSnapshot());
    next->checkers.append(std::move(checker));
    SetExclusionSnapshot(std::move(next));
    emit ExclusionsChanged();
}

void AbstractGarbageScope::DoContinueScanning() {}

bool AbstractGarbageScope::CanContinueScanning() const {
    return false;
}

void AbstractGarbageScope::StartScanning() {
    DoStartScanning();
}

void AbstractGarbageScope::StopScanning() {
    DoStopScanning();
}

void AbstractGarbageScope::ContinueScanning() {
    DoContinueScanning();
}

bool AbstractGarbageScope::StartCleaning() {
    // Taken once per run: during a run the stored value is what progress is
    // measured against, and the falling selection must not replace it.
    if (!IsCleaning()) {
        m_selectedSizeBeforeCleaning = GetSelectedSize();
    }
    return DoStartCleaning();
}

void AbstractGarbageScope::StopCleaning() {
    DoStopCleaning();
}

void AbstractGarbageScope::AddRoot(AbstractGarbage* item) {
    item->setParent(this);
    m_roots.append(item);
}

void AbstractGarbageScope::NotifyChanged(AbstractGarbage* item) {
    if (!item) {
        return;
    }
    if (!m_containsError && item->GetError() != AbstractGarbage::Error::OK) {
        m_containsError = true;
    }
    emit ItemChanged(item);
}

bool AbstractGarbageScope::CheckCleanedSize(long long size) {
    if (!m_cleaningWatcher || m_cleaningWatcher->CheckCleanedSize(size)) {
        return true;
    }
    DoStopCleaning();
    return false;
}

void AbstractGarbageScope::StartScanningTimer() {
    if (m_scanningTimer != 0) {
        return;
    }
    m_scanningTimer = startTimer(timerIntervalMs, Qt::CoarseTimer);
    m_scanningStartTime = QDateTime::currentDateTime();
}

void AbstractGarbageScope::StopScanningTimer() {
    if (m_scanningTimer == 0) {
        return;
    }
    killTimer(m_scanningTimer);
    m_scanningTimer = 0;
    m_scanningStopTime = QDateTime::currentDateTime();
}

void AbstractGarbageScope::StartCleaningTimer() {
    if (m_cleaningTimer != 0) {
        return;
    }
    m_cleaningTimer = startTimer(timerIntervalMs, Qt::CoarseTimer);
    m_cleaningStartTime = QDateTime::currentDateTime();
}

void AbstractGarbageScope::StopCleaningTimer() {
    if (m_cleaningTimer == 0) {
        return;
    }
    killTimer(m_cleaningTimer);
    m_cleaningTimer = 0;
    m_cleaningStopTime = QDateTime::currentDateTime();
}

void AbstractGarbageScope::FinishScanning(FinishReason reason) {
    m_state = IDLE;
    StopScanningTimer();
    emit ScanningFinished(this, reason);
}

void AbstractGarbageScope::FinishCleaning(FinishReason reason) {
    m_state = IDLE;
    StopCleaningTimer();
    emit CleaningFinished(this, reason);
}

void AbstractGarbageScope::AbortCleaningRun() {
    DoStopCleaning();
    if (IsCleaning()) {
        FinishCleaning(CANCELED);
    }
}

void AbstractGarbageScope::EndRunsBeforeReset() {
    if (IsCleaning()) {
        AbortCleaningRun();
    }
    if (IsScanning()) {
        DoStopScanning();
        if (IsScanning()) {
            FinishScanning(CANCELED);
        }
    }
}

void AbstractGarbageScope::DeleteRoots() {
    const GarbageList roots = m_roots;
    m_roots.clear();
    if (IsApplyingBatch()) {
        for (AbstractGarbage* root : roots) {
            root->setParent(nullptr);
            root->deleteLater();
        }
        return;
    }
    qDeleteAll(roots);
}

std::shared_ptr<const AbstractGarbageScope::Exclusions> AbstractGarbageScope::ExclusionSnapshot()
    const {
    std::lock_guard<std::mutex> lock(m_exclusionsMutex);
    return m_exclusions;
}

void AbstractGarbageScope::SetExclusionSnapshot(std::shared_ptr<const Exclusions> exclusions) {
    std::lock_guard<std::mutex> lock(m_exclusionsMutex);
    m_exclusions = std::move(exclusions);
}

}  // namespace Varnex::Cleaner
