#include "platform/WaveOutNull.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ThreadTiming.h"
#include "platform/WaveOutFormats.h"
#include "platform/WaveOutUnpaced.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

// How long the card takes to play this many bytes of the format.
Nanos PlayDuration(uint64_t bytes, uint32_t bytesPerSecond) {
  const unsigned __int128 ns = static_cast<unsigned __int128>(bytes) * 1000000000u / bytesPerSecond;
  const unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX / 4);
  return Nanos(static_cast<int64_t>(std::min(ns, limit)));
}

// How many bytes the card plays in this time.
uint64_t BytesIn(Nanos elapsed, uint32_t bytesPerSecond) {
  if (elapsed.count() <= 0) return 0;
  return static_cast<uint64_t>(static_cast<unsigned __int128>(elapsed.count()) * bytesPerSecond /
                               1000000000u);
}

// One open paced stream. The clock thread keeps a reference while it reports
// a buffer, so the state outlives the stream object that the caller closes.
struct PacedState {
  PacedState(const WAVEFORMATEX& f, WaveOutSink& s) : format(f), sink(s) {}

  const WAVEFORMATEX format;
  WaveOutSink& sink;
  // Held while a buffer is reported (by the clock thread or by Reset), so
  // reports never interleave and Close waits for one in flight.
  std::recursive_mutex reportMutex;

  // Guarded by the clock's mutex.
  std::vector<WAVEHDR*> queue;
  size_t head = 0;
  bool paused = false;
  bool closed = false;
  Clock::time_point headStart;  // when the head buffer began to play (while running)
  Nanos pausedElapsed{0};       // how much of the head had played when the card paused
  uint64_t playedBytes = 0;     // bytes of the buffers done since open or reset
  uint32_t volume = 0xFFFFFFFFu;

  bool Empty() const { return head == queue.size(); }
  Nanos HeadDuration() const {
    return PlayDuration(PlayBytes(*queue[head]), format.nAvgBytesPerSec);
  }
  Clock::time_point Deadline() const { return headStart + HeadDuration(); }
  WAVEHDR* Pop() {
    WAVEHDR* h = queue[head++];
    if (head == queue.size()) {
      queue.clear();
      head = 0;
    }
    return h;
  }
};

// The card's clock: one thread that returns each buffer when it is due.
class PacedClock {
 public:
  PacedClock() = default;
  PacedClock(const PacedClock&) = delete;
  PacedClock& operator=(const PacedClock&) = delete;

  ~PacedClock() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop_ = true;
    }
    wake.notify_all();
    if (thread_.joinable()) {
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // freed from inside a report on the clock thread itself
      } else {
        thread_.join();
      }
    }
  }

  // Starts the thread on first use (a backend that is never opened costs none).
  void Attach(const std::shared_ptr<PacedState>& state) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    streams_.push_back(state);
  }

  // Under mutex.
  void Detach(PacedState* state) {
    streams_.erase(std::remove_if(streams_.begin(), streams_.end(),
                                  [state](const auto& s) { return s.get() == state; }),
                   streams_.end());
  }

  std::mutex mutex;
  std::condition_variable wake;

 private:
  void Run() {
    // The card's buffers are often only a few milliseconds long.
    PrepareThreadForTimedWakeups();
    std::unique_lock<std::mutex> lock(mutex);
    while (!stop_) {
      const Clock::time_point now = Clock::now();
      std::shared_ptr<PacedState> due;
      Clock::time_point earliest = Clock::time_point::max();
      for (const auto& s : streams_) {
        if (s->paused || s->Empty()) continue;
        const Clock::time_point deadline = s->Deadline();
        if (deadline <= now) {
          due = s;
          break;
        }
        earliest = std::min(earliest, deadline);
      }
      if (due) {
        lock.unlock();
        Report(*due);
        lock.lock();
      } else if (earliest == Clock::time_point::max()) {
        wake.wait(lock);
      } else {
        wake.wait_until(lock, earliest);
      }
    }
  }

  // Returns the stream's head buffer if it is still due once the report lock is held.
  void Report(PacedState& s) {
    std::lock_guard<std::recursive_mutex> reporting(s.reportMutex);
    WAVEHDR* header = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (s.closed || s.paused || s.Empty()) return;
      const Clock::time_point deadline = s.Deadline();
      if (deadline > Clock::now()) return;
      header = s.Pop();
      s.playedBytes += PlayBytes(*header);
      s.headStart = deadline;  // the next buffer follows without a gap
    }
    s.sink.BufferDone(header);
  }

  bool stop_ = false;
  std::thread thread_;
  std::vector<std::shared_ptr<PacedState>> streams_;
};

class PacedStream final : public WaveOutStream {
 public:
  PacedStream(std::shared_ptr<PacedClock> clock, const WAVEFORMATEX& format, WaveOutSink& sink)
      : clock_(std::move(clock)), state_(std::make_shared<PacedState>(format, sink)) {
    clock_->Attach(state_);
  }

  ~PacedStream() override {
    std::lock_guard<std::recursive_mutex> reporting(state_->reportMutex);
    std::lock_guard<std::mutex> lock(clock_->mutex);
    if (!state_->closed) {
      state_->closed = true;
      clock_->Detach(state_.get());
    }
  }

  MMRESULT Write(WAVEHDR* header) override {
    bool started = false;
    {
      std::lock_guard<std::mutex> lock(clock_->mutex);
      PacedState& s = *state_;
      if (s.closed) return MMSYSERR_INVALHANDLE;
      if (s.Empty()) {
        started = !s.paused;
        s.headStart = Clock::now();
        s.pausedElapsed = Nanos(0);
      }
      s.queue.push_back(header);
    }
    if (started) clock_->wake.notify_one();
    return MMSYSERR_NOERROR;
  }

