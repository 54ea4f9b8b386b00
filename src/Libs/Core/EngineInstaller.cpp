#include "Core/EngineInstaller.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QSet>
#include <QTimer>
#include <string>
#include <vector>

#include "CleanerCommon/LogText.h"
#include "CleanerCommon/ProtectedFolders.h"
#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSCleanerSupport.h"
#include "CleanerFS/FSTreeRemover.h"
#include "Core/EngineVersion.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

namespace {

const char engineName[] = "engine";
const char previousEngineName[] = "previous-engine";
const char stagingPrefix[] = ".staging-";
// What a listing of tar may print, and how much of its error output is kept.
const int listingLimitBytes = 16 << 20;
const int errorTailBytes = 4096;
// Bounds of the examination of the unpacked folder.
const int treeDepthLimit = 64;
const int treeEntryLimit = 200000;
const int versionFileLimitBytes = 256;

QString ErrnoString(int err) {
    return QString::fromStdString(ErrnoText(err));
}

QString Shown(const QString& path) {
    return QString::fromStdString(ShownPath(path));
}

QString Shown(const QByteArray& bytes) {
    return QString::fromStdString(EscapeForLog(bytes.toStdString()));
}

QString RandomName() {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString name = QString::fromLatin1(stagingPrefix);
    for (int i = 0; i < 12; ++i) {
        name += QLatin1Char(alphabet[QRandomGenerator::system()->bounded(36)]);
    }
    return name;
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool IsSafeComponent(const QByteArray& part) {
    return !part.isEmpty() && part != "." && part != "..";
}

// A link's target stays inside the top folder, judged by its names: relative,
// ".." only at its start (before any name; so no link already followed is
// climbed out of) and never above the top. `depth` is how far below the top
// the link's folder lies.
bool LinkStaysInside(std::size_t depth, const std::string& target) {
    if (target.empty() || target[0] == '/') {
        return false;
    }
    std::size_t level = depth;
    bool descended = false;
    std::size_t begin = 0;
    while (begin <= target.size()) {
        std::size_t end = target.find('/', begin);
        if (end == std::string::npos) {
            end = target.size();
        }
        const std::string part = target.substr(begin, end - begin);
        begin = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (descended || level == 0) {
                return false;
            }
            --level;
        } else {
            descended = true;
        }
    }
    return true;
}

// Walks the folder `dirFd` (at `rel` below the top, `depth` levels down)
// without following links; false with *why at the first entry not allowed.
bool CheckTree(int dirFd, const std::string& rel, std::size_t depth, int* entries,
               std::string* why) {
    if (depth > static_cast<std::size_t>(treeDepthLimit)) {
        *why = "folders nested too deep at \"" + EscapeForLog(rel) + "\"";
        return false;
    }
    const int listFd = ::dup(dirFd);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        const int err = errno;
        if (listFd >= 0) {
            ::close(listFd);
        }
        *why = "cannot read the folder \"" + EscapeForLog(rel) + "\": " + ErrnoText(err);
        return false;
    }
    bool ok = true;
    while (ok) {
        errno = 0;
        const struct dirent* entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0) {
                *why = "cannot read the folder \"" + EscapeForLog(rel) + "\": " + ErrnoText(errno);
                ok = false;
            }
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string path = rel + "/" + name;
        if (++*entries > treeEntryLimit) {
            *why = "more than " + std::to_string(treeEntryLimit) + " entries";
            ok = false;
            break;
        }
        struct stat st;
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            *why = "cannot examine \"" + EscapeForLog(path) + "\": " + ErrnoText(errno);
            ok = false;
        } else if (S_ISDIR(st.st_mode)) {
            const int childFd =
                ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childFd < 0) {
                *why = "cannot open the folder \"" + EscapeForLog(path) + "\": " + ErrnoText(errno);
                ok = false;
            } else {
                ok = CheckTree(childFd, path, depth + 1, entries, why);
                ::close(childFd);
            }
        } else if (S_ISLNK(st.st_mode)) {
            std::vector<char> target(static_cast<std::size_t>(PATH_MAX) + 1);
            const ssize_t n = ::readlinkat(dirFd, name.c_str(), target.data(), target.size());
            if (n < 0 || static_cast<std::size_t>(n) >= target.size()) {
                *why = "cannot read the link \"" + EscapeForLog(path) + "\"";
                ok = false;
            } else {
                const std::string text(target.data(), static_cast<std::size_t>(n));
                if (!LinkStaysInside(depth, text)) {
                    *why = "the symbolic link \"" + EscapeForLog(path) + "\" points to \"" +
                           EscapeForLog(text) + "\", outside the engine's folder";
                    ok = false;
                }
            }
        } else if (!S_ISREG(st.st_mode)) {
            *why = "\"" + EscapeForLog(path) + "\" is a device, FIFO or socket";
            ok = false;
        }
    }
    ::closedir(dir);
    return ok;
}

}  // namespace

