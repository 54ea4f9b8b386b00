#include "CleanerFS/FSTrashMover.h"

#include <glog/logging.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "CleanerFS/FSCleanerServer.h"
#include "CleanerFS/FSMountProbe.h"
#include "CleanerFS/FSSystemCalls.h"
#include "Platform/PathCodec.h"
#include "Platform/SystemRoot.h"

namespace Varnex::Cleaner::Details {

namespace {

constexpr char infoSuffix[] = ".trashinfo";
constexpr std::size_t maxNameBytes = NAME_MAX - (sizeof(infoSuffix) - 1);
constexpr int maxNameAttempts = 10000;

// A failure of the trash itself never counts as cleaned.
int FailureCode(int err) {
    const int code = CodeFromErrno(err, false);
    return code == FSCleaner::NOT_FOUND ? FSCleaner::FAILED : code;
}

bool SameMount(const FSEntryInfo& a, const FSEntryInfo& b) {
    if (a.mountId != 0 && b.mountId != 0) {
        return a.mountId == b.mountId;
    }
    return a.dev == b.dev;
}

int StatFollowing(const std::string& path, FSEntryInfo* out) {
    struct statx stx;
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_TYPE | STATX_INO | STATX_MNT_ID, &stx) != 0) {
        return errno;
    }
    out->mode = stx.stx_mode;
    out->dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    out->ino = stx.stx_ino;
    out->mountId = (stx.stx_mask & STATX_MNT_ID) && UseStatxMountId() ? stx.stx_mnt_id : 0;
    return 0;
}

// mkdir -p for the user's own data folder; new folders are private.
int MakeFolders(const std::string& path) {
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string part = path.substr(0, i);
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
                return errno;
            }
        }
    }
    return 0;
}

std::string PhysicalPath(int fd) {
    char buffer[PATH_MAX + 1];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof(buffer));
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(buffer) || buffer[0] != '/') {
        return std::string();
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

// Percent-encoding of the .trashinfo "Path" key: every byte but the unreserved
// characters and '/'.
std::string PercentEncode(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xf];
        }
    }
    return out;
}

// At most `limit` bytes of a UTF-8 name, never cutting a character.
std::string Shorten(const std::string& name, std::size_t limit) {
    if (name.size() <= limit) {
        return name;
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
        --end;
    }
    return name.substr(0, end);
}

