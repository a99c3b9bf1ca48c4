#include "sound/NullCard.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/MessageQueue.h"
#include "platform/PlayableFormats.h"
#include "platform/ThreadTiming.h"
#include "platform/WakeLead.h"
#include "platform/WakeTimer.h"
#include "sound/KeptDevice.h"
#include "sound/UnpacedStream.h"

namespace tw {
namespace {

using Clock = WakeTimer::Clock;
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

// How long the clock thread leaves a buffer to the thread that waits for it
// (see PacedStream::OnQueueTimer) before it reports the buffer itself.
constexpr Nanos kOwnerGrace = std::chrono::milliseconds(2);

class PacedCard;

// One stream of the paced card. The backend keeps closed streams for later
// opens, so after the first tone an open allocates nothing; the card's clock
// thread reaches streams through raw pointers, which is safe because a
// stream leaves the card's list (under the card's mutex and its own report
// lock) before it is reused or destroyed.
//
// Who reports a buffer: when the thread that wrote it waits for
// notifications in its message queue (a callback window's thread, a
// callback thread), that thread itself is woken at the buffer's time by a
// timer on its queue and reports the buffer, so no other thread has to wake
// it; the clock thread reports the buffer only if that has not happened
// kOwnerGrace later. Any other writer's buffers are reported by the clock
// thread at their time.
class PacedStream final : public WaveOutStream, private QueueTimer {
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
  // When the clock thread reports the head buffer.
  Clock::time_point ClockDeadline() const {
    return ownerTimer_ ? Deadline() + kOwnerGrace : Deadline();
  }
  // Asks the writer's queue to wake its thread for the head buffer.
  void SetOwnerTimer() {
    timerDue_ = Deadline() - ownerLead_.Lead();
    ownerTimer_ = timerQueue_ != nullptr && timerQueue_->SetTimer(*this, timerDue_);
  }
  // Reports the head buffer if its time has come (not under any lock).
  void ReportIfDue();
  void OnQueueTimer() override;
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
  // Held while a buffer is reported (by the clock thread, the waiting
  // thread or Reset), so reports never interleave and Close waits for one
  // in flight.
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
  std::shared_ptr<MessageQueue> timerQueue_;  // the first writer's queue, if it has one
  bool ownerTimer_ = false;                   // its timer is set for the head buffer
  Clock::time_point timerDue_;
  WakeLead ownerLead_;
};

// The card's clock and its spare streams. One thread returns each buffer
// that no waiting thread returns itself (see PacedStream), when it is due.
// It sleeps on a timer that whoever changes the earliest deadline re-arms
// directly, so a write costs one system call and no wake-up of the thread.
// Like a waiting thread, it wakes a little before the deadline, by as much
// as its own recent wake-ups came late (kMaxWakeLead at most), and waits out the
// rest awake: a buffer is never reported before its time, and rarely much
// after it.
class PacedCard {
 public:
  PacedCard() { streams_.reserve(4); }

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
  }

  PacedCard(const PacedCard&) = delete;
  PacedCard& operator=(const PacedCard&) = delete;

  bool Usable() const { return timer_.Usable(); }

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
      if (s->Running()) earliest = std::min(earliest, s->ClockDeadline());
    }
    ArmAt(earliest == Clock::time_point::max() ? earliest : earliest - lead_.Lead());
  }

  std::mutex mutex_;

 private:
  // Under mutex_. max() disarms.
  void ArmAt(Clock::time_point at) {
    if (at == armedAt_ || !timer_.Usable()) return;
    if (at == Clock::time_point::max() && armedAt_ == Clock::time_point::min()) {
      armedAt_ = at;  // the timer fired and is disarmed already
      return;
    }
    timer_.ArmAt(at);
    armedAt_ = at;
  }

  void Run() {
    PrepareThreadForTimedWakeups();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      const Clock::time_point now = Clock::now();
      PacedStream* due = nullptr;
      Clock::time_point earliest = Clock::time_point::max();
      for (PacedStream* s : streams_) {
        if (!s->Running()) continue;
        const Clock::time_point deadline = s->ClockDeadline();
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
        due->ownerTimer_ = false;    // its writer did not come: the clock goes on
        lock.unlock();
        due->sink_->BufferDone(header);
        due->reportMutex_.unlock();
        lock.lock();
        continue;
      }
      if (earliest != Clock::time_point::max() && earliest - now <= lead_.Lead()) {
        // Too close to sleep: the wake-up would come after the deadline.
        lock.unlock();
        SpinUntil<Clock>(earliest);
        lock.lock();
        continue;
      }
      ArmAt(earliest == Clock::time_point::max() ? earliest : earliest - lead_.Lead());
      lock.unlock();
      timer_.Wait();
      const Clock::time_point woke = Clock::now();
      lock.lock();
      // The timer fired for the time it was last armed for (by this thread
      // or by a write); a stop or a re-arm in between is rare enough not to
      // matter.
      if (!stop_ && armedAt_ != Clock::time_point::max() && armedAt_ != Clock::time_point::min() &&
          woke >= armedAt_) {
        lead_.Note(woke - armedAt_);
      }
      armedAt_ = Clock::time_point::min();  // fired: the next ArmAt re-arms
    }
  }

  WakeTimer timer_;
  bool stop_ = false;
  std::thread thread_;
  std::vector<PacedStream*> streams_;                     // open streams, under mutex_
  Clock::time_point armedAt_ = Clock::time_point::max();  // max: disarmed
  WakeLead lead_;
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
  ownerTimer_ = false;
  card_->Attach(this);
}

