#include "core/unit_random_warrior_position_generator.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

class Placement : public ::testing::Test {
 protected:
  void SetUp() override {
    RandomSeed = 0;
    ResetFreeRegions();
  }
};

TEST_F(Placement, FreshRunPlacesAt0Then344) {
  std::int32_t address = -1;
  ASSERT_TRUE(PlaceWarrior(address));
  EXPECT_EQ(address, 0);
  ASSERT_EQ(FreeRegions.Count, 1);
  EXPECT_EQ(FreeRegions.Entries[0].Start, 100);
  EXPECT_EQ(FreeRegions.Entries[0].Length, 7900);

  ASSERT_TRUE(PlaceWarrior(address));
  EXPECT_EQ(address, 344);
  ASSERT_EQ(FreeRegions.Count, 2);
  EXPECT_EQ(FreeRegions.Entries[0].Start, 100);
  EXPECT_EQ(FreeRegions.Entries[0].Length, 244);
  EXPECT_EQ(FreeRegions.Entries[1].Start, 444);
  EXPECT_EQ(FreeRegions.Entries[1].Length, 7556);
}

TEST_F(Placement, NextRandomFollowsTheGenerator) {
  EXPECT_EQ(NextRandom(7900), 0);  // seed 1: (1 * 7900) >> 32
  EXPECT_EQ(RandomSeed, 1u);
  EXPECT_EQ(NextRandom(7800), 244);
  EXPECT_EQ(NextRandom(0), 0);
  for (int i = 0; i < 1000; ++i) {
    const std::int32_t r = NextRandom(100);
    ASSERT_GE(r, 0);
    ASSERT_LT(r, 100);
  }
}

TEST_F(Placement, ARegionOfExactly100CellsIsUsedWhole) {
  FreeRegions.Entries[0] = {500, 100};
  FreeRegions.Count = 1;
  std::int32_t address = -1;
  ASSERT_TRUE(PlaceWarrior(address));
  EXPECT_EQ(address, 500);
  EXPECT_EQ(FreeRegions.Count, 0);
  EXPECT_FALSE(PlaceWarrior(address));
  EXPECT_EQ(address, 500);
}

TEST_F(Placement, TheLongestRegionWinsAndTiesGoToTheLowerIndex) {
  FreeRegions.Entries[0] = {0, 150};
  FreeRegions.Entries[1] = {1000, 300};
  FreeRegions.Entries[2] = {2000, 300};
  FreeRegions.Entries[3] = {3000, 0};
  FreeRegions.Count = 4;
  std::int32_t address = -1;
  ASSERT_TRUE(PlaceWarrior(address));
  EXPECT_GE(address, 1000);
  EXPECT_LE(address, 1200);
  // The chosen entry is removed and the later ones keep their order.
  EXPECT_EQ(FreeRegions.Entries[0].Start, 0);
  EXPECT_EQ(FreeRegions.Entries[1].Start, 2000);
  EXPECT_EQ(FreeRegions.Entries[2].Start, 3000);
}

TEST_F(Placement, ThreeWarriorsNeverOverlapTheirReservedCells) {
  for (int round = 0; round < 200; ++round) {
    ResetFreeRegions();
    std::int32_t addresses[3];
    for (auto& a : addresses) ASSERT_TRUE(PlaceWarrior(a));
    for (int i = 0; i < 3; ++i) {
      ASSERT_GE(addresses[i], 0);
      ASSERT_LE(addresses[i], CoreSize - MinimumWarriorDistance);
      for (int j = i + 1; j < 3; ++j) {
        ASSERT_GE(std::abs(addresses[i] - addresses[j]), MinimumWarriorDistance);
      }
    }
    ASSERT_LE(FreeRegions.Count, 4);
  }
}

TEST(CopyProgramToCore, WrapsAroundTheCore) {
  CoreMemory core;
  core.fill(DefaultCell);
  Tprogram program(250);
  for (int i = 0; i < 250; ++i) program[i] = {static_cast<std::int16_t>(i), 0, 3593};
  CopyProgramToCore(program, 7850, core);
  EXPECT_EQ(core[7850].ANumber, 0);
  EXPECT_EQ(core[7999].ANumber, 149);
  EXPECT_EQ(core[0].ANumber, 150);
  EXPECT_EQ(core[99].ANumber, 249);
  EXPECT_EQ(core[100], DefaultCell);
  EXPECT_EQ(core[7849], DefaultCell);
}

TEST(CopyProgramToCore, LaterCellsOfAnOverlongProgramWin) {
  CoreMemory core{};
  Tprogram program(8001);
  for (int i = 0; i < 8001; ++i) program[i] = {static_cast<std::int16_t>(i % 8000), 1, 0};
  program[8000].BNumber = 42;
  CopyProgramToCore(program, 10, core);
  EXPECT_EQ(core[10].BNumber, 42);
  CopyProgramToCore({}, 10, core);
  EXPECT_EQ(core[10].BNumber, 42);
}

}  // namespace
}  // namespace tw
