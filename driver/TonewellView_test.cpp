// End to end: the view's settings with standard error not a terminal, and
// Ctrl-C. (The view on a real terminal is checked under tmux in CI.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/WaveUtils.h"
#include "runtime/Stream.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kProgram = TONEWELL_BINARY_DIR "/tonewell";
const std::string kMice = TONEWELL_SOURCE_DIR "/examples/Mice.red";
const std::string kPiper = TONEWELL_SOURCE_DIR "/examples/Piper.red";
const std::string kHead =
    "ORVIS Battle System/Core Executor Tonalator\nTonewell " TONEWELL_TEST_VERSION
    "\n\nprogram started\n";

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The text without its "Seconds:" line, which differs from run to run.
std::string WithoutSeconds(const std::string& text) {
  const auto at = text.find("Seconds:");
  if (at == std::string::npos) return text;
  return text.substr(0, at) + text.substr(text.find('\n', at) + 1);
}

class ViewRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tonewell-view-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }

  // Starts the program with these settings (name=value; an empty value
  // unsets), standard output and error into files.
  void Start(const std::vector<std::string>& settings, const std::string& samples) {
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      bool replaced = false;
      for (const std::string& s : settings) {
        replaced |= entry.rfind(s.substr(0, s.find('=') + 1), 0) == 0;
      }
      if (!replaced) env_text.push_back(entry);
    }
    for (const std::string& s : settings) {
      if (s.back() != '=') env_text.push_back(s);
    }
    std::vector<char*> env;
    for (std::string& e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    std::vector<std::string> args_text{kProgram, kMice, kPiper, samples};
    std::vector<char*> args;
    for (std::string& a : args_text) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(posix_spawn(&pid_, kProgram.c_str(), &actions, nullptr, args.data(), env.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // The exit status; minus the signal that ended the program; -1000 when it
  // still runs at the deadline.
  int Wait(std::chrono::seconds limit = std::chrono::seconds(600)) {
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) return -1000;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

  // Processor time the program has used so far, in clock ticks.
  long CpuTicks() {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
  }

  std::string Out() { return ReadAll(dir_ / "out"); }
  std::string Err() { return ReadAll(dir_ / "err"); }

  fs::path dir_;
  pid_t pid_ = -1;
};

TEST_F(ViewRun, StandardErrorNotATerminal) {
  Start({"TONEWELL_AUDIO=null:fast", "TONEWELL_VIEW="}, "0");
  ASSERT_EQ(Wait(), 0);
  const std::string usual = Out();
  EXPECT_EQ(usual.rfind(kHead + "Warrior[0].Score: 3\nWarrior[1].Score: 0\nSeconds: ", 0), 0u);
  EXPECT_EQ(Err(), "");  // auto: not one byte of view

  // Forced: plain lines on standard error, without control codes; standard
  // output as without a view.
  for (const char* forced : {"TONEWELL_VIEW=core", "TONEWELL_VIEW=line"}) {
    Start({"TONEWELL_AUDIO=null:fast", forced}, "0");
    ASSERT_EQ(Wait(), 0);
    EXPECT_EQ(WithoutSeconds(Out()), WithoutSeconds(usual)) << forced;
    const std::string err = Err();
    EXPECT_NE(err.find("10583/80000  o Mice "), std::string::npos) << err;
    EXPECT_NE(err.find(" battle over  0:00.0  ["), std::string::npos) << err;
    EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
  }

  Start({"TONEWELL_AUDIO=null:fast", "TONEWELL_VIEW=full"}, "0");
  EXPECT_EQ(Wait(), 1);
  EXPECT_EQ(Out(), kHead +
                       "EViewSettingError: Unknown TONEWELL_VIEW value \"full\" (accepted: unset, "
                       "\"\", auto, core, line, off)\n");
  EXPECT_EQ(Err(), "");
}

// Ctrl-C in the middle of a 10-second tone on the paced card: the tone is cut
// short, and the run ends like a failed one, with exit status 130.
TEST_F(ViewRun, ControlCEndsALongToneAtOnce) {
  Start({"TONEWELL_AUDIO=null", "TONEWELL_VIEW="}, "882000");
  // The first tone is being computed while the program uses the processor;
  // it sounds once the program sleeps.
  long last = -1;
  for (int quiet = 0; quiet < 3;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long now = CpuTicks();
    quiet = now == last && now > 0 ? quiet + 1 : 0;
    last = now;
  }
  const auto sent = Clock::now();
  ASSERT_EQ(kill(pid_, SIGINT), 0);
  EXPECT_EQ(Wait(std::chrono::seconds(60)), 130);
  // Far less than the 10 seconds the tone would still have sounded.
  EXPECT_LT(Clock::now() - sent, std::chrono::seconds(5));
  EXPECT_EQ(Out(), kHead + "EControlC: Interrupted by Control-C after cycle 0\n");
  EXPECT_EQ(Err(), "");
}

// Ctrl-C, or another signal that ends a program, while a battle of odd tones
// (half a frame at the end of each) is recorded: the WAV file holds every
// tone played up to then, whole frames only, with a header that says so. (A
// tone longer than the player's one-second buffer is recorded a buffer at a
// time, so the tone in flight may be there in part.) Ctrl-C ends the run
// with its report line; the others end the program as they would, silently.
TEST_F(ViewRun, EverySignalThatEndsARecordingKeepsAValidWavOfWholeFrames) {
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT's core is not wanted here
  const fs::path wav = dir_ / "battle.wav";
  constexpr std::uintmax_t kToneBytes = 2 * 99999;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signal));
    fs::remove(wav);
    Start({"TONEWELL_AUDIO=wav:" + wav.string(), "TONEWELL_VIEW=off"}, "99999");
    while (!fs::exists(wav) || fs::file_size(wav) < 80 + 2 * kToneBytes) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(kill(pid_, signal), 0);
    const int status = Wait();
    const std::string out = Out();
    if (signal == SIGINT) {
      EXPECT_EQ(status, 130);
      EXPECT_EQ(out.rfind(kHead + "EControlC: Interrupted by Control-C after cycle ", 0), 0u)
          << out;
    } else {
      EXPECT_EQ(status, -signal);
      EXPECT_EQ(out, kHead);
    }
    EXPECT_EQ(Err(), "");
    // The header, read as any reader reads it, counts exactly the bytes that
    // follow it, and they are whole frames.
    tw::TFileStream file(wav.string(), tw::fmOpenRead);
    tw::TWaveFormatBlock format;
    uint32_t dataSize = 0, dataOffset = 0;
    ASSERT_TRUE(tw::ReadWaveHeader(file, format, dataSize, dataOffset));
    EXPECT_EQ(dataOffset + static_cast<std::uintmax_t>(dataSize), fs::file_size(wav));
    constexpr uint32_t kFrameBytes = 4;
    EXPECT_GE(dataSize, kToneBytes);
    EXPECT_EQ(dataSize % kFrameBytes, 0u);
  }
}

}  // namespace