void PacedStream::Abandon() {
  if (card_ == nullptr) return;
  // No write or restart comes any more, so once killed the timer stays off.
  std::shared_ptr<MessageQueue> timerQueue;
  {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    timerQueue = timerQueue_;
  }
  if (timerQueue != nullptr) timerQueue->KillTimer(*this);
  {
    std::lock_guard<std::recursive_mutex> reporting(reportMutex_);
    std::lock_guard<std::mutex> lock(card_->mutex_);
    if (!closed_) {
      closed_ = true;
      card_->Detach(this);
    }
    queue_.clear();
    head_ = 0;
    ownerTimer_ = false;
    timerQueue = std::move(timerQueue_);
  }
  // Outside the locks: the last reference to the card joins its clock thread.
  timerQueue.reset();
  card_.reset();
}

void PacedStream::OnQueueTimer() {
  const Clock::time_point woke = Clock::now();
  Clock::time_point deadline;
  {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    if (!ownerTimer_) return;  // the clock thread took over meanwhile
    ownerTimer_ = false;
    if (!Running()) return;
    if (woke >= timerDue_) ownerLead_.Note(woke - timerDue_);
    deadline = Deadline();
    if (deadline - woke > kMaxWakeLead) {
      SetOwnerTimer();  // the head moved on (a pause in between): wait again
      return;
    }
  }
  // Woken early on purpose: the rest of the wait is shorter than a wake-up.
  SpinUntil<Clock>(deadline);
  ReportIfDue();
}

void PacedStream::ReportIfDue() {
  std::lock_guard<std::recursive_mutex> reporting(reportMutex_);
  WAVEHDR* header = nullptr;
  {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    if (!Running()) return;
    const Clock::time_point deadline = Deadline();
    if (deadline > Clock::now()) {
      SetOwnerTimer();  // the head moved on (a pause in between): wait again
      return;
    }
    header = Pop();
    playedBytes_ += PlayBytes(*header);
    headStart_ = deadline;  // the next buffer follows without a gap
    if (Running()) SetOwnerTimer();
  }
  sink_->BufferDone(header);
}

MMRESULT PacedStream::Write(WAVEHDR* header) {
  std::lock_guard<std::mutex> lock(card_->mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  const bool starts = Empty();
  queue_.push_back(header);
  if (starts) {
    headStart_ = Clock::now();
    pausedElapsed_ = Nanos(0);
    if (timerQueue_ == nullptr && MessageQueue::CurrentIfAny() != nullptr) {
      timerQueue_ = MessageQueue::Current();
    }
    if (!paused_) {
      SetOwnerTimer();
      card_->Reschedule();
    }
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
  if (!Empty()) SetOwnerTimer();
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
      std::unique_ptr<PacedStream> paced = pacedSpare_.Take();
      if (!paced) paced = std::make_unique<PacedStream>();
      paced->Open(card_, format, sink);
      stream = std::move(paced);
      return MMSYSERR_NOERROR;
    }
    std::unique_ptr<FastNullStream> fast = fastSpare_.Take();
    if (fast) {
      fast->Reopen(format, sink);
    } else {
      fast = std::make_unique<FastNullStream>(format, sink, true);
    }
    stream = std::move(fast);
    return MMSYSERR_NOERROR;
  }

  // Every stream this backend opens is of its one kind, so the stream it is
  // given back is of that kind too.
  void Recycle(std::unique_ptr<WaveOutStream> stream) override {
    if (card_) {
      pacedSpare_.Give(std::move(stream));
    } else {
      fastSpare_.Give(std::move(stream));
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
  SpareWaveOutStream<PacedStream> pacedSpare_;
  SpareWaveOutStream<FastNullStream> fastSpare_;
  std::mutex textMutex_;
  std::string badFormatText_;  // why the latest format was refused
};

}  // namespace

std::unique_ptr<WaveOutBackend> CreateNullWaveOutBackend(NullPacing pacing) {
  return std::make_unique<NullBackend>(pacing);
}

}  // namespace tw
