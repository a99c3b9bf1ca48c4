#include "audio/WaveDeviceState.h"

#include <gtest/gtest.h>

#include <vector>

namespace tw {
namespace {

using S = TWaveDeviceState;
using E = TWaveDeviceEvent;

// What the device object reports in a state: Opening, Closing, Stopping.
struct Flags {
  bool Opening, Closing, Stopping;
  bool operator==(const Flags&) const = default;
};
Flags FlagsOf(S State) {
  return {IsOpeningState(State), IsClosingState(State), IsStoppingState(State)};
}

// Walks Events from Idle; every event must apply. Returns the flags after each.
std::vector<Flags> Walk(std::initializer_list<E> Events) {
  S state = S::kIdle;
  std::vector<Flags> seen;
  for (E e : Events) {
    const std::optional<S> next = NextWaveDeviceState(state, e);
    EXPECT_TRUE(next.has_value()) << "event " << int(e) << " refused in state " << int(state);
    if (next) state = *next;
    seen.push_back(FlagsOf(state));
  }
  EXPECT_EQ(state, S::kIdle) << "every road ends idle";
  return seen;
}

TEST(WaveDeviceStateTest, RoadsFromOpenToClose) {
  const Flags opening{true, false, false}, playing{false, false, false};
  const Flags draining{false, true, false}, stopping{false, true, true};
  const Flags idle{false, false, false};
  // The data ends and the device closes by itself: never a stop.
  EXPECT_EQ(Walk({E::kOpen, E::kOpened, E::kDataEnded, E::kCloseSent, E::kClosed}),
            (std::vector<Flags>{opening, playing, draining, draining, idle}));
  // A stop after the data ended, and the watchdog asking it again.
  EXPECT_EQ(Walk({E::kOpen, E::kOpened, E::kDataEnded, E::kStop, E::kStall, E::kStop, E::kCloseSent,
                  E::kClosed}),
            (std::vector<Flags>{opening, playing, draining, stopping, stopping, stopping, stopping,
                                idle}));
  // Moving the position after the end plays on; a failed open leaves nothing.
  EXPECT_EQ(Walk({E::kOpen, E::kOpened, E::kDataEnded, E::kDataResumed, E::kGiveUp, E::kClosed}),
            (std::vector<Flags>{opening, playing, draining, playing, stopping, idle}));
  EXPECT_EQ(Walk({E::kOpen, E::kOpenFailed}), (std::vector<Flags>{opening, idle}));
}

TEST(WaveDeviceStateTest, EventsThatDoNotApply) {
  // A second stop, or one after the close was sent, adds nothing; neither
  // does the end of the data during a stop, nor a restart of it.
  for (S s : {S::kStopping, S::kClosingDrained, S::kClosingStopped, S::kGivingUp, S::kIdle}) {
    EXPECT_FALSE(NextWaveDeviceState(s, E::kStop)) << int(s);
  }
  EXPECT_FALSE(NextWaveDeviceState(S::kStopping, E::kDataEnded));
  EXPECT_FALSE(NextWaveDeviceState(S::kStopping, E::kDataResumed));
  // Only an idle object opens; a close awaited is not taken as stuck.
  EXPECT_FALSE(NextWaveDeviceState(S::kPlaying, E::kOpen));
  EXPECT_FALSE(NextWaveDeviceState(S::kClosingStopped, E::kStall));
  EXPECT_FALSE(NextWaveDeviceState(S::kPlaying, E::kCloseSent));
}

}  // namespace
}  // namespace tw
