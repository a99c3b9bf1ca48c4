// The caller's side of a PipeWire stream: the queue of buffers written, the
// reporter that hands them back once played, and the bounded wait on a
// stopped graph.
#include <spa/param/audio/raw.h>
#include <spa/param/props.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "sound/PipeWireStream.h"

namespace tw {
namespace {

constexpr uint32_t kFullVolume = 0xFFFFFFFFu;
constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kStallSlackNs = std::chrono::nanoseconds(kPipeWireStallSlack).count();
// A graph that runs but does not take the sound (a stream left unlinked)
// holds it at most this long beyond its due time.
constexpr int64_t kUntakenNs = kNsPerSecond;
constexpr int64_t kRecheckNs = 10000000;

// The steady clock is the monotonic clock the graph's times are given in.
std::chrono::steady_clock::time_point AtNs(int64_t ns) {
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

}  // namespace

MMRESULT PipeWireStream::Attach(WaveOutSink* sink) {
  {
    PipeWireConnection::Lock lock(*c_);
    if (volume_ != kFullVolume && s_ != nullptr && ApplyVolumeLocked(kFullVolume) != 0)
      volume_ = kFullVolume;  // the failure is the stream's; the open goes on
  }
  std::lock_guard<InheritingMutex> lock(mu_);
  sink_ = sink;
  ClearLocked();
  paused_ = false;
  return MMSYSERR_NOERROR;
}

MMRESULT PipeWireStream::Detach(bool force) {
  bool wasPaused;
  {
    std::lock_guard<std::mutex> report(reportMu_);
    std::lock_guard<InheritingMutex> lock(mu_);
    if (head_ < entries_.size() && !force) return WAVERR_STILLPLAYING;
    sink_ = nullptr;
    EndAllLocked();
    ClearLocked();
    wasPaused = paused_;
    paused_ = false;
  }
  if (wasPaused) {
    PipeWireConnection::Lock lock(*c_);
    if (s_ != nullptr) c_->api().pw_stream_set_active(s_, true);
  }
  return MMSYSERR_NOERROR;
}

// The stream's quantum fitted to the sounds written (see PipeWireQuanta),
// once, in frames of the graph: a graph at another rate than the stream's
// (48000 Hz) plays a sound of 500 frames of 44100 Hz as 544 of its own.
// The graph says its rate in its first cycle with the stream, so this is
// done at the first sound written after that with nothing else queued. A
// stream that needs another quantum than it was made with is made anew
// then: the graph takes a new quantum of a running stream only a few
// cycles later, and drops what it was given meanwhile.
MMRESULT PipeWireStream::FitQuantum(uint64_t frames) {
  const uint32_t graph = graphRate_.load(std::memory_order_relaxed);
  if (graph == 0) return MMSYSERR_NOERROR;
  PipeWireConnection::Lock loop(*c_);
  if (fitted_.load() || s_ == nullptr) return MMSYSERR_NOERROR;
  {
    std::lock_guard<InheritingMutex> lock(mu_);
    if (!entries_.empty()) return MMSYSERR_NOERROR;
  }
  fitted_.store(true);
  const uint32_t q = PipeWireQuanta::Fit((frames * graph + format_.rate - 1) / format_.rate);
  if (q == quantum_ && graph == (quantumRate_ != 0 ? quantumRate_ : format_.rate))
    return MMSYSERR_NOERROR;
  quantum_ = q;
  quantumRate_ = graph;
  {
    std::lock_guard<InheritingMutex> lock(mu_);
    latencyNs_ = int64_t{q} * kNsPerSecond / graph;
  }
  DestroyLocked();
  return CreateLocked();
}

// A stream's first sound waits for the graph's quantum to settle: sound
// given in the cycles before the graph changed to the stream's quantum was
// seen lost (the first 256 frames of a battle in 2 of 16 runs), so the
// stream plays silence until then (PipeWireCycles: about three cycles of
// it). The quantum is fitted first, once the graph has said its rate, so
// that a stream made anew for it is waited for once.
MMRESULT PipeWireStream::Write(WAVEHDR* header) {
  if (!fitted_.load()) {
    if (!rateAwaited_.exchange(true)) AwaitGraph(false);
    if (const MMRESULT r = FitQuantum(header->dwBufferLength / format_.frameBytes)) return r;
  }
  if (!settleAwaited_.load()) {
    AwaitGraph(true);
    settleAwaited_.store(true);
  }
  std::unique_lock<InheritingMutex> lock(mu_);
  if (broken_) {
    interrupted_ = false;  // said now, by this write's failure
    return reports_->texts.Set(MMSYSERR_ERROR, failure_);
  }
  const int64_t now = NowNs();
  const uint64_t frames = header->dwBufferLength / format_.frameBytes;
  const bool first = done_ == entries_.size();
  entries_.push_back(Entry{header, queued_, queued_ + frames, -1});
  queued_ += frames;
  if (first) {
    headSince_ = now;
    SetDueLocked(now);
  }
  lock.unlock();
  wake_.Post();
  return MMSYSERR_NOERROR;
}

MMRESULT PipeWireStream::Reset() {
  std::lock_guard<std::mutex> report(reportMu_);
  {
    std::lock_guard<InheritingMutex> lock(mu_);
    EndAllLocked();
  }
  for (;;) {
    WAVEHDR* header;
    WaveOutSink* sink;
    {
      std::lock_guard<InheritingMutex> lock(mu_);
      if (head_ == done_) {
        if (head_ == entries_.size()) ClearLocked();
        return MMSYSERR_NOERROR;
      }
      header = entries_[head_++].header;
      sink = sink_;
    }
    if (sink != nullptr) sink->BufferDone(header);
  }
}

// The stream is made inactive under the loop's lock alone: the library
// waits for the real-time thread, which may be waiting for mu_.
MMRESULT PipeWireStream::Pause() {
  PipeWireConnection::Lock loop(*c_);
  {
    std::lock_guard<InheritingMutex> lock(mu_);
    if (paused_) return MMSYSERR_NOERROR;
  }
  if (s_ != nullptr) {
    if (const int r = c_->api().pw_stream_set_active(s_, false); r < 0)
      return Fail(std::string("pausing: ") + std::strerror(-r), MMSYSERR_ERROR);
  }
  std::lock_guard<InheritingMutex> lock(mu_);
  paused_ = true;
  inSound_ = false;  // the graph's clock goes on without the stream
  pausedAt_ = NowNs();
  return MMSYSERR_NOERROR;
}

MMRESULT PipeWireStream::Restart() {
  {
    PipeWireConnection::Lock loop(*c_);
    {
      std::lock_guard<InheritingMutex> lock(mu_);
      if (!paused_) return MMSYSERR_NOERROR;
    }
    if (s_ != nullptr) {
      if (const int r = c_->api().pw_stream_set_active(s_, true); r < 0)
        return Fail(std::string("resuming: ") + std::strerror(-r), MMSYSERR_ERROR);
    }
    // What was due while paused is due that much later.
    std::lock_guard<InheritingMutex> lock(mu_);
    const int64_t held = NowNs() - pausedAt_;
    for (size_t i = done_; i < copy_; ++i) entries_[i].sentAt += held;
    headSince_ += held;
    dueAt_ += held;
    giveUpAt_ += held;
    paused_ = false;
  }
  wake_.Post();
  return MMSYSERR_NOERROR;
}

MMRESULT PipeWireStream::GetPosition(uint64_t& frames) {
  std::lock_guard<InheritingMutex> lock(mu_);
  frames = completedEnd_;
  if (done_ < entries_.size()) {
    const int64_t heard = (paused_ ? pausedAt_ : NowNs()) - headSince_;
    const uint64_t played = heard > 0 ? uint64_t(heard) * format_.rate / kNsPerSecond : 0;
    frames += std::min(entries_[done_].end - completedEnd_, played);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT PipeWireStream::GetVolume(uint32_t& volume) {
  PipeWireConnection::Lock loop(*c_);
  volume = volume_;
  return MMSYSERR_NOERROR;
}

MMRESULT PipeWireStream::SetVolume(uint32_t volume) {
  PipeWireConnection::Lock loop(*c_);
  {
    std::lock_guard<InheritingMutex> lock(mu_);
    if (broken_) return reports_->texts.Set(MMSYSERR_ERROR, failure_);
  }
  return ApplyVolumeLocked(volume);
}

// Under the loop's lock.
MMRESULT PipeWireStream::ApplyVolumeLocked(uint32_t word) {
  if (s_ == nullptr) {
    volume_ = word;
    return MMSYSERR_NOERROR;
  }
  float values[SPA_AUDIO_MAX_CHANNELS];
  const float left = static_cast<float>(word & 0xFFFF) / 65535.0f;
  const float right = static_cast<float>(word >> 16) / 65535.0f;
  const uint32_t n = std::min<uint32_t>(format_.channels, SPA_AUDIO_MAX_CHANNELS);
  for (uint32_t i = 0; i < n; ++i) values[i] = (n == 1 || i % 2 == 0) ? left : right;
  if (const int r = c_->api().pw_stream_set_control(s_, SPA_PROP_channelVolumes, n, values, 0);
      r < 0)
    return Fail(std::string("setting the volume: ") + std::strerror(-r), MMSYSERR_ERROR);
  volume_ = word;
  return MMSYSERR_NOERROR;
}

void PipeWireStream::RunReporter() {
  std::unique_lock<InheritingMutex> lock(mu_);
  while (!quit_) {
    if (!paused_) {
      const int64_t now = NowNs();
      AdvanceLocked(now);
      CheckStallLocked(now);
    }
    if (gapUnsaid_) {
      gapUnsaid_ = false;
      lock.unlock();
      SayOnce(reports_->gapSaid,
              "the graph ran a cycle without the stream while it played (the machine did not "
              "run the stream's real-time thread in time), so a sound has a gap");
      lock.lock();
      continue;
    }
    if (head_ < done_) {
      lock.unlock();
      ReportDone();
      lock.lock();
      continue;
    }
    const int64_t wake = NextWakeLocked();
    lock.unlock();
    if (wake < 0) {
      wake_.Wait();
    } else {
      (void)wake_.WaitUntil(AtNs(wake));
    }
    lock.lock();
  }
}

// When the reporter next has something to look at; -1 for nothing.
int64_t PipeWireStream::NextWakeLocked() const {
  if (paused_ || done_ >= entries_.size()) return -1;
  if (done_ < copy_) return entries_[done_].sentAt;
  return dueAt_;
}

// Buffers whose last frame has been played are done.
void PipeWireStream::AdvanceLocked(int64_t now) {
  const size_t before = done_;
  while (done_ < copy_ && entries_[done_].sentAt <= now) completedEnd_ = entries_[done_++].end;
  if (done_ == before) return;
  headSince_ = now;
  SetDueLocked(now);
}

// When the first unfinished buffer should have been played at the latest,
// as far as the graph has not taken it yet.
void PipeWireStream::SetDueLocked(int64_t now) {
  if (done_ >= entries_.size() || done_ < copy_) return;
  const uint64_t left = entries_[done_].end - std::max(copied_, entries_[done_].start);
  dueAt_ =
      now + static_cast<int64_t>(left * kNsPerSecond / format_.rate) + latencyNs_ + kStallSlackNs;
  giveUpAt_ = dueAt_ + kUntakenNs;
}

// A buffer past its due time that the graph has not taken: given up when
// the graph stopped (no cycle for kStallSlack) or after kUntaken more.
void PipeWireStream::CheckStallLocked(int64_t now) {
  if (done_ >= entries_.size() || done_ < copy_ || now < dueAt_) return;
  const int64_t quiet = now - lastCycle_;
  if (quiet < kStallSlackNs && now < giveUpAt_) {
    dueAt_ = now + kRecheckNs;
    return;
  }
  if (!reports_->stallSaid.load()) {
    const std::string why = quiet >= kStallSlackNs ? "the graph ran no cycle for " +
                                                         std::to_string(quiet / 1000000) + " ms"
                                                   : "the graph did not take the sound";
    SayOnce(reports_->stallSaid, "a sound was not played within " +
                                     std::to_string((now - headSince_) / 1000000) + " ms (" + why +
                                     ")");
  }
  EndAllLocked();
}

// Every queued buffer is done; what the graph has not taken is dropped.
void PipeWireStream::EndAllLocked() {
  if (!entries_.empty()) completedEnd_ = entries_.back().end;
  done_ = copy_ = entries_.size();
  copied_ = queued_;
}

// Forgets the buffers reported; the counters go on.
void PipeWireStream::DropReportedLocked() {
  entries_.clear();
  head_ = done_ = copy_ = 0;
}

void PipeWireStream::ClearLocked() {
  DropReportedLocked();
  queued_ = copied_ = completedEnd_ = 0;
  headSince_ = NowNs();
}

// Hands the done buffers to the sink, in order.
void PipeWireStream::ReportDone() {
  std::lock_guard<std::mutex> report(reportMu_);
  for (;;) {
    WAVEHDR* header;
    WaveOutSink* sink;
    {
      std::lock_guard<InheritingMutex> lock(mu_);
      if (head_ == done_) {
        if (head_ == entries_.size()) DropReportedLocked();
        return;
      }
      header = entries_[head_++].header;
      sink = sink_;
    }
    if (sink != nullptr) sink->BufferDone(header);
  }
}

}  // namespace tw
