#include "Core/details/DuplicatesScanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "CleanerCommon/Checks.h"
#include "CleanerCommon/LogText.h"
#include "CleanerCommon/Paths.h"
#include "CleanerCommon/Sizes.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

namespace {

constexpr long long sampleSize = 1024;
constexpr std::size_t readSize = 1048576;
// The first read of a comparison: most files that differ differ early.
constexpr std::size_t firstReadSize = 65536;

// The whole of [offset, offset + size) or false (an error, or a file that
// got shorter since the walk).
bool ReadFully(int fd, char* buffer, std::size_t size, long long offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
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

// Opens a file of the walk for reading, only while it is still the entry the
// walk saw.
int OpenSeen(const std::string& bytes, const DuplicatesScannerFile& file) {
    const int fd = ::open(bytes.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        LOG(WARNING) << "Can't open \"" << Util::LogText(file.path)
                     << "\" to compare it: " << std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<unsigned long long>(st.st_dev) != file.device ||
        static_cast<unsigned long long>(st.st_ino) != file.inode || st.st_size != file.rawSize) {
        LOG(WARNING) << "\"" << Util::LogText(file.path) << "\" changed during the scan";
        ::close(fd);
        return -1;
    }
    return fd;
}

long long MTimeNs(const struct stat& st) {
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

}  // namespace

struct DuplicatesScanner::Candidate {
    File file;
    std::string bytes;
    bool dropped = false;
};

DuplicatesScanner::Task::Task(DuplicatesScanner& scanner, Kind kind, QString path)
    : m_scanner(&scanner), m_kind(kind), m_path(std::move(path)) {}

DuplicatesScanner::Task::Task(DuplicatesScanner& scanner, const File& file)
    : m_scanner(&scanner), m_kind(REPORT), m_file(std::make_shared<const File>(file)) {}

DuplicatesScanner::File DuplicatesScanner::Task::operator()() const {
    switch (m_kind) {
        case PATH: {
            File result = m_scanner->DoPathTask(m_path);
            // The walk is over once its last entry is done: the grouping runs.
            if (--m_scanner->m_pathsLeft == 0) {
                m_scanner->DoQueue(Task(*m_scanner, GROUP, QString()));
            }
            return result;
        }
        case GROUP:
            return m_scanner->DoGroupTask();
        case REPORT: {
            File result = *m_file;
            result.size = RoundSize4K(result.rawSize);
            return result;
        }
    }
    return File();
}

DuplicatesScanner::DuplicatesScanner(unsigned int taskInterval, long long minSize)
    : m_taskInterval(taskInterval),
      m_minSize(minSize),
      m_producer([] {}, [](const File& file) { return !file.path.isEmpty(); }) {}

DuplicatesScanner::~DuplicatesScanner() {
    Stop();
    Wait();
}

void DuplicatesScanner::AddResultFilter(std::function<bool(const QString&)> filter) {
    m_filters.push_back(std::move(filter));
}

bool DuplicatesScanner::IsExclusion(const QString& path) const {
    for (const auto& filter : m_filters) {
        if (!filter(path)) {
            return true;
        }
    }
    return false;
}

QStringList DuplicatesScanner::CanonicalRoots(const QStringList& roots) {
    QStringList real;
    for (const QString& root : roots) {
        std::string bytes;
        if (!Platform::EncodePath(root, &bytes)) {
            continue;
        }
        const QString resolved = Platform::DecodePathOrNull(ResolveLinks(bytes));
        if (resolved.isEmpty()) {
            LOG(WARNING) << "Search folder \"" << Util::LogText(root) << "\" is not there";
            continue;
        }
        real.append(resolved);
    }
    return FilterSubDirs(real);
}

void DuplicatesScanner::Scan(const QStringList& roots) {
    SetRoots(roots);
    Start();
}

bool DuplicatesScanner::Start() {
    if (m_producer.IsWorking()) {
        LOG(WARNING) << "The duplicates scanner is already working";
        return false;
    }
    m_producer.Wait();
    DoClear();
    m_stop.store(false);
    m_scannedRoots = CanonicalRoots(m_roots);
    for (const QString& root : m_scannedRoots) {
        ++m_totalTasks;
        ++m_pathsLeft;
        m_producer.AddTask(Task(*this, Task::PATH, root));
    }
    try {
        m_producer.Start();
    } catch (const std::exception& e) {
        LOG(ERROR) << "Can't start the duplicates scanner: " << e.what();
        return false;
    }
    return true;
}

void DuplicatesScanner::Stop() {
    m_stop.store(true);
    if (m_producer.IsWorking()) {
        m_producer.RequestStop();
    }
}

float DuplicatesScanner::GetProgress() const {
    const int total = m_totalTasks.load();
    const float walk = total > 0 ? static_cast<float>(m_handledTasks.load()) / total : 0.0f;
    const long long toRead = m_bytesToRead.load();
    const float read =
        toRead > 0 ? static_cast<float>(m_bytesRead.load()) / static_cast<float>(toRead) : 0.0f;
    return std::min(1.0f, walk * 0.5f + std::min(1.0f, read) * 0.5f);
}

void DuplicatesScanner::DoClear() {
    m_producer.Clear();
    m_seen.clear();
    m_bySize.clear();
    m_totalTasks = 0;
    m_handledTasks = 0;
    m_pathsLeft = 0;
    m_bytesToRead = 0;
    m_bytesRead = 0;
}

void DuplicatesScanner::DoQueue(Task task) {
    m_producer.AddTask(std::move(task));
}

DuplicatesScanner::File DuplicatesScanner::DoPathTask(const QString& path) {
    ++m_handledTasks;
    if (const unsigned int pause = m_taskInterval.load()) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause));
    }
    std::string bytes;
    if (!Platform::EncodePath(path, &bytes)) {
        return File();
    }
    struct stat st {};
    if (::lstat(bytes.c_str(), &st) != 0) {
        File failed;
        failed.path = path;
        failed.failed = true;
        failed.errorText = errno == EACCES ? QStringLiteral("Permission Denied")
                                           : QString::fromLocal8Bit(std::strerror(errno));
        return failed;
    }
    if (S_ISREG(st.st_mode)) {
        if (IsPathSafe(path) && CanRemove(path) && RoundSize4K(st.st_size) > m_minSize.load()) {
            DoAddCandidate(path, st);
        }
        return File();
    }
    if (!S_ISDIR(st.st_mode) || !CanWrite(path)) {
        return File();
    }
    // A folder met again (bind mount) is walked once.
    if (!m_seen
             .emplace(static_cast<unsigned long long>(st.st_dev),
                      static_cast<unsigned long long>(st.st_ino))
             .second) {
        return File();
    }
    DIR* dir = ::opendir(bytes.c_str());
    if (!dir) {
        File failed;
        failed.path = path;
        failed.failed = true;
        failed.errorText = errno == EACCES ? QStringLiteral("Permission Denied")
                                           : QString::fromLocal8Bit(std::strerror(errno));
        return failed;
    }
    const QString prefix = path == QLatin1String("/") ? path : path + QLatin1Char('/');
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        if (entry->d_type != DT_REG && entry->d_type != DT_DIR && entry->d_type != DT_LNK &&
            entry->d_type != DT_UNKNOWN) {
            continue;
        }
        QString decoded;
        if (!Platform::DecodePath(name, std::strlen(name), &decoded)) {
            continue;  // a name that cannot cross is never shown or planned
        }
        const QString child = prefix + decoded;
        if (IsExclusion(child)) {
            continue;
        }
        ++m_totalTasks;
        ++m_pathsLeft;
        DoQueue(Task(*this, Task::PATH, child));
    }
    ::closedir(dir);
    return File();
}

