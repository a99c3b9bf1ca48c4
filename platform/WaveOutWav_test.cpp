#include "platform/WaveOutWav.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/WaveOutApi.h"
#include "platform/WaveOutTestSupport.h"

namespace tw {
namespace {

using testing::Buffer;
using testing::PcmFormat;
using testing::RecordingTarget;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Output of a shell command, or "<failed>" when it did not exit with 0.
std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "<failed>";
  char chunk[256];
  while (fgets(chunk, sizeof chunk, pipe) != nullptr) out += chunk;
  return pclose(pipe) == 0 ? out : "<failed>";
}

// What Python's wave module reads: "channels rate width frames" and the frames' bytes in hex.
std::string PythonReads(const std::string& path) {
  return RunCommand(
      "python3 -c \"import wave,sys; w=wave.open(sys.argv[1]); "
      "print(w.getnchannels(), w.getframerate(), w.getsampwidth(), w.getnframes(), "
      "w.readframes(w.getnframes()).hex())\" '" +
      path + "'");
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

class WavRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = ::testing::TempDir() + "tonewell_wav_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".wav";
    SelectWaveOutput("wav:" + path);
  }
  void TearDown() override {
    SelectWaveOutput("null:fast");
    std::remove(path.c_str());
  }
  // One open, the buffers written, one close: the way every tone is played.
  void PlayTone(const WAVEFORMATEX& format, std::vector<Buffer*> buffers) {
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &format, &target, 0, CALLBACK_WINDOW), 0u);
    for (Buffer* b : buffers) {
      ASSERT_EQ(waveOutPrepareHeader(h, &b->header, sizeof(WAVEHDR)), 0u);
      ASSERT_EQ(waveOutWrite(h, &b->header, sizeof(WAVEHDR)), 0u);
      EXPECT_EQ(b->header.dwFlags & WHDR_DONE, WHDR_DONE);  // unpaced
      ASSERT_EQ(waveOutUnprepareHeader(h, &b->header, sizeof(WAVEHDR)), 0u);
    }
    ASSERT_EQ(waveOutClose(h), 0u);
  }

  std::string path;
  RecordingTarget target;
};

TEST_F(WavRecorderTest, EveryCloseLeavesAValidFileOfEverythingPlayed) {
  const WAVEFORMATEX tone = PcmFormat(44100, 2, 16);
  Buffer a(4000, 1), b(2000, 2), c(400, 3);
  PlayTone(tone, {&a, &b});
  const std::string first =
      std::string(a.data.begin(), a.data.end()) + std::string(b.data.begin(), b.data.end());
  EXPECT_EQ(PythonReads(path), "2 44100 2 1500 " + Hex(first) + "\n");
  PlayTone(tone, {&c});
  const std::string all = first + std::string(c.data.begin(), c.data.end());
  EXPECT_EQ(PythonReads(path), "2 44100 2 1600 " + Hex(all) + "\n");
  EXPECT_EQ(RunCommand("soxi -s '" + path + "'"), "1600\n");
  EXPECT_EQ(RunCommand("soxi -r '" + path + "'"), "44100\n");
  // The canonical 44-byte header and nothing after the data.
  const std::string file = ReadFile(path);
  ASSERT_EQ(file.size(), 44 + all.size());
  EXPECT_EQ(file.substr(0, 4), "RIFF");
  EXPECT_EQ(file.substr(36, 4), "data");
  EXPECT_EQ(file.substr(44), all);
}

TEST_F(WavRecorderTest, AnotherFormatIsRefusedWithATextNamingBoth) {
  Buffer a(100);
  PlayTone(PcmFormat(44100, 2, 16), {&a});
  const WAVEFORMATEX other = PcmFormat(22050, 1, 8);
  HWAVEOUT h = nullptr;
  EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &other, nullptr, 0, WAVE_FORMAT_QUERY),
            WAVERR_BADFORMAT);
  EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &other, &target, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
  char text[256];
  ASSERT_EQ(waveOutGetErrorText(WAVERR_BADFORMAT, text, sizeof text), 0u);
  const std::string message = text;
  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find("44100 Hz, 2 channels, 16-bit PCM"), std::string::npos) << message;
  EXPECT_NE(message.find("22050 Hz, 1 channel, 8-bit PCM"), std::string::npos) << message;
  EXPECT_EQ(PythonReads(path).substr(0, 14), "2 44100 2 25 0");  // untouched
}

TEST_F(WavRecorderTest, OddDataIsPaddedAndLoopsAreRecordedEachTime) {
  const WAVEFORMATEX mono8 = PcmFormat(8000, 1, 8);
  Buffer odd(3, 10);
  PlayTone(mono8, {&odd});
  std::string file = ReadFile(path);
  ASSERT_EQ(file.size(), 44u + 4u);  // 3 bytes and the pad byte
  EXPECT_EQ(file[4], 40);            // RIFF size counts the pad
  EXPECT_EQ(file[40], 3);            // the data size does not
  EXPECT_EQ(PythonReads(path),
            "1 8000 1 3 " + Hex(std::string(odd.data.begin(), odd.data.end())) + "\n");
  Buffer loop(2, 20);
  loop.header.dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
  loop.header.dwLoops = 3;
  PlayTone(mono8, {&loop});
  const std::string l(loop.data.begin(), loop.data.end());
  EXPECT_EQ(PythonReads(path),
            "1 8000 1 9 " + Hex(std::string(odd.data.begin(), odd.data.end()) + l + l + l) + "\n");
}

TEST_F(WavRecorderTest, FloatUsesTheEighteenByteFormat) {
  WAVEFORMATEX f = PcmFormat(48000, 2, 32);
  f.wFormatTag = 3;
  Buffer a(64);
  PlayTone(f, {&a});
  const std::string file = ReadFile(path);
  ASSERT_EQ(file.size(), 46u + 64u);
  EXPECT_EQ(file[16], 18);
  EXPECT_EQ(file[20], 3);
  EXPECT_EQ(file.substr(38, 4), "data");
  EXPECT_EQ(RunCommand("soxi -e '" + path + "'"), "Floating Point PCM\n");
  EXPECT_EQ(RunCommand("soxi -s '" + path + "'"), "8\n");
}

TEST_F(WavRecorderTest, AKilledRunLeavesEveryToneUpToTheLastClose) {
  Buffer a(800, 5), b(400, 6);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Plays one whole tone, starts another, and dies without any cleanup.
    SelectWaveOutput("wav:" + path);
    const WAVEFORMATEX tone = PcmFormat(44100, 2, 16);
    RecordingTarget t;
    HWAVEOUT h = nullptr;
    for (Buffer* x : {&a, &b}) {
      if (waveOutOpen(&h, WAVE_MAPPER, &tone, &t, 0, CALLBACK_WINDOW) != 0) _exit(1);
      waveOutPrepareHeader(h, &x->header, sizeof(WAVEHDR));
      waveOutWrite(h, &x->header, sizeof(WAVEHDR));
      if (x == &a) {
        waveOutUnprepareHeader(h, &x->header, sizeof(WAVEHDR));
        waveOutClose(h);
      }
    }
    raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(PythonReads(path),
            "2 44100 2 200 " + Hex(std::string(a.data.begin(), a.data.end())) + "\n");
}

TEST(WavRecorderCreateTest, AFileThatCannotBeCreatedIsReportedAtSelection) {
  try {
    SelectWaveOutput("wav:" + ::testing::TempDir() + "no-such-dir/x.wav");
    ADD_FAILURE() << "selected";
  } catch (const EFOpenError& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find("no-such-dir/x.wav"), std::string::npos) << message;
    EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace tw
