#include "driver/CommandLine.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "testing/RecordingBeeper.h"

namespace tw {
namespace {

using testing::RecordingBeeper;

const std::string kWarrior = TONEWELL_SOURCE_DIR "/examples/Mice.red";
const std::string kOther = TONEWELL_SOURCE_DIR "/examples/Piper.red";
const std::string kMissing = TONEWELL_SOURCE_DIR "/examples/no-such-warrior.red";
const std::string kDirectory = TONEWELL_SOURCE_DIR "/examples";

CommandLineVerdict Check(const std::vector<std::string>& args, CommandLine* out = nullptr) {
  CommandLine command_line;
  CommandLineVerdict verdict = CheckCommandLine(args, command_line);
  if (out != nullptr) *out = command_line;
  return verdict;
}

TEST(CheckCommandLine, AcceptsTwoFilesAndANumber) {
  CommandLine c;
  EXPECT_EQ(Check({kWarrior, kOther, "10000"}, &c), CommandLineVerdict::kAccepted);
  EXPECT_EQ(c.Warrior1FileName, kWarrior);
  EXPECT_EQ(c.Warrior2FileName, kOther);
  EXPECT_EQ(c.SoundSamples, 10000);
  EXPECT_EQ(Check({kWarrior, kOther, "+25"}, &c), CommandLineVerdict::kAccepted);
  EXPECT_EQ(c.SoundSamples, 25);
  EXPECT_EQ(Check({kWarrior, kOther, "$19"}, &c), CommandLineVerdict::kAccepted);
  EXPECT_EQ(c.SoundSamples, 25);
  // A negative count passes here; sizing the sample arrays rejects it later.
  EXPECT_EQ(Check({kWarrior, kWarrior, "-5"}, &c), CommandLineVerdict::kAccepted);
}

TEST(CheckCommandLine, ChecksRunInTheirOrder) {
  EXPECT_EQ(Check({}), CommandLineVerdict::kWrongArgumentCount);
  EXPECT_EQ(Check({kWarrior, kOther}), CommandLineVerdict::kWrongArgumentCount);
  EXPECT_EQ(Check({kWarrior, kOther, "1", "2"}), CommandLineVerdict::kWrongArgumentCount);
  // File 1 is checked before file 2, and both before the number.
  EXPECT_EQ(Check({kMissing, kMissing, "x"}), CommandLineVerdict::kWarrior1Missing);
  EXPECT_EQ(Check({kDirectory, kOther, "10"}), CommandLineVerdict::kWarrior1Missing);
  EXPECT_EQ(Check({"", kOther, "10"}), CommandLineVerdict::kWarrior1Missing);
  EXPECT_EQ(Check({kWarrior, kMissing, "x"}), CommandLineVerdict::kWarrior2Missing);
  EXPECT_EQ(Check({kWarrior, kDirectory, "10"}), CommandLineVerdict::kWarrior2Missing);
  for (const char* bad : {"10k", "", "25 ", "2147483648", "$100000000", "1e4"}) {
    EXPECT_EQ(Check({kWarrior, kOther, bad}), CommandLineVerdict::kBadSoundSamples) << bad;
  }
}

TEST(AnswerRejectedCommandLine, BeepsTellWhichCheckFailed) {
  struct Case {
    CommandLineVerdict verdict;
    std::vector<int> pauses;
    bool usage;
  };
  const Case cases[] = {
      {CommandLineVerdict::kWrongArgumentCount, {100, 100, 100, 100, 100, 100}, true},
      {CommandLineVerdict::kWarrior1Missing, {500}, false},
      {CommandLineVerdict::kWarrior2Missing, {500, 500}, false},
      {CommandLineVerdict::kBadSoundSamples, {500, 500, 500}, false},
      {CommandLineVerdict::kAccepted, {}, false},
  };
  for (const Case& c : cases) {
    RecordingBeeper beeper;
    std::ostringstream out;
    AnswerRejectedCommandLine(c.verdict, beeper, out);
    EXPECT_EQ(beeper.pauses, c.pauses);
    EXPECT_EQ(out.str(), c.usage ? "Usage:\n"
                                   "Tonewell.exe Warrior1 Warrior2 SoundSamples\n"
                                   "\n"
                                   "Example:\n"
                                   "Tonewell.exe Mice.red Piper.red 10000\n"
                                 : "");
  }
}

}  // namespace
}  // namespace tw
