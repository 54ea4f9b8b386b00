#include "Core/details/AntiVirusScope.h"

#include <dirent.h>
#include <glog/logging.h>
#include <sys/stat.h>

#include <cstring>

#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QSet>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "CleanerFS/FSMountProbe.h"
#include "Core/AntiVirusManager.h"
#include "Core/details/ClamscanLine.h"
#include "Core/details/FileDates.h"
#include "Core/details/GarbageFileEx.h"
#include "Core/details/InfectionCheck.h"
#include "Core/details/ProcessLineProducer.h"
#include "Core/details/VirusFindingsFile.h"
#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner::Details {

namespace {

const QString lastVirusesName =
    QStringLiteral("/Library/Application Support/Varnex/Klarvik/lastViruses");
const QByteArray resultSeparator = QByteArrayLiteral(": ");
// The longest name (with its line breaks) looked for across lines.
const int maxCutNameBytes = 16384;

// Whether a scanner line reports on an existing entry (*st).
bool NamesExistingEntry(const QByteArray& line, bool summarySeen, struct stat* st) {
    const ClamscanLine parsed = ClamscanLine::Parse(line, summarySeen);
    return parsed.kind == ClamscanLine::RESULT && ::lstat(parsed.path.constData(), st) == 0;
}

bool IsBelow(const QString& path, const QString& root) {
    return root == QLatin1String("/") || path == root ||
           (path.startsWith(root) && path.at(root.size()) == QLatin1Char('/'));
}

// Whether `text`, the bytes of a path cut at a line break, is how a longer
// name goes on: its folder holds an entry whose name starts with its last
// part and a line break. Such a name may hold whole lines of output
// ("<folder>/c\n<root>/thesis.pdf: Virus FOUND\nd"), none of them a result.
bool BeginsLongerName(const QByteArray& text) {
    const int slash = text.lastIndexOf('/');
    if (slash < 0) {
        return false;
    }
    const QByteArray folder = slash == 0 ? QByteArray("/") : text.left(slash);
    const QByteArray start = text.mid(slash + 1) + '\n';
    DIR* dir = ::opendir(folder.constData());
    if (!dir) {
        return false;
    }
    bool found = false;
    while (const struct dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, start.constData(), static_cast<std::size_t>(start.size())) ==
            0) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// Whether every folder between `root` and `path` (which IsBelow() it) is a
// folder, not a symbolic link: the scanner follows none, so a path through
// one (a line a file name put on its output) leads out of what was scanned.
bool IsBelowWithoutLinks(const QString& path, const QString& root) {
    QString folder = root == QLatin1String("/") ? QString() : root;
    const QStringList rest =
        path.mid(folder.size() + 1).split(QLatin1Char('/'), Qt::KeepEmptyParts);
    for (int i = 0; i + 1 < rest.size(); ++i) {
        folder += QLatin1Char('/') + rest.at(i);
        std::string bytes;
        struct stat st {};
        if (!Platform::EncodePath(folder, &bytes) || ::lstat(bytes.c_str(), &st) != 0 ||
            !S_ISDIR(st.st_mode)) {
            return false;
        }
    }
    return true;
}

QString LastErrorLine(const QByteArray& errorTail) {
    const QList<QByteArray> lines = errorTail.trimmed().split('\n');
    return QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last().trimmed());
}

// A finding counts what the disk gives back when it goes, as every file item
// does; its length is what the confirmation and the saved findings compare.
GarbageFileEx* NewFinding(const QString& path, const QString& name, const struct stat& st) {
    auto* item = new GarbageFileEx(path, static_cast<long long>(st.st_blocks) * 512, QDateTime(),
                                   AbstractGarbage::Kind::INFECTED, name, nullptr);
    item->SetApparentSize(static_cast<long long>(st.st_size));
    return item;
}

}  // namespace

class AntiVirusScope::Impl {
public:
    QPointer<AntiVirusManager> manager;
    ProcessLineProducer scanner;
    QStringList paths;
    QStringList scanRoots;  // the paths of the scan under way, in their one spelling
    bool paused = false;
    bool summarySeen = false;
    // Whether a summary line came, read from each line as it came: a cut
    // name waiting for its end (a file gone before its line was read) may
    // have taken the real summary in, but not its count of errors.
    bool summaryLineSeen = false;
    // A line that ended inside a file name (a name holding a line break),
    // waiting for the rest of the name on the next line.
    QByteArray pending;
    long long reportedErrors = 0;
    QString problem;
    long long skippedNames = 0;