std::string DeletionDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = FSSystemCalls::PWrite(fd, data.data() + done, data.size() - done,
                                                static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

FSTrashMover::FSTrashMover() {
    QString dataHome;
    const Platform::PathVariable xdg = Platform::ReadPathVariable("XDG_DATA_HOME", &dataHome);
    if (xdg == Platform::PathVariable::UNDECODABLE) {
        // Not the folder meant, whatever else would be taken instead.
        m_noHomeTrash = "XDG_DATA_HOME is not valid UTF-8";
        return;
    }
    if (xdg == Platform::PathVariable::VALID && dataHome.startsWith(QLatin1Char('/')) &&
        Platform::EncodePath(dataHome, &m_dataHome)) {
        return;
    }
    std::string home;
    if (Platform::EncodePath(Platform::HomePath(), &home) && !home.empty() && home[0] == '/') {
        m_dataHome = home + "/.local/share";
    }
}

FSTrashMover::~FSTrashMover() = default;

const FSTrashMover::Trash& FSTrashMover::HomeTrash() {
    if (m_homeOpened) {
        return m_home;
    }
    m_homeOpened = true;
    m_home.home = true;
    if (m_dataHome.empty()) {
        m_home.code = FSCleaner::FAILED;
        m_home.why = m_noHomeTrash.empty() ? "there is no home folder" : m_noHomeTrash;
        return m_home;
    }
    const std::string trash = m_dataHome + "/Trash";
    int err = MakeFolders(trash + "/files");
    if (err == 0) {
        err = MakeFolders(trash + "/info");
    }
    if (err == 0) {
        m_home.files.Reset(::open((trash + "/files").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        m_home.info.Reset(::open((trash + "/info").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!m_home.files.IsValid() || !m_home.info.IsValid()) {
            err = errno;
        } else {
            err = StatEntry(m_home.files.Get(), "", &m_home.id);
        }
    }
    m_home.usable = err == 0;
    if (err != 0) {
        m_home.code = FailureCode(err);
        m_home.why =
            "the home trash \"" + EscapeForLog(trash) + "\" cannot be used: " + ErrnoText(err);
        // Its volume still decides which files it should have taken.
        if (StatFollowing(m_dataHome, &m_home.id) != 0) {
            std::string home;
            Platform::EncodePath(Platform::HomePath(), &home);
            StatFollowing(home, &m_home.id);
        }
    }
    return m_home;
}

const FSTrashMover::Trash& FSTrashMover::VolumeTrash(int parentFd) {
    // Climb to the top folder of the mount that holds the parent.
    FSCleanerFd current(::openat(parentFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    FSEntryInfo currentInfo;
    int err = current.IsValid() ? StatEntry(current.Get(), "", &currentInfo) : errno;
    for (int steps = 0; err == 0 && !currentInfo.mountRoot && steps < PATH_MAX; ++steps) {
        FSCleanerFd up(::openat(current.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        FSEntryInfo upInfo;
        if (!up.IsValid()) {
            err = errno;
            break;
        }
        err = StatEntry(up.Get(), "", &upInfo);
        if (err != 0 || (upInfo.dev == currentInfo.dev && upInfo.ino == currentInfo.ino) ||
            !SameMount(upInfo, currentInfo)) {
            break;
        }
        current = std::move(up);
        currentInfo = upInfo;
    }
    if (err != 0) {
        m_unreachable = Trash();
        m_unreachable.code = FailureCode(err);
        m_unreachable.why = "the top of its volume cannot be found: " + ErrnoText(err);
        return m_unreachable;
    }
    const std::uint64_t key = currentInfo.mountId != 0
                                  ? currentInfo.mountId
                                  : (static_cast<std::uint64_t>(currentInfo.dev) | (1ULL << 63));
    auto& slot = m_volumes[key];
    if (slot) {
        return *slot;
    }
    slot = std::make_unique<Trash>();
    Trash& trash = *slot;
    trash.top = PhysicalPath(current.Get());
    const uid_t uid = ::geteuid();
    const std::string name = ".Trash-" + std::to_string(uid);
    const std::string shown =
        "\"" + EscapeForLog(trash.top + (trash.top == "/" ? "" : "/") + name) + "\"";
    if (::mkdirat(current.Get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
        err = errno;
        trash.code = FailureCode(err);
        trash.why = "the volume's trash " + shown + " cannot be created: " + ErrnoText(err);
        return trash;
    }
    FSCleanerFd top(
        ::openat(current.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    FSEntryInfo topInfo;
    if (!top.IsValid() || StatEntry(top.Get(), "", &topInfo) != 0 || topInfo.uid != uid) {
        err = top.IsValid() ? EPERM : errno;
        trash.code = FailureCode(err);
        trash.why = "the volume's trash " + shown +
                    " is not a folder of the current user: " + ErrnoText(err);
        return trash;
    }
    for (const char* sub : {"files", "info"}) {
        if (::mkdirat(top.Get(), sub, 0700) != 0 && errno != EEXIST) {
            err = errno;
            break;
        }
        FSCleanerFd fd(::openat(top.Get(), sub, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.IsValid()) {
            err = errno;
            break;
        }
        (sub[0] == 'f' ? trash.files : trash.info) = std::move(fd);
    }
    if (err == 0) {
        err = StatEntry(trash.files.Get(), "", &trash.id);
    }
    trash.usable = err == 0;
    if (err != 0) {
        trash.code = FailureCode(err);
        trash.why = "the volume's trash " + shown + " cannot be used: " + ErrnoText(err);
    }
    return trash;
}

int FSTrashMover::Move(int parentFd, const std::string& name, const std::string& plannedPath,
                       const FSEntryInfo& info, std::string* why) {
    const Trash* trash = &HomeTrash();
    if (!m_noHomeTrash.empty()) {
        // Without the home trash no file can be told to belong elsewhere.
        *why = trash->why;
        return trash->code;
    }
    if (!SameMount(trash->id, info)) {
        trash = &VolumeTrash(parentFd);
    }
    if (!trash->usable) {
        *why = trash->why;
        return trash->code;
    }
    std::string original = plannedPath;
    if (!trash->home) {
        // Below a volume's top the original location is relative to it.
        const std::string parent = PhysicalPath(parentFd);
        const std::string& top = trash->top;
        if (!parent.empty() && !top.empty()) {
            if (top == "/") {
                original = parent.substr(1) + (parent == "/" ? "" : "/") + name;
            } else if (parent == top) {
                original = name;
            } else if (parent.compare(0, top.size(), top) == 0 && parent[top.size()] == '/') {
                original = parent.substr(top.size() + 1) + "/" + name;
            }
        }
    }
    if (!SameMount(trash->id, info)) {
        *why = "its trash is on another volume";
        return FSCleaner::FAILED;
    }
    if (S_ISDIR(info.mode)) {
        // A rename takes the mounts inside a folder along into the trash,
        // where emptying it would reach the mounted files.
        FSCleanerFd folder(
            ::openat(parentFd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        FSEntryInfo opened;
        if (!folder.IsValid() || StatEntry(folder.Get(), "", &opened) != 0 ||
            opened.dev != info.dev || opened.ino != info.ino) {
            *why = "it changed while it was examined";
            return FSCleaner::REFUSED;
        }
        if (HoldsMountPoint(folder.Get())) {
            *why = "something is mounted inside it (or that cannot be told)";
            return FSCleaner::REFUSED;
        }
    }
    return MoveInto(*trash, parentFd, name, info, original, why);
}

int FSTrashMover::MoveInto(const Trash& trash, int parentFd, const std::string& name,
                           const FSEntryInfo& seen, const std::string& trashInfoPath, std::string* why) {
    const std::string contents = "[Trash Info]\nPath=" + PercentEncode(trashInfoPath) +
                                 "\nDeletionDate=" + DeletionDate() + "\n";
    for (int attempt = 1; attempt <= maxNameAttempts; ++attempt) {
        const std::string suffix = attempt == 1 ? std::string() : "." + std::to_string(attempt);
        const std::string candidate = Shorten(name, maxNameBytes - suffix.size()) + suffix;
        const std::string infoName = candidate + infoSuffix;
        FSCleanerFd infoFd(
            FSSystemCalls::OpenAt(trash.info.Get(), infoName.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!infoFd.IsValid()) {
            const int err = errno;
            if (err == EEXIST) {
                continue;
            }
            *why = "cannot write its trash information: " + ErrnoText(err);
            return FailureCode(err);
        }
        const bool written = WriteAll(infoFd.Get(), contents);
        const bool closed = ::close(infoFd.Release()) == 0;
        if (!written || !closed) {
            const int err = errno;
            FSSystemCalls::UnlinkAt(trash.info.Get(), infoName.c_str(), 0);
            *why = "cannot write its trash information: " + ErrnoText(err);
            return FailureCode(err);
        }
        if (FSSystemCalls::RenameAt2(parentFd, name.c_str(), trash.files.Get(), candidate.c_str(),
                                     RENAME_NOREPLACE) == 0) {
            // A file saved over the name since it was examined would have gone
            // instead: what was moved must be the entry examined.
            FSEntryInfo moved;
            if (StatEntry(trash.files.Get(), candidate.c_str(), &moved) == 0 &&
                moved.dev == seen.dev && moved.ino == seen.ino &&
                (moved.mode & S_IFMT) == (seen.mode & S_IFMT)) {
                return FSCleaner::REMOVED;
            }
            if (FSSystemCalls::RenameAt2(trash.files.Get(), candidate.c_str(), parentFd,
                                         name.c_str(), RENAME_NOREPLACE) == 0) {
                FSSystemCalls::UnlinkAt(trash.info.Get(), infoName.c_str(), 0);
            } else {
                LOG(WARNING) << "Cannot give \"" << EscapeForLog(name)
                             << "\" its place back: " << ErrnoText(errno)
                             << "; it is in the trash as \"" << EscapeForLog(candidate) << "\"";
            }
            *why = "it was replaced while it was examined";
            return FSCleaner::REFUSED;
        }
        const int err = errno;
        FSSystemCalls::UnlinkAt(trash.info.Get(), infoName.c_str(), 0);
        if (err == EEXIST) {
            continue;  // a file in the trash without its information
        }
        if (err == ENOENT) {
            FSEntryInfo entry;
            if (StatEntry(parentFd, name.c_str(), &entry) == ENOENT) {
                return FSCleaner::NOT_FOUND;
            }
        }
        *why = "cannot move it to the trash: " + ErrnoText(err);
        return FailureCode(err);
    }
    *why = "no free name in the trash";
    return FSCleaner::FAILED;
}

}  // namespace Varnex::Cleaner::Details
