#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Varnex::Test {

// What one entry is: enough to see any change of its kind, bytes or identity.
struct Entry {
    char type = '?';
    long long size = 0;
    unsigned long long inode = 0;
    uint64_t hash = 0;
    std::string link;
    bool operator==(const Entry& o) const {
        return type == o.type && size == o.size && inode == o.inode && hash == o.hash &&
               link == o.link;
    }
};
using Checksums = std::map<std::string, Entry>;

// Every entry at and below the roots, links listed and never followed.
Checksums Take(const std::vector<std::string>& roots);
// What changed between two lists, one line each, for a failure message.
std::string Diff(const Checksums& before, const Checksums& after);
// Whether anything (a dangling link too) is at `path`.
bool Lexists(const std::string& path);

}  // namespace Varnex::Test