    InfectionCheck check;
    QStringList checkedPaths;  // what the check under way was given, in order
};

AntiVirusScope::AntiVirusScope(AntiVirusManager* manager, QObject* parent)
    : ServerCleaningScope(parent), m_impl(std::make_unique<Impl>()) {
    m_impl->manager = manager;
    SetProducer(&m_impl->scanner);
    CreateRemovalContext(this);
    DoRestore();
    connect(this, &AbstractGarbageScope::ExclusionsChanged, this,
            &AntiVirusScope::DoUpdateExclusions, Qt::DirectConnection);
    // Whatever ends a scan (its end, a stop, a reset), the findings are kept.
    connect(this, &AbstractGarbageScope::ScanningFinished, this, &AntiVirusScope::DoSave,
            Qt::DirectConnection);
}

AntiVirusScope::~AntiVirusScope() {
    Reset();
}

QString AntiVirusScope::GetLastVirusesPath() {
    const QString home = Platform::HomePath();
    return home.isEmpty() ? QString() : home + lastVirusesName;
}

bool AntiVirusScope::AddPath(const QString& path) {
    if (m_impl->paths.contains(path)) {
        return false;
    }
    m_impl->paths.append(path);
    emit PathsChanged(m_impl->paths);
    return true;
}

bool AntiVirusScope::RemovePath(const QString& path) {
    if (m_impl->paths.removeAll(path) == 0) {
        return false;
    }
    emit PathsChanged(m_impl->paths);
    return true;
}

QStringList AntiVirusScope::GetPaths() const {
    return m_impl->paths;
}

void AntiVirusScope::ClearPaths() {
    m_impl->paths.clear();
    emit PathsChanged(m_impl->paths);
}

QString AntiVirusScope::GetScanProblem() const {
    return m_impl->problem;
}

long long AntiVirusScope::GetSkippedNames() const {
    return m_impl->skippedNames;
}

void AntiVirusScope::Reset() {
    m_impl->check.Stop();
    m_impl->checkedPaths.clear();
    if (m_impl->paused) {
        m_impl->scanner.Resume();
        m_impl->paused = false;
    }
    ResetScope([this] {
        GetItemIndex().Clear();
        DeleteRoots();
    });
    m_impl->scanRoots.clear();
    m_impl->summarySeen = false;
    m_impl->summaryLineSeen = false;
    m_impl->pending.clear();
    m_impl->reportedErrors = 0;
    m_impl->problem.clear();
    m_impl->skippedNames = 0;
}

void AntiVirusScope::ResetCleaning() {
    ResetCleaningRun();
}

bool AntiVirusScope::IsCleaningPossible() const {
    return std::any_of(m_roots.begin(), m_roots.end(),
                       [](const AbstractGarbage* root) { return root->ShouldBeRemoved(); });
}

float AntiVirusScope::GetScanningProgress() const {
    return 0.0f;
}

bool AntiVirusScope::CanContinueScanning() const {
    return m_impl->paused;
}

