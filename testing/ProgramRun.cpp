// What running a program or a command needs the same way on every system
// (the C runtime's pipe to a command).
#include "testing/ProgramRun.h"

#include <cstdio>

namespace tw::e2e {

std::string CommandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "<failed>";
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  return pclose(pipe) == 0 ? out : "<failed>";
}

}  // namespace tw::e2e