void DuplicatesScanner::DoAddCandidate(const QString& path, const struct stat& st) {
    // Hard links are one file: counted once, under the path met first.
    if (!m_seen
             .emplace(static_cast<unsigned long long>(st.st_dev),
                      static_cast<unsigned long long>(st.st_ino))
             .second) {
        return;
    }
    Candidate candidate;
    candidate.file.path = path;
    candidate.file.size = st.st_size;
    candidate.file.rawSize = st.st_size;
    candidate.file.device = static_cast<unsigned long long>(st.st_dev);
    candidate.file.inode = static_cast<unsigned long long>(st.st_ino);
    candidate.file.mtimeNs = MTimeNs(st);
    candidate.file.inTrash = IsInTrashFolder(path);
    Platform::EncodePath(path, &candidate.bytes);
    m_bySize[st.st_size].push_back(std::move(candidate));
}

DuplicatesScanner::File DuplicatesScanner::DoGroupTask() {
    std::vector<Candidate*> files;
    long long toRead = 0;
    for (auto& [size, list] : m_bySize) {
        if (list.size() < 2) {
            continue;  // a size held once has no duplicate: never read
        }
        for (Candidate& candidate : list) {
            files.push_back(&candidate);
            toRead += std::min(size, sampleSize);
        }
    }
    m_bytesToRead = toRead;
    const auto byInode = [](const Candidate* a, const Candidate* b) {
        return std::make_pair(a->file.device, a->file.inode) <
               std::make_pair(b->file.device, b->file.inode);
    };
    std::sort(files.begin(), files.end(), byInode);
    DoSample(&files);
    if (m_stop.load()) {
        return File();
    }

    std::map<std::pair<long long, QByteArray>, std::vector<Candidate*>> bySample;
    for (Candidate* candidate : files) {
        if (!candidate->dropped) {
            bySample[{candidate->file.rawSize, candidate->file.sampleHash}].push_back(candidate);
        }
    }
    std::vector<std::vector<Candidate*>> sets;
    for (auto& [key, set] : bySample) {
        if (set.size() >= 2) {
            m_bytesToRead += key.first * static_cast<long long>(set.size());
            sets.push_back(std::move(set));
        }
    }
    // Sets in the order of their first inode; each set is in inode order.
    std::sort(sets.begin(), sets.end(),
              [&byInode](const auto& a, const auto& b) { return byInode(a.front(), b.front()); });

    std::vector<std::pair<QByteArray, std::vector<Candidate*>>> groups;
    for (auto& set : sets) {
        if (m_stop.load()) {
            return File();
        }
        DoCompare(std::move(set), &groups);
    }
    if (m_stop.load()) {
        return File();
    }
    long long group = 0;
    for (auto& [hash, copies] : groups) {
        // Copies in a Trash pair only with a copy outside it, which comes
        // first (the group is named after its first copy).
        std::stable_partition(copies.begin(), copies.end(),
                              [](const Candidate* c) { return !c->file.inTrash; });
        if (copies.front()->file.inTrash) {
            continue;
        }
        ++group;
        for (Candidate* copy : copies) {
            copy->file.hash = hash;
            copy->file.group = group;
            DoQueue(Task(*this, copy->file));
        }
    }
    return File();
}

