#pragma once
// The ALSA sound system behind the wave output functions.
//
// One backend plays on one ALSA PCM (by name: "default", "hw:0", "pulse"...).
// What it promises, beyond the WaveOutBackend contract:
// - Query answers by configuring the PCM for the format. A PCM that was
//   configured this way, or that a closed stream leaves behind, stays open
//   and idle inside the process and is taken by the next Open of the same
//   format, so a program that opens and closes the device for every short
//   sound pays for the real open once. A different format closes it for
//   real; so does the end of the process.
// - A buffer is reported done only when its last frame has been played (the
//   device's delay says so), never when it has merely been handed to ALSA.
// - Reset drops what the device still holds and reports every queued buffer
//   done before it returns. Pause uses the device's own pause where it has
//   one; elsewhere it drops the unplayed frames and writes them again on
//   Restart. Position counts frames played since the open or the last Reset.
// - Volume is a software gain applied to a copy of the samples; the caller's
//   buffers are never modified.
// - Failures carry ALSA's own reason: ErrorText of a code this backend
//   returned reads like `ALSA PCM "default": No such file or directory`.
// - ALSA's own diagnostics on standard error are silenced: the reason travels
//   in the error text instead, so a failed run ends with one report line.
// - No call waits on the PCM without a bound: the PCM is driven by a thread
//   of its own (AlsaWorker.h), and opens and format queries are waited for
//   answerTime (5 s) at most. A PCM that stopped answering (a frozen sound
//   server behind its plugin) gives its buffers back on Reset, refuses new
//   ones, is not kept, and is left to its thread; ErrorText names the PCM
//   and what did not return.
// - libasound is loaded when the backend is created (sound/AlsaLibrary.h);
//   without it every call fails with MMSYSERR_NODRIVER, whose text names
//   the library and its Debian package.
//
// Formats: PCM (format tag 1) with 8, 16, 24 or 32 bits and IEEE float (tag
// 3) with 32 or 64 bits, any channel count and rate the PCM takes. A
// trailing partial frame of a buffer is not played.

#include <chrono>
#include <memory>
#include <string>

#include "sound/Backend.h"

namespace tw {

// How the backend sets up the PCM. The defaults keep about 6 ms of sound in
// the device: short sounds played one after another follow each other
// closely, and a buffer's end is heard soon after it was written. Measured
// through a sound server with 11 ms tones (bench/pulse_ratio.sh): 4 ms let
// the server run dry in the middle of tones, 8-10 ms added to every gap.
//
// A PCM that does not answer: an open (with its configuration) or a query
// of its formats is waited for answerTime at most, then reported as not
// answering; a call of the playback thread running longer than stuckAfter
// marks the PCM as stuck (see AlsaWorker.h).
struct AlsaOutputSettings {
  unsigned bufferMicroseconds = 6000;
  unsigned periodMicroseconds = 1500;
  std::chrono::milliseconds answerTime{5000};
  std::chrono::milliseconds stuckAfter{2000};
};

// "5 s", "0.2 s": a wait as the messages say it.
std::string AlsaWaitText(std::chrono::milliseconds wait);

// A backend for the ALSA PCM pcmName. Creating it opens nothing; the PCM is
// first opened by GetCaps, Query or Open.
std::unique_ptr<WaveOutBackend> CreateAlsaWaveOutBackend(const std::string& pcmName);
std::unique_ptr<WaveOutBackend> CreateAlsaWaveOutBackend(const std::string& pcmName,
                                                         const AlsaOutputSettings& settings);

}  // namespace tw
