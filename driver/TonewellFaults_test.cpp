// Fault injection over the whole road of the program: TonewellMain plays a
// battle (SynthesizeTone, the player, the device object, the wave output
// functions) on a real sound system wrapped so that the n-th call of one
// kind fails, for every n that a run without faults reaches and every kind.
// Every run must end (a watchdog aborts the program otherwise) and follow
// the rules: the run ends with its report line (a refused format query), or
// the tone ends early with one report on standard error and the battle goes
// on to the same scores. Afterwards the audio objects are freed and every
// stream the sound system opened is closed and gone; leaks and memory
// errors are the sanitizer build's to find. The same for a WAV file whose
// n-th write or seek fails: the file stays a WAV that readers take, whose
// header lags its data by at most one tone.

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
#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_execute_quillmar_audio.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/Tonewell.h"
#include "platform/TestWatchdog.h"
#include "platform/WaveOutApi.h"
#include "platform/WaveOutFaults.h"
#include "platform/WaveOutWav.h"

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

class SilentBeeper : public Beeper {
 public:
  void Beep(int) override {}
};

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string WithoutSeconds(const std::string& text) {
  const size_t at = text.find("Seconds:");
  if (at == std::string::npos) return text;
  return text.substr(0, at) + text.substr(text.find('\n', at) + 1);
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A battle of ten tones: five cycles, then warrior 0 runs into its DAT.
class ShortBattle {
 public:
  ShortBattle() {
    dir_ = fs::temp_directory_path() / ("tonewell-faults-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "dies.red") << "NOP.F $0, $0\nNOP.F $0, $0\nNOP.F $0, $0\n"
                                        "NOP.F $0, $0\nDAT.F $0, $0\n";
    std::ofstream(dir_ / "loops.red") << "JMP.B $0, $0\n";
  }
  ~ShortBattle() { fs::remove_all(dir_); }
  std::vector<std::string> Args(const char* samples) const {
    return {(dir_ / "dies.red").string(), (dir_ / "loops.red").string(), samples};
  }
  fs::path Dir() const { return dir_; }

 private:
  fs::path dir_;
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
    SilentBeeper beeper;
    std::ostringstream out, err;
    ::testing::internal::CaptureStderr();
    Outcome o;
    o.status = TonewellMain(args_, out, err, beeper);
    // A failed run leaves the audio objects to the end of the process; the
    // sound system goes as at the end of a process.
    FreeAudioObjects();
    UseWaveOutBackend(nullptr);
    o.err = ::testing::internal::GetCapturedStderr() + err.str();
    o.out = WithoutSeconds(out.str());
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

TEST(ProgramFaults, EveryFailureOnTheFastNullCardEndsTheToneOrTheRun) {
  // Buffers come back inside the write here, so a short stall bound is safe.
  // Short tones: the synthesis is not what is tried here.
  FaultRoad road("null:fast", {kCountdown, kCrawler, "16"}, 2);
  TryEveryFault(road, "null:fast, Countdown vs Crawler");
}

TEST(ProgramFaults, EveryFailureOnThePacedNullCardEndsTheToneOrTheRun) {
  ShortBattle battle;
  FaultRoad road("null", battle.Args("100"), 250);
  TryEveryFault(road, "null, 10 tones");
}

TEST(ProgramFaults, EveryFailureOnTheWavRecorderEndsTheToneOrTheRun) {
  ShortBattle battle;
  FaultRoad road("wav:" + (battle.Dir() / "battle.wav").string(), battle.Args("1000"), 50);
  TryEveryFault(road, "wav:, 10 tones");
}

TEST(ProgramFaults, EveryFailureOnAlsaEndsTheToneOrTheRun) {
  // ALSA's "default" made a file plugin over a null device.
  ShortBattle battle;
  setenv("ALSA_CONFIG_PATH", TONEWELL_SOURCE_DIR "/platform/testdata/alsa-capture.conf", 1);
  setenv("TONEWELL_ALSA_CAPTURE", (battle.Dir() / "alsa.raw").c_str(), 1);
  FaultRoad road("alsa", battle.Args("1000"), 250);
  TryEveryFault(road, "alsa (file plugin), 10 tones");
}

// ---------------------------------------------------------------- WAV file

// The file of a recording, failing its n-th write (ENOSPC) or seek (EIO).
struct TargetPlan {
  bool failWrites = true;
  uint64_t n = 0;
  uint64_t writes = 0, seeks = 0;
  bool injected = false;
};

class FailingTarget : public WavTarget {
 public:
  FailingTarget(std::unique_ptr<WavTarget> file, TargetPlan& plan)
      : file_(std::move(file)), plan_(plan) {}
  bool Seekable() const override { return file_->Seekable(); }
  bool Write(const void* data, size_t size) override {
    if (Fails(++plan_.writes, true, ENOSPC)) return false;
    return file_->Write(data, size);
  }
  bool Seek(uint64_t offset) override {
    if (Fails(++plan_.seeks, false, EIO)) return false;
    return file_->Seek(offset);
  }
  bool Cut(uint64_t size) override { return file_->Cut(size); }

 private:
  bool Fails(uint64_t count, bool isWrite, int error) {
    if (plan_.n == 0 || isWrite != plan_.failWrites || count != plan_.n) return false;
    plan_.injected = true;
    errno = error;
    return true;
  }
  std::unique_ptr<WavTarget> file_;
  TargetPlan& plan_;
};

uint32_t U32(const std::string& s, size_t at) {
  return static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8 |
         static_cast<uint8_t>(s[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
}

std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "<failed>";
  char chunk[256];
  while (fgets(chunk, sizeof chunk, pipe) != nullptr) out += chunk;
  return pclose(pipe) == 0 ? out : "<failed>";
}

TEST(ProgramFaults, EveryFailingWriteOrSeekOfTheWavFileIsReportedOnceAndLeavesAWav) {
  ShortBattle battle;
  const fs::path wav = battle.Dir() / "battle.wav";
  TargetPlan plan;
  SetWavTargetOpener([&plan](const std::string& path) {
    return std::make_unique<FailingTarget>(OpenWavFile(path), plan);
  });
  FaultRoad road("wav:" + wav.string(), battle.Args("1000"), 50);
  const Outcome clean = road.Run("wav: without faults");
  ASSERT_EQ(clean.status, ExitFinished) << clean.out << clean.err;
  const std::string cleanFile = ReadAll(wav);
  const std::string cleanData = cleanFile.substr(80);
  ASSERT_EQ(cleanData.size(), 10u * 2000u);
  const uint64_t writes = plan.writes, seeks = plan.seeks;

  int points = 0, broken = 0;
  for (const bool failWrites : {true, false}) {
    const uint64_t count = failWrites ? writes : seeks;
    for (uint64_t n = 1; n <= count && broken < 5; ++n) {
      plan = TargetPlan{failWrites, n};
      const std::string what = std::string("wav: ") + (failWrites ? "write " : "seek ") +
                               std::to_string(n) + " of " + std::to_string(count) + " failing";
      const Outcome o = road.Run(what);
      ++points;
      const std::string reason = failWrites ? "No space left on device" : "Input/output error";
      const std::string file = ReadAll(wav);
      std::string problem;
      if (!plan.injected) problem = "never reached";
      if (failWrites && n == 1) {
        // The header of the empty recording: the target fails for good at start-up.
        const std::string line = "EFOpenError: Cannot write to the WAV recording \"" +
                                 wav.string() + "\": " + reason + "\n";
        if (o.status != ExitFailed || o.out != kBanner + line || !o.err.empty()) problem = "report";
      } else {
        if (o.status != ExitFinished || o.out != clean.out || Count(o.err, kReport) != 1 ||
            Count(o.err, wav.string() + "\": " + reason) != 1) {
          problem = "not one report naming the file and the reason";
        }
        const uint32_t data = file.size() >= 80 ? U32(file, 76) : 0;
        if (file.size() < 80 || file.compare(0, 4, "RIFF") != 0 ||
            file.compare(72, 4, "data") != 0 || U32(file, 4) != 72 + data || data % 2000 != 0 ||
            file.size() < 80 + data || file.size() > 80 + data + 2000 ||
            file.compare(80, data, cleanData, 0, data) != 0) {
          problem = "not a WAV of whole tones, or its header lags by more than one tone";
        }
        // The readers themselves, for the first and last failure of each kind.
        if (problem.empty() && (n <= 2 || n == count)) {
          const std::string frames = std::to_string(data / 4) + "\n";
          if (Shell("soxi -s '" + wav.string() + "'") != frames ||
              Shell("python3 -c \"import wave,sys; print(wave.open(sys.argv[1]).getnframes())\" '" +
                    wav.string() + "'") != frames) {
            problem = "SoX or Python's wave reads it otherwise";
          }
        }
      }
      if (!problem.empty()) {
        ++broken;
        ADD_FAILURE() << what << ": " << problem << "\nstatus " << o.status << "\nout:\n"
                      << o.out << "err:\n"
                      << o.err;
      }
    }
  }
  SetWavTargetOpener(nullptr);
  std::cout << "[ faults   ] wav: file, 10 tones: " << points << " fault points tried (write "
            << writes << ", seek " << seeks << "), hangs 0, failures " << broken << "\n";
}

}  // namespace
}  // namespace tw
