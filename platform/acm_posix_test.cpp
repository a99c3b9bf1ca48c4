#include <gtest/gtest.h>
#include <link.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/msacm.h"
#include "testing/WaveOutTestSupport.h"

namespace tw {
namespace {

using testing::PcmFormat;

// Runs one whole conversion the way the wave code does.
std::vector<uint8_t> Convert(const WAVEFORMATEX& from, const std::vector<uint8_t>& in,
                             const WAVEFORMATEX& to) {
  HACMSTREAM s = nullptr;
  EXPECT_EQ(acmStreamOpen(&s, nullptr, &from, &to, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME),
            MMSYSERR_NOERROR);
  uint32_t size = 0;
  EXPECT_EQ(acmStreamSize(s, static_cast<uint32_t>(in.size()), &size, ACM_STREAMSIZEF_SOURCE),
            MMSYSERR_NOERROR);
  std::vector<uint8_t> out(size);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = const_cast<uint8_t*>(in.data());
  h.cbSrcLength = static_cast<uint32_t>(in.size());
  h.pbDst = out.data();
  h.cbDstLength = size;
  EXPECT_EQ(acmStreamPrepareHeader(s, &h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamConvert(s, &h, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END),
            MMSYSERR_NOERROR);
  EXPECT_NE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE, 0u);
  EXPECT_EQ(acmStreamUnprepareHeader(s, &h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamClose(s, 0), MMSYSERR_NOERROR);
  EXPECT_LE(h.cbDstLengthUsed, size);
  out.resize(h.cbDstLengthUsed);
  return out;
}

TEST(Conversion, RefusesWhatItDoesNotConvert) {
  const WAVEFORMATEX good = PcmFormat(44100, 2, 16);
  WAVEFORMATEX bits24 = PcmFormat(44100, 2, 24);
  WAVEFORMATEX channels3 = PcmFormat(44100, 3, 16);
  WAVEFORMATEX adpcm = good;
  adpcm.wFormatTag = 2;
  WAVEFORMATEX badAlign = good;
  badAlign.nBlockAlign = 3;
  HACMSTREAM s = reinterpret_cast<HACMSTREAM>(1);
  for (const WAVEFORMATEX* f : {&bits24, &channels3, &adpcm, &badAlign}) {
    EXPECT_EQ(acmStreamOpen(&s, nullptr, &good, f, nullptr, 0, 0, 0), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(acmStreamOpen(&s, nullptr, f, &good, nullptr, 0, 0, 0), ACMERR_NOTPOSSIBLE);
  }
  EXPECT_EQ(acmStreamOpen(nullptr, nullptr, &good, &good, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
            MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamOpen(&s, nullptr, &good, nullptr, nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(acmStreamOpen(&s, nullptr, &good, &good, nullptr, 0, 0, ACM_STREAMOPENF_ASYNC),
            MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(acmStreamClose(nullptr, 0), MMSYSERR_INVALHANDLE);
}

TEST(Conversion, HeadersMustBePrepared) {
  const WAVEFORMATEX f = PcmFormat(8000, 1, 8);
  HACMSTREAM s = nullptr;
  ASSERT_EQ(acmStreamOpen(&s, nullptr, &f, &f, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
  uint8_t in[4] = {1, 2, 3, 4}, out[4];
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = in;
  h.cbSrcLength = 4;
  h.pbDst = out;
  h.cbDstLength = 4;
  EXPECT_EQ(acmStreamConvert(s, &h, 0), ACMERR_UNPREPARED);
  EXPECT_EQ(acmStreamUnprepareHeader(s, &h, 0), MMSYSERR_INVALPARAM);
  ACMSTREAMHEADER small = h;
  small.cbStruct = 8;
  EXPECT_EQ(acmStreamPrepareHeader(s, &small, 0), MMSYSERR_INVALPARAM);
  acmStreamClose(s, 0);
}

TEST(Conversion, SampleSizeAroundTheTrueMidpoint) {
  const WAVEFORMATEX m8 = PcmFormat(8000, 1, 8);
  const WAVEFORMATEX m16 = PcmFormat(8000, 1, 16);
  const std::vector<uint8_t> bytes = {0, 127, 128, 129, 255};
  const std::vector<uint8_t> wide = Convert(m8, bytes, m16);
  ASSERT_EQ(wide.size(), 10u);
  const int16_t want[] = {-32768, -256, 0, 256, 32512};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(static_cast<int16_t>(wide[2 * i] | (wide[2 * i + 1] << 8)), want[i]) << i;
  }
  EXPECT_EQ(Convert(m16, wide, m8), bytes);  // exact round trip
  // 16 to 8 rounds to nearest: 383/256 = 1.496 -> 129, 384/256 = 1.5 -> 130.
  const std::vector<uint8_t> near = {0x7F, 0x01, 0x80, 0x01, 0x00, 0x80, 0xFF, 0x7F};
  EXPECT_EQ(Convert(m16, near, m8), (std::vector<uint8_t>{129, 130, 0, 255}));
}

TEST(Conversion, ChannelsDuplicateAndAverage) {
  const WAVEFORMATEX m16 = PcmFormat(22050, 1, 16);
  const WAVEFORMATEX s16 = PcmFormat(22050, 2, 16);
  const std::vector<uint8_t> mono = {0x10, 0x00, 0xF0, 0xFF};  // 16, -16
  EXPECT_EQ(Convert(m16, mono, s16),
            (std::vector<uint8_t>{0x10, 0x00, 0x10, 0x00, 0xF0, 0xFF, 0xF0, 0xFF}));
  const std::vector<uint8_t> stereo = {0x64, 0x00, 0xC8, 0x00, 0x00, 0x80, 0xFF, 0x7F};
  // (100 + 200) / 2 = 150; (-32768 + 32767) / 2 = -0.5 -> rounds to -1 (away from zero)
  const std::vector<uint8_t> down = Convert(s16, stereo, m16);
  ASSERT_EQ(down.size(), 4u);
  EXPECT_EQ(static_cast<int16_t>(down[0] | (down[1] << 8)), 150);
  EXPECT_EQ(static_cast<int16_t>(down[2] | (down[3] << 8)), -1);
  const WAVEFORMATEX s8 = PcmFormat(22050, 2, 8);
  // (-128 + 127) / 2 = -0.5 rounds away from zero to -1 (127); (0 + 2) / 2 = 1.
  EXPECT_EQ(Convert(s8, {0, 255, 128, 130}, PcmFormat(22050, 1, 8)),
            (std::vector<uint8_t>{127, 129}));
}

TEST(Conversion, RateChangeKeepsLengthAndTone) {
  const WAVEFORMATEX from = PcmFormat(22050, 1, 16);
  const WAVEFORMATEX to = PcmFormat(48000, 1, 16);
  std::vector<uint8_t> in;
  const int frames = 2205;
  for (int i = 0; i < frames; ++i) {
    const auto v =
        static_cast<int16_t>(std::lround(10000 * std::sin(2 * M_PI * 1000 * i / 22050.0)));
    in.push_back(static_cast<uint8_t>(v & 0xFF));
    in.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
  }
  uint32_t size = 0;
  HACMSTREAM s = nullptr;
  ASSERT_EQ(acmStreamOpen(&s, nullptr, &from, &to, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(acmStreamSize(s, static_cast<uint32_t>(in.size()), &size, ACM_STREAMSIZEF_SOURCE),
            MMSYSERR_NOERROR);
  EXPECT_EQ(size, 4800u * 2);
  ASSERT_EQ(acmStreamSize(s, 9600, &size, ACM_STREAMSIZEF_DESTINATION), MMSYSERR_NOERROR);
  EXPECT_EQ(size, 2205u * 2);
  acmStreamClose(s, 0);
  const std::vector<uint8_t> out = Convert(from, in, to);
  ASSERT_EQ(out.size(), 4800u * 2);
  // In the middle (away from the filter's edges) the samples follow the
  // same 1 kHz sine at the new rate.
  double err = 0, sig = 0;
  for (int i = 1000; i < 3800; ++i) {
    const double want = 10000 * std::sin(2 * M_PI * 1000 * i / 48000.0);
    const double got = static_cast<int16_t>(out[2 * i] | (out[2 * i + 1] << 8));
    err += (got - want) * (got - want);
    sig += want * want;
  }
  EXPECT_GT(10 * std::log10(sig / err), 60.0);
}

TEST(Conversion, TooFewFramesForOneOutputFrameGiveNone) {
  // Three frames at 270121 Hz last less than one frame at 8000 Hz.
  const std::vector<uint8_t> out =
      Convert(PcmFormat(270121, 1, 8), {0, 0, 0x52}, PcmFormat(8000, 1, 8));
  EXPECT_TRUE(out.empty());
}

TEST(Conversion, SuggestsPcmKeepingTheNamedFields) {
  const WAVEFORMATEX src = PcmFormat(11025, 2, 8);
  WAVEFORMATEX dst{};
  dst.wFormatTag = WAVE_FORMAT_PCM;
  dst.nChannels = 1;
  dst.nSamplesPerSec = 48000;
  ASSERT_EQ(acmFormatSuggest(nullptr, &src, &dst, sizeof dst,
                             ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                                 ACM_FORMATSUGGESTF_NSAMPLESPERSEC),
            MMSYSERR_NOERROR);
  const WAVEFORMATEX want = PcmFormat(48000, 1, 8);
  EXPECT_EQ(std::memcmp(&dst, &want, sizeof want), 0);
  EXPECT_EQ(acmFormatSuggest(nullptr, &src, &dst, 16, 0), MMSYSERR_INVALPARAM);
  WAVEFORMATEX foreign = src;
  foreign.wFormatTag = 0x55;
  EXPECT_EQ(acmFormatSuggest(nullptr, &foreign, &dst, sizeof dst, 0), ACMERR_NOTPOSSIBLE);
  dst.wBitsPerSample = 12;
  EXPECT_EQ(acmFormatSuggest(nullptr, &src, &dst, sizeof dst, ACM_FORMATSUGGESTF_WBITSPERSAMPLE),
            ACMERR_NOTPOSSIBLE);
}

// Whether the process has a library whose path contains `name` loaded.
bool Loaded(const char* name) {
  return dl_iterate_phdr(
             [](dl_phdr_info* info, size_t, void* wanted) {
               return std::strstr(info->dlpi_name, static_cast<const char*>(wanted)) != nullptr ? 1
                                                                                                : 0;
             },
             const_cast<char*>(name)) != 0;
}

// The resampler is loaded by the first conversion that changes the rate,
// not at start (a battle never converts) nor by one that keeps it. In a
// process of its own, so no other test has loaded it yet.
TEST(Conversion, LoadsTheResamplerWhenTheRateFirstChanges) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::vector<uint8_t> in(4410 * 2, 0x40);
        const bool atStart = Loaded("libsoxr");
        Convert(PcmFormat(44100, 1, 16), in, PcmFormat(44100, 2, 8));
        const bool sameRate = Loaded("libsoxr");
        const size_t frames = Convert(PcmFormat(44100, 1, 16), in, PcmFormat(22050, 1, 16)).size();
        std::exit(!atStart && !sameRate && Loaded("libsoxr") && frames == 2205 * 2 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tw
