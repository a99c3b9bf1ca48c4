#include "audio/WaveUtils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tw {
namespace {

WAVEFORMATEX Pcm(TPCMFormat code) {
  WAVEFORMATEX f{};
  EXPECT_TRUE(FillPCMFormatFromCode(f, code));
  return f;
}

std::vector<uint8_t> Samples16(std::initializer_list<int16_t> values) {
  std::vector<uint8_t> bytes;
  for (int16_t v : values) {
    bytes.push_back(static_cast<uint8_t>(v & 0xFF));
    bytes.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
  }
  return bytes;
}

TEST(PCMFormat, ToneCodeAndTheMaskedCode) {
  for (TPCMFormat code : {TPCMFormat{16}, TPCMFormat{16 + 128}}) {
    const WAVEFORMATEX f = Pcm(code);
    EXPECT_EQ(f.wFormatTag, 1);
    EXPECT_EQ(f.nSamplesPerSec, 44100u);
    EXPECT_EQ(f.nChannels, 2);
    EXPECT_EQ(f.wBitsPerSample, 16);
    EXPECT_EQ(f.nBlockAlign, 4);
    EXPECT_EQ(f.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(f.cbSize, 0);
  }
}

TEST(PCMFormat, EveryCodeFollowsTheTableRule) {
  const uint32_t rates[] = {8000, 11025, 22050, 44100, 48000};
  for (int code = 1; code <= 20; ++code) {
    const WAVEFORMATEX f = Pcm(static_cast<TPCMFormat>(code));
    const int kind = (code - 1) % 4;
    SCOPED_TRACE(code);
    EXPECT_EQ(f.nSamplesPerSec, rates[(code - 1) / 4]);
    EXPECT_EQ(f.nChannels, kind % 2 == 0 ? 1 : 2);
    EXPECT_EQ(f.wBitsPerSample, kind < 2 ? 8 : 16);
    EXPECT_EQ(f.nBlockAlign, f.nChannels * f.wBitsPerSample / 8);
    EXPECT_EQ(f.nAvgBytesPerSec, f.nBlockAlign * f.nSamplesPerSec);
  }
}

TEST(PCMFormat, CodesThatNameNoFormatLeaveTheRecordAlone) {
  for (int code : {0, 21, 127, 128}) {
    WAVEFORMATEX f;
    std::memset(&f, 0xAB, sizeof f);
    EXPECT_FALSE(FillPCMFormatFromCode(f, static_cast<TPCMFormat>(code)));
    const auto* b = reinterpret_cast<const uint8_t*>(&f);
    for (size_t i = 0; i < sizeof f; ++i) EXPECT_EQ(b[i], 0xAB) << "code " << code;
  }
}

TEST(PCMFormat, ChoiceOutsideItsRangeKeepsThatField) {
  WAVEFORMATEX f = Pcm(4);  // 8000 stereo 16
  FillPCMFormat(f, static_cast<TPCMChannel>(7), ss22050Hz, static_cast<TPCMBitsPerSample>(9));
  EXPECT_EQ(f.nChannels, 2);
  EXPECT_EQ(f.wBitsPerSample, 16);
  EXPECT_EQ(f.nSamplesPerSec, 22050u);
  EXPECT_EQ(f.nAvgBytesPerSec, 88200u);
}

TEST(WaveConversions, MillisecondsAndBytesForTheToneFormat) {
  const WAVEFORMATEX f = Pcm(16);
  EXPECT_EQ(WaveMsToBytes(&f, 5), 880u);    // 882 down to a frame
  EXPECT_EQ(WaveBufferBytes(&f, 5), 884u);  // 882 up to a frame
  EXPECT_EQ(WaveMsToBytes(&f, 10), 1764u);
  EXPECT_EQ(WaveBufferBytes(&f, 10), 1764u);
  EXPECT_EQ(WaveBufferBytes(&f, 1000), 176400u);
  EXPECT_EQ(WaveBytesToMs(&f, 1000), 6u);  // 5.67 rounds up
  EXPECT_EQ(WaveBytesToMs(&f, 176400), 1000u);
  // Full 32-bit operands do not overflow.
  EXPECT_EQ(WaveBytesToMs(&f, UINT32_MAX), 24347887u);
}

TEST(WaveConversions, DegenerateFormats) {
  WAVEFORMATEX f{};
  EXPECT_EQ(WaveBytesToMs(&f, 1000), 0u);
  EXPECT_EQ(WaveBytesToMs(nullptr, 1000), 0u);
  EXPECT_EQ(WaveMsToBytes(nullptr, 10), 0u);
  f.nAvgBytesPerSec = 8000;
  f.nBlockAlign = 1;
  EXPECT_EQ(WaveMsToBytes(&f, 3), 24u);
}

TEST(PeakLevel, MeasuresMagnitudeBothWays) {
  const WAVEFORMATEX f16 = Pcm(3);
  auto a = Samples16({-30000, 100});
  EXPECT_EQ(GetPeakLevel(a.data(), 4, &f16), 91);  // the negative peak counts
  auto b = Samples16({32767});
  EXPECT_EQ(GetPeakLevel(b.data(), 2, &f16), 100);
  auto c = Samples16({-32768, 0});
  EXPECT_EQ(GetPeakLevel(c.data(), 4, &f16), 100);
  auto d = Samples16({0, 0, 16384});
  EXPECT_EQ(GetPeakLevel(d.data(), 5, &f16), 0);  // trailing odd byte ignored
  EXPECT_EQ(GetPeakLevel(d.data(), 6, &f16), 50);

  const WAVEFORMATEX f8 = Pcm(1);
  const uint8_t quiet[] = {128, 128, 129};
  EXPECT_EQ(GetPeakLevel(quiet, 3, &f8), 0);
  const uint8_t low[] = {0, 127};
  EXPECT_EQ(GetPeakLevel(low, 2, &f8), 100);
  const uint8_t high[] = {255};
  EXPECT_EQ(GetPeakLevel(high, 1, &f8), 100);
  const uint8_t half[] = {64, 150};
  EXPECT_EQ(GetPeakLevel(half, 2, &f8), 50);
  EXPECT_EQ(GetPeakLevel(half, 0, &f8), 0);
}

TEST(PeakLevel, RefusesOtherFormats) {
  WAVEFORMATEX f = Pcm(3);
  f.wBitsPerSample = 24;
  const uint8_t data[6] = {};
  EXPECT_EQ(GetPeakLevel(data, 6, &f), -1);
  f = Pcm(3);
  f.wFormatTag = 3;
  EXPECT_EQ(GetPeakLevel(data, 6, &f), -1);
  EXPECT_EQ(GetPeakLevel(data, 6, nullptr), -1);
}

TEST(Silence, MidpointFor8BitZeroFor16Bit) {
  const WAVEFORMATEX f8 = Pcm(2);
  std::vector<uint8_t> buf(6, 9);
  EXPECT_TRUE(FillSilence(buf.data(), 5, &f8));
  EXPECT_EQ(buf, (std::vector<uint8_t>{128, 128, 128, 128, 128, 9}));
  const WAVEFORMATEX f16 = Pcm(4);
  EXPECT_TRUE(FillSilence(buf.data(), 4, &f16));
  EXPECT_EQ(buf, (std::vector<uint8_t>{0, 0, 0, 0, 128, 9}));
  WAVEFORMATEX other = f16;
  other.wFormatTag = 2;
  EXPECT_FALSE(FillSilence(buf.data(), 6, &other));
  EXPECT_EQ(buf[5], 9);
}

}  // namespace
}  // namespace tw

