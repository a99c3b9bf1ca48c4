#include "platform/WaveOutNull.h"

#include <sched.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/WaveOutFormats.h"
#include "platform/WaveOutUnpaced.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the timer's clock
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

// The longest the clock thread wakes before a deadline to wait out the rest
// awake: a cap on the CPU a wake-up that comes late every time can cost.
constexpr Nanos kMaxLead = std::chrono::microseconds(150);
// How many recent wake-ups the lead is learnt from.
constexpr size_t kLatencySamples = 15;

// Asks for a short scheduler time slice for the calling thread. From Linux
// 6.12 a thread that wakes with a shorter slice than the running one takes
// the processor at once instead of at the end of that one's slice, and any
// thread may ask for it. Elsewhere the request is refused or ignored and the
// thread keeps the default; nothing depends on it but latency.
void RequestShortSlice() {
#ifdef SYS_sched_setattr
  struct SchedAttr {  // the kernel's struct sched_attr, first version
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;
    uint64_t deadline;
    uint64_t period;
  } attr{};
  if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0) return;
  if (attr.policy != SCHED_OTHER) return;  // someone chose otherwise: leave it
  attr.size = sizeof attr;
  attr.runtime = 100000;  // 0.1 ms, the shortest the kernel accepts
  syscall(SYS_sched_setattr, 0, &attr, 0);
#endif
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

class PacedCard;

// One stream of the paced card. The backend keeps closed streams for later
// opens, so after the first tone an open allocates nothing; the card's clock
// thread reaches streams through raw pointers, which is safe because a
// stream leaves the card's list (under the card's mutex and its own report
// lock) before it is reused or destroyed.
class PacedStream final : public WaveOutStream {
 public:
  PacedStream() { queue_.reserve(4); }
  ~PacedStream() override { Abandon(); }

  // Makes this (new or recycled) stream an open stream of the card.
  void Open(std::shared_ptr<PacedCard> card, const WAVEFORMATEX& format, WaveOutSink& sink);
  // Takes a stream that was not closed off the card, and lets go of the card.
  void Abandon();

  MMRESULT Write(WAVEHDR* header) override;
  MMRESULT Reset() override;
  MMRESULT Pause() override;
  MMRESULT Restart() override;
  MMRESULT GetPosition(uint64_t& frames) override;
  MMRESULT GetVolume(uint32_t& volume) override;
  MMRESULT SetVolume(uint32_t volume) override;
  MMRESULT Close() override;

 private:
  friend class PacedCard;

  // All below under the card's mutex.
  bool Empty() const { return head_ == queue_.size(); }
  bool Running() const { return !closed_ && !paused_ && !Empty(); }
  Nanos HeadDuration() const {
    return PlayDuration(PlayBytes(*queue_[head_]), format_.nAvgBytesPerSec);
  }
  Clock::time_point Deadline() const { return headStart_ + HeadDuration(); }
  WAVEHDR* Pop() {
    WAVEHDR* h = queue_[head_++];
    if (head_ == queue_.size()) {
      queue_.clear();  // keeps its capacity
      head_ = 0;
    }
    return h;
  }

  std::shared_ptr<PacedCard> card_;
  WAVEFORMATEX format_{};
  WaveOutSink* sink_ = nullptr;
  // Held while a buffer is reported (by the clock thread or by Reset), so
  // reports never interleave and Close waits for one in flight.
  std::recursive_mutex reportMutex_;

  // Guarded by the card's mutex.
  std::vector<WAVEHDR*> queue_;
  size_t head_ = 0;
  bool paused_ = false;
  bool closed_ = true;
  Clock::time_point headStart_;  // when the head buffer began to play (while running)
  Nanos pausedElapsed_{0};       // how much of the head had played when the card paused
  uint64_t playedBytes_ = 0;     // bytes of the buffers done since open or reset
  uint32_t volume_ = 0xFFFFFFFFu;
};

