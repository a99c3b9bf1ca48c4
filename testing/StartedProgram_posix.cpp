#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

#include "testing/StartedProgram.h"

extern char** environ;

namespace tw::testing {
namespace {

// This process's environment with the changes applied, as NAME=VALUE texts.
std::vector<std::string> ChangedEnvironment(const EnvironmentChanges& changes) {
  std::vector<std::string> entries;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool changed = false;
    for (const auto& [name, value] : changes) changed |= entry.rfind(name + "=", 0) == 0;
    if (!changed) entries.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (!value.empty()) entries.push_back(name + "=" + value);
  }
  return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& t : texts) pointers.push_back(t.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

StartedProgram::StartedProgram(const std::string& program, const std::vector<std::string>& args,
                               const std::filesystem::path& out, const std::filesystem::path& err,
                               const EnvironmentChanges& environment) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC;
  if (!out.empty()) posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), flags, 0600);
  if (!err.empty()) posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), flags, 0600);
  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<std::string> env_text = ChangedEnvironment(environment);
  std::vector<char*> argv = Pointers(argv_text);
  std::vector<char*> envp = Pointers(env_text);
  pid_t pid = 0;
  if (posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
    pid_ = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
}

StartedProgram::~StartedProgram() {
  if (Started() && !end_.ended) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void StartedProgram::Signal(int signal) {
  if (Started() && !end_.ended) kill(pid_, signal);
}

ProgramEnd StartedProgram::Wait(std::chrono::milliseconds limit) {
  if (!Started() || end_.ended) return end_;
  int status = 0;
  const bool forEver = limit == std::chrono::milliseconds::max();
  const auto deadline = std::chrono::steady_clock::now() + (forEver ? limit.zero() : limit);
  while (forEver) {
    const pid_t got = waitpid(pid_, &status, 0);
    if (got == pid_) break;
    if (got < 0 && errno != EINTR) return end_;
  }
  while (!forEver) {
    const pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) break;
    if (got < 0 || std::chrono::steady_clock::now() > deadline) return end_;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  end_.ended = true;
  end_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  end_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return end_;
}

}  // namespace tw::testing
