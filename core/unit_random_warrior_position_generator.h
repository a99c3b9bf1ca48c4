#pragma once
// Where each warrior goes in the core at the start of a round. The generator
// starts from the same state in every run and nothing reseeds it, so the same
// two files are always placed at the same addresses (0, then 344).

#include <array>
#include <cstdint>

#include "core/unit_core_types.h"

namespace tw {

inline constexpr int MinimumWarriorDistance = 100;

// One free stretch of core.
struct FreeRegion {
  std::int32_t Start = 0;
  std::int32_t Length = 0;
};

// Entries 0..Count-1 are the free stretches, in no particular order.
struct FreeRegionList {
  std::array<FreeRegion, 5> Entries{};
  std::int32_t Count = 0;
};

// Program-wide placement state. RandomSeed is 0 when the program starts; a
// test that wants the placements of a fresh run sets it back to 0.
extern FreeRegionList FreeRegions;
extern std::uint32_t RandomSeed;

// Advances RandomSeed (seed * 134775813 + 1 mod 2^32) and returns the upper
// 32 bits of seed * n: 0 <= result < n for n > 0, and 0 for n = 0.
std::int32_t NextRandom(std::int32_t n);

// Makes the whole core one free region.
void ResetFreeRegions();

// Chooses the longest free region (the first of equals), places the warrior
// at a random offset inside it that leaves room for MinimumWarriorDistance
// cells, keeps the free parts of at least that length before and after it,
// and removes the chosen region. Returns false (address untouched) when no
// free region is left.
bool PlaceWarrior(std::int32_t& address);

// Copies every cell of the program to core (address + i) mod CoreSize; a
// program longer than the core wraps and its later cells win. `address` must
// be in 0..CoreSize-1.
void CopyProgramToCore(const Tprogram& program, std::int32_t address, CoreMemory& core);

}  // namespace tw
