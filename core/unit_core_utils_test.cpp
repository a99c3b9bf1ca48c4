#include "core/unit_core_utils.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/Exceptions.h"

namespace tw {
namespace {

CoreCell Parse(const std::string& line) {
  CoreCell cell{123, 456, 0xFFFF};
  ParseRedcodeLine(line, cell);
  return cell;
}

std::string FailureOf(const std::string& line) {
  CoreCell cell;
  try {
    ParseRedcodeLine(line, cell);
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    return e.Message();
  }
  return "(parsed)";
}

struct Expected {
  unsigned op, md, am, bm;
  int a, b;
};

void ExpectCell(const std::string& line, Expected e) {
  SCOPED_TRACE(line);
  const CoreCell c = Parse(line);
  EXPECT_EQ(GetOpcode(c.InstructionWord), e.op);
  EXPECT_EQ(GetModifier(c.InstructionWord), e.md);
  EXPECT_EQ(GetAMode(c.InstructionWord), e.am);
  EXPECT_EQ(GetBMode(c.InstructionWord), e.bm);
  EXPECT_EQ(c.ANumber, e.a);
  EXPECT_EQ(c.BNumber, e.b);
}

TEST(ParseRedcodeLine, ReadsTheWrittenOutForm) {
  const CoreCell imp = Parse("MOV.I  $0, $1");
  EXPECT_EQ(imp, (CoreCell{0, 1, 3593}));
  EXPECT_EQ(Parse("mov.i $0,$1"), imp);
  EXPECT_EQ(Parse("       MOV.I  $0, $1"), imp);
  ExpectCell("DAT.F  #0, #-1", {DAT, mF, Number, Number, 0, 7999});
  ExpectCell("JMP.B  $-2, $0", {JMP, mB, Dollar, Dollar, 7998, 0});
  ExpectCell("ADD.AB #4, $100000", {ADD, mAB, Number, Dollar, 4, 4000});
  ExpectCell("start  SPL.B  #2, $5", {SPL, mB, Number, Dollar, 2, 5});
  ExpectCell("STP.I }1, }2", {STP, mI, Close, Close, 1, 2});
  EXPECT_EQ(Parse("STP.I }1, }2").InstructionWord, 38463);
  ExpectCell("SEQ.X *-1, {3", {SEQ, mX, Asterix, Open, 7999, 3});
  ExpectCell("LDP.F @1, <-3", {LDP, mF, At, Smaller, 1, 7997});
  ExpectCell("SLT.A >0, $0", {SLT, mA, Greater, Dollar, 0, 0});
}

TEST(ParseRedcodeLine, OverwritesEveryFieldOfTheCell) {
  CoreCell cell{7, 7, 0xFFFF};
  ParseRedcodeLine("DAT.A #0, #0", cell);
  EXPECT_EQ(cell, (CoreCell{0, 0, 0}));
}

TEST(ParseRedcodeLine, ModifierTextsNeedTheirBlankAndAreCorrectedForTwoLetters) {
  ExpectCell("ADD.AB #4, $3", {ADD, mAB, Number, Dollar, 4, 3});
  ExpectCell("MOV.BA $1, $2", {MOV, mBA, Dollar, Dollar, 1, 2});
  // ".A " is found, then ".AB" elsewhere in the line turns it into AB.
  ExpectCell("x.AB MOV.A $1, $2", {MOV, mAB, Dollar, Dollar, 1, 2});
  // ".A" followed by a tab is not the text ".A ".
  EXPECT_EQ(FailureOf("MOV.A\t$0, $1"), "Failed to find modifier");
  // Table order decides: ".B " (1) is tried before ".F " (4).
  ExpectCell("x.B MOV.F $1, $2", {MOV, mB, Dollar, Dollar, 1, 2});
}

TEST(ParseRedcodeLine, LabelsContainingEarlierOpcodesWin) {
  ExpectCell("data MOV.I $0, $1", {DAT, mI, Dollar, Dollar, 0, 1});
  ExpectCell("mode JMP.B $2, $0", {MOD, mB, Dollar, Dollar, 2, 0});
  // A later opcode in a label does not disturb an earlier real one.
  ExpectCell("nope MOV.I $0, $1", {MOV, mI, Dollar, Dollar, 0, 1});
}

TEST(ParseRedcodeLine, ModeSymbolsAreTriedInTableOrderNotTextOrder) {
  // The A-text holds both "$" and "#": "#" (0) wins although "$" comes first.
  ExpectCell("MOV.I $#3, $1", {MOV, mI, Number, Dollar, 3, 1});
  // A "$" in a label is found before the operand's "@"; its text fails.
  EXPECT_EQ(FailureOf("l$bel MOV.I @3, $1"), "Failed to read value A");
}

TEST(ParseRedcodeLine, ValuesAreTrimmedAndReadAsIntegers) {
  ExpectCell("MOV.I $0, $ 5", {MOV, mI, Dollar, Dollar, 0, 5});
  ExpectCell("MOV.I $0, $$10", {MOV, mI, Dollar, Dollar, 0, 16});
  ExpectCell("MOV.I $+3, $1\t\r", {MOV, mI, Dollar, Dollar, 3, 1});
  ExpectCell("MOV.I $2147483647, $-2147483648", {MOV, mI, Dollar, Dollar, 3647, 4352});
  EXPECT_EQ(FailureOf("MOV.I $0, $- 5"), "Failed to read value B");
  EXPECT_EQ(FailureOf("MOV.I $0, $1 ; imp"), "Failed to read value B");
  EXPECT_EQ(FailureOf("MOV.I $0, $1, $2"), "Failed to read value B");
  EXPECT_EQ(FailureOf("MOV.I $2147483648, $1"), "Failed to read value A");
  EXPECT_EQ(FailureOf("MOV.I $0, $99999999999999999999"), "Failed to read value B");
  EXPECT_EQ(FailureOf("MOV.I $0, $"), "Failed to read value B");
}

TEST(ParseRedcodeLine, ReportsTheSevenFailuresInCheckOrder) {
  EXPECT_EQ(FailureOf(""), "Failed to find instruction");
  EXPECT_EQ(FailureOf("END START"), "Failed to find instruction");
  EXPECT_EQ(FailureOf("ORG 0"), "Failed to find instruction");
  EXPECT_EQ(FailureOf("MOV $0, $1"), "Failed to find modifier");
  EXPECT_EQ(FailureOf("MOV.I $0 $1"), "Failed to find comma");
  EXPECT_EQ(FailureOf("MOV.I 0, $1"), "Failed to find addressing A");
  EXPECT_EQ(FailureOf("MOV.I $0, 1"), "Failed to find addressing B");
  EXPECT_EQ(FailureOf("MOV.I $k, $1"), "Failed to read value A");
  // Both modes are looked for before either value is read.
  EXPECT_EQ(FailureOf("MOV.I $k, 1"), "Failed to find addressing B");
  // Earlier checks win over later ones on the same line.
  EXPECT_EQ(FailureOf("XYZ.I 0 1"), "Failed to find instruction");
  EXPECT_EQ(FailureOf("MOV 0 1"), "Failed to find modifier");
}

TEST(ParseRedcodeLine, SurvivesHostileLines) {
  EXPECT_EQ(FailureOf(std::string(1 << 20, 'M')), "Failed to find instruction");
  std::string long_value = "MOV.I $0, $" + std::string(1 << 20, '9');
  EXPECT_EQ(FailureOf(long_value), "Failed to read value B");
  std::string padded = "MOV.I $0, $" + std::string(1 << 20, ' ') + "7";
  EXPECT_EQ(Parse(padded).BNumber, 7);
  EXPECT_EQ(FailureOf(std::string("MOV.I $0, $\x80\xff"
                                  "1")),
            "Failed to read value B");
}

}  // namespace
}  // namespace tw
