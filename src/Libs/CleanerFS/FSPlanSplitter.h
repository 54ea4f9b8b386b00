#pragma once

#include <QStringView>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Varnex::Cleaner::Details {

// Divides a removal plan into parts that can run at the same time.
//
// A part holds whole subtrees of the plan: with a folder it holds every
// planned path below that folder, so no path of one part is at or below a path
// of another, and removing one part never touches a folder another part works
// in. The planned folders above the parts (those whose subtree was divided)
// are left for the end, after every part, in plan order.
//
// The division keeps every order the plan sets between a folder and what lies
// in it; it is refused when the plan puts a divided folder before something
// inside it (the plan then runs as it stands). Paths are compared as the plan
// spells them, component by component.
class FSPlanSplitter {
public:
    struct Parts {
        // Plan positions; each part and `last` in plan order, the parts in
        // the order of their first position.
        std::vector<std::vector<std::uint32_t>> parts;
        std::vector<std::uint32_t> last;
    };

    // `paths`: the plan, each path once. `partSize`: the number of paths a
    // part aims at (a subtree larger than that is divided when it can be).
    // False when the plan cannot be divided: a folder planned before what is
    // planned inside it, a path that is not absolute or holds an empty
    // component, a path given twice, or more paths than positions can hold.
    static bool Split(const std::vector<QStringView>& paths, std::size_t partSize, Parts* out);

    // The deepest folder every path is at or below, spelled as in the paths
    // ("" for the root, and when the paths are not all absolute).
    static QStringView CommonFolder(const std::vector<QStringView>& paths);
};

}  // namespace Varnex::Cleaner::Details
