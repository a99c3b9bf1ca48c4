#include "audio/WaveStorage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "runtime/Exceptions.h"
#include "runtime/Stream.h"
#include "testing/WaveTestSupport.h"

namespace tw {
namespace {

using namespace tw::testing;

// A stream that is not memory-backed, and that can be told to refuse writes.
class VectorStream : public TStream {
 public:
  Bytes data;
  bool failWrites = false;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    const int64_t base = Origin == TSeekOrigin::soBeginning ? 0
                         : Origin == TSeekOrigin::soCurrent ? pos
                                                            : static_cast<int64_t>(data.size());
    if (base + Offset < 0) throw EStreamError("Stream seek error");
    return pos = base + Offset;
  }
  int64_t Read(void* Buffer, int64_t Count) override {
    const int64_t n = std::clamp<int64_t>(static_cast<int64_t>(data.size()) - pos, 0, Count);
    if (n > 0) std::memcpy(Buffer, data.data() + pos, static_cast<size_t>(n));
    pos += n;
    return n;
  }
  int64_t Write(const void* Buffer, int64_t Count) override {
    if (failWrites) throw EStreamError("Stream write error");
    if (pos + Count > static_cast<int64_t>(data.size())) data.resize(pos + Count);
    std::memcpy(data.data() + pos, Buffer, static_cast<size_t>(Count));
    pos += Count;
    return Count;
  }
  void SetSize(int64_t NewSize) override {
    data.resize(static_cast<size_t>(NewSize));
    pos = std::min(pos, NewSize);
  }
  int64_t pos = 0;
};

// Counts the container's events.
struct Events {
  int changing = 0;
  int change = 0;
  void Attach(TWaveStreamAdapter& w) {
    w.SetOnChanging([this](TPersistent*) { ++changing; });
    w.SetOnChange([this](TPersistent*) { ++change; });
  }
};

Bytes Ramp(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + 5);
  return b;
}

void WriteTone(TWaveStreamAdapter& w, const Bytes& data) {
  ASSERT_TRUE(w.BeginRewritePCM(16));
  ASSERT_EQ(w.Write(data.data(), static_cast<int32_t>(data.size())),
            static_cast<int32_t>(data.size()));
  ASSERT_TRUE(w.EndRewrite());
}

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("tonewell_wave_" + std::to_string(::getpid()) + "_" + name))
      .string();
}

TEST(WaveContainer, EmptyStreamIsAnOrdinaryInvalidState) {
  TMemoryStream s;
  TWaveStreamAdapter w(&s, false);
  Events ev;
  ev.Attach(w);
  EXPECT_TRUE(w.Empty());
  EXPECT_EQ(ev.change, 0);  // Empty does not parse
  EXPECT_FALSE(w.Valid());
  EXPECT_EQ(w.DataSize(), 0u);
  EXPECT_EQ(w.DataOffset(), 0u);
  EXPECT_EQ(w.Length(), 0u);
  EXPECT_EQ(w.WaveFormat(), nullptr);
  EXPECT_FALSE(w.BeginRead());
  EXPECT_EQ(ev.change, 1);  // only the first query re-parsed
  EXPECT_EQ(ev.changing, 0);
  w.Refresh();
  EXPECT_FALSE(w.Valid());
  EXPECT_EQ(ev.change, 2);
}

TEST(WaveContainer, ToneOfEvenSize) {
  TMemoryStream s;
  TWaveStreamAdapter w(&s, false);
  Events ev;
  ev.Attach(w);
  const Bytes data = Ramp(1000);
  WriteTone(w, data);
  EXPECT_EQ(ev.change, 1);
  EXPECT_EQ(ev.changing, 0);  // never queried: details were stale already
  EXPECT_EQ(s.Size(), 1046);
  EXPECT_TRUE(w.Valid());
  EXPECT_EQ(w.DataOffset(), 46u);
  EXPECT_EQ(w.DataSize(), 1000u);
  EXPECT_EQ(w.Length(), 6u);
  EXPECT_EQ(w.WaveFormat()->nAvgBytesPerSec, 176400u);
  const Bytes b = Contents(s);
  EXPECT_EQ(Get32(&b[4]), 1038u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), b.begin() + 46));
  EXPECT_EQ(ev.change, 1);  // queries of current details fire nothing

  // Details current now: the next rewrite fires OnChanging once.
  WriteTone(w, data);
  EXPECT_EQ(ev.changing, 1);
  EXPECT_EQ(ev.change, 2);
}

