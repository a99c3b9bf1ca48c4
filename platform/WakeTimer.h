#pragma once
// A timer that one thread sleeps on and any thread re-arms: the clock of the
// paced sound card. One file per system (WakeTimer_posix.cpp: a timerfd;
// WakeTimer_windows.cpp: a waitable timer).

#include <chrono>
#include <cstdint>

namespace tw {

class WakeTimer {
 public:
  using Clock = std::chrono::steady_clock;

  WakeTimer();
  ~WakeTimer();
  WakeTimer(const WakeTimer&) = delete;
  WakeTimer& operator=(const WakeTimer&) = delete;

  // False when the system gave no timer; then nothing fires.
  bool Usable() const;
  // Fires at `at`, at once when that has passed; Clock::time_point::max()
  // disarms. Replaces any earlier arming. May be called from any thread.
  void ArmAt(Clock::time_point at);
  // Sleeps until the timer fires (returns at once when it fired since the
  // last Wait).
  void Wait();

 private:
  intptr_t handle_;  // the timerfd, or the timer's HANDLE
};

}  // namespace tw