EngineInstaller::EngineInstaller(QNetworkAccessManager* network, QObject* parent)
    : QObject(parent), m_network(network) {}

EngineInstaller::~EngineInstaller() {
    if (m_phase == Phase::Idle) {
        return;
    }
    LOG(WARNING) << "The antivirus engine installation is stopped: its installer goes away";
    DropReply();
    if (m_process) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(5000);
        delete m_process;
        m_process = nullptr;
    }
    CloseArchive();
    QString why;
    if (!RemoveStaging(&why)) {
        LOG(ERROR) << why.toStdString();
    }
    CloseFds();
}

bool EngineInstaller::IsSafeVersion(const QString& version) {
    return EngineVersion::IsSafe(version);
}

bool EngineInstaller::Start(const QUrl& url, const QString& prefix, const QString& version) {
    if (m_phase != Phase::Idle) {
        LOG(WARNING) << "Can't update the antivirus engine: an installation is already running";
        return false;
    }
    if (!m_network) {
        LOG(WARNING) << "Can't update the antivirus engine: there is no network access";
        return false;
    }
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        LOG(WARNING) << "Can't update the antivirus engine: the engine URL isn't valid ("
                     << Util::LogText(url.toString()) << ")";
        return false;
    }
    if (!IsSafeVersion(version)) {
        LOG(WARNING) << "Can't update the antivirus engine: the version " << Util::LogText(version)
                     << " is not a safe name";
        return false;
    }
    if (!QDir::isAbsolutePath(prefix)) {
        LOG(WARNING) << "Can't update the antivirus engine: the folder " << Util::LogText(prefix)
                     << " is not an absolute path";
        return false;
    }
    const QString cleanPrefix = QDir::cleanPath(prefix);
    std::string prefixBytes;
    if (!Platform::EncodePath(cleanPrefix, &prefixBytes) || !QDir().mkpath(cleanPrefix)) {
        LOG(WARNING) << "Can't update the antivirus engine: cannot make the folder "
                     << Util::LogText(cleanPrefix);
        return false;
    }
    m_prefixFd = ::open(prefixBytes.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_prefixFd < 0) {
        LOG(WARNING) << "Can't update the antivirus engine: cannot open the folder "
                     << Util::LogText(cleanPrefix) << " (a link?): " << ErrnoText(errno);
        return false;
    }
    QString stagingName;
    for (int attempt = 0; attempt < 16 && stagingName.isEmpty(); ++attempt) {
        const QString name = RandomName();
        if (::mkdirat(m_prefixFd, name.toLatin1().constData(), 0700) == 0) {
            stagingName = name;
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (stagingName.isEmpty()) {
        LOG(WARNING) << "Can't update the antivirus engine: cannot make a staging folder in "
                     << Util::LogText(cleanPrefix) << ": " << ErrnoText(errno);
        CloseFds();
        return false;
    }
    m_stagingName = stagingName;
    m_prefix = cleanPrefix;
    m_stagingPath = cleanPrefix + QLatin1Char('/') + stagingName;
    m_version = version;
    m_topName = QStringLiteral("av-") + version;
    const QString archiveName = m_topName + QStringLiteral(".tgz");
    m_archivePath = m_stagingPath + QLatin1Char('/') + archiveName;
    m_stagingFd = ::openat(m_prefixFd, stagingName.toLatin1().constData(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_stagingFd >= 0) {
        m_archiveFd = ::openat(m_stagingFd, archiveName.toLatin1().constData(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (m_archiveFd < 0) {
        LOG(WARNING) << "Can't update the antivirus engine: cannot make the archive file "
                     << Util::LogText(m_archivePath) << ": " << ErrnoText(errno);
        QString why;
        if (!RemoveStaging(&why)) {
            LOG(ERROR) << why.toStdString();
        }
        CloseFds();
        return false;
    }

    m_stop = Stop::None;
    m_stopProblem.clear();
    m_received = 0;
    m_phase = Phase::Downloading;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    m_reply = m_network->get(request);
    // The body is taken as it comes; the reply keeps at most this much.
    m_reply->setReadBufferSize(1 << 20);
    connect(m_reply, &QNetworkReply::readyRead, this, &EngineInstaller::OnReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &EngineInstaller::OnReplyFinished);
    connect(m_reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        emit DownloadProgress(received, total > 0 ? total : -1);
    });
    LOG(INFO) << "Downloading the antivirus engine " << Util::LogText(version) << " from "
              << Util::LogText(url.toString()) << " into " << Util::LogText(m_stagingPath);
    return true;
}

void EngineInstaller::Cancel() {
    if (m_phase == Phase::Idle || m_stop != Stop::None) {
        return;
    }
    LOG(INFO) << "The antivirus engine installation has been canceled";
    if (m_phase == Phase::Downloading) {
        DropReply();
        Complete(false, true, QStringLiteral("canceled"));
        return;
    }
    // tar is stopped; the staging folder goes once it has exited.
    m_stop = Stop::Canceled;
    m_stopProblem = QStringLiteral("canceled");
    if (!m_process) {
        Complete(false, true, m_stopProblem);  // between the download and tar
        return;
    }
    m_process->kill();
}

bool EngineInstaller::CheckAnswer() {
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 200) {
        const QString reason =
            m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        Fail(QStringLiteral("the server answered HTTP %1 (%2)")
                 .arg(status.toInt())
                 .arg(Shown(reason.toUtf8())));
        return false;
    }
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > archiveLimitBytes) {
        Fail(QStringLiteral("the archive is too large (%1 bytes announced, at most %2)")
                 .arg(length.toLongLong())
                 .arg(archiveLimitBytes));
        return false;
    }
    return true;
}

void EngineInstaller::OnReadyRead() {
    if (!m_reply || !CheckAnswer()) {
        return;
    }
    WriteChunk(m_reply->readAll());
}

bool EngineInstaller::WriteChunk(const QByteArray& data) {
    if (m_received + data.size() > archiveLimitBytes) {
        Fail(QStringLiteral("the archive is larger than %1 bytes").arg(archiveLimitBytes));
        return false;
    }
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(m_archiveFd, p, static_cast<std::size_t>(left));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            Fail(QStringLiteral("cannot write the archive %1: %2")
                     .arg(Shown(m_archivePath),
                          n < 0 ? ErrnoString(errno) : QStringLiteral("nothing written")));
            return false;
        }
        p += n;
        left -= n;
        m_received += n;
    }
    return true;
}

