#pragma once
// The program's three arguments and the four checks they pass, in order.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "driver/Beeper.h"
#include "platform/FileTest.h"

namespace tw {

struct CommandLine {
  std::string Warrior1FileName;
  std::string Warrior2FileName;
  std::int32_t SoundSamples = 0;
};

// Which check rejected the command line; the number of beeps tells the user.
enum class CommandLineVerdict {
  kAccepted,
  kWrongArgumentCount,  // six short beeps, then the usage text
  kWarrior1Missing,     // one long beep
  kWarrior2Missing,     // two long beeps
  kBadSoundSamples,     // three long beeps
};

// Runs the checks in their fixed order: argument count, file 1, file 2, the
// number. `args` are the arguments after the program name. Later checks do
// not look at their argument when an earlier one fails. Fills `result` as far
// as the checks got.
CommandLineVerdict CheckCommandLine(const std::vector<std::string>& args, CommandLine& result);

// Answers a rejected command line: the verdict's beeps and, for a wrong
// argument count, the five usage lines on `out` after the beeps.
void AnswerRejectedCommandLine(CommandLineVerdict verdict, Beeper& beeper, std::ostream& out);

}  // namespace tw
