// The program's WAV recording killed at any moment (POSIX signals).

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "testing/ProgramRun.h"
#include "testing/StartedProgram.h"
#include "testing/TestFiles.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

using e2e::CommandOutput;
using testing::ReadWholeFile;

class KilledRecording : public ::testing::Test {
 protected:
  testing::ScratchDir scratch_{"tonewell-killed"};
  const fs::path dir_ = scratch_.Path();
};

uint32_t U32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

TEST_F(KilledRecording, ARecordingKilledAtAnyMomentIsAWavWhoseHeaderIsAtMostOneToneBehind) {
  const fs::path wav = dir_ / "killed.wav";
  // A file from an earlier run: overwritten, it must never stop being a WAV.
  const std::string old(100000, 'x');
  std::ofstream(wav) << old;
  int during = 0;
  for (int delayMs : {0, 2, 5, 10, 20, 40, 80, 120, 160, 200, 250, 300}) {
    testing::StartedProgram child(TONEWELL_BINARY_DIR "/tonewell",
                                  {TONEWELL_SOURCE_DIR "/examples/Mice.red",
                                   TONEWELL_SOURCE_DIR "/examples/Piper.red", "1000"},
                                  "/dev/null", "", {{"TONEWELL_AUDIO", "wav:" + wav.string()}});
    ASSERT_TRUE(child.Started());
    // Only chooses the moment of the kill.
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    child.Signal(SIGKILL);
    const testing::ProgramEnd end = child.Wait();
    ASSERT_TRUE(end.ended);
    if (end.signal == 0) continue;  // the battle was over
    const std::string file = ReadWholeFile(wav);
    if (file == old) continue;  // killed before the program got to the recording
    ASSERT_GE(file.size(), 80u) << "killed after " << delayMs << " ms";
    const uint32_t data = U32(file, 76);
    during += data > 0;
    EXPECT_EQ(file.compare(0, 4, "RIFF"), 0);
    EXPECT_EQ(file.compare(72, 4, "data"), 0);
    EXPECT_EQ(U32(file, 4), 72 + data);
    EXPECT_EQ(data % 2000, 0u) << "whole tones only";
    // Stale bytes of the old file may follow an empty recording's header;
    // after that, the data written lead the header by at most one tone.
    if (data > 0) {
      EXPECT_GE(file.size(), 80 + data);
      EXPECT_LE(file.size(), 80 + data + 2000) << "killed after " << delayMs << " ms";
    }
    const std::string frames = std::to_string(data / 4) + "\n";
    EXPECT_EQ(CommandOutput("soxi -s '" + wav.string() + "'"), frames);
    EXPECT_EQ(CommandOutput(
                  "python3 -c \"import wave,sys; print(wave.open(sys.argv[1]).getnframes())\" '" +
                  wav.string() + "'"),
              frames);
  }
  std::cout << "[ killed   ] " << during << " kills hit the battle with tones recorded\n";
}

}  // namespace
}  // namespace tw
