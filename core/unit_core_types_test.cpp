#include "core/unit_core_types.h"

#include <gtest/gtest.h>

#include "core/unit_core_utils.h"

namespace tw {
namespace {

TEST(InstructionWord, DefaultCellDecodesAsDatFDollarDollar) {
  EXPECT_EQ(DefaultCell.InstructionWord, 1033);
  EXPECT_EQ(GetOpcode(1033), DAT);
  EXPECT_EQ(GetModifier(1033), mF);
  EXPECT_EQ(GetAMode(1033), Dollar);
  EXPECT_EQ(GetBMode(1033), Dollar);
  EXPECT_EQ(DefaultCell.ANumber, 0);
  EXPECT_EQ(DefaultCell.BNumber, 0);
}

TEST(InstructionWord, EncodesKnownWords) {
  EXPECT_EQ(EncodeInstruction(MOV, mI, Dollar, Dollar), 3593);
  EXPECT_EQ(EncodeInstruction(STP, mI, Close, Close), 38463);
  // Low byte: B-mode * 8 + A-mode; high byte: opcode * 8 + modifier.
  const std::uint16_t w = EncodeInstruction(SPL, mBA, Smaller, Open);
  EXPECT_EQ(w & 0xFF, Open * 8 + Smaller);
  EXPECT_EQ(w >> 8, SPL * 8 + mBA);
}

TEST(InstructionWord, EachFieldWriteLeavesTheOthersAlone) {
  for (unsigned op = 0; op < 32; ++op) {
    for (unsigned md = 0; md < 8; ++md) {
      for (unsigned am = 0; am < 8; ++am) {
        for (unsigned bm = 0; bm < 32; ++bm) {
          std::uint16_t w = EncodeInstruction(op, md, am, bm);
          ASSERT_EQ(GetOpcode(w), op);
          ASSERT_EQ(GetModifier(w), md);
          ASSERT_EQ(GetAMode(w), am);
          ASSERT_EQ(GetBMode(w), bm);
          // Rewriting one field to a different value changes only that field.
          SetBMode(w, 31 - bm);
          SetAMode(w, 7 - am);
          ASSERT_EQ(GetOpcode(w), op);
          ASSERT_EQ(GetModifier(w), md);
          SetOpcode(w, 31 - op);
          SetModifier(w, 7 - md);
          ASSERT_EQ(GetAMode(w), 7 - am);
          ASSERT_EQ(GetBMode(w), 31 - bm);
          ASSERT_EQ(GetOpcode(w), 31 - op);
          ASSERT_EQ(GetModifier(w), 7 - md);
        }
      }
    }
  }
}

TEST(InstructionWord, WideFieldsAreReadInFull) {
  // B-mode and opcode are five bits wide; values past the enumerations stay
  // visible rather than being masked into a valid mode or operation.
  std::uint16_t w = 0;
  SetBMode(w, 9);
  EXPECT_EQ(GetBMode(w), 9u);
  EXPECT_EQ(GetAMode(w), 0u);
  SetOpcode(w, 25);
  EXPECT_EQ(GetOpcode(w), 25u);
  EXPECT_EQ(GetModifier(w), 0u);
}

TEST(NameTables, HaveTheSourceTextsInTableOrder) {
  EXPECT_EQ(OpcodeNames[0], "DAT");
  EXPECT_EQ(OpcodeNames[6], "MOD");
  EXPECT_EQ(OpcodeNames[18], "STP");
  for (auto name : ModifierNames) EXPECT_EQ(name.size(), 3u);
  EXPECT_EQ(ModifierNames[mA], ".A ");
  EXPECT_EQ(ModifierNames[mBA], ".BA");
  EXPECT_EQ(std::string(ModeSymbols.begin(), ModeSymbols.end()), "#$@<>*{}");
}

TEST(NormalizeAddress, FoldsTheKnownValues) {
  const std::pair<std::int32_t, int> cases[] = {{-1, 7999},    {0, 0},     {7999, 7999},
                                                {8000, 0},     {-8000, 0}, {-8001, 7999},
                                                {-9000, 7000}, {16001, 1}, {100000, 4000}};
  for (auto [value, folded] : cases) EXPECT_EQ(NormalizeAddress(value), folded) << value;
}

TEST(NormalizeAddress, IsAFlooredModuloAcrossThe32BitRange) {
  EXPECT_EQ(NormalizeAddress(INT32_MAX), static_cast<int>(2147483647LL % 8000));
  EXPECT_EQ(NormalizeAddress(INT32_MIN), static_cast<int>(((-2147483648LL % 8000) + 8000) % 8000));
  for (std::int64_t v = INT32_MIN; v <= INT32_MAX; v += 7919 * 104729LL) {
    const std::int64_t expected = ((v % 8000) + 8000) % 8000;
    ASSERT_EQ(NormalizeAddress(static_cast<std::int32_t>(v)), expected) << v;
  }
}

}  // namespace
}  // namespace tw
