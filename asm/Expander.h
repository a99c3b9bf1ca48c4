#pragma once
// The first pass over the token lines: labels get their instruction index,
// EQU texts are recorded and put in place of their names, FOR/ROF blocks are
// repeated (their counter put in place: as a number, joined to a name by "&",
// or continuing digits written right before it), CURLINE becomes the number
// of instructions so far, ";assert" conditions are checked, and expansion
// stops at END. What comes out is one statement per
// instruction or ORG/END/PIN, its operands still tokens: names defined later
// in the file are left for the second pass.
//
// EQU works on text, as in the reference assembler: `x EQU 1+2` makes
// `x*2` mean 1+2*2. A label is put in place as its distance from the
// instruction that uses it (for ORG, END and PIN: its index).

#include <cstdint>
#include <vector>

#include "asm/Expression.h"
#include "asm/SourceText.h"
#include "asm/Symbols.h"

namespace tw::redcode {

// Operation numbers past the 19 opcodes of kOpcodeNames.
inline constexpr int kOrg = 19;
inline constexpr int kEnd = 20;
inline constexpr int kPin = 21;
static_assert(kOrg == kKeywordOrg && kEnd == kKeywordEnd && kPin == kKeywordPin);

struct Statement {
  int operation = -1;  // index into kOpcodeNames, or kOrg, kEnd, kPin
  Token keyword;       // the operation as written
  std::vector<Token> operands;
};

// Bounds on the work one source may cause; passing one is an error.
struct ExpansionLimits {
  std::int64_t max_instructions = 100;  // MAXLENGTH
  int max_for_count = 65535;
  int max_nesting = 64;              // EQU inside EQU, FOR inside FOR
  std::int64_t max_lines = 100000;   // lines read, each FOR repetition counted again
  std::int64_t max_tokens = 500000;  // tokens put into statements, EQU texts included
};

// Runs the first pass. `symbols` holds the predefined constants on entry and
// every label and EQU on return; `registers` is shared with the evaluation of
// FOR counts and assertions. Errors raise ERedcodeSourceError.
// Names joined with "&" and numbers continued by a counter are kept in
// `names`, which must outlive the statements.
std::vector<Statement> ExpandSource(const std::vector<TokenLine>& lines, const SourceText& source,
                                    SymbolTable& symbols, Registers& registers,
                                    const ExpansionLimits& limits, NameStore& names);

std::string UpperCase(const std::string& text);

}  // namespace tw::redcode
