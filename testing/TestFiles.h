#pragma once
// Files for tests: reading one whole, a scratch folder and a temporary file
// that are removed with everything in them. Header only, every system.

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tw::testing {

// The bytes of the file at `file`; empty when it cannot be read.
inline std::string ReadWholeFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A name under the system's temporary folder that no other object of this
// process and no other process running the same test takes: the prefix, the
// process id and a count.
inline std::filesystem::path UniqueTempPath(const std::string& prefix,
                                            const std::string& suffix = "") {
  static std::atomic<int> count{0};
  return std::filesystem::temp_directory_path() /
         (prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(++count) + suffix);
}

// A new empty folder, removed with its contents when the object goes.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix) : dir_(UniqueTempPath(prefix)) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& Path() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

// A file holding `bytes`, removed when the object goes.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes, const std::string& suffix = ".red")
      : path_(UniqueTempPath("tonewell-file", suffix)) {
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace tw::testing
