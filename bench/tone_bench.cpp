// The cost of making instructions audible.
//
//   BM_ToneRoad/N          one executed instruction's whole road on null:fast:
//                          synthesis (remembered after the first time), PCM
//                          container rewrite, copy into the player, device open,
//                          buffer cycle, close. Reported per tone.
//   BM_ToneRoadFresh/N     the same, with the tone computed anew every time.
//   BM_Synthesis/N         six partials and the rounding, per sample.
//   BM_PacedBattle         a battle of a few hundred tones at N = 1000 on the
//                          paced null card: wall time / sound duration and
//                          CPU time / wall time.
//   BM_FullBattleToWav     80000 cycles of two warriors that never die at
//                          N = 1000 (160000 tones) rendered to a WAV file.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_execute_quillmar_audio.h"
#include "core/unit_core_utils.h"
#include "driver/BattleLoop.h"
#include "driver/BattleState.h"

#include "bench/AllocationCounter.h"

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
BENCHMARK(BM_ToneRoad)->Arg(0)->Arg(1000);

void BM_ToneRoadFresh(benchmark::State& state) {
  StartAudio(static_cast<int32_t>(state.range(0)), "null:fast");
  const auto& cells = Cells();
  size_t i = 0;
  for (auto _ : state) {
    ComputeToneSamples(cells[i], ToneSamples.data(), SoundSamples);
    PlayTone(ToneSamples);
    i = i + 1 == cells.size() ? 0 : i + 1;
  }
  FreeAudioObjects();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToneRoadFresh)->Arg(1000);

void BM_Synthesis(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  std::vector<double> samples(n);
  std::vector<int16_t> pcm(n);
  const auto& cells = Cells();
  size_t i = 0;
  for (auto _ : state) {
    ComputeToneSamples(cells[i], samples.data(), n);
    ConvertToneSamples(samples.data(), pcm.data(), n);
    benchmark::DoNotOptimize(pcm.data());
    i = i + 1 == cells.size() ? 0 : i + 1;
  }
  state.SetItemsProcessed(state.iterations() * n);  // items = samples
}
BENCHMARK(BM_Synthesis)->Arg(1000);

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
  RunTimedBattle(state, 80000, "wav:" + path);
  std::remove(path.c_str());
}
BENCHMARK(BM_FullBattleToWav)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tw

BENCHMARK_MAIN();
