#pragma once
// The null sound system: a virtual sound card that discards what it plays.
//
// NullPacing::kRealTime plays like hardware. A buffer is done when its
// duration (bytes / nAvgBytesPerSec) has elapsed after the buffer before it
// (or after its own write, when the card had run dry); Pause stops the card's
// clock and Restart lets it run on; the position advances with the clock.
// One clock thread per backend, started by the first open, serves every
// stream; it sleeps until the next buffer is due and never spins.
//
// NullPacing::kNone is the same card without the clock: a buffer is done as
// soon as it is written (while not paused), so a battle runs as fast as the
// machine allows. Open, write and close cost no thread and no system call.
//
// Both store the volume word (a software gain: there is nothing to scale),
// so their caps report WAVECAPS_VOLUME and WAVECAPS_LRVOLUME; pitch and
// playback rate are not offered. Formats: see CheckPlayableFormat.

#include <memory>

#include "sound/Backend.h"

namespace tw {

enum class NullPacing { kRealTime, kNone };

std::unique_ptr<WaveOutBackend> CreateNullWaveOutBackend(NullPacing pacing);

}  // namespace tw
