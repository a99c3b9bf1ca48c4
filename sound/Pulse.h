#pragma once
// The desktop's sound server behind the wave output functions, through the
// PulseAudio client library (PipeWire's pulse server speaks the same
// protocol).
//
// What it promises, beyond the WaveOutBackend contract:
// - One connection per backend, served by a main loop on the backend's own
//   thread. Every call that needs an answer from the server is waited for at
//   most a bounded time; no call of this backend waits for the server
//   without a limit.
// - One server stream per format is kept across opens: a closed stream
//   waits idle in the backend and is taken by the next Open of the same
//   format, so a program that opens the device for every short sound
//   connects a stream once. A different format, and the end of the process,
//   close it for real.
// - A buffer is reported done when the server says it has played it: the
//   last buffer written is drained (the server answers once its last frame
//   went to the sink); a buffer with more written after it is done when the
//   server's play position has passed its end.
// - A drain the server does not finish in time ends anyway. Once the sound
//   still queued, the latency and 30 ms have passed, the server is asked
//   where it reads, and again a little later; while that moves on it gets
//   more time. When it stood still between two looks, or the server did not
//   answer within 150 ms, the buffers are reported done, one line on
//   standard error says so (once per backend), and the next write goes to a
//   freshly created stream.
// - A server that goes away ends what was queued at once (reported done).
//   The next open gets a stream whose first write fails with the server's
//   reason, so the interrupted sound is reported as a failed one; the open
//   after that connects anew, and fails when no server answers.
// - Volume is the stream's volume in the server (linear, left gain on even
//   channels, right gain on odd ones); the samples are never touched.
// - Pause corks the stream; Reset flushes what the server holds. Position
//   counts frames of the buffers done since the open or the last Reset, plus
//   the part of the current buffer that its playing time says was heard.
// - Failure texts name the server, and the stream when there is one, for
//   example `PulseAudio server "unix:/run/user/1000/pulse/native", stream
//   "Tonewell" on sink "tap": Connection terminated`.
//
// Its parts: the connection and its loop thread (sound/PulseConnection.h),
// a server stream with its queue and drain (sound/PulseStream.h,
// sound/PulseDrain.h), the sample formats (sound/PulseFormat.h) and the
// settings (sound/PulseSettings.h); the backend shared with PipeWire
// (sound/ServerBackend.h) ties them together.
//
// Formats: PCM (tag 1) with 8, 16, 24 or 32 bits and IEEE float (tag 3) with
// 32 bits, 1 to 32 channels. A trailing partial frame of a buffer is not
// played.

#include <chrono>
#include <memory>
#include <string>

#include "sound/Backend.h"
#include "sound/PulseSettings.h"
#include "sound/ServerProbe.h"

namespace tw {

// A backend that connects to the server (the client library's default
// server: PULSE_SERVER, its configuration, the user's runtime folder) when
// it is first used. Failures to connect come back from GetCaps, Query and
// Open with a text naming the server.
std::unique_ptr<WaveOutBackend> CreatePulseWaveOutBackend(const PulseOutputSettings& settings);

// The same backend, connected now: null when no server answers within
// `timeout` (nothing is reported then). Does not start a server.
std::unique_ptr<WaveOutBackend> ConnectPulseWaveOutBackend(const PulseOutputSettings& settings,
                                                           std::chrono::milliseconds timeout);

// The look of the default output: a backend connected now (kAnswered, in
// `backend`); kAbsent when no server is there, the client library cannot be
// loaded or the connection is refused; kNotAnswering, with `why` naming the
// server, when a server took the connection but did not answer within
// `timeout` (a frozen one).
ServerProbe ProbePulse(std::chrono::milliseconds timeout, std::unique_ptr<WaveOutBackend>& backend,
                       std::string& why);

}  // namespace tw
