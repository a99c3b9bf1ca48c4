// The program's WAV recording killed at any moment (POSIX signals).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

namespace tw {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class KilledRecording : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tonewell-killed-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

uint32_t U32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "<failed>";
  char chunk[256];
  while (fgets(chunk, sizeof chunk, pipe) != nullptr) out += chunk;
  return pclose(pipe) == 0 ? out : "<failed>";
}

TEST_F(KilledRecording, ARecordingKilledAtAnyMomentIsAWavWhoseHeaderIsAtMostOneToneBehind) {
  const fs::path wav = dir_ / "killed.wav";
  // A file from an earlier run: overwritten, it must never stop being a WAV.
  const std::string old(100000, 'x');
  std::ofstream(wav) << old;
  int during = 0;
  for (int delayMs : {0, 2, 5, 10, 20, 40, 80, 120, 160, 200, 250, 300}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, STDOUT_FILENO);
      setenv("TONEWELL_AUDIO", ("wav:" + wav.string()).c_str(), 1);
      execl(TONEWELL_BINARY_DIR "/tonewell", "tonewell", TONEWELL_SOURCE_DIR "/examples/Mice.red",
            TONEWELL_SOURCE_DIR "/examples/Piper.red", "1000", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Only chooses the moment of the kill.
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (!WIFSIGNALED(status)) continue;  // the battle was over
    const std::string file = ReadAll(wav);
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
    EXPECT_EQ(Shell("soxi -s '" + wav.string() + "'"), frames);
    EXPECT_EQ(Shell("python3 -c \"import wave,sys; print(wave.open(sys.argv[1]).getnframes())\" '" +
                    wav.string() + "'"),
              frames);
  }
  std::cout << "[ killed   ] " << during << " kills hit the battle with tones recorded\n";
}

}  // namespace
}  // namespace tw
