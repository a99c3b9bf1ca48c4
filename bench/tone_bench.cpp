// The cost of making instructions audible.
//
//   BM_ToneRoad/N          one executed instruction's whole road on null:fast:
//                          synthesis (remembered after the first time), PCM
//                          container rewrite, copy into the player, device open,
//                          buffer cycle, close. Reported per tone, with the heap
//                          allocations per tone.
//   BM_ToneRoadFresh/N     the same with every tone synthesized anew (the tone
//                          cache off): what a repeated tone costs without it.
//   BM_ToneRoadDistinct/N  a new tone every time, synthesized and remembered:
//                          what a battle of distinct tones pays.
//   BM_Synthesis/N         the exact synthesis (vectorised double evaluation,
//                          the samples near a rounding boundary recomputed in
//                          extended precision) of random cells: ns per sample
//                          and the share of samples recomputed.
//   BM_SynthesisPortable/N the same on the two-lane kernel every x86-64 runs.
//   BM_SynthesisExtended/N every sample in extended precision (the definition
//                          the fast path reproduces), for comparison.
//   BM_PacedBattle         a battle of a few hundred tones at N = 1000 on the
//                          paced null card: wall time / sound duration and
//                          CPU time / wall time.
//   BM_FullBattleToWav/C   80000 cycles of two warriors that never die at
//                          N = 1000 (160000 tones of 3 distinct ones) rendered
//                          to a WAV file, with the tone cache on (C = 1) and off.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "core/ToneAudio.h"
#include "core/ToneSynthesis.h"
#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_utils.h"
#include "driver/BattleLoop.h"
#include "driver/BattleState.h"
#include "testing/AllocationCounter.h"

