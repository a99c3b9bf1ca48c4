#pragma once
// Where a device object stands between its open and its close, as one named
// state, and the one table that moves it. TWaveAudioIO owns the state and is
// the only one that moves it (TWaveAudioIO::MoveState); the output device
// tells it what happened by an event.
//
//   Idle --Open--> Opening --Opened--> Playing --DataEnded--> Draining
//                          --OpenFailed--> Idle    <--DataResumed--
//   Playing | Draining | Stalled --Stop--> Stopping
//   Playing | Draining | Stopping | Stalled --Stall--> Stalled
//   Draining --CloseSent--> ClosingDrained;  Stopping | Stalled --CloseSent--> ClosingStopped
//   any but Idle --GiveUp--> GivingUp;  any --Closed--> Idle

#include <cstdint>
#include <optional>

namespace tw {

enum class TWaveDeviceState : uint8_t {
  kIdle,            // no device: never opened, or its close has been handled
  kOpening,         // an open is under way
  kPlaying,         // open: buffers are queued and refilled as they come back
  kDraining,        // the data has ended: the last buffers play out, the last one closes
  kStopping,        // a stop was asked for: the device was reset, its buffers come back
  kStalled,         // the device stopped responding: the stop is to be asked again
  kGivingUp,        // the device no longer responds: the object closes without it
  kClosingDrained,  // told to close after the data ended; its close notification is awaited
  kClosingStopped,  // told to close after a stop; its close notification is awaited
};

enum class TWaveDeviceEvent : uint8_t {
  kOpen,         // an open begins
  kOpened,       // the open succeeded (its notification may still be on its way)
  kOpenFailed,   // the open failed; nothing was left open
  kDataEnded,    // a read came back empty, or a buffer could not be queued
  kDataResumed,  // the position was moved after the data had ended
  kStop,         // a stop is asked for (or asked again after a stall)
  kStall,        // the waits found the device stuck
  kGiveUp,       // the device is given up on
  kCloseSent,    // the device accepted the close; its notification follows
  kClosed,       // the close notification has been handled
};

// The state Event leads to from State; nothing when the event does not apply
// there (a stop while one is under way, data ending while stopping, ...).
// In the header: it runs several times per tone, on the road of every
// instruction.
constexpr std::optional<TWaveDeviceState> NextWaveDeviceState(TWaveDeviceState State,
                                                              TWaveDeviceEvent Event) {
  using S = TWaveDeviceState;
  using E = TWaveDeviceEvent;
  switch (Event) {
    case E::kOpen:
      if (State == S::kIdle) return S::kOpening;
      break;
    case E::kOpened:
      if (State == S::kOpening) return S::kPlaying;
      break;
    case E::kOpenFailed:
      if (State == S::kOpening) return S::kIdle;
      break;
    case E::kDataEnded:
      if (State == S::kPlaying) return S::kDraining;
      break;
    case E::kDataResumed:
      if (State == S::kDraining) return S::kPlaying;
      break;
    case E::kStop:
      if (State == S::kPlaying || State == S::kDraining || State == S::kStalled) {
        return S::kStopping;
      }
      break;
    case E::kStall:
      if (State == S::kPlaying || State == S::kDraining || State == S::kStopping ||
          State == S::kStalled) {
        return S::kStalled;
      }
      break;
    case E::kGiveUp:
      if (State != S::kIdle) return S::kGivingUp;
      break;
    case E::kCloseSent:
      if (State == S::kDraining) return S::kClosingDrained;
      if (State == S::kStopping || State == S::kStalled) return S::kClosingStopped;
      break;
    case E::kClosed:
      return S::kIdle;
  }
  return std::nullopt;
}

// The states the object reports through Opening, Closing and Stopping, and
// the one in which a close has been sent and is awaited.
constexpr bool IsOpeningState(TWaveDeviceState S) { return S == TWaveDeviceState::kOpening; }
constexpr bool IsStoppingState(TWaveDeviceState S) {
  return S == TWaveDeviceState::kStopping || S == TWaveDeviceState::kStalled ||
         S == TWaveDeviceState::kGivingUp || S == TWaveDeviceState::kClosingStopped;
}
constexpr bool IsClosingState(TWaveDeviceState S) {
  return IsStoppingState(S) || S == TWaveDeviceState::kDraining ||
         S == TWaveDeviceState::kClosingDrained;
}
constexpr bool IsCloseSentState(TWaveDeviceState S) {
  return S == TWaveDeviceState::kClosingDrained || S == TWaveDeviceState::kClosingStopped;
}

}  // namespace tw
