#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/WakeTimer.h"

namespace tw {

// steady_clock is CLOCK_MONOTONIC, the timer's clock.
WakeTimer::WakeTimer() : handle_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)) {}

WakeTimer::~WakeTimer() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool WakeTimer::Usable() const { return handle_ >= 0; }

void WakeTimer::ArmAt(Clock::time_point at) {
  if (handle_ < 0) return;
  itimerspec due{};
  if (at != Clock::time_point::max()) {
    const int64_t ns = std::max<int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count(), 1);
    due.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    due.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
  }
  timerfd_settime(static_cast<int>(handle_), TFD_TIMER_ABSTIME, &due, nullptr);
}

void WakeTimer::Wait() {
  uint64_t expirations = 0;
  while (read(static_cast<int>(handle_), &expirations, sizeof expirations) < 0 && errno == EINTR) {
  }
}

}  // namespace tw
