// The program's WAV recording killed at any moment (POSIX signals), under a
// file-size limit, and aimed at a warrior file; a tone too large for memory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "testing/ProgramRun.h"
#include "testing/StartedProgram.h"
#include "testing/TestFiles.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

using e2e::CommandOutput;
using testing::ReadWholeFile;

class KilledRecording : public ::testing::Test {
 protected:
  testing::ScratchDir scratch_{"tonewell-killed"};
  const fs::path dir_ = scratch_.Path();
};

uint32_t U32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

TEST_F(KilledRecording, ARecordingKilledAtAnyMomentIsAWavWhoseHeaderIsAtMostOneToneBehind) {
  const fs::path wav = dir_ / "killed.wav";
  // A file from an earlier run: overwritten, it must never stop being a WAV.
  const std::string old(100000, 'x');
  std::ofstream(wav) << old;
  int during = 0;
  for (int delayMs : {0, 2, 5, 10, 20, 40, 80, 120, 160, 200, 250, 300}) {
    testing::StartedProgram child(TONEWELL_BINARY_DIR "/tonewell",
                                  {TONEWELL_SOURCE_DIR "/examples/Mice.red",
                                   TONEWELL_SOURCE_DIR "/examples/Piper.red", "1000"},
                                  "/dev/null", "", {{"TONEWELL_AUDIO", "wav:" + wav.string()}});
    ASSERT_TRUE(child.Started());
    // Only chooses the moment of the kill.
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    child.Signal(SIGKILL);
    const testing::ProgramEnd end = child.Wait();
    ASSERT_TRUE(end.ended);
    if (end.signal == 0) continue;  // the battle was over
    const std::string file = ReadWholeFile(wav);
    if (file == old) continue;  // killed before the program got to the recording
    ASSERT_GE(file.size(), 80u) << "killed after " << delayMs << " ms";
    const uint32_t data = U32(file, 76);
    during += data > 0;
    EXPECT_EQ(file.compare(0, 4, "RIFF"), 0);
    EXPECT_EQ(file.compare(72, 4, "data"), 0);
    EXPECT_EQ(U32(file, 4), 72 + data);
    EXPECT_EQ(data % 2000, 0u) << "whole tones only";
    // Stale bytes of the old file may follow an empty recording's header;
    // after that, the data written lead the header by at most one tone.
    if (data > 0) {
      EXPECT_GE(file.size(), 80 + data);
      EXPECT_LE(file.size(), 80 + data + 2000) << "killed after " << delayMs << " ms";
    }
    const std::string frames = std::to_string(data / 4) + "\n";
    EXPECT_EQ(CommandOutput("soxi -s '" + wav.string() + "'"), frames);
    EXPECT_EQ(CommandOutput(
                  "python3 -c \"import wave,sys; print(wave.open(sys.argv[1]).getnframes())\" '" +
                  wav.string() + "'"),
              frames);
  }
  std::cout << "[ killed   ] " << during << " kills hit the battle with tones recorded\n";
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs the program in `dir` on the sound output `audio`, with a resource
// limit of the child's own when `resource` is not -1.
Outcome RunTonewell(const fs::path& dir, const std::string& audio,
                    const std::vector<std::string>& args, int resource = -1, rlim_t limit = 0) {
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    dup2(open("out", O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    dup2(open("err", O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    setenv("TONEWELL_AUDIO", audio.c_str(), 1);
    setenv("TONEWELL_VIEW", "off", 1);
    if (resource != -1) {
      const rlimit l{limit, limit};
      setrlimit(resource, &l);
    }
    std::vector<char*> argv{const_cast<char*>("tonewell")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TONEWELL_BINARY_DIR "/tonewell", argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), ReadWholeFile(dir / "out"),
          ReadWholeFile(dir / "err")};
}

std::string LastLine(const std::string& text) {
  const auto end = text.find_last_not_of('\n');
  if (end == std::string::npos) return {};
  const auto start = text.rfind('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1) + 1);
}

// A wav: target that is one of the warriors, by its own name or another:
// refused before anything is written; the warrior stays as it was.
TEST_F(KilledRecording, ARecordingIntoAWarriorFileIsRefusedAndChangesNothing) {
  const std::string mice = ReadWholeFile(TONEWELL_SOURCE_DIR "/examples/Mice.red");
  std::ofstream(dir_ / "m.red", std::ios::binary) << mice;
  fs::copy_file(TONEWELL_SOURCE_DIR "/examples/Piper.red", dir_ / "p.red");
  fs::create_symlink("m.red", dir_ / "link.red");
  fs::create_directory(dir_ / "sub");
  for (const std::string target : {"m.red", "link.red", "sub/../m.red", "p.red"}) {
    const Outcome o = RunTonewell(dir_, "wav:" + target, {"m.red", "p.red", "100"});
    EXPECT_EQ(o.status, 1) << target;
    const std::string warrior = target == "p.red" ? "p.red" : "m.red";
    EXPECT_EQ(LastLine(o.out), "EAudioSettingError: The WAV recording \"" + target +
                                   "\" is the warrior file \"" + warrior +
                                   "\"; it is left as it is");
    EXPECT_EQ(ReadWholeFile(dir_ / "m.red"), mice);
    EXPECT_EQ(fs::file_size(dir_ / "p.red"),
              fs::file_size(TONEWELL_SOURCE_DIR "/examples/Piper.red"));
  }
}

// A write past the file-size limit (ulimit -f) is reported once, like a full
// disk, and the battle goes on; the recording stays a WAV of whole frames.
TEST_F(KilledRecording, AFileSizeLimitIsReportedOnceAndTheBattleGoesOn) {
  const std::string mice = TONEWELL_SOURCE_DIR "/examples/Mice.red";
  const std::string piper = TONEWELL_SOURCE_DIR "/examples/Piper.red";
  const Outcome o =
      RunTonewell(dir_, "wav:limited.wav", {mice, piper, "999"}, RLIMIT_FSIZE, 100000);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(LastLine(o.out), "program finished");
  EXPECT_NE(o.err.find("Cannot write to the WAV recording \"limited.wav\": File too large"),
            std::string::npos)
      << o.err;
  EXPECT_EQ(o.err.find("File too large", o.err.find("File too large") + 1), std::string::npos);
  const std::string file = ReadWholeFile(dir_ / "limited.wav");
  ASSERT_GE(file.size(), 80u);
  const uint32_t data = U32(file, 76);
  EXPECT_EQ(file.size(), 80 + data);
  EXPECT_EQ(data % 4, 0u);
  EXPECT_EQ(CommandOutput("soxi -s '" + (dir_ / "limited.wav").string() + "'"),
            std::to_string(data / 4) + "\n");
}

// A tone far beyond what the system can give is refused up front, with the
// figures, instead of a run that grows until the system kills it.
TEST_F(KilledRecording, AToneThatCannotFitInMemoryIsRefusedUpFront) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit an address-space limit";
#endif
  const Outcome o = RunTonewell(dir_, "null:fast",
                                {TONEWELL_SOURCE_DIR "/examples/Mice.red",
                                 TONEWELL_SOURCE_DIR "/examples/Piper.red", "100000000"},
                                RLIMIT_AS, rlim_t{1} << 30);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(
      LastLine(o.out).rfind("EOutOfMemory: Out of memory: a tone of 100000000 samples needs 1.5 "
                            "GiB, and ",
                            0),
      0u)
      << o.out;
}

}  // namespace
}  // namespace tw
