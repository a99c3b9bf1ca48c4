// Cost of the wave output functions per tone, the way the battle uses them:
// query, open, prepare, write, wait for the buffer, unprepare, close; and of
// the whole road of a tone through them.
//
//   build/bench/null_output_bench
//
// BM_FastNullTone: overhead of one tone cycle on null:fast (no sound, no clock),
//   with the heap allocations it makes per tone.
// BM_WavTone: one 2000-byte tone recorded to a WAV file (tone_s counter; the
//   battle's 160000 tones take 160000 times the time per iteration).
// BM_PacedNullTones/clock: 300 tones of 1000 16-bit samples (11.3 ms) on the
//   paced null card, waited for on a condition variable of the bench's own:
//   the card's clock thread returns every buffer. wall_per_sound = wall time
//   / the tones' own duration; us_per_tone = what each tone took beyond its
//   sound; cpu_per_wall = process CPU time (clock thread included) / wall.
// BM_PacedNullTones/window: the same waited for through a callback window,
//   as the device object waits: the waiting thread returns the buffers.
// BM_Road/fast/N: the whole road of one executed instruction (SynthesizeTone
//   of a tone already computed, the container, the player, the device, the
//   backend) on null:fast, with its heap allocations per tone.
// BM_Road/paced/N: the same road on the paced null card, 200 tones per
//   iteration: wall_per_sound, us_per_tone, cpu_per_wall, allocs_per_tone.
// BM_Road/SETTING/N: the same road on the output TONEWELL_BENCH_ROAD_AUDIO
//   names, when it is set (for example `alsa` with ALSA_CONFIG_PATH naming
//   tools/alsa/asound-file.conf and fd 3 open, or `pulse` with a server
//   running; on Windows `winmm`, the system's device): 20 tones per iteration.
//
// Built for Windows too (bench/windows/ stands in for Google Benchmark
// there): `make windows-bench`, then under Wine, for example
//   TONEWELL_BENCH_ROAD_AUDIO=winmm wine build-windows/bench/null_output_bench.exe

#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "audio/WaveUtils.h"
#include "core/ToneAudio.h"
#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_utils.h"
#include "platform/MessageQueue.h"
#include "platform/WaveOutApi.h"
#include "sound/NullCard.h"
#include "sound/Selection.h"
#include "testing/AllocationCounter.h"

namespace {

using namespace tw;

// The format every tone of the program is played in.
WAVEFORMATEX ToneFormat() {
  WAVEFORMATEX f{};
  FillPCMFormatFromCode(f, pcmTone);
  return f;
}

// A notification queue like the device object's: posts never block for
// long, the waiter sleeps on a condition variable until a message arrives.
class BlockingQueue : public NotifyTarget {
 public:
  bool Post(uint32_t message, uintptr_t param) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back({message, param});
    }
    ready_.notify_one();
    return true;
  }
  // Takes messages until one with this identifier has arrived.
  void WaitFor(uint32_t message) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ready_.wait(lock, [&] { return head_ < messages_.size(); });
      const uint32_t got = messages_[head_++].first;
      if (head_ == messages_.size()) {
        messages_.clear();
        head_ = 0;
      }
      if (got == message) return;
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<std::pair<uint32_t, uintptr_t>> messages_;
  size_t head_ = 0;
};

// The notifications of one device, waited for through a callback window of
// the calling thread, the way the device object waits.
class WindowQueue : public NotifyTarget {
 public:
  WindowQueue() : window_([this](uint32_t message, uintptr_t) { last_ = message; }) {
    window_.Create();
  }
  bool Post(uint32_t message, uintptr_t param) override { return window_.Post(message, param); }
  void WaitFor(uint32_t message) {
    do {
      if (!window_.PumpOne()) std::abort();
    } while (last_ != message);
  }

 private:
  CallbackWindow window_;
  uint32_t last_ = 0;
};

template <typename Queue>
void PlayTone(Queue& queue, const WAVEFORMATEX& format, WAVEHDR& header) {
  HWAVEOUT h = nullptr;
  waveOutOpen(nullptr, WAVE_MAPPER, &format, nullptr, 0, WAVE_FORMAT_QUERY);
  if (waveOutOpen(&h, WAVE_MAPPER, &format, &queue, 0, CALLBACK_WINDOW) != 0) std::abort();
  queue.WaitFor(MM_WOM_OPEN);
  waveOutPrepareHeader(h, &header, sizeof header);
  waveOutWrite(h, &header, sizeof header);
  queue.WaitFor(MM_WOM_DONE);
  waveOutUnprepareHeader(h, &header, sizeof header);
  waveOutClose(h);
  queue.WaitFor(MM_WOM_CLOSE);
}

