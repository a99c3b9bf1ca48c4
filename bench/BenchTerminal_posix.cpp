// The benchmarks' terminal on Linux: a pseudo-terminal.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "bench/BenchTerminal.h"

namespace tw {

BenchTerminal::BenchTerminal(int cols, int rows) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    problem_ = "no pseudo-terminal";
    return;
  }
  fd_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
  winsize ws{};
  ws.ws_col = static_cast<unsigned short>(cols);
  ws.ws_row = static_cast<unsigned short>(rows);
  ioctl(master_, TIOCSWINSZ, &ws);
  drain_ = std::thread([this] {
    char buffer[65536];
    for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;) bytes_ += n;
  });
}

BenchTerminal::~BenchTerminal() {
  if (fd_ >= 0) close(fd_);  // the reader sees the end
  if (drain_.joinable()) drain_.join();
  if (master_ >= 0) close(master_);
}

long BenchTerminal::Bytes() const { return bytes_; }

const char* NullDevicePath() { return "/dev/null"; }

}  // namespace tw