void EngineInstaller::OnReplyFinished() {
    if (!m_reply) {
        return;
    }
    QNetworkReply* reply = m_reply;
    if (!CheckAnswer()) {
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        Fail(QStringLiteral("the download failed: %1").arg(reply->errorString()));
        return;
    }
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
        Fail(QStringLiteral("the server gave no HTTP status"));
        return;
    }
    if (!WriteChunk(reply->readAll())) {
        return;
    }
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && m_received != length.toLongLong()) {
        Fail(QStringLiteral("the download was cut: %1 of %2 bytes arrived")
                 .arg(m_received)
                 .arg(length.toLongLong()));
        return;
    }
    if (m_received == 0) {
        Fail(QStringLiteral("the server sent an empty archive"));
        return;
    }
    DropReply();
    const int err = ::close(m_archiveFd) == 0 ? 0 : errno;
    m_archiveFd = -1;
    if (err != 0) {
        Fail(QStringLiteral("cannot write the archive %1: %2")
                 .arg(Shown(m_archivePath), ErrnoString(err)));
        return;
    }
    LOG(INFO) << "The antivirus engine has been downloaded (" << m_received << " bytes)";
    m_phase = Phase::Listing;
    emit UnpackingStarted();
    if (m_phase != Phase::Listing || m_process || m_stop != Stop::None) {
        return;  // canceled (or started anew) from a slot
    }
    StartTar(Phase::Listing, {QStringLiteral("-tzf"), m_archivePath});
}

