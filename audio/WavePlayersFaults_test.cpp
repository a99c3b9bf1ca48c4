// The player's calls that the battle never makes (pause, resume, position,
// volume, a new position, a stop in the tail) with each call of the sound
// system failing in turn: every call and wait still returns, at most one
// failure is seen (an exception to the caller or a report on standard
// error), and every stream the sound system opened is closed and gone.

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/WavePlayers.h"
#include "platform/WaveOutApi.h"
#include "sound/Selection.h"
#include "testing/TestWatchdog.h"
#include "testing/WaveOutFaults.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using testing::FaultPlan;
using testing::WaveOutFault;

std::unique_ptr<TWave> ToneWave(int Ms) {
  std::vector<int16_t> samples(static_cast<size_t>(Ms) * 88200 / 1000, 1000);
  auto wave = std::make_unique<TWave>();
  wave->BeginRewritePCM(16);
  wave->Write(samples.data(), static_cast<int32_t>(samples.size() * 2));
  wave->EndRewrite();
  return wave;
}

void ServeQueued() {
  Event never;
  WaitForSyncObject(&never, 0);
}

// Returns how many failures reached the caller.
int PlayAboutAndStop(TWaveStreamAdapter* longWave, TWaveStreamAdapter* shortWave) {
  int raised = 0;
  auto attempt = [&raised](auto&& call) {
    try {
      call();
    } catch (const EWaveAudioError&) {
      ++raised;
    }
  };
  TAudioPlayer player(nullptr);
  player.SetOptions({woSetVolume});
  player.SetBufferLength(10);  // five buffers of the long wave
  // A play paused from its open, moved and turned down while paused, then
  // resumed to its end.
  attempt([&] { player.SetPaused(true); });
  player.SetWave(longWave);
  attempt([&] { player.SetActive(true); });
  ServeQueued();
  (void)player.Position();
  attempt([&] { player.SetVolume(50); });
  (void)player.Volume();
  player.SetPosition(20);
  ServeQueued();
  attempt([&] { player.SetPaused(false); });
  // A paused play has no end to wait for: a caller whose resume failed stops.
  if (player.Paused()) player.SetActive(false);
  player.WaitUntilClosed();
  // A play paused in the tail of its data, then destroyed.
  attempt([&] { player.SetPaused(true); });
  player.SetWave(shortWave);
  attempt([&] { player.SetActive(true); });
  ServeQueued();
  return raised;
}

TEST(AudioPlayerFaults, EveryFailingCallOfAPlayMovedAboutStillEnds) {
  testing::KeepSanitizerReportsVisible();
  auto plan = std::make_shared<FaultPlan>();
  WrapSelectedWaveOutput(testing::FaultInjector(plan));
  TWaveAudioIO::SetDefaultStallTimeout(20);
  auto longWave = ToneWave(50);
  auto shortWave = ToneWave(5);
  auto run = [&](const std::string& what) {
    testing::Watchdog watchdog(what, 60s);
    SelectWaveOutput("null:fast");
    ::testing::internal::CaptureStderr();
    const int raised = PlayAboutAndStop(longWave.get(), shortWave.get());
    const std::string err = ::testing::internal::GetCapturedStderr();
    UseWaveOutBackend(nullptr);
    int reports = 0;
    for (size_t at = err.find("Exception "); at != std::string::npos;
         at = err.find("Exception ", at + 1)) {
      ++reports;
    }
    return std::make_pair(raised + reports, err);
  };

  plan->Arm(WaveOutFault::kQuery, 0);
  ASSERT_EQ(run("the play without faults").first, 0);
  std::vector<std::pair<WaveOutFault, uint64_t>> kinds;
  for (int k = 0; k < testing::kWaveOutFaultKinds; ++k) {
    const auto kind = static_cast<WaveOutFault>(k);
    kinds.push_back({kind, plan->Calls(kind)});
  }
  int points = 0, broken = 0;
  std::string perKind;
  for (const auto& [kind, n] : kinds) {
    perKind += std::string(perKind.empty() ? "" : ", ") + testing::FaultName(kind) + " " +
               std::to_string(n);
    for (uint64_t i = 1; i <= n && broken < 5; ++i) {
      plan->Arm(kind, i);
      const std::string what = std::string(testing::FaultName(kind)) + " call " +
                               std::to_string(i) + " of " + std::to_string(n) + " failing";
      const auto [seen, err] = run(what);
      ++points;
      if (!plan->Injected() || seen > 1 || plan->LiveStreams() != 0) {
        ++broken;
        ADD_FAILURE() << what << ": reached " << plan->Injected() << ", failures seen " << seen
                      << ", streams left open " << plan->LiveStreams() << "\n"
                      << err;
      }
    }
  }
  WrapSelectedWaveOutput(nullptr);
  TWaveAudioIO::SetDefaultStallTimeout(5000);
  std::cout << "[ faults   ] player moved about on null:fast: " << points << " fault points tried ("
            << perKind << "), hangs 0, failures " << broken << "\n";
  for (WaveOutFault kind : {WaveOutFault::kReset, WaveOutFault::kPause, WaveOutFault::kRestart,
                            WaveOutFault::kPosition, WaveOutFault::kVolume}) {
    EXPECT_GT(kinds[static_cast<int>(kind)].second, 0u) << testing::FaultName(kind);
  }
}

