#include "sound/Alsa.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sound/ErrorTexts.h"
#include "sound/KeptDevice.h"

namespace tw {
namespace {

constexpr uint16_t kFormatTagFloat = 3;

// ALSA writes its diagnostics to standard error unless told otherwise; every
// reason we need comes back as an error code and is reported through our own
// error text.
void SilentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsaOnce() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(&SilentAlsaErrors); });
}

// What the PCM must be configured with for one wave format.
struct PcmFormat {
  snd_pcm_format_t sample = SND_PCM_FORMAT_UNKNOWN;
  unsigned channels = 0;
  unsigned rate = 0;
  unsigned bits = 0;
  bool isFloat = false;
  unsigned frameBytes = 0;

  bool operator==(const PcmFormat& o) const {
    return sample == o.sample && channels == o.channels && rate == o.rate;
  }
};

bool ToPcmFormat(const WAVEFORMATEX& f, PcmFormat& out) {
  PcmFormat p;
  p.channels = f.nChannels;
  p.rate = f.nSamplesPerSec;
  p.bits = f.wBitsPerSample;
  if (f.wFormatTag == WAVE_FORMAT_PCM) {
    switch (f.wBitsPerSample) {
      case 8:
        p.sample = SND_PCM_FORMAT_U8;
        break;
      case 16:
        p.sample = SND_PCM_FORMAT_S16_LE;
        break;
      case 24:
        p.sample = SND_PCM_FORMAT_S24_3LE;
        break;
      case 32:
        p.sample = SND_PCM_FORMAT_S32_LE;
        break;
      default:
        return false;
    }
  } else if (f.wFormatTag == kFormatTagFloat) {
    p.isFloat = true;
    switch (f.wBitsPerSample) {
      case 32:
        p.sample = SND_PCM_FORMAT_FLOAT_LE;
        break;
      case 64:
        p.sample = SND_PCM_FORMAT_FLOAT64_LE;
        break;
      default:
        return false;
    }
  } else {
    return false;
  }
  if (p.channels == 0 || p.channels > 64 || p.rate == 0) return false;
  p.frameBytes = p.channels * (p.bits / 8);
  if (f.nBlockAlign != p.frameBytes) return false;
  out = p;
  return true;
}

std::string Describe(const PcmFormat& f) {
  return std::to_string(f.rate) + " Hz, " + std::to_string(f.channels) + " channels, " +
         std::to_string(f.bits) + (f.isFloat ? "-bit float" : " bits");
}

