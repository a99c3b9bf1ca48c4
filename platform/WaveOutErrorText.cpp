#include "platform/WaveOutInternal.h"

namespace tw {

const char* CommonWaveOutErrorText(MMRESULT code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return "No error.";
    case MMSYSERR_ERROR:
      return "The sound output failed.";
    case MMSYSERR_BADDEVICEID:
      return "There is no sound output with this device number.";
    case MMSYSERR_NOTENABLED:
      return "The sound output is not enabled.";
    case MMSYSERR_ALLOCATED:
      return "The sound output is in use and cannot be opened again.";
    case MMSYSERR_INVALHANDLE:
      return "The device handle is not an open sound output.";
    case MMSYSERR_NODRIVER:
      return "No sound output is available.";
    case MMSYSERR_NOMEM:
      return "Not enough memory for the sound output.";
    case MMSYSERR_NOTSUPPORTED:
      return "The sound output does not offer this function.";
    case MMSYSERR_BADERRNUM:
      return "The result code is not known.";
    case MMSYSERR_INVALFLAG:
      return "A flag passed to the sound output is not valid.";
    case MMSYSERR_INVALPARAM:
      return "A parameter passed to the sound output is not valid.";
    case WAVERR_BADFORMAT:
      return "The sound output cannot play this wave format.";
    case WAVERR_STILLPLAYING:
      return "Buffers are still queued on the sound output.";
    case WAVERR_UNPREPARED:
      return "The buffer was not prepared before it was written.";
    case WAVERR_SYNC:
      return "The sound output can only be opened synchronously.";
    default:
      return nullptr;
  }
}

}  // namespace tw
