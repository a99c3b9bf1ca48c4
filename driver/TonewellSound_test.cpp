// The program's sound, end to end: the built program renders a short battle
// into a WAV file, which must hold exactly the tones of the executed
// instructions in execution order.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/ToneAudio.h"
#include "core/unit_core_utils.h"
#include "testing/ProgramRun.h"
#include "testing/TestFiles.h"
#include "testing/ToneTestSupport.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using testing::ReadWholeFile;

std::vector<int16_t> Tone(const char* line, int32_t n) {
  return testing::TonePcm(testing::CellOf(line), n);
}

class ProgramSound : public ::testing::Test {
 protected:
  // Runs the program with TONEWELL_AUDIO=Audio; returns its standard output
  // followed by its standard error.
  std::string Run(const std::string& audio, const std::string& w1, const std::string& w2,
                  const std::string& samples) {
    std::ofstream(dir_ / "w1.red") << w1;
    std::ofstream(dir_ / "w2.red") << w2;
    const e2e::ProgramOutcome o =
        e2e::RunProgram(TONEWELL_BINARY_DIR "/tonewell",
                        {(dir_ / "w1.red").string(), (dir_ / "w2.red").string(), samples}, dir_,
                        {{"TONEWELL_AUDIO", audio}});
    EXPECT_NE(o.status, -1);
    return o.out + o.err;
  }

  testing::ScratchDir scratch_{"tonewell-sound"};
  const fs::path dir_ = scratch_.Path();
};

TEST_F(ProgramSound, EveryExecutedInstructionIsHeardInOrder) {
  const fs::path wav = dir_ / "battle.wav";
  // Cycle 1: warrior 0 executes its DAT and dies, warrior 1 its MOV; the
  // round ends with those two tones.
  const std::string output = Run("wav:" + wav.string(), "DAT.F $0, $0\n", "MOV.I $0, $1\n", "40");
  ASSERT_NE(output.find("program finished"), std::string::npos) << output;
  std::vector<int16_t> expected = Tone("DAT.F $0, $0", 40);
  const auto mov = Tone("MOV.I $0, $1", 40);
  expected.insert(expected.end(), mov.begin(), mov.end());

  const std::string bytes = ReadWholeFile(wav);
  ASSERT_EQ(bytes.size(), 80 + expected.size() * 2) << "the 80-byte header and both tones";
  EXPECT_EQ(bytes.compare(0, 4, "RIFF"), 0);
  EXPECT_EQ(bytes.compare(72, 4, "data"), 0);
  EXPECT_EQ(std::memcmp(bytes.data() + 80, expected.data(), expected.size() * 2), 0);
}

TEST_F(ProgramSound, BadSoundSettingsAndSampleCountsEndWithOneReportLine) {
  std::string output = Run("bogus", "MOV.I $0, $1\n", "MOV.I $0, $1\n", "40");
  EXPECT_NE(output.find("program started\nEAudioSettingError: "), std::string::npos) << output;
  EXPECT_EQ(output.find("Score"), std::string::npos);

  output = Run("null:fast", "MOV.I $0, $1\n", "MOV.I $0, $1\n", "1");
  EXPECT_NE(output.find("program started\nEInvalidOp: Invalid floating point operation\n"),
            std::string::npos)
      << output;

  output = Run("null:fast", "JMP.B $0, $0\n", "JMP.B $0, $0\n", "0");
  EXPECT_NE(output.find("program finished"), std::string::npos) << "empty tones play" << output;
}

}  // namespace
}  // namespace tw
