#pragma once

namespace Varnex::Cleaner::Details {

// Puts the calling thread a few steps of niceness below the thread that
// started it. The scanner's walkers and the removal server's worker call it
// first: on a machine with few cores they would otherwise take turns with the
// main thread, whose every delay is a delay of the view. They still have the
// whole machine when the main thread waits for its next tick.
//
// Best effort: a thread whose niceness cannot change keeps it.
void LowerThreadPriority();

}  // namespace Varnex::Cleaner::Details
