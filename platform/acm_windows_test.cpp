// The conversion service on Windows: our calls handed to the system's
// conversion manager. What any PCM converter must do alike is checked
// exactly; a rate change by its length and its tone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/msacm.h"
#include "testing/WaveOutTestSupport.h"

namespace tw {
namespace {

constexpr double kPi = 3.14159265358979323846;

using testing::PcmFormat;

std::vector<uint8_t> Convert(const WAVEFORMATEX& from, std::vector<uint8_t> in,
                             const WAVEFORMATEX& to) {
  HACMSTREAM s = nullptr;
  EXPECT_EQ(acmStreamOpen(&s, nullptr, &from, &to, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
  if (s == nullptr) return {};
  uint32_t size = 0;
  EXPECT_EQ(acmStreamSize(s, static_cast<uint32_t>(in.size()), &size, ACM_STREAMSIZEF_SOURCE),
            MMSYSERR_NOERROR);
  std::vector<uint8_t> out(size);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = in.data();
  h.cbSrcLength = static_cast<uint32_t>(in.size());
  h.pbDst = out.data();
  h.cbDstLength = size;
  EXPECT_EQ(acmStreamPrepareHeader(s, &h, 0), MMSYSERR_NOERROR);
  EXPECT_NE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED, 0u);
  EXPECT_EQ(acmStreamConvert(s, &h, 0), MMSYSERR_NOERROR);
  EXPECT_NE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE, 0u);
  EXPECT_EQ(h.cbSrcLengthUsed, in.size());
  EXPECT_EQ(acmStreamUnprepareHeader(s, &h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamClose(s, 0), MMSYSERR_NOERROR);
  EXPECT_LE(h.cbDstLengthUsed, size);
  out.resize(h.cbDstLengthUsed);
  return out;
}

TEST(SystemConversion, SampleSizeAndChannelsExactly) {
  // 8-bit samples widen around their midpoint 128 and narrow back exactly.
  const std::vector<uint8_t> bytes = {0, 127, 128, 129, 255};
  const std::vector<uint8_t> wide = Convert(PcmFormat(8000, 1, 8), bytes, PcmFormat(8000, 1, 16));
  ASSERT_EQ(wide.size(), 10u);
  const int16_t want[] = {-32768, -256, 0, 256, 32512};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(static_cast<int16_t>(wide[2 * i] | (wide[2 * i + 1] << 8)), want[i]) << i;
  }
  EXPECT_EQ(Convert(PcmFormat(8000, 1, 16), wide, PcmFormat(8000, 1, 8)), bytes);
  // Mono is duplicated into both channels.
  EXPECT_EQ(Convert(PcmFormat(22050, 1, 16), {0x10, 0x00, 0xF0, 0xFF}, PcmFormat(22050, 2, 16)),
            (std::vector<uint8_t>{0x10, 0x00, 0x10, 0x00, 0xF0, 0xFF, 0xF0, 0xFF}));
}

TEST(SystemConversion, RateChangeKeepsLengthAndTone) {
  std::vector<uint8_t> in;
  for (int i = 0; i < 2205; ++i) {
    const auto v =
        static_cast<int16_t>(std::lround(10000 * std::sin(2 * kPi * 1000 * i / 22050.0)));
    in.push_back(static_cast<uint8_t>(v & 0xFF));
    in.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
  }
  const std::vector<uint8_t> out = Convert(PcmFormat(22050, 1, 16), in, PcmFormat(44100, 1, 16));
  // A tenth of a second, within a few frames of what the system keeps back.
  ASSERT_GE(out.size(), 4400u * 2);
  ASSERT_LE(out.size(), 4410u * 2);
  // Away from the edges, the same 1 kHz sine at the new rate, up to a delay
  // of a few frames that the converter may add (the system's simplest
  // converter holds each sample: half a frame); its error well below the tone.
  double best = 0;
  for (double delay = 0; delay <= 8; delay += 0.25) {
    double err = 0, sig = 0;
    for (int i = 1000; i < 4000; ++i) {
      const double want = 10000 * std::sin(2 * kPi * 1000 * (i - delay) / 44100.0);
      const double got = static_cast<int16_t>(out[2 * i] | (out[2 * i + 1] << 8));
      err += (got - want) * (got - want);
      sig += want * want;
    }
    best = std::max(best, 10 * std::log10(sig / err));
  }
  EXPECT_GT(best, 20.0) << "signal to error in dB";
  std::printf("[ convert  ] 22050 to 44100 Hz by the system: %.1f dB signal to error\n", best);
}

TEST(SystemConversion, RecordsThatDescribeNoSoundAreRefusedBeforeTheSystemSeesThem) {
  const WAVEFORMATEX good = PcmFormat(44100, 2, 16);
  WAVEFORMATEX noChannels = good;
  noChannels.nChannels = 0;
  WAVEFORMATEX badAlign = good;
  badAlign.nBlockAlign = 3;
  WAVEFORMATEX noRate = good;
  noRate.nSamplesPerSec = 0;
  HACMSTREAM s = reinterpret_cast<HACMSTREAM>(1);
  for (const WAVEFORMATEX* f : {&noChannels, &badAlign, &noRate}) {
    EXPECT_EQ(acmStreamOpen(&s, nullptr, &good, f, nullptr, 0, 0, 0), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(acmStreamOpen(&s, nullptr, f, &good, nullptr, 0, 0, 0), ACMERR_NOTPOSSIBLE);
    WAVEFORMATEX suggested{};
    EXPECT_EQ(acmFormatSuggest(nullptr, f, &suggested, sizeof suggested, 0), ACMERR_NOTPOSSIBLE);
  }
  EXPECT_EQ(acmStreamOpen(nullptr, nullptr, &good, &good, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
            MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamOpen(&s, nullptr, &good, &good, nullptr, 0, 0, ACM_STREAMOPENF_ASYNC),
            MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(acmStreamClose(nullptr, 0), MMSYSERR_INVALHANDLE);
}

TEST(SystemConversion, HeadersMustBePreparedAndCloseReleasesThem) {
  const WAVEFORMATEX f = PcmFormat(8000, 1, 8);
  const WAVEFORMATEX g = PcmFormat(8000, 1, 16);
  HACMSTREAM s = nullptr;
  ASSERT_EQ(acmStreamOpen(&s, nullptr, &f, &g, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
  uint8_t in[4] = {1, 2, 3, 4}, out[8];
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = in;
  h.cbSrcLength = 4;
  h.pbDst = out;
  h.cbDstLength = 8;
  EXPECT_EQ(acmStreamConvert(s, &h, 0), ACMERR_UNPREPARED);
  EXPECT_EQ(acmStreamUnprepareHeader(s, &h, 0), MMSYSERR_INVALPARAM);
  ASSERT_EQ(acmStreamPrepareHeader(s, &h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamPrepareHeader(s, &h, 0), MMSYSERR_INVALPARAM) << "prepared twice";
  // A close with a header still prepared lets the system's go too.
  EXPECT_EQ(acmStreamClose(s, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(h.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED, 0u);
}

}  // namespace
}  // namespace tw
