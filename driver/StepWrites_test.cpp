// The cells a step writes, predicted before it runs, against what the
// executor really changes, over battles of the shared corpus.
#include "driver/StepWrites.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/unit_core_program_utils.h"
#include "core/unit_core_utils.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/BattleLoop.h"
#include "testing/CorpusDir.h"

namespace tw {
namespace {

const std::filesystem::path kCorpus = CorpusDir();

// Before each step: checks that the step before it changed no cell outside
// its prediction, then predicts this one.
struct WriteChecker {
  CoreMemory before{};
  StepWrites predicted;
  bool pending = false;
  long steps = 0, writes = 0, failures = 0;

  void RoundStarted(const BattleState&) { pending = false; }
  void BeforeStep(int, const CoreMemory& core, const ProcessQueue& queue) {
    Check(core);
    before = core;
    predicted = PredictStepWrites(core, queue.Entries[queue.Head]);
    pending = true;
  }
  void CycleEnded(std::int32_t) {}

  void Check(const CoreMemory& core) {
    if (!pending) return;
    ++steps;
    for (int i = 0; i < predicted.Count; ++i) {
      const int a = predicted.Addresses[i];
      writes += before[a] != core[a] ? 1 : 0;
      before[a] = core[a];  // a predicted write may change the cell
    }
    if (before != core && ++failures <= 5) {
      for (int a = 0; a < CoreSize; ++a) {
        if (before[a] != core[a]) ADD_FAILURE() << "cell " << a << " written unpredicted";
      }
    }
    pending = false;
  }
};

TEST(StepWrites, EveryCellAStepChangesIsPredicted) {
  std::vector<std::filesystem::path> warriors;
  if (std::filesystem::exists(kCorpus)) {
    for (const auto& entry : std::filesystem::directory_iterator(kCorpus)) {
      if (entry.path().extension() == ".red") warriors.push_back(entry.path());
    }
  }
  if (warriors.size() < 2) GTEST_SKIP() << "corpus not found beside the project";
  std::sort(warriors.begin(), warriors.end());
  auto state = std::make_unique<BattleState>();
  WriteChecker checker;
  // Each warrior against its neighbour in name order, 400 cycles each.
  for (std::size_t i = 0; i < warriors.size(); ++i) {
    state->WarriorCount = 2;
    LoadWarrior(warriors[i].string(), state->Programs[0], state->StartOffsets[0]);
    LoadWarrior(warriors[(i + 1) % warriors.size()].string(), state->Programs[1],
                state->StartOffsets[1]);
    state->Rounds = 1;
    state->Cycles = 400;
    RandomSeed = 0;
    RunBattleWith<SilentTone>(*state, checker);
    checker.Check(state->Core);
  }
  EXPECT_EQ(checker.failures, 0);
  // The battles did write: the check was not vacuous.
  EXPECT_GT(checker.steps, 50000);
  EXPECT_GT(checker.writes, checker.steps / 4);
}

TEST(StepWrites, TheModesThatWrite) {
  CoreMemory core;
  core.fill(DefaultCell);
  // MOV.I $0, $1: the target only.
  ParseRedcodeLine("MOV.I $0, $1", core[10]);
  StepWrites w = PredictStepWrites(core, 10);
  ASSERT_EQ(w.Count, 1);
  EXPECT_EQ(w.Addresses[0], 11);
  // ADD.AB #4, <3 at 7998: the B-operand's decrement cell (7998 + 3 = 1) and
  // the target through its decremented B-number (1 + 7999 = 0).
  ParseRedcodeLine("ADD.AB #4, <3", core[7998]);
  w = PredictStepWrites(core, 7998);
  ASSERT_EQ(w.Count, 2);
  EXPECT_EQ(w.Addresses[0], 1);
  EXPECT_EQ(w.Addresses[1], 0);
  // JMP.B }5, *2: the A-operand's increment cell, no target.
  ParseRedcodeLine("JMP.B }5, *2", core[20]);
  w = PredictStepWrites(core, 20);
  ASSERT_EQ(w.Count, 1);
  EXPECT_EQ(w.Addresses[0], 25);
}

}  // namespace
}  // namespace tw
