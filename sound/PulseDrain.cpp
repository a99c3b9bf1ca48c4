#include "sound/PulseDrain.h"

namespace tw {
namespace {

using S = DrainState;
using E = DrainEvent;
using A = DrainAction;

// What every state with a drain asked does alike.
DrainStep Asked(DrainState state, DrainEvent event) {
  switch (event) {
    case E::kDrained:
      return {S::kIdle, A::kFinish};
    case E::kRefused:
      return {S::kIdle, A::kGiveUp};
    case E::kDropped:
      return {S::kIdle, A::kCancel};
    case E::kCorked:
      return state == S::kHeld ? DrainStep{state, A::kNone} : DrainStep{S::kHeld, A::kStopClock};
    case E::kSent:
      // More sound: the drain now covers it and gets its time anew.
      return state == S::kHeld ? DrainStep{state, A::kNone}
                               : DrainStep{S::kDraining, A::kSetDeadline};
    default:
      return {state, A::kNone};
  }
}

}  // namespace

DrainStep NextDrainStep(DrainState state, DrainEvent event) {
  switch (state) {
    case S::kIdle:
      return event == E::kSent ? DrainStep{S::kDraining, A::kAskDrain} : DrainStep{state, A::kNone};
    case S::kDraining:
    case S::kWatching:
      if (event == E::kDeadline) return {S::kProbing, A::kAskPosition};
      return Asked(state, event);
    case S::kHeld:
      if (event == E::kUncorked) return {S::kDraining, A::kSetDeadline};
      return Asked(state, event);
    case S::kProbing:
      switch (event) {
        case E::kReadOn:
          return {S::kWatching, A::kWaitForRest};
        case E::kReadStill:
        case E::kNoAnswer:
        case E::kDeadline:  // the look itself was not answered in time
          return {S::kIdle, A::kGiveUp};
        default:
          return Asked(state, event);
      }
  }
  return {state, A::kNone};
}

const char* DrainStateName(DrainState state) {
  switch (state) {
    case S::kIdle:
      return "idle";
    case S::kDraining:
      return "draining";
    case S::kHeld:
      return "held";
    case S::kProbing:
      return "probing";
    case S::kWatching:
      return "watching";
  }
  return "?";
}

}  // namespace tw
