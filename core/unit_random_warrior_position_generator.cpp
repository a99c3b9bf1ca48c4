#include "core/unit_random_warrior_position_generator.h"

namespace tw {

FreeRegionList FreeRegions;
std::uint32_t RandomSeed = 0;

std::int32_t NextRandom(std::int32_t n) {
  RandomSeed = RandomSeed * 134775813u + 1u;
  std::uint64_t product = static_cast<std::uint64_t>(RandomSeed) *
                          static_cast<std::uint64_t>(static_cast<std::uint32_t>(n));
  return static_cast<std::int32_t>(product >> 32);
}

void ResetFreeRegions() {
  FreeRegions = FreeRegionList{};
  FreeRegions.Entries[0] = {0, CoreSize};
  FreeRegions.Count = 1;
}

bool PlaceWarrior(std::int32_t& address) {
  int chosen = -1;
  std::int32_t longest = 0;
  for (int i = 0; i < FreeRegions.Count; ++i) {
    if (FreeRegions.Entries[i].Length > longest) {
      longest = FreeRegions.Entries[i].Length;
      chosen = i;
    }
  }
  if (chosen < 0) return false;

  const FreeRegion region = FreeRegions.Entries[chosen];
  const std::int32_t offset = NextRandom(region.Length - MinimumWarriorDistance);
  // Only ever called with at most three warriors per round, so the list (five
  // entries) never overflows; the checks keep a misuse from writing past it.
  auto append = [](FreeRegion r) {
    if (FreeRegions.Count < static_cast<std::int32_t>(FreeRegions.Entries.size())) {
      FreeRegions.Entries[FreeRegions.Count++] = r;
    }
  };
  if (offset >= MinimumWarriorDistance) append({region.Start, offset});
  const std::int32_t rest = region.Length - (offset + MinimumWarriorDistance);
  if (rest >= MinimumWarriorDistance) {
    append({region.Start + offset + MinimumWarriorDistance, rest});
  }
  address = region.Start + offset;

  for (int i = chosen; i + 1 < FreeRegions.Count; ++i) {
    FreeRegions.Entries[i] = FreeRegions.Entries[i + 1];
  }
  --FreeRegions.Count;
  return true;
}

void CopyProgramToCore(const Tprogram& program, std::int32_t address, CoreMemory& core) {
  std::int32_t target = address;
  for (const CoreCell& cell : program) {
    core[target] = cell;
    if (++target == CoreSize) target = 0;
  }
}

}  // namespace tw