void EngineInstaller::StartTar(Phase phase, const QStringList& args) {
    m_phase = phase;
    m_tarOutput.clear();
    m_tarErrors.clear();
    m_tarOutputTooLong = false;
    m_process = new QProcess(this);
    m_process->setProgram(QStringLiteral("tar"));
    m_process->setArguments(args);
    m_process->setStandardInputFile(QProcess::nullDevice());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    m_process->setProcessEnvironment(env);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &EngineInstaller::OnTarOutput);
    connect(m_process, &QProcess::readyReadStandardError, this, &EngineInstaller::OnTarOutput);
    connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this](int code, QProcess::ExitStatus status) {
                OnTarFinished(code, status != QProcess::NormalExit);
            });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            // No finished() follows.
            DropProcess();
            if (m_stop != Stop::None) {
                Complete(false, m_stop == Stop::Canceled, m_stopProblem);
            } else {
                Fail(QStringLiteral("tar could not be started (is it installed?)"));
            }
        }
    });
    m_tarTimer = new QTimer(this);
    m_tarTimer->setSingleShot(true);
    connect(m_tarTimer, &QTimer::timeout, this, [this] {
        if (m_process && m_stop == Stop::None) {
            m_stop = Stop::Failed;
            m_stopProblem =
                QStringLiteral("tar did not finish within %1 s").arg(tarTimeLimitMs / 1000);
            m_process->kill();
        }
    });
    m_tarTimer->start(tarTimeLimitMs);
    m_process->start(QIODevice::ReadOnly);
}

void EngineInstaller::OnTarOutput() {
    if (!m_process) {
        return;
    }
    const QByteArray out = m_process->readAllStandardOutput();
    if (m_phase == Phase::Listing && !m_tarOutputTooLong) {
        if (m_tarOutput.size() + out.size() > listingLimitBytes) {
            m_tarOutputTooLong = true;
            m_tarOutput.clear();
            if (m_stop == Stop::None) {
                m_stop = Stop::Failed;
                m_stopProblem = QStringLiteral("the archive's listing is longer than %1 bytes")
                                    .arg(listingLimitBytes);
                m_process->kill();
            }
        } else {
            m_tarOutput += out;
        }
    }
    m_tarErrors += m_process->readAllStandardError();
    if (m_tarErrors.size() > errorTailBytes) {
        m_tarErrors = m_tarErrors.right(errorTailBytes);
    }
}

void EngineInstaller::OnTarFinished(int exitCode, bool crashed) {
    if (!m_process) {
        return;
    }
    OnTarOutput();
    DropProcess();
    if (m_stop != Stop::None) {
        if (m_stop == Stop::Canceled) {
            Complete(false, true, m_stopProblem);
        } else {
            Fail(m_stopProblem);
        }
        return;
    }
    if (crashed || exitCode != 0) {
        const QString what =
            m_phase == Phase::Listing ? QStringLiteral("read") : QStringLiteral("unpack");
        Fail(QStringLiteral("tar could not %1 the archive (%2): %3")
                 .arg(what,
                      crashed ? QStringLiteral("killed")
                              : QStringLiteral("exit code %1").arg(exitCode),
                      Shown(m_tarErrors.trimmed())));
        return;
    }
    if (m_phase == Phase::Listing) {
        OnListed();
    } else {
        OnExtracted();
    }
}

bool EngineInstaller::CheckListing(QString* why) const {
    const QByteArray top = m_topName.toLatin1();
    QSet<QByteArray> names;
    QSet<QByteArray> leaves;  // members that are not folders
    const QList<QByteArray> lines = m_tarOutput.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray name = lines[i];
        if (name.isEmpty() && i == lines.size() - 1) {
            break;
        }
        const bool isFolder = name.endsWith('/');
        if (isFolder) {
            name.chop(1);
        }
        if (name.startsWith('/')) {
            *why = QStringLiteral("the member \"%1\" has an absolute name").arg(Shown(lines[i]));
            return false;
        }
        const QList<QByteArray> parts = name.split('/');
        for (const QByteArray& part : parts) {
            if (!IsSafeComponent(part)) {
                *why = QStringLiteral("the member \"%1\" has an empty, \".\" or \"..\" part")
                           .arg(Shown(lines[i]));
                return false;
            }
        }
        if (parts.first() != top) {
            *why = QStringLiteral("the member \"%1\" lies outside the folder \"%2/\"")
                       .arg(Shown(lines[i]), m_topName);
            return false;
        }
        names.insert(name);
        if (!isFolder) {
            leaves.insert(name);
        }
    }
    if (names.isEmpty()) {
        *why = QStringLiteral("the archive is empty");
        return false;
    }
    // A member below a file or a link would be written through that link.
    for (const QByteArray& name : qAsConst(names)) {
        for (int slash = name.indexOf('/'); slash > 0; slash = name.indexOf('/', slash + 1)) {
            if (leaves.contains(name.left(slash))) {
                *why = QStringLiteral("the member \"%1\" lies below \"%2\", which is no folder")
                           .arg(Shown(name), Shown(name.left(slash)));
                return false;
            }
        }
    }
    return true;
}

