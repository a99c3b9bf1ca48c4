#include "core/ToneCache.h"

#include <gtest/gtest.h>

#include <vector>

namespace tw {
namespace {

std::vector<int16_t> Tone(uint32_t key, int32_t n) {
  std::vector<int16_t> pcm(n);
  for (int32_t i = 0; i < n; ++i) pcm[i] = static_cast<int16_t>(key * 31 + i);
  return pcm;
}

TEST(ToneCacheTest, RemembersUpToItsRoomAndFindsEveryRememberedTone) {
  // Room for min(100 tones, 3000 bytes / 20 bytes = 150 tones).
  ToneCache cache(3000, 100);
  cache.Prepare(10);
  ASSERT_EQ(cache.Capacity(), 100u);
  // Keys that differ only in the instruction word, then in the numbers.
  std::vector<uint32_t> keys;
  for (uint32_t w = 0; w < 90; ++w) keys.push_back(w << 14);
  for (uint32_t b = 1; b < 30; ++b) keys.push_back((7u << 14) | (3u << 7) | b);
  for (uint32_t key : keys) {
    EXPECT_EQ(cache.Find(key), nullptr);
    cache.Insert(key, Tone(key, 10).data());
  }
  EXPECT_EQ(cache.Count(), 100u);
  for (size_t k = 0; k < keys.size(); ++k) {
    const int16_t* found = cache.Find(keys[k]);
    if (k >= 100) {
      EXPECT_EQ(found, nullptr) << "no room left for key " << k;
      continue;
    }
    ASSERT_NE(found, nullptr) << k;
    EXPECT_EQ(std::vector<int16_t>(found, found + 10), Tone(keys[k], 10)) << k;
  }

  cache.Prepare(10);  // the same length keeps the tones
  EXPECT_EQ(cache.Count(), 100u);
  cache.Prepare(100);  // another length forgets them; the bytes now limit the room
  EXPECT_EQ(cache.Count(), 0u);
  EXPECT_EQ(cache.Capacity(), 15u);
  EXPECT_EQ(cache.Find(keys[0]), nullptr);
  cache.Prepare(0);
  EXPECT_EQ(cache.Capacity(), 0u);
  cache.Insert(1, nullptr);
  EXPECT_EQ(cache.Find(1), nullptr);
}

TEST(ToneCacheTest, KeyIsTheWordAndBothNumbersModulo100) {
  CoreCell a{}, b{};
  a.InstructionWord = b.InstructionWord = 3593;
  a.ANumber = 7;
  b.ANumber = 107;
  a.BNumber = -1;  // 65535 as unsigned: 35 modulo 100
  b.BNumber = 35;
  EXPECT_EQ(ToneCache::Key(a), ToneCache::Key(b));
  b.InstructionWord = 3594;
  EXPECT_NE(ToneCache::Key(a), ToneCache::Key(b));
}

}  // namespace
}  // namespace tw
