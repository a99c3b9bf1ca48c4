#include "driver/BattleState.h"

#include "driver/WarriorReader.h"

namespace tw {

BattleState Battle;

void LoadWarriors(BattleState& state, const std::string& warrior1_file_name,
                  const std::string& warrior2_file_name) {
  const WarriorReader reader = WarriorReaderFromEnvironment();
  state.WarriorCount = 0;
  ReadWarrior(reader, warrior1_file_name, state.Programs[0], state.StartOffsets[0]);
  state.WarriorCount = 1;
  ReadWarrior(reader, warrior2_file_name, state.Programs[1], state.StartOffsets[1]);
  state.WarriorCount = 2;
}

}  // namespace tw