MMRESULT CodeForOpenError(int err) {
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

// v times the gain g / 65536, rounded to nearest (halves up).
inline int64_t Scale(int64_t v, int64_t g) { return (v * g + 32768) >> 16; }

// Applies a 16-bit volume word to a copy of interleaved samples: the left
// gain to even channels, the right gain to odd ones (a mono stream gets the
// left gain).
void ApplyGain(const PcmFormat& f, uint32_t volume, const char* in, size_t frames, char* out) {
  const uint32_t left = volume & 0xFFFF, right = volume >> 16;
  // 65535 maps to exactly 65536, so full volume copies the samples unchanged.
  const int64_t q[2] = {left + (left >> 15), right + (right >> 15)};
  const size_t samples = frames * f.channels;
  const size_t bytes = f.bits / 8;
  for (size_t i = 0; i < samples; ++i) {
    const int64_t g = q[(f.channels == 1) ? 0 : (i % f.channels) & 1];
    const char* s = in + i * bytes;
    char* d = out + i * bytes;
    if (f.isFloat) {
      const double gain = static_cast<double>(g) / 65536.0;
      if (f.bits == 32) {
        float v;
        std::memcpy(&v, s, 4);
        v = static_cast<float>(v * gain);
        std::memcpy(d, &v, 4);
      } else {
        double v;
        std::memcpy(&v, s, 8);
        v *= gain;
        std::memcpy(d, &v, 8);
      }
      continue;
    }
    switch (f.bits) {
      case 8: {
        const int64_t v = static_cast<int64_t>(static_cast<uint8_t>(*s)) - 128;
        *d = static_cast<char>(static_cast<uint8_t>(Scale(v, g) + 128));
        break;
      }
      case 16: {
        int16_t v;
        std::memcpy(&v, s, 2);
        v = static_cast<int16_t>(Scale(v, g));
        std::memcpy(d, &v, 2);
        break;
      }
      case 24: {
        const uint8_t* u = reinterpret_cast<const uint8_t*>(s);
        int32_t v = static_cast<int32_t>(u[0] | (u[1] << 8) | (u[2] << 16));
        if (v & 0x800000) v -= 0x1000000;
        v = static_cast<int32_t>(Scale(v, g));
        d[0] = static_cast<char>(v & 0xFF);
        d[1] = static_cast<char>((v >> 8) & 0xFF);
        d[2] = static_cast<char>((v >> 16) & 0xFF);
        break;
      }
      default: {
        int32_t v;
        std::memcpy(&v, s, 4);
        v = static_cast<int32_t>(Scale(v, g));
        std::memcpy(d, &v, 4);
        break;
      }
    }
  }
}

// Opens pcmName and configures it for format. On failure returns the result
// code (its text already recorded) and leaves *out null.
MMRESULT OpenPcm(const std::string& name, const PcmFormat& format,
                 const AlsaOutputSettings& settings, WaveOutErrorTexts& texts, snd_pcm_t** out,
                 snd_pcm_uframes_t* bufferFrames, bool* canPause) {
  *out = nullptr;
  const std::string who = "ALSA PCM \"" + name + "\": ";
  snd_pcm_t* pcm = nullptr;
  int err = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (err < 0) return texts.Set(CodeForOpenError(err), who + snd_strerror(err));

  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  const char* step = nullptr;
  unsigned rate = format.rate;
  unsigned bufferUs = settings.bufferMicroseconds;
  unsigned periodUs = settings.periodMicroseconds;
  snd_pcm_uframes_t period = 0;
  if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0) {
    step = "no configuration";
  } else if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
    step = "interleaved access refused";
  } else if ((err = snd_pcm_hw_params_set_format(pcm, hw, format.sample)) < 0 ||
             (err = snd_pcm_hw_params_set_channels(pcm, hw, format.channels)) < 0 ||
             (err = snd_pcm_hw_params_set_rate(pcm, hw, rate, 0)) < 0) {
    snd_pcm_close(pcm);
    return texts.Set(WAVERR_BADFORMAT,
                     who + "format refused (" + Describe(format) + "): " + snd_strerror(err));
  } else if ((err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &bufferUs, nullptr)) < 0) {
    step = "buffer time refused";
  } else if ((err = snd_pcm_hw_params_set_period_time_near(pcm, hw, &periodUs, nullptr)) < 0) {
    step = "period time refused";
  } else if ((err = snd_pcm_hw_params(pcm, hw)) < 0) {
    step = "configuration refused";
  }
  if (step == nullptr) {
    *canPause = snd_pcm_hw_params_can_pause(hw) != 0;
    snd_pcm_hw_params_get_buffer_size(hw, bufferFrames);
    snd_pcm_hw_params_get_period_size(hw, &period, nullptr);
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    // Start as soon as anything is written: a short sound must not wait for
    // the buffer to fill.
    if ((err = snd_pcm_sw_params_current(pcm, sw)) < 0 ||
        (err = snd_pcm_sw_params_set_start_threshold(pcm, sw, 1)) < 0 ||
        (err = snd_pcm_sw_params_set_avail_min(pcm, sw, period ? period : 1)) < 0) {
      step = "software parameters refused";
    }
    // A plugin in front of a sound server (an I/O plugin) declares an
    // underrun as soon as its own ring looks empty, while the server may
    // still hold the last frames; restarting it then would drop them. Such a
    // PCM is left running and reports a real underrun from the server.
    snd_pcm_uframes_t boundary = 0;
    if (step == nullptr && snd_pcm_type(pcm) == SND_PCM_TYPE_IOPLUG &&
        snd_pcm_sw_params_get_boundary(sw, &boundary) == 0)
      snd_pcm_sw_params_set_stop_threshold(pcm, sw, boundary);
    if (step == nullptr && (err = snd_pcm_sw_params(pcm, sw)) < 0)
      step = "software parameters refused";
  }
  if (step != nullptr) {
    snd_pcm_close(pcm);
    return texts.Set(MMSYSERR_ERROR, who + step + ": " + snd_strerror(err));
  }
  *out = pcm;
  return MMSYSERR_NOERROR;
}

