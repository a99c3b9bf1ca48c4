// How long the player's stop, destroy and restart requests take to return
// on the paced null card, in every state: window or thread mode, playing or
// paused, with data still to read or after the data has ended (the last
// buffer still at the device). The player has its default one-second
// buffers; the wave is 300 ms (the tail) or 3 s (playing). The aim: within
// 100 ms plus one buffer's length; a stop that waited for the buffer to play
// out would take up to its length, a paused one for ever.
//
//   build/bench/player_stop_bench
//
// Each row's time is from the request to its return (for a stop, to the
// return of the wait for the close; for a restart, SetWave + SetActive(true)
// + WaitUntilOpened).

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <vector>

#include "audio/WavePlayers.h"
#include "platform/WaveOutApi.h"
#include "sound/Selection.h"

namespace {

using namespace tw;
using Clock = std::chrono::steady_clock;

std::unique_ptr<TWave> ToneWave(int Ms) {
  std::vector<int16_t> samples(static_cast<size_t>(Ms) * 88200 / 1000, 1000);
  auto wave = std::make_unique<TWave>();
  wave->BeginRewritePCM(16);
  wave->Write(samples.data(), static_cast<int32_t>(samples.size() * 2));
  wave->EndRewrite();
  return wave;
}

enum Request { kStop, kDestroy, kRestart };

// Args: request, thread mode, paused, in the tail of the data.
void BM_PlayerRequest(benchmark::State& state) {
  const auto request = static_cast<Request>(state.range(0));
  const bool async = state.range(1) != 0;
  const bool paused = state.range(2) != 0;
  const bool tail = state.range(3) != 0;
  SelectWaveOutput("null");
  auto wave = ToneWave(tail ? 300 : 3000);
  auto next = ToneWave(100);
  double worstMs = 0;
  for (auto _ : state) {
    auto player = std::make_unique<TAudioPlayer>(nullptr);
    player->SetAsync(async);
    player->SetWave(wave.get());
    player->SetActive(true);
    player->WaitUntilOpened();
    if (paused) player->SetPaused(true);
    Event never;
    // Tail: until the data has ended. Playing: until both buffers are queued.
    while (tail ? !player->Closing() : player->ActiveBufferCount() < 2) {
      WaitForSyncObject(&never, async ? 1 : 0);
    }
    const Clock::time_point start = Clock::now();
    switch (request) {
      case kStop:
        player->SetActive(false);
        player->WaitUntilClosed();
        break;
      case kDestroy:
        player.reset();
        break;
      case kRestart:
        player->SetWave(next.get());
        player->SetActive(true);
        player->WaitUntilOpened();
        break;
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    state.SetIterationTime(ms / 1000);
    worstMs = std::max(worstMs, ms);
    player.reset();
  }
  state.counters["worst_ms"] = worstMs;
}

void States(benchmark::internal::Benchmark* b) {
  b->ArgNames({"request", "thread", "paused", "tail"});
  for (int request : {kStop, kDestroy, kRestart}) {
    for (int async : {0, 1}) {
      for (int paused : {0, 1}) {
        for (int tail : {0, 1}) b->Args({request, async, paused, tail});
      }
    }
  }
}

BENCHMARK(BM_PlayerRequest)
    ->Apply(States)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
