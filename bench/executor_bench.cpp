// Silent executor speed: instructions executed per second over whole
// 80000-cycle battles in which both warriors survive, so every battle executes
// exactly 2 x 80000 instructions. Reported as items_per_second.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "core/unit_core_program_utils.h"
#include "core/unit_core_utils.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/BattleLoop.h"
#include "testing/CorpusDir.h"

namespace {

const std::filesystem::path kCorpus = tw::CorpusDir();

bool LoadCorpusWarrior(const std::string& name, tw::BattleState& state, int index) {
  const std::filesystem::path path = kCorpus / (name + ".red");
  if (!std::filesystem::exists(path)) return false;
  tw::LoadWarrior(path.string(), state.Programs[index], state.StartOffsets[index]);
  return true;
}

void RunFullBattles(benchmark::State& bench, tw::BattleState& state) {
  state.WarriorCount = 2;
  state.Rounds = 1;
  state.Cycles = 80000;
  std::int64_t steps = 0;
  for (auto _ : bench) {
    tw::RandomSeed = 0;
    tw::RunBattleWith<tw::SilentTone>(state);
    if (state.EndCycle != state.Cycles || state.AliveCount != 2) {
      bench.SkipWithError("battle ended early: not a full-length benchmark pair");
      return;
    }
    steps += 2 * static_cast<std::int64_t>(state.Cycles);
    benchmark::DoNotOptimize(state.Core.data());
  }
  bench.SetItemsProcessed(steps);
}

void BM_CorpusPair(benchmark::State& bench, const char* w0, const char* w1) {
  auto state = std::make_unique<tw::BattleState>();
  if (!LoadCorpusWarrior(w0, *state, 0) || !LoadCorpusWarrior(w1, *state, 1)) {
    const std::string why = "corpus not found at " + kCorpus.string() + " (set TONEWELL_CORPUS)";
    bench.SkipWithError(why.c_str());
    return;
  }
  RunFullBattles(bench, *state);
}

void BM_ImpVersusImp(benchmark::State& bench) {
  auto state = std::make_unique<tw::BattleState>();
  tw::CoreCell imp;
  tw::ParseRedcodeLine("MOV.I $0, $1", imp);
  state->Programs[0] = {imp};
  state->Programs[1] = {imp};
  RunFullBattles(bench, *state);
}

}  // namespace

// Three pairs of SPL-heavy papers (thousands of processes each), a stone
// (bomber) against a scanner (a few processes, mostly MOV, DJN and compares),
// and the simplest possible battle. bench/executor_vs_exmars.sh runs the same
// battles on a peer simulator, by these names.
BENCHMARK_CAPTURE(BM_CorpusPair, papers_first_vs_human, "fsh-pap-first", "fsh-pap-human")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CorpusPair, papers_slime_vs_sos, "fsh-pap-slime", "fsh-pap-sos")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CorpusPair, papers_phat_vs_teenage, "fsh-pap-phat", "fsh-pap-teenage")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CorpusPair, stone_zorca_vs_scanner_recon2, "fsh-stn-zorca", "fsh-scn-recon2")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImpVersusImp)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
