#include "runtime/Stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/Exceptions.h"

namespace tw {
namespace {

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("tonewell_stream_" + std::to_string(::getpid()) + "_" + name))
      .string();
}

TEST(MemoryStream, WriteReadSeekAndSize) {
  TMemoryStream s;
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Write("abcdef", 6), 6);
  EXPECT_EQ(s.Position(), 6);
  EXPECT_EQ(s.Size(), 6);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 4), 0);  // at the end
  EXPECT_EQ(s.Seek(-4, TSeekOrigin::soEnd), 2);
  EXPECT_EQ(s.Read(buf, 8), 4);
  EXPECT_EQ(std::string(buf, 4), "cdef");
  EXPECT_EQ(s.Seek(-3, TSeekOrigin::soCurrent), 3);
  EXPECT_EQ(s.Seek(1, TSeekOrigin::soBeginning), 1);
  EXPECT_THROW(s.Seek(-2, TSeekOrigin::soCurrent), EStreamError);
  EXPECT_EQ(std::memcmp(s.Memory(), "abcdef", 6), 0);
}

TEST(MemoryStream, WritePastTheEndZeroFillsTheGap) {
  TMemoryStream s;
  s.Write("xy", 2);
  s.SetPosition(5);
  s.Write("z", 1);
  ASSERT_EQ(s.Size(), 6);
  const auto* m = static_cast<const uint8_t*>(s.Memory());
  EXPECT_EQ(std::vector<uint8_t>(m, m + 6), (std::vector<uint8_t>{'x', 'y', 0, 0, 0, 'z'}));
}

TEST(MemoryStream, SetSizeCutsAndExtendsWithZeroes) {
  TMemoryStream s;
  s.Write("abcdef", 6);
  s.SetSize(3);
  EXPECT_EQ(s.Size(), 3);
  EXPECT_EQ(s.Position(), 3);  // moved back inside
  s.SetSize(5);
  const auto* m = static_cast<const uint8_t*>(s.Memory());
  EXPECT_EQ(std::vector<uint8_t>(m, m + 5), (std::vector<uint8_t>{'a', 'b', 'c', 0, 0}));
}

TEST(MemoryStream, KeepsItsBlockWhenEmptiedAndRefilled) {
  TMemoryStream s;
  std::vector<uint8_t> data(3000, 7);
  s.Write(data.data(), 3000);
  void* block = s.Memory();
  const int64_t capacity = s.Capacity();
  s.SetSize(0);
  s.SetPosition(0);
  s.Write(data.data(), 3000);
  EXPECT_EQ(s.Memory(), block);
  EXPECT_EQ(s.Capacity(), capacity);
  s.Clear();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Memory(), block);
  s.Clear(true);
  EXPECT_EQ(s.Capacity(), 0);
  EXPECT_EQ(s.Memory(), nullptr);
}

TEST(Stream, ReadBufferAndWriteBufferInsistOnTheFullCount) {
  TMemoryStream s;
  s.Write("abc", 3);
  s.SetPosition(0);
  char buf[4];
  try {
    s.ReadBuffer(buf, 4);
    FAIL() << "short read accepted";
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }
}

TEST(Stream, CopyFromCopiesFromTheSourcePositionOrWholeForZero) {
  TMemoryStream src;
  src.Write("0123456789", 10);
  src.SetPosition(4);
  TMemoryStream dst;
  dst.Write("ab", 2);
  EXPECT_EQ(dst.CopyFrom(src, 3), 3);
  EXPECT_EQ(src.Position(), 7);
  EXPECT_EQ(std::string(static_cast<const char*>(dst.Memory()), 5), "ab456");
  EXPECT_EQ(dst.CopyFrom(src, 0), 10);  // whole source from its start
  EXPECT_EQ(dst.Size(), 15);
  // Fewer bytes than asked for raise, as the whole-content loaders rely on.
  src.SetPosition(8);
  EXPECT_THROW(dst.CopyFrom(src, 5), EStreamError);
}

TEST(MemoryStream, LoadingOrCopyingItselfKeepsTheContent) {
  TMemoryStream s;
  s.Write("abcdef", 6);
  s.LoadFromStream(s);
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(std::string(static_cast<const char*>(s.Memory()), 6), "abcdef");
  s.SetPosition(2);
  EXPECT_EQ(s.CopyFrom(s, 3), 3);
  EXPECT_EQ(s.Position(), 5);
  EXPECT_EQ(std::string(static_cast<const char*>(s.Memory()), 6), "abcdef");
  // Writing a piece of its own block while growing.
  s.Seek(0, TSeekOrigin::soEnd);
  for (int i = 0; i < 8; ++i) s.Write(s.Memory(), s.Size());
  EXPECT_EQ(s.Size(), 6 * 256);
  EXPECT_EQ(std::string(static_cast<const char*>(s.Memory()) + 6 * 255, 6), "abcdef");
}

TEST(FileStream, CreateWriteReopenReadAndResize) {
  const std::string path = TempPath("rw.bin");
  {
    TFileStream f(path, fmCreate);
    f.WriteBuffer("hello world", 11);
    EXPECT_EQ(f.Size(), 11);
    f.SetSize(5);
    EXPECT_EQ(f.Position(), 5);
  }
  {
    TFileStream f(path, fmOpenRead | fmShareDenyWrite);
    EXPECT_EQ(f.Size(), 5);
    TMemoryStream m;
    EXPECT_EQ(m.CopyFrom(f, 0), 5);
    EXPECT_EQ(std::string(static_cast<const char*>(m.Memory()), 5), "hello");
    f.Seek(-2, TSeekOrigin::soEnd);
    char buf[8];
    EXPECT_EQ(f.Read(buf, 8), 2);
  }
  {
    TFileStream f(path, fmCreate);  // truncates
    EXPECT_EQ(f.Size(), 0);
  }
  std::filesystem::remove(path);
}

TEST(FileStream, UnopenableFileRaisesWithNameAndReason) {
  const std::string path = TempPath("missing/none.wav");
  try {
    TFileStream f(path, fmOpenRead | fmShareDenyWrite);
    FAIL() << "opened a missing file";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open file \"" + path + "\". No such file or directory");
    EXPECT_STREQ(e.ClassName(), "EFOpenError");
  }
}

TEST(FileStream, DenyWriteSharingRefusesACreatingStream) {
  const std::string path = TempPath("shared.bin");
  { TFileStream(path, fmCreate).WriteBuffer("keep", 4); }
  {
    TFileStream reader(path, fmOpenRead | fmShareDenyWrite);
    EXPECT_THROW(TFileStream(path, fmCreate), EFOpenError);
    TFileStream secondReader(path, fmOpenRead | fmShareDenyWrite);  // readers share
    EXPECT_EQ(reader.Size(), 4);  // the refused create did not truncate
  }
  std::filesystem::remove(path);
}

TEST(MemoryStream, SaveAndLoadThroughAFile) {
  const std::string path = TempPath("mem.bin");
  TMemoryStream a;
  a.Write("payload", 7);
  a.SaveToFile(path);
  TMemoryStream b;
  b.Write("old content that is longer", 26);
  b.LoadFromFile(path);
  EXPECT_EQ(b.Size(), 7);
  EXPECT_EQ(b.Position(), 0);
  EXPECT_EQ(std::string(static_cast<const char*>(b.Memory()), 7), "payload");
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace tw