// The card's clock and its spare streams. One thread returns each buffer
// when it is due. It sleeps on a timer that whoever changes the earliest
// deadline re-arms directly, so a write costs one system call and no
// wake-up of the thread; the thread wakes once per buffer. It wakes a little
// before the deadline, by as much as its own recent wake-ups came late
// (kMaxLead at most), and waits out the rest awake: a buffer is never
// reported before its time, and rarely much after it.
class PacedCard {
 public:
  PacedCard() : timer_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)) {
    streams_.reserve(4);
    spare_.reserve(4);
  }

  ~PacedCard() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      ArmAt(Clock::time_point(Nanos(1)));  // long past: fires at once
    }
    if (thread_.joinable()) {
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // freed from inside a report on the clock thread itself
      } else {
        thread_.join();
      }
    }
    if (timer_ >= 0) close(timer_);
  }

  PacedCard(const PacedCard&) = delete;
  PacedCard& operator=(const PacedCard&) = delete;

  bool Usable() const { return timer_ >= 0; }

  // A spare stream, or a new one when there is none.
  std::unique_ptr<PacedStream> Take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!spare_.empty()) {
        std::unique_ptr<PacedStream> s = std::move(spare_.back());
        spare_.pop_back();
        return s;
      }
    }
    return std::make_unique<PacedStream>();
  }

  // Keeps a stream that is off the card (closed or abandoned) for Take.
  void Give(std::unique_ptr<PacedStream> stream) {
    std::lock_guard<std::mutex> lock(mutex_);
    spare_.push_back(std::move(stream));
  }

  // Under mutex_. Starts the thread on first use (a card that is never
  // opened costs none).
  void Attach(PacedStream* stream) {
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    streams_.push_back(stream);
  }

  // Under mutex_.
  void Detach(PacedStream* stream) {
    streams_.erase(std::remove(streams_.begin(), streams_.end(), stream), streams_.end());
  }

  // Under mutex_: the timer follows the earliest deadline of a running stream.
  void Reschedule() {
    Clock::time_point earliest = Clock::time_point::max();
    for (const PacedStream* s : streams_) {
      if (s->Running()) earliest = std::min(earliest, s->Deadline());
    }
    ArmAt(earliest == Clock::time_point::max() ? earliest : earliest - lead_);
  }

  std::mutex mutex_;

 private:
  // Under mutex_. max() disarms.
  void ArmAt(Clock::time_point at) {
    if (at == armedAt_ || timer_ < 0) return;
    itimerspec spec{};
    if (at != Clock::time_point::max()) {
      const int64_t ns = std::max<int64_t>(at.time_since_epoch().count(), 1);
      spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
      spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &spec, nullptr);
    armedAt_ = at;
  }

  // Under mutex_: learns how late the timer wakes the thread.
  void NoteLatency(Nanos late) {
    latencies_[nextSample_] = std::clamp(late, Nanos(0), kMaxLead);
    nextSample_ = (nextSample_ + 1) % kLatencySamples;
    samples_ = std::min(samples_ + 1, kLatencySamples);
    Nanos sorted[kLatencySamples];
    std::copy(latencies_, latencies_ + samples_, sorted);
    std::nth_element(sorted, sorted + samples_ / 2, sorted + samples_);
    lead_ = sorted[samples_ / 2];
  }

  void Run() {
    RequestShortSlice();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      const Clock::time_point now = Clock::now();
      PacedStream* due = nullptr;
      Clock::time_point earliest = Clock::time_point::max();
      for (PacedStream* s : streams_) {
        if (!s->Running()) continue;
        const Clock::time_point deadline = s->Deadline();
        if (deadline <= now) {
          due = s;
          break;
        }
        earliest = std::min(earliest, deadline);
      }
      if (due != nullptr) {
        // The report lock is taken while the stream is surely on the list;
        // whoever holds it now (Reset, Close) is about to let go.
        if (!due->reportMutex_.try_lock()) {
          lock.unlock();
          std::this_thread::yield();
          lock.lock();
          continue;
        }
        const Clock::time_point deadline = due->Deadline();
        WAVEHDR* header = due->Pop();
        due->playedBytes_ += PlayBytes(*header);
        due->headStart_ = deadline;  // the next buffer follows without a gap
        lock.unlock();
        due->sink_->BufferDone(header);
        due->reportMutex_.unlock();
        lock.lock();
        continue;
      }
      if (earliest != Clock::time_point::max() && earliest - now <= lead_) {
        // Too close to sleep: the wake-up would come after the deadline.
        lock.unlock();
        while (Clock::now() < earliest) CpuRelax();
        lock.lock();
        continue;
      }
      ArmAt(earliest == Clock::time_point::max() ? earliest : earliest - lead_);
      lock.unlock();
      uint64_t expirations = 0;
      while (read(timer_, &expirations, sizeof expirations) < 0 && errno == EINTR) {
      }
      const Clock::time_point woke = Clock::now();
      lock.lock();
      // The timer fired for the time it was last armed for (by this thread
      // or by a write); a stop or a re-arm in between is rare enough not to
      // matter.
      if (!stop_ && armedAt_ != Clock::time_point::max() && armedAt_ != Clock::time_point::min() &&
          woke >= armedAt_) {
        NoteLatency(woke - armedAt_);
      }
      armedAt_ = Clock::time_point::min();  // fired: the next ArmAt re-arms
    }
  }

  const int timer_;
  bool stop_ = false;
  std::thread thread_;
  std::vector<PacedStream*> streams_;                     // open streams, under mutex_
  std::vector<std::unique_ptr<PacedStream>> spare_;       // off the card, under mutex_
  Clock::time_point armedAt_ = Clock::time_point::max();  // max: disarmed
  Nanos lead_{0};
  Nanos latencies_[kLatencySamples] = {};
  size_t nextSample_ = 0;
  size_t samples_ = 0;
};

