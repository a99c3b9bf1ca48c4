// How long the assembler takes for one warrior of 100 source lines: a
// generated one (labels used before and after their line, EQU texts,
// expressions, predefined constants) and, when the shared corpus is beside
// the project, the published sources of 100 instructions.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "asm/Assembler.h"

namespace {

std::string HundredLines() {
  std::ostringstream s;
  s << ";redcode-94\n;name Bench\n;author Tonewell team\n;assert CORESIZE == 8000\n"
    << "STEP equ 3044\nGAP equ (STEP*2)+1\n";
  for (int i = 0; i < 90; ++i) {
    s << "l" << i << "  add.ab #STEP*" << i << "%CORESIZE, l" << (i + 7) % 90 << "+GAP-" << i
      << "   ; line " << i << "\n";
  }
  s << "k for 3\n  dat k, k*STEP\nrof\n";
  s << "  end l1\n";
  return s.str();
}

void BM_AssembleGenerated100Lines(benchmark::State& state) {
  const std::string source = HundredLines();
  for (auto _ : state) {
    benchmark::DoNotOptimize(tw::redcode::AssembleSource(source, "bench.red"));
  }
  state.counters["lines"] = 100;
}
BENCHMARK(BM_AssembleGenerated100Lines)->Unit(benchmark::kMicrosecond);

std::filesystem::path CorpusSources() {
  const char* dir = std::getenv("TONEWELL_CORPUS");
  return std::filesystem::path(
             dir != nullptr && *dir != '\0' ? dir : TONEWELL_SOURCE_DIR "/../shared/corpus") /
         "source";
}

void BM_AssembleCorpusSource(benchmark::State& state, const std::string& name) {
  std::ifstream in(CorpusSources() / name, std::ios::binary);
  if (!in) {
    state.SkipWithError("corpus not found (set TONEWELL_CORPUS)");
    return;
  }
  std::stringstream bytes;
  bytes << in.rdbuf();
  const std::string source = bytes.str();
  for (auto _ : state) {
    benchmark::DoNotOptimize(tw::redcode::AssembleSource(source, name));
  }
}
// 100 instructions each, with EQU, FOR and expressions.
BENCHMARK_CAPTURE(BM_AssembleCorpusSource, arrow, std::string("fsh-cds-arrow.red"))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_AssembleCorpusSource, pdown, std::string("fsh-stn-pdown.red"))
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
