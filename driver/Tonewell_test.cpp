#include "driver/Tonewell.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/ToneAudio.h"
#include "core/unit_core_execute_quillmar.h"
#include "core/unit_random_warrior_position_generator.h"
#include "runtime/Exceptions.h"
#include "testing/RecordingBeeper.h"
#include "testing/TestFiles.h"

namespace tw {
namespace {

using testing::RecordingBeeper;

const std::string kMice = TONEWELL_SOURCE_DIR "/examples/Mice.red";
const std::string kPiper = TONEWELL_SOURCE_DIR "/examples/Piper.red";
const char kBanner[] =
    "ORVIS Battle System/Core Executor Tonalator\nTonewell " TONEWELL_TEST_VERSION
    "\n\nprogram started\n";

struct Result {
  int status;
  std::string out, err;
  std::vector<int> beeps;
};

// Tones go to a sound card that discards them at once.
void UseSilentSoundOutput() { setenv("TONEWELL_AUDIO", "null:fast", 1); }

Result Main(const std::vector<std::string>& args) {
  UseSilentSoundOutput();
  RandomSeed = 0;  // as in a fresh process
  RecordingBeeper beeper;
  std::ostringstream out, err;
  const int status = TonewellMain(args, out, err, beeper);
  // A failed run leaves the audio objects to the end of the process; this
  // process goes on with more runs.
  FreeAudioObjects();
  return {status, out.str(), err.str(), beeper.pauses};
}

using testing::TempFile;

TEST(FormatSeconds, IsFixedTwoDecimalsRightAlignedInFourteen) {
  EXPECT_EQ(FormatSeconds(3.456L), "          3.46");
  EXPECT_EQ(FormatSeconds(0.0L), "          0.00");
  EXPECT_EQ(FormatSeconds(12345.675L).size(), 14u);
  EXPECT_EQ(FormatSeconds(123456789012.5L), "123456789012.50");  // wider values are not cut
}

TEST(TonewellMain, ABattlePrintsTheWholeRunAndExitsZero) {
  const Result r = Main({kMice, kPiper, "1000"});
  EXPECT_EQ(r.status, ExitFinished);
  EXPECT_TRUE(r.beeps.empty());
  EXPECT_EQ(r.err, "");
  const std::string head = std::string(kBanner) +
                           "Warrior[0].Score: 3\n"
                           "Warrior[1].Score: 0\n"
                           "Seconds: ";
  ASSERT_EQ(r.out.substr(0, head.size()), head) << r.out;
  const std::string figure = r.out.substr(head.size(), 14);
  EXPECT_EQ(figure.find_first_not_of(" 0123456789."), std::string::npos) << figure;
  EXPECT_EQ(figure.substr(11, 1), ".");
  EXPECT_EQ(r.out.substr(head.size() + 14), "\nprogram finished\n");
  const std::string seconds_line = r.out.substr(r.out.find("Seconds: "));
  EXPECT_EQ(seconds_line.find('\n'), 9u + 14u);
}

TEST(TonewellMain, RejectedCommandLinesExitTwo) {
  Result r = Main({});
  EXPECT_EQ(r.status, ExitRejected);
  EXPECT_EQ(r.beeps.size(), 6u);
  EXPECT_EQ(r.out.rfind("Usage:\n", 0), 0u);

  r = Main({kMice, TONEWELL_SOURCE_DIR "/examples", "10"});
  EXPECT_EQ(r.status, ExitRejected);
  EXPECT_EQ(r.beeps, (std::vector<int>{500, 500}));
  EXPECT_EQ(r.out, "");

  r = Main({kMice, kPiper, "10k"});
  EXPECT_EQ(r.status, ExitRejected);
  EXPECT_EQ(r.beeps, (std::vector<int>{500, 500, 500}));
  EXPECT_EQ(r.out, "");
}

TEST(TonewellMain, AFailingLineReportsOnStdoutAndLocatesOnStderr) {
  TempFile bad(";redcode-94\n;name bad\n;author t\nstart MOV.I $0 $1\n");
  const Result r = Main({bad.path(), kPiper, "100"});
  EXPECT_EQ(r.status, ExitFailed);
  EXPECT_EQ(r.out, std::string(kBanner) + "Exception: Failed to find comma\n");
  EXPECT_EQ(r.err, "Warrior file \"" + bad.path() + "\", line 4: start MOV.I $0 $1\n");
}

TEST(TonewellMain, TheLocationLineIsSafeForATerminal) {
  TempFile bad(std::string("\x1b[2J") + std::string(5000, 'x') + "\n");
  const Result r = Main({kMice, bad.path(), "100"});
  EXPECT_EQ(r.status, ExitFailed);
  EXPECT_EQ(r.out, std::string(kBanner) + "Exception: Failed to find instruction\n");
  EXPECT_NE(r.err.find("line 1: ?[2Jxxx"), std::string::npos);
  EXPECT_LT(r.err.size(), 400u);
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
}

TEST(TonewellMain, ANegativeSampleCountFailsBeforeLoading) {
  TempFile bad("not a warrior\n");
  const Result r = Main({kMice, bad.path(), "-1"});
  EXPECT_EQ(r.status, ExitFailed);
  EXPECT_EQ(r.out, std::string(kBanner) + "ERangeError: Range check error\n");
  EXPECT_EQ(r.err, "");
}

TEST(TonewellMain, EmptyAndCommentOnlyWarriorsDieAtOnce) {
  TempFile empty("");
  TempFile comments(";redcode-94\n;name x\n\n   \n");
  const Result r = Main({empty.path(), comments.path(), "0"});
  EXPECT_EQ(r.status, ExitFinished);
  EXPECT_NE(r.out.find("Warrior[0].Score: 0\nWarrior[1].Score: 0\n"), std::string::npos);
  EXPECT_EQ(Battle.EndCycle, 1);
}

TEST(RunTest, AnUnopenableFileIsAnOpenErrorWithTheSystemText) {
  CommandLine command_line{TONEWELL_SOURCE_DIR "/examples/no-such.red", kPiper, 0};
  SoundSamples = 0;
  UseSilentSoundOutput();
  std::ostringstream out;
  try {
    tw::Run(command_line, Battle, out);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(ReportLine(e), "EFOpenError: Cannot open file \"" + command_line.Warrior1FileName +
                                 "\". No such file or directory");
  }
  EXPECT_EQ(out.str(), kBanner);
  FreeAudioObjects();
}

}  // namespace
}  // namespace tw