// One open, configured PCM with its playback thread. A stream drives it
// while open; between streams it waits idle in the backend's cache.
class AlsaPcm {
 public:
  AlsaPcm(std::string name, snd_pcm_t* pcm, const PcmFormat& format, snd_pcm_uframes_t bufferFrames,
          bool canPause, std::shared_ptr<WaveOutErrorTexts> texts)
      : name_(std::move(name)),
        pcm_(pcm),
        format_(format),
        bufferFrames_(bufferFrames),
        canPause_(canPause),
        serverPlugin_(snd_pcm_type(pcm) == SND_PCM_TYPE_IOPLUG),
        texts_(std::move(texts)),
        wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    thread_ = std::thread([this] { Run(); });
  }

  ~AlsaPcm() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    Wake();
    thread_.join();
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
    close(wakeFd_);
  }

  AlsaPcm(const AlsaPcm&) = delete;
  AlsaPcm& operator=(const AlsaPcm&) = delete;

  const PcmFormat& format() const { return format_; }

  // A PCM that broke is closed when its stream closes; a sound one idles
  // for the next open of its format.
  bool KeepAfterClose() { return Usable(); }

  bool Usable() {
    std::lock_guard<std::mutex> lock(mu_);
    return !broken_;
  }

  // A new stream takes the PCM: counters start at 0, full volume, not paused.
  void Attach(WaveOutSink* sink) {
    std::lock_guard<std::mutex> lock(mu_);
    sink_ = sink;
    written_ = played_ = queuedEnd_ = 0;
    volume_ = 0xFFFFFFFFu;
    paused_ = false;
  }

  // The stream lets go. Fails while buffers are queued unless force, which
  // drops them without reporting (their owner is gone).
  MMRESULT Detach(bool force) {
    std::lock_guard<std::mutex> report(reportMu_);
    std::lock_guard<std::mutex> lock(mu_);
    if (!queue_.empty() && !force) return WAVERR_STILLPLAYING;
    if (!queue_.empty() || hwPaused_) DropLocked();
    queue_.clear();
    sink_ = nullptr;
    paused_ = false;
    written_ = played_ = queuedEnd_ = 0;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Write(WAVEHDR* header) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (broken_) return MMSYSERR_ERROR;
      const uint64_t frames = header->dwBufferLength / format_.frameBytes;
      queue_.push_back(Entry{header, queuedEnd_, queuedEnd_ + frames});
      queuedEnd_ += frames;
      // Handed to the device at once (it never blocks here): the start of a
      // sound does not wait for the playback thread to be scheduled.
      if (!paused_) PumpLocked();
    }
    Wake();
    return MMSYSERR_NOERROR;
  }

  MMRESULT Reset() {
    std::lock_guard<std::mutex> report(reportMu_);
    std::vector<WAVEHDR*>& done = reported_;
    done.clear();
    WaveOutSink* sink;
    {
      std::lock_guard<std::mutex> lock(mu_);
      // Nothing in flight: the device holds nothing to drop, and a reset that
      // costs nothing keeps a close cheap.
      if (written_ > played_ || hwPaused_) DropLocked();
      for (const Entry& e : queue_) done.push_back(e.header);
      queue_.clear();
      written_ = played_ = queuedEnd_ = 0;
      sink = sink_;
    }
    Wake();
    if (sink)
      for (WAVEHDR* h : done) sink->BufferDone(h);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Pause() {
    std::lock_guard<std::mutex> lock(mu_);
    if (paused_) return MMSYSERR_NOERROR;
    UpdatePlayedLocked();
    paused_ = true;
    if (written_ > played_ && snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING) {
      if (canPause_ && snd_pcm_pause(pcm_, 1) == 0) {
        hwPaused_ = true;
      } else {
        // No pause in the device: drop what it holds and write it again on
        // Restart, starting at the first frame not yet played.
        DropLocked();
      }
    }
    return MMSYSERR_NOERROR;
  }

  MMRESULT Restart() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!paused_) return MMSYSERR_NOERROR;
      paused_ = false;
      if (hwPaused_) {
        hwPaused_ = false;
        if (snd_pcm_pause(pcm_, 0) < 0) DropLocked();
      }
    }
    Wake();
    return MMSYSERR_NOERROR;
  }

  MMRESULT GetPosition(uint64_t& frames) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!paused_) UpdatePlayedLocked();
    frames = played_;
    return MMSYSERR_NOERROR;
  }

  MMRESULT GetVolume(uint32_t& volume) {
    std::lock_guard<std::mutex> lock(mu_);
    volume = volume_;
    return MMSYSERR_NOERROR;
  }

  MMRESULT SetVolume(uint32_t volume) {
    std::lock_guard<std::mutex> lock(mu_);
    volume_ = volume;
    return MMSYSERR_NOERROR;
  }

 private:
  struct Entry {
    WAVEHDR* header;
    uint64_t start, end;  // frames since the open or the last reset
  };

  // The queued buffers in write order. Its storage is kept when it empties,
  // so a tone's buffers come and go without a heap allocation once the first
  // tones have sized it.
  class EntryQueue {
   public:
    bool empty() const { return head_ == items_.size(); }
    Entry& front() { return items_[head_]; }
    void push_back(const Entry& e) { items_.push_back(e); }
    void pop_front() {
      if (++head_ == items_.size()) clear();
    }
    void clear() {
      items_.clear();
      head_ = 0;
    }
    std::vector<Entry>::iterator begin() {
      return items_.begin() + static_cast<std::ptrdiff_t>(head_);
    }
    std::vector<Entry>::iterator end() { return items_.end(); }

   private:
    std::vector<Entry> items_;
    std::size_t head_ = 0;
  };

  // Drops every frame the device holds; what was not played is written
  // again from played_ on.
  void DropLocked() {
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
    tail_ = false;
    started_ = false;
    emptied_ = false;
    hwPaused_ = false;
    written_ = played_;
  }

  // Brings played_ up to date from the device's delay. Once the device holds
  // nothing of ours any more (an underrun, or its ring empty), a sound server
  // behind it may still be playing the last frames, and may stop updating
  // the delay it reports: from then on that delay runs out by the clock.
  // After an underrun the PCM is made ready again only when more is written
  // (PumpLocked), so that tail is not cut off.
  void UpdatePlayedLocked() {
    if (hwPaused_) return;
    snd_pcm_sframes_t delay = 0;
    bool dry;
    if (emptied_) {
      // Restarted after an underrun, nothing written since: what the device
      // still had to play runs out by the clock (below).
      dry = true;
      delay = static_cast<snd_pcm_sframes_t>(written_);
    } else if (snd_pcm_state(pcm_) == SND_PCM_STATE_XRUN) {
      dry = true;
      if (snd_pcm_delay(pcm_, &delay) < 0) delay = 0;
      // The device took every frame, so the restart the next sound needs
      // loses nothing and is done now, off that sound's path (a sound
      // server's plugin reconnects, which takes a round trip).
      tail_ = true;
      tailAt_ = std::chrono::steady_clock::now();
      tailFrames_ = std::min<uint64_t>(delay < 0 ? 0 : static_cast<uint64_t>(delay), written_);
      const int err = snd_pcm_prepare(pcm_);
      started_ = false;
      if (err < 0) Break(err);
      emptied_ = true;
    } else {
      const int err = snd_pcm_delay(pcm_, &delay);
      if (err < 0) {
        played_ = written_;
        Recover(err);
        return;
      }
      const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
      dry = avail < 0 || static_cast<snd_pcm_uframes_t>(avail) >= bufferFrames_;
    }
    uint64_t held = std::min<uint64_t>(delay < 0 ? 0 : static_cast<uint64_t>(delay), written_);
    if (dry) {
      const auto now = std::chrono::steady_clock::now();
      if (!tail_) {
        tail_ = true;
        tailAt_ = now;
        tailFrames_ = held;
      }
      const uint64_t elapsed = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(now - tailAt_).count() *
          format_.rate / 1000000);
      held = std::min(held, tailFrames_ > elapsed ? tailFrames_ - elapsed : 0);
    } else {
      tail_ = false;
    }
    played_ = std::max(played_, written_ - held);
  }

  // Makes the PCM writable again after err; marks it broken when it cannot.
  void Recover(int err) {
    if (err == -ESTRPIPE) {
      while ((err = snd_pcm_resume(pcm_)) == -EAGAIN)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    tail_ = false;
    started_ = false;
    emptied_ = false;
    const int prepared = snd_pcm_prepare(pcm_);
    if (prepared < 0) Break(err == -EPIPE || err == 0 ? prepared : err);
  }

  void Break(int err) {
    if (broken_) return;
    broken_ = true;
    texts_->Set(MMSYSERR_ERROR, "ALSA PCM \"" + name_ + "\": " + snd_strerror(err));
  }

  enum class Pump { kDone, kDeviceFull, kDraining };

  // Hands the device as many queued frames as it takes now: kDone when all
  // queued frames were handed over, kDeviceFull when the device takes no
  // more for now, kDraining while it finishes sounds written earlier.
  Pump PumpLocked() {
    int failures = 0;
    if (written_ < queuedEnd_ && written_ == played_ && started_ &&
        snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING) {
      // Everything written was heard and the device ran dry, but it still
      // runs. A sound server's plugin then takes new data late, so it is
      // restarted; a restart discards what the device holds, so it waits
      // until the device holds nothing (or a while has passed: its delay
      // said all was played).
      const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
      const auto now = std::chrono::steady_clock::now();
      if (avail >= 0 && static_cast<snd_pcm_uframes_t>(avail) < bufferFrames_) {
        if (!draining_) {
          draining_ = true;
          drainingSince_ = now;
        }
        if (now - drainingSince_ < std::chrono::milliseconds(50)) return Pump::kDraining;
      }
      snd_pcm_drop(pcm_);
      Recover(-EPIPE);
    } else if (written_ < queuedEnd_ && snd_pcm_state(pcm_) == SND_PCM_STATE_XRUN) {
      played_ = written_;
      Recover(-EPIPE);
    }
    draining_ = false;
    while (written_ < queuedEnd_ && !broken_) {
      snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
      if (avail < 0) {
        // An underrun between two writes; twice in a row means the device
        // no longer takes data.
        if (++failures > 2) Break(static_cast<int>(avail));
        played_ = written_;
        Recover(static_cast<int>(avail));
        continue;
      }
      if (avail == 0) return Pump::kDeviceFull;
      auto it = std::find_if(queue_.begin(), queue_.end(),
                             [this](const Entry& e) { return e.end > written_; });
      const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(avail), it->end - written_);
      const char* data =
          it->header->lpData + (written_ - it->start) * static_cast<uint64_t>(format_.frameBytes);
      if (volume_ != 0xFFFFFFFFu) {
        scratch_.resize(n * format_.frameBytes);
        ApplyGain(format_, volume_, data, n, scratch_.data());
        data = scratch_.data();
      }
      snd_pcm_sframes_t w = snd_pcm_writei(pcm_, data, n);
      if (w == -EAGAIN) return Pump::kDeviceFull;
      if (w < 0) {
        if (++failures > 2) Break(static_cast<int>(w));
        played_ = written_;
        Recover(static_cast<int>(w));
        continue;
      }
      failures = 0;
      tail_ = false;
      started_ = true;
      emptied_ = false;
      written_ += static_cast<uint64_t>(w);
    }
    return Pump::kDone;
  }

  // Everything queued was written and the delay says it was played: lets
  // the device finish for real before the last buffer is reported. A sound
  // server may still hold the final frames after its delay reached 0 (and
  // would drop them at the restart the next sound needs); draining waits
  // until it has played them. The device is then ready for the next sound.
  void FinishLocked() {
    if (!started_ || snd_pcm_state(pcm_) != SND_PCM_STATE_RUNNING) return;
    snd_pcm_nonblock(pcm_, 0);
    const int err = snd_pcm_drain(pcm_);
    snd_pcm_nonblock(pcm_, 1);
    Recover(err < 0 ? err : -EPIPE);
  }

  // Buffers ending at or before this frame may be reported done. A broken
  // device plays nothing more: its buffers come back at once.
  uint64_t ReachedLocked() const {
    if (broken_) return queuedEnd_;
    if (holdLast_ && written_ > 0) return std::min(played_, written_ - 1);
    return played_;
  }

  void Wake() {
    const uint64_t one = 1;
    ssize_t r = write(wakeFd_, &one, sizeof one);
    (void)r;  // a full counter is already a pending wake-up
  }

  // The playback thread: hands queued frames to the device as it takes them
  // and reports each buffer once played. It sleeps in poll: on the device
  // while the device is full, otherwise until the first buffer's end is due;
  // Write, Reset, Pause, Restart and the destructor wake it.
  void Run() {
    std::vector<pollfd> fds;
    for (;;) {
      bool report = false;
      bool onDevice = false;
      int64_t waitUs = -1;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_) return;
        if (!queue_.empty() && (!paused_ || broken_)) {
          Pump pump = Pump::kDone;
          if (!paused_) {
            pump = PumpLocked();
            UpdatePlayedLocked();
          }
          holdLast_ = false;
          if (!paused_ && !broken_ && pump == Pump::kDone && played_ >= written_ && started_ &&
              snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING) {
            // The delay says all was played. A sound server's plugin reports
            // its underrun (it then holds nothing more) a moment later, and
            // the restart for the next sound is done then, off its path;
            // only when that does not come is the device drained.
            const auto now = std::chrono::steady_clock::now();
            if (!settling_) {
              settling_ = true;
              settlingSince_ = now;
            }
            if (serverPlugin_ && now - settlingSince_ < std::chrono::milliseconds(20)) {
              holdLast_ = true;
            } else {
              settling_ = false;
              FinishLocked();
            }
          } else {
            settling_ = false;
          }
          if (queue_.front().end <= ReachedLocked()) {
            report = true;
          } else {
            const uint64_t frames = queue_.front().end - played_;
            waitUs = std::clamp<int64_t>(static_cast<int64_t>(frames * 1000000 / format_.rate), 100,
                                         100000);
            onDevice = pump == Pump::kDeviceFull;
            if (pump == Pump::kDraining) waitUs = 500;
            if (holdLast_) waitUs = 300;
          }
        }
        fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
        if (onDevice) {
          const int n = snd_pcm_poll_descriptors_count(pcm_);
          if (n > 0) {
            fds.resize(1 + n);
            if (snd_pcm_poll_descriptors(pcm_, &fds[1], n) != n) fds.resize(1);
          }
        }
      }
      if (report) {
        ReportDone();
        continue;
      }
      timespec ts{waitUs / 1000000, (waitUs % 1000000) * 1000};
      const int ready = ppoll(fds.data(), fds.size(), waitUs < 0 ? nullptr : &ts, nullptr);
      if (ready <= 0) continue;
      if (fds[0].revents & POLLIN) {
        uint64_t count;
        ssize_t r = read(wakeFd_, &count, sizeof count);
        (void)r;
      }
      if (fds.size() > 1) {
        // Lets the device clear its own readiness; the next pass writes.
        std::lock_guard<std::mutex> lock(mu_);
        unsigned short revents = 0;
        snd_pcm_poll_descriptors_revents(pcm_, &fds[1], static_cast<unsigned>(fds.size() - 1),
                                         &revents);
      }
    }
  }

  // Reports the buffers played to their end, in order. Holds reportMu_ so a
  // Reset cannot report later buffers before these.
  void ReportDone() {
    std::lock_guard<std::mutex> report(reportMu_);
    std::vector<WAVEHDR*>& done = reported_;
    done.clear();
    WaveOutSink* sink;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const uint64_t reached = ReachedLocked();
      while (!queue_.empty() && queue_.front().end <= reached) {
        done.push_back(queue_.front().header);
        queue_.pop_front();
      }
      if (broken_ && queue_.empty()) written_ = played_ = queuedEnd_;
      sink = sink_;
    }
    if (sink)
      for (WAVEHDR* h : done) sink->BufferDone(h);
  }

  const std::string name_;
  snd_pcm_t* const pcm_;
  const PcmFormat format_;
  const snd_pcm_uframes_t bufferFrames_;
  const bool canPause_;
  const bool serverPlugin_;  // an I/O plugin, the kind that fronts a sound server
  const std::shared_ptr<WaveOutErrorTexts> texts_;

  std::mutex reportMu_;  // taken before mu_, never after
  std::mutex mu_;
  EntryQueue queue_;
  std::vector<WAVEHDR*> reported_;  // guarded by reportMu_; kept to report without allocating
  uint64_t queuedEnd_ = 0;          // frames queued since the open or the last reset
  uint64_t written_ = 0;            // of those, handed to the device
  uint64_t played_ = 0;             // of those, played
  uint32_t volume_ = 0xFFFFFFFFu;
  WaveOutSink* sink_ = nullptr;
  bool paused_ = false;
  bool hwPaused_ = false;
  bool broken_ = false;
  bool stop_ = false;
  bool started_ = false;  // written to since the last prepare
  bool emptied_ = false;  // restarted after an underrun, nothing written since
  bool draining_ = false;
  bool settling_ = false;  // all played by the delay since settlingSince_ ...
  bool holdLast_ = false;  // ... and the last buffer waits for the underrun
  std::chrono::steady_clock::time_point
      settlingSince_;  // waiting since drainingSince_ for the device to empty
  std::chrono::steady_clock::time_point drainingSince_;
  bool tail_ = false;  // the device held nothing of ours at tailAt_ ...
  std::chrono::steady_clock::time_point tailAt_;
  uint64_t tailFrames_ = 0;  // ... and still had this many frames to play
  int wakeFd_;
  std::vector<char> scratch_;
  std::thread thread_;
};