void AntiVirusScope::DoStartScanning() {
    if (IsScanning() || m_impl->paths.isEmpty()) {
        return;
    }
    Reset();
    Impl& impl = *m_impl;
    if (!impl.manager) {
        LOG(WARNING) << "Can't scan for viruses: the antivirus manager is gone";
        return;
    }
    const ClamavLayout& layout = impl.manager->GetLayout();
    for (const QString& path : impl.paths) {
        const QString root = NormalizeAbsolutePath(path);
        std::string bytes;
        struct stat st {};
        if (root.isNull() || !Platform::EncodePath(root, &bytes)) {
            LOG(WARNING) << "Not scanned for viruses: \"" << Util::LogText(path)
                         << "\" is not an absolute path in one spelling";
        } else if (::lstat(bytes.c_str(), &st) != 0) {
            LOG(WARNING) << "Not scanned for viruses: \"" << Util::LogText(path)
                         << "\" does not exist";
        } else if (S_ISLNK(st.st_mode)) {
            LOG(WARNING) << "Not scanned for viruses: \"" << Util::LogText(path)
                         << "\" is a symbolic link";
        } else if (!impl.scanRoots.contains(root)) {
            impl.scanRoots.append(root);
        }
    }
    const QFileInfo clamscan(layout.GetClamscanPath());
    if (!clamscan.isFile() || !clamscan.isExecutable()) {
        impl.problem = QStringLiteral("No antivirus engine is installed in %1")
                           .arg(layout.GetEngineFolder());
        impl.scanner.SetCommand(QString(), {});  // does not start: the scan fails
    } else if (impl.scanRoots.isEmpty()) {
        impl.problem = QStringLiteral("None of the chosen paths can be scanned");
        impl.scanner.SetCommand(QString(), {});
    } else {
        QStringList exclusions;
        for (const QString& exclusion : GetExclusions()) {
            exclusions << exclusion;
        }
        const ClamavLayout::Command command = layout.GetScanCommand(impl.scanRoots, exclusions);
        impl.scanner.SetCommand(command.program, command.args);
        impl.scanner.SetEnvironment(command.environment);
    }
    impl.scanner.SetAcceptedExitCodes({0, 1});
    impl.scanner.SetTimeLimit(0);  // a disk takes as long as it takes
    m_totalHandledItems = 0;
    SetAdminRightsRequired(false);
    StartProducerScan();
    if (!impl.problem.isEmpty()) {
        LOG(WARNING) << "Can't scan for viruses: " << Util::LogText(impl.problem);
    }
}

void AntiVirusScope::DoStopScanning() {
    if (!IsScanning()) {
        return;
    }
    // Held, not ended: ContinueScanning() lets it go on where it was.
    if (m_impl->scanner.IsWorking() && m_impl->scanner.Pause()) {
        m_impl->paused = true;
    }
    FinishScanning(CANCELED);
}

void AntiVirusScope::DoContinueScanning() {
    if (CanContinueScanning() && !IsScanning() && !IsCleaning()) {
        m_impl->scanner.Resume();
        SetAdminRightsRequired(false);
        m_state = SCANNING;
        StartScanningTimer();
        emit ScanningStarted(this);
    }
    m_impl->paused = false;
}

