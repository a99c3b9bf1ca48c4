// The container against independent readers and writers of the same files:
// SoX (soxi, sox stat, sox-written WAV files) and Python's wave module.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "audio/WaveStorage.h"
#include "runtime/Stream.h"
#include "testing/WaveTestSupport.h"

namespace tw {
namespace {

using namespace tw::testing;

// Runs a shell command; returns its exit status and standard output.
std::pair<int, std::string> Shell(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return {-1, out};
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

bool HaveSox() {
  return Shell("command -v sox >/dev/null 2>&1 && command -v soxi >/dev/null 2>&1").first == 0;
}

class WavePeers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveSox())
      GTEST_SKIP() << "sox is not installed (Debian package sox); peer checks skipped";
    dir_ = std::filesystem::temp_directory_path() /
           ("tonewell_peers_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

// A 16-bit stereo sine of Frames frames at 44100 Hz, peak Amplitude.
Bytes Sine16(int frames, double amplitude) {
  Bytes b;
  for (int i = 0; i < frames; ++i) {
    const auto v =
        static_cast<int16_t>(std::lround(amplitude * std::sin(i * 2 * M_PI * 441 / 44100)));
    Put16(b, static_cast<uint16_t>(v));
    Put16(b, static_cast<uint16_t>(-v));
  }
  return b;
}

std::string Field(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return "";
  const size_t start = text.find_first_not_of(" :", at + key.size());
  return text.substr(start, text.find('\n', start) - start);
}

TEST_F(WavePeers, SavedToneIsReadBySoxAndPython) {
  for (int frames : {1000, 1001}) {
    SCOPED_TRACE(frames);
    TWave tone;
    // 16-bit stereo frames are 4 bytes; an odd data size needs the 8-bit form.
    ASSERT_TRUE(tone.BeginRewritePCM(frames % 2 ? 13 : 16));
    Bytes data = frames % 2 ? Bytes(frames, 128) : Sine16(frames, 16384);
    if (frames % 2) data[10] = 255;
    tone.Write(data.data(), static_cast<int32_t>(data.size()));
    ASSERT_TRUE(tone.EndRewrite());
    const std::string file = Path("tone.wav");
    tone.SaveToFile(file);

    auto [rc, info] = Shell("soxi '" + file + "' 2>&1");
    ASSERT_EQ(rc, 0) << info;
    EXPECT_EQ(Field(info, "Channels"), frames % 2 ? "1" : "2");
    EXPECT_EQ(Field(info, "Sample Rate"), "44100");
    EXPECT_NE(Field(info, "Duration").find("= " + std::to_string(frames) + " samples"),
              std::string::npos)
        << info;

    auto [rc2, stat] = Shell("sox '" + file + "' -n stat 2>&1");
    ASSERT_EQ(rc2, 0) << stat;
    const int channels = frames % 2 ? 1 : 2;
    EXPECT_EQ(Field(stat, "Samples read"), std::to_string(frames * channels));
    const double peak = std::stod(Field(stat, "Maximum amplitude"));
    EXPECT_NEAR(peak, frames % 2 ? 127.0 / 128 : 16384.0 / 32768, 1e-3);

    auto [rc3, py] = Shell(
        "python3 -c \"import wave,sys; w=wave.open(sys.argv[1],'rb'); "
        "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()); "
        "print(w.readframes(w.getnframes()).hex())\" '" +
        file + "' 2>&1");
    ASSERT_EQ(rc3, 0) << py;
    const std::string first = py.substr(0, py.find('\n'));
    EXPECT_EQ(first, std::to_string(channels) + (frames % 2 ? " 1" : " 2") + " 44100 " +
                         std::to_string(frames));
    std::string hex;
    for (uint8_t x : data) {
      char h[3];
      std::snprintf(h, sizeof h, "%02x", x);
      hex += h;
    }
    EXPECT_EQ(py.substr(py.find('\n') + 1, hex.size()), hex);
  }
}

// Inserts a LIST/INFO chunk before "data" and another after it, as tagging
// tools do; the container must skip both.
Bytes WithListChunks(const Bytes& wav) {
  const std::string text(wav.begin(), wav.end());
  const size_t data = text.find("data");
  Bytes info;
  PutId(info, "INFO");
  Bytes icmt = Chunk("ICMT", Bytes{'h', 'e', 'l', 'l', 'o', 0, 'x'});  // odd: padded
  Append(info, icmt);
  const Bytes list = Chunk("LIST", info);
  Bytes out(wav.begin(), wav.begin() + static_cast<long>(data));
  Append(out, list);
  Append(out, Bytes(wav.begin() + static_cast<long>(data), wav.end()));
  if (out.size() % 2) out.push_back(0);
  Append(out, list);
  const uint32_t riff = static_cast<uint32_t>(out.size() - 8);
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
  return out;
}

TEST_F(WavePeers, SoxWrittenFilesLoadWithTheirFormatSizeAndSamples) {
  for (int bits : {8, 16}) {
    for (int channels : {1, 2}) {
      for (int rate : {8000, 11025, 22050, 44100, 48000}) {
        SCOPED_TRACE(std::to_string(bits) + " bit, " + std::to_string(channels) + " ch, " +
                     std::to_string(rate) + " Hz");
        const std::string file = Path("sox.wav");
        const std::string raw = Path("sox.raw");
        const std::string enc = bits == 8 ? "unsigned-integer" : "signed-integer";
        auto [rc, out] =
            Shell("sox -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -b " +
                  std::to_string(bits) + " -e " + enc + " --comment 'made by sox' '" + file +
                  "' synth 0.0123 sine 300 sine 700 2>&1 && sox '" + file + "' -t raw '" + raw +
                  "' 2>&1");
        ASSERT_EQ(rc, 0) << out;

        TMemoryStream rawBytes;
        rawBytes.LoadFromFile(raw);
        for (bool list : {false, true}) {
          TWave w;
          if (list) {
            TMemoryStream original;
            original.LoadFromFile(file);
            const Bytes tagged = WithListChunks(Contents(original));
            TMemoryStream s;
            Fill(s, tagged);
            w.LoadFromStream(s);
          } else {
            w.LoadFromFile(file);
          }
          ASSERT_TRUE(w.Valid());
          const WAVEFORMATEX* f = w.WaveFormat();
          EXPECT_EQ(f->wFormatTag, 1);
          EXPECT_EQ(f->nChannels, channels);
          EXPECT_EQ(f->nSamplesPerSec, static_cast<uint32_t>(rate));
          EXPECT_EQ(f->wBitsPerSample, bits);
          EXPECT_EQ(f->nBlockAlign, channels * bits / 8);
          EXPECT_EQ(w.DataSize(), static_cast<uint32_t>(rawBytes.Size()));
          uint8_t* data = nullptr;
          ASSERT_TRUE(w.BeginDataAccess(data, false));
          EXPECT_EQ(std::memcmp(data, rawBytes.Memory(), w.DataSize()), 0);
          w.EndDataAccess(data, false);
        }
      }
    }
  }
}

}  // namespace
}  // namespace tw