  MMRESULT Reset() override {
    std::vector<WAVEHDR*> returned;
    std::lock_guard<std::recursive_mutex> reporting(state_->reportMutex);
    {
      std::lock_guard<std::mutex> lock(clock_->mutex);
      PacedState& s = *state_;
      if (s.closed) return MMSYSERR_INVALHANDLE;
      while (!s.Empty()) returned.push_back(s.Pop());
      s.playedBytes = 0;
      s.pausedElapsed = Nanos(0);
    }
    for (WAVEHDR* header : returned) state_->sink.BufferDone(header);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Pause() override {
    std::lock_guard<std::mutex> lock(clock_->mutex);
    PacedState& s = *state_;
    if (s.closed) return MMSYSERR_INVALHANDLE;
    if (!s.paused) {
      s.paused = true;
      s.pausedElapsed =
          s.Empty() ? Nanos(0) : std::min<Nanos>(Clock::now() - s.headStart, s.HeadDuration());
    }
    return MMSYSERR_NOERROR;
  }

  MMRESULT Restart() override {
    {
      std::lock_guard<std::mutex> lock(clock_->mutex);
      PacedState& s = *state_;
      if (s.closed) return MMSYSERR_INVALHANDLE;
      if (!s.paused) return MMSYSERR_NOERROR;
      s.paused = false;
      s.headStart = Clock::now() - s.pausedElapsed;
    }
    clock_->wake.notify_one();
    return MMSYSERR_NOERROR;
  }

  MMRESULT GetPosition(uint64_t& frames) override {
    std::lock_guard<std::mutex> lock(clock_->mutex);
    const PacedState& s = *state_;
    if (s.closed) return MMSYSERR_INVALHANDLE;
    uint64_t bytes = s.playedBytes;
    if (!s.Empty()) {
      const Nanos elapsed = s.paused ? s.pausedElapsed : Clock::now() - s.headStart;
      bytes += std::min(BytesIn(elapsed, s.format.nAvgBytesPerSec), PlayBytes(*s.queue[s.head]));
    }
    frames = bytes / s.format.nBlockAlign;
    return MMSYSERR_NOERROR;
  }

  MMRESULT GetVolume(uint32_t& volume) override {
    std::lock_guard<std::mutex> lock(clock_->mutex);
    volume = state_->volume;
    return MMSYSERR_NOERROR;
  }

  MMRESULT SetVolume(uint32_t volume) override {
    std::lock_guard<std::mutex> lock(clock_->mutex);
    state_->volume = volume;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Close() override {
    std::lock_guard<std::recursive_mutex> reporting(state_->reportMutex);
    std::lock_guard<std::mutex> lock(clock_->mutex);
    PacedState& s = *state_;
    if (s.closed) return MMSYSERR_INVALHANDLE;
    if (!s.Empty()) return WAVERR_STILLPLAYING;
    s.closed = true;
    clock_->Detach(&s);
    return MMSYSERR_NOERROR;
  }

 private:
  std::shared_ptr<PacedClock> clock_;
  std::shared_ptr<PacedState> state_;
};

class FastNullStream final : public UnpacedWaveOutStream {
 public:
  using UnpacedWaveOutStream::UnpacedWaveOutStream;

 protected:
  MMRESULT Play(const WAVEHDR& /*header*/) override { return MMSYSERR_NOERROR; }
};

class NullBackend final : public WaveOutBackend {
 public:
  explicit NullBackend(NullPacing pacing) : pacing_(pacing) {
    if (pacing_ == NullPacing::kRealTime) clock_ = std::make_shared<PacedClock>();
  }

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    caps = WAVEOUTCAPS{};
    caps.vDriverVersion = 0x0100;
    const char* name =
        pacing_ == NullPacing::kRealTime ? "Tonewell null output" : "Tonewell null output (fast)";
    std::strncpy(caps.szPname, name, sizeof caps.szPname - 1);
    caps.dwFormats = 0x0FFF;
    caps.wChannels = 2;
    caps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Query(const WAVEFORMATEX& format) override { return Check(format); }

  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    const MMRESULT result = Check(format);
    if (result != MMSYSERR_NOERROR) return result;
    if (clock_) {
      stream = std::make_unique<PacedStream>(clock_, format, sink);
    } else {
      stream = std::make_unique<FastNullStream>(format, sink, true);
    }
    return MMSYSERR_NOERROR;
  }

  std::string ErrorText(MMRESULT code) override {
    std::lock_guard<std::mutex> lock(textMutex_);
    return code == WAVERR_BADFORMAT ? badFormatText_ : std::string();
  }

 private:
  MMRESULT Check(const WAVEFORMATEX& format) {
    const MMRESULT result = CheckPlayableFormat(format);
    if (result == WAVERR_BADFORMAT) {
      std::lock_guard<std::mutex> lock(textMutex_);
      badFormatText_ = UnplayableFormatText("null sound output", format);
    }
    return result;
  }

  const NullPacing pacing_;
  std::shared_ptr<PacedClock> clock_;
  std::mutex textMutex_;
  std::string badFormatText_;  // why the latest format was refused
};

}  // namespace

std::unique_ptr<WaveOutBackend> CreateNullWaveOutBackend(NullPacing pacing) {
  return std::make_unique<NullBackend>(pacing);
}

}  // namespace tw
