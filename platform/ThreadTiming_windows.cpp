// The system's headers need windows.h first.
// clang-format off
#include <windows.h>
#include <timeapi.h>
// clang-format on

#include <mutex>

#include "platform/ThreadTiming.h"

namespace tw {

void PrepareThreadForTimedWakeups() {
  // A timed wait on Windows ends on a tick of the system timer, every 15.6 ms
  // by default: longer than a whole tone. One request for 1 ms ticks holds
  // for the rest of the process (the system drops it when the process ends).
  static std::once_flag once;
  std::call_once(once, [] { ::timeBeginPeriod(1); });
}

}  // namespace tw
