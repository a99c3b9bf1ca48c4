#pragma once
// Wakes one waiting thread from any thread, a real-time one included:
// Post takes no lock and never blocks, and a timed wait returns when it is
// posted or when its deadline passes, whichever comes first, to within the
// kernel's timer slack. POSIX only.
//
// Why not std::counting_semaphore: libstdc++ 12 waits for a deadline by
// polling, sleeping half the time already waited between looks, so a post
// 12 ms into a wait was noticed up to 6 ms later. This waits in the kernel
// (a POSIX semaphore on CLOCK_MONOTONIC, steady_clock's clock).

#include <semaphore.h>
#include <time.h>

#include <cerrno>
#include <chrono>

namespace tw {

class WakeSignal {
 public:
  using Clock = std::chrono::steady_clock;

  WakeSignal() { sem_init(&sem_, 0, 0); }
  ~WakeSignal() { sem_destroy(&sem_); }
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  // Wakes the waiter, or the next wait when none is waiting now. Posts
  // count: each one lets one wait return at once.
  void Post() { sem_post(&sem_); }

  // Waits for a post.
  void Wait() {
    while (sem_wait(&sem_) != 0 && errno == EINTR) {
    }
  }

  // Waits for a post until `deadline`; true when it was posted.
  bool WaitUntil(Clock::time_point deadline) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    timespec at{};
    at.tv_sec = static_cast<time_t>(ns / 1000000000);
    at.tv_nsec = static_cast<long>(ns % 1000000000);
    for (;;) {
      if (sem_clockwait(&sem_, CLOCK_MONOTONIC, &at) == 0) return true;
      if (errno != EINTR) return false;
    }
  }

 private:
  sem_t sem_;
};

}  // namespace tw
