#include "sound/AlsaWorker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/ThreadPriority.h"
#include "runtime/BoundedWaits.h"

namespace tw {
namespace {

using std::chrono::milliseconds;

// How long a closing PCM is waited for (a working one closes in a few
// milliseconds), and a position brought up to date.
constexpr milliseconds kCloseWait(250);
constexpr milliseconds kPositionWait(100);
constexpr uint32_t kFullVolume = 0xFFFFFFFFu;

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
  const Entry* Holding(uint64_t frame) const {
    for (std::size_t i = head_; i < items_.size(); ++i)
      if (items_[i].end > frame) return &items_[i];
    return nullptr;
  }
  template <class F>
  void ForEach(F&& f) const {
    for (std::size_t i = head_; i < items_.size(); ++i) f(items_[i]);
  }

 private:
  std::vector<Entry> items_;
  std::size_t head_ = 0;
};

}  // namespace

// What the device object and the playback thread share. The thread holds it
// too, so one left stuck in a call keeps it alive.
class AlsaWorker final : public AlsaFrameSource {
 public:
  AlsaWorker(std::string name, std::unique_ptr<AlsaDevice> device, const AlsaPcmFormat& format,
             std::shared_ptr<AlsaCallWatch> watch, std::shared_ptr<WaveOutErrorTexts> texts,
             milliseconds stuckAfter)
      : name_(std::move(name)),
        format_(format),
        stuckAfter_(stuckAfter),
        watch_(std::move(watch)),
        texts_(std::move(texts)),
        device_(std::move(device)),
        machine_(*device_, device_->shape()),
        wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~AlsaWorker() override {
    if (wakeFd_ >= 0) close(wakeFd_);
  }

  void Run();
  std::size_t TakeFrames(uint64_t from, std::size_t frames, char* out) override;

  // ---- the device object's side
  const char* Stuck() const { return watch_->StuckFor(stuckAfter_); }
  bool Usable() const {
    std::lock_guard<std::mutex> lock(mu_);
    return !broken_ && !ended_ && Stuck() == nullptr;
  }
  void Attach(WaveOutSink* sink) {
    std::lock_guard<std::mutex> lock(mu_);
    sink_ = sink;
    volume_ = kFullVolume;
    paused_ = false;
  }
  MMRESULT Detach(bool force);
  MMRESULT Write(WAVEHDR* header);
  MMRESULT Reset();
  void SetPaused(bool paused) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      paused_ = paused;
    }
    Wake();
  }
  uint64_t Position();
  uint32_t GetVolume() const {
    std::lock_guard<std::mutex> lock(mu_);
    return volume_;
  }
  void SetVolume(uint32_t volume) {
    std::lock_guard<std::mutex> lock(mu_);
    volume_ = volume;
  }
  // Asks the thread to end; true once it has (within `limit`).
  bool Stop(std::chrono::milliseconds limit);

 private:
  // What one pass of the thread starts from, taken under the lock.
  struct Snapshot {
    bool stop = false;
    bool reset = false;  // the queue was reset since the last pass ...
    bool drop = false;   // ... with buffers the device may still hold
    bool paused = false;
    bool work = false;  // buffers to play or to report
    uint64_t epoch = 0, queuedEnd = 0, frontEnd = 0, refresh = 0;
  };

  Snapshot Take();
  void Apply(const Snapshot& s);
  void Publish(const Snapshot& s, const AlsaPlayback::Pass& pass);
  void Wait(const AlsaPlayback::Pass& pass);
  void Wake() {
    const uint64_t one = 1;
    ssize_t r = write(wakeFd_, &one, sizeof one);
    (void)r;  // a full counter is already a pending wake-up
  }
  MMRESULT Refuse(const char* call) {
    return texts_->Set(MMSYSERR_ERROR, "ALSA PCM \"" + name_ + "\": " + call +
                                           " has not returned for " + AlsaWaitText(stuckAfter_) +
                                           " (the sound server behind the PCM may have stopped)");
  }

  const std::string name_;
  const AlsaPcmFormat format_;
  // A call into the PCM running longer than this means the PCM stopped
  // answering (no call of a working PCM comes near it: a drain through a
  // sound server lasts the few milliseconds of sound the device holds).
  const milliseconds stuckAfter_;
  const std::shared_ptr<AlsaCallWatch> watch_;
  const std::shared_ptr<WaveOutErrorTexts> texts_;

  std::mutex reportMu_;  // taken before mu_, never after
  mutable std::mutex mu_;
  std::condition_variable changed_;  // a position refreshed, the thread ended
  EntryQueue queue_;
  std::vector<WAVEHDR*> reported_;  // guarded by reportMu_; kept to report without allocating
  uint64_t queuedEnd_ = 0;          // frames queued in this epoch
  uint64_t epoch_ = 0;              // resets of the queue so far
  uint64_t seenEpoch_ = 0;          // the epoch the thread plays
  bool dropOnReset_ = false;
  bool paused_ = false;
  bool stop_ = false;
  bool ended_ = false;
  bool broken_ = false;
  uint64_t played_ = 0;  // as the thread last saw it, in this epoch
  uint64_t refreshAsked_ = 0, refreshDone_ = 0;
  uint32_t volume_ = kFullVolume;
  WaveOutSink* sink_ = nullptr;

  // The thread's own.
  std::unique_ptr<AlsaDevice> device_;
  AlsaPlayback machine_;
  bool pauseApplied_ = false;
  int wakeFd_;
};