namespace tw {
namespace {

CoreCell Cell(const char* line) {
  CoreCell c;
  ParseRedcodeLine(line, c);
  return c;
}

const std::vector<CoreCell>& Cells() {
  static const std::vector<CoreCell> cells = {Cell("MOV.I $0, $1"), Cell("ADD.AB #4, $3"),
                                              Cell("MOV.I $2, @2"), Cell("JMP.B $-2, $0"),
                                              Cell("SPL.B $2, $0"), Cell("DAT.F #0, #0")};
  return cells;
}

void StartAudio(int32_t n, const std::string& audio) {
  setenv("TONEWELL_AUDIO", audio.c_str(), 1);
  SoundSamples = n;
  CreateAudioObjects();
}

double ProcessCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void BM_ToneRoad(benchmark::State& state) {
  StartAudio(static_cast<int32_t>(state.range(0)), "null:fast");
  const auto& cells = Cells();
  for (const CoreCell& c : cells) SynthesizeTone(c);  // warm: tones remembered, blocks pooled
  size_t i = 0;
  const uint64_t before = HeapAllocations();
  for (auto _ : state) {
    SynthesizeTone(cells[i]);
    i = i + 1 == cells.size() ? 0 : i + 1;
  }
  state.counters["allocs_per_tone"] =
      static_cast<double>(HeapAllocations() - before) / static_cast<double>(state.iterations());
  FreeAudioObjects();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToneRoad)->Arg(0)->Arg(1000)->Arg(10000);

void BM_ToneRoadFresh(benchmark::State& state) {
  StartAudio(static_cast<int32_t>(state.range(0)), "null:fast");
  EnableToneCache(false);
  const auto& cells = Cells();
  for (const CoreCell& c : cells) SynthesizeTone(c);
  size_t i = 0;
  const uint64_t before = HeapAllocations();
  for (auto _ : state) {
    SynthesizeTone(cells[i]);
    i = i + 1 == cells.size() ? 0 : i + 1;
  }
  state.counters["allocs_per_tone"] =
      static_cast<double>(HeapAllocations() - before) / static_cast<double>(state.iterations());
  EnableToneCache(true);
  FreeAudioObjects();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToneRoadFresh)->Arg(1000)->Arg(10000);

// Every tone a new one, with the cache on: each is synthesized and
// remembered (until the cache is full), as in a battle of distinct tones.
void BM_ToneRoadDistinct(benchmark::State& state) {
  StartAudio(static_cast<int32_t>(state.range(0)), "null:fast");
  const auto& cells = Cells();
  for (const CoreCell& c : cells) SynthesizeTone(c);
  uint32_t k = 0;
  const uint64_t before = HeapAllocations();
  for (auto _ : state) {
    CoreCell cell;
    cell.InstructionWord = static_cast<uint16_t>(k * 40503u);
    cell.ANumber = static_cast<int16_t>(1 + (k >> 16) % 99);
    cell.BNumber = 1;
    SynthesizeTone(cell);
    ++k;
  }
  state.counters["allocs_per_tone"] =
      static_cast<double>(HeapAllocations() - before) / static_cast<double>(state.iterations());
  state.counters["remembered"] = static_cast<double>(CachedToneCount());
  FreeAudioObjects();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToneRoadDistinct)->Arg(1000);

// Random cells: every field and number takes its whole range.
const std::vector<CoreCell>& RandomCells() {
  static const std::vector<CoreCell> cells = [] {
    std::mt19937_64 random(11);
    std::vector<CoreCell> made(64);
    for (CoreCell& c : made) {
      c.InstructionWord = static_cast<uint16_t>(random());
      c.ANumber = static_cast<int16_t>(random());
      c.BNumber = static_cast<int16_t>(random());
    }
    return made;
  }();
  return cells;
}

// Per-sample figures: time per sample (from CPU time) and
// the share of samples recomputed in extended precision.
void SynthesisCounters(benchmark::State& state, int32_t n, int64_t recomputed) {
  const double samples = static_cast<double>(state.iterations()) * n;
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  state.counters["time_per_sample"] =
      benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["recomputed_share"] = static_cast<double>(recomputed) / samples;
}

void RunSynthesis(benchmark::State& state, ToneKernel kernel) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  std::vector<double> samples(n);
  std::vector<int16_t> pcm(n);
  const auto& cells = RandomCells();
  size_t i = 0;
  int64_t recomputed = 0;
  for (auto _ : state) {
    recomputed += ComputeTonePcm(cells[i], samples.data(), pcm.data(), n, kernel);
    benchmark::DoNotOptimize(pcm.data());
    i = i + 1 == cells.size() ? 0 : i + 1;
  }
  SynthesisCounters(state, n, recomputed);
}

void BM_Synthesis(benchmark::State& state) { RunSynthesis(state, DefaultToneKernel()); }
BENCHMARK(BM_Synthesis)->Arg(1000)->Arg(10000);

void BM_SynthesisPortable(benchmark::State& state) { RunSynthesis(state, ToneKernel::Portable); }
BENCHMARK(BM_SynthesisPortable)->Arg(1000);

void BM_SynthesisExtended(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  std::vector<double> samples(n);
  std::vector<int16_t> pcm(n);
  const auto& cells = RandomCells();
  size_t i = 0;
  for (auto _ : state) {
    ComputeToneSamples(cells[i], samples.data(), n);
    ConvertToneSamples(samples.data(), pcm.data(), n);
    benchmark::DoNotOptimize(pcm.data());
    i = i + 1 == cells.size() ? 0 : i + 1;
  }
  SynthesisCounters(state, n, static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_SynthesisExtended)->Arg(1000);

// Two warriors that keep running for the whole battle: an imp and a dwarf
// placed where neither reaches the other within the cycles run.
void LoadBattle(BattleState& battle, int32_t cycles) {
  battle = BattleState{};
  battle.WarriorCount = 2;
  battle.Programs[0] = {Cell("MOV.I $0, $1")};
  battle.Programs[1] = {Cell("SPL.B $0, $0"), Cell("MOV.I $-1, $1")};
  battle.StartOffsets = {0, 0, 0};
  battle.Rounds = 1;
  battle.Cycles = cycles;
}

void RunTimedBattle(benchmark::State& state, int32_t cycles, const std::string& audio) {
  StartAudio(1000, audio);
  static BattleState battle;
  for (auto _ : state) {
    LoadBattle(battle, cycles);
    const auto wall0 = std::chrono::steady_clock::now();
    const double cpu0 = ProcessCpuSeconds();
    RunBattle(battle);
    const double cpu = ProcessCpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double tones = 2.0 * battle.EndCycle;
    const double sound = tones * 1000 / 88200.0;
    state.counters["tones"] = tones;
    state.counters["end_cycle"] = battle.EndCycle;
    state.counters["wall_s"] = wall;
    state.counters["sound_s"] = sound;
    state.counters["wall_per_sound"] = wall / sound;
    state.counters["cpu_per_wall"] = cpu / wall;
    state.counters["us_per_tone"] = wall / tones * 1e6;
  }
  FreeAudioObjects();
}

void BM_PacedBattle(benchmark::State& state) { RunTimedBattle(state, 150, "null"); }
BENCHMARK(BM_PacedBattle)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FullBattleToWav(benchmark::State& state) {
  const std::string path =
      (std::filesystem::temp_directory_path() / "tonewell_full_battle_bench.wav").string();
  EnableToneCache(state.range(0) != 0);
  RunTimedBattle(state, 80000, "wav:" + path);
  EnableToneCache(true);
  std::remove(path.c_str());
}
BENCHMARK(BM_FullBattleToWav)
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tw

BENCHMARK_MAIN();
