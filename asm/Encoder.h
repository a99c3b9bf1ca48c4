#pragma once
// The second pass: each statement of the first pass becomes an instruction
// (or sets the start, or the PIN). Names still left in the operands are now
// looked up among all labels and EQU texts of the file; a single letter that
// names nothing is a register. Missing modes are "$", a missing modifier is
// the '94 default for the operation and its modes, and one operand is
// completed as the '94 standard says (DAT x is DAT #0, x; JMP, SPL and NOP
// get $0 as B-operand).

#include <vector>

#include "asm/Expander.h"
#include "asm/Expression.h"
#include "asm/SourceText.h"
#include "asm/Symbols.h"
#include "asm/Warrior.h"

namespace tw::redcode {

// Fills `warrior.instructions`, `start` and `pin`. Errors raise
// ERedcodeSourceError: a malformed operand, an undefined name, a failing
// expression, an operation that needs two operands and has one, no
// instruction at all, or a start outside the program.
void EncodeStatements(const std::vector<Statement>& statements, SymbolTable& symbols,
                      Registers& registers, const SourceText& source, AssembledWarrior& warrior);

// The '94 modifier for an operation written without one.
int DefaultModifier(int opcode, int a_mode, int b_mode);

}  // namespace tw::redcode