void EngineInstaller::OnListed() {
    QString why;
    const bool ok = CheckListing(&why);
    m_tarOutput.clear();
    if (!ok) {
        Fail(QStringLiteral("the archive is not a safe engine archive: ") + why);
        return;
    }
    StartTar(Phase::Extracting, {QStringLiteral("-xzf"), m_archivePath, QStringLiteral("-C"),
                                 m_stagingPath, QStringLiteral("--no-same-owner")});
}

bool EngineInstaller::CheckLayout(int topFd, QString* why) const {
    const int binFd = ::openat(topFd, "bin", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (binFd < 0) {
        *why = QStringLiteral("it has no folder bin");
        return false;
    }
    for (const char* tool : {"clamscan", "freshclam"}) {
        struct stat st;
        if (::fstatat(binFd, tool, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            (st.st_mode & S_IXUSR) == 0) {
            ::close(binFd);
            *why = QStringLiteral("bin/%1 is missing or not an executable file")
                       .arg(QLatin1String(tool));
            return false;
        }
    }
    ::close(binFd);
    const int versionFd =
        ::openat(topFd, "version", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (versionFd < 0 || ::fstat(versionFd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > versionFileLimitBytes) {
        if (versionFd >= 0) {
            ::close(versionFd);
        }
        *why = QStringLiteral("its file \"version\" is missing or not a small file");
        return false;
    }
    char buffer[versionFileLimitBytes + 1];
    ssize_t n;
    do {
        n = ::read(versionFd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    ::close(versionFd);
    const QByteArray text =
        n > 0 ? QByteArray(buffer, static_cast<int>(n)).trimmed() : QByteArray();
    if (text != m_version.toLatin1()) {
        *why = QStringLiteral("its file \"version\" says \"%1\", not \"%2\"")
                   .arg(Shown(text.left(64)), m_version);
        return false;
    }
    return true;
}

void EngineInstaller::OnExtracted() {
    const QByteArray top = m_topName.toLatin1();
    const int topFd =
        ::openat(m_stagingFd, top.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (topFd < 0) {
        Fail(
            QStringLiteral("the archive left no folder %1: %2").arg(m_topName, ErrnoString(errno)));
        return;
    }
    std::string why;
    int entries = 0;
    QString layoutWhy;
    const bool treeOk = CheckTree(topFd, top.toStdString(), 0, &entries, &why);
    const bool layoutOk = treeOk && CheckLayout(topFd, &layoutWhy);
    ::close(topFd);
    if (!treeOk) {
        Fail(QStringLiteral("the unpacked engine is not safe: ") + QString::fromStdString(why));
        return;
    }
    if (!layoutOk) {
        Fail(QStringLiteral("the unpacked folder is no engine %1: ").arg(m_version) + layoutWhy);
        return;
    }
    Swap();
}

void EngineInstaller::Swap() {
    const QString enginePath = m_prefix + QLatin1Char('/') + QLatin1String(engineName);
    struct stat st;
    bool hadEngine = true;
    if (::fstatat(m_prefixFd, engineName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int err = errno;
        if (err != ENOENT) {
            Fail(QStringLiteral("cannot examine %1: %2").arg(Shown(enginePath), ErrnoString(err)));
            return;
        }
        hadEngine = false;
    }
    if (hadEngine && ::renameat(m_prefixFd, engineName, m_stagingFd, previousEngineName) != 0) {
        const int err = errno;
        Fail(QStringLiteral("cannot move the installed engine %1 aside: %2")
                 .arg(Shown(enginePath), ErrnoString(err)));
        return;
    }
    if (::renameat(m_stagingFd, m_topName.toLatin1().constData(), m_prefixFd, engineName) != 0) {
        const int err = errno;
        const QString problem = QStringLiteral("cannot move the new engine to %1: %2")
                                    .arg(Shown(enginePath), ErrnoString(err));
        if (hadEngine && ::renameat(m_stagingFd, previousEngineName, m_prefixFd, engineName) != 0) {
            // The staging folder holds the only engine now: it stays.
            const int backErr = errno;
            LOG(ERROR) << "The installed antivirus engine could not be put back: it is left at "
                       << Util::LogText(m_stagingPath + QLatin1Char('/') +
                                        QLatin1String(previousEngineName))
                       << " (" << ErrnoText(backErr) << ")";
            LOG(WARNING) << "The antivirus engine was not installed: " << Util::LogText(problem);
            CloseFds();
            m_stagingName.clear();
            m_phase = Phase::Idle;
            emit Finished(
                false, false,
                problem + QStringLiteral("; the previous engine is left in ") + m_stagingPath);
            return;
        }
        Fail(problem);
        return;
    }
    LOG(INFO) << "The antivirus engine " << Util::LogText(m_version) << " is installed in "
              << Util::LogText(enginePath);
    QString why;
    if (!RemoveStaging(&why)) {
        LOG(ERROR) << why.toStdString();
        CloseFds();
        m_phase = Phase::Idle;
        emit Finished(true, false, why);
        return;
    }
    Complete(true, false, QString());
}

void EngineInstaller::Fail(const QString& problem) {
    LOG(WARNING) << "The antivirus engine was not installed: " << Util::LogText(problem);
    if (m_process) {
        // Never removes a folder tar still writes into.
        m_stop = Stop::Failed;
        m_stopProblem = problem;
        m_process->kill();
        return;
    }
    Complete(false, false, problem);
}

void EngineInstaller::Complete(bool installed, bool canceled, QString problem) {
    DropReply();
    CloseArchive();
    QString why;
    if (!RemoveStaging(&why)) {
        LOG(ERROR) << why.toStdString();
        problem += (problem.isEmpty() ? QString() : QStringLiteral("; ")) + why;
    }
    CloseFds();
    m_phase = Phase::Idle;
    m_stop = Stop::None;
    m_stopProblem.clear();
    emit Finished(installed, canceled, problem);
}

void EngineInstaller::DropReply() {
    if (m_reply) {
        QNetworkReply* reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(this);
        // Deleting a reply aborts its request. No abort() here: from within
        // the reply's own readyRead() it would report a second error.
        reply->deleteLater();
    }
}

void EngineInstaller::DropProcess() {
    if (m_tarTimer) {
        m_tarTimer->stop();
        m_tarTimer->deleteLater();
        m_tarTimer = nullptr;
    }
    if (m_process) {
        m_process->disconnect(this);
        m_process->deleteLater();
        m_process = nullptr;
    }
}

void EngineInstaller::CloseArchive() {
    CloseFd(m_archiveFd);
}

bool EngineInstaller::RemoveStaging(QString* why) {
    if (m_stagingName.isEmpty() || m_prefixFd < 0) {
        return true;
    }
    CloseFd(m_stagingFd);
    const std::string name = m_stagingName.toStdString();
    const QString path = m_stagingPath;
    m_stagingName.clear();
    FSEntryInfo info;
    const int err = StatEntry(m_prefixFd, name.c_str(), &info);
    if (err == ENOENT) {
        return true;
    }
    std::string reason;
    int code = FSCleaner::FAILED;
    if (err != 0) {
        reason = ErrnoText(err);
    } else if (!S_ISDIR(info.mode)) {
        reason = "it is no folder any more";
        code = FSCleaner::REFUSED;
    } else {
        FSTreeRemover remover;
        code = remover.Remove(m_prefixFd, name, info, false, ProtectedFolders::Current(), &reason);
    }
    if (code == FSCleaner::REMOVED) {
        return true;
    }
    *why = QStringLiteral("cannot remove the staging folder %1: %2")
               .arg(Shown(path), QString::fromStdString(reason));
    return false;
}

void EngineInstaller::CloseFds() {
    CloseFd(m_archiveFd);
    CloseFd(m_stagingFd);
    CloseFd(m_prefixFd);
}

}  // namespace Varnex::Cleaner::Details