// ---------------------------------------------------------------- the thread

// Each pass takes the requests, applies them to the device, runs the state
// machine, publishes what it reached (reporting the buffers played), and
// sleeps in poll: on the device while it is full, otherwise until the first
// buffer's end is due; the device object's calls wake it.
void AlsaWorker::Run() {
  // A step above the battle, like the device objects' callback thread: the
  // device's refills and reports come before the program's own work.
  RaiseThreadPriority();
  for (;;) {
    const Snapshot s = Take();
    if (s.stop) break;
    Apply(s);
    AlsaPlayback::Pass pass;
    if (s.work) {
      pass = machine_.Step(s.queuedEnd, s.frontEnd, s.paused, *this);
    } else if (s.refresh != 0 && !s.paused) {
      machine_.UpdatePlayed();
    }
    Publish(s, pass);
    if (!pass.again) Wait(pass);
  }
  device_.reset();  // dropped and closed (this may hang in a stuck plugin)
  std::lock_guard<std::mutex> lock(mu_);
  ended_ = true;
  changed_.notify_all();
}

AlsaWorker::Snapshot AlsaWorker::Take() {
  std::lock_guard<std::mutex> lock(mu_);
  Snapshot s;
  s.stop = stop_;
  s.reset = epoch_ != seenEpoch_;
  s.drop = dropOnReset_;
  dropOnReset_ = false;
  seenEpoch_ = s.epoch = epoch_;
  s.paused = paused_;
  s.work = !queue_.empty() && (!paused_ || machine_.phase() == AlsaPhase::kBroken);
  s.queuedEnd = queuedEnd_;
  s.frontEnd = queue_.empty() ? 0 : queue_.front().end;
  if (refreshAsked_ != refreshDone_) s.refresh = refreshAsked_;
  return s;
}

void AlsaWorker::Apply(const Snapshot& s) {
  if (s.reset) machine_.Restart(s.drop);
  if (s.paused != pauseApplied_) {
    if (s.paused) {
      machine_.Pause();
    } else {
      machine_.Resume();
    }
    pauseApplied_ = s.paused;
  }
}

// Publishes the pass (when no reset came meanwhile) and reports the buffers
// played to their end, in order. Holds reportMu_ throughout, so a Reset
// cannot report later buffers before these.
void AlsaWorker::Publish(const Snapshot& s, const AlsaPlayback::Pass& pass) {
  std::lock_guard<std::mutex> report(reportMu_);
  std::vector<WAVEHDR*>& done = reported_;
  done.clear();
  WaveOutSink* sink;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (s.refresh != 0) refreshDone_ = s.refresh;
    if (epoch_ == s.epoch) {
      played_ = machine_.played();
      while (s.work && !queue_.empty() && queue_.front().end <= pass.reached) {
        done.push_back(queue_.front().header);
        queue_.pop_front();
      }
    }
    if (machine_.phase() == AlsaPhase::kBroken && !broken_) {
      broken_ = true;
      texts_->Set(MMSYSERR_ERROR,
                  "ALSA PCM \"" + name_ + "\": " + device_->ErrorText(machine_.brokenBy()));
    }
    sink = sink_;
    changed_.notify_all();
  }
  if (sink != nullptr)
    for (WAVEHDR* h : done) sink->BufferDone(h);
}

void AlsaWorker::Wait(const AlsaPlayback::Pass& pass) {
  std::array<pollfd, 17> fds{};
  fds[0] = pollfd{wakeFd_, POLLIN, 0};
  unsigned count = 1;
  if (pass.onDevice) {
    const int n = device_->PollDescriptors(&fds[1], fds.size() - 1);
    if (n > 0) count += static_cast<unsigned>(n);
  }
  int64_t waitUs = pass.waitMicros;
  if (wakeFd_ < 0 && (waitUs < 0 || waitUs > 1000)) waitUs = 1000;  // no way to be woken
  const timespec ts{waitUs / 1000000, (waitUs % 1000000) * 1000};
  const int ready = ppoll(fds.data(), count, waitUs < 0 ? nullptr : &ts, nullptr);
  if (ready <= 0) return;
  if (fds[0].revents & POLLIN) {
    uint64_t wakes;
    ssize_t r = read(wakeFd_, &wakes, sizeof wakes);
    (void)r;
  }
  // Lets the device clear its own readiness; the next pass writes.
  if (count > 1) device_->PollSaysRoom(&fds[1], count - 1);
}

