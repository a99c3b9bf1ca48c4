#include <windows.h>

#include "platform/PerformanceCounter.h"

namespace tw {

bool QueryPerformanceCounter(int64_t* PerformanceCount) {
  LARGE_INTEGER count{};
  if (PerformanceCount == nullptr || !::QueryPerformanceCounter(&count)) return false;
  *PerformanceCount = count.QuadPart;
  return true;
}

bool QueryPerformanceFrequency(int64_t* Frequency) {
  LARGE_INTEGER frequency{};
  if (Frequency == nullptr || !::QueryPerformanceFrequency(&frequency)) return false;
  *Frequency = frequency.QuadPart;
  return true;
}

}  // namespace tw
