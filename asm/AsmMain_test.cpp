#include "asm/AsmMain.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace tw::redcode {
namespace {

class SourceFile {
 public:
  explicit SourceFile(const std::string& text) {
    path_ = std::filesystem::temp_directory_path() /
            ("tonewell-asm-" + std::to_string(getpid()) + "-" + std::to_string(++count_) + ".red");
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~SourceFile() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  static inline int count_ = 0;
  std::filesystem::path path_;
};

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Main(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = AsmMain(args, out, err);
  return {status, out.str(), err.str()};
}

TEST(AsmMain, PrintsTheLoadForm) {
  const SourceFile imp(
      ";redcode-94\n;name Imp\n;author A. K. Dewdney\nimp mov imp, imp+1\nend imp\n");
  const Outcome run = Main({imp.path()});
  EXPECT_EQ(run.status, kAsmExitOk);
  EXPECT_EQ(run.out, ";redcode-94\n;name Imp\n;author A. K. Dewdney\nstart  MOV.I  $0, $1\n");
  EXPECT_EQ(run.err, "");
}

TEST(AsmMain, DefineOverridesAConstant) {
  const SourceFile rounds(";assert ROUNDS > 1\ndat ROUNDS\n");
  EXPECT_EQ(Main({rounds.path()}).status, kAsmExitSourceError);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-D", "ROUNDS=20", rounds.path()},
        std::vector<std::string>{"-DROUNDS=-3", "-DROUNDS=20", rounds.path()}}) {
    const Outcome run = Main(args);
    EXPECT_EQ(run.status, kAsmExitOk) << run.err;
    EXPECT_NE(run.out.find("DAT.F  #0, $20"), std::string::npos);
  }
}

TEST(AsmMain, ErrorsNameTheFileLineAndColumn) {
  const SourceFile bad("dat 0\n  jmp nowhere\n");
  const Outcome run = Main({bad.path()});
  EXPECT_EQ(run.status, kAsmExitSourceError);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, bad.path() + ":2:7: undefined symbol \"nowhere\"\n  jmp nowhere\n      ^\n");

  const Outcome missing = Main({"/nonexistent/w.red"});
  EXPECT_EQ(missing.status, kAsmExitSourceError);
  EXPECT_EQ(missing.err,
            "tonewell-asm: EFOpenError: Cannot open file \"/nonexistent/w.red\". No such file or "
            "directory\n");
}

TEST(AsmMain, BadCommandLines) {
  const SourceFile ok("dat 0\n");
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {ok.path(), ok.path()},
                                               {"-D"},
                                               {"-D", "X", ok.path()},
                                               {"-D", "X=1.5", ok.path()},
                                               {"-D", "9X=1", ok.path()}}) {
    const Outcome run = Main(args);
    EXPECT_EQ(run.status, kAsmExitUsage);
    EXPECT_NE(run.err.find("Usage: tonewell-asm"), std::string::npos);
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(Main({"--help"}).status, kAsmExitOk);
}

TEST(AsmMain, WarnsWhenTheHeaderContainsStart) {
  const SourceFile restart(";name Restarter\ndat 0\n");
  const Outcome run = Main({restart.path()});
  EXPECT_EQ(run.status, kAsmExitOk);
  EXPECT_NE(run.err.find("warning"), std::string::npos);
}

}  // namespace
}  // namespace tw::redcode
