// The fault road on what only Linux has: ALSA, and a WAV file checked by
// SoX and Python's wave module.

#include <cerrno>
#include <cstdio>

#include "driver/TonewellFaults.h"
#include "testing/ProgramRun.h"
#include "testing/TestFiles.h"

namespace tw {
namespace {

using e2e::CommandOutput;
using testing::ReadWholeFile;

TEST(ProgramFaults, EveryFailureOnAlsaEndsTheToneOrTheRun) {
  // ALSA's "default" made a file plugin over a null device.
  ShortBattle battle;
  setenv("ALSA_CONFIG_PATH", TONEWELL_SOURCE_DIR "/sound/testdata/alsa-capture.conf", 1);
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
  const std::string cleanFile = ReadWholeFile(wav);
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
      const std::string file = ReadWholeFile(wav);
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
          if (CommandOutput("soxi -s '" + wav.string() + "'") != frames ||
              CommandOutput(
                  "python3 -c \"import wave,sys; print(wave.open(sys.argv[1]).getnframes())\" '" +
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