// What a backend and its open streams share: the idle PCM kept for the next
// open, and the texts of failures.
struct AlsaShared {
  std::string name;
  AlsaOutputSettings settings;
  std::shared_ptr<WaveOutErrorTexts> texts = std::make_shared<WaveOutErrorTexts>();
  std::mutex mu;
  std::unique_ptr<AlsaPcm> idle;
};

class AlsaBackend : public WaveOutBackend {
 public:
  AlsaBackend(const std::string& name, const AlsaOutputSettings& settings)
      : devices_(std::make_shared<AlsaShared>()), shared_(devices_.shared()) {
    shared_.name = name;
    shared_.settings = settings;
  }

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    std::lock_guard<std::mutex> lock(capsMu_);
    if (!haveCaps_) {
      MMRESULT r = ProbeFormats(caps_.dwFormats);
      if (r != MMSYSERR_NOERROR) return r;
      const std::string pname = "ALSA " + shared_.name;
      std::snprintf(caps_.szPname, sizeof caps_.szPname, "%s", pname.c_str());
      caps_.wChannels = 2;
      caps_.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
      haveCaps_ = true;
    }
    caps = caps_;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Query(const WAVEFORMATEX& format) override {
    PcmFormat f;
    if (!ToPcmFormat(format, f)) return BadFormat(format);
    std::unique_ptr<AlsaPcm> pcm;
    if (const MMRESULT r = Take(f, pcm)) return r;
    devices_.Idle(std::move(pcm));
    return MMSYSERR_NOERROR;
  }

  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    PcmFormat f;
    if (!ToPcmFormat(format, f)) return BadFormat(format);
    std::unique_ptr<AlsaPcm> pcm;
    if (const MMRESULT r = Take(f, pcm)) return r;
    return devices_.Hand(std::move(pcm), sink, stream);
  }

  void Recycle(std::unique_ptr<WaveOutStream> stream) override {
    devices_.Recycle(std::move(stream));
  }

  std::string ErrorText(MMRESULT code) override { return shared_.texts->Get(code); }

 private:
  MMRESULT BadFormat(const WAVEFORMATEX& f) {
    return shared_.texts->Set(
        WAVERR_BADFORMAT, "ALSA PCM \"" + shared_.name + "\": format not playable (tag " +
                              std::to_string(f.wFormatTag) + ", " + std::to_string(f.nChannels) +
                              " channels, " + std::to_string(f.wBitsPerSample) +
                              " bits, block align " + std::to_string(f.nBlockAlign) + ")");
  }

  // The idle PCM when it has this format; otherwise the idle one is closed
  // for real and a new one opened.
  MMRESULT Take(const PcmFormat& f, std::unique_ptr<AlsaPcm>& out) {
    const auto keep = [&](AlsaPcm& idle) -> std::optional<MMRESULT> {
      if (idle.format() == f && idle.Usable()) return MMSYSERR_NOERROR;
      return std::nullopt;
    };
    const auto open = [&](std::unique_ptr<AlsaPcm>& opened) {
      snd_pcm_t* pcm = nullptr;
      snd_pcm_uframes_t bufferFrames = 0;
      bool canPause = false;
      const MMRESULT r = OpenPcm(shared_.name, f, shared_.settings, *shared_.texts, &pcm,
                                 &bufferFrames, &canPause);
      if (r != MMSYSERR_NOERROR) return r;
      opened =
          std::make_unique<AlsaPcm>(shared_.name, pcm, f, bufferFrames, canPause, shared_.texts);
      return MMSYSERR_NOERROR;
    };
    return devices_.Take(keep, open, out);
  }

  // Which of the 11025, 22050 and 44100 Hz mono/stereo 8/16-bit formats the
  // PCM accepts, as WAVE_FORMAT_* bits.
  MMRESULT ProbeFormats(uint32_t& bits) {
    bits = 0;
    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, shared_.name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err == -EBUSY) {
      // Held by our own idle PCM (a device that allows one user): let it go.
      if (std::unique_ptr<AlsaPcm> old = devices_.TakeIdle()) {
        old.reset();
        err = snd_pcm_open(&pcm, shared_.name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
      }
    }
    if (err < 0)
      return shared_.texts->Set(CodeForOpenError(err),
                                "ALSA PCM \"" + shared_.name + "\": " + snd_strerror(err));
    snd_pcm_hw_params_t* any;
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&any);
    snd_pcm_hw_params_alloca(&hw);
    if (snd_pcm_hw_params_any(pcm, any) >= 0) {
      const unsigned rates[3] = {11025, 22050, 44100};
      for (int i = 0; i < 12; ++i) {
        const unsigned rate = rates[i / 4];
        const unsigned channels = (i & 1) ? 2 : 1;
        const snd_pcm_format_t sample = (i & 2) ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8;
        snd_pcm_hw_params_copy(hw, any);
        if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
            snd_pcm_hw_params_set_format(pcm, hw, sample) >= 0 &&
            snd_pcm_hw_params_set_channels(pcm, hw, channels) >= 0 &&
            snd_pcm_hw_params_test_rate(pcm, hw, rate, 0) >= 0)
          bits |= 1u << i;
      }
    }
    snd_pcm_close(pcm);
    return MMSYSERR_NOERROR;
  }

  KeptDevices<AlsaPcm, AlsaShared> devices_;
  AlsaShared& shared_;
  std::mutex capsMu_;
  bool haveCaps_ = false;
  WAVEOUTCAPS caps_{};
};

}  // namespace

std::unique_ptr<WaveOutBackend> CreateAlsaWaveOutBackend(const std::string& pcmName) {
  return CreateAlsaWaveOutBackend(pcmName, AlsaOutputSettings{});
}

std::unique_ptr<WaveOutBackend> CreateAlsaWaveOutBackend(const std::string& pcmName,
                                                         const AlsaOutputSettings& settings) {
  SilenceAlsaOnce();
  return std::make_unique<AlsaBackend>(pcmName, settings);
}

}  // namespace tw
