// The per-tone road through the wave container: BeginRewritePCM(16), one
// Write of 2000 bytes, EndRewrite, then a copy into a second container with
// LoadFromStream (what handing a tone to the player does), and reading the
// copy back. Every heap allocation in the program is counted, so the figures
// show that the steady state allocates nothing.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "audio/WaveStorage.h"
#include "runtime/Stream.h"
#include "testing/AllocationCounter.h"

namespace {

using namespace tw;

std::vector<uint8_t> ToneBytes() {
  std::vector<uint8_t> b(2000);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 31);
  return b;
}

// Rewrite + copy into the player's container: the container's share of one
// executed instruction.
void BM_ToneRewriteAndCopy(benchmark::State& state) {
  const std::vector<uint8_t> tone = ToneBytes();
  TMemoryStream synthStream;
  TWaveStreamAdapter synth(&synthStream, false);
  TWave player;
  auto once = [&] {
    synth.BeginRewritePCM(16);
    synth.Write(tone.data(), static_cast<int32_t>(tone.size()));
    synth.EndRewrite();
    synthStream.SetPosition(0);
    player.LoadFromStream(synthStream);
  };
  once();  // warm up: the streams' blocks and the recycled handles exist now
  const uint64_t before = HeapAllocations();
  for (auto _ : state) {
    once();
    benchmark::DoNotOptimize(player.DataSize());
  }
  const uint64_t allocations = HeapAllocations() - before;
  state.counters["allocs_per_tone"] = benchmark::Counter(static_cast<double>(allocations) /
                                                         static_cast<double>(state.iterations()));
  if (player.DataSize() != 2000 || !player.Valid()) state.SkipWithError("wrong result");
}
BENCHMARK(BM_ToneRewriteAndCopy);

// The same plus what playback does with the copy: BeginRead, WaveFormat,
// reads of one buffer until the end, EndRead.
void BM_ToneRewriteCopyAndRead(benchmark::State& state) {
  const std::vector<uint8_t> tone = ToneBytes();
  TMemoryStream synthStream;
  TWaveStreamAdapter synth(&synthStream, false);
  TWave player;
  uint8_t buffer[4096];
  auto once = [&] {
    synth.BeginRewritePCM(16);
    synth.Write(tone.data(), static_cast<int32_t>(tone.size()));
    synth.EndRewrite();
    synthStream.SetPosition(0);
    player.LoadFromStream(synthStream);
    int64_t total = 0;
    if (player.BeginRead()) {
      benchmark::DoNotOptimize(player.WaveFormat());
      player.SetDataPosition(0);
      int32_t n;
      while ((n = player.Read(buffer, sizeof buffer)) > 0) total += n;
      player.EndRead();
    }
    return total;
  };
  once();
  const uint64_t before = HeapAllocations();
  for (auto _ : state) benchmark::DoNotOptimize(once());
  const uint64_t allocations = HeapAllocations() - before;
  state.counters["allocs_per_tone"] = benchmark::Counter(static_cast<double>(allocations) /
                                                         static_cast<double>(state.iterations()));
  if (once() != 2000) state.SkipWithError("wrong result");
}
BENCHMARK(BM_ToneRewriteCopyAndRead);

}  // namespace

BENCHMARK_MAIN();
