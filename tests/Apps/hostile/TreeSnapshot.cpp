#include "TreeSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Varnex::Test {

namespace {

uint64_t HashFile(const std::string& path) {
    uint64_t h = 1469598103934665603ULL;  // FNV-1a
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) {
        return 0;
    }
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            h = (h ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ULL;
        }
    }
    ::close(fd);
    return h;
}

// Every entry at and below `path`, links listed and never followed.
void Collect(const std::string& path, Checksums& out) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return;
    }
    Entry e;
    e.inode = st.st_ino;
    if (S_ISLNK(st.st_mode)) {
        e.type = 'l';
        char target[4096];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        e.link.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISREG(st.st_mode)) {
        e.type = 'f';
        e.size = st.st_size;
        e.hash = HashFile(path);
    } else if (S_ISDIR(st.st_mode)) {
        e.type = 'd';
    }
    out[path] = e;
    if (e.type != 'd') {
        return;
    }
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        return;
    }
    std::vector<std::string> names;
    while (dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        Collect(path + "/" + name, out);
    }
}

}  // namespace

Checksums Take(const std::vector<std::string>& roots) {
    Checksums out;
    for (const std::string& r : roots) {
        Collect(r, out);
    }
    return out;
}

std::string Diff(const Checksums& before, const Checksums& after) {
    std::string out;
    for (const auto& [path, e] : before) {
        const auto it = after.find(path);
        if (it == after.end()) {
            out += "gone: " + path + "\n";
        } else if (!(it->second == e)) {
            out += "changed: " + path + "\n";
        }
    }
    for (const auto& [path, e] : after) {
        if (!before.count(path)) {
            out += "new: " + path + "\n";
        }
    }
    return out;
}

bool Lexists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace Varnex::Test
