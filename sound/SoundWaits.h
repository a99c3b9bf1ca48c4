#pragma once
// The bounded waits of the sound systems for calls into their libraries (a
// device being opened, a server being asked) may be given up at once when
// the program is ending: after CancelSoundWaits every such wait returns as
// failed within a few milliseconds, until ResumeSoundWaits. Safe from any
// thread, never from a signal handler.

#include <chrono>
#include <functional>

namespace tw {

void CancelSoundWaits();
void ResumeSoundWaits();
bool SoundWaitsCancelled();

// How often a bounded wait looks at the cancellation.
inline constexpr std::chrono::milliseconds kSoundWaitSlice(20);

// Runs `call` on a thread of its own and waits for it at most `limit` (less
// once the waits are cancelled). True when it returned in time. Otherwise
// the thread is left to finish, or never finish, on its own: `call` must
// own (share) everything it uses, and must not touch the caller's objects.
// Raises std::system_error when no thread can be started.
bool RunWithin(std::function<void()> call, std::chrono::milliseconds limit);

}  // namespace tw
