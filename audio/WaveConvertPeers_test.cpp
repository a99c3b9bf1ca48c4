// ConvertTo against SoX's conversion of the same input: the same length
// within one frame, and for 16-bit targets a signal-to-noise ratio of at
// least 60 dB with SoX's result as the reference.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "audio/WaveStorage.h"
#include "testing/WaveTestSupport.h"

namespace tw {
namespace {

int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  char buf[1024];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
    if (output != nullptr) output->append(buf, n);
  }
  const int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Material {
  const char* name;
  const char* synth;  // sox effects producing it
};

// Tones, and recording-like material: plucked strings and band-limited
// noise with an envelope (all below the lowest target rate's band edge, so
// the comparison measures the conversion, not two filters' different
// cut-offs).
const Material kTone{"tone", "synth 0.6 sine 440 sine 1250 remix 1,2 1,2 vol 0.7"};
const Material kRecording{"recording",
                          "synth 0.6 pluck C3 pluck E4 pluck G4 pinknoise remix 1,2 3,4 "
                          "lowpass 3000 lowpass 3000 fade q 0.05 0.6 0.1 norm -3"};

struct Case {
  const Material* material;
  TPCMFormat from;
  TPCMFormat to;
};

double Sample(const uint8_t* data, const WAVEFORMATEX& f, size_t index) {
  if (f.wBitsPerSample == 8) return (data[index] - 128) * 256.0;
  return static_cast<int16_t>(data[2 * index] | (data[2 * index + 1] << 8));
}

class ConvertPeers : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    if (Shell("command -v sox >/dev/null") != 0) {
      GTEST_SKIP() << "sox is not installed (Debian package sox); peer comparison skipped";
    }
    dir_ =
        std::filesystem::temp_directory_path() / ("tonewell_convert_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
};

TEST_P(ConvertPeers, MatchesSox) {
  const Case c = GetParam();
  WAVEFORMATEX from{}, to{};
  ASSERT_TRUE(FillPCMFormatFromCode(from, c.from));
  ASSERT_TRUE(FillPCMFormatFromCode(to, c.to));
  const std::string in = (dir_ / "in.wav").string();
  const std::string ref = (dir_ / "ref.wav").string();
  auto sox_format = [](const WAVEFORMATEX& f) {
    return " -r " + std::to_string(f.nSamplesPerSec) + " -c " + std::to_string(f.nChannels) +
           " -b " + std::to_string(f.wBitsPerSample) +
           (f.wBitsPerSample == 8 ? " -e unsigned-integer" : " -e signed-integer");
  };
  std::string out;
  ASSERT_EQ(Shell("sox -R -n" + sox_format(from) + " '" + in + "' " + c.material->synth, &out), 0)
      << out;
  // -D: no dither, so SoX's result is the plain conversion as ours is.
  ASSERT_EQ(Shell("sox -R -D '" + in + "'" + sox_format(to) + " '" + ref + "'", &out), 0) << out;

  TWave ours, theirs;
  ours.LoadFromFile(in);
  ASSERT_TRUE(ours.SameFormat(&from));
  ASSERT_TRUE(ours.ConvertTo(&to));
  ASSERT_TRUE(ours.SameFormat(&to));
  theirs.LoadFromFile(ref);
  ASSERT_TRUE(theirs.SameFormat(&to));

  const size_t frames = ours.DataSize() / to.nBlockAlign;
  const size_t refFrames = theirs.DataSize() / to.nBlockAlign;
  EXPECT_LE(frames > refFrames ? frames - refFrames : refFrames - frames, 1u)
      << frames << " frames against SoX's " << refFrames;

  uint8_t* a = nullptr;
  uint8_t* b = nullptr;
  ASSERT_TRUE(ours.BeginDataAccess(a, false));
  ASSERT_TRUE(theirs.BeginDataAccess(b, false));
  const size_t samples = std::min(frames, refFrames) * to.nChannels;
  double signal = 0, noise = 0;
  for (size_t i = 0; i < samples; ++i) {
    const double r = Sample(b, to, i);
    const double d = Sample(a, to, i) - r;
    signal += r * r;
    noise += d * d;
  }
  ours.EndDataAccess(a, false);
  theirs.EndDataAccess(b, false);
  const double snr = noise == 0 ? 200 : 10 * std::log10(signal / noise);
  ::testing::Test::RecordProperty("snr_db", std::to_string(snr));
  // 8-bit targets carry 8-bit rounding noise on both sides; 16-bit targets
  // must agree closely.
  EXPECT_GE(snr, to.wBitsPerSample == 16 ? 60.0 : 30.0)
      << c.material->name << " " << int{c.from} << " -> " << int{c.to};
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ConvertPeers,
    ::testing::Values(Case{&kTone, 16, 1}, Case{&kRecording, 16, 1},    // 44100 s16 -> 8000 m8
                      Case{&kTone, 11, 19}, Case{&kRecording, 12, 20},  // 22050 -> 48000
                      Case{&kTone, 19, 11}, Case{&kRecording, 20, 12},  // and back
                      Case{&kRecording, 16, 12}, Case{&kTone, 1, 16},   // 44100 -> 22050, 8 -> 16
                      Case{&kRecording, 20, 15},
                      Case{&kTone, 3, 4}));  // stereo -> mono, mono -> stereo

}  // namespace
}  // namespace tw
