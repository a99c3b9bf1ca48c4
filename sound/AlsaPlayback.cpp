#include "sound/AlsaPlayback.h"

#include <algorithm>
#include <cerrno>
#include <thread>

namespace tw {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// How long a plugin is given to report the underrun that says the server
// played the last frames, and how long new frames wait for a ran-dry device
// to hold nothing before it is restarted.
constexpr milliseconds kSettleTime(20);
constexpr milliseconds kRestartWait(50);
// A suspended device is asked to resume this many times, a millisecond apart.
constexpr int kResumeTries = 1000;

}  // namespace

const char* AlsaPhaseName(AlsaPhase phase) {
  switch (phase) {
    case AlsaPhase::kReady:
      return "ready";
    case AlsaPhase::kPlaying:
      return "playing";
    case AlsaPhase::kRunningOut:
      return "running out";
    case AlsaPhase::kSettling:
      return "settling";
    case AlsaPhase::kEmptied:
      return "emptied";
    case AlsaPhase::kWaitingToRestart:
      return "waiting to restart";
    case AlsaPhase::kPaused:
      return "paused";
    case AlsaPhase::kBroken:
      return "broken";
  }
  return "?";
}

AlsaPlayback::AlsaPlayback(AlsaPcmCalls& pcm, const AlsaPcmShape& shape)
    : pcm_(pcm),
      shape_(shape),
      since_(pcm.Now()),
      staging_(static_cast<std::size_t>(std::max<uint64_t>(shape.bufferFrames, 1)) *
               std::max(shape.frameBytes, 1u)) {}

void AlsaPlayback::Enter(AlsaPhase next, uint64_t tailFrames) {
  if (phase_ == AlsaPhase::kBroken) return;  // for good: nothing makes it take data again
  // Re-entering a tail starts its clock again: the device said anew how much
  // it holds. Any other phase keeps the time it was first entered.
  const bool tail = next == AlsaPhase::kRunningOut || next == AlsaPhase::kEmptied;
  if (next != phase_ || tail) since_ = pcm_.Now();
  if (tail) tailFrames_ = tailFrames;
  phase_ = next;
}

bool AlsaPlayback::Started() const {
  switch (phase_) {
    case AlsaPhase::kPlaying:
    case AlsaPhase::kRunningOut:
    case AlsaPhase::kSettling:
    case AlsaPhase::kWaitingToRestart:
    case AlsaPhase::kPaused:
      return true;
    default:
      return false;
  }
}

int64_t AlsaPlayback::ElapsedMicros() const {
  return std::chrono::duration_cast<microseconds>(pcm_.Now() - since_).count();
}

AlsaPlayback::Pass AlsaPlayback::Step(uint64_t queuedEnd, uint64_t frontEnd, bool paused,
                                      AlsaFrameSource& source) {
  queuedEnd_ = queuedEnd;
  Pass pass;
  Pump pump = Pump::kDone;
  if (!paused) {
    pump = PumpFrames(queuedEnd, source);
    if (pump == Pump::kStale) {
      pass.again = true;
      return pass;
    }
    UpdatePlayed();
  }
  const bool hold = !paused && Settle(pump);
  pass.reached = Reached(hold);
  if (frontEnd <= pass.reached) {
    pass.again = true;
    return pass;
  }
  const uint64_t frames = frontEnd - std::min(frontEnd, played_);
  pass.waitMicros = std::clamp<int64_t>(
      static_cast<int64_t>(frames * 1000000 / std::max(shape_.rate, 1u)), 100, 100000);
  pass.onDevice = pump == Pump::kDeviceFull;
  if (pump == Pump::kWaiting) pass.waitMicros = 500;
  if (hold) pass.waitMicros = 300;
  return pass;
}

