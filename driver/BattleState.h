#pragma once
// The battle state: the core, the loaded warriors and everything the battle
// loop keeps per warrior.

#include <array>
#include <cstdint>
#include <string>

#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_types.h"

namespace tw {

inline constexpr int MaxWarriors = 3;

struct BattleState {
  CoreMemory Core{};
  std::int32_t WarriorCount = 0;
  std::array<Tprogram, MaxWarriors> Programs{};
  std::array<std::int32_t, MaxWarriors> StartOffsets{};
  std::array<ProcessQueue, MaxWarriors> ProcessQueues{};
  std::array<PSpace, MaxWarriors> PSpaces{};
  std::array<std::int32_t, MaxWarriors> Scores{};
  std::int32_t Rounds = 0;
  std::int32_t Cycles = 0;
  std::int32_t AliveCount = 0;
  // The cycle in which the last round ended (1..Cycles), 0 before any round.
  std::int32_t EndCycle = 0;
};

// The program's one battle.
extern BattleState Battle;

// Loads both files into Programs and StartOffsets entries 0 and 1, counting
// WarriorCount up as each succeeds, with the reader TONEWELL_REDCODE names
// (an unknown value raises ERedcodeSettingError before any file is read). A
// failure on the first file leaves the second unread; failures propagate as
// the reader raises them.
void LoadWarriors(BattleState& state, const std::string& warrior1_file_name,
                  const std::string& warrior2_file_name);

}  // namespace tw
