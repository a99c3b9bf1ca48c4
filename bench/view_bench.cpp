// The cost of watching a battle in the terminal view.
//
//   BM_ViewCost  the program's battle, examples/Mice.red against
//       examples/Piper.red on null:fast at N = 0, run as the program runs
//       it: the view (TONEWELL_VIEW off, core or line) started and
//       showing its first frame, the battle, the view stopped. The views draw on a
//       pseudo-terminal of 100 x 30 whose other end is read and discarded
//       (on Windows: on the program's console, which must be 100 x 30).
//       Reported: cycles per second of battle for each setting (the view's
//       stop, after the battle, is not timed, as the program does not time
//       it either), core_vs_off and line_vs_off (median ratio of speeds
//       within one round of the three), and the core view's frame times.
//   BM_ViewFrames/cols/rows  the frame times of the core view during long
//       battles (an imp and a spreading dwarf, 80000 cycles at N = 0).
//   BM_Frame/cols/rows/changed  one frame of the core view on a terminal of
//       that size: composition from a snapshot and curses' output of what
//       changed. changed = 1 alternates two snapshots far apart in the
//       battle (most of the map changes), 0 two consecutive frames' worth.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchTerminal.h"
#include "core/ToneAudio.h"
#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_utils.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/BattleFeed.h"
#include "driver/BattleLoop.h"
#include "driver/LiveView.h"
#include "view/ViewScreen.h"

