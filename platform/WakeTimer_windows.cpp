#include <windows.h>

#include <algorithm>

#include "platform/WakeTimer.h"

namespace tw {
namespace {

HANDLE Timer(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which the toolchain's headers lack.
constexpr DWORD kHighResolutionTimer = 0x00000002;

// A timer of the system's finest resolution where the system has one (from
// Windows 10, 1803); elsewhere an ordinary one, as fine as the system timer's
// tick (1 ms once PrepareThreadForTimedWakeups asked for it).
HANDLE CreateTimer() {
  HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
  if (timer == nullptr) timer = ::CreateWaitableTimerW(nullptr, FALSE, nullptr);
  return timer;
}

}  // namespace

WakeTimer::WakeTimer() : handle_(reinterpret_cast<intptr_t>(CreateTimer())) {}

WakeTimer::~WakeTimer() {
  if (handle_ != 0) ::CloseHandle(Timer(handle_));
}

bool WakeTimer::Usable() const { return handle_ != 0; }

void WakeTimer::ArmAt(Clock::time_point at) {
  if (handle_ == 0) return;
  if (at == Clock::time_point::max()) {
    ::CancelWaitableTimer(Timer(handle_));
    return;
  }
  // The system's timers count absolute time on the wall clock, which may be
  // set; a time relative to now (negative, in 100 ns) follows steady_clock.
  const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(at - Clock::now());
  LARGE_INTEGER due{};
  due.QuadPart = -std::max<int64_t>(wait.count() / 100, 1);
  ::SetWaitableTimer(Timer(handle_), &due, 0, nullptr, nullptr, FALSE);
}

void WakeTimer::Wait() { ::WaitForSingleObject(Timer(handle_), INFINITE); }

}  // namespace tw
