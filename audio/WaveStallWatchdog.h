#pragma once
// The stall watchdog of a device object: tells when a device that keeps its
// buffers (or does not finish a stop) is to be taken as stuck, and counts
// the rounds of recovery. It only keeps time and counts; it calls nothing:
// the device object asks it for a deadline while it waits and acts on the
// round it takes. Not thread-safe: used under the device lock.

#include <chrono>
#include <cstdint>

namespace tw {

class TWaveStallWatchdog {
 public:
  using Clock = std::chrono::steady_clock;

  // What bounds how long the device may stay silent now.
  enum class TWatch : uint8_t {
    kNone,   // nothing: inactive, opening, paused, or a close awaited
    kStop,   // a stop under way: StallTimeout from when it was asked for
    kSound,  // playing: the sound the device holds, past its last progress, plus StallTimeout
  };
  // What a round of recovery is to do, besides asking the stop again.
  struct TRound {
    bool Report;  // the first round of an open: say so on standard error
    bool GiveUp;  // too many rounds: give the device up
  };

  // A new open: no rounds yet, and it counts as progress.
  void Arm() {
    FRounds = 0;
    ++FProgress;
  }
  // The device did something (opened, took or returned a buffer, resumed,
  // moved). Only counted here: the clock is read when a deadline is asked for.
  void NoteProgress() { ++FProgress; }
  // A stop was asked for now.
  void NoteStop() { FStopTime = Clock::now(); }

  // When the device counts as stuck; Clock::time_point::max() for kNone.
  // PendingBytes: the sound its buffers hold, at BytesPerSecond (0 counts
  // as 1). Progress is timed when it is first seen here, so the bound may
  // come a little later than the progress, never sooner.
  Clock::time_point Deadline(TWatch Watch, uint64_t PendingBytes, uint32_t BytesPerSecond,
                             uint32_t TimeoutMs);
  // Milliseconds from now until Deadline, for a wait: INFINITE for max(),
  // 0 once it has passed, below INFINITE otherwise.
  static uint32_t DelayMs(Clock::time_point Deadline);
  // Takes the next round of recovery.
  TRound TakeRound();

 private:
  // Rounds (each a reset, or a close tried again) before a device that does
  // not respond is given up.
  static constexpr int kMaxRounds = 3;

  uint32_t FProgress = 0;             // progress events so far
  uint32_t FProgressSeen = 0;         // FProgress when a deadline was last asked for
  Clock::time_point FProgressTime{};  // when it was seen to change
  Clock::time_point FStopTime{};      // when the stop under way was asked for
  int FRounds = 0;                    // rounds in this open
};

}  // namespace tw
