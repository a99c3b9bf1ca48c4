#pragma once
// The terminal view of the program's battle, on standard error: chosen by
// TONEWELL_VIEW, started before the warriors are loaded (so that setting up
// the terminal is not part of the battle), stopped when the battle is over
// (or ends by a failure or Ctrl-C) before anything else goes to the
// terminal. Standard output is never written.

#include <atomic>
#include <memory>
#include <mutex>

#include "driver/BattleFeed.h"
#include "driver/BattleState.h"
#include "driver/CommandLine.h"
#include "view/BattleView.h"
#include "view/ViewSetting.h"

namespace tw {

// A warrior's name as the view shows it: the text after ";name" in its file
// (the first such line; regular files only, a pipe is not read here), or
// else the file's name without its folder and extension. Control characters become "?"; at most 24
// characters.
std::string WarriorDisplayName(const std::string& file_name);

class LiveView {
 public:
  // Starts the view `setting` asks for on descriptor `fd` (standard error),
  // for a battle of the command line's two warriors and at most `cycles`
  // cycles, and returns once it shows its first frame. Nothing is started
  // when no view is drawn.
  LiveView(ViewSetting setting, const CommandLine& command_line, std::int32_t cycles, int fd = 2);
  // Stops the view (the terminal is given back) when Stop was not called.
  ~LiveView();
  LiveView(const LiveView&) = delete;
  LiveView& operator=(const LiveView&) = delete;

  // Runs the battle: through the view's feed when a view is drawn,
  // otherwise exactly RunBattle(state).
  void RunBattle(BattleState& state);
  // Shows the battle's last moment and gives the terminal back. Idempotent.
  void Stop();
  // Gives the terminal back without a last frame, from another thread (the
  // signal watch's) while the battle may still run. Idempotent, with Stop
  // too: a second caller returns once the first has given the terminal back.
  void GiveBackTerminal();

  bool Drawing() const { return view_ != nullptr; }
  // How long the view's frames took to draw (none when nothing is drawn).
  FrameStats Stats() { return view_ != nullptr ? view_->Stats() : FrameStats{}; }

 private:
  std::unique_ptr<BattleView> view_;
  std::unique_ptr<BattleFeed> feed_;
  std::atomic<bool> ran_{false};
  std::mutex stopMutex_;
  bool stopped_ = false;  // guarded by stopMutex_
};

}  // namespace tw
