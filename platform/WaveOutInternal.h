#pragma once
// Shared by the files that implement the wave output functions; not for
// callers of those functions.

#include <memory>

#include "sound/Backend.h"

namespace tw {

// The sound system new devices open on (installed by UseWaveOutBackend or
// by the selection in sound/Selection.h); null while none is installed, and
// the functions then answer MMSYSERR_NODRIVER.
std::shared_ptr<WaveOutBackend> CurrentWaveOutBackend();

// Our own text for a result code of the wave output functions; null for a
// code that has none.
const char* CommonWaveOutErrorText(MMRESULT code);

}  // namespace tw