// Everything written was played by the delay and the device still runs: a
// plugin's own underrun is waited for a moment (the last buffer held), then
// the device is drained. Returns whether the last buffer is held.
bool AlsaPlayback::Settle(Pump pump) {
  if (phase_ != AlsaPhase::kBroken && pump == Pump::kDone && played_ >= written_ && Started() &&
      pcm_.State() == SND_PCM_STATE_RUNNING) {
    Enter(AlsaPhase::kSettling);
    if (shape_.serverPlugin && pcm_.Now() - since_ < kSettleTime) return true;
    Finish();
  } else if (phase_ == AlsaPhase::kSettling) {
    Enter(AlsaPhase::kPlaying);
  }
  return false;
}

AlsaPlayback::Pump AlsaPlayback::PumpFrames(uint64_t queuedEnd, AlsaFrameSource& source) {
  const Pump restart = RestartIfRanDry(queuedEnd);
  if (restart != Pump::kDone) return restart;
  return WriteFrames(queuedEnd, source);
}

// New frames for a device that ran dry: a plugin that still runs takes them
// late, so it is restarted, once it holds nothing (a restart discards what
// it holds) or once kRestartWait has passed; a device stopped by an underrun
// is made ready again.
AlsaPlayback::Pump AlsaPlayback::RestartIfRanDry(uint64_t queuedEnd) {
  const bool more = written_ < queuedEnd;
  if (more && written_ == played_ && Started() && pcm_.State() == SND_PCM_STATE_RUNNING) {
    const snd_pcm_sframes_t avail = pcm_.AvailUpdate();
    if (avail >= 0 && static_cast<uint64_t>(avail) < shape_.bufferFrames) {
      Enter(AlsaPhase::kWaitingToRestart);
      if (pcm_.Now() - since_ < kRestartWait) return Pump::kWaiting;
    }
    pcm_.Drop();
    Recover(-EPIPE);
  } else if (more && pcm_.State() == SND_PCM_STATE_XRUN) {
    played_ = written_;
    Recover(-EPIPE);
  } else if (phase_ == AlsaPhase::kWaitingToRestart) {
    Enter(AlsaPhase::kPlaying);
  }
  return Pump::kDone;
}

AlsaPlayback::Pump AlsaPlayback::WriteFrames(uint64_t queuedEnd, AlsaFrameSource& source) {
  int failures = 0;
  const uint64_t stagingFrames = staging_.size() / std::max(shape_.frameBytes, 1u);
  while (written_ < queuedEnd && phase_ != AlsaPhase::kBroken) {
    const snd_pcm_sframes_t avail = pcm_.AvailUpdate();
    snd_pcm_sframes_t w = avail;
    if (avail == 0) return Pump::kDeviceFull;
    if (avail > 0) {
      const uint64_t n =
          std::min({static_cast<uint64_t>(avail), queuedEnd - written_, stagingFrames});
      const std::size_t got =
          source.TakeFrames(written_, static_cast<std::size_t>(n), staging_.data());
      if (got == 0) return Pump::kStale;
      w = pcm_.Write(staging_.data(), got);
      if (w == -EAGAIN) return Pump::kDeviceFull;
    }
    if (w < 0) {
      // An underrun between two writes; three in a row mean the device no
      // longer takes data.
      if (++failures > 2) Break(static_cast<int>(w));
      played_ = written_;
      Recover(static_cast<int>(w));
      continue;
    }
    failures = 0;
    Enter(AlsaPhase::kPlaying);
    written_ += static_cast<uint64_t>(w);
  }
  return Pump::kDone;
}

// Once the device holds nothing of ours (its ring empty, or an underrun), a
// sound server behind it may still be playing the last frames and may stop
// updating the delay it reports: from then on that delay runs out by the
// clock.
void AlsaPlayback::UpdatePlayed() {
  if (phase_ == AlsaPhase::kPaused || phase_ == AlsaPhase::kBroken) return;
  const uint64_t held = Held();
  played_ = std::max(played_, written_ - std::min(held, written_));
}

