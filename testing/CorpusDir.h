#pragma once
// Where the tests and benchmarks find the shared warrior corpus, which lives
// beside the project and never inside it. Header only: tests and benchmarks.

#include <cstdlib>
#include <filesystem>

namespace tw {

// TONEWELL_CORPUS when it is set and not empty, otherwise ../shared/corpus
// beside the source tree.
inline std::filesystem::path CorpusDir() {
  const char* dir = std::getenv("TONEWELL_CORPUS");
  if (dir != nullptr && *dir != '\0') return dir;
  return std::filesystem::path(TONEWELL_SOURCE_DIR) / ".." / "shared" / "corpus";
}

}  // namespace tw
