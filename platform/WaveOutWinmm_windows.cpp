// The system's waveOut device behind our wave output functions.
//
// Our declarations come first: the system's headers define the same result
// codes and flags as macros, with the same values, so after them a bare
// WHDR_DONE is the system's macro and equals ours. Inside namespace tw an
// unqualified WAVEHDR or WAVEFORMATEX is our record; the system's records and
// functions are written with a leading "::".
// clang-format off
#include "platform/WaveOutWinmm.h"
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// Texts of the failures this backend reported, per result code: the last
// failure of each code is the one a caller asks about.
class ErrorTexts {
 public:
  explicit ErrorTexts(std::string who) : who_(std::move(who)) {}

  MMRESULT Set(MMRESULT code) {
    char text[MAXERRORLENGTH] = "";
    if (::waveOutGetErrorTextA(code, text, sizeof text) != MMSYSERR_NOERROR) {
      std::snprintf(text, sizeof text, "error %u", static_cast<unsigned>(code));
    }
    std::lock_guard<std::mutex> lock(mu_);
    texts_[code] = who_ + ": " + text;
    return code;
  }
  std::string Get(MMRESULT code) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = texts_.find(code);
    return it == texts_.end() ? std::string() : it->second;
  }

 private:
  const std::string who_;
  std::mutex mu_;
  std::map<MMRESULT, std::string> texts_;
};

// One open device and the thread that hands its returned buffers back, in
// order. A stream drives it while open; between streams it waits idle in the
// backend.
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
    // Signalled by the device after its open, each returned buffer and its
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

  // A new stream takes the device: its position starts at 0, not paused.
  void Attach(WaveOutSink* sink) {
    std::lock_guard<std::mutex> lock(mu_);
    sink_ = sink;
    uint64_t position = 0;
    base_ = PositionLocked(position) ? position : queuedEnd_;
  }

  // The stream lets go. Fails while buffers are queued unless force, which
  // drops them without reporting (their owner is gone).
  MMRESULT Detach(bool force) {
    std::lock_guard<std::mutex> report(reportMu_);
    std::lock_guard<std::mutex> lock(mu_);
    if (!queue_.empty() && !force) return WAVERR_STILLPLAYING;
    if (!queue_.empty()) DropLocked();
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
    Entry& e = queue_.emplace_back();
    e.ours = header;
    e.looped = looped;
    e.native.lpData = header->lpData;
    e.native.dwBufferLength = frames * format_.nBlockAlign;
    e.native.dwFlags = header->dwFlags & (WHDR_BEGINLOOP | WHDR_ENDLOOP);
    e.native.dwLoops = header->dwLoops;
    e.end = queuedEnd_ + static_cast<uint64_t>(frames) * (looped ? header->dwLoops : 1);
    if (frames == 0) {
      // Nothing to play: done as soon as the buffers before it are.
      e.native.dwFlags = WHDR_DONE;
      e.prepared = false;
      ::SetEvent(event_);
      return MMSYSERR_NOERROR;
    }
    MMRESULT r = ::waveOutPrepareHeader(handle_, &e.native, sizeof e.native);
    if (r == MMSYSERR_NOERROR) {
      r = ::waveOutWrite(handle_, &e.native, sizeof e.native);
      if (r != MMSYSERR_NOERROR) ::waveOutUnprepareHeader(handle_, &e.native, sizeof e.native);
    }
    if (r != MMSYSERR_NOERROR) {
      queue_.pop_back();
      return texts_->Set(r);
    }
    queuedEnd_ = e.end;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Reset() {
    std::vector<WAVEHDR*> done;
    WaveOutSink* sink = nullptr;
    std::lock_guard<std::mutex> report(reportMu_);
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (const Entry& e : queue_) done.push_back(e.ours);
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
    std::lock_guard<std::mutex> lock(mu_);
    if (!paused_) return MMSYSERR_NOERROR;
    const MMRESULT r = ::waveOutRestart(handle_);
    if (r != MMSYSERR_NOERROR) return texts_->Set(r);
    paused_ = false;
    // The wait for the position starts again with the sound.
    for (Entry& e : queue_) e.waiting = false;
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
  struct Entry {
    ::WAVEHDR native{};
    WAVEHDR* ours = nullptr;
    uint64_t end = 0;  // device frames since its last reset, after this buffer
    bool looped = false;
    bool prepared = true;
    bool waiting = false;        // returned, the position not yet past its end ...
    Clock::time_point deadline;  // ... and reported at this time at the latest
  };

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

  // Stops the device and takes every queued buffer back, unreported. The
  // position returns to 0.
  MMRESULT DropLocked() {
    const MMRESULT r = ::waveOutReset(handle_);
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(1);
    for (Entry& e : queue_) {
      if (!e.prepared) continue;
      // A reset returns every buffer; a device that is slow to mark them
      // gets a moment, and a buffer it never returns is left to it.
      while (!Returned(e.native) && Clock::now() < limit) ::Sleep(1);
      ::waveOutUnprepareHeader(handle_, &e.native, sizeof e.native);
    }
    queue_.clear();
    queuedEnd_ = 0;
    lastRaw_ = 0;
    wraps_ = 0;
    if (r != MMSYSERR_NOERROR) broken_ = true;
    return r;
  }

  // Whether the returned buffer e has been heard to its end; starts the wait
  // for the position when it has not.
  bool HeardLocked(Entry& e, Clock::time_point now) {
    if (!e.prepared || e.looped) return true;
    uint64_t position = 0;
    if (!PositionLocked(position) || position >= e.end) return true;
    if (paused_) return false;
    if (!e.waiting) {
      e.waiting = true;
      const uint64_t left = e.end - position;
      e.deadline = now + std::chrono::microseconds(left * 1000000 / format_.nSamplesPerSec) +
                   std::chrono::milliseconds(200);
    }
    return now >= e.deadline;
  }

  // Hands every buffer that has been played back to the sink, oldest first.
  // Returns whether the first one still waits for the position.
  bool Collect() {
    std::lock_guard<std::mutex> report(reportMu_);
    for (;;) {
      WAVEHDR* done = nullptr;
      WaveOutSink* sink = nullptr;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (queue_.empty()) return false;
        Entry& e = queue_.front();
        if (!Returned(e.native)) return false;
        if (!HeardLocked(e, Clock::now())) return true;
        if (e.prepared) ::waveOutUnprepareHeader(handle_, &e.native, sizeof e.native);
        done = e.ours;
        sink = sink_;
        queue_.pop_front();
      }
      if (sink != nullptr) sink->BufferDone(done);
    }
  }

  void Run() {
    bool polling = false;
    for (;;) {
      // While a returned buffer waits for the position, look again every
      // millisecond; otherwise sleep until the device says something.
      ::WaitForSingleObject(event_, polling ? 1 : INFINITE);
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_) return;
      }
      polling = Collect();
    }
  }

  const ::HWAVEOUT handle_;
  const HANDLE event_;
  const WAVEFORMATEX format_;
  const std::shared_ptr<ErrorTexts> texts_;

  std::mutex reportMu_;  // taken before mu_, never after
  std::mutex mu_;
  std::deque<Entry> queue_;  // a deque keeps the entries where the device sees them
  uint64_t queuedEnd_ = 0;   // device frames since its last reset, all queued buffers
  uint64_t base_ = 0;        // device position when the stream attached
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

