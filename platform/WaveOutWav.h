#pragma once
// The WAV recorder: a sound system that writes everything played, in the
// order it is played, into one WAV file for the whole run.
//
// The file is created (or emptied) when the backend is created. The first
// open fixes the file's format; a later open (or query) in another format is
// refused with WAVERR_BADFORMAT, and ErrorText names both formats. Buffers
// are recorded the moment they are written (unpaced) with positioned writes
// on one open descriptor; after every device close the RIFF and data sizes
// in the header are patched, so a run that fails or is killed leaves a valid
// WAV holding every buffer played up to the last close. No fsync: the data
// survives the process, not a power cut.
//
// Layout: the canonical 44-byte header for PCM ("RIFF" size "WAVE", "fmt "
// 16, the 16-byte format, "data" size) and 46 bytes for float formats (an
// 18-byte format with cbSize 0). An odd data size is followed by a pad byte
// counted in the RIFF size. A recording that would pass 4 GiB is refused
// (MMSYSERR_ERROR with a text saying so); nothing already recorded is lost.

#include <memory>
#include <string>

#include "platform/WaveOutBackend.h"

namespace tw {

// Raises EFOpenError naming the path and the system's reason when the file
// cannot be created.
std::unique_ptr<WaveOutBackend> CreateWavWaveOutBackend(const std::string& path);

}  // namespace tw
