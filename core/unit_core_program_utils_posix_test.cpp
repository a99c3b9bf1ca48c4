// Loading warriors from what only POSIX systems have: files without read
// permission and named pipes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "core/unit_core_program_utils.h"
#include "runtime/FileRead.h"

namespace tw {
namespace {

class PosixTempDir {
 public:
  PosixTempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tonewell-load-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~PosixTempDir() { std::filesystem::remove_all(path_); }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

TEST(LoadWarrior, AFileWithoutReadPermissionReportsTheSystemError) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  PosixTempDir dir;
  const std::string locked = dir.Path("locked.red");
  std::ofstream(locked, std::ios::binary) << "MOV.I $0, $1\n";
  chmod(locked.c_str(), 0);
  Tprogram program;
  std::int32_t start = 0;
  EXPECT_THROW(LoadWarrior(locked, program, start), EFOpenError);
}

// A named pipe is read as `cat` reads it: the warrior is what its writer
// writes, whenever the writer comes; the wait can be given up.
TEST(LoadWarrior, ANamedPipeIsWaitedForUntilItsWriterHasWrittenAndGone) {
  PosixTempDir dir;
  const std::string pipe = dir.Path("pipe.red");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::ofstream(pipe, std::ios::binary) << "; a comment\nMOV.I $0, $1\n";
  });
  Tprogram program;
  std::int32_t start = 5;
  LoadWarrior(pipe, program, start);
  writer.join();
  ASSERT_EQ(program.size(), 1u);
  EXPECT_EQ(program[0].BNumber, 1);

  static int checks = 0;
  SetReadWaitCheck([] {
    if (++checks == 3) throw EStreamError("given up");
  });
  EXPECT_THROW(LoadWarrior(pipe, program, start), EStreamError);  // nobody writes this time
  SetReadWaitCheck(nullptr);
  EXPECT_EQ(checks, 3);
}

}  // namespace
}  // namespace tw