TEST(WaveContainer, ToneOfOddSizeIsCutAfterTheData) {
  TMemoryStream s;
  TWaveStreamAdapter w(&s, false);
  WriteTone(w, Ramp(1001));
  EXPECT_EQ(s.Size(), 1047);
  const Bytes b = Contents(s);
  EXPECT_EQ(Get32(&b[4]), 1040u);  // counts the pad byte that was cut
  EXPECT_EQ(Get32(&b[42]), 1001u);
  EXPECT_EQ(w.DataSize(), 1001u);
}

TEST(WaveContainer, SeveralWritesAppend) {
  TWave w;
  ASSERT_TRUE(w.BeginRewritePCM(1));
  EXPECT_EQ(w.Write("abc", 3), 3);
  EXPECT_EQ(w.Write("de", 2), 2);
  EXPECT_EQ(w.Write("x", 0), 0);
  ASSERT_TRUE(w.EndRewrite());
  EXPECT_EQ(w.DataSize(), 5u);
  ASSERT_TRUE(w.BeginRead());
  char buf[8];
  EXPECT_EQ(w.Read(buf, 8), 5);
  EXPECT_EQ(std::string(buf, 5), "abcde");
}

TEST(WaveContainer, StateMachineRefusesWrongOrder) {
  TWave w;
  EXPECT_EQ(w.Write("a", 1), -1);
  EXPECT_TRUE(w.Empty());  // nothing happened
  EXPECT_FALSE(w.EndRewrite());
  EXPECT_FALSE(w.EndRead());
  char c;
  EXPECT_EQ(w.Read(&c, 1), -1);
  EXPECT_FALSE(w.BeginRewritePCM(0));
  EXPECT_FALSE(w.BeginRewrite(nullptr));
  WriteTone(w, Ramp(8));

  ASSERT_TRUE(w.BeginRead());
  EXPECT_EQ(w.State(), wssReading);
  EXPECT_FALSE(w.BeginRewritePCM(16));
  EXPECT_FALSE(w.BeginRead());
  EXPECT_EQ(w.Write("a", 1), -1);
  EXPECT_TRUE(w.EndRead());

  ASSERT_TRUE(w.BeginRewritePCM(16));
  EXPECT_FALSE(w.BeginRead());
  EXPECT_FALSE(w.BeginRewritePCM(16));
  EXPECT_EQ(w.Read(&c, 1), -1);
  EXPECT_FALSE(w.EndRead());
  EXPECT_TRUE(w.EndRewrite());
  EXPECT_EQ(w.State(), wssIdle);
}

TEST(WaveContainer, WhileRewritingTheCacheIsNotReparsed) {
  TWave w;
  WriteTone(w, Ramp(100));
  EXPECT_TRUE(w.Valid());
  ASSERT_TRUE(w.BeginRewritePCM(1));
  EXPECT_FALSE(w.Valid());  // cleared by the change, not re-parsed
  EXPECT_EQ(w.DataSize(), 0u);
  w.Write("ab", 2);
  ASSERT_TRUE(w.EndRewrite());
  EXPECT_EQ(w.DataSize(), 2u);
  EXPECT_EQ(w.WaveFormat()->nSamplesPerSec, 8000u);
}

TEST(WaveContainer, ReadingToTheEndAndPositioning) {
  TWave w;
  const Bytes data = Ramp(10);
  WriteTone(w, data);
  w.SetDataPosition(4);  // idle: nothing
  ASSERT_TRUE(w.BeginRead());
  uint8_t buf[16];
  EXPECT_EQ(w.Read(buf, 4), 4);
  EXPECT_TRUE(std::equal(buf, buf + 4, data.begin()));
  w.SetDataPosition(8);
  EXPECT_EQ(w.Read(buf, 16), 2);
  EXPECT_EQ(buf[0], data[8]);
  EXPECT_EQ(w.Read(buf, 16), 0);
  EXPECT_EQ(w.Read(buf, 16), 0);
  w.SetDataPosition(0);
  EXPECT_EQ(w.Read(buf, 16), 10);
  EXPECT_TRUE(w.EndRead());
}