void DuplicatesScanner::DoSample(std::vector<Candidate*>* files) {
    char buffer[sampleSize];
    for (Candidate* candidate : *files) {
        if (m_stop.load()) {
            return;
        }
        File& file = candidate->file;
        const int fd = OpenSeen(candidate->bytes, file);
        if (fd < 0) {
            candidate->dropped = true;
            continue;
        }
        const long long length = std::min(file.rawSize, sampleSize);
        const long long offset = file.rawSize <= sampleSize ? 0 : (file.rawSize - sampleSize) / 2;
        const bool read = ReadFully(fd, buffer, static_cast<std::size_t>(length), offset);
        ::close(fd);
        if (!read) {
            LOG(WARNING) << "Can't read \"" << Util::LogText(file.path) << "\" to compare it";
            candidate->dropped = true;
            continue;
        }
        m_bytesRead += length;
        QCryptographicHash hash(QCryptographicHash::Sha1);
        hash.addData(buffer, static_cast<int>(length));
        char sizeBytes[8];
        for (int i = 0; i < 8; ++i) {
            sizeBytes[i] = static_cast<char>(
                (static_cast<unsigned long long>(file.rawSize) >> (8 * i)) & 0xff);
        }
        hash.addData(sizeBytes, 8);
        file.sampleHash = hash.result();
    }
}