std::size_t AlsaWorker::TakeFrames(uint64_t from, std::size_t frames, char* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (epoch_ != seenEpoch_ || paused_) return 0;
  const Entry* e = queue_.Holding(from);
  if (e == nullptr || from < e->start) return 0;
  const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(frames, e->end - from));
  const char* data = e->header->lpData + (from - e->start) * format_.frameBytes;
  if (volume_ == kFullVolume) {
    std::memcpy(out, data, n * format_.frameBytes);
  } else {
    ApplyAlsaGain(format_, volume_, data, n, out);
  }
  return n;
}

// ---------------------------------------------------------------- the device object's calls

MMRESULT AlsaWorker::Write(WAVEHDR* header) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (broken_) return MMSYSERR_ERROR;
    if (const char* call = Stuck()) return Refuse(call);
    const uint64_t frames = header->dwBufferLength / format_.frameBytes;
    queue_.push_back(Entry{header, queuedEnd_, queuedEnd_ + frames});
    queuedEnd_ += frames;
  }
  Wake();
  return MMSYSERR_NOERROR;
}

// Every queued buffer is reported before this returns, without waiting for
// the device: the thread drops what the device holds on its next pass.
MMRESULT AlsaWorker::Reset() {
  std::lock_guard<std::mutex> report(reportMu_);
  std::vector<WAVEHDR*>& done = reported_;
  done.clear();
  WaveOutSink* sink;
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.ForEach([&done](const Entry& e) { done.push_back(e.header); });
    queue_.clear();
    queuedEnd_ = played_ = 0;
    ++epoch_;
    sink = sink_;
  }
  Wake();
  if (sink != nullptr)
    for (WAVEHDR* h : done) sink->BufferDone(h);
  return MMSYSERR_NOERROR;
}

// The thread takes the reset at its next pass; it is woken for it only when
// the device may hold something to drop. (A tone's close is on the road of
// every tone: a wake-up there would compete with the next tone's open.)
MMRESULT AlsaWorker::Detach(bool force) {
  std::lock_guard<std::mutex> report(reportMu_);
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!queue_.empty() && !force) return WAVERR_STILLPLAYING;
    wake = !queue_.empty() || paused_;
    if (!queue_.empty()) dropOnReset_ = true;
    queue_.clear();
    queuedEnd_ = played_ = 0;
    ++epoch_;
    sink_ = nullptr;
    paused_ = false;
  }
  if (wake) Wake();
  return MMSYSERR_NOERROR;
}

uint64_t AlsaWorker::Position() {
  std::unique_lock<std::mutex> lock(mu_);
  if (!paused_ && !ended_) {
    const uint64_t asked = ++refreshAsked_;
    lock.unlock();
    Wake();
    lock.lock();
    changed_.wait_for(lock, kPositionWait, [&] { return refreshDone_ >= asked || ended_; });
  }
  return played_;
}

bool AlsaWorker::Stop(std::chrono::milliseconds limit) {
  {
    std::lock_guard<std::mutex> report(reportMu_);
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    sink_ = nullptr;
  }
  Wake();
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, limit, [this] { return ended_; });
}

// ---------------------------------------------------------------- AlsaPcm

AlsaPcm::AlsaPcm(std::string name, std::unique_ptr<AlsaDevice> device, const AlsaPcmFormat& format,
                 std::shared_ptr<AlsaCallWatch> watch, std::shared_ptr<WaveOutErrorTexts> texts,
                 milliseconds stuckAfter)
    : format_(format),
      worker_(std::make_shared<AlsaWorker>(std::move(name), std::move(device), format,
                                           std::move(watch), std::move(texts), stuckAfter)) {
  thread_ = std::thread([worker = worker_] { worker->Run(); });
}

AlsaPcm::~AlsaPcm() {
  // Not waited for when stuck, nor when the program is ending on a signal.
  const bool late = worker_->Stuck() != nullptr || BoundedWaitsCancelled();
  if (worker_->Stop(late ? milliseconds(0) : kCloseWait)) {
    thread_.join();
  } else {
    thread_.detach();  // it owns the worker; it ends if the call ever returns
  }
}

bool AlsaPcm::Usable() const { return worker_->Usable(); }
void AlsaPcm::Attach(WaveOutSink* sink) { worker_->Attach(sink); }
MMRESULT AlsaPcm::Detach(bool force) { return worker_->Detach(force); }
MMRESULT AlsaPcm::Write(WAVEHDR* header) { return worker_->Write(header); }
MMRESULT AlsaPcm::Reset() { return worker_->Reset(); }

MMRESULT AlsaPcm::Pause() {
  worker_->SetPaused(true);
  return MMSYSERR_NOERROR;
}

MMRESULT AlsaPcm::Restart() {
  worker_->SetPaused(false);
  return MMSYSERR_NOERROR;
}

MMRESULT AlsaPcm::GetPosition(uint64_t& frames) {
  frames = worker_->Position();
  return MMSYSERR_NOERROR;
}

MMRESULT AlsaPcm::GetVolume(uint32_t& volume) {
  volume = worker_->GetVolume();
  return MMSYSERR_NOERROR;
}

MMRESULT AlsaPcm::SetVolume(uint32_t volume) {
  worker_->SetVolume(volume);
  return MMSYSERR_NOERROR;
}

}  // namespace tw