TEST(WaveContainer, DestroyingWhileRewritingFinishesTheWave) {
  TMemoryStream s;
  {
    TWaveStreamAdapter w(&s, false);
    ASSERT_TRUE(w.BeginRewritePCM(16));
    w.Write("abcdefg", 7);
  }
  TWaveStreamAdapter again(&s, false);
  ASSERT_TRUE(again.Valid());
  EXPECT_EQ(again.DataSize(), 7u);
  EXPECT_EQ(s.Size(), 53);
}

TEST(WaveContainer, LoadSaveAssignAndEquals) {
  TWave tone;
  WriteTone(tone, Ramp(400));
  TWave copy;
  tone.Stream()->SetPosition(0);
  copy.LoadFromStream(*tone.Stream());
  EXPECT_TRUE(copy.Equals(&tone));
  EXPECT_TRUE(tone.Equals(&copy));
  EXPECT_EQ(copy.State(), wssIdle);

  TWave assigned;
  Events ev;
  ev.Attach(assigned);
  assigned.Assign(&tone);
  EXPECT_TRUE(assigned.Equals(&tone));
  EXPECT_EQ(ev.change, 1);
  assigned.Assign(&assigned);  // itself: nothing changes
  EXPECT_TRUE(assigned.Equals(&tone));

  TMemoryStream saved;
  saved.Write("x", 1);  // SaveToStream writes at the current position
  tone.SaveToStream(saved);
  EXPECT_EQ(saved.Size(), 1 + tone.Stream()->Size());

  // A different byte, a different size, a different format.
  uint8_t* data = nullptr;
  ASSERT_TRUE(copy.BeginDataAccess(data, false));
  data[399] ^= 1;
  EXPECT_TRUE(copy.EndDataAccess(data, true));
  EXPECT_FALSE(copy.Equals(&tone));
  TWave shorter;
  WriteTone(shorter, Ramp(398));
  EXPECT_FALSE(shorter.Equals(&tone));
  TWave other;
  ASSERT_TRUE(other.BeginRewritePCM(15));
  other.Write(Ramp(400).data(), 400);
  other.EndRewrite();
  EXPECT_FALSE(other.Equals(&tone));
  EXPECT_FALSE(other.SameFormat(&tone));
  EXPECT_TRUE(tone.SameFormat(&assigned));

  // Two valid waves of one format without data are equal.
  TWave e1, e2;
  ASSERT_TRUE(e1.BeginRewritePCM(3) && e1.EndRewrite());
  ASSERT_TRUE(e2.BeginRewritePCM(3) && e2.EndRewrite());
  EXPECT_TRUE(e1.Equals(&e2));
}

TEST(WaveContainer, LoadingASourceNotAtItsStartRaises) {
  TWave tone;
  WriteTone(tone, Ramp(40));
  tone.Stream()->SetPosition(10);
  TWave copy;
  EXPECT_THROW(copy.LoadFromStream(*tone.Stream()), EStreamError);
}

TEST(WaveContainer, LoadingClosesAnOpenReadingState) {
  TWave tone;
  WriteTone(tone, Ramp(40));
  TWave player;
  WriteTone(player, Ramp(20));
  ASSERT_TRUE(player.BeginRead());
  tone.Stream()->SetPosition(0);
  player.LoadFromStream(*tone.Stream());
  EXPECT_EQ(player.State(), wssIdle);
  EXPECT_FALSE(player.EndRead());
  EXPECT_TRUE(player.BeginRead());
}

TEST(WaveContainer, AssignFromSomethingElseRaises) {
  TWave w;
  TPersistent other;
  try {
    w.Assign(&other);
    FAIL() << "assigned from a foreign object";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.ClassName(), "EConvertError");
  }
}

TEST(WaveContainer, ClearEventsAndReparse) {
  TWave w;
  WriteTone(w, Ramp(10));
  ASSERT_TRUE(w.Valid());
  Events ev;
  ev.Attach(w);
  w.Clear();
  EXPECT_EQ(ev.changing, 1);
  EXPECT_EQ(ev.change, 1);
  EXPECT_TRUE(w.Empty());
  EXPECT_FALSE(w.Valid());
  EXPECT_EQ(ev.change, 2);  // the next query re-parses
  w.Clear();                // details current (invalid): OnChanging again
  EXPECT_EQ(ev.changing, 2);
  EXPECT_EQ(ev.change, 3);
  w.Clear();  // still stale from the last one: no OnChanging
  EXPECT_EQ(ev.changing, 2);
  EXPECT_EQ(ev.change, 4);
}