void DuplicatesScanner::DoCompare(
    std::vector<Candidate*> files,
    std::vector<std::pair<QByteArray, std::vector<Candidate*>>>* groups) {
    struct Member {
        Candidate* candidate;
        int fd;
        char* buffer;
    };
    // Files whose bytes are equal so far, with the hash of those bytes.
    struct Class {
        std::vector<Member> members;
        std::unique_ptr<QCryptographicHash> hash;
    };
    const auto closeAll = [](std::vector<Member>& members) {
        for (Member& m : members) {
            ::close(m.fd);
        }
        members.clear();
    };
    Class first;
    for (Candidate* candidate : files) {
        const int fd = OpenSeen(candidate->bytes, candidate->file);
        if (fd < 0) {
            candidate->dropped = true;
            continue;
        }
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        first.members.push_back(Member{candidate, fd, nullptr});
    }
    // Buffers kept from set to set: a fresh 1 MiB for every file costs a
    // mapping and its page faults each time.
    while (m_buffers.size() < first.members.size()) {
        m_buffers.push_back(std::make_unique<char[]>(readSize));
    }
    for (std::size_t i = 0; i < first.members.size(); ++i) {
        first.members[i].buffer = m_buffers[i].get();
    }
    if (first.members.size() < 2) {
        closeAll(first.members);
        return;
    }
    first.hash = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha1);
    std::vector<Class> classes;
    classes.push_back(std::move(first));
    const long long size = files.front()->file.rawSize;

    std::size_t chunk = firstReadSize;
    for (long long offset = 0; offset < size && !classes.empty();) {
        const std::size_t length = static_cast<std::size_t>(
            std::min<long long>(static_cast<long long>(chunk), size - offset));
        chunk = std::min(chunk * 4, readSize);
        std::vector<Class> next;
        for (Class& cls : classes) {
            if (m_stop.load()) {
                closeAll(cls.members);
                continue;
            }
            // Read this chunk of every member; one that fails is dropped.
            std::vector<Member> read;
            for (Member& m : cls.members) {
                if (ReadFully(m.fd, m.buffer, length, offset)) {
                    m_bytesRead += static_cast<long long>(length);
                    read.push_back(std::move(m));
                } else {
                    LOG(WARNING) << "Can't read \"" << Util::LogText(m.candidate->file.path)
                                 << "\" to compare it";
                    m.candidate->dropped = true;
                    ::close(m.fd);
                }
            }
            cls.members.clear();
            // Split by the bytes of this chunk.
            std::vector<std::vector<Member>> parts;
            for (Member& m : read) {
                auto part = std::find_if(parts.begin(), parts.end(), [&m, length](const auto& p) {
                    return std::memcmp(p.front().buffer, m.buffer, length) == 0;
                });
                if (part == parts.end()) {
                    parts.emplace_back();
                    part = parts.end() - 1;
                }
                part->push_back(std::move(m));
            }
            for (std::size_t p = 0; p < parts.size(); ++p) {
                std::vector<Member>& members = parts[p];
                if (members.size() < 2) {
                    closeAll(members);  // a file alone is nobody's copy
                    continue;
                }
                Class part;
                if (p == 0) {
                    part.hash = std::move(cls.hash);
                } else {
                    // Rare: equal so far, then two sets of copies. The new set
                    // hashes the bytes before this chunk again.
                    part.hash = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha1);
                    QByteArray prefix(static_cast<int>(std::min<long long>(readSize, offset)), 0);
                    bool ok = true;
                    for (long long at = 0; ok && at < offset; at += prefix.size()) {
                        const std::size_t n = static_cast<std::size_t>(
                            std::min<long long>(prefix.size(), offset - at));
                        ok = ReadFully(members.front().fd, prefix.data(), n, at);
                        if (ok) {
                            part.hash->addData(prefix.constData(), static_cast<int>(n));
                            m_bytesRead += static_cast<long long>(n);
                        }
                    }
                    if (!ok) {
                        for (Member& m : members) {
                            m.candidate->dropped = true;
                        }
                        closeAll(members);
                        continue;
                    }
                }
                part.hash->addData(members.front().buffer, static_cast<int>(length));
                part.members = std::move(members);
                next.push_back(std::move(part));
            }
        }
        classes = std::move(next);
        offset += static_cast<long long>(length);
    }
    for (Class& cls : classes) {
        std::vector<Candidate*> copies;
        for (Member& m : cls.members) {
            copies.push_back(m.candidate);
        }
        closeAll(cls.members);
        groups->emplace_back(cls.hash->result(), std::move(copies));
    }
}

}  // namespace Varnex::Cleaner::Details
