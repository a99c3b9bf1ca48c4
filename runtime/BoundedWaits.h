#pragma once
// Waits for calls that may never return (a sound device being opened, a
// sound server being asked), each bounded in time, and all of them given up
// at once when the program is ending: after CancelBoundedWaits every such
// wait returns as failed within a few milliseconds, until
// ResumeBoundedWaits. Safe from any thread, never from a signal handler.

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

namespace tw {

void CancelBoundedWaits();
void ResumeBoundedWaits();
bool BoundedWaitsCancelled();

// How often a bounded wait looks at the cancellation.
inline constexpr std::chrono::milliseconds kBoundedWaitSlice(20);

// Waits until `done()` holds, at most until `deadline`, and no longer than
// kBoundedWaitSlice once the waits are cancelled. `waitUntil(t)` blocks until
// the steady-clock time t or until woken by whatever changes done(); it is
// only ever given times at most kBoundedWaitSlice ahead, so a wait whose
// waker does not know of the cancellation still notices it in time.
// Returns done(): false when the deadline passed or the waits were
// cancelled first. `done` is called with whatever lock waitUntil uses held.
template <class Done, class WaitUntil>
bool WaitUnlessCancelled(std::chrono::steady_clock::time_point deadline, Done&& done,
                         WaitUntil&& waitUntil) {
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline || BoundedWaitsCancelled()) return false;
    waitUntil(std::min(deadline, now + kBoundedWaitSlice));
  }
  return true;
}

// Runs `call` on a thread of its own and waits for it at most `limit` (less
// once the waits are cancelled). True when it returned in time. Otherwise
// the thread is left to finish, or never finish, on its own: `call` must
// own (share) everything it uses, and must not touch the caller's objects.
// Raises std::system_error when no thread can be started.
bool RunWithin(std::function<void()> call, std::chrono::milliseconds limit);

// The end of a wait that was not answered, for a failure text: "no answer
// within N ms", or "interrupted" when the waits were cancelled.
std::string NoAnswerText(std::chrono::milliseconds limit);

}  // namespace tw
