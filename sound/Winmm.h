#pragma once
// The Windows sound system behind the wave output functions: the system's own
// waveOut device (winmm), the default output of the Windows build.
//
// What it promises, beyond the WaveOutBackend contract:
// - Query asks the device itself (a query open). A device that a closed
//   stream leaves behind stays open and idle inside the process and is taken
//   by the next Open of the same format, so a program that opens and closes
//   the device for every short sound pays for the real open once. A
//   different format closes it for real; so does the end of the backend.
// - A buffer is reported done when the device's position has passed its
//   last frame, not when the system returns it (the system may return a
//   buffer long before it is heard, or some periods after). Each buffer is
//   copied, when written, into a block of the backend's own that the system
//   reads, so a reported buffer is the caller's again even while the system
//   still holds the copy. Should the position stop short, the buffer is
//   reported when its remaining duration and 200 ms more have passed.
// - A device that closes for real after playing lets 100 ms of silence out
//   first, so a sound server behind it plays the end of the last buffer.
// - Reset stops the device and reports every queued buffer done before it
//   returns. Pause and volume are the device's own. Position counts the
//   frames played since the open or the last Reset.
// - Failures carry the system's text for the code: ErrorText of a code this
//   backend returned reads like `Windows sound output "NAME": <system text>`.
//
// Formats: whatever the device takes (the system converts PCM formats its
// mixer does not play directly); a trailing partial frame of a buffer is not
// played.

#include <cstdint>
#include <memory>

#include "sound/Backend.h"

namespace tw {

// A backend for the device deviceId (WAVE_MAPPER: the system's default
// output, which follows the user's choice). Creating it opens nothing.
std::unique_ptr<WaveOutBackend> CreateWinmmWaveOutBackend(uint32_t deviceId = WAVE_MAPPER);

}  // namespace tw