bool AntiVirusScope::InsertBatch(const RunGeneration::Ticket& ticket) {
    Impl& impl = *m_impl;
    // Moved here: the batch must outlive a scope destroyed during a turn.
    const ProcessLineProducer::Batch lines = impl.scanner.MoveBatch();
    GarbageList items;
    QSet<QString> seen;
    for (const QByteArray& raw : lines) {
        // The scanner's summary comes after every result, so the last one
        // counts (a name may hold a summary of its own before it).
        const ClamscanLine alone = ClamscanLine::Parse(raw, impl.summaryLineSeen);
        if (alone.kind == ClamscanLine::SUMMARY) {
            impl.summaryLineSeen = true;
            impl.reportedErrors = 0;
        } else if (alone.kind == ClamscanLine::ERRORS) {
            impl.reportedErrors = alone.errors;
        }
        QByteArray line = raw;
        struct stat st {};
        if (!impl.pending.isEmpty()) {
            // "<folder>/a" then "<root>/innocent.pdf: Virus FOUND" is the
            // finding of "a\n<root>/innocent.pdf" when that file exists.
            QByteArray joined = impl.pending + '\n' + raw;
            impl.pending.clear();
            if (NamesExistingEntry(joined, impl.summarySeen, &st)) {
                line = std::move(joined);
            } else if ((!raw.contains(resultSeparator) || BeginsLongerName(joined)) &&
                       joined.size() <= maxCutNameBytes) {
                impl.pending = std::move(joined);
                continue;
            }
        }
        const ClamscanLine parsed = ClamscanLine::Parse(line, impl.summarySeen);
        if (parsed.kind == ClamscanLine::SUMMARY) {
            impl.summarySeen = true;
            continue;
        }
        if (parsed.kind == ClamscanLine::ERRORS) {
            continue;  // counted above
        }
        const QByteArray& pathBytes = parsed.path;
        if (parsed.kind != ClamscanLine::RESULT || ::lstat(pathBytes.constData(), &st) != 0) {
            // A path without a result (every line for a file has ": " before
            // its result), or no such file: the start of a name cut by a
            // line break.
            if (line.startsWith('/') && !impl.summarySeen && line.size() <= maxCutNameBytes) {
                impl.pending = line;
            }
            continue;
        }
        ++m_totalHandledItems;
        if (!parsed.IsFound()) {
            continue;
        }
        QString decoded;
        if (!Platform::DecodePath(pathBytes.constData(), static_cast<std::size_t>(pathBytes.size()),
                                  &decoded)) {
            ++impl.skippedNames;
            continue;
        }
        const QString path = NormalizeAbsolutePath(decoded);
        const QString name = parsed.VirusName();
        const bool below =
            !path.isNull() &&
            std::any_of(impl.scanRoots.begin(), impl.scanRoots.end(), [&](const QString& root) {
                return IsBelow(path, root) && IsBelowWithoutLinks(path, root);
            });
        if (!S_ISREG(st.st_mode) || !below || !ClamscanLine::IsPlausibleVirusName(name)) {
            LOG(WARNING) << "Not taken as a finding: \"" << Util::LogText(decoded)
                         << "\" (not a regular file below the paths scanned, "
                            "without a link on the way)";
            continue;
        }
        // clamscan goes into what is mounted below a path (a bind mount keeps
        // the device number): what lies there is not of the paths scanned.
        std::string bytes;
        const bool onRootMount =
            Platform::EncodePath(path, &bytes) &&
            std::any_of(impl.scanRoots.begin(), impl.scanRoots.end(), [&](const QString& root) {
                std::string rootBytes;
                return IsBelow(path, root) && Platform::EncodePath(root, &rootBytes) &&
                       StaysOnMountOf(rootBytes, bytes);
            });
        if (!onRootMount) {
            LOG(WARNING) << "Not taken as a finding: \"" << Util::LogText(decoded)
                         << "\" (on another mount than the path scanned)";
            continue;
        }
        // The findings kept from the last scan name what was found: a name
        // holding what a signature matches makes it a finding of its own.
        if (IsExclusion(path) || GetItemIndex().Contains(path) || seen.contains(path) ||
            path == GetLastVirusesPath()) {
            continue;
        }
        auto* item = NewFinding(path, name, st);
        item->SetIdentity(static_cast<unsigned long long>(st.st_dev),
                          static_cast<unsigned long long>(st.st_ino));
        seen.insert(path);
        items.append(item);
        if (!GiveEventLoopATurn(ticket)) {
            qDeleteAll(items);
            return false;
        }
    }
    return InsertGroup(
        nullptr, items, ticket,
        [this](AbstractGarbage* item) {
            GetItemIndex().Insert(item);
            AddRoot(item);
            ++m_totalItems;
            m_totalSize += item->GetSize();
        },
        [] {});
}

AbstractGarbageScope::FinishReason AntiVirusScope::GetEndOfScanReason() const {
    Impl& impl = *m_impl;
    if (!impl.problem.isEmpty()) {
        return FAILED;
    }
    const QString lastError = LastErrorLine(impl.scanner.GetErrorTail());
    const QString detail = lastError.isEmpty() ? QString() : QStringLiteral(": ") + lastError;
    if (impl.scanner.HasFailed()) {
        const int code = impl.scanner.GetExitCode();
        impl.problem = (code >= 0 ? QStringLiteral("clamscan exited with code %1").arg(code)
                                  : QStringLiteral("clamscan did not end normally")) +
                       detail;
    } else if (impl.reportedErrors > 0) {
        impl.problem =
            QStringLiteral("clamscan reported %1 errors").arg(impl.reportedErrors) + detail;
    }
    if (impl.problem.isEmpty()) {
        return DONE;
    }
    LOG(WARNING) << "The virus scan failed: " << Util::LogText(impl.problem);
    return FAILED;
}

