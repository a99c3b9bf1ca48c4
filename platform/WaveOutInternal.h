#pragma once
// Shared by the files that implement the wave output functions; not for
// callers of those functions.

#include <memory>
#include <string>

#include "platform/WaveOutBackend.h"

namespace tw {

// The sound system new devices open on. Selects from TONEWELL_AUDIO first
// when nothing was selected yet (and so may raise what SelectWaveOutput raises).
std::shared_ptr<WaveOutBackend> CurrentWaveOutBackend();

// The selected sound system, or null when none was selected; never selects.
std::shared_ptr<WaveOutBackend> SelectedWaveOutBackend();

// The sound systems of the operating system this build is for (one file per
// system: WaveOutSystem_posix.cpp with ALSA and the sound server, and
// WaveOutSystem_windows.cpp with the system's waveOut device). Returns the
// backend a TONEWELL_AUDIO value names when it names one of them ("" and
// "default" always do), null when it names none. May raise what selecting it
// raises (EAudioSettingError for a malformed value of its own).
std::unique_ptr<WaveOutBackend> CreateSystemWaveOutput(const std::string& setting);

// The TONEWELL_AUDIO values this build accepts, for the text of an error:
// "accepted: unset, ...".
const char* AcceptedWaveOutputForms();

// Our own text for a result code of the wave output functions; null for a
// code that has none.
const char* CommonWaveOutErrorText(MMRESULT code);

}  // namespace tw