void BM_FastNullTone(benchmark::State& state) {
  SelectWaveOutput("null:fast");
  const WAVEFORMATEX format = ToneFormat();
  std::vector<char> data(static_cast<size_t>(state.range(0)));
  WAVEHDR header{};
  header.lpData = data.data();
  header.dwBufferLength = static_cast<uint32_t>(data.size());
  BlockingQueue queue;
  PlayTone(queue, format, header);
  const uint64_t before = HeapAllocations();
  for (auto _ : state) PlayTone(queue, format, header);
  state.counters["allocs_per_tone"] =
      static_cast<double>(HeapAllocations() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FastNullTone)->Arg(0)->Arg(2000);

void BM_WavTone(benchmark::State& state) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("tonewell_bench_" + std::to_string(getpid()) + ".wav"))
                               .string();
  SelectWaveOutput("wav:" + path);
  const WAVEFORMATEX format = ToneFormat();
  std::vector<char> data(2000, 1);
  WAVEHDR header{};
  header.lpData = data.data();
  header.dwBufferLength = static_cast<uint32_t>(data.size());
  BlockingQueue queue;
  for (auto _ : state) PlayTone(queue, format, header);
  state.SetBytesProcessed(state.iterations() * 2000);
  SelectWaveOutput("null:fast");
  std::remove(path.c_str());
}
BENCHMARK(BM_WavTone);
// The battle's whole recording in one go: 160000 tones of 2000 bytes.
BENCHMARK(BM_WavTone)->Iterations(160000)->Unit(benchmark::kMillisecond);

// The whole process's processor time (a clock thread's included).
double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

template <typename Queue>
void PacedNullTones(benchmark::State& state) {
  SelectWaveOutput("null");
  const WAVEFORMATEX format = ToneFormat();
  const int tones = 300;
  std::vector<char> data(2000);  // 1000 samples of 16 bits: 11.34 ms
  WAVEHDR header{};
  header.lpData = data.data();
  header.dwBufferLength = static_cast<uint32_t>(data.size());
  Queue queue;
  double wall = 0, cpu = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    for (int i = 0; i < tones; ++i) PlayTone(queue, format, header);
    cpu += CpuSeconds() - cpuStart;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double count = static_cast<double>(state.iterations()) * tones;
  const double sound = count * 2000 / 176400.0;
  state.counters["wall_per_sound"] = wall / sound;
  state.counters["us_per_tone"] = (wall - sound) / count * 1e6;
  state.counters["cpu_per_wall"] = cpu / wall;
  SelectWaveOutput("null:fast");
}
void BM_PacedNullTones_clock(benchmark::State& state) { PacedNullTones<BlockingQueue>(state); }
void BM_PacedNullTones_window(benchmark::State& state) { PacedNullTones<WindowQueue>(state); }
BENCHMARK(BM_PacedNullTones_clock)
    ->Name("BM_PacedNullTones/clock")
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PacedNullTones_window)
    ->Name("BM_PacedNullTones/window")
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

// The whole road of an executed instruction, SynthesizeTone to the backend,
// with one instruction's tone over and over (computed once, then remembered).
void Road(benchmark::State& state, const char* audio, int tonesPerIteration) {
  setenv("TONEWELL_AUDIO", audio, 1);
  SoundSamples = static_cast<int32_t>(state.range(0));
  CreateAudioObjects();
  CoreCell cell;
  ParseRedcodeLine("JMP.B $1, $0", cell);
  // Warm: the tone remembered, and every pool of the road at the size it
  // keeps (a device may return a block a tone or two after it was played).
  for (int i = 0; i < 10; ++i) SynthesizeTone(cell);
  const uint64_t before = HeapAllocations();
  double wall = 0, cpu = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    for (int i = 0; i < tonesPerIteration; ++i) SynthesizeTone(cell);
    cpu += CpuSeconds() - cpuStart;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double tones = static_cast<double>(state.iterations()) * tonesPerIteration;
  state.counters["allocs_per_tone"] = static_cast<double>(HeapAllocations() - before) / tones;
  if (tonesPerIteration > 1) {
    const double sound = tones * static_cast<double>(SoundSamples) / 88200.0;
    state.counters["wall_per_sound"] = wall / sound;
    state.counters["us_per_tone"] = (wall - sound) / tones * 1e6;
    state.counters["cpu_per_wall"] = cpu / wall;
  }
  FreeAudioObjects();
  SelectWaveOutput("null:fast");
}
void BM_RoadFast(benchmark::State& state) { Road(state, "null:fast", 1); }
void BM_RoadPaced(benchmark::State& state) { Road(state, "null", 200); }
BENCHMARK(BM_RoadFast)->Name("BM_Road/fast")->Arg(1000);
BENCHMARK(BM_RoadPaced)
    ->Name("BM_Road/paced")
    ->Arg(1000)
    ->Arg(100)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  static std::string other;
  if (const char* audio = std::getenv("TONEWELL_BENCH_ROAD_AUDIO")) other = audio;
  if (!other.empty()) {
    benchmark::RegisterBenchmark(("BM_Road/" + other).c_str(),
                                 [](benchmark::State& state) { Road(state, other.c_str(), 20); })
        ->Arg(1000)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
