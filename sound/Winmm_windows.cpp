// The system's waveOut device behind our wave output functions.
//
// Our declarations come first: the system's headers define the same result
// codes and flags as macros, with the same values, so after them a bare
// WHDR_DONE is the system's macro and equals ours. Inside namespace tw an
// unqualified WAVEHDR or WAVEFORMATEX is our record; the system's records and
// functions are written with a leading "::".
// clang-format off
#include "sound/Winmm.h"
#include "platform/WaveOutErrorTexts.h"
#include "sound/KeptDevice.h"
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ThreadTiming.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;

static_assert(sizeof(WAVEFORMATEX) == sizeof(::WAVEFORMATEX));
static_assert(sizeof(WAVEOUTCAPS) == sizeof(::WAVEOUTCAPSA));

::WAVEFORMATEX* System(const WAVEFORMATEX* format) {
  return reinterpret_cast<::WAVEFORMATEX*>(const_cast<WAVEFORMATEX*>(format));
}

bool SameFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
  return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels &&
         a.nSamplesPerSec == b.nSamplesPerSec && a.nAvgBytesPerSec == b.nAvgBytesPerSec &&
         a.nBlockAlign == b.nBlockAlign && a.wBitsPerSample == b.wBitsPerSample;
}

// The device sets WHDR_DONE on its own thread; it signals the event after.
bool Returned(const ::WAVEHDR& h) {
  return (*static_cast<const volatile DWORD*>(&h.dwFlags) & WHDR_DONE) != 0;
}

// The failures this backend reported, each with the system's text for its
// code after the device's name.
class ErrorTexts {
 public:
  explicit ErrorTexts(std::string who) : who_(std::move(who)) {}

  MMRESULT Set(MMRESULT code) {
    char text[MAXERRORLENGTH] = "";
    if (::waveOutGetErrorTextA(code, text, sizeof text) != MMSYSERR_NOERROR) {
      std::snprintf(text, sizeof text, "error %u", static_cast<unsigned>(code));
    }
    return texts_.Set(code, who_ + ": " + text);
  }
  std::string Get(MMRESULT code) const { return texts_.Get(code); }

 private:
  const std::string who_;
  WaveOutErrorTexts texts_;
};

// The silence a device that played something plays before it closes for
// real (see LetTheTailOutLocked).
constexpr DWORD kTailMs = 100;

// One open device and the thread that reports its buffers played, in order.
// A stream drives it while open; between streams it waits idle in the
// backend.
//
// Each buffer written is copied into a block of the device's own, which the
// system reads; so a buffer can be reported played as soon as the device's
// position has passed its last frame, even while the system still holds the
// block (it may return blocks a period or two later, or long before they are
// heard). A block the system has returned is kept for the next write.
class WinmmDevice {
 public:
  WinmmDevice(::HWAVEOUT handle, HANDLE event, const WAVEFORMATEX& format,
              std::shared_ptr<ErrorTexts> texts)
      : handle_(handle), event_(event), format_(format), texts_(std::move(texts)) {
    thread_ = std::thread([this] { Run(); });
  }

