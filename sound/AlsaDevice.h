#pragma once
// One ALSA PCM opened and configured for a format, behind the calls the
// playback makes (AlsaPcmCalls). Every call that can block inside a plugin
// is entered in an AlsaCallWatch, so another thread can tell that the PCM
// has stopped answering (a sound server behind it frozen) without calling
// into it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/WaveOutErrorTexts.h"
#include "sound/Alsa.h"
#include "sound/AlsaFormat.h"
#include "sound/AlsaLibrary.h"
#include "sound/AlsaPlayback.h"

namespace tw {

// Which call into a PCM is running, and since when. Written by the thread
// that makes the calls, read by any.
class AlsaCallWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // Marks the call `name` as running while it lives.
  class Scope {
   public:
    Scope(AlsaCallWatch& watch, const char* name);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    AlsaCallWatch& watch_;
  };

  // The name of the call running for longer than `limit`, or null.
  const char* StuckFor(Clock::duration limit) const;

 private:
  std::atomic<const char*> name_{nullptr};
  std::atomic<int64_t> since_{0};  // Clock ticks; meaningful while name_ is set
};

// An open PCM. Its calls may come from one thread at a time; it is closed
// (dropped first) when destroyed.
class AlsaDevice final : public AlsaPcmCalls {
 public:
  AlsaDevice(const AlsaApi& api, snd_pcm_t* pcm, const AlsaPcmShape& shape,
             std::shared_ptr<AlsaCallWatch> watch);
  ~AlsaDevice() override;
  AlsaDevice(const AlsaDevice&) = delete;
  AlsaDevice& operator=(const AlsaDevice&) = delete;

  const AlsaPcmShape& shape() const { return shape_; }
  // ALSA's text for an error code.
  std::string ErrorText(int err) const { return api_.snd_strerror(err); }

  snd_pcm_state_t State() override;
  int Delay(snd_pcm_sframes_t& frames) override;
  snd_pcm_sframes_t AvailUpdate() override;
  snd_pcm_sframes_t Write(const void* data, snd_pcm_uframes_t frames) override;
  int Prepare() override;
  int Drop() override;
  int Drain() override;
  int Pause(bool on) override;
  int Resume() override;
  int PollDescriptors(pollfd* fds, unsigned space) override;
  bool PollSaysRoom(pollfd* fds, unsigned count) override;

 private:
  const AlsaApi& api_;
  snd_pcm_t* const pcm_;
  const AlsaPcmShape shape_;
  const std::shared_ptr<AlsaCallWatch> watch_;
};

// Opens the PCM `name` and configures it for `format` (about 6 ms of sound
// in the device by default, `settings`), its calls entered in `watch`. On
// failure returns the result code with its text recorded in `texts`
// (`ALSA PCM "NAME": ...` with ALSA's reason) and leaves `out` null. May
// block for as long as the PCM takes to answer: callers bound it.
MMRESULT OpenAlsaDevice(const AlsaApi& api, const std::string& name, const AlsaPcmFormat& format,
                        const AlsaOutputSettings& settings, std::shared_ptr<AlsaCallWatch> watch,
                        WaveOutErrorTexts& texts, std::unique_ptr<AlsaDevice>& out);

// Which of the 11025, 22050 and 44100 Hz mono/stereo 8/16-bit formats the
// PCM `name` accepts, as WAVE_FORMAT_* bits in `bits`. Returns 0, or the
// negative ALSA error of the open. May block like OpenAlsaDevice.
int ProbeAlsaFormats(const AlsaApi& api, const std::string& name, uint32_t& bits);

// The result code of a failed open: no driver, allocated, no memory or error.
MMRESULT AlsaOpenErrorCode(int err);

}  // namespace tw
