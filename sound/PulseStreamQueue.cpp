// The caller's side of a stream: the queue of buffers written, what of it
// the server was handed, and which buffers are done (the last one by its
// drain, PulseStreamDrain.cpp; one with more written after it by the
// server's play position).
#include <algorithm>

#include "sound/PulseFormat.h"
#include "sound/PulseStream.h"

namespace tw {

MMRESULT PulseStream::Write(WAVEHDR* header) {
  std::unique_lock<std::mutex> lock(c_->mu);
  if (broken_) {
    interrupted_ = false;  // said now, by this write's failure
    return reports_->texts.Set(MMSYSERR_ERROR, failure_);
  }
  if (s_ == nullptr) {
    const MMRESULT r = CreateLocked(lock);
    if (r != MMSYSERR_NOERROR) return r;
  }
  if (done_ == entries_.size()) StartHeadLocked();
  const uint64_t bytes = header->dwBufferLength / frameBytes_ * frameBytes_;
  entries_.push_back(Entry{header, queued_, queued_ + bytes});
  queued_ += bytes;
  if (!PumpLocked()) {
    // The caller keeps this buffer (the failure says it was not queued);
    // those before it end as the server's failure ended them.
    entries_.pop_back();
    done_ = std::min(done_, entries_.size());
    interrupted_ = false;
    return reports_->texts.Set(MMSYSERR_ERROR, failure_);
  }
  CompleteLocked(played_);  // an empty buffer with nothing before it is done now
  ArmDrainLocked();
  ArmClockLocked();
  c_->Wake();
  return MMSYSERR_NOERROR;
}

MMRESULT PulseStream::Reset() {
  std::lock_guard<std::mutex> report(c_->reportMu);
  {
    std::lock_guard<std::mutex> lock(c_->mu);
    if (played_ < sent_ && s_ != nullptr && !broken_) FlushLocked();
    done_ = entries_.size();
  }
  ReportLocked();
  std::lock_guard<std::mutex> lock(c_->mu);
  if (head_ == entries_.size()) ClearCountersLocked();  // unless written to meanwhile
  return MMSYSERR_NOERROR;
}

MMRESULT PulseStream::Pause() {
  std::unique_lock<std::mutex> lock(c_->mu);
  if (paused_) return MMSYSERR_NOERROR;
  if (s_ != nullptr && !broken_) {
    const MMRESULT r = CorkLocked(lock, true);
    if (r != MMSYSERR_NOERROR) return r;
  }
  paused_ = true;
  headPlayed_ += Clock::now() - headSince_;
  DrainOn(DrainEvent::kCorked);
  Disarm(clock_);
  return MMSYSERR_NOERROR;
}

MMRESULT PulseStream::Restart() {
  std::unique_lock<std::mutex> lock(c_->mu);
  if (!paused_) return MMSYSERR_NOERROR;
  if (s_ != nullptr && !broken_) {
    const MMRESULT r = CorkLocked(lock, false);
    if (r != MMSYSERR_NOERROR) return r;
  }
  paused_ = false;
  headSince_ = Clock::now();
  DrainOn(DrainEvent::kUncorked);
  ArmDrainLocked();
  ArmClockLocked();
  c_->Wake();
  return MMSYSERR_NOERROR;
}

MMRESULT PulseStream::GetPosition(uint64_t& frames) {
  std::lock_guard<std::mutex> lock(c_->mu);
  uint64_t bytes = completedEnd_;
  if (done_ < entries_.size()) {
    const auto heard =
        headPlayed_ + (paused_ ? Clock::duration::zero() : Clock::now() - headSince_);
    const uint64_t us =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(heard).count());
    const uint64_t length = entries_[done_].end - completedEnd_;
    bytes +=
        std::min<uint64_t>(length, UsecToBytes(us, &sampleFormat_) / frameBytes_ * frameBytes_);
  }
  frames = bytes / frameBytes_;
  return MMSYSERR_NOERROR;
}

void PulseStream::ReportLocked() {
  for (;;) {
    WAVEHDR* header;
    WaveOutSink* sink;
    {
      std::lock_guard<std::mutex> lock(c_->mu);
      if (head_ == done_) {
        if (head_ == entries_.size()) {
          entries_.clear();
          head_ = done_ = 0;
        }
        return;
      }
      header = entries_[head_++].header;
      sink = sink_;
    }
    if (sink != nullptr) sink->BufferDone(header);
  }
}