// How many written frames the device still has to play.
uint64_t AlsaPlayback::Held() {
  if (phase_ == AlsaPhase::kEmptied) return RunOut(written_);
  snd_pcm_sframes_t delay = 0;
  if (pcm_.State() == SND_PCM_STATE_XRUN) {
    // The device took every frame, so the restart the next sound needs loses
    // nothing and is done now, off that sound's path (a plugin reconnects,
    // which takes a round trip).
    if (pcm_.Delay(delay) < 0) delay = 0;
    Enter(AlsaPhase::kEmptied, std::min<uint64_t>(std::max<snd_pcm_sframes_t>(delay, 0), written_));
    const int err = pcm_.Prepare();
    if (err < 0) Break(err);
    return RunOut(tailFrames_);  // the prepare's round trip was sound running out too
  }
  const int err = pcm_.Delay(delay);
  if (err < 0) {
    played_ = written_;
    Recover(err);
    return 0;
  }
  const uint64_t held = std::min<uint64_t>(std::max<snd_pcm_sframes_t>(delay, 0), written_);
  const snd_pcm_sframes_t avail = pcm_.AvailUpdate();
  const bool dry = avail < 0 || static_cast<uint64_t>(avail) >= shape_.bufferFrames;
  if (!dry) {
    if (phase_ == AlsaPhase::kRunningOut) Enter(AlsaPhase::kPlaying);
    return held;
  }
  if (phase_ == AlsaPhase::kPlaying) Enter(AlsaPhase::kRunningOut, held);
  return phase_ == AlsaPhase::kRunningOut ? RunOut(held) : held;
}

uint64_t AlsaPlayback::RunOut(uint64_t held) {
  const uint64_t elapsed =
      static_cast<uint64_t>(std::max<int64_t>(ElapsedMicros(), 0)) * shape_.rate / 1000000;
  return std::min(held, tailFrames_ > elapsed ? tailFrames_ - elapsed : 0);
}

// Makes the PCM writable again after err; breaks it when it cannot.
void AlsaPlayback::Recover(int err) {
  if (err == -ESTRPIPE) {
    for (int i = 0; i < kResumeTries && (err = pcm_.Resume()) == -EAGAIN; ++i)
      std::this_thread::sleep_for(milliseconds(1));
  }
  Enter(AlsaPhase::kReady);
  const int prepared = pcm_.Prepare();
  if (prepared < 0) Break(err == -EPIPE || err == 0 ? prepared : err);
}

// Drops every frame the device holds; what was not played is written again.
void AlsaPlayback::DropFrames() {
  pcm_.Drop();
  pcm_.Prepare();
  Enter(AlsaPhase::kReady);
  written_ = played_;
}

// Lets the device finish for real before the last buffer is reported: a
// sound server may still hold the final frames after its delay reached 0
// (and would drop them at the restart the next sound needs).
void AlsaPlayback::Finish() {
  if (!Started() || pcm_.State() != SND_PCM_STATE_RUNNING) return;
  const int err = pcm_.Drain();
  Recover(err < 0 ? err : -EPIPE);
}

void AlsaPlayback::Break(int err) {
  if (phase_ == AlsaPhase::kBroken) return;
  brokenBy_ = err;
  Enter(AlsaPhase::kBroken);
}

uint64_t AlsaPlayback::Reached(bool hold) const {
  if (phase_ == AlsaPhase::kBroken) return queuedEnd_;
  if (hold && written_ > 0) return std::min(played_, written_ - 1);
  return played_;
}

void AlsaPlayback::Restart(bool drop) {
  if (phase_ != AlsaPhase::kBroken && (drop || written_ > played_ || phase_ == AlsaPhase::kPaused))
    DropFrames();
  written_ = played_ = queuedEnd_ = 0;
}

void AlsaPlayback::Pause() {
  if (phase_ == AlsaPhase::kPaused || phase_ == AlsaPhase::kBroken) return;
  UpdatePlayed();
  if (written_ <= played_ || pcm_.State() != SND_PCM_STATE_RUNNING) return;
  if (shape_.canPause && pcm_.Pause(true) == 0) {
    Enter(AlsaPhase::kPaused);
  } else {
    DropFrames();
  }
}

void AlsaPlayback::Resume() {
  if (phase_ != AlsaPhase::kPaused) return;
  Enter(AlsaPhase::kPlaying);
  if (pcm_.Pause(false) < 0) DropFrames();
}

}  // namespace tw