#include "runtime/Stream.h"
#include "testing/WaveTestSupport.h"

namespace tw {
namespace {

using namespace tw::testing;

Bytes ExpectedToneHeader(uint32_t riffSize, uint32_t dataSize) {
  const WAVEFORMATEX f = Pcm(16);
  Bytes v;
  PutId(v, "RIFF");
  Put32(v, riffSize);
  PutId(v, "WAVE");
  PutId(v, "fmt ");
  Put32(v, 18);
  Bytes body = FmtBody(f);
  Append(v, body);
  PutId(v, "data");
  Put32(v, dataSize);
  return v;
}

TEST(WaveHeader, CreateWritesTheFortySixByteHeaderWithZeroSizes) {
  TMemoryStream s;
  s.Write("previous content", 16);
  const WAVEFORMATEX f = Pcm(16);
  MMCKINFO riff, data;
  HMMIO h = CreateWaveOnStream(s, &f, riff, data);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(mmioSeek(h, 0, MMIO_SEEK_CUR), 46);
  EXPECT_EQ(data.dwDataOffset, 46u);
  EXPECT_EQ(riff.dwDataOffset, 8u);
  mmioClose(h, 0);
  EXPECT_EQ(Contents(s), ExpectedToneHeader(0, 0));
}

TEST(WaveHeader, FinishingGivesTheExactBytesForEvenAndOddData) {
  for (uint32_t n : {1000u, 1001u}) {
    SCOPED_TRACE(n);
    TMemoryStream s;
    const WAVEFORMATEX f = Pcm(16);
    MMCKINFO riff, data;
    HMMIO h = CreateWaveOnStream(s, &f, riff, data);
    Bytes payload(n);
    for (uint32_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(mmioWrite(h, payload.data(), n), n);
    ASSERT_EQ(mmioAscend(h, &data, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioAscend(h, &riff, 0), MMSYSERR_NOERROR);
    mmioClose(h, 0);
    Bytes want = ExpectedToneHeader(n % 2 ? 1040 : 1038, n);
    Append(want, payload);
    if (n % 2) want.push_back(0);  // the pad byte, counted by the RIFF size
    EXPECT_EQ(Contents(s), want);
  }
}

TEST(WaveHeader, OddFormatRecordGetsAPadByte) {
  TMemoryStream s;
  struct {
    WAVEFORMATEX f;
    uint8_t extra[3];
  } rec{};
  rec.f = Pcm(1);
  rec.f.wFormatTag = 0x55;
  rec.f.cbSize = 3;
  rec.extra[0] = 9;
  MMCKINFO riff, data;
  HMMIO h = CreateWaveOnStream(s, &rec.f, riff, data);
  ASSERT_NE(h, nullptr);
  mmioClose(h, 0);
  const Bytes b = Contents(s);
  ASSERT_EQ(b.size(), 50u);
  EXPECT_EQ(Get32(&b[16]), 21u);
  EXPECT_EQ(b[38], 9);
  EXPECT_EQ(b[41], 0);  // pad
  EXPECT_EQ(std::string(b.begin() + 42, b.begin() + 46), "data");
  EXPECT_EQ(data.dwDataOffset, 50u);
}

TEST(WaveHeader, ParsesWhatWasWritten) {
  TMemoryStream s;
  Fill(s, Riff({Chunk("fmt ", FmtBody(Pcm(16))), Chunk("data", Bytes(10, 1))}));
  TWaveFormatBlock f;
  uint32_t size = 0, offset = 0;
  ASSERT_TRUE(ReadWaveHeader(s, f, size, offset));
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(offset, 46u);
  const WAVEFORMATEX want = Pcm(16);
  EXPECT_EQ(std::memcmp(f.get(), &want, 18), 0);
}

TEST(WaveHeader, ShortFmtChunksAreZeroFilledOrRefused) {
  TMemoryStream s;
  TWaveFormatBlock f;
  uint32_t size = 0, offset = 0;
  WAVEFORMATEX src = Pcm(16);
  src.cbSize = 0x7777;  // beyond a 16-byte chunk, never read
  Fill(s, Riff({Chunk("fmt ", FmtBody(src, 16)), Chunk("data", Bytes(4))}));
  ASSERT_TRUE(ReadWaveHeader(s, f, size, offset));
  EXPECT_EQ(f.size(), 18u);
  EXPECT_EQ(f->cbSize, 0);
  EXPECT_EQ(f->wBitsPerSample, 16);
  EXPECT_EQ(offset, 44u);

  Fill(s, Riff({Chunk("fmt ", FmtBody(src, 14)), Chunk("data", Bytes(4))}));
  ASSERT_TRUE(ReadWaveHeader(s, f, size, offset));
  EXPECT_EQ(f->wBitsPerSample, 0);
  EXPECT_EQ(f->nBlockAlign, 4);

  Fill(s, Riff({Chunk("fmt ", FmtBody(src, 12)), Chunk("data", Bytes(4))}));
  EXPECT_FALSE(ReadWaveHeader(s, f, size, offset));
  EXPECT_FALSE(f);
}

TEST(WaveHeader, ExtraBytesClaimedByCbSizeAreZeroFilled) {
  // An 18-byte chunk whose cbSize claims 6 more bytes: the record is still
  // safe to use with 18 + cbSize bytes.
  WAVEFORMATEX src = Pcm(3);
  src.cbSize = 6;
  TMemoryStream s;
  Fill(s, Riff({Chunk("fmt ", FmtBody(src)), Chunk("data", Bytes(2))}));
  TWaveFormatBlock f;
  uint32_t size = 0, offset = 0;
  ASSERT_TRUE(ReadWaveHeader(s, f, size, offset));
  EXPECT_EQ(f.size(), 24u);
  EXPECT_EQ(f->cbSize, 6);
}

TEST(WaveHeader, ChunkSearchOrder) {
  TMemoryStream s;
  TWaveFormatBlock f;
  uint32_t size = 0, offset = 0;
  // Another chunk (odd-sized, so padded) between "fmt " and "data" is skipped.
  Fill(s, Riff({Chunk("fmt ", FmtBody(Pcm(1))), Chunk("LIST", Bytes(5, 'x')),
                Chunk("data", Bytes(3, 200))}));
  ASSERT_TRUE(ReadWaveHeader(s, f, size, offset));
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(offset, 46u + 14u);
  // "data" before "fmt " is not found.
  Fill(s, Riff({Chunk("data", Bytes(3)), Chunk("fmt ", FmtBody(Pcm(1)))}));
  EXPECT_FALSE(ReadWaveHeader(s, f, size, offset));
  EXPECT_FALSE(f);
  // A chunk before the RIFF chunk is skipped.
  Bytes lead = Chunk("JUNK", Bytes(3));
  Bytes wave = Riff({Chunk("fmt ", FmtBody(Pcm(1))), Chunk("data", Bytes(2))});
  Append(lead, wave);
  Fill(s, lead);
  ASSERT_TRUE(ReadWaveHeader(s, f, size, offset));
  EXPECT_EQ(offset, 12u + 46u);
  // No "fmt " at all.
  Fill(s, Riff({Chunk("data", Bytes(2))}));
  EXPECT_FALSE(ReadWaveHeader(s, f, size, offset));
}

TEST(WaveHeader, StoredDataSizeIsReportedAsIs) {
  Bytes b = Riff({Chunk("fmt ", FmtBody(Pcm(1))), Chunk("data", Bytes{128})});
  b[42] = 0x88;  // data size 5000, far more than follows
  b[43] = 0x13;
  TMemoryStream s;
  Fill(s, b);
  TWaveFormatBlock f;
  uint32_t size = 0, offset = 0;
  ASSERT_TRUE(ReadWaveHeader(s, f, size, offset));
  EXPECT_EQ(size, 5000u);
}

TEST(WaveHeader, EmptyOrForeignStreamsLeaveTheOutputsAlone) {
  TMemoryStream s;
  TWaveFormatBlock f;
  ASSERT_TRUE(f.Assign(&static_cast<const WAVEFORMATEX&>(Pcm(5))));
  uint32_t size = 77, offset = 88;
  EXPECT_FALSE(ReadWaveHeader(s, f, size, offset));
  EXPECT_TRUE(f);
  EXPECT_EQ(size, 77u);
  EXPECT_EQ(offset, 88u);
  Fill(s, Chunk("RIFX", Bytes(8)));
  EXPECT_FALSE(ReadWaveHeader(s, f, size, offset));
  EXPECT_TRUE(f);
}

TEST(WaveHeader, FormatBlockReusesItsStorage) {
  TMemoryStream s;
  Fill(s, Riff({Chunk("fmt ", FmtBody(Pcm(16))), Chunk("data", Bytes(4))}));
  TWaveFormatBlock f;
  uint32_t size = 0, offset = 0;
  ASSERT_TRUE(ReadWaveHeader(s, f, size, offset));
  const WAVEFORMATEX* first = f.get();
  f.reset();
  ASSERT_TRUE(ReadWaveHeader(s, f, size, offset));
  EXPECT_EQ(f.get(), first);
}

}  // namespace
}  // namespace tw
