// The program's battle: every step plays its tone and Ctrl-C can end it
// between steps. Kept apart from the loop's shared parts so that a silent
// battle (tests, fuzzing) links without the sound side.
#include "driver/BattleFeed.h"
#include "driver/BattleLoop.h"
#include "driver/Interrupt.h"

namespace tw {

void RunBattle(BattleState& state) { RunBattleWith<InterruptibleTone>(state); }

void RunBattle(BattleState& state, BattleFeed& feed) {
  RunBattleWith<InterruptibleTone>(state, feed);
}

}  // namespace tw
