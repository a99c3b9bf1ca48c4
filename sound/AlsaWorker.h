#pragma once
// One open ALSA PCM with the thread that plays on it, as the ALSA output's
// streams use it (AlsaPcm, through the kept-device shell).
//
// Only that thread calls into the PCM (the playback state machine,
// AlsaPlayback). The stream's calls (Write, Reset, Pause, Restart,
// GetPosition, volume, Detach) change the queue and the requests under a
// lock the thread never holds while it is inside the PCM, and wake it: so
// none of them waits on the PCM, and a PCM stuck in a plugin (a sound
// server frozen) cannot hold the caller. Such a PCM is recognised by a call
// running for longer than stuckAfter (2 s by default): it is not kept for the next open, Write
// refuses buffers naming the call that hangs, and destroying the AlsaPcm
// leaves the thread (and the PCM, which cannot be closed while a call is
// inside it) to itself instead of waiting for it.
//
// Buffers are copied out of the queue before they go to the PCM, so a call
// that never returns never reads a buffer its owner has got back.

#include <memory>
#include <string>
#include <thread>

#include "sound/AlsaDevice.h"
#include "sound/Backend.h"

namespace tw {

class AlsaWorker;

class AlsaPcm {
 public:
  // Starts the playback thread of an opened PCM.
  AlsaPcm(std::string name, std::unique_ptr<AlsaDevice> device, const AlsaPcmFormat& format,
          std::shared_ptr<AlsaCallWatch> watch, std::shared_ptr<WaveOutErrorTexts> texts,
          std::chrono::milliseconds stuckAfter);
  // Stops the thread, which drops and closes the PCM; waits for that 250 ms
  // at most, and not at all for a PCM that stopped answering or once sound
  // waits are cancelled (the program is ending on a signal).
  ~AlsaPcm();
  AlsaPcm(const AlsaPcm&) = delete;
  AlsaPcm& operator=(const AlsaPcm&) = delete;

  const AlsaPcmFormat& format() const { return format_; }
  // Neither broken nor stuck in a call: worth keeping for the next open.
  bool Usable() const;
  bool KeepAfterClose() const { return Usable(); }

  // A new stream takes the PCM: full volume, not paused.
  void Attach(WaveOutSink* sink);
  // The stream lets go: WAVERR_STILLPLAYING while buffers are queued unless
  // force, which drops them without reporting them (their owner is gone).
  MMRESULT Detach(bool force);

  // As WaveOutStream. Write refuses buffers (MMSYSERR_ERROR, with a text)
  // once the device is broken or stuck. GetPosition waits 100 ms at most
  // for the thread to bring the count up to date.
  MMRESULT Write(WAVEHDR* header);
  MMRESULT Reset();
  MMRESULT Pause();
  MMRESULT Restart();
  MMRESULT GetPosition(uint64_t& frames);
  MMRESULT GetVolume(uint32_t& volume);
  MMRESULT SetVolume(uint32_t volume);

 private:
  const AlsaPcmFormat format_;
  std::shared_ptr<AlsaWorker> worker_;
  std::thread thread_;
};

}  // namespace tw
