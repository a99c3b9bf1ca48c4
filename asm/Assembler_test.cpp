// One compact case per feature and per error; the corpus differential test
// covers the published warriors.
#include "asm/Assembler.h"

#include <gtest/gtest.h>

#include <sstream>

#include "asm/LoadFormWriter.h"
#include "asm/SourceError.h"

namespace tw::redcode {
namespace {

// The instructions as load-form lines joined by " | " (the start marked by
// "start "), or "LINE:COLUMN: what" of the error.
std::string Asm(const std::string& source, const AssemblerOptions& options = {}) {
  try {
    const AssembledWarrior w = AssembleSource(source, "t.red", options);
    std::string text;
    for (std::size_t i = 0; i < w.instructions.size(); ++i) {
      if (!text.empty()) text += " | ";
      if (static_cast<int>(i) == w.start) text += "start ";
      text += FormatInstruction(w.instructions[i]);
    }
    return text;
  } catch (const ERedcodeSourceError& e) {
    return std::to_string(e.Line()) + ":" + std::to_string(e.Column()) + ": " + e.What();
  }
}

struct Case {
  const char* source;
  const char* expected;
};

TEST(Assembler, Features) {
  const Case cases[] = {
      // Defaults: modes $, '94 modifiers, one operand.
      {"mov 0, 1", "start MOV.I  $0, $1"},
      {"add #1, 2\nsub 1, #2\nmul 1, 2", "start ADD.AB #1, $2 | SUB.B  $1, #2 | MUL.F  $1, $2"},
      {"slt #1, 2\nldp 1, 2\ncmp #1, 2\nsne 1, #2",
       "start SLT.AB #1, $2 | LDP.B  $1, $2 | CMP.AB #1, $2 | SNE.B  $1, #2"},
      {"dat 5\njmp 2\nspl @1\nnop }3",
       "start DAT.F  #0, $5 | JMP.B  $2, $0 | SPL.B  @1, $0 | "
       "NOP.F  }3, $0"},
      {"dat <5\ndjn 1, {2\njmz.ba *1, >2", "start DAT.F  #0, <5 | DJN.B  $1, {2 | JMZ.BA *1, >2"},
      {"MoV.aB #1 , $ 2", "start MOV.AB #1, $2"},
      // Labels before and after use, with colons, several on one line and on lines alone.
      {"a: jmp b\nc\nd b dat a, c", "start JMP.B  $1, $0 | DAT.F  $-1, $0"},
      // Values fold into the core and print in -3999..4000.
      {"dat 4000, 4001\ndat -1, 16001", "start DAT.F  $4000, $-3999 | DAT.F  $-1, $1"},
      // Expressions: precedence, unary, parentheses, comparisons, logic.
      {"dat 2+3*4, (2+3)*4\ndat -2*-3, 7/2%2", "start DAT.F  $14, $20 | DAT.F  $6, $1"},
      {"dat 1<2, 2<=1\ndat 3==3 && !0, 0||0", "start DAT.F  $1, $0 | DAT.F  $1, $0"},
      {"dat -7/2, -7%2", "start DAT.F  $-3, $-1"},
      // Chained comparisons group as the reference evaluator groups them.
      {"dat 17>4>=4-26+24%14==15, 1<2==1", "start DAT.F  $1, $1"},
      // Registers: a=EXPR stores, a reads, kept across instructions.
      {"cmp a=5+1, b=a*2\ndat a, b", "start CMP.I  $6, $12 | DAT.F  $6, $12"},
      // EQU is text: x*2 with x EQU 1+2 is 1+2*2. Names of EQU texts nest.
      {"x equ 1+2\ny equ x*2\ndat x*2, y", "start DAT.F  $5, $5"},
      // An EQU naming a label counts from the instruction that uses it.
      {"p equ q+1\ndat p\nq dat p", "start DAT.F  #0, $2 | DAT.F  #0, $1"},
      // An EQU may carry a mode, or a whole instruction; multi-line EQU.
      {"m equ #3\ni equ mov 0, 1\nmov m, 2\ni", "start MOV.AB #3, $2 | MOV.I  $0, $1"},
      {"two equ dat 1\n equ dat 2\ntwo\ntwo",
       "start DAT.F  #0, $1 | DAT.F  #0, $2 | DAT.F  #0, $1 "
       "| DAT.F  #0, $2"},
      // FOR/ROF: repetition, counters, & joining, nesting, for 0 as a comment.
      {"i for 3\ndat i, CURLINE\nrof", "start DAT.F  $1, $0 | DAT.F  $2, $1 | DAT.F  $3, $2"},
      {"x01 equ 7\nx02 equ 8\nk for 2\ndat x&k\nrof", "start DAT.F  #0, $7 | DAT.F  #0, $8"},
      {"i for 2\nj for i\ndat i, j\nrof\nrof",
       "start DAT.F  $1, $1 | DAT.F  $2, $1 | DAT.F  $2, $2"},
      {"for 0\nthis is not code, nor is\nthat: anything $$$\nrof\ndat 1", "start DAT.F  #0, $1"},
      {"for 2 > 1\ndat 1\nrof\nfor 1 > 2\ndat 2\nrof", "start DAT.F  #0, $1"},
      // Start: ORG, END with an operand, END alone, ORG wins over END.
      {"dat 0\ns jmp 0\norg s", "DAT.F  #0, $0 | start JMP.B  $0, $0"},
      {"dat 0\ns jmp 0\nend s\ndat 9", "DAT.F  #0, $0 | start JMP.B  $0, $0"},
      {"org 1\ndat 0\njmp 0\nend 0", "DAT.F  #0, $0 | start JMP.B  $0, $0"},
      // Predefined constants and -D overrides.
      {"dat CORESIZE-1, MAXLENGTH\ndat PSPACESIZE, ROUNDS",
       "start DAT.F  $-1, $100 | DAT.F  "
       "$500, $1"},
      // Header text before ;redcode and everything after END is ignored.
      {"junk ( here\n;redcode-94\ndat 1\nend\nmore junk )", "start DAT.F  #0, $1"},
      {"dat 1\n;redcode\ndat 2\n;redcode\ndat 3", "start DAT.F  #0, $2"},
      // Assertions, CRLF line ends, a NUL byte, PIN.
      {";assert CORESIZE == 8000\r\ndat 1\r\npin 7\r\n", "start DAT.F  #0, $1"},
  };
  for (const Case& c : cases) EXPECT_EQ(Asm(c.source), c.expected) << c.source;
  // A NUL byte ends its line; the next line is read again.
  EXPECT_EQ(Asm(std::string("dat 1 \0 junk\ndat 2\n", 18)), "start DAT.F  #0, $1 | DAT.F  #0, $2");
}

TEST(Assembler, HeaderAndOverrides) {
  const AssembledWarrior w =
      AssembleSource(";redcode\n;name  Imp  \n;author A. K. Dewdney\t\npin 9\nmov 0, 1\n", "t.red");
  EXPECT_EQ(w.name, "Imp");
  EXPECT_EQ(w.author, "A. K. Dewdney");
  EXPECT_EQ(w.pin, 9);
  const AssembledWarrior anonymous = AssembleSource("mov 0, 1\n", "t.red");
  EXPECT_EQ(anonymous.name, "Unknown");
  EXPECT_EQ(anonymous.author, "Anonymous");
  EXPECT_FALSE(anonymous.pin.has_value());

  AssemblerOptions options;
  options.constants = {{"ROUNDS", 20}, {"STEP", 3}};
  EXPECT_EQ(Asm(";assert ROUNDS > 1\ndat ROUNDS, STEP", options), "start DAT.F  $20, $3");
  EXPECT_EQ(Asm(";assert ROUNDS > 1\ndat 0"), "1:1: assertion failed");
  options.constants = {{"MAXLENGTH", 2}};
  EXPECT_EQ(Asm("dat 0\ndat 0\ndat 0", options), "3:1: more than MAXLENGTH (2) instructions");
}

TEST(Assembler, Errors) {
  const Case cases[] = {
      {"mov foo, 1", "1:5: undefined symbol \"foo\""},
      {"mov 1", "1:1: MOV needs two operands"},
      {"mov", "1:4: missing operand"},
      {"mov 1,", "1:7: missing operand"},
      {"mov #, 1", "1:6: missing value of the A-operand"},
      {"mov.q 0, 1", "1:5: expected a modifier (A, B, AB, BA, F, X or I), not \"q\""},
      {"mov 0, 1, 2", "1:9: \",\" cannot stand in an expression"},
      {"mov 0, #1 # 2", "1:11: \"#\" cannot stand in an expression"},
      {"dat 1/0", "1:6: division by zero"},
      {"dat (1+2", "1:9: missing \")\""},
      {"dat 1 2", "1:7: expected an operator before \"2\""},
      {"dat 99999999999999999999", "1:5: number \"99999999999999999999\" is too large"},
      {"  5 dat 0", "1:3: expected a label or an operation, not \"5\""},
      {"x dat 0\nx dat 1", "2:1: label \"x\" is already defined"},
      {"dat mov", "1:5: the operation \"mov\" cannot stand here"},
      {"for 2\ndat 0", "1:1: FOR without ROF"},
      {"dat 0\nrof", "2:1: ROF without FOR"},
      {"equ 5", "1:1: EQU without a name before it"},
      {"x equ x+1\ndat x", "1:7: EQU \"x\" refers to itself"},
      {"k for 1\ndat y&z\nrof", "2:7: only a FOR counter can follow \"&\", not \"z\""},
      {"CURLINE dat 0", "1:1: CURLINE cannot be a label"},
      {";assert CORESIZE == 55440\ndat 0", "1:1: assertion failed"},
      {"for 70000\nrof", "1:1: FOR count 70000 is larger than 65535"},
      {"org 5\ndat 0", "1:1: the start 5 lies outside the 1 instructions"},
      {"; nothing here\n", "0:0: no instructions"},
      {"dat 1 ; xy\n  mov @xy, $1", "2:8: undefined symbol \"xy\""},
  };
  for (const Case& c : cases) EXPECT_EQ(Asm(c.source), c.expected) << c.source;
}

// A FOR counter written right after digits continues the number as text
// ("666z" with z at 1 is 66601, at 11 it is 66611; "7n" with n at 100 is 7100),
// also inside an EQU text used in the block and in an assertion. The expected
// load form is the reference simulator's assembly of this warrior: pmars 0.9.2
// (Debian package pmars), `pmars -r 0 counted.red`, whose listing was turned
// into the load form by dropping its ORG line, writing START as start and
// removing the blanks inside the operands.
TEST(Assembler, ForCounterAfterDigitsAssemblesAsTheReference) {
  const char* source =
      ";redcode-94\n"
      ";name Counted Digits\n"
      ";author Tonewell tests\n"
      ";assert CORESIZE == 8000\n"
      "far     equ     4z+1\n"
      "top     dat     #0, #0\n"
      "z       for     3\n"
      "        mov     #-666z, 999z\n"
      "        djn     far, <-(2z)\n"
      "        rof\n"
      "k       for     11\n"
      "        spl     #k, }5k\n"
      "        rof\n"
      "n       for     100\n"
      ";assert n < 100 || 7n == 7100\n"
      "        rof\n"
      "        jmp     top\n"
      "        end     top+1\n";
  const char* reference =
      ";redcode-94\n"
      ";name Counted Digits\n"
      ";author Tonewell tests\n"
      "       DAT.F  #0, #0\n"
      "start  MOV.AB #-2601, $3901\n"
      "       DJN.B  $402, <-201\n"
      "       MOV.AB #-2602, $3902\n"
      "       DJN.B  $403, <-202\n"
      "       MOV.AB #-2603, $3903\n"
      "       DJN.B  $404, <-203\n"
      "       SPL.B  #1, }501\n"
      "       SPL.B  #2, }502\n"
      "       SPL.B  #3, }503\n"
      "       SPL.B  #4, }504\n"
      "       SPL.B  #5, }505\n"
      "       SPL.B  #6, }506\n"
      "       SPL.B  #7, }507\n"
      "       SPL.B  #8, }508\n"
      "       SPL.B  #9, }509\n"
      "       SPL.B  #10, }510\n"
      "       SPL.B  #11, }511\n"
      "       JMP.B  $-18, $0\n";
  EXPECT_EQ(WriteLoadForm(AssembleSource(source, "counted.red")), reference);
  // Where the reference joins more than that, the assembler stops rather than
  // differ: digits and a counter with a blank between them (pmars joins any
  // two numbers) and the counter's text reaching digits through an EQU name
  // (pmars: 6601). A name that only begins with the counter is no counter
  // (pmars: undefined too).
  EXPECT_EQ(Asm("z for 1\ndat #666 z\nrof"), "2:10: expected an operator before \"z\"");
  EXPECT_EQ(Asm("z for 1\ndat 6z6\nrof"), "2:6: undefined symbol \"z6\"");
  EXPECT_EQ(Asm("c equ z\nz for 1\ndat 66c\nrof"), "1:7: expected an operator before \"z\"");
}

TEST(Assembler, ExpansionIsBounded) {
  // Each EQU doubles the text of the one before: 2^40 tokens if unbounded.
  std::ostringstream doubling;
  doubling << "a0 equ 1\n";
  for (int i = 1; i <= 40; ++i) doubling << 'a' << i << " equ a" << i - 1 << "+a" << i - 1 << '\n';
  doubling << "dat a40";
  EXPECT_NE(Asm(doubling.str()).find(": expansion makes more than 500000 tokens"),
            std::string::npos);
  // Nested FOR blocks that emit nothing still count every line they read.
  EXPECT_EQ(Asm("for 60000\nfor 60000\nrof\nrof\ndat 0").substr(0, 4), "3:1:");
  std::ostringstream deep;
  for (int i = 0; i < 70; ++i) deep << 'e' << i << " equ e" << i + 1 << '\n';
  deep << "e70 equ 1\ndat e0";
  EXPECT_NE(Asm(deep.str()).find("nested deeper than 64"), std::string::npos);
}

TEST(Assembler, ErrorShowsTheLineWithACaret) {
  try {
    AssembleSource("dat 0\n\tmov  bad, 1\n", "w.red");
    FAIL() << "assembled";
  } catch (const ERedcodeSourceError& e) {
    EXPECT_STREQ(e.ClassName(), "ERedcodeSourceError");
    EXPECT_EQ(e.Message(), std::string("w.red:2:7: undefined symbol \"bad\""));
    EXPECT_EQ(e.CaretLines(), "\tmov  bad, 1\n\t     ^\n");
  }
}

}  // namespace
}  // namespace tw::redcode
