#include <time.h>

#include "platform/PerformanceCounter.h"

namespace tw {

bool QueryPerformanceCounter(int64_t* PerformanceCount) {
  timespec now{};
  if (PerformanceCount == nullptr || ::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
  *PerformanceCount = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  return true;
}

bool QueryPerformanceFrequency(int64_t* Frequency) {
  if (Frequency == nullptr) return false;
  *Frequency = 1000000000;
  return true;
}

}  // namespace tw
