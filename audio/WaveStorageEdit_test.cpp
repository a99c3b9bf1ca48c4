#include <gtest/gtest.h>

#include <vector>

#include "audio/WaveACM.h"
#include "audio/WaveStorage.h"
#include "runtime/Stream.h"
#include "testing/WaveTestSupport.h"

namespace tw {
namespace {

using namespace tw::testing;

void Make(TWaveStreamAdapter& w, TPCMFormat code, const Bytes& data) {
  ASSERT_TRUE(w.BeginRewritePCM(code));
  if (!data.empty()) w.Write(data.data(), static_cast<int32_t>(data.size()));
  ASSERT_TRUE(w.EndRewrite());
}

Bytes Data(TWaveStreamAdapter& w) {
  uint8_t* p = nullptr;
  if (!w.BeginDataAccess(p, true)) return {};
  Bytes b(p, p + w.DataSize());
  w.EndDataAccess(p, false);
  return b;
}

// n bytes numbered 0, 1, 2, ...
Bytes Counting(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i);
  return b;
}

// 8000 Hz mono 8-bit: one byte per frame, 8 bytes per millisecond.
constexpr TPCMFormat kMono8k = 1;

TEST(WaveEdit, ReverseAndVolumeChangeInPlaceWithoutEvents) {
  TWave w;
  Make(w, 16, Samples16({1, 2, 3, 4}));
  int events = 0;
  w.SetOnChange([&](TPersistent*) { ++events; });
  w.SetOnChanging([&](TPersistent*) { ++events; });
  ASSERT_TRUE(w.Reverse());
  EXPECT_EQ(Data(w), Samples16({4, 3, 2, 1}));
  TWave v;
  Make(v, 3, Samples16({20000, -20000, 100}));
  ASSERT_TRUE(v.ChangeVolume(100));
  EXPECT_EQ(Data(v), Samples16({32767, -32767, 200}));
  EXPECT_EQ(events, 0);
  TWave empty;
  EXPECT_FALSE(empty.Reverse());
  EXPECT_FALSE(empty.ChangeVolume(10));
}

TEST(WaveEdit, CropAndCopyTakeAPiece) {
  const Bytes all = Counting(80);
  TWave w;
  Make(w, kMono8k, Counting(80));  // 10 ms
  ASSERT_EQ(w.Length(), 10u);
  TWave piece;
  ASSERT_TRUE(piece.Copy(&w, 2, 3));
  EXPECT_EQ(Data(piece), Bytes(all.begin() + 16, all.begin() + 40));
  EXPECT_TRUE(piece.SameFormat(&w));
  // A range past the end is cut at the end.
  ASSERT_TRUE(w.Crop(8, 100));
  EXPECT_EQ(Data(w), Bytes(all.begin() + 64, all.end()));
  // PosMs at Length, LenMs 0, invalid waves: false and unchanged.
  const Bytes before = Data(w);
  EXPECT_FALSE(w.Crop(w.Length(), 1));
  EXPECT_FALSE(w.Crop(0, 0));
  EXPECT_EQ(Data(w), before);
  TWave invalid;
  EXPECT_FALSE(piece.Copy(&invalid, 0, 1));
  EXPECT_FALSE(piece.Copy(nullptr, 0, 1));
  EXPECT_EQ(piece.DataSize(), 24u);
}

TEST(WaveEdit, CopyFromItself) {
  const Bytes all = Counting(80);
  TWave w;
  Make(w, kMono8k, Counting(80));
  ASSERT_TRUE(w.Copy(&w, 1, 2));
  EXPECT_EQ(Data(w), Bytes(all.begin() + 8, all.begin() + 24));
}

TEST(WaveEdit, DeleteHeadTail) {
  TWave w;
  Make(w, kMono8k, Counting(80));
  ASSERT_TRUE(w.Delete(2, 3));
  Bytes want = Counting(80);
  want.erase(want.begin() + 16, want.begin() + 40);
  EXPECT_EQ(Data(w), want);
  ASSERT_TRUE(w.DeleteHead(1));
  want.erase(want.begin(), want.begin() + 8);
  EXPECT_EQ(Data(w), want);
  ASSERT_TRUE(w.DeleteTail(2));
  want.erase(want.end() - 16, want.end());
  EXPECT_EQ(Data(w), want);
  // Deleting everything leaves a valid empty wave and reports false.
  EXPECT_FALSE(w.Delete(0, w.Length()));
  EXPECT_TRUE(w.Valid());
  EXPECT_EQ(w.DataSize(), 0u);
  EXPECT_FALSE(w.Delete(0, 1));  // nothing left to delete from
}

TEST(WaveEdit, DeleteTailLongerThanTheWaveLeavesTheRoundingRest) {
  TWave w;
  Make(w, 16, Bytes(1000, 7));      // 5.67 ms, Length 6
  EXPECT_FALSE(w.DeleteTail(100));  // acts as Delete(0, 6): all of it
  EXPECT_EQ(w.DataSize(), 0u);
  TWave r;
  Make(r, 16, Bytes(1100, 7));  // 6.24 ms, Length 6 -> 6 ms = 1056 bytes
  EXPECT_TRUE(r.DeleteTail(100));
  EXPECT_EQ(r.DataSize(), 44u);  // a few bytes at the end remain
}

TEST(WaveEdit, InsertAnotherWaveAndItself) {
  TWave w;
  Make(w, kMono8k, Bytes(16, 1));
  TWave other;
  Make(other, kMono8k, Bytes(8, 2));
  ASSERT_TRUE(w.Insert(1, &other));
  Bytes want(8, 1);
  Append(want, Bytes(8, 2));
  Append(want, Bytes(8, 1));
  EXPECT_EQ(Data(w), want);
  ASSERT_TRUE(w.Insert(1000, &w));  // past the end: appended; itself
  Bytes twice = want;
  Append(twice, want);
  EXPECT_EQ(Data(w), twice);
  TWave stereo;
  Make(stereo, 2, Bytes(8, 3));
  EXPECT_FALSE(w.Insert(0, &stereo));  // format mismatch
  TWave noData;
  Make(noData, kMono8k, {});
  EXPECT_FALSE(noData.Insert(0, &other));  // nothing to insert into
  EXPECT_FALSE(w.Insert(0, &noData));      // nothing to insert
  EXPECT_EQ(Data(w), twice);
}

TEST(WaveEdit, InsertSilenceUsesTheMidpoint) {
  TWave w8;
  Make(w8, kMono8k, Bytes(8, 200));
  ASSERT_TRUE(w8.InsertSilence(0, 1));
  Bytes want(8, 128);
  Append(want, Bytes(8, 200));
  EXPECT_EQ(Data(w8), want);
  TWave w16;
  Make(w16, 3, Samples16({5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5}));  // 2 ms
  ASSERT_TRUE(w16.InsertSilence(1, 1));
  EXPECT_EQ(w16.DataSize(), 48u);
  const Bytes d = Data(w16);
  EXPECT_EQ(Bytes(d.begin() + 16, d.begin() + 32), Bytes(16, 0));
  EXPECT_FALSE(w16.InsertSilence(0, 0));
}

TEST(WaveEdit, ConcatWithAGapOfSilence) {
  TWave a, b, joined;
  Make(a, 16, Bytes(40, 1));
  Make(b, 16, Bytes(20, 2));
  ASSERT_TRUE(joined.Concat({&a, &b}, 10));
  Bytes want(40, 1);
  Append(want, Bytes(1764, 0));
  Append(want, Bytes(20, 2));
  EXPECT_EQ(Data(joined), want);
  EXPECT_TRUE(joined.SameFormat(&a));
  EXPECT_FALSE(joined.Concat({}, 0));
  // A wave without data ends the join: what was written stays, finished.
  TWave empty;
  Make(empty, 16, {});
  EXPECT_FALSE(joined.Concat({&a, &empty, &b}, 0));
  EXPECT_TRUE(joined.Valid());
  EXPECT_EQ(Data(joined), Bytes(40, 1));
  // The container itself among the waves: its old content is used.
  ASSERT_TRUE(joined.Concat({&joined, &b, &joined}, 0));
  Bytes self(40, 1);
  Append(self, Bytes(20, 2));
  Append(self, Bytes(40, 1));
  EXPECT_EQ(Data(joined), self);
}

TEST(WaveEdit, MixAveragesAndCountsEndedWavesAsSilence) {
  TWave a, b, m;
  Make(a, 3, Samples16({100, 100, 100, 100}));
  Make(b, 3, Samples16({300, 300}));
  ASSERT_TRUE(m.Mix({&a, &b}));
  EXPECT_EQ(Data(m), Samples16({200, 200, 50, 50}));
  TWave c, d;
  Make(c, kMono8k, Bytes(4, 200));
  Make(d, kMono8k, Bytes(2, 128));
  ASSERT_TRUE(m.Mix({&c, &d}));
  EXPECT_EQ(Data(m), (Bytes{164, 164, 164, 164}));
  EXPECT_FALSE(m.Mix({&a, &c}));  // formats differ
  EXPECT_EQ(Data(m), (Bytes{164, 164, 164, 164}));
  EXPECT_FALSE(m.Mix({}));
  ASSERT_TRUE(m.Mix({&m, &c}));  // itself: its old content
  EXPECT_EQ(Data(m), (Bytes{182, 182, 182, 182}));
}

TEST(WaveEdit, ConvertToTheSameFormatChangesNothing) {
  TWave w;
  Make(w, 16, Samples16({1, 2, 3, 4}));
  int events = 0;
  w.SetOnChanging([&](TPersistent*) { ++events; });
  WAVEFORMATEX same{};
  FillPCMFormatFromCode(same, 16);
  EXPECT_TRUE(w.ConvertTo(&same));
  EXPECT_EQ(events, 0);
  EXPECT_EQ(Data(w), Samples16({1, 2, 3, 4}));
}

// What the conversion service itself makes of these bytes (its rules are
// platform/msacm.h's and the system's; the container only carries them).
Bytes ServiceConversion(const WAVEFORMATEX& from, Bytes in, const WAVEFORMATEX& to) {
  HACMSTREAM s = nullptr;
  if (acmStreamOpen(&s, nullptr, &from, &to, nullptr, 0, 0, 0) != MMSYSERR_NOERROR) return {};
  uint32_t size = 0;
  acmStreamSize(s, static_cast<uint32_t>(in.size()), &size, ACM_STREAMSIZEF_SOURCE);
  Bytes out(size);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = in.data();
  h.cbSrcLength = static_cast<uint32_t>(in.size());
  h.pbDst = out.data();
  h.cbDstLength = size;
  acmStreamPrepareHeader(s, &h, 0);
  acmStreamConvert(s, &h, 0);
  acmStreamUnprepareHeader(s, &h, 0);
  acmStreamClose(s, 0);
  out.resize(h.cbDstLengthUsed);
  return out;
}

TEST(WaveEdit, ConvertToAnotherPcmFormat) {
  TWave w;
  const Bytes samples = Samples16({256, 768, -256, -768});
  Make(w, 16, samples);  // 44100 stereo 16
  WAVEFORMATEX stereo16{}, mono8{};
  FillPCMFormatFromCode(stereo16, 16);
  FillPCMFormatFromCode(mono8, 13);  // 44100 mono 8
  const Bytes expected = ServiceConversion(stereo16, samples, mono8);
  ASSERT_EQ(expected.size(), 2u);  // mixed down to one channel: 512 -> above 128, -512 below
  EXPECT_GT(expected[0], 128);
  EXPECT_LT(expected[1], 128);
  ASSERT_TRUE(w.ConvertTo(&mono8));
  EXPECT_TRUE(w.SameFormat(&mono8));
  EXPECT_EQ(Data(w), expected);
  WAVEFORMATEX odd = mono8;
  odd.wBitsPerSample = 24;
  odd.nBlockAlign = 3;
  EXPECT_FALSE(w.ConvertTo(&odd));  // refused by the service: unchanged
  EXPECT_EQ(Data(w), expected);
  TWave empty;
  EXPECT_FALSE(empty.ConvertTo(&mono8));
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

using namespace tw::testing;

TEST(WaveEdit, StoredSizesBeyondTheStreamAreNeverTrusted) {
  WAVEFORMATEX f{};
  FillPCMFormatFromCode(f, 1);
  Bytes b = Riff({Chunk("fmt ", FmtBody(f)), Chunk("data", Bytes(4, 200))});
  b[42] = 0xF0;  // stored data size 0xFFFFFFF0 while 4 bytes follow
  b[43] = b[44] = b[45] = 0xFF;
  TMemoryStream s;
  Fill(s, b);
  TWaveStreamAdapter broken(&s, false);
  ASSERT_TRUE(broken.Valid());
  TWave good, mixed;
  ASSERT_TRUE(good.BeginRewritePCM(1));
  good.Write("\x90\x90", 2);
  ASSERT_TRUE(good.EndRewrite());
  // The broken wave contributes silence; the mix is as long as what exists.
  ASSERT_TRUE(mixed.Mix({&good, &broken}));
  EXPECT_EQ(mixed.DataSize(), 2u);
  EXPECT_FALSE(broken.Reverse());
  EXPECT_FALSE(broken.Crop(0, 1));
  EXPECT_FALSE(broken.InsertSilence(0, 1));
  EXPECT_FALSE(mixed.Concat({&good, &broken}, 0));
  EXPECT_EQ(s.Size(), static_cast<int64_t>(b.size()));  // untouched
}

}  // namespace
}  // namespace tw
