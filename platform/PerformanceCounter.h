#pragma once
// The high-resolution counter that times a run: a count that only grows, and
// how many counts make a second.

#include <cstdint>

namespace tw {

// Stores the counter's current value; true on success (always, where the
// system has a monotonic clock). On Windows the system's performance counter,
// on Linux the monotonic clock in nanoseconds.
bool QueryPerformanceCounter(int64_t* PerformanceCount);
// Stores the counts per second of QueryPerformanceCounter (above 0).
bool QueryPerformanceFrequency(int64_t* Frequency);

}  // namespace tw
