// Replays the fuzz seed corpus and every input that once crashed the fuzz
// target through the same code, under the test build's sanitizers, and
// checks what the well-formed seeds must give.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/WaveFuzzBody.h"

namespace tw {
namespace {

std::vector<uint8_t> ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(WaveFuzzCorpus, EveryStoredInputRunsCleanly) {
  int count = 0;
  for (const char* dir : {"fuzz/seeds", "fuzz/regressions"}) {
    const auto path = std::filesystem::path(TONEWELL_SOURCE_DIR) / dir;
    ASSERT_TRUE(std::filesystem::is_directory(path)) << path;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
      SCOPED_TRACE(entry.path().string());
      const std::vector<uint8_t> bytes = ReadAll(entry.path());
      tw::fuzz::FuzzWaveInput(bytes.data(), bytes.size());
      ++count;
    }
  }
  EXPECT_GE(count, 10);
}

TEST(WaveFuzzCorpus, SeedsParseAsExpected) {
  const auto seeds = std::filesystem::path(TONEWELL_SOURCE_DIR) / "fuzz/seeds";
  auto load = [&](const char* name, TWave& w) {
    const std::vector<uint8_t> b = ReadAll(seeds / name);
    TMemoryStream s;
    s.Write(b.data(), static_cast<int64_t>(b.size()));
    s.SetPosition(0);
    w.LoadFromStream(s);
  };
  struct Case {
    const char* name;
    bool valid;
  };
  for (const Case& c : {Case{"tone-16.wav", true}, Case{"fmt16.wav", true}, Case{"fmt14.wav", true},
                        Case{"list-between.wav", true}, Case{"extensible.wav", true},
                        Case{"junk-then-riff.wav", true}, Case{"sox-8k-mono-u8.wav", true},
                        Case{"fmt12.wav", false}, Case{"data-before-fmt.wav", false},
                        Case{"fmt-size-huge.wav", false}, Case{"riff-size-small.wav", false},
                        Case{"truncated-header.wav", false}, Case{"not-wave.wav", false},
                        Case{"empty.wav", false}}) {
    TWave w;
    load(c.name, w);
    EXPECT_EQ(w.Valid(), c.valid) << c.name;
  }
  TWave huge;
  load("data-size-huge.wav", huge);
  ASSERT_TRUE(huge.Valid());  // stored size accepted as stored ...
  uint8_t* data = nullptr;
  EXPECT_FALSE(huge.BeginDataAccess(data, false));  // ... but never read past the end
}

}  // namespace
}  // namespace tw
