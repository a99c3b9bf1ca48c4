#include "sound/PipeWireCycles.h"

#include <gtest/gtest.h>

#include <vector>

namespace tw {
namespace {

// The graph's clock at 50 kHz: a tick is 20 us.
constexpr uint32_t kRate = 50000;
constexpr int64_t kTickNs = 20000;

// A stream's cycles as its thread sees them: the graph's clock, and when the
// thread ran (on time unless a cycle says otherwise).
struct Stream {
  PipeWireCycles cycles;
  uint64_t ticks = 5000;
  int64_t ranNs = 0;

  // The graph goes on by `step` ticks and the thread runs after `awayNs`
  // (by default the step's own time).
  PipeWireCycles::Seen Cycle(uint64_t step, bool inSound, int64_t awayNs = -1) {
    ticks += step;
    ranNs += awayNs >= 0 ? awayNs : static_cast<int64_t>(step) * kTickNs;
    return cycles.Note({ticks, kRate, ranNs, inSound});
  }
};

TEST(PipeWireCycles, TheQuantumSettlesOnceTheGraphHasChangedToIt) {
  Stream s;
  // The first cycle is at the graph's old quantum of 1024; then 64.
  std::vector<bool> settled;
  for (const uint64_t step : {0, 1024, 64, 64, 64, 64, 64, 64})
    settled.push_back(s.Cycle(step, false).settled);
  EXPECT_EQ(settled, (std::vector<bool>{false, false, false, false, true, false, false, false}));
}

TEST(PipeWireCycles, ACycleRunWithoutTheLateStreamCutsOnlyTheSoundInFlight) {
  Stream s;
  for (int i = 0; i < 5; ++i) s.Cycle(256, false);
  EXPECT_FALSE(s.Cycle(256, true).cut);
  // The thread away for two quanta, in sound and in silence.
  EXPECT_TRUE(s.Cycle(512, true).cut);
  EXPECT_FALSE(s.Cycle(256, true).cut);
  EXPECT_FALSE(s.Cycle(512, false).cut);
  // A graph held up half a second (the daemon stopped), then catching up:
  // steps of two quanta with the thread there for each. Not a cut.
  EXPECT_FALSE(s.Cycle(512, true, 500000000).cut);
  EXPECT_FALSE(s.Cycle(512, true, 40000).cut);
  EXPECT_FALSE(s.Cycle(512, true, 40000).cut);
  // Before the quantum settled nothing counts as a cut.
  Stream fresh;
  fresh.Cycle(0, true);
  EXPECT_FALSE(fresh.Cycle(1024, true).cut);
  EXPECT_FALSE(fresh.Cycle(2048, true).cut);
}

}  // namespace
}  // namespace tw