// A device that takes buffers and never gives them back, not even on reset.
struct StuckDevice {
  WaveOutSink* Sink = nullptr;
  std::mutex Mutex;  // the callback thread writes in thread mode
  std::vector<WAVEHDR*> Held;
  size_t HeldCount() {
    std::lock_guard lock(Mutex);
    return Held.size();
  }
};

class StuckStream : public WaveOutStream {
 public:
  explicit StuckStream(std::shared_ptr<StuckDevice> Device) : D(std::move(Device)) {}
  MMRESULT Write(WAVEHDR* header) override {
    std::lock_guard lock(D->Mutex);
    D->Held.push_back(header);
    return MMSYSERR_NOERROR;
  }
  MMRESULT Reset() override { return MMSYSERR_NOERROR; }
  MMRESULT Pause() override { return MMSYSERR_NOERROR; }
  MMRESULT Restart() override { return MMSYSERR_NOERROR; }
  MMRESULT GetPosition(uint64_t& frames) override {
    frames = 0;
    return MMSYSERR_NOERROR;
  }
  MMRESULT GetVolume(uint32_t&) override { return MMSYSERR_NOTSUPPORTED; }
  MMRESULT SetVolume(uint32_t) override { return MMSYSERR_NOTSUPPORTED; }
  MMRESULT Close() override {
    std::lock_guard lock(D->Mutex);
    return D->Held.empty() ? MMSYSERR_NOERROR : WAVERR_STILLPLAYING;
  }

 private:
  std::shared_ptr<StuckDevice> D;
};

class StuckBackend : public WaveOutBackend {
 public:
  explicit StuckBackend(std::shared_ptr<StuckDevice> Device) : D(std::move(Device)) {}
  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    caps = WAVEOUTCAPS{};
    return MMSYSERR_NOERROR;
  }
  MMRESULT Query(const WAVEFORMATEX&) override { return MMSYSERR_NOERROR; }
  MMRESULT Open(const WAVEFORMATEX&, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    D->Sink = &sink;
    stream = std::make_unique<StuckStream>(D);
    return MMSYSERR_NOERROR;
  }

 private:
  std::shared_ptr<StuckDevice> D;
};

TEST(AudioPlayerFaults, ADeviceThatNeverGivesItsBuffersBackIsGivenUpWithOneReport) {
  testing::KeepSanitizerReportsVisible();
  auto device = std::make_shared<StuckDevice>();
  UseWaveOutBackend(std::make_unique<StuckBackend>(device));
  auto wave = ToneWave(5);
  for (const bool async : {false, true}) {
    device->Held.clear();
    testing::Watchdog watchdog("a play on a stuck device", 60s);
    ::testing::internal::CaptureStderr();
    {
      TAudioPlayer player(nullptr);
      player.SetAsync(async);
      player.SetStallTimeout(10);
      player.SetWave(wave.get());
      player.SetActive(true);
      player.WaitUntilOpened();
      player.WaitUntilClosed();  // window mode: the watchdog of the wait ends it
      // Thread mode: the stop comes once the device holds the buffer.
      Event never;
      while (async && device->HeldCount() == 0) WaitForSyncObject(&never, 1);
      player.SetActive(false);
      player.WaitUntilClosed();  // thread mode: the stop's wait ends it
      EXPECT_FALSE(player.Active());
      EXPECT_EQ(player.ActiveBufferCount(), 0);
      EXPECT_EQ(player.Wave()->State(), wssIdle);
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("Exception EWaveAudioSysError in module ", 0), 0u) << err;
    EXPECT_NE(err.find("\nThe sound output stopped responding"), std::string::npos) << err;
    EXPECT_EQ(err.find("Exception", 1), std::string::npos) << "reported once: " << err;
    // The device wakes up after all: the buffers it held are still there
    // for it, and its reports go nowhere.
    ASSERT_EQ(device->Held.size(), 1u);
    for (WAVEHDR* h : device->Held) device->Sink->BufferDone(h);
  }
  UseWaveOutBackend(nullptr);
}

}  // namespace
}  // namespace tw
