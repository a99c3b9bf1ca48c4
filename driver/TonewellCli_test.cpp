// End to end: runs the built program as a user would and looks at its
// standard output, standard error and exit status.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/ProgramRun.h"

namespace {

namespace fs = std::filesystem;
using tw::e2e::kBeepOnStandardError;
using tw::e2e::ProgramOutcome;

const std::string kProgram = TONEWELL_BINARY_DIR "/tonewell";
const std::string kExamples = TONEWELL_SOURCE_DIR "/examples";

using Outcome = ProgramOutcome;

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    // The program's tones go to a sound card that discards them at once.
    setenv("TONEWELL_AUDIO", "null:fast", 1);
    std::string pattern = (fs::temp_directory_path() / "tonewell-cli-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
  }
  // Under Wine the first beep starts the system's desktop process, which
  // inherits the program's standard streams and keeps them a while: a file
  // still open there is left behind rather than failing the test.
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string Write(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  Outcome RunProgram(const std::vector<std::string>& args) {
    const Outcome outcome = tw::e2e::RunProgram(kProgram, args, dir_);
    if (outcome.status == -1) ADD_FAILURE() << "cannot run " << kProgram;
    return outcome;
  }

  fs::path dir_;
};

const std::string kBannerStart = "ORVIS Battle System/Core Executor Tonalator\nTonewell ";

TEST_F(Cli, TheBundledBattle) {
  const Outcome o = RunProgram({kExamples + "/Mice.red", kExamples + "/Piper.red", "1000"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out.rfind(kBannerStart, 0), 0u) << o.out;
  EXPECT_NE(o.out.find("\n\nprogram started\nWarrior[0].Score: 3\nWarrior[1].Score: 0\nSeconds: "),
            std::string::npos)
      << o.out;
  EXPECT_TRUE(o.out.ends_with("\nprogram finished\n")) << o.out;
}

TEST_F(Cli, AWrongArgumentCountBeepsSixTimesAndPrintsTheUsage) {
  const Outcome o = RunProgram({"one"});
  EXPECT_EQ(o.status, 2);
  std::string six_beeps;
  for (int i = 0; i < 6; ++i) six_beeps += kBeepOnStandardError;
  EXPECT_EQ(o.err, six_beeps);
  EXPECT_EQ(o.out,
            "Usage:\nTonewell.exe Warrior1 Warrior2 SoundSamples\n\nExample:\n"
            "Tonewell.exe Mice.red Piper.red 10000\n");
}

TEST_F(Cli, AMissingFileOrABadNumberBeepsWithoutText) {
  Outcome o = RunProgram({kExamples, kExamples + "/Piper.red", "10"});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, kBeepOnStandardError);
  EXPECT_EQ(o.out, "");
  o = RunProgram({kExamples + "/Mice.red", kExamples + "/Piper.red", "10k"});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, kBeepOnStandardError + kBeepOnStandardError + kBeepOnStandardError);
  EXPECT_EQ(o.out, "");
}

TEST_F(Cli, AMalformedWarriorEndsTheRunWithOneReportLine) {
  const std::string bad =
      Write("bad.red", ";redcode-94\r\n;name x\r\n\r\nMOV.I $0, $1\r\nMOV $0, $1\r\n");
  const Outcome o = RunProgram({kExamples + "/Mice.red", bad, "+25"});
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(o.out.ends_with("\nprogram started\nException: Failed to find modifier\n")) << o.out;
  EXPECT_EQ(o.err, "Warrior file \"" + bad + "\", line 5: MOV $0, $1\n");
}

TEST_F(Cli, BinaryAndDeviceInputNeverCrash) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 73 + 11) % 255 + 1);
  const std::string noise = Write("noise.red", binary);
  Outcome o = RunProgram({noise, kExamples + "/Piper.red", "$19"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find("\nException: Failed to "), std::string::npos) << o.out;
  if (fs::exists("/dev/zero")) {
    // Endless NUL bytes: the text ends at the first one, the warrior is empty.
    o = RunProgram({"/dev/zero", kExamples + "/Piper.red", "0"});
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("Warrior[0].Score: 0\nWarrior[1].Score: 3\n"), std::string::npos);
  }
}

}  // namespace
