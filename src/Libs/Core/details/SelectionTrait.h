#pragma once

namespace Varnex::Cleaner {

// Which copy of a set of duplicates stays unselected.
enum SelectionTrait { KEEP_NEWEST = 0, KEEP_OLDEST = 1 };

}  // namespace Varnex::Cleaner
