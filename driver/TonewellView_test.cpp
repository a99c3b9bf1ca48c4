// End to end: the view's settings with standard error not a terminal, and
// Ctrl-C. (The view on a real terminal is checked under tmux in CI.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/WaveUtils.h"
#include "runtime/Stream.h"
#include "testing/ProgramRun.h"
#include "testing/StartedProgram.h"
#include "testing/TestFiles.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kProgram = TONEWELL_BINARY_DIR "/tonewell";
const std::string kMice = TONEWELL_SOURCE_DIR "/examples/Mice.red";
const std::string kPiper = TONEWELL_SOURCE_DIR "/examples/Piper.red";
const std::string kHead =
    "ORVIS Battle System/Core Executor Tonalator\nTonewell " TONEWELL_TEST_VERSION
    "\n\nprogram started\n";

using tw::e2e::WithoutSecondsLine;
using tw::testing::ReadWholeFile;

class ViewRun : public ::testing::Test {
 protected:
  // Starts the program with these settings (name=value; an empty value
  // unsets), standard output and error into files.
  void Start(const std::vector<std::string>& settings, const std::string& samples) {
    tw::testing::EnvironmentChanges changes;
    for (const std::string& s : settings) {
      const size_t equals = s.find('=');
      changes.emplace_back(s.substr(0, equals), s.substr(equals + 1));
    }
    program_ = std::make_unique<tw::testing::StartedProgram>(
        kProgram, std::vector<std::string>{kMice, kPiper, samples}, dir_ / "out", dir_ / "err",
        changes);
    ASSERT_TRUE(program_->Started());
  }

  // The exit status; minus the signal that ended the program; -1000 when it
  // still runs at the deadline.
  int Wait(std::chrono::seconds limit = std::chrono::seconds(600)) {
    const tw::testing::ProgramEnd end = program_->Wait(limit);
    if (!end.ended) return -1000;
    return end.signal != 0 ? -end.signal : end.status;
  }

  // Processor time the program has used so far, in clock ticks.
  long CpuTicks() {
    std::ifstream stat("/proc/" + std::to_string(program_->Pid()) + "/stat");
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

  std::string Out() { return ReadWholeFile(dir_ / "out"); }
  std::string Err() { return ReadWholeFile(dir_ / "err"); }

  tw::testing::ScratchDir scratch_{"tonewell-view"};
  const fs::path dir_ = scratch_.Path();
  std::unique_ptr<tw::testing::StartedProgram> program_;
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
    EXPECT_EQ(WithoutSecondsLine(Out()), WithoutSecondsLine(usual)) << forced;
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
  program_->Signal(SIGINT);
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
    program_->Signal(signal);
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
