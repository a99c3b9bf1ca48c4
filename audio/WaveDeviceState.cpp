#include "audio/WaveDeviceState.h"

namespace tw {

std::optional<TWaveDeviceState> NextWaveDeviceState(TWaveDeviceState State,
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
      if (State == S::kPlaying || State == S::kDraining || State == S::kStalled)
        return S::kStopping;
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

}  // namespace tw
