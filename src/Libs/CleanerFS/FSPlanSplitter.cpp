#include "CleanerFS/FSPlanSplitter.h"

#include <QHash>
#include <algorithm>
#include <limits>
#include <numeric>

namespace Varnex::Cleaner::Details {

namespace {

// A subtree larger than a part is divided again, at most this many times
// along one branch: a deep chain of planned folders stays one part instead of
// costing a pass over the plan per level.
constexpr int maxDivisions = 12;

struct Group {
    std::vector<std::uint32_t> members;  // plan positions, in plan order
    int divisions = 0;
};

// The length of the deepest folder every path given to `forEachPath` is at or
// below (0: the root), in one pass. `first` is one of those paths.
template <typename ForEachPath>
int CommonFolderLength(QStringView first, ForEachPath forEachPath) {
    int common = first.size();  // always the end of a whole name of `first`
    forEachPath([&](QStringView path) {
        const int n = std::min(common, static_cast<int>(path.size()));
        int i = 0;
        while (i < n && path[i] == first[i]) {
            ++i;
        }
        if (i == common && (path.size() == common || path[common] == QLatin1Char('/'))) {
            return;  // at or below it
        }
        if (i == path.size() && first[i] == QLatin1Char('/')) {
            common = i;  // a folder above it
            return;
        }
        // "/a/b" and "/a/bc" share "/a/b" as text, but only "/a" as a folder.
        common = std::max(0, static_cast<int>(first.left(i).lastIndexOf(QLatin1Char('/'))));
    });
    return common;
}

}  // namespace

QStringView FSPlanSplitter::CommonFolder(const std::vector<QStringView>& paths) {
    if (paths.empty()) {
        return QStringView();
    }
    const int length = CommonFolderLength(paths.front(), [&](auto visit) {
        for (QStringView path : paths) {
            visit(path);
        }
    });
    return paths.front().left(length);
}

bool FSPlanSplitter::Split(const std::vector<QStringView>& paths, std::size_t partSize,
                           Parts* out) {
    *out = Parts();
    if (paths.empty() || paths.size() >= std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    partSize = std::max<std::size_t>(partSize, 1);
    std::vector<std::vector<std::uint32_t>> units;
    std::vector<Group> pending(1);
    pending[0].members.resize(paths.size());
    std::iota(pending[0].members.begin(), pending[0].members.end(), 0u);
    while (!pending.empty()) {
        Group group = std::move(pending.back());
        pending.pop_back();
        const std::vector<std::uint32_t>& members = group.members;
        const int folder = CommonFolderLength(paths[members.front()], [&](auto visit) {
            for (std::uint32_t i : members) {
                visit(paths[i]);
            }
        });
        // The members by the name that follows the folder, in the order of
        // their first appearance. Consecutive paths mostly share it.
        std::vector<Group> below;
        QHash<QStringView, std::size_t> byName;
        QStringView lastName;
        std::size_t lastBelow = 0;
        bool haveOwn = false;
        std::uint32_t own = 0;
        std::uint32_t latestBelow = 0;
        for (std::uint32_t i : members) {
            const QStringView path = paths[i];
            if (path.size() == folder) {
                if (haveOwn) {
                    return false;
                }
                haveOwn = true;
                own = i;
                continue;
            }
            if (path[folder] != QLatin1Char('/')) {
                return false;  // not absolute
            }
            const int start = folder + 1;
            int end = static_cast<int>(path.indexOf(QLatin1Char('/'), start));
            if (end < 0) {
                end = static_cast<int>(path.size());
            }
            if (end == start) {
                return false;
            }
            const QStringView name = path.mid(start, end - start);
            if (below.empty() || name != lastName) {
                const auto found = byName.constFind(name);
                if (found == byName.constEnd()) {
                    lastBelow = below.size();
                    byName.insert(name, lastBelow);
                    below.emplace_back();
                    below.back().divisions = group.divisions + 1;
                } else {
                    lastBelow = found.value();
                }
                lastName = name;
            }
            below[lastBelow].members.push_back(i);
            latestBelow = std::max(latestBelow, i);
        }
        if (haveOwn) {
            // The folder goes after everything of it, wherever that runs.
            if (!below.empty() && own < latestBelow) {
                return false;
            }
            out->last.push_back(own);
        }
        for (Group& next : below) {
            if (next.members.size() > partSize && next.divisions < maxDivisions) {
                pending.push_back(std::move(next));
            } else {
                units.push_back(std::move(next.members));
            }
        }
    }
    std::sort(units.begin(), units.end(),
              [](const auto& a, const auto& b) { return a.front() < b.front(); });
    for (std::vector<std::uint32_t>& unit : units) {
        if (out->parts.empty() || out->parts.back().size() >= partSize) {
            out->parts.emplace_back();
        }
        std::vector<std::uint32_t>& part = out->parts.back();
        part.insert(part.end(), unit.begin(), unit.end());
        std::vector<std::uint32_t>().swap(unit);
    }
    for (std::vector<std::uint32_t>& part : out->parts) {
        // Subtrees the plan interleaves: their paths are unrelated, but a part
        // runs in plan order all the same.
        if (!std::is_sorted(part.begin(), part.end())) {
            std::sort(part.begin(), part.end());
        }
    }
    std::sort(out->last.begin(), out->last.end());
    return true;
}

}  // namespace Varnex::Cleaner::Details
