#include "sound/WavRecorder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/WaveOutApi.h"
#include "sound/Selection.h"
#include "testing/ProgramRun.h"
#include "testing/TestFiles.h"
#include "testing/WaveOutTestSupport.h"

namespace tw {
namespace {

using e2e::CommandOutput;
using testing::Buffer;
using testing::PcmFormat;
using testing::ReadWholeFile;
using testing::RecordingTarget;

// What Python's wave module reads: "channels rate width frames" and the frames' bytes in hex.
std::string PythonReads(const std::string& path) {
  return CommandOutput(
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
  EXPECT_EQ(CommandOutput("soxi -s '" + path + "'"), "1600\n");
  EXPECT_EQ(CommandOutput("soxi -r '" + path + "'"), "44100\n");
  // The 80-byte header (room reserved for a ds64 chunk) and nothing after the data.
  const std::string file = ReadWholeFile(path);
  ASSERT_EQ(file.size(), 80 + all.size());
  EXPECT_EQ(file.substr(0, 4), "RIFF");
  EXPECT_EQ(file.substr(12, 8), std::string("JUNK\x1c\0\0\0", 8));
  EXPECT_EQ(file.substr(48, 4), "fmt ");
  EXPECT_EQ(file.substr(72, 4), "data");
  EXPECT_EQ(file.substr(80), all);
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
  std::string file = ReadWholeFile(path);
  ASSERT_EQ(file.size(), 80u + 4u);  // 3 bytes and the pad byte
  EXPECT_EQ(file[4], 76);            // RIFF size counts the pad
  EXPECT_EQ(file[76], 3);            // the data size does not
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
  const std::string file = ReadWholeFile(path);
  ASSERT_EQ(file.size(), 82u + 64u);
  EXPECT_EQ(file[52], 18);
  EXPECT_EQ(file[56], 3);
  EXPECT_EQ(file.substr(74, 4), "data");
  EXPECT_EQ(CommandOutput("soxi -e '" + path + "'"), "Floating Point PCM\n");
  EXPECT_EQ(CommandOutput("soxi -s '" + path + "'"), "8\n");
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

TEST_F(WavRecorderTest, ARunWithoutToneLeavesAnEmptyWaveOfTheToneFormat) {
  SelectWaveOutput("null:fast");  // the recording ends before any tone
  EXPECT_EQ(PythonReads(path), "2 44100 2 0 \n");
  EXPECT_EQ(CommandOutput("soxi -s '" + path + "'"), "0\n");
}

TEST_F(WavRecorderTest, PastTheRiffLimitTheRecordingGoesOnAsRf64) {
  SelectWaveOutput("null:fast");
  // Room for the first tone only; the second needs the 64-bit sizes.
  SetWavRiffLimit(72 + 4000 + 1);
  SelectWaveOutput("wav:" + path);
  SetWavRiffLimit(0);
  const WAVEFORMATEX tone = PcmFormat(44100, 2, 16);
  Buffer a(4000, 1), b(2000, 2);
  PlayTone(tone, {&a});
  EXPECT_EQ(ReadWholeFile(path).substr(0, 4), "RIFF");
  PlayTone(tone, {&b});
  const std::string file = ReadWholeFile(path);
  EXPECT_EQ(file.substr(0, 8), "RF64\xff\xff\xff\xff");
  EXPECT_EQ(file.substr(12, 4), "ds64");
  EXPECT_EQ(file.substr(76, 4), "\xff\xff\xff\xff") << "the data size is in ds64";
  const std::string all =
      std::string(a.data.begin(), a.data.end()) + std::string(b.data.begin(), b.data.end());
  EXPECT_EQ(CommandOutput("soxi -t '" + path + "'; soxi -s '" + path + "'"), "wav\n1500\n");
  const std::string raw = path + ".raw";
  ASSERT_NE(CommandOutput("sox '" + path + "' -t raw '" + raw + "'"), "<failed>");
  EXPECT_EQ(ReadWholeFile(raw), all) << "SoX reads every byte back";
  std::remove(raw.c_str());
}

// Writes a known block of zeros as a hole: a recording of more than 4 GiB
// that takes almost no disk.
class SparseTarget : public WavTarget {
 public:
  SparseTarget(std::unique_ptr<WavTarget> file, const void* zeros)
      : file_(std::move(file)), zeros_(zeros) {}
  bool Seekable() const override { return true; }
  bool Write(const void* data, size_t size) override {
    if (data != zeros_) {
      position_ += size;
      return file_->Write(data, size);
    }
    position_ += size;
    return file_->Seek(position_);
  }
  bool Seek(uint64_t offset) override {
    position_ = offset;
    return file_->Seek(offset);
  }
  bool Cut(uint64_t size) override { return file_->Cut(size); }

 private:
  std::unique_ptr<WavTarget> file_;
  const void* zeros_;
  uint64_t position_ = 0;
};

// Minutes long: SoX reads through all 4 GiB. Run it with
// --gtest_also_run_disabled_tests after a change to the RF64 layout.
TEST_F(WavRecorderTest, DISABLED_MoreThanFourGibibytesAreReadBackBySox) {
  SelectWaveOutput("null:fast");
  const uint32_t block = 64u << 20;
  Buffer zeros(block, 0);
  std::fill(zeros.data.begin(), zeros.data.end(), 0);
  SetWavTargetOpener([&](const std::string& p) {
    return std::make_unique<SparseTarget>(OpenWavFile(p), zeros.data.data());
  });
  SelectWaveOutput("wav:" + path);
  SetWavTargetOpener(nullptr);
  // 64 x 64 MiB of silence (4 GiB), then a tone that ends past 4 GiB.
  zeros.header.dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
  zeros.header.dwLoops = 64;
  Buffer tail(4000, 9);
  PlayTone(PcmFormat(44100, 2, 16), {&zeros, &tail});
  SelectWaveOutput("null:fast");
  const uint64_t frames = (64ull * block + 4000) / 4;
  EXPECT_EQ(CommandOutput("soxi -s '" + path + "'"), std::to_string(frames) + "\n");
  const std::string raw = path + ".raw";
  ASSERT_NE(CommandOutput("sox '" + path + "' -t raw '" + raw + "' trim " +
                          std::to_string(frames - 1000) + "s"),
            "<failed>");
  EXPECT_EQ(ReadWholeFile(raw), std::string(tail.data.begin(), tail.data.end()));
  std::remove(raw.c_str());
}

// A pipe (here a FIFO) gets a streaming WAV: one header whose sizes say
// "unknown", then the tones as they are played.
TEST(WavRecorderStreamTest, SoxAndPythonReadTheStreamFromThePipe) {
  const std::string dir = ::testing::TempDir() + "tonewell_fifo_" + std::to_string(getpid());
  ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
  const std::string fifo = dir + "/stream.wav", raw = dir + "/sox.raw", py = dir + "/python.txt";
  const WAVEFORMATEX tone = PcmFormat(44100, 2, 16);
  Buffer a(4000, 1), b(2000, 2);
  const std::string all =
      std::string(a.data.begin(), a.data.end()) + std::string(b.data.begin(), b.data.end());
  RecordingTarget target;
  const std::string readers[] = {"sox -t wav '" + fifo + "' -t raw '" + raw + "' 2>&1",
                                 "python3 -c \"import wave,sys; w=wave.open(sys.stdin.buffer); "
                                 "print(w.getnchannels(), w.getframerate(), w.getsampwidth(), "
                                 "w.readframes(1 << 30).hex())\" < '" +
                                     fifo + "' > '" + py + "' 2>&1"};
  for (const std::string& reader : readers) {
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FILE* running = popen(reader.c_str(), "r");
    ASSERT_NE(running, nullptr);
    SelectWaveOutput("wav:" + fifo);  // opens once the reader has
    for (Buffer* x : {&a, &b}) {
      HWAVEOUT h = nullptr;
      ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &tone, &target, 0, CALLBACK_WINDOW), 0u);
      ASSERT_EQ(waveOutPrepareHeader(h, &x->header, sizeof(WAVEHDR)), 0u);
      ASSERT_EQ(waveOutWrite(h, &x->header, sizeof(WAVEHDR)), 0u);
      ASSERT_EQ(waveOutUnprepareHeader(h, &x->header, sizeof(WAVEHDR)), 0u);
      ASSERT_EQ(waveOutClose(h), 0u);
    }
    // The format of a stream is fixed by its header.
    const WAVEFORMATEX other = PcmFormat(22050, 1, 8);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &other, nullptr, 0, WAVE_FORMAT_QUERY),
              WAVERR_BADFORMAT);
    SelectWaveOutput("null:fast");  // the end of the stream
    std::string said;
    char chunk[256];
    while (fgets(chunk, sizeof chunk, running) != nullptr) said += chunk;
    EXPECT_EQ(pclose(running), 0) << reader << said;
    EXPECT_EQ(said, "") << "no warning from " << reader;
    std::remove(fifo.c_str());
  }
  EXPECT_EQ(ReadWholeFile(raw), all);
  EXPECT_EQ(ReadWholeFile(py), "2 44100 2 " + Hex(all) + "\n");
  ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(WavRecorderCreateTest, ATargetThatCannotBeWrittenIsReportedAtSelection) {
  try {
    SelectWaveOutput("wav:/dev/full");
    ADD_FAILURE() << "selected";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot write to the WAV recording \"/dev/full\": No space left on device");
  }
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