class WinmmStream : public WaveOutStream {
 public:
  WinmmStream(std::shared_ptr<WinmmShared> shared, std::unique_ptr<WinmmDevice> device)
      : shared_(std::move(shared)), device_(std::move(device)) {}

  ~WinmmStream() override {
    if (device_) Release(true);
  }

  MMRESULT Write(WAVEHDR* header) override {
    return device_ ? device_->Write(header) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT Reset() override { return device_ ? device_->Reset() : MMSYSERR_INVALHANDLE; }
  MMRESULT Pause() override { return device_ ? device_->Pause() : MMSYSERR_INVALHANDLE; }
  MMRESULT Restart() override { return device_ ? device_->Restart() : MMSYSERR_INVALHANDLE; }
  MMRESULT GetPosition(uint64_t& frames) override {
    return device_ ? device_->GetPosition(frames) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT GetVolume(uint32_t& volume) override {
    return device_ ? device_->GetVolume(volume) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT SetVolume(uint32_t volume) override {
    return device_ ? device_->SetVolume(volume) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT Close() override { return device_ ? Release(false) : MMSYSERR_INVALHANDLE; }

 private:
  // Hands the device back to the backend for the next open of its format.
  MMRESULT Release(bool force) {
    const MMRESULT r = device_->Detach(force);
    if (r != MMSYSERR_NOERROR) return r;
    std::unique_ptr<WinmmDevice> device = std::move(device_);
    if (!device->Usable()) return MMSYSERR_NOERROR;  // closed for real below
    std::unique_ptr<WinmmDevice> old;
    {
      std::lock_guard<std::mutex> lock(shared_->mu);
      old = std::move(shared_->idle);
      shared_->idle = std::move(device);
    }
    return MMSYSERR_NOERROR;
  }

  std::shared_ptr<WinmmShared> shared_;
  std::unique_ptr<WinmmDevice> device_;
};

class WinmmBackend : public WaveOutBackend {
 public:
  explicit WinmmBackend(uint32_t id) : shared_(std::make_shared<WinmmShared>()) {
    shared_->id = id;
    shared_->texts = std::make_shared<ErrorTexts>(
        id == WAVE_MAPPER ? std::string("Windows sound output")
                          : "Windows sound output " + std::to_string(id));
  }

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    ::WAVEOUTCAPSA system{};
    const MMRESULT r = ::waveOutGetDevCapsA(shared_->id, &system, sizeof system);
    if (r != MMSYSERR_NOERROR) return shared_->texts->Set(r);
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
    const MMRESULT r =
        ::waveOutOpen(nullptr, shared_->id, System(&format), 0, 0, WAVE_FORMAT_QUERY);
    return r == MMSYSERR_NOERROR ? r : shared_->texts->Set(r);
  }

  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    std::unique_ptr<WinmmDevice> device;
    const MMRESULT r = Take(format, device);
    if (r != MMSYSERR_NOERROR) return r;
    device->Attach(&sink);
    stream = std::make_unique<WinmmStream>(shared_, std::move(device));
    return MMSYSERR_NOERROR;
  }

  std::string ErrorText(MMRESULT code) override { return shared_->texts->Get(code); }

 private:
  // The idle device when it has this format; otherwise the idle one is
  // closed for real and a new one opened.
  MMRESULT Take(const WAVEFORMATEX& format, std::unique_ptr<WinmmDevice>& out) {
    std::unique_ptr<WinmmDevice> old;
    {
      std::lock_guard<std::mutex> lock(shared_->mu);
      old = std::move(shared_->idle);
    }
    if (old && SameFormat(old->format(), format) && old->Usable()) {
      out = std::move(old);
      return MMSYSERR_NOERROR;
    }
    old.reset();
    return WinmmDevice::Open(shared_->id, format, shared_->texts, out);
  }

  std::shared_ptr<WinmmShared> shared_;
};

}  // namespace

std::unique_ptr<WaveOutBackend> CreateWinmmWaveOutBackend(uint32_t deviceId) {
  return std::make_unique<WinmmBackend>(deviceId);
}

}  // namespace tw
