// Requests that arrive after the player's data has ended, while its last
// buffer is still with the device (paused or not): stop, destroy, a new wave
// with a restart, and a new position all take effect, in window and thread
// mode. Played on the paced null card with one-second buffers and a 300 ms
// wave, so the whole wave sits in one buffer at the device. Every case runs
// under a watchdog, so a regression fails instead of hanging.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "audio/WavePlayers.h"
#include "platform/WaveOutApi.h"
#include "sound/Selection.h"
#include "testing/TestWatchdog.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Milliseconds of the tone format, with a recognisable peak level.
std::unique_ptr<TWave> ToneWave(int Ms, int16_t Peak) {
  std::vector<int16_t> samples(static_cast<size_t>(Ms) * 88200 / 1000, 0);
  samples[10] = Peak;
  auto wave = std::make_unique<TWave>();
  EXPECT_TRUE(wave->BeginRewritePCM(16));
  wave->Write(samples.data(), static_cast<int32_t>(samples.size() * 2));
  EXPECT_TRUE(wave->EndRewrite());
  return wave;
}

class AudioPlayerTail : public ::testing::TestWithParam<std::tuple<bool, bool>> {
 protected:
  void SetUp() override {
    SelectWaveOutput("null");
    player_ = std::make_unique<TAudioPlayer>(nullptr);
    player_->SetAsync(Async());
    player_->OnLevel = [this](TWaveAudioIO*, int32_t level) {
      std::lock_guard lock(mutex_);  // the callback thread reports in thread mode
      levels_.push_back(level);
    };
    player_->OnDeactivate = [this](TWaveAudioIO*) {
      ++closes_;
      closed_.Set();
    };
  }
  void TearDown() override { player_.reset(); }

  bool Async() const { return std::get<0>(GetParam()); }
  bool Paused() const { return std::get<1>(GetParam()); }

  // Plays `wave` until its data has ended: one buffer left at the device.
  void PlayIntoTheTail(TWaveStreamAdapter* wave) {
    player_->SetWave(wave);
    player_->SetActive(true);
    player_->WaitUntilOpened();
    if (Paused()) player_->SetPaused(true);
    Event never;
    while (!player_->Closing()) WaitForSyncObject(&never, Async() ? 1 : 0);
    ASSERT_TRUE(player_->Active());
    ASSERT_EQ(player_->ActiveBufferCount(), 1);
  }

  // Window mode: the wait pumps. Thread mode: the callback thread reports.
  void WaitForCloses(int count) {
    while (closes_ < count) {
      if (Async()) {
        WaitForSyncObject(&closed_, 100);
        closed_.Reset();
      } else {
        player_->WaitUntilClosed();
      }
    }
    player_->WaitUntilClosed();
  }

  void ExpectIdle() {
    EXPECT_FALSE(player_->Active());
    EXPECT_EQ(player_->ActiveBufferCount(), 0);
    EXPECT_EQ(player_->Wave()->State(), wssIdle);
  }

  std::unique_ptr<TAudioPlayer> player_;
  std::mutex mutex_;
  std::vector<int32_t> levels_;
  std::atomic<int> closes_{0};
  Event closed_;
};

std::string CaseName(const ::testing::TestParamInfo<std::tuple<bool, bool>>& info) {
  return std::string(std::get<0>(info.param) ? "Thread" : "Window") +
         (std::get<1>(info.param) ? "Paused" : "Playing");
}

INSTANTIATE_TEST_SUITE_P(Modes, AudioPlayerTail,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()), CaseName);

TEST_P(AudioPlayerTail, StopTakesEffectAtOnce) {
  testing::Watchdog watchdog("stop after the data ended", 20s);
  // Three seconds in one buffer: played out, the stop would take that long.
  player_->SetBufferLength(5000);
  auto wave = ToneWave(3000, 16384);
  PlayIntoTheTail(wave.get());
  const auto start = Clock::now();
  player_->SetActive(false);
  if (!Async()) {
    // The reset handed the buffer back: what is queued already closes it.
    Event never;
    WaitForSyncObject(&never, 0);
    EXPECT_FALSE(player_->Active());
  }
  player_->WaitUntilClosed();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  ExpectIdle();
  EXPECT_EQ(closes_, 1);
  EXPECT_LT(ms.count(), 2000) << "the buffer came back at once, not after its sound";
}

TEST_P(AudioPlayerTail, DestroyTakesEffect) {
  testing::Watchdog watchdog("destroy after the data ended", 10s);
  auto wave = ToneWave(300, 16384);
  PlayIntoTheTail(wave.get());
  player_.reset();
}

TEST_P(AudioPlayerTail, NewWaveAndRestartPlayTheNewWave) {
  testing::Watchdog watchdog("new wave and restart after the data ended", 10s);
  auto first = ToneWave(300, 16384);   // peak 50 %
  auto second = ToneWave(100, 32767);  // peak 100 %
  PlayIntoTheTail(first.get());
  player_->SetWave(second.get());
  player_->SetActive(true);
  player_->WaitUntilOpened();
  if (Paused()) {
    EXPECT_TRUE(player_->Paused()) << "the pause carries over to the new play";
    player_->SetPaused(false);
  }
  WaitForCloses(2);
  ExpectIdle();
  // Each play: its buffer's peak when queued, 0 when it closed.
  std::lock_guard lock(mutex_);
  EXPECT_EQ(levels_, (std::vector<int32_t>{50, 0, 100, 0}));
}

TEST_P(AudioPlayerTail, NewPositionPlaysOnFromThere) {
  testing::Watchdog watchdog("new position after the data ended", 10s);
  auto wave = ToneWave(300, 16384);
  PlayIntoTheTail(wave.get());
  player_->SetPosition(0);
  EXPECT_TRUE(player_->Active());
  if (Paused()) player_->SetPaused(false);
  WaitForCloses(1);
  ExpectIdle();
  // The wave was queued a second time from its start, then the play closed.
  std::lock_guard lock(mutex_);
  EXPECT_EQ(levels_, (std::vector<int32_t>{50, 50, 0}));
}

}  // namespace
}  // namespace tw