namespace tw {
namespace {

const std::string kExamples = TONEWELL_SOURCE_DIR "/examples";

CoreCell CellOf(const char* line) {
  CoreCell cell;
  ParseRedcodeLine(line, cell);
  return cell;
}

void LoadBundledBattle(BattleState& state, CommandLine& command_line) {
  command_line.Warrior1FileName = kExamples + "/Mice.red";
  command_line.Warrior2FileName = kExamples + "/Piper.red";
  LoadWarriors(state, command_line.Warrior1FileName, command_line.Warrior2FileName);
  state.Rounds = 1;
  state.Cycles = 80000;
}

// One battle as Run times it: the view is started before the clock (the
// warriors are loaded already here), then the battle is timed; the view's
// stop comes after the clock is read.
double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double TimedBattle(BattleState& state, const CommandLine& command_line, ViewSetting setting, int fd,
                   FrameStats& frames, double& cpu) {
  RandomSeed = 0;
  LiveView view(setting, command_line, state.Cycles, fd);
  const double cpu_start = ThreadCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  view.RunBattle(state);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cpu = ThreadCpuSeconds() - cpu_start;
  view.Stop();
  const FrameStats f = view.Stats();
  frames.Frames += f.Frames;
  frames.MaxMs = std::max(frames.MaxMs, f.MaxMs);
  frames.CpuMaxMs = std::max(frames.CpuMaxMs, f.CpuMaxMs);
  return seconds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Each iteration runs the battle once with each variant, in an order shuffled
// anew every time (what ran just before a battle must not favour one
// variant), so that the machine's load drifts alike for all; a ratio is the
// median of the speed ratios within one iteration. "off2" runs without a
// view again: off2_vs_off shows how far apart two identical runs come out on
// the machine at that time. "plain" is the feed and the view's thread
// without drawing (TONEWELL_VIEW=core on a file gets plain lines, one a
// second). The battle's thread's processor time is compared the same way
// (name_cpu_vs_off): what the view costs the battle itself, apart from the
// processors it takes from everything else on a busy machine.
void BM_ViewCost(benchmark::State& bench) {
  setenv("TERM", "tmux-256color", 1);
  setenv("TONEWELL_AUDIO", "null:fast", 1);
  SoundSamples = 0;
  CreateAudioObjects();
  auto state = std::make_unique<BattleState>();
  CommandLine command_line;
  LoadBundledBattle(*state, command_line);
  BenchTerminal terminal(100, 30);
  if (terminal.Fd() < 0) {
    bench.SkipWithError(terminal.Problem().c_str());
    return;
  }
  const int devnull = open(NullDevicePath(), O_WRONLY);
  struct Variant {
    const char* name;
    ViewSetting setting;
    int fd;
  };
  const Variant variants[] = {{"off", ViewSetting::kOff, terminal.Fd()},
                              {"off2", ViewSetting::kOff, terminal.Fd()},
                              {"core", ViewSetting::kCore, terminal.Fd()},
                              {"line", ViewSetting::kLine, terminal.Fd()},
                              {"plain", ViewSetting::kCore, devnull}};
  constexpr int kVariants = sizeof variants / sizeof variants[0];
  std::vector<double> seconds[kVariants], ratio[kVariants], cpu_ratio[kVariants];
  FrameStats frames[kVariants];
  std::mt19937 shuffle(12345);
  int order[kVariants];
  std::iota(order, order + kVariants, 0);
  for (auto _ : bench) {
    std::shuffle(order, order + kVariants, shuffle);
    double t[kVariants], cpu[kVariants];
    for (int i = 0; i < kVariants; ++i) {
      const int k = order[i];
      t[k] =
          TimedBattle(*state, command_line, variants[k].setting, variants[k].fd, frames[k], cpu[k]);
      seconds[k].push_back(t[k]);
    }
    for (int k = 1; k < kVariants; ++k) {
      ratio[k].push_back(t[0] / t[k]);
      cpu_ratio[k].push_back(cpu[0] / cpu[k]);
    }
  }
  FreeAudioObjects();
  close(devnull);
  const double cycles = state->EndCycle;
  for (int k = 0; k < kVariants; ++k) {
    const std::string name = variants[k].name;
    bench.counters[name + "_cycles_per_s"] = cycles / Median(seconds[k]);
    if (k == 0) continue;
    bench.counters[name + "_vs_off"] = Median(ratio[k]);
    // The same for the processor time of the battle's own thread, which a
    // busy machine's other work hardly moves.
    bench.counters[name + "_cpu_vs_off"] = Median(cpu_ratio[k]);
  }
  bench.counters["core_frames"] = frames[2].Frames;
  bench.counters["core_frame_max_ms"] = frames[2].MaxMs;
  bench.counters["core_frame_cpu_max_ms"] = frames[2].CpuMaxMs;
}
BENCHMARK(BM_ViewCost)->Iterations(100)->Unit(benchmark::kMillisecond)->UseRealTime();

// Frame times over long battles: an imp and a spreading dwarf that both
// live through 80000 cycles on null:fast at N = 0, watched by the core view
// on a pseudo-terminal of the given size. Reported over all views: the
// median of their median frame times, the largest of their 99th
// percentiles and the largest frame, wall and processor time.
void BM_ViewFrames(benchmark::State& bench) {
  setenv("TERM", "tmux-256color", 1);
  setenv("TONEWELL_AUDIO", "null:fast", 1);
  SoundSamples = 0;
  CreateAudioObjects();
  auto state = std::make_unique<BattleState>();
  state->WarriorCount = 2;
  state->Programs[0] = {CellOf("MOV.I $0, $1")};
  state->Programs[1] = {CellOf("SPL.B $0, $0"), CellOf("MOV.I $-1, $1")};
  state->Rounds = 1;
  state->Cycles = 80000;
  CommandLine command_line;
  command_line.Warrior1FileName = "Imp.red";
  command_line.Warrior2FileName = "Dwarf.red";
  BenchTerminal terminal(static_cast<int>(bench.range(0)), static_cast<int>(bench.range(1)));
  if (terminal.Fd() < 0) {
    bench.SkipWithError(terminal.Problem().c_str());
    return;
  }
  std::vector<double> medians;
  FrameStats worst;
  for (auto _ : bench) {
    RandomSeed = 0;
    LiveView view(ViewSetting::kCore, command_line, state->Cycles, terminal.Fd());
    view.RunBattle(*state);
    view.Stop();
    const FrameStats f = view.Stats();
    worst.Frames += f.Frames;
    medians.push_back(f.MedianMs);
    worst.P99Ms = std::max(worst.P99Ms, f.P99Ms);
    worst.MaxMs = std::max(worst.MaxMs, f.MaxMs);
    worst.CpuMedianMs = std::max(worst.CpuMedianMs, f.CpuMedianMs);
    worst.CpuP99Ms = std::max(worst.CpuP99Ms, f.CpuP99Ms);
    worst.CpuMaxMs = std::max(worst.CpuMaxMs, f.CpuMaxMs);
  }
  FreeAudioObjects();
  bench.counters["frames"] = worst.Frames;
  bench.counters["median_ms"] = Median(medians);
  bench.counters["p99_ms"] = worst.P99Ms;
  bench.counters["max_ms"] = worst.MaxMs;
  bench.counters["cpu_median_ms"] = worst.CpuMedianMs;
  bench.counters["cpu_p99_ms"] = worst.CpuP99Ms;
  bench.counters["cpu_max_ms"] = worst.CpuMaxMs;
}
BENCHMARK(BM_ViewFrames)
    ->Args({100, 30})
    ->Args({200, 60})
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Snapshots of the bundled battle at the given cycles.
struct SnapshotTaker {
  BattleFeed& feed;
  SnapshotExchange& exchange;
  std::vector<std::int32_t> cycles;
  std::vector<BattleSnapshot> taken;
  std::int32_t cycle = 1;

  void RoundStarted(const BattleState& s) { feed.RoundStarted(s); }
  void BeforeStep(int w, const CoreMemory& core, const ProcessQueue& queue) {
    const bool wanted = w == 0 && std::find(cycles.begin(), cycles.end(), cycle) != cycles.end();
    if (wanted) exchange.Request();
    feed.BeforeStep(w, core, queue);
    if (wanted) {
      taken.emplace_back();
      exchange.Collect(taken.back(), std::chrono::steady_clock::now());
    }
  }
  void CycleEnded(std::int32_t c) {
    feed.CycleEnded(c);
    cycle = c + 1;
  }
};

const std::vector<BattleSnapshot>& BattleSnapshots() {
  static const std::vector<BattleSnapshot> snapshots = [] {
    auto state = std::make_unique<BattleState>();
    CommandLine command_line;
    LoadBundledBattle(*state, command_line);
    RandomSeed = 0;
    SnapshotExchange exchange;
    BattleFeed feed(exchange);
    // Two moments one frame apart at about 700 k cycles per second, and one
    // far later.
    SnapshotTaker taker{feed, exchange, {5000, 5020, 10000}, {}};
    RunBattleWith<SilentTone>(*state, taker);
    return taker.taken;
  }();
  return snapshots;
}

void BM_Frame(benchmark::State& bench) {
  setenv("TERM", "tmux-256color", 1);
  const int cols = static_cast<int>(bench.range(0));
  const int rows = static_cast<int>(bench.range(1));
  const bool changed = bench.range(2) != 0;
  const auto& snapshots = BattleSnapshots();
  if (snapshots.size() != 3) {
    bench.SkipWithError("no snapshots");
    return;
  }
  BattleDescription description;
  description.Names = {"Mice", "Piper"};
  description.CycleLimit = 80000;
  description.CoreCells = CoreSize;
  description.SecondsPerTone = 1000 / 88200.0;
  description.Unpaced = true;
  FrameFigures figures;
  figures.CyclesPerSecond = 700000;
  BenchTerminal terminal(cols, rows);
  if (terminal.Fd() < 0) {
    bench.SkipWithError(terminal.Problem().c_str());
    return;
  }
  std::unique_ptr<ViewScreen> screen = OpenCoreScreen(terminal.Fd());
  if (screen == nullptr) {
    bench.SkipWithError("the terminal cannot be driven");
    return;
  }
  const BattleSnapshot& a = snapshots[0];
  const BattleSnapshot& b = changed ? snapshots[2] : snapshots[1];
  std::size_t frame = 0;
  screen->Draw(description, a, figures);
  const long bytes_before = terminal.Bytes();
  for (auto _ : bench) {
    screen->Draw(description, ++frame % 2 == 0 ? a : b, figures);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (bytes_before >= 0) {
    bench.counters["bytes_per_frame"] =
        static_cast<double>(terminal.Bytes() - bytes_before) / static_cast<double>(frame);
  }
  screen->Finish(description, a, figures);
}
BENCHMARK(BM_Frame)
    ->Args({80, 24, 0})
    ->Args({80, 24, 1})
    ->Args({200, 60, 0})
    ->Args({200, 60, 1})
    ->Args({320, 100, 1})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
}  // namespace tw

BENCHMARK_MAIN();
