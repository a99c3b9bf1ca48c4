#include "driver/CommandLine.h"

#include "runtime/IntText.h"

namespace tw {

CommandLineVerdict CheckCommandLine(const std::vector<std::string>& args, CommandLine& result) {
  if (args.size() != 3) return CommandLineVerdict::kWrongArgumentCount;
  result.Warrior1FileName = args[0];
  result.Warrior2FileName = args[1];
  if (!IsExistingFile(result.Warrior1FileName)) return CommandLineVerdict::kWarrior1Missing;
  if (!IsExistingFile(result.Warrior2FileName)) return CommandLineVerdict::kWarrior2Missing;
  std::optional<std::int32_t> samples = ParseInt32(args[2]);
  if (!samples) return CommandLineVerdict::kBadSoundSamples;
  result.SoundSamples = *samples;
  return CommandLineVerdict::kAccepted;
}

void AnswerRejectedCommandLine(CommandLineVerdict verdict, Beeper& beeper, std::ostream& out) {
  auto beeps = [&beeper](int count, int pause_ms) {
    for (int i = 0; i < count; ++i) beeper.Beep(pause_ms);
  };
  switch (verdict) {
    case CommandLineVerdict::kAccepted:
      return;
    case CommandLineVerdict::kWrongArgumentCount:
      beeps(6, ShortBeepMs);
      out << "Usage:\n"
          << "Tonewell.exe Warrior1 Warrior2 SoundSamples\n"
          << "\n"
          << "Example:\n"
          << "Tonewell.exe Mice.red Piper.red 10000\n";
      out.flush();
      return;
    case CommandLineVerdict::kWarrior1Missing:
      beeps(1, LongBeepMs);
      return;
    case CommandLineVerdict::kWarrior2Missing:
      beeps(2, LongBeepMs);
      return;
    case CommandLineVerdict::kBadSoundSamples:
      beeps(3, LongBeepMs);
      return;
  }
}

}  // namespace tw
