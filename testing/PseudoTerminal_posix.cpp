#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

#include "testing/PseudoTerminal.h"

namespace tw::testing {

PseudoTerminal::PseudoTerminal(int cols, int rows) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
  terminal_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
  if (terminal_ < 0) return;
  Resize(cols, rows);
  setenv("TERM", "xterm-256color", 1);
  reader_ = std::thread([this] { Read(); });
}

PseudoTerminal::~PseudoTerminal() {
  if (terminal_ >= 0) close(terminal_);  // the reader sees the end
  if (reader_.joinable()) reader_.join();
  if (master_ >= 0) close(master_);
}

void PseudoTerminal::Read() {
  char buffer[4096];
  for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;) {
    std::lock_guard lock(mutex_);
    received_.append(buffer, static_cast<size_t>(n));
    arrived_.notify_all();
  }
  std::lock_guard lock(mutex_);
  ended_ = true;
  arrived_.notify_all();
}

void PseudoTerminal::Resize(int cols, int rows) {
  winsize ws{};
  ws.ws_col = static_cast<unsigned short>(cols);
  ws.ws_row = static_cast<unsigned short>(rows);
  ioctl(master_, TIOCSWINSZ, &ws);
}

std::string PseudoTerminal::Modes() const {
  termios t{};
  tcgetattr(terminal_, &t);
  return std::string(reinterpret_cast<const char*>(&t), sizeof t);
}

std::string PseudoTerminal::Received(std::chrono::milliseconds quiet) {
  std::unique_lock lock(mutex_);
  for (size_t seen = received_.size();; seen = received_.size()) {
    arrived_.wait_for(lock, quiet, [&] { return ended_ || received_.size() != seen; });
    if (ended_ || received_.size() == seen) break;
  }
  return std::exchange(received_, {});
}

std::string PseudoTerminal::ReceivedUntilClosed() {
  if (terminal_ >= 0) close(terminal_);
  terminal_ = -1;
  if (reader_.joinable()) reader_.join();
  std::lock_guard lock(mutex_);
  return std::exchange(received_, {});
}

}  // namespace tw::testing
