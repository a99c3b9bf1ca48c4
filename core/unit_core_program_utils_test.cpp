#include "core/unit_core_program_utils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tw {
namespace {

using Lines = std::vector<std::string>;

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tonewell-load-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string file = (path_ / name).string();
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

TEST(SplitWarriorLines, HandlesEveryLineEnding) {
  EXPECT_EQ(SplitWarriorLines("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitWarriorLines("a\n"), (Lines{"a"}));
  EXPECT_EQ(SplitWarriorLines("a\r\n"), (Lines{"a"}));
  EXPECT_EQ(SplitWarriorLines("a\r"), (Lines{"a"}));
  EXPECT_EQ(SplitWarriorLines("a\n\nb"), (Lines{"a", "", "b"}));
  EXPECT_EQ(SplitWarriorLines("a\n\r\nb"), (Lines{"a", "", "b"}));
  // LF CR is two breaks, CR CR LF too.
  EXPECT_EQ(SplitWarriorLines("a\n\rb"), (Lines{"a", "", "b"}));
  EXPECT_EQ(SplitWarriorLines("a\r\r\nb"), (Lines{"a", "", "b"}));
  EXPECT_EQ(SplitWarriorLines(""), Lines{});
  EXPECT_EQ(SplitWarriorLines("\n"), (Lines{""}));
}

TEST(SplitWarriorLines, ANulEndsTheText) {
  EXPECT_EQ(SplitWarriorLines(std::string("a\nb\0c\nd", 7)), (Lines{"a", "b"}));
  EXPECT_EQ(SplitWarriorLines(std::string("\0a", 2)), Lines{});
}

TEST(ParseProgramLines, SkipsCommentsAndBlankLinesAndKeepsOrder) {
  Tprogram program;
  ParseProgramLines(
      {";redcode", "", "  \t", "MOV.I $0, $1", " ;x DAT.F $1, $2", ";c", "JMP.B $-1, $0"}, program);
  ASSERT_EQ(program.size(), 3u);
  EXPECT_EQ(program[0], (CoreCell{0, 1, 3593}));
  EXPECT_EQ(program[1].ANumber, 1);  // a ";" after a blank is no comment
  EXPECT_EQ(program[2].ANumber, 7999);
}

TEST(ParseProgramLines, GrowsPastOneCoreOfInstructions) {
  Lines lines(20001, "ADD.AB #1, $2");
  Tprogram program;
  ParseProgramLines(lines, program);
  EXPECT_EQ(program.size(), 20001u);
  ParseProgramLines({";only", ";comments"}, program);
  EXPECT_TRUE(program.empty());
}

TEST(FindStartOffset, IsTheFirstStartLineIndexMinusThree) {
  EXPECT_EQ(FindStartOffset({";redcode", ";name x", ";author y", "start MOV.I $0, $1"}), 0);
  EXPECT_EQ(FindStartOffset({"START"}), -3);
  EXPECT_EQ(FindStartOffset({"a", "b", "c", "d", "e", "restart JMP.B $0, $0", "start"}), 2);
  EXPECT_EQ(FindStartOffset({"a", ";StArT in a comment"}), -2);
  EXPECT_EQ(FindStartOffset({"MOV.I $0, $1"}), 0);
  EXPECT_EQ(FindStartOffset({}), 0);
  EXPECT_EQ(FindStartOffset({"sta", "rt"}), 0);
}

TEST(LoadWarrior, ReadsAFileWithMixedLineEndings) {
  TempDir dir;
  const std::string file = dir.Write(
      "w.red", ";redcode\r\n;name w\n;author me\r\n\r\nDAT.F $1, $2\rstart MOV.I $0, $1\n");
  Tprogram program;
  std::int32_t start = 99;
  LoadWarrior(file, program, start);
  ASSERT_EQ(program.size(), 2u);
  EXPECT_EQ(program[0], (CoreCell{1, 2, 1033}));
  // Line index 5 minus 3: counted over all lines, the blank one included.
  EXPECT_EQ(start, 2);
}

TEST(LoadWarrior, StopsReadingAtANul) {
  TempDir dir;
  const std::string file =
      dir.Write("stops-at-nul.red", std::string("MOV.I $0, $1\n\0garbage\n", 22));
  Tprogram program;
  std::int32_t start = 0;
  LoadWarrior(file, program, start);
  EXPECT_EQ(program.size(), 1u);
}

TEST(LoadWarrior, NamesTheFailingLine) {
  TempDir dir;
  const std::string file = dir.Write("bad.red", ";x\n\nMOV.I $0, $1\nMOV.I $0 $1\n");
  Tprogram program;
  std::int32_t start = 0;
  try {
    LoadWarrior(file, program, start);
    FAIL() << "no failure";
  } catch (const EWarriorLineError& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    EXPECT_STREQ(e.Message(), "Failed to find comma");
    EXPECT_EQ(ReportLine(e), "Exception: Failed to find comma");
    EXPECT_EQ(e.FileName(), file);
    EXPECT_EQ(e.LineNumber(), 4);
    EXPECT_EQ(e.LineText(), "MOV.I $0 $1");
  }
}

TEST(LoadWarrior, UnopenableFilesReportTheSystemError) {
  TempDir dir;
  Tprogram program;
  std::int32_t start = 0;
  const std::string missing = dir.Path("missing.red");
  try {
    LoadWarrior(missing, program, start);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(ReportLine(e),
              "EFOpenError: Cannot open file \"" + missing + "\". No such file or directory");
  }
  try {
    LoadWarrior(dir.Path(""), program, start);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_NE(std::string(e.Message()).find("Is a directory"), std::string::npos);
  }
}

TEST(LoadWarrior, EmptyAndBinaryFiles) {
  TempDir dir;
  Tprogram program{CoreCell{}};
  std::int32_t start = 5;
  LoadWarrior(dir.Write("empty.red", ""), program, start);
  EXPECT_TRUE(program.empty());
  EXPECT_EQ(start, 0);

  std::string binary;
  for (int i = 1; i < 256; ++i) binary += static_cast<char>(i);
  EXPECT_THROW(LoadWarrior(dir.Write("bin.red", binary), program, start), EWarriorLineError);

  // /dev/zero never ends, but its first byte is a NUL.
  if (std::filesystem::exists("/dev/zero")) {
    LoadWarrior("/dev/zero", program, start);
    EXPECT_TRUE(program.empty());
  }
}

TEST(LoadWarrior, HugeFiles) {
  TempDir dir;
  Tprogram program;
  std::int32_t start = 0;
  // A megabyte line fails with the parser's message, after the read.
  EXPECT_THROW(LoadWarrior(dir.Write("wide.red", std::string(1 << 20, 'x') + "\n"), program, start),
               EWarriorLineError);
  // A million instruction lines load.
  std::string many;
  many.reserve(14u * 1000000u);
  for (int i = 0; i < 1000000; ++i) many += "ADD.AB #1, $2\n";
  LoadWarrior(dir.Write("long.red", many), program, start);
  EXPECT_EQ(program.size(), 1000000u);
}

}  // namespace
}  // namespace tw