  ~WinmmDevice() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    ::SetEvent(event_);
    thread_.join();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (queuedEnd_ > 0 && !paused_) LetTheTailOutLocked();
      DropLocked();
    }
    ::waveOutClose(handle_);
    ::CloseHandle(event_);
  }

  WinmmDevice(const WinmmDevice&) = delete;
  WinmmDevice& operator=(const WinmmDevice&) = delete;

  // Opens device id for format; on failure returns the code (its text
  // recorded) and leaves out empty.
  static MMRESULT Open(uint32_t id, const WAVEFORMATEX& format,
                       const std::shared_ptr<ErrorTexts>& texts,
                       std::unique_ptr<WinmmDevice>& out) {
    // Signalled by the device after its open, each returned block and its
    // close; one thread waits for it, so it resets itself.
    HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) return texts->Set(MMSYSERR_NOMEM);
    ::HWAVEOUT handle = nullptr;
    const MMRESULT r = ::waveOutOpen(&handle, id, System(&format),
                                     reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT);
    if (r != MMSYSERR_NOERROR) {
      ::CloseHandle(event);
      return texts->Set(r);
    }
    out = std::make_unique<WinmmDevice>(handle, event, format, texts);
    return MMSYSERR_NOERROR;
  }

  const WAVEFORMATEX& format() const { return format_; }

  bool Usable() {
    std::lock_guard<std::mutex> lock(mu_);
    return !broken_;
  }
  // A stream that closes hands the device back for the next open of its
  // format unless it broke (then it is closed for real).
  bool KeepAfterClose() { return Usable(); }

  // A new stream takes the device: its position starts at 0.
  void Attach(WaveOutSink* sink) {
    std::lock_guard<std::mutex> lock(mu_);
    sink_ = sink;
    uint64_t position = 0;
    base_ = PositionLocked(position) ? position : queuedEnd_;
  }

  // The stream lets go. Fails while buffers are unreported unless force,
  // which drops them without reporting (their owner is gone). Blocks the
  // system has not returned yet stay with the device.
  MMRESULT Detach(bool force) {
    std::lock_guard<std::mutex> report(reportMu_);
    std::lock_guard<std::mutex> lock(mu_);
    if (unreported_ > 0 && !force) return WAVERR_STILLPLAYING;
    if (unreported_ > 0) DropLocked();
    if (paused_) {
      paused_ = false;
      if (::waveOutRestart(handle_) != MMSYSERR_NOERROR) broken_ = true;
    }
    sink_ = nullptr;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Write(WAVEHDR* header) {
    std::lock_guard<std::mutex> lock(mu_);
    if (broken_) return MMSYSERR_ERROR;
    const uint32_t frames = header->dwBufferLength / format_.nBlockAlign;
    const bool looped = (header->dwFlags & WHDR_BEGINLOOP) != 0 && header->dwLoops > 1;
    std::unique_ptr<Block> block = TakeBlockLocked();
    block->ours = header;
    block->end = queuedEnd_ + uint64_t{frames} * (looped ? header->dwLoops : 1);
    block->reported = false;
    block->waiting = false;
    block->native = {};
    block->prepared = frames > 0;
    if (block->prepared) {
      block->data.assign(header->lpData, header->lpData + frames * format_.nBlockAlign);
      block->native.lpData = block->data.data();
      block->native.dwBufferLength = frames * format_.nBlockAlign;
      block->native.dwFlags = header->dwFlags & (WHDR_BEGINLOOP | WHDR_ENDLOOP);
      block->native.dwLoops = header->dwLoops;
      MMRESULT r = ::waveOutPrepareHeader(handle_, &block->native, sizeof block->native);
      if (r == MMSYSERR_NOERROR) {
        r = ::waveOutWrite(handle_, &block->native, sizeof block->native);
        if (r != MMSYSERR_NOERROR) {
          ::waveOutUnprepareHeader(handle_, &block->native, sizeof block->native);
        }
      }
      if (r != MMSYSERR_NOERROR) {
        spare_.push_back(std::move(block));
        return texts_->Set(r);
      }
    } else {
      // Nothing to play: played as soon as the buffers before it are.
      block->native.dwFlags = WHDR_DONE;
    }
    queuedEnd_ = block->end;
    queue_.push_back(std::move(block));
    ++unreported_;
    ::SetEvent(event_);  // the reporting thread looks at the new block
    return MMSYSERR_NOERROR;
  }

  MMRESULT Reset() {
    WaveOutSink* sink = nullptr;
    std::lock_guard<std::mutex> report(reportMu_);
    std::vector<WAVEHDR*>& done = resetDone_;
    done.clear();
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (const auto& b : queue_) {
        if (!b->reported) done.push_back(b->ours);
      }
      const MMRESULT r = DropLocked();
      base_ = 0;
      sink = sink_;
      if (r != MMSYSERR_NOERROR) return texts_->Set(r);
    }
    if (sink != nullptr) {
      for (WAVEHDR* h : done) sink->BufferDone(h);
    }
    return MMSYSERR_NOERROR;
  }

  MMRESULT Pause() {
    std::lock_guard<std::mutex> lock(mu_);
    if (paused_) return MMSYSERR_NOERROR;
    const MMRESULT r = ::waveOutPause(handle_);
    if (r != MMSYSERR_NOERROR) return texts_->Set(r);
    paused_ = true;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Restart() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!paused_) return MMSYSERR_NOERROR;
      const MMRESULT r = ::waveOutRestart(handle_);
      if (r != MMSYSERR_NOERROR) return texts_->Set(r);
      paused_ = false;
      // The wait for the position starts again with the sound.
      for (auto& b : queue_) b->waiting = false;
    }
    ::SetEvent(event_);
    return MMSYSERR_NOERROR;
  }

  MMRESULT GetPosition(uint64_t& frames) {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t position = 0;
    if (!PositionLocked(position)) return texts_->Set(MMSYSERR_ERROR);
    frames = position > base_ ? position - base_ : 0;
    return MMSYSERR_NOERROR;
  }

  MMRESULT GetVolume(uint32_t& volume) {
    DWORD value = 0;
    const MMRESULT r = ::waveOutGetVolume(handle_, &value);
    if (r != MMSYSERR_NOERROR) return texts_->Set(r);
    volume = value;
    return MMSYSERR_NOERROR;
  }

  MMRESULT SetVolume(uint32_t volume) {
    const MMRESULT r = ::waveOutSetVolume(handle_, volume);
    return r == MMSYSERR_NOERROR ? r : texts_->Set(r);
  }

 private:
  // Every buffer was reported played, but the system may still hold the end
  // of the last one: a sound server behind it may wait for more sound
  // before it plays what it has (a stream that ran dry waits to fill up
  // again). A short silence is written and played out before the reset that
  // ends the device. This happens once, when the device closes for real (a
  // new format, the end of the program), never between tones.
  void LetTheTailOutLocked() {
    const uint32_t frames = format_.nSamplesPerSec * kTailMs / 1000;
    std::unique_ptr<Block> tail = TakeBlockLocked();
    const char silence = format_.wFormatTag == WAVE_FORMAT_PCM && format_.wBitsPerSample == 8
                             ? static_cast<char>(0x80)
                             : 0;
    tail->data.assign(static_cast<size_t>(frames) * format_.nBlockAlign, silence);
    tail->native = {};
    tail->native.lpData = tail->data.data();
    tail->native.dwBufferLength = static_cast<DWORD>(tail->data.size());
    if (::waveOutPrepareHeader(handle_, &tail->native, sizeof tail->native) != MMSYSERR_NOERROR) {
      spare_.push_back(std::move(tail));
      return;
    }
    const uint64_t end = queuedEnd_ + frames;
    if (::waveOutWrite(handle_, &tail->native, sizeof tail->native) == MMSYSERR_NOERROR) {
      const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(kTailMs + 500);
      uint64_t position = 0;
      while (Clock::now() < limit &&
             !(Returned(tail->native) && PositionLocked(position) && position >= end)) {
        ::Sleep(1);
      }
      ::waveOutReset(handle_);
      while (!Returned(tail->native) && Clock::now() < limit) ::Sleep(1);
    }
    if (Returned(tail->native)) {
      ::waveOutUnprepareHeader(handle_, &tail->native, sizeof tail->native);
      spare_.push_back(std::move(tail));
    } else {
      lost_.push_back(std::move(tail));  // the system still holds it
    }
  }

  struct Block {
    ::WAVEHDR native{};
    std::vector<char> data;  // the copy the system reads
    WAVEHDR* ours = nullptr;
    uint64_t end = 0;  // device frames since its last reset, after this buffer
    bool prepared = false;
    bool reported = false;       // handed back to the stream's sink
    bool waiting = false;        // the position not yet past its end ...
    Clock::time_point deadline;  // ... and reported at this time at the latest
  };

  std::unique_ptr<Block> TakeBlockLocked() {
    if (spare_.empty()) return std::make_unique<Block>();
    std::unique_ptr<Block> b = std::move(spare_.back());
    spare_.pop_back();
    return b;
  }

  // The frames the device has played since its last reset, as 64 bits.
  bool PositionLocked(uint64_t& frames) {
    ::MMTIME time{};
    time.wType = TIME_SAMPLES;
    if (::waveOutGetPosition(handle_, &time, sizeof time) != MMSYSERR_NOERROR) return false;
    uint32_t raw = 0;
    if (time.wType == TIME_SAMPLES) {
      raw = time.u.sample;
    } else if (time.wType == TIME_BYTES) {
      raw = time.u.cb / format_.nBlockAlign;
    } else {
      return false;
    }
    // The system counts in 32 bits (27 hours at 44100 Hz); a count below the
    // last one without a reset has wrapped.
    if (raw < lastRaw_) wraps_ += uint64_t{1} << 32;
    lastRaw_ = raw;
    frames = wraps_ + raw;
    return true;
  }

  // Stops the device and takes every block back, unreported. The position
  // returns to 0.
  MMRESULT DropLocked() {
    const MMRESULT r = ::waveOutReset(handle_);
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(1);
    for (auto& b : queue_) {
      if (!b->prepared) continue;
      // A reset returns every block; a device that is slow to mark them gets
      // a moment, and a block it never returns is left to it.
      while (!Returned(b->native) && Clock::now() < limit) ::Sleep(1);
      if (Returned(b->native)) {
        ::waveOutUnprepareHeader(handle_, &b->native, sizeof b->native);
        spare_.push_back(std::move(b));
      } else {
        lost_.push_back(std::move(b));
      }
    }
    queue_.clear();
    unreported_ = 0;
    queuedEnd_ = 0;
    lastRaw_ = 0;
    wraps_ = 0;
    if (r != MMSYSERR_NOERROR) broken_ = true;
    return r;
  }

  // Whether block b has been heard to its end; starts its deadline when it
  // has not. `wait` is how long to look away before the next look.
  bool HeardLocked(Block& b, Clock::time_point now, Clock::duration& wait) {
    if (!b.prepared) return true;
    if (paused_) {
      wait = Clock::duration::max();
      return false;
    }
    uint64_t position = 0;
    if (!PositionLocked(position)) return Returned(b.native);
    if (position >= b.end) return true;
    const auto left =
        std::chrono::microseconds((b.end - position) * 1000000 / format_.nSamplesPerSec);
    if (!b.waiting) {
      b.waiting = true;
      b.deadline = now + left + std::chrono::milliseconds(200);
    }
    if (now >= b.deadline) return true;  // the position stopped short
    wait = std::clamp<Clock::duration>(left, std::chrono::milliseconds(1),
                                       std::chrono::milliseconds(10));
    return false;
  }

  // Hands every buffer that has been played back to the sink, oldest first,
  // and keeps the blocks the system returned. Returns how long to wait for
  // the next look (max: until the device says something).
  Clock::duration Collect() {
    std::lock_guard<std::mutex> report(reportMu_);
    for (;;) {
      WAVEHDR* done = nullptr;
      WaveOutSink* sink = nullptr;
      Clock::duration wait = Clock::duration::max();
      {
        std::lock_guard<std::mutex> lock(mu_);
        while (!queue_.empty() && queue_.front()->reported && Returned(queue_.front()->native)) {
          std::unique_ptr<Block>& b = queue_.front();
          if (b->prepared) ::waveOutUnprepareHeader(handle_, &b->native, sizeof b->native);
          spare_.push_back(std::move(b));
          queue_.erase(queue_.begin());
        }
        Block* next = nullptr;
        for (auto& b : queue_) {
          if (!b->reported) {
            next = b.get();
            break;
          }
        }
        if (next == nullptr) return wait;
        if (!HeardLocked(*next, Clock::now(), wait)) return wait;
        next->reported = true;
        --unreported_;
        done = next->ours;
        sink = sink_;
      }
      if (sink != nullptr) sink->BufferDone(done);
    }
  }

  void Run() {
    PrepareThreadForTimedWakeups();
    Clock::duration wait = Clock::duration::max();
    for (;;) {
      // While a buffer plays, look again when it should be over (every
      // millisecond near its end); otherwise sleep until the device or a
      // write says something.
      const DWORD ms =
          wait == Clock::duration::max()
              ? INFINITE
              : static_cast<DWORD>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(wait).count());
      ::WaitForSingleObject(event_, ms);
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_) return;
      }
      wait = Collect();
    }
  }

  const ::HWAVEOUT handle_;
  const HANDLE event_;
  const WAVEFORMATEX format_;
  const std::shared_ptr<ErrorTexts> texts_;

  std::mutex reportMu_;              // taken before mu_, never after
  std::vector<WAVEHDR*> resetDone_;  // Reset's list, kept for the next (guarded by reportMu_)
  std::mutex mu_;
  // Written, not yet returned and reported, oldest first. A vector rather
  // than a deque: a deque that is written at one end and emptied at the
  // other takes and frees a block of its own every few dozen buffers; the
  // queue is a few buffers long, so taking the oldest out is cheap.
  std::vector<std::unique_ptr<Block>> queue_;
  std::vector<std::unique_ptr<Block>> spare_;
  std::vector<std::unique_ptr<Block>> lost_;  // never returned by a reset: the system's
  size_t unreported_ = 0;
  uint64_t queuedEnd_ = 0;  // device frames since its last reset, all queued buffers
  uint64_t base_ = 0;       // device position when the stream attached
  uint32_t lastRaw_ = 0;
  uint64_t wraps_ = 0;
  WaveOutSink* sink_ = nullptr;
  bool paused_ = false;
  bool broken_ = false;
  bool stop_ = false;
  std::thread thread_;
};

