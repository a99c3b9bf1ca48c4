#pragma once
// Integer expressions of Redcode: + - * / % on 64-bit integers, the
// comparisons < > <= >= == != (1 or 0), && and ||, unary - + !, parentheses,
// and 26 registers named by one letter (a..z, any case) that keep their value
// for the whole assembly: "a=EXPR" stores EXPR in a and yields it, "a" alone
// reads it. Precedence from high to low: unary; * / %; + -; comparisons; &&;
// ||; the right-hand side of "=" takes everything up to a ")" or the end.
// Operators group as the reference assembler groups them: left to right
// within a level, except in chains of comparisons with higher-level terms
// after them (see Expression.cpp).

#include <array>
#include <cstdint>
#include <vector>

#include "asm/SourceText.h"
#include "asm/Token.h"

namespace tw::redcode {

using Registers = std::array<std::int64_t, 26>;

// Evaluates the whole token list. Symbols must already have been put in
// place: any identifier longer than one letter is reported as undefined.
// Arithmetic wraps around at 64 bits; division or remainder by zero, a number
// that does not fit 64 bits, a missing operand, an unmatched parenthesis, a
// token that cannot stand in an expression and nesting deeper than 1000 levels
// raise ERedcodeSourceError at the token concerned. An empty list raises it
// just after `before`.
std::int64_t EvaluateExpression(const std::vector<Token>& tokens, Registers& registers,
                                const SourceText& source, const Token& before);

}  // namespace tw::redcode
