// The paced null card. Timing bounds here are deliberately generous (the
// machine is shared): they check that the clock paces and pauses at all, not
// how precisely; bench/null_output_bench.cpp measures precision.

#include "sound/NullCard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/MessageQueue.h"
#include "platform/WaveOutApi.h"
#include "testing/WaveOutTestSupport.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using testing::Buffer;
using testing::Notification;
using testing::PcmFormat;
using testing::RecordingTarget;
using Clock = std::chrono::steady_clock;

// 8000 Hz mono 8-bit: one byte per frame, 8 bytes per millisecond.
const WAVEFORMATEX kSlow = PcmFormat(8000, 1, 8);
constexpr uint32_t kBytesPerMs = 8;

class PacedNullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseWaveOutBackend(CreateNullWaveOutBackend(NullPacing::kRealTime));
    ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &kSlow, &target, 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
  }
  void TearDown() override {
    waveOutReset(h);
    waveOutClose(h);
  }
  void Play(Buffer& b) {
    ASSERT_EQ(waveOutPrepareHeader(h, &b.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &b.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  uint32_t PositionMs() {
    MMTIME t{};
    t.wType = TIME_MS;
    EXPECT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    return t.u.ms;
  }

  RecordingTarget target;
  HWAVEOUT h = nullptr;
};

TEST_F(PacedNullTest, BuffersAreDoneOneAfterAnotherWhenTheirTimeHasPassed) {
  Buffer a(100 * kBytesPerMs), b(50 * kBytesPerMs), c(1);
  const Clock::time_point start = Clock::now();
  Play(a);
  Play(b);
  Play(c);
  EXPECT_EQ(target.Count(), 1u);  // only the open: nothing plays instantly
  ASSERT_TRUE(target.WaitFor(4));
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 150ms);
  EXPECT_LT(elapsed, 3s);
  const std::vector<Notification> expected = {{MM_WOM_OPEN, 0},
                                              {MM_WOM_DONE, a.param()},
                                              {MM_WOM_DONE, b.param()},
                                              {MM_WOM_DONE, c.param()}};
  EXPECT_EQ(target.Got(), expected);
  EXPECT_EQ(PositionMs(), 150u);  // every byte played, the 1-byte buffer rounds down
  EXPECT_EQ(a.header.dwFlags, WHDR_PREPARED | WHDR_DONE);
}

TEST_F(PacedNullTest, PositionAdvancesWithTheClockAndPauseStopsIt) {
  Buffer a(400 * kBytesPerMs);
  Play(a);
  std::this_thread::sleep_for(60ms);
  ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  const uint32_t atPause = PositionMs();
  EXPECT_GE(atPause, 50u);
  EXPECT_LT(atPause, 400u);
  std::this_thread::sleep_for(500ms);
  // The whole buffer's time has passed, but not on the paused card's clock.
  EXPECT_EQ(PositionMs(), atPause);
  EXPECT_EQ(target.Count(), 1u);
  const Clock::time_point restarted = Clock::now();
  ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(target.WaitFor(2));
  // What was left of the buffer still had to play after the restart.
  EXPECT_GE(Clock::now() - restarted, std::chrono::milliseconds(400 - atPause - 5));
  EXPECT_EQ(PositionMs(), 400u);
}

TEST_F(PacedNullTest, ResetReturnsEveryQueuedBufferBeforeItReturns) {
  Buffer a(10000 * kBytesPerMs), b(10000 * kBytesPerMs);
  Play(a);
  Play(b);
  std::this_thread::sleep_for(20ms);
  EXPECT_GT(PositionMs(), 0u);
  EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  EXPECT_LT(Clock::now() - start, 2s);
  const std::vector<Notification> expected = {
      {MM_WOM_OPEN, 0}, {MM_WOM_DONE, a.param()}, {MM_WOM_DONE, b.param()}};
  EXPECT_EQ(target.Got(), expected);
  EXPECT_EQ(PositionMs(), 0u);
  // The card plays on after a reset; the close comes after every done.
  Buffer c(10 * kBytesPerMs);
  Play(c);
  ASSERT_TRUE(target.WaitFor(4));
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  h = nullptr;
  const auto got = target.Got();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[3], (Notification{MM_WOM_DONE, c.param()}));
  EXPECT_EQ(got[4], (Notification{MM_WOM_CLOSE, 0}));
}

TEST_F(PacedNullTest, ResetWhilePausedLeavesTheCardPaused) {
  Buffer a(20 * kBytesPerMs);
  ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  Play(a);
  ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  EXPECT_EQ(target.Count(), 2u);
  Play(a);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(target.Count(), 2u);
  EXPECT_EQ(PositionMs(), 0u);
  ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
  ASSERT_TRUE(target.WaitFor(3));
}

