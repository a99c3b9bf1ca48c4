// Differential test: battles of real warriors against the expected one-round
// results of a reference simulator (scores and the cycle the round ended in).
// The corpus lives beside the project, never inside it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/unit_core_program_utils.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/BattleLoop.h"
#include "testing/CorpusDir.h"

namespace tw {
namespace {

const std::filesystem::path kCorpus = CorpusDir();

struct ExpectedBattle {
  std::string w0, w1;
  int score0 = 0, score1 = 0, end_cycle = 0;
};

std::vector<ExpectedBattle> ReadExpected() {
  std::ifstream in(kCorpus / "expected_r1_F344.tsv");
  std::vector<ExpectedBattle> rows;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    ExpectedBattle row;
    int wins, losses, ties;
    fields >> row.w0 >> row.w1 >> row.score0 >> row.score1 >> wins >> losses >> ties >>
        row.end_cycle;
    if (fields) rows.push_back(row);
  }
  return rows;
}

struct LoadedWarrior {
  Tprogram program;
  std::int32_t start = 0;
};

class CorpusBattles {
 public:
  const LoadedWarrior& Get(const std::string& name) {
    auto it = cache_.find(name);
    if (it == cache_.end()) {
      LoadedWarrior w;
      LoadWarrior((kCorpus / (name + ".red")).string(), w.program, w.start);
      it = cache_.emplace(name, std::move(w)).first;
    }
    return it->second;
  }

  // Runs one battle as a fresh run of the program would.
  void Run(const ExpectedBattle& row, BattleState& state) {
    const LoadedWarrior& w0 = Get(row.w0);
    const LoadedWarrior& w1 = Get(row.w1);
    state.WarriorCount = 2;
    state.Programs[0] = w0.program;
    state.StartOffsets[0] = w0.start;
    state.Programs[1] = w1.program;
    state.StartOffsets[1] = w1.start;
    state.Rounds = 1;
    state.Cycles = 80000;
    RandomSeed = 0;
    RunBattleWith<SilentTone>(state);
  }

 private:
  std::map<std::string, LoadedWarrior> cache_;
};

TEST(BattleCorpus, ScoresAndEndCyclesMatchTheReference) {
  if (!std::filesystem::exists(kCorpus / "expected_r1_F344.tsv")) {
    GTEST_SKIP() << "corpus not found at " << kCorpus.string()
                 << " (set TONEWELL_CORPUS to its folder); differential test skipped";
  }
  const std::vector<ExpectedBattle> rows = ReadExpected();
  ASSERT_EQ(rows.size(), 142u * 142u);

  const char* all = std::getenv("TONEWELL_CORPUS_PAIRS");
  const bool every_pair = all != nullptr && std::string(all) == "all";
  // A fixed stride through the table (403 pairs), plus the one pair in which
  // both warriors die in the same cycle.
  std::vector<const ExpectedBattle*> chosen;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const bool same_cycle_pair = rows[i].w0 == "k94-typefourqs" && rows[i].w1 == "k94-typefourqs";
    if (every_pair || i % 50 == 7 || same_cycle_pair) chosen.push_back(&rows[i]);
  }
  ASSERT_GE(chosen.size(), 300u);

  CorpusBattles battles;
  auto state = std::make_unique<BattleState>();
  int mismatches = 0;
  for (const ExpectedBattle* row : chosen) {
    battles.Run(*row, *state);
    const bool same = state->Scores[0] == row->score0 && state->Scores[1] == row->score1 &&
                      state->EndCycle == row->end_cycle;
    EXPECT_TRUE(same) << row->w0 << " vs " << row->w1 << ": got " << state->Scores[0] << " "
                      << state->Scores[1] << " ending in cycle " << state->EndCycle << ", expected "
                      << row->score0 << " " << row->score1 << " ending in cycle " << row->end_cycle;
    if (!same && ++mismatches >= 20) break;
  }
  std::cout << "[ corpus   ] " << chosen.size() << " battles compared\n";
}

}  // namespace
}  // namespace tw
