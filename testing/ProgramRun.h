#pragma once
// For the end-to-end tests: running a built program as a user would and
// collecting what it wrote. One implementation per system, in
// ProgramRun_posix_test.cpp and ProgramRun_windows_test.cpp (test sources, so
// they are built into the test program only).

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace tw::e2e {

struct ProgramOutcome {
  int status = -1;  // the exit status; -1 when it did not exit normally or did not start
  std::string out, err;
};

// Runs the program at `program` (on Windows ".exe" may be left off) with
// `args`; its standard output and error go to files in `scratch`, which are
// read back. The program sees this process's environment with `environment`
// applied (NAME, VALUE; an empty VALUE removes NAME); this process's own
// environment is as before when the call returns.
ProgramOutcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::filesystem::path& scratch,
                          const std::vector<std::pair<std::string, std::string>>& environment = {});

// What one beep leaves on standard error: a BEL byte on Linux, nothing on
// Windows, where the system sounds it.
extern const std::string kBeepOnStandardError;

}  // namespace tw::e2e
