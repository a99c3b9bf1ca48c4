// The ALSA playback's phases driven through a scripted PCM and clock: the
// paths a sound server's plugin takes (underrun, settling, the tail run out
// by the clock, the restart of a ran-dry device), which real devices reach
// only now and then.
#include "sound/AlsaPlayback.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tw {
namespace {

using std::chrono::milliseconds;

// A PCM whose answers the test sets; it counts what it is asked to do.
// Rate 1000 Hz, so a frame is a millisecond.
class ScriptedPcm : public AlsaPcmCalls {
 public:
  snd_pcm_state_t state = SND_PCM_STATE_PREPARED;
  snd_pcm_sframes_t delay = 0;
  snd_pcm_sframes_t avail = 100;                 // the ring holds 100 frames: 100 is empty
  std::vector<snd_pcm_sframes_t> writeFailures;  // results of the next writes
  bool pauseWorks = true;
  int prepareMs = 0;  // how long a prepare takes (a plugin's round trip)
  uint64_t framesWritten = 0;
  int prepares = 0, drops = 0, drains = 0;
  Clock::time_point now{};

  snd_pcm_state_t State() override { return state; }
  int Delay(snd_pcm_sframes_t& frames) override {
    frames = delay;
    return 0;
  }
  snd_pcm_sframes_t AvailUpdate() override { return avail; }
  snd_pcm_sframes_t Write(const void*, snd_pcm_uframes_t frames) override {
    if (!writeFailures.empty()) {
      const snd_pcm_sframes_t r = writeFailures.front();
      writeFailures.erase(writeFailures.begin());
      return r;
    }
    const auto n = std::min<snd_pcm_sframes_t>(static_cast<snd_pcm_sframes_t>(frames), avail);
    avail -= n;
    delay += n;
    framesWritten += static_cast<uint64_t>(n);
    state = SND_PCM_STATE_RUNNING;
    return n;
  }
  int Prepare() override {
    ++prepares;
    now += milliseconds(prepareMs);
    state = SND_PCM_STATE_PREPARED;
    avail = 100;
    delay = 0;
    return 0;
  }
  int Drop() override {
    ++drops;
    state = SND_PCM_STATE_SETUP;
    return 0;
  }
  int Drain() override {
    ++drains;
    state = SND_PCM_STATE_SETUP;
    return 0;
  }
  int Pause(bool on) override {
    if (!pauseWorks) return -ENOSYS;
    state = on ? SND_PCM_STATE_PAUSED : SND_PCM_STATE_RUNNING;
    return 0;
  }
  int Resume() override { return 0; }
  int PollDescriptors(pollfd*, unsigned) override { return 0; }
  bool PollSaysRoom(pollfd*, unsigned) override { return true; }
  Clock::time_point Now() override { return now; }

  // The device plays `frames` of what it holds (its ring empties).
  void Plays(snd_pcm_sframes_t frames) {
    delay -= frames;
    avail += frames;
  }
};

// A queue of `queued` frames of one buffer; TakeFrames can be told to
// report the queue reset.
class Queue : public AlsaFrameSource {
 public:
  bool reset = false;
  std::size_t TakeFrames(uint64_t, std::size_t frames, char* out) override {
    if (reset) return 0;
    std::memset(out, 0, frames * 4);
    return frames;
  }
};

class Playback : public ::testing::Test {
 protected:
  AlsaPcmShape Shape(bool plugin) {
    AlsaPcmShape shape;
    shape.rate = 1000;
    shape.frameBytes = 4;
    shape.bufferFrames = 100;
    shape.canPause = pcm_.pauseWorks;
    shape.serverPlugin = plugin;
    return shape;
  }
  AlsaPlayback::Pass Step(AlsaPlayback& p, uint64_t queued, bool paused = false) {
    return p.Step(queued, queued, paused, queue_);
  }
  void Advance(int ms) { pcm_.now += milliseconds(ms); }

