#include "platform/mmio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/StreamIO.h"
#include "runtime/Exceptions.h"
#include "runtime/Stream.h"

namespace tw {
namespace {

void Append32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void AppendId(std::vector<uint8_t>& v, const char* id) { v.insert(v.end(), id, id + 4); }
void AppendChunk(std::vector<uint8_t>& v, const char* id, const std::string& body) {
  AppendId(v, id);
  Append32(v, static_cast<uint32_t>(body.size()));
  v.insert(v.end(), body.begin(), body.end());
  if (body.size() % 2 == 1) v.push_back(0);
}

struct Image {
  TMemoryStream stream;
  HMMIO h = nullptr;
  explicit Image(const std::vector<uint8_t>& bytes) {
    stream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    h = OpenStreamIO(&stream);
  }
  ~Image() { mmioClose(h, 0); }
};

TEST(ChunkIO, FindChunkSkipsOthersByTheirSizeAndPadByte) {
  std::vector<uint8_t> b;
  AppendChunk(b, "junk", "odd");  // 3 bytes + pad
  AppendChunk(b, "abcd", "xy");
  AppendChunk(b, "want", "found");
  Image img(b);
  ASSERT_NE(img.h, nullptr);
  MMCKINFO ck{};
  ck.ckid = mmioStringToFOURCC("want", 0);
  ASSERT_EQ(mmioDescend(img.h, &ck, nullptr, MMIO_FINDCHUNK), MMSYSERR_NOERROR);
  EXPECT_EQ(ck.cksize, 5u);
  EXPECT_EQ(ck.dwDataOffset, 12u + 10u + 8u);
  char body[5];
  EXPECT_EQ(mmioRead(img.h, body, 5), 5);
  EXPECT_EQ(std::string(body, 5), "found");
}

TEST(ChunkIO, SearchIsBoundedByTheParent) {
  std::vector<uint8_t> inner;
  AppendId(inner, "WAVE");
  AppendChunk(inner, "aaaa", "1");
  std::vector<uint8_t> b;
  AppendId(b, "RIFF");
  Append32(b, static_cast<uint32_t>(inner.size()));
  b.insert(b.end(), inner.begin(), inner.end());
  AppendChunk(b, "bbbb", "outside");  // after the RIFF chunk
  Image img(b);
  MMCKINFO riff{};
  riff.fccType = mmioStringToFOURCC("WAVE", 0);
  ASSERT_EQ(mmioDescend(img.h, &riff, nullptr, MMIO_FINDRIFF), MMSYSERR_NOERROR);
  EXPECT_EQ(riff.ckid, FOURCC_RIFF);
  EXPECT_EQ(riff.dwDataOffset, 8u);
  MMCKINFO ck{};
  ck.ckid = mmioStringToFOURCC("bbbb", 0);
  EXPECT_EQ(mmioDescend(img.h, &ck, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
  // Without the parent the same search runs on and finds it.
  mmioSeek(img.h, 12, MMIO_SEEK_SET);
  EXPECT_EQ(mmioDescend(img.h, &ck, nullptr, MMIO_FINDCHUNK), MMSYSERR_NOERROR);
}

TEST(ChunkIO, FindRiffNeedsTheFormType) {
  std::vector<uint8_t> b;
  AppendId(b, "RIFF");
  Append32(b, 4);
  AppendId(b, "AVI ");
  AppendId(b, "RIFF");
  Append32(b, 4);
  AppendId(b, "WAVE");
  Image img(b);
  MMCKINFO riff{};
  riff.fccType = mmioStringToFOURCC("WAVE", 0);
  ASSERT_EQ(mmioDescend(img.h, &riff, nullptr, MMIO_FINDRIFF), MMSYSERR_NOERROR);
  EXPECT_EQ(riff.dwDataOffset, 20u);
}

TEST(ChunkIO, HugeSizesEndTheSearchWithoutRunningAway) {
  std::vector<uint8_t> b;
  AppendId(b, "xxxx");
  Append32(b, 0xFFFFFFFFu);
  Image img(b);
  MMCKINFO ck{};
  ck.ckid = mmioStringToFOURCC("data", 0);
  EXPECT_EQ(mmioDescend(img.h, &ck, nullptr, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
}

TEST(ChunkIO, CreateAndAscendCorrectSizesAndPad) {
  TMemoryStream s;
  HMMIO h = OpenStreamIO(&s);
  MMCKINFO riff{};
  riff.fccType = mmioStringToFOURCC("TEST", 0);
  ASSERT_EQ(mmioCreateChunk(h, &riff, MMIO_CREATERIFF), MMSYSERR_NOERROR);
  EXPECT_EQ(riff.dwDataOffset, 8u);
  EXPECT_EQ(riff.dwFlags, MMIO_DIRTY);
  MMCKINFO ck{};
  ck.ckid = mmioStringToFOURCC("abc", 0);  // blank-padded
  ASSERT_EQ(mmioCreateChunk(h, &ck, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioWrite(h, "12345", 5), 5);
  ASSERT_EQ(mmioAscend(h, &ck, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(ck.cksize, 5u);
  ASSERT_EQ(mmioAscend(h, &riff, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
  std::vector<uint8_t> want;
  AppendId(want, "RIFF");
  Append32(want, 4 + 8 + 6);
  AppendId(want, "TEST");
  AppendChunk(want, "abc ", "12345");
  ASSERT_EQ(s.Size(), static_cast<int64_t>(want.size()));
  EXPECT_EQ(std::memcmp(s.Memory(), want.data(), want.size()), 0);
}

TEST(ChunkIO, FourCCFromText) {
  EXPECT_EQ(mmioStringToFOURCC("fmt", 0), MakeFourCC('f', 'm', 't', ' '));
  EXPECT_EQ(mmioStringToFOURCC("wave", MMIO_TOUPPER), MakeFourCC('W', 'A', 'V', 'E'));
  EXPECT_EQ(mmioStringToFOURCC("datalonger", 0), MakeFourCC('d', 'a', 't', 'a'));
}

TEST(StreamIO, HandlesKeepTheirOwnOffsets) {
  TMemoryStream s;
  s.Write("0123456789", 10);
  HMMIO a = OpenStreamIO(&s);
  HMMIO b = OpenStreamIO(&s);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  char x[3];
  EXPECT_EQ(mmioSeek(a, 5, MMIO_SEEK_SET), 5);
  EXPECT_EQ(mmioRead(b, x, 3), 3);
  EXPECT_EQ(std::string(x, 3), "012");
  EXPECT_EQ(mmioRead(a, x, 3), 3);
  EXPECT_EQ(std::string(x, 3), "567");
  EXPECT_EQ(mmioSeek(b, 2, MMIO_SEEK_CUR), 5);
  EXPECT_EQ(mmioSeek(a, -1, MMIO_SEEK_END), 9);
  EXPECT_EQ(mmioRead(a, x, 3), 1);
  EXPECT_EQ(mmioRead(a, x, 3), 0);
  mmioClose(a, 0);
  mmioClose(b, 0);
}

// A stream whose every operation fails, as a broken file would.
class FailingStream : public TStream {
 public:
  int64_t Seek(int64_t, TSeekOrigin) override { throw EStreamError("Stream seek error"); }
  int64_t Read(void*, int64_t) override { throw EStreamError("Stream read error"); }
  int64_t Write(const void*, int64_t) override { throw EStreamError("Stream write error"); }
  void SetSize(int64_t) override { throw EStreamError("Stream size error"); }
};

TEST(StreamIO, StreamFailuresAndMissingStreamsBecomeMinusOne) {
  MMIOINFO info{};
  EXPECT_EQ(StreamIOProc(nullptr, MMIOM_READ, 0, 0), -1);
  EXPECT_EQ(StreamIOProc(&info, MMIOM_OPEN, 0, 0), -1);  // no stream bound
  EXPECT_EQ(OpenStreamIO(nullptr), nullptr);
  FailingStream broken;
  info.adwInfo[0] = reinterpret_cast<uintptr_t>(&broken);
  char c;
  EXPECT_EQ(StreamIOProc(&info, MMIOM_READ, reinterpret_cast<intptr_t>(&c), 1), -1);
  EXPECT_EQ(StreamIOProc(&info, MMIOM_WRITE, reinterpret_cast<intptr_t>(&c), 1), -1);
  EXPECT_EQ(StreamIOProc(&info, MMIOM_SEEK, 0, MMIO_SEEK_SET), -1);
  EXPECT_EQ(StreamIOProc(&info, MMIOM_CLOSE, 0, 0), 0);
  // An open that the procedure refuses gives no handle.
  MMIOINFO open{};
  open.pIOProc = &StreamIOProc;
  open.adwInfo[0] = reinterpret_cast<uintptr_t>(&broken);
  EXPECT_EQ(mmioOpen(nullptr, &open, MMIO_WRITE), nullptr);
  EXPECT_NE(open.wErrorRet, 0u);
}

}  // namespace
}  // namespace tw