TEST(WaveContainer, TrimStreamCutsAfterTheData) {
  TWave w;
  WriteTone(w, Ramp(10));
  w.Stream()->Seek(0, TSeekOrigin::soEnd);
  w.Stream()->Write("trailing", 8);
  w.TrimStream();
  EXPECT_EQ(w.Stream()->Size(), 56);
  TMemoryStream junk;
  junk.Write("not a wave", 10);
  TWaveStreamAdapter invalid(&junk, false);
  invalid.TrimStream();
  EXPECT_EQ(junk.Size(), 0);
}

TEST(WaveContainer, FailedRewriteAfterEmptyingMarksTheDetailsStale) {
  VectorStream s;
  TWaveStreamAdapter w(&s, false);
  WriteTone(w, Ramp(10));
  ASSERT_TRUE(w.Valid());
  Events ev;
  ev.Attach(w);
  s.failWrites = true;
  EXPECT_FALSE(w.BeginRewritePCM(16));
  EXPECT_EQ(w.State(), wssIdle);
  EXPECT_EQ(ev.changing, 1);
  EXPECT_FALSE(w.Valid());  // re-parsed: the stream was emptied
  EXPECT_EQ(w.DataSize(), 0u);
}

TEST(WaveContainer, DataAccessOverOtherStreamsCopiesAndWritesBack) {
  VectorStream s;
  TWaveStreamAdapter w(&s, false);
  WriteTone(w, Ramp(6));
  uint8_t* data = nullptr;
  ASSERT_TRUE(w.BeginDataAccess(data, false));
  EXPECT_NE(data, s.data.data() + 46);
  data[0] = 0xEE;
  EXPECT_EQ(s.data[46], Ramp(6)[0]);  // a copy
  EXPECT_TRUE(w.EndDataAccess(data, true));
  EXPECT_EQ(s.data[46], 0xEE);
  EXPECT_FALSE(w.EndDataAccess(nullptr, false));
}

TEST(WaveContainer, DataAccessOverMemoryIsDirectUnlessForced) {
  TWave w;
  WriteTone(w, Ramp(6));
  auto* mem = static_cast<uint8_t*>(static_cast<TMemoryStream*>(w.Stream())->Memory());
  uint8_t* data = nullptr;
  ASSERT_TRUE(w.BeginDataAccess(data, false));
  EXPECT_EQ(data, mem + 46);
  EXPECT_TRUE(w.EndDataAccess(data, false));
  ASSERT_TRUE(w.BeginDataAccess(data, true));
  EXPECT_NE(data, mem + 46);
  data[0] = 1;
  EXPECT_TRUE(w.EndDataAccess(data, false));  // not updated: no write-back
  EXPECT_EQ(mem[46], Ramp(6)[0]);
}

TEST(WaveContainer, StoredDataSizeBeyondTheStreamIsRefused) {
  Bytes b = Riff({Chunk("fmt ", FmtBody([] {
                          WAVEFORMATEX f{};
                          FillPCMFormatFromCode(f, 1);
                          return f;
                        }())),
                  Chunk("data", Bytes(4, 128))});
  b[42] = 0x00;  // data size 0x10000 while 4 bytes follow
  b[43] = 0x00;
  b[44] = 0x01;
  TMemoryStream s;
  Fill(s, b);
  TWaveStreamAdapter w(&s, false);
  ASSERT_TRUE(w.Valid());
  EXPECT_EQ(w.DataSize(), 0x10000u);
  uint8_t* data = nullptr;
  EXPECT_FALSE(w.BeginDataAccess(data, false));
  EXPECT_EQ(data, nullptr);
  EXPECT_FALSE(w.BeginDataAccess(data, true));
  EXPECT_FALSE(w.Equals(&w));
}

TEST(WaveContainer, FilesRoundTripAndMissingFilesRaise) {
  const std::string path = TempPath("tone.wav");
  TWave tone;
  WriteTone(tone, Ramp(1001));
  tone.SaveToFile(path);
  EXPECT_EQ(std::filesystem::file_size(path), 1047u);
  TWave loaded;
  loaded.LoadFromFile(path);
  EXPECT_TRUE(loaded.Equals(&tone));
  std::filesystem::remove(path);
  EXPECT_THROW(loaded.LoadFromFile(path), EFOpenError);
  EXPECT_TRUE(loaded.Valid());  // the failed load changed nothing
}

}  // namespace
}  // namespace tw