// What a backend and its open streams share: the idle device kept for the
// next open, and the texts of failures.
struct WinmmShared {
  uint32_t id = WAVE_MAPPER;
  std::shared_ptr<ErrorTexts> texts;
  std::mutex mu;
  std::unique_ptr<WinmmDevice> idle;
};

class WinmmBackend : public WaveOutBackend {
 public:
  explicit WinmmBackend(uint32_t id)
      : devices_(std::make_shared<WinmmShared>()), shared_(devices_.shared()) {
    shared_.id = id;
    shared_.texts = std::make_shared<ErrorTexts>(
        id == WAVE_MAPPER ? std::string("Windows sound output")
                          : "Windows sound output " + std::to_string(id));
  }

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    ::WAVEOUTCAPSA system{};
    const MMRESULT r = ::waveOutGetDevCapsA(shared_.id, &system, sizeof system);
    if (r != MMSYSERR_NOERROR) return shared_.texts->Set(r);
    static_assert(sizeof caps.szPname == sizeof system.szPname);
    caps.wMid = system.wMid;
    caps.wPid = system.wPid;
    caps.vDriverVersion = system.vDriverVersion;
    std::memcpy(caps.szPname, system.szPname, sizeof caps.szPname);
    caps.dwFormats = system.dwFormats;
    caps.wChannels = system.wChannels;
    caps.wReserved1 = 0;
    caps.dwSupport = system.dwSupport;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Query(const WAVEFORMATEX& format) override {
    const MMRESULT r = ::waveOutOpen(nullptr, shared_.id, System(&format), 0, 0, WAVE_FORMAT_QUERY);
    return r == MMSYSERR_NOERROR ? r : shared_.texts->Set(r);
  }

  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    std::unique_ptr<WinmmDevice> device;
    if (const MMRESULT r = Take(format, device)) return r;
    return devices_.Hand(std::move(device), sink, stream);
  }

  void Recycle(std::unique_ptr<WaveOutStream> stream) override {
    devices_.Recycle(std::move(stream));
  }

  std::string ErrorText(MMRESULT code) override { return shared_.texts->Get(code); }

 private:
  // The idle device when it has this format; otherwise the idle one is
  // closed for real and a new one opened.
  MMRESULT Take(const WAVEFORMATEX& format, std::unique_ptr<WinmmDevice>& out) {
    const auto keep = [&](WinmmDevice& idle) -> std::optional<MMRESULT> {
      if (SameFormat(idle.format(), format) && idle.Usable()) return MMSYSERR_NOERROR;
      return std::nullopt;
    };
    const auto open = [&](std::unique_ptr<WinmmDevice>& opened) {
      return WinmmDevice::Open(shared_.id, format, shared_.texts, opened);
    };
    return devices_.Take(keep, open, out);
  }

  KeptDevices<WinmmDevice, WinmmShared> devices_;
  WinmmShared& shared_;
};

}  // namespace

std::unique_ptr<WaveOutBackend> CreateWinmmWaveOutBackend(uint32_t deviceId) {
  return std::make_unique<WinmmBackend>(deviceId);
}

}  // namespace tw