void PacedStream::Open(std::shared_ptr<PacedCard> card, const WAVEFORMATEX& format,
                       WaveOutSink& sink) {
  card_ = std::move(card);
  format_ = format;
  sink_ = &sink;
  std::lock_guard<std::mutex> lock(card_->mutex_);
  queue_.clear();
  head_ = 0;
  paused_ = false;
  closed_ = false;
  pausedElapsed_ = Nanos(0);
  playedBytes_ = 0;
  volume_ = 0xFFFFFFFFu;
  card_->Attach(this);
}

void PacedStream::Abandon() {
  if (card_ == nullptr) return;
  {
    std::lock_guard<std::recursive_mutex> reporting(reportMutex_);
    std::lock_guard<std::mutex> lock(card_->mutex_);
    if (!closed_) {
      closed_ = true;
      card_->Detach(this);
    }
    queue_.clear();
    head_ = 0;
  }
  card_.reset();  // outside the locks: the last reference joins the clock thread
}

MMRESULT PacedStream::Write(WAVEHDR* header) {
  std::lock_guard<std::mutex> lock(card_->mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  const bool starts = Empty();
  queue_.push_back(header);
  if (starts) {
    headStart_ = Clock::now();
    pausedElapsed_ = Nanos(0);
    if (!paused_) card_->Reschedule();
  }
  return MMSYSERR_NOERROR;
}

MMRESULT PacedStream::Reset() {
  std::lock_guard<std::recursive_mutex> reporting(reportMutex_);
  size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    if (closed_) return MMSYSERR_INVALHANDLE;
    count = queue_.size() - head_;
    playedBytes_ = 0;
    pausedElapsed_ = Nanos(0);
  }
  // One at a time, so nothing is allocated; the report lock keeps the clock
  // thread out meanwhile.
  for (; count > 0; --count) {
    WAVEHDR* header = nullptr;
    {
      std::lock_guard<std::mutex> lock(card_->mutex_);
      if (Empty()) break;
      header = Pop();
      if (Empty()) card_->Reschedule();
    }
    sink_->BufferDone(header);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT PacedStream::Pause() {
  std::lock_guard<std::mutex> lock(card_->mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  if (!paused_) {
    paused_ = true;
    pausedElapsed_ =
        Empty() ? Nanos(0) : std::min<Nanos>(Clock::now() - headStart_, HeadDuration());
    card_->Reschedule();
  }
  return MMSYSERR_NOERROR;
}

MMRESULT PacedStream::Restart() {
  std::lock_guard<std::mutex> lock(card_->mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  if (!paused_) return MMSYSERR_NOERROR;
  paused_ = false;
  headStart_ = Clock::now() - pausedElapsed_;
  card_->Reschedule();
  return MMSYSERR_NOERROR;
}

MMRESULT PacedStream::GetPosition(uint64_t& frames) {
  std::lock_guard<std::mutex> lock(card_->mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  uint64_t bytes = playedBytes_;
  if (!Empty()) {
    const Nanos elapsed = paused_ ? pausedElapsed_ : Clock::now() - headStart_;
    bytes += std::min(BytesIn(elapsed, format_.nAvgBytesPerSec), PlayBytes(*queue_[head_]));
  }
  frames = bytes / format_.nBlockAlign;
  return MMSYSERR_NOERROR;
}

MMRESULT PacedStream::GetVolume(uint32_t& volume) {
  std::lock_guard<std::mutex> lock(card_->mutex_);
  volume = volume_;
  return MMSYSERR_NOERROR;
}

MMRESULT PacedStream::SetVolume(uint32_t volume) {
  std::lock_guard<std::mutex> lock(card_->mutex_);
  volume_ = volume;
  return MMSYSERR_NOERROR;
}

MMRESULT PacedStream::Close() {
  std::lock_guard<std::recursive_mutex> reporting(reportMutex_);
  std::lock_guard<std::mutex> lock(card_->mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  if (!Empty()) return WAVERR_STILLPLAYING;
  closed_ = true;
  card_->Detach(this);
  return MMSYSERR_NOERROR;
}

class FastNullStream final : public UnpacedWaveOutStream {
 public:
  using UnpacedWaveOutStream::Reopen;
  using UnpacedWaveOutStream::UnpacedWaveOutStream;

 protected:
  MMRESULT Play(const WAVEHDR& /*header*/) override { return MMSYSERR_NOERROR; }
};

class NullBackend final : public WaveOutBackend {
 public:
  explicit NullBackend(NullPacing pacing) : pacing_(pacing) {
    if (pacing_ == NullPacing::kRealTime) card_ = std::make_shared<PacedCard>();
    fastSpare_.reserve(4);
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
    if (card_) {
      if (!card_->Usable()) return MMSYSERR_NOMEM;  // no timer to pace with
      std::unique_ptr<PacedStream> paced = card_->Take();
      paced->Open(card_, format, sink);
      stream = std::move(paced);
      return MMSYSERR_NOERROR;
    }
    std::unique_ptr<FastNullStream> fast;
    {
      std::lock_guard<std::mutex> lock(spareMutex_);
      if (!fastSpare_.empty()) {
        fast = std::move(fastSpare_.back());
        fastSpare_.pop_back();
      }
    }
    if (fast) {
      fast->Reopen(format, sink);
    } else {
      fast = std::make_unique<FastNullStream>(format, sink, true);
    }
    stream = std::move(fast);
    return MMSYSERR_NOERROR;
  }

  void Recycle(std::unique_ptr<WaveOutStream> stream) override {
    if (auto* paced = dynamic_cast<PacedStream*>(stream.get()); paced != nullptr && card_) {
      stream.release();
      std::unique_ptr<PacedStream> owned(paced);
      owned->Abandon();
      card_->Give(std::move(owned));
    } else if (auto* fast = dynamic_cast<FastNullStream*>(stream.get())) {
      stream.release();
      std::unique_ptr<FastNullStream> owned(fast);
      std::lock_guard<std::mutex> lock(spareMutex_);
      fastSpare_.push_back(std::move(owned));
    }
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
  std::shared_ptr<PacedCard> card_;
  std::mutex spareMutex_;
  std::vector<std::unique_ptr<FastNullStream>> fastSpare_;  // closed fast streams
  std::mutex textMutex_;
  std::string badFormatText_;  // why the latest format was refused
};

}  // namespace

std::unique_ptr<WaveOutBackend> CreateNullWaveOutBackend(NullPacing pacing) {
  return std::make_unique<NullBackend>(pacing);
}

}  // namespace tw