TEST_F(PacedNullTest, ManyShortBuffersAndDevicesShareTheClock) {
  HWAVEOUT second = nullptr;
  RecordingTarget other;
  ASSERT_EQ(waveOutOpen(&second, WAVE_MAPPER, &kSlow, &other, 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  std::vector<std::unique_ptr<Buffer>> mine, theirs;
  for (int i = 0; i < 20; ++i) {
    mine.push_back(std::make_unique<Buffer>(2 * kBytesPerMs));
    theirs.push_back(std::make_unique<Buffer>(3 * kBytesPerMs));
    Play(*mine.back());
    ASSERT_EQ(waveOutPrepareHeader(second, &theirs.back()->header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveOutWrite(second, &theirs.back()->header, sizeof(WAVEHDR)), 0u);
  }
  ASSERT_TRUE(target.WaitFor(21));
  ASSERT_TRUE(other.WaitFor(21));
  const auto got = target.Got();
  const auto otherGot = other.Got();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(got[i + 1].param, mine[i]->param());
    EXPECT_EQ(otherGot[i + 1].param, theirs[i]->param());
  }
  EXPECT_EQ(waveOutClose(second), MMSYSERR_NOERROR);
}

// The card hands closed streams out again: nothing of one open may show in
// the next (pause, volume, position, queued buffers).
TEST(WaveOutNullRecycleTest, AReopenedDeviceStartsFresh) {
  for (NullPacing pacing : {NullPacing::kRealTime, NullPacing::kNone}) {
    UseWaveOutBackend(CreateNullWaveOutBackend(pacing));
    RecordingTarget first;
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &kSlow, &first, 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    Buffer a(1000 * kBytesPerMs);
    ASSERT_EQ(waveOutSetVolume(h, 0x12345678u), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPrepareHeader(h, &a.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &a.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);

    RecordingTarget second;
    ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &kSlow, &second, 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    uint32_t volume = 0;
    ASSERT_EQ(waveOutGetVolume(h, &volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0xFFFFFFFFu);
    MMTIME t{};
    t.wType = TIME_BYTES;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.cb, 0u);
    Buffer b(5 * kBytesPerMs);
    ASSERT_EQ(waveOutPrepareHeader(h, &b.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &b.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_TRUE(second.WaitFor(2)) << "the new device plays: it is not paused";
    EXPECT_EQ(second.Got()[1], (Notification{MM_WOM_DONE, b.param()}));
    EXPECT_EQ(first.Count(), 3u) << "the first device's target hears nothing more";
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  }
}

// A callback window that also notes which thread posted each notification.
class WindowTarget : public NotifyTarget {
 public:
  WindowTarget() : window_([this](uint32_t m, uintptr_t p) { got_.push_back({m, p}); }) {
    window_.Create();
  }
  bool Post(uint32_t message, uintptr_t param) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      posters_.push_back(std::this_thread::get_id());
    }
    return window_.Post(message, param);
  }
  // Pumps until `count` notifications have been handled here.
  std::vector<Notification> PumpUntil(size_t count) {
    while (got_.size() < count && window_.PumpOne()) {
    }
    return got_;
  }
  std::vector<std::thread::id> Posters() {
    std::lock_guard<std::mutex> lock(mutex_);
    return posters_;
  }

 private:
  CallbackWindow window_;
  std::vector<Notification> got_;
  std::mutex mutex_;
  std::vector<std::thread::id> posters_;
};

TEST(PacedNullWindowTest, TheWaitingThreadReportsItsBuffersItselfNeverBeforeTheirTime) {
  UseWaveOutBackend(CreateNullWaveOutBackend(NullPacing::kRealTime));
  WindowTarget target;
  HWAVEOUT h = nullptr;
  ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &kSlow, &target, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  Buffer a(30 * kBytesPerMs), b(1), c(20 * kBytesPerMs);
  const Clock::time_point start = Clock::now();
  for (Buffer* x : {&a, &b, &c}) {
    ASSERT_EQ(waveOutPrepareHeader(h, &x->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &x->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  std::vector<Clock::duration> doneAt;
  for (size_t n = 2; n <= 4; ++n) {
    target.PumpUntil(n);
    doneAt.push_back(Clock::now() - start);
  }
  EXPECT_GE(doneAt[0], 30ms);
  EXPECT_GE(doneAt[1], 30ms + std::chrono::microseconds(125));
  EXPECT_GE(doneAt[2], 50ms + std::chrono::microseconds(125));
  EXPECT_LT(doneAt[2], 3s);
  ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  const auto got = target.PumpUntil(5);
  const std::vector<Notification> expected = {{MM_WOM_OPEN, 0},
                                              {MM_WOM_DONE, a.param()},
                                              {MM_WOM_DONE, b.param()},
                                              {MM_WOM_DONE, c.param()},
                                              {MM_WOM_CLOSE, 0}};
  EXPECT_EQ(got, expected);
  // The buffers were returned by this thread itself, woken by its own
  // queue; the card's clock steps in only when a waiting thread comes more
  // than a few milliseconds late (a heavily loaded machine), so allow that
  // for some of them.
  const auto posters = target.Posters();
  ASSERT_EQ(posters.size(), 5u);
  EXPECT_GE(std::count(posters.begin() + 1, posters.begin() + 4, std::this_thread::get_id()), 1);
}

TEST(PacedNullWindowTest, BuffersOfAWriterThatDoesNotWaitAreReportedByTheClock) {
  UseWaveOutBackend(CreateNullWaveOutBackend(NullPacing::kRealTime));
  WindowTarget target;
  HWAVEOUT h = nullptr;
  ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &kSlow, &target, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  Buffer a(10 * kBytesPerMs);
  ASSERT_EQ(waveOutPrepareHeader(h, &a.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutWrite(h, &a.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  // This thread sleeps instead of waiting in its queue: the card's own clock
  // returns the buffer (a little after its time) all the same.
  const Clock::time_point limit = Clock::now() + 5s;
  while (target.Posters().size() < 2 && Clock::now() < limit) std::this_thread::sleep_for(5ms);
  EXPECT_NE(a.header.dwFlags & WHDR_DONE, 0u);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  const auto posters = target.Posters();
  ASSERT_EQ(posters.size(), 3u);
  EXPECT_NE(posters[1], std::this_thread::get_id());
  EXPECT_EQ(target.PumpUntil(3).size(), 3u);
}

}  // namespace
}  // namespace tw
