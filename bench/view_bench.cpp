// The cost of watching a battle in the terminal view.
//
//   BM_WatchedBattle/off|core|line  the program's battle, examples/Mice.red
//       against examples/Piper.red on null:fast at N = 0, run as the program
//       runs it: the view (TONEWELL_VIEW off, core or line) started after
//       loading, the battle, the view stopped. The views draw on a
//       pseudo-terminal whose other end is read and discarded. Reported as
//       cycles per second of battle (the view's stop, after the battle, is
//       not timed, as the program does not time it either), and the frame
//       times of the view's own thread.
//   BM_Frame/cols/rows/changed  one frame of the core view on a terminal of
//       that size: composition from a snapshot and curses' output of what
//       changed. changed = 1 alternates two snapshots far apart in the
//       battle (most of the map changes), 0 two consecutive frames' worth.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_execute_quillmar_audio.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/BattleFeed.h"
#include "driver/BattleLoop.h"
#include "driver/LiveView.h"
#include "view/ViewScreen.h"

namespace tw {
namespace {

const std::string kExamples = TONEWELL_SOURCE_DIR "/examples";

// A pseudo-terminal of a given size; whatever is written to it is read and
// dropped by a thread, as a terminal would take it.
class Pty {
 public:
  Pty(int cols, int rows) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    winsize ws{};
    ws.ws_col = static_cast<unsigned short>(cols);
    ws.ws_row = static_cast<unsigned short>(rows);
    ioctl(master_, TIOCSWINSZ, &ws);
    drain_ = std::thread([this] {
      char buffer[65536];
      for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;) bytes_ += n;
    });
  }
  ~Pty() {
    if (slave_ >= 0) close(slave_);  // the reader sees the end
    if (drain_.joinable()) drain_.join();
    if (master_ >= 0) close(master_);
  }
  int Fd() const { return slave_; }
  long Bytes() const { return bytes_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::atomic<long> bytes_{0};
  std::thread drain_;
};

void LoadBundledBattle(BattleState& state, CommandLine& command_line) {
  command_line.Warrior1FileName = kExamples + "/Mice.red";
  command_line.Warrior2FileName = kExamples + "/Piper.red";
  LoadWarriors(state, command_line.Warrior1FileName, command_line.Warrior2FileName);
  state.Rounds = 1;
  state.Cycles = 80000;
}

void BM_WatchedBattle(benchmark::State& bench, ViewSetting setting) {
  setenv("TERM", "tmux-256color", 1);
  setenv("TONEWELL_AUDIO", "null:fast", 1);
  SoundSamples = 0;
  CreateAudioObjects();
  auto state = std::make_unique<BattleState>();
  CommandLine command_line;
  LoadBundledBattle(*state, command_line);
  Pty terminal(100, 30);
  std::int64_t cycles = 0;
  FrameStats frames;
  double max_frame = 0;
  for (auto _ : bench) {
    RandomSeed = 0;
    LiveView view(setting, *state, command_line, terminal.Fd());
    view.RunBattle(*state);
    bench.PauseTiming();
    view.Stop();
    frames.Frames += view.Stats().Frames;
    max_frame = std::max(max_frame, view.Stats().MaxMs);
    cycles += state->EndCycle;
    bench.ResumeTiming();
  }
  FreeAudioObjects();
  bench.SetItemsProcessed(cycles);
  bench.counters["frames"] = frames.Frames;
  bench.counters["max_frame_ms"] = max_frame;
}
BENCHMARK_CAPTURE(BM_WatchedBattle, off, ViewSetting::kOff)->UseRealTime()->MinTime(1.0);
BENCHMARK_CAPTURE(BM_WatchedBattle, core, ViewSetting::kCore)->UseRealTime()->MinTime(1.0);
BENCHMARK_CAPTURE(BM_WatchedBattle, line, ViewSetting::kLine)->UseRealTime()->MinTime(1.0);

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
  if (getenv("VIEW_BENCH_TERM"))
    setenv("TERM", getenv("VIEW_BENCH_TERM"), 1);
  else
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
  Pty terminal(cols, rows);
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
  usleep(100000);
  bench.counters["bytes_per_frame"] = static_cast<double>(terminal.Bytes() - bytes_before) / frame;
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
namespace tw {
namespace {
void BM_FeedOnly(benchmark::State& bench) {
  setenv("TONEWELL_AUDIO", "null:fast", 1);
  SoundSamples = 0;
  CreateAudioObjects();
  auto state = std::make_unique<BattleState>();
  CommandLine command_line;
  LoadBundledBattle(*state, command_line);
  std::int64_t cycles = 0;
  SnapshotExchange exchange;
  for (auto _ : bench) {
    RandomSeed = 0;
    BattleFeed feed(exchange);
    RunBattle(*state, feed);
    cycles += state->EndCycle;
  }
  FreeAudioObjects();
  bench.SetItemsProcessed(cycles);
}
BENCHMARK(BM_FeedOnly)->UseRealTime()->MinTime(1.0);
}  // namespace
}  // namespace tw
