#include "BenchSupport.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace Varnex::Bench {

namespace {

constexpr int topFolders = 25;
constexpr int midFolders = 20;
constexpr int leafFolders = 20;
constexpr int filesPerFolder = 20;
constexpr long long maxFileSize = 64 * 1024;

bool MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0) {
        std::fprintf(stderr, "mkdir %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

long long MaxRssBytes() {
    struct rusage usage;
    if (::getrusage(RUSAGE_SELF, &usage) != 0) {
        return 0;
    }
    return static_cast<long long>(usage.ru_maxrss) * 1024;  // Linux reports KiB
}

JsonLine& JsonLine::Add(const std::string& key, long long value) {
    m_fields.emplace_back(key, std::to_string(value));
    return *this;
}

JsonLine& JsonLine::Add(const std::string& key, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.6f", value);
    m_fields.emplace_back(key, text);
    return *this;
}

JsonLine& JsonLine::Add(const std::string& key, const std::string& value) {
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    m_fields.emplace_back(key, quoted + "\"");
    return *this;
}

std::string JsonLine::Text() const {
    std::ostringstream out;
    out << '{';
    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        out << (i ? ", " : "") << '"' << m_fields[i].first << "\": " << m_fields[i].second;
    }
    out << '}';
    return out.str();
}

bool GenerateFsTree(const std::string& dir, TreeStats* stats, int scale) {
    *stats = TreeStats();
    if (!MakeFolder(dir)) {
        return false;
    }
    ++stats->entries;
    // A fixed linear congruential sequence: the same sizes on every machine.
    std::uint64_t state = 0x2545F4914F6CDD1DULL;
    for (int a = 0; a < topFolders * scale; ++a) {
        const std::string pa = dir + "/top" + std::to_string(a);
        if (!MakeFolder(pa)) {
            return false;
        }
        ++stats->entries;
        for (int b = 0; b < midFolders; ++b) {
            const std::string pb = pa + "/mid" + std::to_string(b);
            if (!MakeFolder(pb)) {
                return false;
            }
            ++stats->entries;
            for (int c = 0; c < leafFolders; ++c) {
                const std::string pc = pb + "/leaf" + std::to_string(c);
                if (!MakeFolder(pc)) {
                    return false;
                }
                ++stats->entries;
                for (int f = 0; f < filesPerFolder; ++f) {
                    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
                    const long long size =
                        static_cast<long long>((state >> 33) % (maxFileSize + 1));
                    const std::string file = pc + "/file" + std::to_string(f) + ".dat";
                    const int fd =
                        ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
                    if (fd < 0 || ::ftruncate(fd, size) != 0) {
                        std::fprintf(stderr, "create %s: %s\n", file.c_str(), std::strerror(errno));
                        if (fd >= 0) {
                            ::close(fd);
                        }
                        return false;
                    }
                    ::close(fd);
                    ++stats->entries;
                    stats->bytes += size;
                }
            }
        }
    }
    return true;
}

}  // namespace Varnex::Bench
