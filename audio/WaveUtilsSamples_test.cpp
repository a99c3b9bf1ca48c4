#include <gtest/gtest.h>

#include <vector>

#include "audio/WaveUtils.h"
#include "testing/WaveTestSupport.h"

namespace tw {
namespace {

using namespace tw::testing;

WAVEFORMATEX Pcm(TPCMFormat code) {
  WAVEFORMATEX f{};
  FillPCMFormatFromCode(f, code);
  return f;
}

TEST(ReverseSamples, SamplesNotFramesAndBytesFor8Bit) {
  const WAVEFORMATEX s16 = Pcm(4);
  Bytes b = Samples16({1, 2, 3, 4});  // frames (1,2), (3,4)
  ASSERT_TRUE(ReverseSamples(b.data(), 8, &s16));
  EXPECT_EQ(b, Samples16({4, 3, 2, 1}));  // (R1, L1), (R0, L0)
  Bytes odd = Samples16({1, 2, 3});
  odd.push_back(99);
  ASSERT_TRUE(ReverseSamples(odd.data(), 7, &s16));
  Bytes want = Samples16({3, 2, 1});
  want.push_back(99);
  EXPECT_EQ(odd, want);
  Bytes single = {7, 9, 11};  // one sample and a stray byte, or a stray byte alone
  ASSERT_TRUE(ReverseSamples(single.data(), 3, &s16));
  ASSERT_TRUE(ReverseSamples(single.data(), 1, &s16));
  EXPECT_EQ(single, (Bytes{7, 9, 11}));
  const WAVEFORMATEX m8 = Pcm(1);
  Bytes e = {1, 2, 3};
  ASSERT_TRUE(ReverseSamples(e.data(), 3, &m8));
  EXPECT_EQ(e, (Bytes{3, 2, 1}));
  WAVEFORMATEX bad = m8;
  bad.wBitsPerSample = 12;
  EXPECT_FALSE(ReverseSamples(e.data(), 3, &bad));
  EXPECT_EQ(e, (Bytes{3, 2, 1}));
}

TEST(ScaleSamples, SixteenBitClampsSymmetrically) {
  const WAVEFORMATEX f = Pcm(3);
  Bytes b = Samples16({20000, -20000, 100});
  ASSERT_TRUE(ScaleSamples(b.data(), 6, &f, 100));
  EXPECT_EQ(b, Samples16({32767, -32767, 200}));
  b = Samples16({-32768, 301, -301});
  ASSERT_TRUE(ScaleSamples(b.data(), 6, &f, -50));
  EXPECT_EQ(b, Samples16({-16384, 151, -151}));  // truncation toward zero
  ASSERT_TRUE(ScaleSamples(b.data(), 6, &f, -100));
  EXPECT_EQ(b, Samples16({0, 0, 0}));
}

TEST(ScaleSamples, EightBitScalesAroundTheMidpoint) {
  const WAVEFORMATEX f = Pcm(1);
  Bytes b = {128, 228, 28, 255, 0};
  ASSERT_TRUE(ScaleSamples(b.data(), 5, &f, -50));
  EXPECT_EQ(b, (Bytes{128, 178, 78, 192, 64}));  // silence stays silence
  b = {128, 200, 60};
  ASSERT_TRUE(ScaleSamples(b.data(), 3, &f, 100));
  EXPECT_EQ(b, (Bytes{128, 255, 0}));  // 272 and -8 clamped
  EXPECT_FALSE(ScaleSamples(b.data(), 3, nullptr, 10));
}

TEST(MixSamples, EndedSourcesCountAsSilence) {
  const WAVEFORMATEX f16 = Pcm(3);
  const Bytes a = Samples16({100, 100, 100, 100});
  const Bytes b = Samples16({300, 300});
  const TMixSource src[] = {{a.data(), 8}, {b.data(), 4}};
  Bytes out(8);
  ASSERT_TRUE(MixSamples(src, 2, &f16, 8, out.data()));
  EXPECT_EQ(out, Samples16({200, 200, 50, 50}));

  const Bytes n = Samples16({-3, -3});
  const TMixSource neg[] = {{n.data(), 4}, {nullptr, 0}};
  ASSERT_TRUE(MixSamples(neg, 2, &f16, 4, out.data()));
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), Samples16({-1, -1}));  // toward zero

  const WAVEFORMATEX f8 = Pcm(1);
  const Bytes loud = {200, 200, 200, 200};
  const Bytes quiet = {128, 100};
  const TMixSource eight[] = {{loud.data(), 4}, {quiet.data(), 2}};
  Bytes out8(4);
  ASSERT_TRUE(MixSamples(eight, 2, &f8, 4, out8.data()));
  EXPECT_EQ(out8, (Bytes{164, 150, 164, 164}));  // ended source: 128, not 0

  EXPECT_FALSE(MixSamples(eight, 0, &f8, 4, out8.data()));
  WAVEFORMATEX other = f8;
  other.wFormatTag = 2;
  EXPECT_FALSE(MixSamples(eight, 2, &other, 4, out8.data()));
}

}  // namespace
}  // namespace tw
