#pragma once
// A terminal for the view's benchmarks, one file per system: on Linux a
// pseudo-terminal of the asked size whose other end is read and dropped by a
// thread, as a terminal takes what it is given; on Windows the process's own
// console (run the benchmark in one of the asked size: a console's size is
// its window's, not the program's to choose).

#include <atomic>
#include <string>
#include <thread>

namespace tw {

class BenchTerminal {
 public:
  BenchTerminal(int cols, int rows);
  ~BenchTerminal();
  BenchTerminal(const BenchTerminal&) = delete;
  BenchTerminal& operator=(const BenchTerminal&) = delete;

  // The descriptor the view draws on; -1 when there is no terminal of the
  // asked size, and Problem() says why.
  int Fd() const { return fd_; }
  const std::string& Problem() const { return problem_; }
  // Bytes the terminal took so far; -1 where that is not seen (a console).
  long Bytes() const;

 private:
  int fd_ = -1;
  int master_ = -1;
  std::string problem_;
  std::atomic<long> bytes_{0};
  std::thread drain_;
};

// The system's null device, for a view that writes to a file.
const char* NullDevicePath();

}  // namespace tw
