#include "sound/AlsaDevice.h"

#include <cerrno>

namespace tw {
namespace {

// A parameter record of libasound (allocated through the table's Alloc,
// freed with Free when it goes); get() is null when the allocation failed.
template <typename T, auto Alloc, auto Free>
class ParamsRecord {
 public:
  explicit ParamsRecord(const AlsaApi& api) : api_(api) {
    if ((api.*Alloc)(&p_) < 0) p_ = nullptr;
  }
  ~ParamsRecord() {
    if (p_ != nullptr) (api_.*Free)(p_);
  }
  ParamsRecord(const ParamsRecord&) = delete;
  ParamsRecord& operator=(const ParamsRecord&) = delete;
  T* get() const { return p_; }

 private:
  const AlsaApi& api_;
  T* p_ = nullptr;
};

using HwParams = ParamsRecord<snd_pcm_hw_params_t, &AlsaApi::snd_pcm_hw_params_malloc,
                              &AlsaApi::snd_pcm_hw_params_free>;
using SwParams = ParamsRecord<snd_pcm_sw_params_t, &AlsaApi::snd_pcm_sw_params_malloc,
                              &AlsaApi::snd_pcm_sw_params_free>;

// A failed step of the configuration: what was refused and ALSA's error.
struct Refusal {
  const char* step = nullptr;
  int err = 0;
  bool format = false;  // the format itself was refused
};

// The hardware side: access, format, rate, and the buffer and period times.
Refusal ConfigureHardware(const AlsaApi& api, snd_pcm_t* pcm, const AlsaPcmFormat& format,
                          const AlsaOutputSettings& settings, AlsaPcmShape& shape,
                          uint64_t& periodFrames) {
  HwParams hw(api);
  if (hw.get() == nullptr) return {"no memory for the configuration", -ENOMEM};
  unsigned bufferUs = settings.bufferMicroseconds;
  unsigned periodUs = settings.periodMicroseconds;
  int err;
  if ((err = api.snd_pcm_hw_params_any(pcm, hw.get())) < 0) return {"no configuration", err};
  if ((err = api.snd_pcm_hw_params_set_access(pcm, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED)) < 0)
    return {"interleaved access refused", err};
  if ((err = api.snd_pcm_hw_params_set_format(pcm, hw.get(), format.sample)) < 0 ||
      (err = api.snd_pcm_hw_params_set_channels(pcm, hw.get(), format.channels)) < 0 ||
      (err = api.snd_pcm_hw_params_set_rate(pcm, hw.get(), format.rate, 0)) < 0)
    return {"format refused", err, true};
  if ((err = api.snd_pcm_hw_params_set_buffer_time_near(pcm, hw.get(), &bufferUs, nullptr)) < 0)
    return {"buffer time refused", err};
  if ((err = api.snd_pcm_hw_params_set_period_time_near(pcm, hw.get(), &periodUs, nullptr)) < 0)
    return {"period time refused", err};
  if ((err = api.snd_pcm_hw_params(pcm, hw.get())) < 0) return {"configuration refused", err};
  snd_pcm_uframes_t buffer = 0, period = 0;
  api.snd_pcm_hw_params_get_buffer_size(hw.get(), &buffer);
  api.snd_pcm_hw_params_get_period_size(hw.get(), &period, nullptr);
  shape.canPause = api.snd_pcm_hw_params_can_pause(hw.get()) != 0;
  shape.bufferFrames = buffer;
  periodFrames = period;
  return {};
}

// The software side: start as soon as anything is written (a short sound
// must not wait for the buffer to fill). A plugin in front of a sound server
// declares an underrun as soon as its own ring looks empty, while the server
// may still hold the last frames; restarting it then would drop them. Such
// a PCM is left running and reports a real underrun from the server.
Refusal ConfigureSoftware(const AlsaApi& api, snd_pcm_t* pcm, bool serverPlugin,
                          uint64_t periodFrames) {
  SwParams sw(api);
  if (sw.get() == nullptr) return {"no memory for the configuration", -ENOMEM};
  int err;
  if ((err = api.snd_pcm_sw_params_current(pcm, sw.get())) < 0 ||
      (err = api.snd_pcm_sw_params_set_start_threshold(pcm, sw.get(), 1)) < 0 ||
      (err = api.snd_pcm_sw_params_set_avail_min(pcm, sw.get(),
                                                 periodFrames != 0 ? periodFrames : 1)) < 0)
    return {"software parameters refused", err};
  snd_pcm_uframes_t boundary = 0;
  if (serverPlugin && api.snd_pcm_sw_params_get_boundary(sw.get(), &boundary) == 0)
    api.snd_pcm_sw_params_set_stop_threshold(pcm, sw.get(), boundary);
  if ((err = api.snd_pcm_sw_params(pcm, sw.get())) < 0) return {"software parameters refused", err};
  return {};
}

}  // namespace

AlsaCallWatch::Scope::Scope(AlsaCallWatch& watch, const char* name) : watch_(watch) {
  watch_.since_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  watch_.name_.store(name, std::memory_order_release);
}

AlsaCallWatch::Scope::~Scope() { watch_.name_.store(nullptr, std::memory_order_release); }

const char* AlsaCallWatch::StuckFor(Clock::duration limit) const {
  const char* name = name_.load(std::memory_order_acquire);
  if (name == nullptr) return nullptr;
  const Clock::time_point since(Clock::duration(since_.load(std::memory_order_relaxed)));
  return Clock::now() - since > limit ? name : nullptr;
}

AlsaDevice::AlsaDevice(const AlsaApi& api, snd_pcm_t* pcm, const AlsaPcmShape& shape,
                       std::shared_ptr<AlsaCallWatch> watch)
    : api_(api), pcm_(pcm), shape_(shape), watch_(std::move(watch)) {}

AlsaDevice::~AlsaDevice() {
  AlsaCallWatch::Scope call(*watch_, "snd_pcm_close");
  api_.snd_pcm_drop(pcm_);
  api_.snd_pcm_close(pcm_);
}

snd_pcm_state_t AlsaDevice::State() { return api_.snd_pcm_state(pcm_); }

int AlsaDevice::Delay(snd_pcm_sframes_t& frames) {
  AlsaCallWatch::Scope call(*watch_, "snd_pcm_delay");
  return api_.snd_pcm_delay(pcm_, &frames);
}

snd_pcm_sframes_t AlsaDevice::AvailUpdate() {
  AlsaCallWatch::Scope call(*watch_, "snd_pcm_avail_update");
  return api_.snd_pcm_avail_update(pcm_);
}

snd_pcm_sframes_t AlsaDevice::Write(const void* data, snd_pcm_uframes_t frames) {
  AlsaCallWatch::Scope call(*watch_, "snd_pcm_writei");
  return api_.snd_pcm_writei(pcm_, data, frames);
}

int AlsaDevice::Prepare() {
  AlsaCallWatch::Scope call(*watch_, "snd_pcm_prepare");
  return api_.snd_pcm_prepare(pcm_);
}

int AlsaDevice::Drop() {
  AlsaCallWatch::Scope call(*watch_, "snd_pcm_drop");
  return api_.snd_pcm_drop(pcm_);
}

int AlsaDevice::Drain() {
  AlsaCallWatch::Scope call(*watch_, "snd_pcm_drain");
  api_.snd_pcm_nonblock(pcm_, 0);
  const int err = api_.snd_pcm_drain(pcm_);
  api_.snd_pcm_nonblock(pcm_, 1);
  return err;
}

int AlsaDevice::Pause(bool on) {
  AlsaCallWatch::Scope call(*watch_, "snd_pcm_pause");
  return api_.snd_pcm_pause(pcm_, on ? 1 : 0);
}

int AlsaDevice::Resume() {
  AlsaCallWatch::Scope call(*watch_, "snd_pcm_resume");
  return api_.snd_pcm_resume(pcm_);
}

int AlsaDevice::PollDescriptors(pollfd* fds, unsigned space) {
  const int n = api_.snd_pcm_poll_descriptors_count(pcm_);
  if (n <= 0 || static_cast<unsigned>(n) > space) return -1;
  return api_.snd_pcm_poll_descriptors(pcm_, fds, static_cast<unsigned>(n));
}

bool AlsaDevice::PollSaysRoom(pollfd* fds, unsigned count) {
  AlsaCallWatch::Scope call(*watch_, "snd_pcm_poll_descriptors_revents");
  unsigned short revents = 0;
  if (api_.snd_pcm_poll_descriptors_revents(pcm_, fds, count, &revents) < 0) return false;
  return (revents & POLLOUT) != 0;
}

MMRESULT AlsaOpenErrorCode(int err) {
  switch (-err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ECONNREFUSED:
      return MMSYSERR_NODRIVER;
    case EBUSY:
    case EAGAIN:
      return MMSYSERR_ALLOCATED;
    case ENOMEM:
      return MMSYSERR_NOMEM;
    default:
      return MMSYSERR_ERROR;
  }
}

MMRESULT OpenAlsaDevice(const AlsaApi& api, const std::string& name, const AlsaPcmFormat& format,
                        const AlsaOutputSettings& settings, std::shared_ptr<AlsaCallWatch> watch,
                        WaveOutErrorTexts& texts, std::unique_ptr<AlsaDevice>& out) {
  out.reset();
  const std::string who = "ALSA PCM \"" + name + "\": ";
  snd_pcm_t* pcm = nullptr;
  const int err = api.snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (err < 0) return texts.Set(AlsaOpenErrorCode(err), who + api.snd_strerror(err));
  AlsaPcmShape shape;
  shape.rate = format.rate;
  shape.frameBytes = format.frameBytes;
  shape.serverPlugin = api.snd_pcm_type(pcm) == SND_PCM_TYPE_IOPLUG;
  uint64_t period = 0;
  Refusal refused = ConfigureHardware(api, pcm, format, settings, shape, period);
  if (refused.step == nullptr) refused = ConfigureSoftware(api, pcm, shape.serverPlugin, period);
  if (refused.step != nullptr) {
    api.snd_pcm_close(pcm);
    if (refused.format) {
      return texts.Set(WAVERR_BADFORMAT, who + "format refused (" + DescribeAlsaPcmFormat(format) +
                                             "): " + api.snd_strerror(refused.err));
    }
    return texts.Set(MMSYSERR_ERROR, who + refused.step + ": " + api.snd_strerror(refused.err));
  }
  out = std::make_unique<AlsaDevice>(api, pcm, shape, std::move(watch));
  return MMSYSERR_NOERROR;
}

int ProbeAlsaFormats(const AlsaApi& api, const std::string& name, uint32_t& bits) {
  bits = 0;
  snd_pcm_t* pcm = nullptr;
  const int err = api.snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (err < 0) return err;
  HwParams any(api), hw(api);
  if (any.get() != nullptr && hw.get() != nullptr &&
      api.snd_pcm_hw_params_any(pcm, any.get()) >= 0) {
    const unsigned rates[3] = {11025, 22050, 44100};
    for (unsigned i = 0; i < 12; ++i) {
      const snd_pcm_format_t sample = (i & 2) ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8;
      api.snd_pcm_hw_params_copy(hw.get(), any.get());
      if (api.snd_pcm_hw_params_set_access(pcm, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
          api.snd_pcm_hw_params_set_format(pcm, hw.get(), sample) >= 0 &&
          api.snd_pcm_hw_params_set_channels(pcm, hw.get(), (i & 1) ? 2 : 1) >= 0 &&
          api.snd_pcm_hw_params_test_rate(pcm, hw.get(), rates[i / 4], 0) >= 0)
        bits |= 1u << i;
    }
  }
  api.snd_pcm_close(pcm);
  return 0;
}

}  // namespace tw
