#include "audio/WaveStallWatchdog.h"

#include "platform/SyncObjects.h"

namespace tw {

TWaveStallWatchdog::Clock::time_point TWaveStallWatchdog::Deadline(TWatch Watch,
                                                                   uint64_t PendingBytes,
                                                                   uint32_t BytesPerSecond,
                                                                   uint32_t TimeoutMs) {
  const std::chrono::milliseconds timeout(TimeoutMs);
  if (Watch == TWatch::kNone) return Clock::time_point::max();
  if (Watch == TWatch::kStop) return FStopTime + timeout;
  if (FProgress != FProgressSeen) {
    FProgressSeen = FProgress;
    FProgressTime = Clock::now();
  }
  // Every buffer held should be back once its sound has played.
  const uint64_t rate = BytesPerSecond == 0 ? 1 : BytesPerSecond;
  const std::chrono::milliseconds sound((PendingBytes * 1000 + rate - 1) / rate);
  return FProgressTime + sound + timeout;
}

uint32_t TWaveStallWatchdog::DelayMs(Clock::time_point Deadline) {
  if (Deadline == Clock::time_point::max()) return INFINITE;
  const Clock::time_point now = Clock::now();
  if (Deadline <= now) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(Deadline - now).count();
  return ms >= static_cast<int64_t>(INFINITE) ? INFINITE - 1 : static_cast<uint32_t>(ms);
}

TWaveStallWatchdog::TRound TWaveStallWatchdog::TakeRound() {
  ++FRounds;
  return TRound{FRounds == 1, FRounds > kMaxRounds};
}

}  // namespace tw
