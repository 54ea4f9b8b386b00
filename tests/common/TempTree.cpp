#include "common/TempTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <cerrno>
#include <cstring>
#include <vector>

namespace Varnex::Test {

namespace {

void MakeParents(const std::string& path) {
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/') {
            const std::string part = path.substr(0, i);
            ::mkdir(part.c_str(), 0755);
        }
    }
}

}  // namespace

void RemoveTestTree(const std::string& root) {
    // Iterative walk (deep trees), opening unreadable folders by fixing their
    // mode first; removal in reverse order of discovery: children first.
    std::vector<std::pair<std::string, bool>> found;  // path, is folder
    std::vector<std::string> pending{root};
    struct stat st;
    if (::lstat(root.c_str(), &st) != 0) {
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        ::unlink(root.c_str());
        return;
    }
    while (!pending.empty()) {
        std::string dir = pending.back();
        pending.pop_back();
        found.emplace_back(dir, true);
        ::chmod(dir.c_str(), 0700);
        DIR* d = ::opendir(dir.c_str());
        if (!d) {
            continue;
        }
        while (dirent* e = ::readdir(d)) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) {
                continue;
            }
            std::string child = dir + "/" + e->d_name;
            if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                pending.push_back(child);
            } else {
                found.emplace_back(child, false);
            }
        }
        ::closedir(d);
    }
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        if (it->second) {
            ::rmdir(it->first.c_str());
        } else {
            ::unlink(it->first.c_str());
        }
    }
}

TempTree::TempTree() {
    QByteArray tmpl = QDir::tempPath().toUtf8() + "/klarvik-test-XXXXXX";
    char* made = ::mkdtemp(tmpl.data());
    if (!made) {
        ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
    }
    m_root = QString::fromUtf8(tmpl);
}

TempTree::~TempTree() {
    RemoveTestTree(m_root.toStdString());
}

QString TempTree::Path(const QString& rel) const {
    return rel.isEmpty() ? m_root : m_root + QLatin1Char('/') + rel;
}

std::string TempTree::Bytes(const std::string& rel) const {
    return rel.empty() ? m_root.toStdString() : m_root.toStdString() + "/" + rel;
}

void TempTree::MakeDir(const QString& rel) {
    MakeDirBytes(rel.toStdString());
}

void TempTree::MakeDirBytes(const std::string& rel) {
    const std::string p = Bytes(rel);
    MakeParents(p);
    if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) {
        ADD_FAILURE() << "mkdir " << p << ": " << std::strerror(errno);
    }
}

void TempTree::MakeFile(const QString& rel, const QByteArray& content) {
    MakeFileBytes(rel.toStdString(), content.toStdString());
}

void TempTree::MakeFileBytes(const std::string& rel, const std::string& content) {
    const std::string p = Bytes(rel);
    MakeParents(p);
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        ADD_FAILURE() << "create " << p << ": " << std::strerror(errno);
        return;
    }
    if (!content.empty() &&
        ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        ADD_FAILURE() << "write " << p << ": " << std::strerror(errno);
    }
    ::close(fd);
}

namespace {

void AddDiskUsage(const std::string& path, std::vector<std::pair<dev_t, ino_t>>* seen,
                  long long* total, bool withOwn = true) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        if (withOwn) {
            *total += static_cast<long long>(st.st_blocks) * 512;
        }
        DIR* dir = ::opendir(path.c_str());
        if (!dir) {
            return;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                AddDiskUsage(path + "/" + name, seen, total);
            }
        }
        ::closedir(dir);
        return;
    }
    const std::pair<dev_t, ino_t> id(st.st_dev, st.st_ino);
    if (st.st_nlink > 1) {
        for (const auto& other : *seen) {
            if (other == id) {
                return;
            }
        }
        seen->push_back(id);
    }
    *total += static_cast<long long>(st.st_blocks) * 512;
}

}  // namespace

long long TempTree::DiskUsage(const QString& rel) const {
    std::vector<std::pair<dev_t, ino_t>> seen;
    long long total = 0;
    AddDiskUsage(Bytes(rel.toStdString()), &seen, &total);
    return total;
}

long long TempTree::ContentsDiskUsage(const QString& rel) const {
    std::vector<std::pair<dev_t, ino_t>> seen;
    long long total = 0;
    AddDiskUsage(Bytes(rel.toStdString()), &seen, &total, false);
    return total;
}

void TempTree::MakeSparseFile(const QString& rel, long long size) {
    const std::string p = Bytes(rel.toStdString());
    MakeParents(p);
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, size) != 0) {
        ADD_FAILURE() << "sparse " << p << ": " << std::strerror(errno);
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

void TempTree::MakeSymlink(const QString& target, const QString& rel) {
    const std::string p = Bytes(rel.toStdString());
    MakeParents(p);
    if (::symlink(target.toStdString().c_str(), p.c_str()) != 0) {
        ADD_FAILURE() << "symlink " << p << ": " << std::strerror(errno);
    }
}

void TempTree::MakeHardLink(const QString& existingRel, const QString& rel) {
    const std::string p = Bytes(rel.toStdString());
    MakeParents(p);
    if (::link(Bytes(existingRel.toStdString()).c_str(), p.c_str()) != 0) {
        ADD_FAILURE() << "link " << p << ": " << std::strerror(errno);
    }
}

bool TempTree::Exists(const QString& rel) const {
    return ExistsBytes(rel.toStdString());
}

bool TempTree::ExistsBytes(const std::string& rel) const {
    struct stat st;
    return ::lstat(Bytes(rel).c_str(), &st) == 0;
}

QByteArray TempTree::Read(const QString& rel) const {
    QByteArray out;
    const int fd = ::open(Bytes(rel.toStdString()).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return out;
    }
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<int>(n));
    }
    ::close(fd);
    return out;
}

}  // namespace Varnex::Test
