#include "sound/PulseDrain.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace tw {
namespace {

using S = DrainState;
using E = DrainEvent;
using A = DrainAction;

// Drives a drain from kIdle through `events`; returns the actions asked.
std::vector<A> Drive(const std::vector<E>& events, S& state) {
  std::vector<A> actions;
  state = S::kIdle;
  for (E e : events) {
    const DrainStep step = NextDrainStep(state, e);
    state = step.next;
    actions.push_back(step.action);
  }
  return actions;
}

TEST(PulseDrain, EachPathEndsIdleWithTheActionsTheStreamCarriesOut) {
  struct Path {
    const char* name;
    std::vector<E> events;
    std::vector<A> actions;
  };
  const std::vector<Path> paths = {
      {"answered", {E::kSent, E::kDrained}, {A::kAskDrain, A::kFinish}},
      {"more sound while draining: the deadline grows, no second drain",
       {E::kSent, E::kSent, E::kDrained},
       {A::kAskDrain, A::kSetDeadline, A::kFinish}},
      {"late, then answered after a look",
       {E::kSent, E::kDeadline, E::kReadOn, E::kDrained},
       {A::kAskDrain, A::kAskPosition, A::kWaitForRest, A::kFinish}},
      {"the server reads on, then stands still",
       {E::kSent, E::kDeadline, E::kReadOn, E::kDeadline, E::kReadStill},
       {A::kAskDrain, A::kAskPosition, A::kWaitForRest, A::kAskPosition, A::kGiveUp}},
      {"the look is not answered in time",
       {E::kSent, E::kDeadline, E::kDeadline},
       {A::kAskDrain, A::kAskPosition, A::kGiveUp}},
      {"the look cannot be asked",
       {E::kSent, E::kDeadline, E::kNoAnswer},
       {A::kAskDrain, A::kAskPosition, A::kGiveUp}},
      {"refused", {E::kSent, E::kRefused}, {A::kAskDrain, A::kGiveUp}},
      {"more sound during a look: the look is moot",
       {E::kSent, E::kDeadline, E::kSent, E::kDrained},
       {A::kAskDrain, A::kAskPosition, A::kSetDeadline, A::kFinish}},
      {"paused and resumed",
       {E::kSent, E::kCorked, E::kDeadline, E::kUncorked, E::kDrained},
       {A::kAskDrain, A::kStopClock, A::kNone, A::kSetDeadline, A::kFinish}},
      {"paused during a look",
       {E::kSent, E::kDeadline, E::kCorked, E::kReadOn, E::kUncorked, E::kDrained},
       {A::kAskDrain, A::kAskPosition, A::kStopClock, A::kNone, A::kSetDeadline, A::kFinish}},
      {"flushed",
       {E::kSent, E::kDeadline, E::kDropped},
       {A::kAskDrain, A::kAskPosition, A::kCancel}},
  };
  for (const Path& p : paths) {
    S state;
    EXPECT_EQ(Drive(p.events, state), p.actions) << p.name;
    EXPECT_EQ(state, S::kIdle) << p.name << ": ends " << DrainStateName(state);
  }
}

// Answers that arrive after what they answered was dropped or finished
// (a timer, a look or a drain answer already on its way) change nothing.
TEST(PulseDrain, LateAndStrayEventsAreIgnored) {
  for (E e : {E::kDrained, E::kRefused, E::kDeadline, E::kReadOn, E::kReadStill, E::kNoAnswer,
              E::kCorked, E::kUncorked, E::kDropped})
    EXPECT_EQ(NextDrainStep(S::kIdle, e), (DrainStep{S::kIdle, A::kNone})) << static_cast<int>(e);
  for (S s : {S::kDraining, S::kWatching, S::kHeld})
    for (E e : {E::kReadOn, E::kReadStill, E::kNoAnswer})
      EXPECT_EQ(NextDrainStep(s, e), (DrainStep{s, A::kNone})) << DrainStateName(s);
  EXPECT_EQ(NextDrainStep(S::kHeld, E::kSent), (DrainStep{S::kHeld, A::kNone}));
  EXPECT_EQ(NextDrainStep(S::kHeld, E::kDeadline), (DrainStep{S::kHeld, A::kNone}));
}

}  // namespace
}  // namespace tw
