#pragma once
// PipeWire behind the wave output functions, through its own client library
// (libpipewire-0.3, loaded at run time when this output is chosen).
//
// What it promises, beyond the WaveOutBackend contract:
// - One connection to the daemon per backend, served by the library's
//   thread loop; the sound itself is copied on the stream's real-time
//   thread. Every wait for the daemon is bounded (`timeout`).
// - One playback stream per format is kept across opens: a closed stream
//   goes on running with silence, waiting idle in the backend for the next
//   open of the same format, so short sounds played one after another each
//   cost no new stream (and no heap allocation on our side). A different
//   format, and the end of the process, close it for real.
// - A buffer is reported done once its last frame has gone to the sink:
//   when the stream's real-time thread copies a buffer's last frame, it
//   works out from the stream's timing (the graph cycle's time, the delay
//   to the device, what is still queued and what the resampler holds back)
//   when the graph hands that frame to the sink, and the report waits for
//   that moment. The sink plays the cycle that holds it from then on, so a
//   sound is reported at most one graph cycle before its own length has
//   passed since it started. The stream's own drain is not used (on 0.3 it
//   may report early, twice, or cut the end of the sound).
// - A graph that stops (a daemon that is frozen) cannot hold a sound for
//   ever: once a buffer should have been played by the sink, the latency
//   and kStallSlack have passed, and the graph has run no cycle for
//   kStallSlack, every queued buffer is reported done, one line on standard
//   error says so (once per backend), and the sound not yet taken is
//   dropped. A graph that runs but does not take the sound gets at most one
//   second more. The stream is kept and plays again when the graph does.
// - A daemon that goes away ends what was queued at once (reported done).
//   The next write fails with the reason; the open after that connects
//   anew, and fails when no daemon answers.
// - Volume is the stream's channel volumes in the daemon (linear, left on
//   even channels, right on odd ones); the samples are never touched.
// - Pause makes the stream inactive; Reset drops what was not yet played.
// - Failure texts name the daemon, the stream and the target, for example
//   `PipeWire daemon "/run/user/1000/pipewire-0", stream "Tonewell" on
//   target "tap": Broken pipe`.
//
// Formats: PCM (tag 1) with 8, 16, 24 or 32 bits and IEEE float (tag 3) with
// 32 bits, 1 to 32 channels, 1 to 384000 Hz. A trailing partial frame of a
// buffer is not played.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "sound/Backend.h"
#include "sound/ServerProbe.h"

namespace tw {

struct PipeWireOutputSettings {
  // The node to play on (its node.name or object.serial, as `pw-cli ls
  // Node` shows them); empty for the session manager's default sink.
  std::string target;
  // The stream's node.latency: the quantum asked of the graph, as
  // FRAMES/RATE. A sound starts on a graph cycle, so a quantum much longer
  // than the sounds leaves gaps between them; a short one wakes the daemon
  // and this program more often and leaves their real-time threads less
  // room on a busy machine. 0 frames: fitted to the sounds written to a
  // stream (PipeWireQuanta).
  uint32_t latencyFrames = 0;
  uint32_t latencyRate = 44100;
  // The longest wait for the daemon's answer to each request.
  std::chrono::milliseconds timeout{3000};
};

// The quantum fitted to a stream's sounds, in frames of the graph's rate:
// a sound starts on a cycle and takes whole cycles, so the quantum
// from kMin to kMax (powers of two) whose cycles hold the sound with the
// least left over, and of those the longest (fewer wake-ups, more room for
// the real-time threads): 256 for a sound of 500 frames (2 cycles, 512
// frames), 64 for one of 50 or of 300. The stream starts at kMax, and is
// fitted to the first sound written once the graph has said its rate.
struct PipeWireQuanta {
  static constexpr uint32_t kMin = 32;
  static constexpr uint32_t kMax = 256;
  static uint32_t Fit(uint64_t frames) {
    uint32_t best = kMax;
    for (uint32_t q = kMax; q >= kMin; q /= 2)
      if ((frames + q - 1) / q * q < (frames + best - 1) / best * best) best = q;
    return best;
  }
};

// How long a stopped graph may hold a sound beyond its due time before the
// sound is given up.
inline constexpr std::chrono::milliseconds kPipeWireStallSlack{60};

// A backend that connects to the daemon (PIPEWIRE_REMOTE, else
// XDG_RUNTIME_DIR/pipewire-0) when first used. Failures come back from
// GetCaps, Query and Open with a text naming the daemon; a library that
// cannot be loaded gives one line naming it and its Debian package.
std::unique_ptr<WaveOutBackend> CreatePipeWireWaveOutBackend(
    const PipeWireOutputSettings& settings);

// Connects a backend now, waiting at most `timeout` for the daemon's answer
// (kAnswered: it is in `backend`). Loads the library only when the daemon's
// socket exists; no socket, no library or a refused connection is kAbsent.
// `why` gets the text naming the daemon when it does not answer.
ServerProbe ProbePipeWire(std::chrono::milliseconds timeout,
                          std::unique_ptr<WaveOutBackend>& backend, std::string& why);

// Reads the part of a TONEWELL_AUDIO value after "pipewire": "", ":TARGET",
// "?latency=L" or ":TARGET?latency=L", with L either FRAMES/RATE (FRAMES
// 16 to 8192, RATE 8000 to 384000) or milliseconds ("2", "1.5ms", 0.5 to
// 100, kept as frames of 44100 Hz). Returns false for anything else.
bool ParsePipeWireSetting(const std::string& rest, PipeWireOutputSettings& settings);

}  // namespace tw
