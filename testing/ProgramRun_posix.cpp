
#include "testing/ProgramRun.h"
#include "testing/StartedProgram.h"
#include "testing/TestFiles.h"

namespace tw::e2e {

const std::string kBeepOnStandardError = "\a";

ProgramOutcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::filesystem::path& scratch,
                          const std::vector<std::pair<std::string, std::string>>& environment) {
  const std::filesystem::path out = scratch / "stdout";
  const std::filesystem::path err = scratch / "stderr";
  testing::StartedProgram started(program, args, out, err, environment);
  ProgramOutcome outcome;
  if (!started.Started()) return outcome;
  outcome.status = started.Wait().status;
  outcome.out = testing::ReadWholeFile(out);
  outcome.err = testing::ReadWholeFile(err);
  return outcome;
}

}  // namespace tw::e2e
