// The drain of a stream's last buffer: the events of sound/PulseDrain.h
// raised from the server's answers and the deadlines, and the actions its
// steps ask for carried out on the server's stream.
#include <algorithm>
#include <cstdio>

#include "sound/PulseFormat.h"
#include "sound/PulseStream.h"

namespace tw {
namespace {

// A drain is looked after when the sound still queued, the stream's latency
// and kDrainSlackUsec have passed (the server plays in blocks of a few
// milliseconds): the server is asked where it reads, and the answer is
// waited for at most kProbeWaitUsec. Then again after twice the time the
// rest of the sound needs plus kRecheckSlackUsec, for as long as the
// server's read position moves on between two looks. A drain is given up
// when the server does not answer, or when its read position stood still
// between two looks (it stopped playing, or played everything and never
// said so). A healthy server on a busy machine was seen to answer a drain
// 60-80 ms late now and then, and PipeWire 0.3's pulse server to leave one
// unfinished every few dozen tones: the first is not taken for the second,
// and the second costs about 50 ms each time.
constexpr pa_usec_t kDrainSlackUsec = 30000;
constexpr pa_usec_t kProbeWaitUsec = 150000;
constexpr pa_usec_t kRecheckSlackUsec = 20000;

std::string Milliseconds(std::chrono::steady_clock::duration d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + " ms";
}

}  // namespace

// Sound was sent beyond what is known played: a drain covers it.
void PulseStream::ArmDrainLocked() {
  if (paused_ || s_ == nullptr || sent_ <= played_) return;
  DrainOn(DrainEvent::kSent);
}

// Moves the drain by `event` (sound/PulseDrain.h) and does what the move
// asks; `why` says why a drain given up was given up.
void PulseStream::DrainOn(DrainEvent event, const char* why) {
  const DrainStep step = NextDrainStep(drainState_, event);
  drainState_ = step.next;
  switch (step.action) {
    case DrainAction::kNone:
      return;
    case DrainAction::kAskDrain:
      return AskDrainLocked();
    case DrainAction::kSetDeadline:
      return ArmDeadlineLocked();
    case DrainAction::kAskPosition:
      return AskPositionLocked();
    case DrainAction::kWaitForRest:
      return RestartDeadline(2 * probeRest_ + kRecheckSlackUsec);
    case DrainAction::kFinish:
      return FinishDrainLocked();
    case DrainAction::kGiveUp:
      CancelDrainLocked();
      return GiveUpDrainLocked(why);
    case DrainAction::kStopClock:
      CancelLocked(probe_);
      return Disarm(deadline_);
    case DrainAction::kCancel:
      return CancelDrainLocked();
  }
}

// Asks the server to say when it has played everything sent so far. A
// drain in flight finishes only once the server ran out of sound, so its
// wait grows with what was sent after it.
void PulseStream::AskDrainLocked() {
  drainMark_ = sent_;
  drainSince_ = Clock::now();
  drain_ = Pa().pa_stream_drain(s_, &OnDrained, this);
  if (drain_ == nullptr) return BreakLocked(Pa().pa_strerror(Pa().pa_context_errno(c_->context)));
  ArmDeadlineLocked();
}

// How long a drain may take: the sound not yet known played, plus the
// stream's latency and some slack. A look in flight is moot.
void PulseStream::ArmDeadlineLocked() {
  CancelLocked(probe_);
  probeRead_ = -1;
  const pa_usec_t remaining = BytesToUsec(sent_ - played_, &sampleFormat_);
  RestartDeadline(remaining + static_cast<pa_usec_t>(c_->settings().latency.count()) +
                  kDrainSlackUsec);
}

void PulseStream::AskPositionLocked() {
  probe_ = Pa().pa_stream_update_timing_info(s_, &OnProbe, this);
  if (probe_ == nullptr) return DrainOn(DrainEvent::kNoAnswer, "no answer from the server");
  RestartDeadline(kProbeWaitUsec);
}

void PulseStream::FinishDrainLocked() {
  CancelLocked(probe_);
  Disarm(deadline_);
  played_ = std::max(played_, drainMark_);
  CompleteLocked(played_);
  PumpLocked();
  ArmDrainLocked();
  ArmClockLocked();
}

void PulseStream::CancelDrainLocked() {
  CancelLocked(drain_);
  CancelLocked(probe_);
  Disarm(deadline_);
}

// A drain that did not finish: its buffers are done anyway, and the next
// write goes to a new server stream. Said once per backend.
void PulseStream::GiveUpDrainLocked(const std::string& why) {
  if (!reports_->drainTimeoutSaid.exchange(true)) {
    const auto waited = Clock::now() - drainSince_;
    const std::string line = Who() + ": a drain did not finish within " + Milliseconds(waited) +
                             " (" + why + "); going on with a new stream (reported once)\n";
    std::fputs(line.c_str(), stderr);
  }
  DropServerStreamLocked();
  CompleteAllLocked();
}

void PulseStream::RestartDeadline(pa_usec_t fromNow) {
  Pa().pa_context_rttime_restart(c_->context, deadline_, Pa().pa_rtclock_now() + fromNow);
}

// Callbacks of the library, on the loop thread under mu.

void PulseStream::OnDrained(pa_stream*, int success, void* self) {
  auto* me = static_cast<PulseStream*>(self);
  Pa().pa_operation_unref(me->drain_);
  me->drain_ = nullptr;
  if (!success && (me->c_->Lost() || !PA_STREAM_IS_GOOD(Pa().pa_stream_get_state(me->s_)))) {
    me->BreakLocked(me->c_->Lost() ? me->c_->LostReason()
                                   : Pa().pa_strerror(Pa().pa_context_errno(me->c_->context)));
    return;
  }
  if (success) return me->DrainOn(DrainEvent::kDrained);
  me->DrainOn(DrainEvent::kRefused, "the server refused to drain the stream");
}

void PulseStream::OnDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
  auto* me = static_cast<PulseStream*>(self);
  if (me->s_ != nullptr) me->DrainOn(DrainEvent::kDeadline, "no answer from the server");
}

// The answer to a look: where the server reads, against the last look.
void PulseStream::OnProbe(pa_stream* s, int success, void* self) {
  auto* me = static_cast<PulseStream*>(self);
  Pa().pa_operation_unref(me->probe_);
  me->probe_ = nullptr;
  const pa_timing_info* t = success ? Pa().pa_stream_get_timing_info(s) : nullptr;
  if (t == nullptr) return me->DrainOn(DrainEvent::kNoAnswer, "no answer from the server");
  if (me->probeRead_ >= 0 && t->read_index <= me->probeRead_) {
    return me->DrainOn(DrainEvent::kReadStill, t->read_index >= t->write_index
                                                   ? "all played, but the server did not say so"
                                                   : "playback stopped");
  }
  me->probeRead_ = t->read_index;
  const int64_t left = std::max<int64_t>(t->write_index - t->read_index, 0);
  me->probeRest_ = BytesToUsec(static_cast<uint64_t>(left), &me->sampleFormat_);
  me->DrainOn(DrainEvent::kReadOn);
}

}  // namespace tw
