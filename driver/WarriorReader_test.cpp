#include "driver/WarriorReader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "asm/LoadFormWriter.h"
#include "core/ToneAudio.h"
#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_program_utils.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/Tonewell.h"
#include "testing/RecordingBeeper.h"
#include "testing/TestFiles.h"

namespace tw {
namespace {

const std::string kCarillon = TONEWELL_SOURCE_DIR "/examples/source/Carillon.red";
const std::string kMice = TONEWELL_SOURCE_DIR "/examples/Mice.red";
// Piper's load form is also its source (its start is its first instruction).
const std::string kPiper = TONEWELL_SOURCE_DIR "/examples/Piper.red";

struct Outcome {
  int status;
  std::string out, err;
};

// One run of the program with TONEWELL_REDCODE set to `setting` (nullptr:
// unset), tones discarded.
Outcome MainWith(const char* setting, const std::vector<std::string>& args) {
  setenv("TONEWELL_AUDIO", "null:fast", 1);
  if (setting == nullptr) {
    unsetenv("TONEWELL_REDCODE");
  } else {
    setenv("TONEWELL_REDCODE", setting, 1);
  }
  RandomSeed = 0;
  testing::RecordingBeeper beeper;
  std::ostringstream out, err;
  const int status = TonewellMain(args, out, err, beeper);
  FreeAudioObjects();
  unsetenv("TONEWELL_REDCODE");
  return {status, out.str(), err.str()};
}

std::string WithoutSeconds(const std::string& out) {
  const std::size_t at = out.find("Seconds:");
  return at == std::string::npos ? out : out.substr(0, at);
}

using testing::TempFile;

TEST(WarriorReader, Setting) {
  EXPECT_EQ(SelectWarriorReader(""), WarriorReader::kLoadForm);
  EXPECT_EQ(SelectWarriorReader("load"), WarriorReader::kLoadForm);
  EXPECT_EQ(SelectWarriorReader("source"), WarriorReader::kSource);
  for (const char* bad : {"Source", "src", " load"}) {
    try {
      SelectWarriorReader(bad);
      ADD_FAILURE() << bad;
    } catch (const ERedcodeSettingError& e) {
      EXPECT_STREQ(e.ClassName(), "ERedcodeSettingError");
      EXPECT_EQ(std::string(e.Message()), "Unknown TONEWELL_REDCODE value \"" + std::string(bad) +
                                              "\" (accepted: unset, \"\", load, source)");
    }
  }
}

TEST(WarriorReader, LoadIsTheDefault) {
  const Outcome unset = MainWith(nullptr, {kMice, kPiper, "0"});
  const Outcome load = MainWith("load", {kMice, kPiper, "0"});
  EXPECT_EQ(unset.status, ExitFinished);
  EXPECT_EQ(WithoutSeconds(load.out), WithoutSeconds(unset.out));
  EXPECT_EQ(load.status, unset.status);
  // The load reader does not take source.
  const Outcome source_as_load = MainWith(nullptr, {kCarillon, kPiper, "0"});
  EXPECT_NE(source_as_load.out.find("Exception: "), std::string::npos);
}

TEST(WarriorReader, SourcePlaysAsItsAssembledLoadForm) {
  const redcode::AssembledWarrior carillon = redcode::AssembleFile(kCarillon);
  const TempFile load_form(redcode::WriteLoadForm(carillon));
  Tprogram program;
  std::int32_t start = 0;
  LoadWarrior(load_form.path(), program, start);
  EXPECT_EQ(program, ProgramOf(carillon));
  EXPECT_EQ(start, carillon.start);

  const Outcome source = MainWith("source", {kCarillon, kPiper, "0"});
  const Outcome load = MainWith(nullptr, {load_form.path(), kPiper, "0"});
  EXPECT_EQ(source.status, ExitFinished) << source.out;
  EXPECT_EQ(WithoutSeconds(source.out), WithoutSeconds(load.out));
}

TEST(WarriorReader, FailuresEndTheRunBeforeAnyTone) {
  const TempFile bad(";redcode\n  mov  0, nowhere\n");
  const Outcome source = MainWith("source", {kCarillon, bad.path(), "1000"});
  EXPECT_EQ(source.status, ExitFailed);
  EXPECT_NE(source.out.find("program started\nERedcodeSourceError: " + bad.path() +
                            ":2:11: undefined symbol \"nowhere\"\n"),
            std::string::npos)
      << source.out;
  EXPECT_EQ(source.out.find("Seconds:"), std::string::npos);
  EXPECT_EQ(source.err, "Warrior file \"" + bad.path() +
                            "\", line 2, column 11:\n  mov  0, nowhere\n          ^\n");

  const Outcome unknown = MainWith("sauce", {kPiper, kPiper, "1000"});
  EXPECT_EQ(unknown.status, ExitFailed);
  EXPECT_NE(unknown.out.find("program started\nERedcodeSettingError: Unknown TONEWELL_REDCODE "
                             "value \"sauce\""),
            std::string::npos);
}

}  // namespace
}  // namespace tw