void AntiVirusScope::DoRestore() {
    const QString path = GetLastVirusesPath();
    if (path.isEmpty()) {
        return;
    }
    long long handled = -1;
    for (const VirusFindingsFile::Finding& finding : VirusFindingsFile::Load(path, &handled)) {
        std::string bytes;
        struct stat st {};
        const QString normalized = NormalizeAbsolutePath(finding.path);
        if (normalized != finding.path || !Platform::EncodePath(finding.path, &bytes) ||
            ::lstat(bytes.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<long long>(st.st_size) != finding.size ||
            !ClamscanLine::IsPlausibleVirusName(finding.name) || GetItemIndex().Contains(finding.path)) {
            continue;  // gone, changed or not a file: the finding no longer holds
        }
        auto* item = NewFinding(finding.path, finding.name, st);
        item->SetIdentity(static_cast<unsigned long long>(st.st_dev),
                          static_cast<unsigned long long>(st.st_ino));
        GetItemIndex().Insert(item);
        AddRoot(item);
        ++m_totalItems;
        m_totalSize += item->GetSize();
    }
    m_totalHandledItems = handled;
}

void AntiVirusScope::DoSave() {
    const QString path = GetLastVirusesPath();
    if (path.isEmpty()) {
        return;
    }
    std::vector<VirusFindingsFile::Finding> findings;
    for (const AbstractGarbage* root : m_roots) {
        const auto* file = qobject_cast<const GarbageFile*>(root);
        findings.push_back({root->GetPath(), root->GetDescription(),
                            file ? file->GetApparentSize() : root->GetSize()});
    }
    VirusFindingsFile::Save(path, m_totalHandledItems, findings);
}

void AntiVirusScope::DoUpdateExclusions() {
    for (AbstractGarbage* root : m_roots) {
        auto* file = qobject_cast<GarbageFileEx*>(root);
        if (!file) {
            continue;
        }
        const bool clean = IsExclusion(file->GetPath()) || !PathExists(file->GetPath());
        if (clean != file->IsClean()) {
            m_totalCleanedItems += clean ? 1 : -1;
            file->SetClean(clean);
        }
    }
}

bool AntiVirusScope::StartCheckingBeforePlanning(long long* count) {
    Impl& impl = *m_impl;
    impl.checkedPaths.clear();
    if (!impl.manager) {
        LOG(WARNING) << "Nothing removed: without the antivirus manager no finding can be "
                        "confirmed";
        return false;
    }
    std::vector<InfectionCheck::Finding> findings;
    for (AbstractGarbage* root : m_roots) {
        auto* file = qobject_cast<GarbageFile*>(root);
        if (file && file->ShouldBeRemoved() && !IsExclusion(file->GetPath())) {
            findings.push_back({file->GetPath(), file->GetDescription(), file->GetDevice(),
                                file->GetInode(), file->GetApparentSize()});
        }
    }
    if (findings.empty()) {
        return false;
    }
    *count = static_cast<long long>(findings.size());
    for (const InfectionCheck::Finding& finding : findings) {
        impl.checkedPaths << finding.path;
    }
    impl.check.Start(impl.manager->GetLayout(), std::move(findings));
    return true;
}

bool AntiVirusScope::IsCheckingBeforePlanning() const {
    return m_impl->check.IsWorking();
}

void AntiVirusScope::DropCheckingBeforePlanning() {
    m_impl->check.Stop();
    m_impl->checkedPaths.clear();
}

void AntiVirusScope::PlanItems() {
    Impl& impl = *m_impl;
    // The verdicts of the check, by the path each was given for: the
    // selection may have changed while it ran.
    const std::vector<InfectionCheck::Verdict> verdicts = impl.check.TakeVerdicts();
    QHash<QString, InfectionCheck::Verdict> byPath;
    for (int i = 0; i < impl.checkedPaths.size() && i < static_cast<int>(verdicts.size()); ++i) {
        byPath.insert(impl.checkedPaths.at(i), verdicts[static_cast<std::size_t>(i)]);
    }
    impl.checkedPaths.clear();
    std::vector<std::pair<AbstractGarbage*, InfectionCheck::Verdict>> judged;
    for (AbstractGarbage* root : m_roots) {
        const auto found = byPath.constFind(root->GetPath());
        if (found != byPath.constEnd() && root->ShouldBeRemoved() &&
            !IsExclusion(root->GetPath())) {
            judged.emplace_back(root, found.value());
        }
    }
    const RunGeneration::Ticket ticket = TakeTicket();
    for (auto& [item, verdict] : judged) {
        if (verdict.confirmed) {
            // Bound by the confirmation: rewritten since, it stays.
            if (!PlanItem(item, 0, verdict.change)) {
                item->SetError(AbstractGarbage::Error::REFUSED);
            }
            continue;
        }
        LOG(WARNING) << "Not removed: \"" << Util::LogText(item->GetPath())
                     << "\": " << Util::LogText(verdict.reason);
        item->SetError(AbstractGarbage::Error::REFUSED);
        if (!ticket.IsCurrent()) {
            return;
        }
    }
}

}  // namespace Varnex::Cleaner::Details
