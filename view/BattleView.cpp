#include "view/BattleView.h"

#include <time.h>

#include <algorithm>
#include <deque>
#include <utility>

namespace tw {

namespace {

using Clock = std::chrono::steady_clock;

// How long a frame waits for the battle to answer its request. A battle
// blocked in a long tone does not answer; the frame is drawn from the moment
// it has.
constexpr std::chrono::milliseconds kAnswerWait(10);
// Frame times kept for the statistics (about an hour at 30 frames a second).
constexpr std::size_t kMaxFrameTimes = 100000;

std::unique_ptr<ViewScreen> Open(ViewKind kind, int fd) {
  switch (kind) {
    case ViewKind::kCore:
      return OpenCoreScreen(fd);
    case ViewKind::kLine:
      return OpenLineScreen(fd);
    case ViewKind::kPlain:
      return OpenPlainScreen(fd);
    case ViewKind::kNone:
      break;
  }
  return nullptr;
}

// Cycles per second over the last second or so of snapshots.
class RateMeter {
 public:
  void Add(const BattleSnapshot& s) {
    samples_.emplace_back(s.Taken, s.Cycle);
    while (samples_.size() > 2 && s.Taken - samples_[1].first > std::chrono::seconds(1)) {
      samples_.pop_front();
    }
  }
  double CyclesPerSecond() const {
    if (samples_.size() < 2) return 0;
    const double seconds =
        std::chrono::duration<double>(samples_.back().first - samples_.front().first).count();
    if (seconds < 0.05) return 0;
    return (samples_.back().second - samples_.front().second) / seconds;
  }

 private:
  std::deque<std::pair<Clock::time_point, std::int32_t>> samples_;
};

}  // namespace

BattleView::BattleView(ViewKind kind, ViewKind fallback, BattleDescription description, int fd)
    : description_(std::move(description)), fd_(fd) {
  // Asked before the battle starts, so its very first step is shown even
  // when that tone is long.
  exchange_.Request();
  thread_ = std::thread([this, kind, fallback] { Run(kind, fallback); });
  // The terminal is set up and the first frame is out before the battle
  // starts: neither competes with the battle for the processor.
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return ready_; });
}

BattleView::~BattleView() { Stop(); }

void BattleView::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool BattleView::StopRequested(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_until(lock, deadline, [this] { return stop_; });
  return stop_;
}

namespace {

void Summarize(std::vector<float> times, double& median, double& p99, double& max) {
  if (times.empty()) return;
  std::sort(times.begin(), times.end());
  median = times[times.size() / 2];
  p99 = times[std::min(times.size() - 1, times.size() * 99 / 100)];
  max = times.back();
}

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

}  // namespace

FrameStats BattleView::Stats() {
  std::vector<float> wall, cpu;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wall = frameMs_;
    cpu = frameCpuMs_;
  }
  FrameStats stats;
  stats.Frames = static_cast<int>(wall.size());
  Summarize(std::move(wall), stats.MedianMs, stats.P99Ms, stats.MaxMs);
  Summarize(std::move(cpu), stats.CpuMedianMs, stats.CpuP99Ms, stats.CpuMaxMs);
  return stats;
}

void BattleView::Run(ViewKind kind, ViewKind fallback) {
  std::unique_ptr<ViewScreen> screen = Open(kind, fd_);
  if (screen == nullptr) screen = Open(fallback, fd_);
  BattleSnapshot snapshot;
  snapshot.Writers.assign(static_cast<std::size_t>(std::max(description_.CoreCells, 0)), 0);
  snapshot.WarriorCount = std::min(static_cast<int>(description_.Names.size()), ViewMaxWarriors);
  FrameFigures figures;
  if (screen != nullptr) {
    screen->Draw(description_, snapshot, figures);
    // Until the terminal has taken it all: drawing it is the terminal's
    // work, which is better done before the battle than during it.
    DrainTerminal(fd_);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = true;
  }
  wake_.notify_all();
  if (screen == nullptr) {
    StopRequested(Clock::time_point::max());
    return;
  }
  RateMeter rate;
  const auto interval = screen->FrameInterval();
  Clock::time_point next = Clock::now() + interval;
  while (!StopRequested(next)) {
    exchange_.Request();
    if (exchange_.Collect(snapshot, Clock::now() + kAnswerWait)) {
      rate.Add(snapshot);
      figures.CyclesPerSecond = rate.CyclesPerSecond();
    }
    const Clock::time_point start = Clock::now();
    const double cpu_start = ThreadCpuMs();
    screen->Draw(description_, snapshot, figures);
    const auto cpu_ms = static_cast<float>(ThreadCpuMs() - cpu_start);
    const float ms = std::chrono::duration<float, std::milli>(Clock::now() - start).count();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (frameMs_.size() < kMaxFrameTimes) {
        frameMs_.push_back(ms);
        frameCpuMs_.push_back(cpu_ms);
      }
    }
    // Frames start at least one interval apart, whatever a slow one cost.
    next = start + interval;
  }
  // The battle publishes its last moment before it stops the view.
  if (exchange_.Collect(snapshot, Clock::now())) rate.Add(snapshot);
  screen->Finish(description_, snapshot, figures);
}

}  // namespace tw
