// Fuzz target: any bytes as a warrior file. The text is split into lines and
// parsed; a file that parses battles an imp for a short round. Parser
// failures are the expected answer to bad input; anything else (a crash, a
// sanitizer report, an exception of another kind) is a finding.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/unit_core_program_utils.h"
#include "core/unit_core_utils.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/BattleLoop.h"
#include "runtime/IntText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tw::ParseInt32(bytes);

  static auto state = std::make_unique<tw::BattleState>();
  const std::vector<std::string> lines = tw::SplitWarriorLines(bytes);
  try {
    tw::ParseProgramLines(lines, state->Programs[0]);
  } catch (const tw::Exception&) {
    return 0;
  }
  state->StartOffsets[0] = tw::FindStartOffset(lines);
  tw::CoreCell imp;
  tw::ParseRedcodeLine("MOV.I $0, $1", imp);
  state->Programs[1] = {imp};
  state->StartOffsets[1] = 0;
  state->WarriorCount = 2;
  state->Rounds = 2;
  state->Cycles = 2000;
  tw::RandomSeed = 0;
  tw::RunBattleWith<tw::SilentTone>(*state);
  return 0;
}
