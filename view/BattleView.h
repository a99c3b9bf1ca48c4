#pragma once
// The live view of a battle: a thread of its own that asks the battle for a
// snapshot at most once per frame, draws it, and gives the terminal back at
// the end. The battle thread's only duties are to look at Exchange().Wanted()
// now and then and publish when asked (see SnapshotExchange), and to call
// Stop() when the battle is over, before anything else goes to the terminal.

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "view/BattleSnapshot.h"
#include "view/ViewScreen.h"
#include "view/ViewSetting.h"

namespace tw {

// How long frames took to draw (composition and output to the terminal), in
// milliseconds: wall time, and the view thread's own processor time (which
// leaves out waiting for the terminal and for a busy machine's processors).
struct FrameStats {
  int Frames = 0;
  double MedianMs = 0, P99Ms = 0, MaxMs = 0;
  double CpuMedianMs = 0, CpuP99Ms = 0, CpuMaxMs = 0;
};

class BattleView {
 public:
  // Starts the view's thread, which opens `kind` on descriptor `fd`. When
  // the terminal cannot be driven (an unknown TERM) it opens `fallback`
  // instead (kNone: nothing is written at all). Returns once the screen is
  // open and shows the first frame (the names, an untouched core), so the
  // setting up is done before the battle starts.
  BattleView(ViewKind kind, ViewKind fallback, BattleDescription description, int fd);
  // Stops the view when Stop was not called.
  ~BattleView();
  BattleView(const BattleView&) = delete;
  BattleView& operator=(const BattleView&) = delete;

  SnapshotExchange& Exchange() { return exchange_; }

  // Draws the last words from the snapshot published last (if any), gives
  // the terminal back as it was and ends the thread. Returns once all of
  // that is done. Idempotent.
  void Stop();

  // Frame times so far; complete after Stop.
  FrameStats Stats();

 private:
  void Run(ViewKind kind, ViewKind fallback);
  // Waits for the stop request until `deadline`; true once asked to stop.
  bool StopRequested(std::chrono::steady_clock::time_point deadline);

  const BattleDescription description_;
  const int fd_;
  SnapshotExchange exchange_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool ready_ = false;                       // the screen is open (or known not to open)
  std::vector<float> frameMs_, frameCpuMs_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace tw
