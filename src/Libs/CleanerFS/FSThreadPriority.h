#pragma once

namespace Varnex::Cleaner::Details {

// Puts the calling thread `steps` of niceness below the thread that started
// it. The scanner's walkers and the removal server's worker call it first: on
// a machine with few cores they would otherwise take turns with the main
// thread, whose every delay is a delay of the view. They still have the whole
// machine when the main thread waits for its next tick.
//
// Best effort: a thread whose niceness cannot change keeps it.
void LowerThreadPriority(int steps);

// Weight 110 against the main thread's 1024. The walkers feed a main thread
// that is busy all the time near the end of a large scan; a walker that shares
// its core keeps it for a whole scheduler tick (4 ms at 250 Hz) each time it
// runs there. At this weight that happens about once in 40 ms, so a 20 ms turn
// of the main thread holds one such pause at most; at weight 335 it came about
// every 16 ms, and a turn could hold two.
constexpr int walkerNiceSteps = 10;
// Weight 335: the main thread, which only follows the removal's results, wins
// a core at once when it wakes, and the removal keeps most of the machine
// while the main thread works.
constexpr int removalNiceSteps = 5;

}  // namespace Varnex::Cleaner::Details
