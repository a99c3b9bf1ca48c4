#pragma once
// The seam between the wave output functions (waveOutOpen and the rest) and a
// sound system. One implementation per file: null (paced or fast), wav, alsa.
// The output functions own the notification channel; a backend only plays
// buffers and says when each one is done.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/mmsystem.h"

namespace tw {

// Told by an open stream when a buffer has been played to its last frame.
// May be called on the backend's own thread, or from inside Write/Reset.
// Buffers are reported exactly once each, in the order they were written.
class WaveOutSink {
 public:
  virtual ~WaveOutSink() = default;
  virtual void BufferDone(WAVEHDR* header) = 0;
};

// One open output device.
class WaveOutStream {
 public:
  virtual ~WaveOutStream() = default;
  WaveOutStream() = default;
  WaveOutStream(const WaveOutStream&) = delete;
  WaveOutStream& operator=(const WaveOutStream&) = delete;

  // Queues the header's dwBufferLength bytes after everything written before.
  // The header stays the caller's; the stream only reads it until it is done.
  virtual MMRESULT Write(WAVEHDR* header) = 0;
  // Stops at once and reports every queued buffer done before returning; the
  // position returns to 0. Leaves a paused stream paused.
  virtual MMRESULT Reset() = 0;
  virtual MMRESULT Pause() = 0;
  virtual MMRESULT Restart() = 0;
  // Frames played since the open or the last Reset.
  virtual MMRESULT GetPosition(uint64_t& frames) = 0;
  // Volume as the device word: low 16 bits left, high 16 bits right.
  virtual MMRESULT GetVolume(uint32_t& volume) = 0;
  virtual MMRESULT SetVolume(uint32_t volume) = 0;
  // WAVERR_STILLPLAYING while buffers are queued; otherwise releases the device.
  virtual MMRESULT Close() = 0;
};

// A sound system that can open output streams.
class WaveOutBackend {
 public:
  virtual ~WaveOutBackend() = default;
  WaveOutBackend() = default;
  WaveOutBackend(const WaveOutBackend&) = delete;
  WaveOutBackend& operator=(const WaveOutBackend&) = delete;

  // Name, PCM format bits and support bits of the device.
  virtual MMRESULT GetCaps(WAVEOUTCAPS& caps) = 0;
  // 0 when a stream of this format could be opened; nothing is opened.
  virtual MMRESULT Query(const WAVEFORMATEX& format) = 0;
  // Opens a stream that reports to sink until it is closed or destroyed.
  virtual MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                        std::unique_ptr<WaveOutStream>& stream) = 0;
  // Takes back a stream this backend opened once its owner is done with it
  // (closed, or its open abandoned), so that a later Open can hand out the
  // same object again instead of allocating one: a device opened and closed
  // per tone then costs no heap allocation. The default destroys it. The
  // wave output functions give every stream back this way; a stream that is
  // simply destroyed instead must still clean up after itself.
  virtual void Recycle(std::unique_ptr<WaveOutStream> stream) { stream.reset(); }
  // The backend's own text for a code it produced; empty to use the common text.
  virtual std::string ErrorText(MMRESULT code) {
    (void)code;
    return {};
  }
};

}  // namespace tw
