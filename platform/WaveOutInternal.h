#pragma once
// Shared by the files that implement the wave output functions; not for
// callers of those functions.

#include <memory>

#include "platform/WaveOutBackend.h"

namespace tw {

// The sound system new devices open on. Selects from TONEWELL_AUDIO first
// when nothing was selected yet (and so may raise what SelectWaveOutput raises).
std::shared_ptr<WaveOutBackend> CurrentWaveOutBackend();

// The selected sound system, or null when none was selected; never selects.
std::shared_ptr<WaveOutBackend> SelectedWaveOutBackend();

// Our own text for a result code of the wave output functions; null for a
// code that has none.
const char* CommonWaveOutErrorText(MMRESULT code);

}  // namespace tw
