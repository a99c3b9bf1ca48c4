#pragma once
// The fault road of the program for TonewellFaults_test.cpp and
// TonewellFaults_posix_test.cpp: TonewellMain on a sound system wrapped by a
// fault injector, a short battle, and the loop that tries every fault point.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "audio/WaveIO.h"
#include "core/ToneAudio.h"
#include "core/unit_core_execute_quillmar.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/Tonewell.h"
#include "platform/WaveOutApi.h"
#include "sound/Selection.h"
#include "sound/WavRecorder.h"
#include "testing/ProgramRun.h"
#include "testing/RecordingBeeper.h"
#include "testing/TestFiles.h"
#include "testing/TestWatchdog.h"
#include "testing/WaveOutFaults.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FaultPlan;
using testing::WaveOutFault;

const std::string kCountdown = TONEWELL_SOURCE_DIR "/examples/Countdown.red";
const std::string kCrawler = TONEWELL_SOURCE_DIR "/examples/Crawler.red";
const char kBanner[] =
    "ORVIS Battle System/Core Executor Tonalator\nTonewell " TONEWELL_TEST_VERSION
    "\n\nprogram started\n";
const char kReport[] = "Exception EWaveAudioSysError in module ";

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A battle of ten tones: five cycles, then warrior 0 runs into its DAT.
class ShortBattle {
 public:
  ShortBattle() {
    std::ofstream(dir_ / "dies.red") << "NOP.F $0, $0\nNOP.F $0, $0\nNOP.F $0, $0\n"
                                        "NOP.F $0, $0\nDAT.F $0, $0\n";
    std::ofstream(dir_ / "loops.red") << "JMP.B $0, $0\n";
  }
  std::vector<std::string> Args(const char* samples) const {
    return {(dir_ / "dies.red").string(), (dir_ / "loops.red").string(), samples};
  }
  fs::path Dir() const { return dir_; }

 private:
  testing::ScratchDir scratch_{"tonewell-faults"};
  fs::path dir_ = scratch_.Path();
};

struct Outcome {
  int status = -1;
  std::string out;  // without the Seconds line
  std::string err;  // standard error of the run
  int liveStreams = 0;
};

// The program's road on TONEWELL_AUDIO = audio, its sound system wrapped by
// the plan's fault injector.
class FaultRoad {
 public:
  FaultRoad(const std::string& audio, std::vector<std::string> args, uint32_t stallTimeoutMs)
      : args_(std::move(args)) {
    testing::KeepSanitizerReportsVisible();
    setenv("TONEWELL_AUDIO", audio.c_str(), 1);
    WrapSelectedWaveOutput(testing::FaultInjector(plan_));
    TWaveAudioIO::SetDefaultStallTimeout(stallTimeoutMs);
  }
  ~FaultRoad() {
    WrapSelectedWaveOutput(nullptr);
    TWaveAudioIO::SetDefaultStallTimeout(5000);
    UseWaveOutBackend(nullptr);
  }

  FaultPlan& Plan() { return *plan_; }

  Outcome Run(const std::string& what) {
    testing::Watchdog watchdog(what, 60s);
    RandomSeed = 0;
    testing::RecordingBeeper beeper;
    std::ostringstream out, err;
    ::testing::internal::CaptureStderr();
    Outcome o;
    o.status = TonewellMain(args_, out, err, beeper);
    // A failed run leaves the audio objects to the end of the process; the
    // sound system goes as at the end of a process.
    FreeAudioObjects();
    UseWaveOutBackend(nullptr);
    o.err = ::testing::internal::GetCapturedStderr() + err.str();
    o.out = e2e::WithoutSecondsLine(out.str());
    o.liveStreams = plan_->LiveStreams();
    return o;
  }

 private:
  std::shared_ptr<FaultPlan> plan_ = std::make_shared<FaultPlan>();
  std::vector<std::string> args_;
};

const WaveOutFault kAllKinds[] = {
    WaveOutFault::kQuery, WaveOutFault::kOpen,    WaveOutFault::kWrite,    WaveOutFault::kReset,
    WaveOutFault::kPause, WaveOutFault::kRestart, WaveOutFault::kPosition, WaveOutFault::kVolume,
    WaveOutFault::kClose, WaveOutFault::kStall};

// Runs the road once without faults, then once per fault point; checks the
// rules and prints the figure.
void TryEveryFault(FaultRoad& road, const std::string& name) {
  road.Plan().Arm(WaveOutFault::kQuery, 0);
  const Outcome clean = road.Run(name + " without faults");
  ASSERT_EQ(clean.status, ExitFinished) << clean.out << clean.err;
  ASSERT_EQ(clean.err, "");
  ASSERT_EQ(clean.liveStreams, 0);
  uint64_t calls[testing::kWaveOutFaultKinds];
  for (WaveOutFault kind : kAllKinds) calls[static_cast<int>(kind)] = road.Plan().Calls(kind);
  ASSERT_GT(calls[static_cast<int>(WaveOutFault::kWrite)], 0u);

  int points = 0, broken = 0, unfreed = 0;
  std::string perKind;
  for (WaveOutFault kind : kAllKinds) {
    const uint64_t n = calls[static_cast<int>(kind)];
    perKind += std::string(perKind.empty() ? "" : ", ") + testing::FaultName(kind) + " " +
               std::to_string(n);
    for (uint64_t i = 1; i <= n && broken < 5; ++i) {
      road.Plan().Arm(kind, i);
      const std::string what = name + ": " + testing::FaultName(kind) + " call " +
                               std::to_string(i) + " of " + std::to_string(n) + " failing";
      const Outcome o = road.Run(what);
      ++points;
      unfreed += o.liveStreams;
      const bool injected = road.Plan().Injected();
      bool ok;
      if (kind == WaveOutFault::kQuery) {
        // A format the output refuses ends the run with its report line.
        ok = o.status == ExitFailed &&
             o.out == std::string(kBanner) + "EWaveAudioSysError: " + road.Plan().Text() + "\n" &&
             o.err.empty();
      } else {
        // The tone ends early, says so once, and the battle goes on.
        ok = o.status == ExitFinished && o.out == clean.out && Count(o.err, kReport) == 1;
      }
      if (!injected || !ok || o.liveStreams != 0) {
        ++broken;
        ADD_FAILURE() << what << (injected ? "" : " (never reached)") << "\nstatus " << o.status
                      << ", streams left open " << o.liveStreams << "\nout:\n"
                      << o.out << "err:\n"
                      << o.err;
      }
    }
  }
  std::cout << "[ faults   ] " << name << ": " << points << " fault points tried (" << perKind
            << "), hangs 0, unfreed streams " << unfreed << ", failures " << broken << "\n";
}

}  // namespace
}  // namespace tw
