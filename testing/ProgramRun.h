#pragma once
// For the end-to-end tests: running a built program as a user would and
// collecting what it wrote, or a shell command. RunProgram has one
// implementation per system (ProgramRun_posix.cpp, ProgramRun_windows.cpp);
// the rest is in ProgramRun.cpp.

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

// The standard output of `command` run by the system's shell, or "<failed>"
// when it could not be run or did not exit with 0.
std::string CommandOutput(const std::string& command);

// The program's text without its "Seconds:" line, which differs from run
// to run.
inline std::string WithoutSecondsLine(const std::string& text) {
  const size_t at = text.find("Seconds:");
  if (at == std::string::npos) return text;
  const size_t end = text.find('\n', at);
  return text.substr(0, at) + (end == std::string::npos ? "" : text.substr(end + 1));
}

// What one beep leaves on standard error: a BEL byte on Linux, nothing on
// Windows, where the system sounds it.
extern const std::string kBeepOnStandardError;

}  // namespace tw::e2e
