#pragma once
// Where frames go: a full-screen view (terminfo through curses), one status
// line redrawn in place (terminfo), or plain lines for a file or pipe. Each
// is used from one thread only: the one that opened it.

#include <chrono>
#include <memory>

#include "view/BattleSnapshot.h"
#include "view/FrameText.h"

namespace tw {

class ViewScreen {
 public:
  virtual ~ViewScreen() = default;
  ViewScreen() = default;
  ViewScreen(const ViewScreen&) = delete;
  ViewScreen& operator=(const ViewScreen&) = delete;

  // The least time between two frames.
  virtual std::chrono::milliseconds FrameInterval() const = 0;
  // Draws one frame at the terminal's current size (a resized window is
  // followed at the next frame).
  virtual void Draw(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f) = 0;
  // The last words once the battle is over; afterwards the terminal is in
  // the modes and on the screen it was in before the open. Called at most
  // once; the destructor gives the terminal back too when it was not.
  virtual void Finish(const BattleDescription& d, const BattleSnapshot& s,
                      const FrameFigures& f) = 0;
};

// The core view on terminal `fd`: status lines at the top, the core map
// below, in colour where the terminal has it. Null when the terminal's type
// (TERM) is unknown or the terminal cannot be driven; nothing is written then.
std::unique_ptr<ViewScreen> OpenCoreScreen(int fd);
// One status line on terminal `fd`, redrawn in place and cleared at the end.
// Null like OpenCoreScreen.
std::unique_ptr<ViewScreen> OpenLineScreen(int fd);
// A plain status line on `fd` every second and one at the end: no control
// codes, for a file or a pipe.
std::unique_ptr<ViewScreen> OpenPlainScreen(int fd);

// Writes all of `text` to `fd`, retrying after interruptions; gives up
// silently on an error (a view never fails the battle).
void WriteAll(int fd, const char* text, std::size_t size);

// Returns once a terminal on `fd` has put out everything written to it (at
// once for anything else).
void DrainTerminal(int fd);

// The screens are drawn through curses and terminfo on Linux (CursesScreen.cpp,
// LineScreen.cpp), through the console's own functions on Windows
// (ConsoleCoreScreen_windows.cpp: the core view in a screen buffer of its
// own; ConsoleScreen_windows.cpp: the status line). "Terminal" above means
// the console there.

}  // namespace tw
