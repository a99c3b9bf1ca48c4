#pragma once
// For tests on POSIX systems (PseudoTerminal_posix.cpp): a pseudo-terminal
// whose terminal side is handed to the code under test and whose other side
// is read by a thread of its own, so a writer never blocks on a full
// terminal. Sets TERM to xterm-256color, the terminal the view is tested on.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tw::testing {

class PseudoTerminal {
 public:
  // Opens a terminal of `cols` by `rows`; Opened() tells whether it did.
  explicit PseudoTerminal(int cols = 80, int rows = 24);
  // Closes both sides and waits for the reader.
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool Opened() const { return terminal_ >= 0; }
  // The terminal side, for the code under test (-1 once closed).
  int Fd() const { return terminal_; }
  void Resize(int cols, int rows);
  // The terminal's modes (its termios record), to compare.
  std::string Modes() const;
  // What reached the terminal since the last call, once nothing more has
  // come for `quiet`.
  std::string Received(std::chrono::milliseconds quiet = std::chrono::milliseconds(50));
  // Closes the terminal side and returns everything that reached it after
  // the last Received.
  std::string ReceivedUntilClosed();

 private:
  void Read();

  int master_ = -1;
  int terminal_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::string received_;
  bool ended_ = false;
};

}  // namespace tw::testing
