#pragma once
// Scheduling priority of a thread that serves a device.

namespace tw {

// Raises the calling thread one step above the rest of the process
// (Windows: THREAD_PRIORITY_ABOVE_NORMAL; Linux: nice -1 for this thread).
// Where raising needs a privilege the thread lacks, it keeps its priority.
void RaiseThreadPriority();

}  // namespace tw
