#pragma once
// Scheduling of threads that must wake at a given time (a sound card's clock,
// a thread that waits for a device's next buffer).

namespace tw {

// Prepares the calling thread for wake-ups that should come on time:
// - its timer slack drops to 1 us (the default lets a timed sleep end up to
//   50 us late, so that wake-ups can be batched);
// - it asks the scheduler for a short time slice. From Linux 6.12 a thread
//   that wakes with a shorter slice than the running one takes the
//   processor at once instead of when that one's slice has run out (about
//   1.5 ms on a busy machine), and any thread may ask for it.
// Its share of the processor stays the same. Where a request is refused or
// unknown the thread keeps its setting; nothing depends on it but latency.
void PrepareThreadForTimedWakeups();

}  // namespace tw
