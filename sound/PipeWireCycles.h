#pragma once
// The graph's clock as a stream's cycles see it (sound/PipeWireStream.h).
// The graph's clock goes on by one quantum a cycle. A stream that joins a
// running graph asks it for its own quantum, and the graph changes to it a
// cycle or more after it first ran the stream; and on a busy machine the
// graph may run cycles without a stream whose real-time thread was not run
// in time (quanta of a millisecond or so), leaving a gap in what the
// stream was playing.

#include <cstdint>

namespace tw {

class PipeWireCycles {
 public:
  // Cycles in a row with one step of the clock after which the quantum
  // counts as settled.
  static constexpr uint32_t kSteadyCycles = 2;
  // The stream's thread away this many quanta or longer is the graph
  // stopping (the stream paused, the daemon held up), not a cycle run
  // without the stream; the held-up sound says that.
  static constexpr int64_t kLongestSkip = 8;

  struct Cycle {
    uint64_t ticks;  // the graph's clock
    uint32_t rate;   // its ticks a second
    int64_t runNs;   // when the stream's thread ran the cycle (monotonic)
    bool inSound;    // the stream's last cycle left sound for this one
  };
  struct Seen {
    bool settled;  // the quantum settled with this cycle (once per Reset)
    bool cut;      // the graph ran a cycle or more without the stream
  };

  // A cycle was cut when the graph's clock went on by more than a quantum
  // and the stream's thread had been away for more than a quantum and a
  // half: it did not run in time. A graph that catches up after being held
  // up runs its cycles one after the other, with steps of more than a
  // quantum: the stream's thread was there for each, so that is not a cut.
  Seen Note(const Cycle& c) {
    const uint64_t step = c.ticks - lastTicks_;
    const int64_t away = c.runNs - lastRunNs_;
    const bool known = ticking_;
    ticking_ = true;
    lastTicks_ = c.ticks;
    lastRunNs_ = c.runNs;
    Seen seen{false, false};
    if (!known || step != lastStep_) {
      steady_ = 0;
    } else if (steady_ < kSteadyCycles && ++steady_ == kSteadyCycles) {
      seen.settled = quantum_ == 0;
      quantum_ = step;
    }
    lastStep_ = known ? step : 0;
    if (known && c.inSound && quantum_ != 0 && step > quantum_ && c.rate != 0) {
      const int64_t quantumNs = static_cast<int64_t>(quantum_ * 1000000000 / c.rate);
      seen.cut = 2 * away > 3 * quantumNs && away < kLongestSkip * quantumNs;
    }
    return seen;
  }

  // The stream connects anew.
  void Reset() { *this = PipeWireCycles(); }

 private:
  uint64_t lastTicks_ = 0;
  int64_t lastRunNs_ = 0;
  uint64_t lastStep_ = 0;
  uint64_t quantum_ = 0;  // the settled step; 0 until it settled
  uint32_t steady_ = 0;   // cycles in a row with lastStep_
  bool ticking_ = false;  // lastTicks_ is known
};

}  // namespace tw
