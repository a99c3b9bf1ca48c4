// Loading warriors from what only POSIX systems have: files without read
// permission and named pipes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/unit_core_program_utils.h"

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

TEST(LoadWarrior, ANamedPipeWithoutWriterBlocksNeitherTheOpenNorTheRead) {
  PosixTempDir dir;
  const std::string pipe = dir.Path("pipe.red");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  Tprogram program{CoreCell{}};
  std::int32_t start = 5;
  LoadWarrior(pipe, program, start);
  EXPECT_TRUE(program.empty());
}

}  // namespace
}  // namespace tw
