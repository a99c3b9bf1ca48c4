#pragma once
// The choice of sound system by the TONEWELL_AUDIO setting. What is chosen
// is installed for the wave output functions (UseWaveOutBackend), so every
// device opened after it plays there.

#include <functional>
#include <memory>
#include <string>

#include "runtime/Exceptions.h"
#include "sound/Backend.h"

namespace tw {

// A TONEWELL_AUDIO value that names no sound system, or one this build
// cannot provide. The message names the value and the accepted forms.
TW_DECLARE_EXCEPTION(EAudioSettingError, Exception);

// Chooses the sound system from a TONEWELL_AUDIO value ("", "default",
// "null", "null:fast", "wav:PATH", and the system's own: "alsa", "alsa:NAME",
// "pulse"... on Linux, "winmm" on Windows). Raises an Exception
// naming the value and the accepted forms when it is not one of them
// (EAudioSettingError; EFOpenError when the WAV file cannot be created).
// Devices already open keep the sound system they were opened on.
void SelectWaveOutput(const std::string& setting);
// SelectWaveOutput of the environment's TONEWELL_AUDIO (unset counts as "").
void SelectWaveOutputFromEnvironment();

// For tests: every sound system SelectWaveOutput chooses from now on is
// handed to Wrap first, and what Wrap returns is used instead (a stand-in
// that fails on purpose over the real one, say). An empty Wrap stops this.
using WaveOutBackendWrapper =
    std::function<std::unique_ptr<WaveOutBackend>(std::unique_ptr<WaveOutBackend>)>;
void WrapSelectedWaveOutput(WaveOutBackendWrapper wrap);

// The sound systems of the operating system this build is for (one file per
// system: Systems_posix.cpp with ALSA and the sound server, and
// Systems_windows.cpp with the system's waveOut device). Returns the
// backend a TONEWELL_AUDIO value names when it names one of them ("" and
// "default" always do), null when it names none. May raise what selecting it
// raises (EAudioSettingError for a malformed value of its own).
std::unique_ptr<WaveOutBackend> CreateSystemWaveOutput(const std::string& setting);

// The TONEWELL_AUDIO values this build accepts, for the text of an error:
// "accepted: unset, ...".
const char* AcceptedWaveOutputForms();

}  // namespace tw
