#include <windows.h>

#include <cstdlib>
#include <optional>

#include "testing/ProgramRun.h"
#include "testing/TestFiles.h"

namespace tw::e2e {
namespace {

// One argument as the C runtime of the started program splits it back out:
// in quotes, a quote escaped with a backslash, and backslashes doubled where
// a quote follows them.
std::string Quoted(const std::string& arg) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

// Sets the variables for the life of the object, then puts the old values
// back. Setting them in the C runtime also sets them in the process, whose
// environment a started program inherits.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_.emplace_back(name, old == nullptr ? std::nullopt : std::optional<std::string>(old));
      _putenv_s(name.c_str(), value.c_str());
    }
  }
  ~ScopedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      _putenv_s(it->first.c_str(), it->second ? it->second->c_str() : "");
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

HANDLE CreateOutput(const std::filesystem::path& path) {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return ::CreateFileA(path.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

const std::string kBeepOnStandardError;

ProgramOutcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::filesystem::path& scratch,
                          const std::vector<std::pair<std::string, std::string>>& environment) {
  ProgramOutcome outcome;
  std::string path = program;
  if (!path.ends_with(".exe")) path.append(".exe");
  std::string command_line = Quoted(path);
  for (const std::string& arg : args) command_line.append(" ").append(Quoted(arg));

  ScopedEnvironment env(environment);
  const HANDLE out = CreateOutput(scratch / "stdout");
  const HANDLE err = CreateOutput(scratch / "stderr");
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  const BOOL started = out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                       ::CreateProcessA(path.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &process);
  if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
  if (err != INVALID_HANDLE_VALUE) ::CloseHandle(err);
  if (!started) return outcome;
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (::GetExitCodeProcess(process.hProcess, &code)) outcome.status = static_cast<int>(code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  outcome.out = testing::ReadWholeFile(scratch / "stdout");
  outcome.err = testing::ReadWholeFile(scratch / "stderr");
  return outcome;
}

}  // namespace tw::e2e