void PulseStream::ClearCountersLocked() {
  entries_.clear();
  head_ = done_ = 0;
  queued_ = sent_ = played_ = completedEnd_ = 0;
  headPlayed_ = Clock::duration::zero();
  headSince_ = Clock::now();
  DrainOn(DrainEvent::kDropped);
  CancelLocked(timing_);
  Disarm(clock_);
}

void PulseStream::StartHeadLocked() {
  headPlayed_ = Clock::duration::zero();
  headSince_ = Clock::now();
}

void PulseStream::CompleteAllLocked() {
  played_ = sent_ = queued_;
  CompleteLocked(queued_);
}

// Buffers ending at or before `reached` are done.
void PulseStream::CompleteLocked(uint64_t reached) {
  const size_t before = done_;
  while (done_ < entries_.size() && entries_[done_].end <= reached) {
    completedEnd_ = entries_[done_].end;
    ++done_;
  }
  if (done_ == before) return;
  StartHeadLocked();
  c_->ReportSoon();
}

// Hands the server what is queued, as far as its buffer allows. False when
// the server refused (the stream is then broken).
bool PulseStream::PumpLocked() {
  while (s_ != nullptr && sent_ < queued_ && sent_ - played_ < maxInFlight_) {
    size_t i = done_;
    while (entries_[i].end <= sent_) ++i;
    const Entry& e = entries_[i];
    const uint64_t n = std::min<uint64_t>(e.end - sent_, maxInFlight_ - (sent_ - played_));
    const char* data = e.header->lpData + (sent_ - e.start);
    // Into a stream the server has played empty, the sound goes where the
    // server reads next: a server that played on past the end of the last
    // sound (to the end of its block) would otherwise skip that much of the
    // new one.
    const pa_seek_mode_t seek = sent_ == played_ ? PA_SEEK_RELATIVE_ON_READ : PA_SEEK_RELATIVE;
    if (Pa().pa_stream_write(s_, data, n, nullptr, 0, seek) < 0) {
      BreakLocked(Pa().pa_strerror(Pa().pa_context_errno(c_->context)));
      return false;
    }
    sent_ += n;
  }
  return !broken_;
}

// Drops what the server holds; the answer is not waited for (later writes
// come after it on the connection).
void PulseStream::FlushLocked() {
  DrainOn(DrainEvent::kDropped);
  CancelLocked(timing_);
  Disarm(clock_);
  if (pa_operation* op = Pa().pa_stream_flush(s_, nullptr, nullptr)) Pa().pa_operation_unref(op);
  played_ = sent_;
  c_->Wake();
}

// With more written after the first unfinished buffer, that buffer is done
// when the server's play position passed its end: looked up when it should
// have ended.
void PulseStream::ArmClockLocked() {
  if (paused_ || s_ == nullptr || timing_ != nullptr || done_ >= entries_.size()) return;
  const uint64_t end = entries_[done_].end;
  if (end >= queued_) return;  // the last one: the drain says when
  const uint64_t ahead = end > played_ ? end - played_ : 0;
  const pa_usec_t wait = std::max<pa_usec_t>(BytesToUsec(ahead, &sampleFormat_), 1000);
  Pa().pa_context_rttime_restart(c_->context, clock_, Pa().pa_rtclock_now() + wait);
}

void PulseStream::OnClock(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
  auto* me = static_cast<PulseStream*>(self);
  if (me->s_ == nullptr || me->timing_ != nullptr) return;
  me->timing_ = Pa().pa_stream_update_timing_info(me->s_, &OnTiming, me);
}

void PulseStream::OnTiming(pa_stream* s, int success, void* self) {
  auto* me = static_cast<PulseStream*>(self);
  Pa().pa_operation_unref(me->timing_);
  me->timing_ = nullptr;
  pa_usec_t latency = 0;
  int negative = 0;
  if (success && Pa().pa_stream_get_latency(s, &latency, &negative) == 0) {
    const uint64_t ahead = negative ? 0 : UsecToBytes(latency, &me->sampleFormat_);
    if (me->sent_ > ahead) {
      // Never the last buffer: its end is the drain's to say.
      const uint64_t reached = std::min(me->sent_ - ahead, me->queued_ - 1);
      if (reached > me->played_) {
        me->played_ = reached;
        me->CompleteLocked(reached);
      }
    }
  }
  me->ArmClockLocked();
}

}  // namespace tw