  ScriptedPcm pcm_;
  Queue queue_;
};

TEST_F(Playback, AnUnderrunPreparesAtOnceAndTheLastFramesRunOutByTheClock) {
  AlsaPlayback p(pcm_, Shape(true));
  EXPECT_EQ(Step(p, 60).reached, 0u);
  EXPECT_EQ(p.phase(), AlsaPhase::kPlaying);
  EXPECT_EQ(pcm_.framesWritten, 60u);
  // The plugin's ring ran dry while the server still holds 40 frames.
  pcm_.Plays(20);
  pcm_.state = SND_PCM_STATE_XRUN;
  const int prepares = pcm_.prepares;
  pcm_.delay = 40;
  pcm_.prepareMs = 10;  // the prepare's round trip is sound running out too
  EXPECT_EQ(Step(p, 60).reached, 30u);
  EXPECT_EQ(p.phase(), AlsaPhase::kEmptied);
  EXPECT_EQ(pcm_.prepares, prepares + 1);  // ready for the next sound already
  pcm_.prepareMs = 0;
  Advance(20);
  EXPECT_EQ(Step(p, 60).reached, 50u);
  Advance(10);
  const AlsaPlayback::Pass done = Step(p, 60);
  EXPECT_EQ(done.reached, 60u);
  EXPECT_TRUE(done.again);
  // The next sound goes straight into the prepared PCM: nothing dropped.
  Step(p, 70);
  EXPECT_EQ(p.phase(), AlsaPhase::kPlaying);
  EXPECT_EQ(pcm_.drops, 0);
  EXPECT_EQ(pcm_.framesWritten, 70u);
}

TEST_F(Playback, TheLastBufferWaitsForAPluginsUnderrunThenForADrain) {
  for (const bool underrunComes : {true, false}) {
    SCOPED_TRACE(underrunComes ? "underrun within 20 ms" : "no underrun");
    pcm_ = ScriptedPcm();
    AlsaPlayback p(pcm_, Shape(true));
    Step(p, 50);
    pcm_.delay = 0;  // the delay says all was played; the ring is not empty yet
    pcm_.avail = 60;
    AlsaPlayback::Pass pass = Step(p, 50);
    EXPECT_EQ(p.phase(), AlsaPhase::kSettling);
    EXPECT_EQ(pass.reached, 49u) << "the last buffer is held";
    EXPECT_EQ(pass.waitMicros, 300);
    Advance(15);
    EXPECT_EQ(Step(p, 50).reached, 49u);
    if (underrunComes) {
      pcm_.state = SND_PCM_STATE_XRUN;
    } else {
      Advance(10);
    }
    pass = Step(p, 50);
    EXPECT_EQ(pass.reached, 50u);
    EXPECT_EQ(pcm_.drains, underrunComes ? 0 : 1);
    EXPECT_EQ(p.phase(), underrunComes ? AlsaPhase::kEmptied : AlsaPhase::kReady);
  }
  // A device that is not a plugin is drained at once.
  pcm_ = ScriptedPcm();
  AlsaPlayback hw(pcm_, Shape(false));
  Step(hw, 50);
  pcm_.delay = 0;
  EXPECT_EQ(Step(hw, 50).reached, 50u);
  EXPECT_EQ(pcm_.drains, 1);
}

TEST_F(Playback, ADryDeviceWhoseDelayStopsMovingIsPlayedByTheClock) {
  AlsaPlayback p(pcm_, Shape(true));
  Step(p, 100);
  pcm_.avail = 100;  // everything taken by the server, which reports 30 to go ...
  pcm_.delay = 30;
  EXPECT_EQ(Step(p, 100).reached, 70u);
  EXPECT_EQ(p.phase(), AlsaPhase::kRunningOut);
  Advance(12);  // ... and then stops updating it
  EXPECT_EQ(Step(p, 100).reached, 82u);
  // Run out: all played, and the plugin's underrun is awaited as usual.
  Advance(18);
  EXPECT_EQ(Step(p, 100).reached, 99u);
  EXPECT_EQ(p.phase(), AlsaPhase::kSettling);
}

TEST_F(Playback, NewFramesForARanDryDeviceWaitUntilItHoldsNothingThenRestartIt) {
  AlsaPlayback p(pcm_, Shape(true));
  Step(p, 40);
  pcm_.delay = 0;  // played by the delay, still running, the ring not empty
  pcm_.avail = 90;
  Advance(25);
  Step(p, 40);
  Advance(25);
  Step(p, 40);
  ASSERT_EQ(pcm_.drains, 1);  // settled the usual way: drained, ready
  // Once more, but new frames come while settling.
  pcm_ = ScriptedPcm();
  AlsaPlayback q(pcm_, Shape(true));
  Step(q, 40);
  pcm_.delay = 0;
  pcm_.avail = 90;
  Step(q, 40);
  ASSERT_EQ(q.phase(), AlsaPhase::kSettling);
  AlsaPlayback::Pass pass = Step(q, 80);
  EXPECT_EQ(q.phase(), AlsaPhase::kWaitingToRestart);
  EXPECT_EQ(pass.waitMicros, 500);
  EXPECT_EQ(pcm_.framesWritten, 40u) << "nothing written while the device still holds frames";
  Advance(49);
  Step(q, 80);
  EXPECT_EQ(pcm_.drops, 0);
  Advance(1);
  Step(q, 80);
  EXPECT_EQ(pcm_.drops, 1);  // restarted: dropped, prepared, written
  EXPECT_EQ(pcm_.framesWritten, 80u);
  EXPECT_EQ(q.phase(), AlsaPhase::kPlaying);
}

TEST_F(Playback, PauseResetAStaleQueueAndABrokenDevice) {
  AlsaPlayback p(pcm_, Shape(true));
  Step(p, 50);
  pcm_.Plays(10);
  p.Pause();
  EXPECT_EQ(p.phase(), AlsaPhase::kPaused);
  EXPECT_EQ(Step(p, 50, true).reached, 10u);  // nothing moves while paused
  p.Resume();
  EXPECT_EQ(p.phase(), AlsaPhase::kPlaying);
  // A device without a pause drops and writes again from the first frame
  // not played.
  pcm_.pauseWorks = false;
  p.Pause();
  EXPECT_EQ(pcm_.drops, 1);
  EXPECT_EQ(p.written(), 10u);
  p.Resume();
  Step(p, 50);
  EXPECT_EQ(pcm_.framesWritten, 90u);
  // A reset with frames in flight drops them; the counts start again.
  p.Restart(false);
  EXPECT_EQ(pcm_.drops, 2);
  EXPECT_EQ(p.written(), 0u);
  // A queue reset while the pass writes: it stops and passes again.
  queue_.reset = true;
  EXPECT_TRUE(Step(p, 20).again);
  EXPECT_EQ(p.written(), 0u);
  queue_.reset = false;
  // Three failed writes in a row: the device is given up, every buffer done.
  pcm_.writeFailures = {-EIO, -EIO, -EIO};
  EXPECT_EQ(Step(p, 20).reached, 20u);
  EXPECT_EQ(p.phase(), AlsaPhase::kBroken);
  EXPECT_EQ(p.brokenBy(), -EIO);
}

}  // namespace
}  // namespace tw
