#pragma once
// Running the rounds of a battle and scoring them.

#include <ostream>
#include <type_traits>

#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_utils.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/BattleState.h"

namespace tw {

namespace battle_detail {

// Resets the core, the queues and the free regions, then places, copies and
// starts each warrior in index order.
void StartRound(BattleState& state);
// Writes each warrior's round result into its P-space cell 0 and awards the
// round's points.
void FinishRound(BattleState& state);

inline std::int32_t CountAlive(const BattleState& state) {
  std::int32_t alive = 0;
  for (int w = 0; w < state.WarriorCount; ++w) alive += state.ProcessQueues[w].Count > 0 ? 1 : 0;
  return alive;
}

}  // namespace battle_detail

// What a battle loop tells an observer. Every hook here does nothing, so
// RunBattleWith<P> without an observer compiles to the loop alone; an
// observer (the terminal view's feed) is a separate instantiation with the
// same shape:
//   RoundStarted(state)            after the warriors are placed and queued
//   BeforeStep(w, core, queue)     before each step of a warrior with a process
//   CycleEnded(cycle)              after every warrior has stepped in `cycle`
struct NoBattleObserver {
  void RoundStarted(const BattleState&) {}
  void BeforeStep(int, const CoreMemory&, const ProcessQueue&) {}
  void CycleEnded(std::int32_t) {}
};

namespace battle_detail {

// The cycles of a round of two living warriors, the program's usual case,
// kept free of the per-warrior loop: both queues hold a process at the start
// of every cycle here (the loop ends after the first cycle that empties one),
// and a warrior's step only changes its own queue, so neither step needs the
// empty-queue test. The queues' counters stay in cursors (registers) for the
// whole round; the queues see them again before every hook of an observer
// that watches, at the end, and when a step fails.
template <class TonePolicy, class Observer>
void RunTwoWarriors(BattleState& state, Observer& observer) {
  constexpr bool watched = !std::is_same_v<std::remove_cvref_t<Observer>, NoBattleObserver>;
  ProcessQueue& q0 = state.ProcessQueues[0];
  ProcessQueue& q1 = state.ProcessQueues[1];
  QueueCursor c0(q0);
  QueueCursor c1(q1);
  const QueueCursor::Keep keep0{c0, q0};
  const QueueCursor::Keep keep1{c1, q1};
  for (std::int32_t cycle = 1; cycle <= state.Cycles; ++cycle) {
    observer.BeforeStep(0, state.Core, q0);
    ExecuteLiveStepWith<TonePolicy>(state.Core, c0, state.PSpaces[0]);
    if constexpr (watched) c0.StoreTo(q0);
    observer.BeforeStep(1, state.Core, q1);
    ExecuteLiveStepWith<TonePolicy>(state.Core, c1, state.PSpaces[1]);
    if constexpr (watched) c1.StoreTo(q1);
    state.EndCycle = cycle;
    observer.CycleEnded(cycle);
    if (c0.Count <= 0 || c1.Count <= 0) break;
  }
}

}  // namespace battle_detail

// Runs Rounds rounds of at most Cycles cycles with the loaded warriors and
// scores them. Scores start at 0 and P-space is cleared (cell 0 = 7999) once
// per battle. In every cycle every warrior steps in index order (a dead one
// does nothing); the round ends after the first cycle that leaves fewer than
// two warriors alive, so two warriors dying in one cycle both lose. Sets
// EndCycle to the cycle in which the last round ended. Placement draws from
// the program-wide generator (RandomSeed), which nothing reseeds.
// TonePolicy chooses audible (AudibleTone) or silent (SilentTone) steps;
// Observer sees the battle as it runs (see NoBattleObserver).
template <class TonePolicy, class Observer = NoBattleObserver>
void RunBattleWith(BattleState& state, Observer&& observer = Observer{}) {
  const int warriors = state.WarriorCount;
  for (int w = 0; w < warriors; ++w) {
    state.Scores[w] = 0;
    state.PSpaces[w].fill(0);
    state.PSpaces[w][0] = static_cast<std::int16_t>(NormalizeAddress(-1));
  }
  for (std::int32_t round = 0; round < state.Rounds; ++round) {
    battle_detail::StartRound(state);
    observer.RoundStarted(state);
    state.AliveCount = battle_detail::CountAlive(state);
    state.EndCycle = 0;
    if (warriors == 2 && state.AliveCount == 2) {
      battle_detail::RunTwoWarriors<TonePolicy>(state, observer);
      state.AliveCount = battle_detail::CountAlive(state);
    } else {
      for (std::int32_t cycle = 1; cycle <= state.Cycles; ++cycle) {
        for (int w = 0; w < warriors; ++w) {
          // A dead warrior's step does nothing, so nothing is told about it.
          if (state.ProcessQueues[w].Count > 0)
            observer.BeforeStep(w, state.Core, state.ProcessQueues[w]);
          ExecuteStepWith<TonePolicy>(state.Core, state.ProcessQueues[w], state.PSpaces[w]);
        }
        state.EndCycle = cycle;
        observer.CycleEnded(cycle);
        state.AliveCount = battle_detail::CountAlive(state);
        if (state.AliveCount < 2) break;
      }
    }
    battle_detail::FinishRound(state);
  }
}

class BattleFeed;

// The program's battle: every step plays its tone; Ctrl-C ends it with
// EControlC (see Interrupt.h) before the heard instruction takes effect.
void RunBattle(BattleState& state);
// The same battle, watched by the terminal view through `feed`.
void RunBattle(BattleState& state, BattleFeed& feed);

// One line per warrior: "Warrior[<index>].Score: <score>".
void PrintScores(const BattleState& state, std::ostream& out);

}  // namespace tw
