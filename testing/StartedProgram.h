#pragma once
// For tests on POSIX systems (StartedProgram_posix.cpp): a program started
// and left running while the test goes on, to be waited for, signalled or
// killed. RunProgram (ProgramRun.h) is the same start, waited for at once.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace tw::testing {

// NAME, VALUE pairs applied to this process's environment for a started
// program; an empty VALUE removes NAME.
using EnvironmentChanges = std::vector<std::pair<std::string, std::string>>;

// How a program ended.
struct ProgramEnd {
  bool ended = false;  // false: still running at the wait's limit (or never started)
  int status = -1;     // the exit status; -1 when it did not exit normally
  int signal = 0;      // the signal that ended it; 0 when it exited
};

class StartedProgram {
 public:
  // Starts `program` (a path, or a name looked up in PATH) with `args`
  // (argv[0] is `program`). Standard output and error go to the files named
  // (created or emptied; an empty path keeps this process's stream). The
  // program sees this process's environment with `environment` applied;
  // this process's own is left as it is. Started() tells whether it started.
  StartedProgram(const std::string& program, const std::vector<std::string>& args,
                 const std::filesystem::path& out, const std::filesystem::path& err,
                 const EnvironmentChanges& environment = {});
  // Kills a program still running and waits for its end.
  ~StartedProgram();
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // Sends `signal` to a program still running.
  void Signal(int signal);
  // Waits at most `limit` (without one: until the end); the end once seen
  // is kept.
  ProgramEnd Wait(std::chrono::milliseconds limit = std::chrono::milliseconds::max());

 private:
  pid_t pid_ = -1;
  ProgramEnd end_;
};

}  // namespace tw::testing
