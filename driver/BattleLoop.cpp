#include "driver/BattleLoop.h"

namespace tw {

namespace battle_detail {

void StartRound(BattleState& state) {
  state.Core.fill(DefaultCell);
  for (int w = 0; w < state.WarriorCount; ++w) ResetQueue(state.ProcessQueues[w]);
  ResetFreeRegions();
  for (int w = 0; w < state.WarriorCount; ++w) {
    std::int32_t address = 0;
    if (!PlaceWarrior(address)) continue;  // no code and no process this round
    CopyProgramToCore(state.Programs[w], address, state.Core);
    PushProcess(state.ProcessQueues[w], NormalizeAddress(state.StartOffsets[w] + address));
  }
}

void FinishRound(BattleState& state) {
  const int warriors = state.WarriorCount;
  const std::int32_t alive = state.AliveCount;
  for (int w = 0; w < warriors; ++w) {
    state.PSpaces[w][0] = static_cast<std::int16_t>(state.ProcessQueues[w].Count != 0 ? alive : 0);
  }
  if (warriors == 2) {
    if (alive == 1) {
      state.Scores[state.ProcessQueues[0].Count > 0 ? 0 : 1] += 3;
    } else if (alive == 2) {
      state.Scores[0] += 1;
      state.Scores[1] += 1;
    }
  } else if (warriors >= 3) {
    if (alive > 0) {
      for (int w = 0; w < warriors; ++w) {
        if (state.ProcessQueues[w].Count > 0) {
          state.Scores[w] += (warriors * warriors - 1) / alive;
        }
      }
    }
  } else if (warriors == 1) {
    if (state.ProcessQueues[0].Count > 0) state.Scores[0] += 3;
  }
}

}  // namespace battle_detail

void PrintScores(const BattleState& state, std::ostream& out) {
  for (int w = 0; w < state.WarriorCount; ++w) {
    out << "Warrior[" << w << "].Score: " << state.Scores[w] << '\n';
  }
}

}  // namespace tw
